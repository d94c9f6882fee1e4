#include "base/install_dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <new>

namespace zelv {
namespace {

std::string program_folder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return "";
    }
    std::string folder(path, static_cast<std::size_t>(length));
    const std::size_t slash = folder.rfind('/');
    return slash == std::string::npos ? "" : folder.substr(0, slash);
}

}  // namespace

std::string installed_folder(const char* from_bin, const char* configured) {
    const std::string folder = program_folder();
    if (!folder.empty()) {
        char resolved[PATH_MAX];
        struct stat status {};
        if (realpath((folder + '/' + from_bin).c_str(), resolved) != nullptr &&
            stat(resolved, &status) == 0 && S_ISDIR(status.st_mode)) {
            return resolved;
        }
    }
    return configured;
}

const char* default_data_dir() {
    // Filled on first use; a failed allocation leaves the configured folder, which always fits.
    static std::string folder;
    if (folder.empty()) {
        try {
            folder = installed_folder(ZELV_DATA_FROM_BIN, ZELV_DATA_DIR);
        } catch (const std::bad_alloc&) {
            return ZELV_DATA_DIR;
        }
    }
    return folder.c_str();
}

}  // namespace zelv
