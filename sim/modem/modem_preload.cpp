// libzelvanor-modem.so: preloaded by zelvanor-sim into the program it runs, so that the
// modem-line requests on the pod's pseudo-terminal (RTS set and cleared, CTS read, the wait
// for a change of CTS) reach the
// virtual pod through the shared record of modem_lines.h. Every other ioctl, and the
// modem-line requests on every other device, go to the C library unchanged.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "modem/modem_lines.h"

namespace {

using zelv::sim::ModemLines;

using IoctlFunction = int (*)(int, unsigned long, ...);

IoctlFunction next_ioctl() {
    static const auto function = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    return function;
}

// The record of the file the environment names, mapped once per file.
struct Mapping {
    char path[4096] = {};
    ModemLines* lines = nullptr;
};

Mapping mapping;

ModemLines* shared_lines() {
    const char* path = std::getenv(zelv::sim::kModemEnvironment);
    if (path == nullptr || *path == '\0' || std::strlen(path) >= sizeof mapping.path) {
        return nullptr;
    }
    if (mapping.lines != nullptr && std::strcmp(mapping.path, path) == 0) {
        return mapping.lines;
    }
    if (mapping.lines != nullptr) {
        munmap(mapping.lines, sizeof(ModemLines));
        mapping.lines = nullptr;
    }
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    void* memory = mmap(nullptr, sizeof(ModemLines), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    auto* lines = static_cast<ModemLines*>(memory);
    if (lines->magic != zelv::sim::kModemMagic) {
        munmap(memory, sizeof(ModemLines));
        return nullptr;
    }
    std::strcpy(mapping.path, path);
    mapping.lines = lines;
    return lines;
}

bool is_modem_request(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
           request == TIOCMBIC || request == TIOCMIWAIT;
}

// TIOCMIWAIT as a serial driver does it: sleeps until CTS changes from what it was at the
// call, with no time limit; a signal ends the wait with EINTR. Lines set to refuse it
// answer EINVAL, as a driver without the request does.
int wait_for_change(ModemLines& lines, unsigned long mask) {
    if (lines.no_wait.load() != 0) {
        errno = EINVAL;
        return -1;
    }
    if ((mask & TIOCM_CTS) == 0) {
        return 0;  // only CTS moves on these lines; the other lines never change
    }
    const bool before = zelv::sim::modem_cts(lines);
    for (;;) {
        const uint32_t changes = lines.changes.load();
        uint64_t settles = 0;
        const uint64_t now = zelv::sim::modem_clock_ns();
        if (zelv::sim::modem_cts(lines, now, &settles) != before) {
            return 0;
        }
        timespec limit{};
        timespec* timeout = nullptr;
        if (settles > now) {
            limit.tv_sec = static_cast<time_t>((settles - now) / 1000000000u);
            limit.tv_nsec = static_cast<long>((settles - now) % 1000000000u);
            timeout = &limit;
        }
        const long woken = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&lines.changes),
                                   FUTEX_WAIT, changes, timeout, nullptr, 0);
        if (woken != 0 && errno == EINTR) {
            return -1;
        }
    }
}

// The pod's terminal: the character device whose number the record holds.
ModemLines* lines_for(int fd) {
    ModemLines* lines = shared_lines();
    struct stat device {};
    if (lines == nullptr || fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode) ||
        static_cast<uint64_t>(device.st_rdev) != lines->device) {
        return nullptr;
    }
    return lines;
}

int modem_request(ModemLines& lines, unsigned long request, int* bits) {
    switch (request) {
        case TIOCMIWAIT:
            return wait_for_change(lines, reinterpret_cast<unsigned long>(bits));
        case TIOCMGET:
            *bits = TIOCM_DTR | TIOCM_DSR | TIOCM_CAR | (lines.rts.load() != 0 ? TIOCM_RTS : 0) |
                    (zelv::sim::modem_cts(lines) ? TIOCM_CTS : 0);
            return 0;
        case TIOCMSET:
            zelv::sim::modem_set_rts(lines, (*bits & TIOCM_RTS) != 0);
            return 0;
        case TIOCMBIS:
            if ((*bits & TIOCM_RTS) != 0) {
                zelv::sim::modem_set_rts(lines, true);
            }
            return 0;
        default:  // TIOCMBIC
            if ((*bits & TIOCM_RTS) != 0) {
                zelv::sim::modem_set_rts(lines, false);
            }
            return 0;
    }
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (is_modem_request(request) && argument != nullptr) {
        ModemLines* lines = lines_for(fd);
        if (lines != nullptr) {
            return modem_request(*lines, request, static_cast<int*>(argument));
        }
    }
    const IoctlFunction next = next_ioctl();
    if (next == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, argument);
}
