#include "modem/modem_link.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/library_folder.h"
#include "common/sim_log.h"

namespace zelv::sim {

namespace {

constexpr const char* kLibraryName = "libzelvanor-modem.so";

int system_error(const char* what) {
    const int error = errno;
    sim_error("%s (%s)\n", what, std::strerror(error));
    return error;
}

}  // namespace

std::string modem_library_path() {
    const std::string folder = sim_library_folder(kLibraryName);
    try {
        return folder.empty() ? folder : folder + "/" + kLibraryName;
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return "";
    }
}

ModemLink::~ModemLink() {
    if (lines_ != nullptr) {
        munmap(lines_, sizeof(ModemLines));
    }
    if (!path_.empty()) {
        unlink(path_.c_str());
    }
}

int ModemLink::create(int slave_fd) {
    struct stat slave {};
    if (fstat(slave_fd, &slave) != 0) {
        return system_error("cannot look at the pseudo-terminal");
    }
    const char* folder = std::getenv("TMPDIR");
    try {
        path_ = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                "/zelvanor-sim-modem-XXXXXX";
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    const int fd = mkstemp(path_.data());
    if (fd < 0) {
        const int error = system_error("cannot create the modem line file");
        path_.clear();
        return error;
    }
    void* memory = MAP_FAILED;
    if (ftruncate(fd, sizeof(ModemLines)) == 0) {
        memory = mmap(nullptr, sizeof(ModemLines), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    const int error = memory == MAP_FAILED ? system_error("cannot map the modem line file") : 0;
    close(fd);
    if (error != 0) {
        return error;
    }
    lines_ = new (memory) ModemLines{};
    lines_->magic = kModemMagic;
    lines_->device = static_cast<uint64_t>(slave.st_rdev);
    return 0;
}

int ModemLink::child_environment(std::vector<std::string>* entries) const {
    const std::string library = modem_library_path();
    if (library.empty()) {
        return ENOENT;
    }
    try {
        const char* preload = std::getenv("LD_PRELOAD");
        const char* asan = std::getenv("ASAN_OPTIONS");
        entries->push_back(
            "LD_PRELOAD=" + library +
            (preload != nullptr && *preload != '\0' ? ":" + std::string(preload) : ""));
        entries->push_back(std::string(kModemEnvironment) + "=" + path_);
        // A program built with the address sanitizer wants its runtime first; the library
        // only passes ioctl through, so the order does not matter here.
        entries->push_back(
            "ASAN_OPTIONS=" + (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") +
            "verify_asan_link_order=0");
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    return 0;
}

}  // namespace zelv::sim
