// usb_probe: drives the USB access layer step by step, as the pod would, in a process of its
// own, so that each test chooses the library the loader finds (LD_LIBRARY_PATH is read only
// when a process starts).
//
//   usb_probe [-q] [-d] STEP...
//     load | unload | open[:VID:PID] | close | resident | timeout:MS
//     control:TYPE:REQUEST:VALUE:INDEX:LENGTH[:HEX]   (HEX: the OUT data stage)
//     bulk-read:EP:LENGTH | bulk-write:EP:HEX
//
// Every step prints "probe: STEP -> RESULT" (0 or the errno value); reads also print
// "probe: data HEX", transfers "probe: size N". "resident" prints whether a library of
// either name is still in the process. Numbers are decimal or 0x hexadecimal.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/settings.h"
#include "link/usb_access.h"

namespace {

using zelv::UsbHandle;

std::vector<std::string> fields_of(const std::string& step) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t end = step.find(':', start);
        fields.push_back(step.substr(start, end - start));
        if (end == std::string::npos) {
            return fields;
        }
        start = end + 1;
    }
}

unsigned number(const std::string& text) {
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 0));
}

std::vector<uint8_t> bytes_of(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

void print_data(const uint8_t* data, std::size_t size) {
    std::printf("probe: data ");
    for (std::size_t i = 0; i < size; ++i) {
        std::printf("%02x", data[i]);
    }
    std::printf("\n");
}

bool resident() {
    for (const char* name : zelv::kUsbLibraryNames) {
        void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr) {
            dlclose(handle);
            return true;
        }
    }
    return false;
}

int run_step(const std::string& step, UsbHandle* handle, unsigned* timeout_ms) {
    const std::vector<std::string> f = fields_of(step);
    const std::string& kind = f[0];
    if (kind == "load") {
        return zelv::usblib_load();
    }
    if (kind == "unload") {
        return zelv::usblib_unload();
    }
    if (kind == "open") {
        const auto vendor = static_cast<uint16_t>(f.size() > 2 ? number(f[1]) : 0x0425);
        const auto product = static_cast<uint16_t>(f.size() > 2 ? number(f[2]) : 0x1000);
        return zelv::usbdev_open(handle, vendor, product);
    }
    if (kind == "close") {
        return zelv::usbdev_close(handle);
    }
    if (kind == "resident") {
        std::printf("probe: resident %s\n", resident() ? "yes" : "no");
        return 0;
    }
    if (kind == "timeout" && f.size() == 2) {
        *timeout_ms = number(f[1]);
        return 0;
    }
    if (kind == "control" && f.size() >= 6) {
        std::vector<uint8_t> buffer(number(f[5]) + 1);
        const std::vector<uint8_t> out = f.size() > 6 ? bytes_of(f[6]) : std::vector<uint8_t>{};
        std::copy(out.begin(), out.end(), buffer.begin());
        std::size_t size = number(f[5]);
        const int result = zelv::usbdev_control(*handle, number(f[1]), number(f[2]), number(f[3]),
                                                number(f[4]), buffer.data(), &size, *timeout_ms);
        std::printf("probe: size %zu\n", size);
        if (result == 0 && (number(f[1]) & 0x80) != 0) {
            print_data(buffer.data(), size);
        }
        return result;
    }
    if (kind == "bulk-read" && f.size() == 3) {
        std::vector<uint8_t> buffer(number(f[2]) + 1);
        std::size_t size = number(f[2]);
        const int result =
            zelv::usbdev_bulk_read(*handle, number(f[1]), buffer.data(), &size, *timeout_ms);
        std::printf("probe: size %zu\n", size);
        if (result == 0) {
            print_data(buffer.data(), size);
        }
        return result;
    }
    if (kind == "bulk-write" && f.size() == 3) {
        const std::vector<uint8_t> out = bytes_of(f[2]);
        std::size_t size = out.size();
        const int result =
            zelv::usbdev_bulk_write(*handle, number(f[1]), out.data(), &size, *timeout_ms);
        std::printf("probe: size %zu\n", size);
        return result;
    }
    std::fprintf(stderr, "usb_probe: unknown step %s\n", step.c_str());
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "-q") == 0) {
            zelv::settings().verbose = 0;
        } else if (std::strcmp(argv[first], "-d") == 0) {
            zelv::settings().debug = 1;
        }
    }
    UsbHandle handle = nullptr;
    unsigned timeout_ms = 1000;
    for (int i = first; i < argc; ++i) {
        const int result = run_step(argv[i], &handle, &timeout_ms);
        std::printf("probe: %s -> %d\n", argv[i], result);
        std::fflush(stdout);
    }
    return 0;
}
