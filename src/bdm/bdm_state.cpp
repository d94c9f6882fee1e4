#include "bdm/bdm_state.h"

#include <algorithm>
#include <cerrno>

#include "base/console.h"
#include "target/target_model.h"

namespace zelv {
namespace {

BdmEngineState the_state;

}  // namespace

int secured_read_check(const char* what, const uint8_t* image, uint32_t size) {
    const bool data = std::any_of(image, image + size, [](uint8_t b) { return b != 0; });
    if (target().secured == 0 || data) {
        return 0;
    }
    report_error(
        "%s: nothing but zeros read - the part is secured, and its security keeps the BDM out "
        "of its memory; no file written\nhint: -U unsecures the part by erasing it\n",
        what);
    return EIO;
}

BdmEngineState& bdm_state() {
    return the_state;
}

void bdm_select_pod(const BdmPod* pod) {
    the_state.pod = pod;
}

const BdmPod& active_pod() {
    return *the_state.pod;
}

void bdm_state_reset() {
    the_state = BdmEngineState{};
}

}  // namespace zelv
