#include "memops/memory_image.h"

#include <cerrno>
#include <new>

#include "base/console.h"

namespace zelv {

int allocate_image(std::vector<uint8_t>* image, uint32_t size) {
    try {
        image->assign(size, 0xFF);
    } catch (const std::bad_alloc&) {
        report_error("not enough memory\n");
        return ENOMEM;
    }
    return 0;
}

}  // namespace zelv
