#include "srec/preloaded.h"

#include <cerrno>
#include <memory>
#include <new>

#include "base/console.h"

namespace zelv {
namespace {

// The run's files; unique_ptr keeps each record in place while the list grows.
struct Store {
    std::vector<std::unique_ptr<SrecFile>> files;
};

Store the_store;

}  // namespace

const SrecFile* srec_preloaded_find(const char* path) {
    for (const auto& file : the_store.files) {
        if (file->path == path) {
            return file.get();
        }
    }
    return nullptr;
}

int srec_preload(const char* path, const SrecFile** file) {
    if ((*file = srec_preloaded_find(path)) != nullptr) {
        return 0;
    }
    try {
        auto loaded = std::make_unique<SrecFile>();
        if (const int result = srec_load(path, loaded.get()); result != 0) {
            return result;
        }
        the_store.files.push_back(std::move(loaded));
    } catch (const std::bad_alloc&) {
        report_error("not enough memory\n");
        return ENOMEM;
    }
    *file = the_store.files.back().get();
    return 0;
}

void srec_preloaded_clear() {
    the_store.files.clear();
}

}  // namespace zelv
