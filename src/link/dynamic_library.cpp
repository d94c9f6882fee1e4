#include "link/dynamic_library.h"

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>

namespace zelv {
namespace {

// dlerror's text lives only until the loader's next call; a copy keeps it for the message.
char last_error[512] = "";

// The loader does not promise an error number: a library with a bad header or a missing
// dependency fails with errno untouched, and dlsym never sets it. Such failures get a number
// of their own, so that they can never pass for success.
int loader_failure(int fallback) {
    const int error = errno != 0 ? errno : fallback;
    const char* text = dlerror();
    std::snprintf(last_error, sizeof last_error, "%s", text != nullptr ? text : "unknown error");
    return error;
}

}  // namespace

int dl_open(const char* path, void** handle) {
    (void)dlerror();
    errno = 0;
    *handle = dlopen(path, RTLD_NOW);
    return *handle != nullptr ? 0 : loader_failure(ELIBACC);
}

int dl_func(void* handle, const char* name, DlFunction* function) {
    (void)dlerror();
    void* symbol = dlsym(handle, name);
    // A symbol that exists but carries no address is no function either.
    if (symbol == nullptr) {
        *function = nullptr;
        errno = 0;
        return loader_failure(ELIBBAD);
    }
    *function = reinterpret_cast<DlFunction>(symbol);
    return 0;
}

int dl_close(void** handle) {
    if (*handle == nullptr) {
        return 0;
    }
    (void)dlerror();
    errno = 0;
    const int result = dlclose(*handle);
    *handle = nullptr;
    return result == 0 ? 0 : loader_failure(ELIBBAD);
}

const char* dl_error_text() {
    return last_error;
}

}  // namespace zelv
