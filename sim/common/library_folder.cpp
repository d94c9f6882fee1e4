#include "common/library_folder.h"

#include <unistd.h>

#include <cstring>
#include <new>

#include "base/install_dirs.h"
#include "common/sim_log.h"

namespace zelv::sim {

namespace {

std::string executable_folder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return "";
    }
    path[length] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return "";
    }
    *slash = '\0';
    return path;
}

}  // namespace

std::string sim_library_folder(const char* name) {
    try {
        // Beside zelvanor-sim in the build tree; in <prefix>/lib/zelvanor once installed,
        // wherever the install landed.
        const std::string installed =
            installed_folder(ZELV_SIM_LIBRARY_FROM_BIN, ZELV_SIM_LIBRARY_DIR);
        for (const std::string& folder : {executable_folder(), installed}) {
            if (!folder.empty() && access((folder + "/" + name).c_str(), R_OK) == 0) {
                return folder;
            }
        }
        sim_error("cannot find %s (next to zelvanor-sim or in %s)\n", name, installed.c_str());
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
    }
    return "";
}

}  // namespace zelv::sim
