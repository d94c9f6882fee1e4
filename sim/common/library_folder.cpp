#include "common/library_folder.h"

#include <unistd.h>

#include <cstring>
#include <new>

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
        for (const std::string& folder : {executable_folder(), std::string(ZELV_SIM_LIBRARY_DIR)}) {
            if (!folder.empty() && access((folder + "/" + name).c_str(), R_OK) == 0) {
                return folder;
            }
        }
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return "";
    }
    sim_error("cannot find %s (next to zelvanor-sim or in %s)\n", name, ZELV_SIM_LIBRARY_DIR);
    return "";
}

}  // namespace zelv::sim
