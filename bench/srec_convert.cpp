// The benchmark's S-record conversions through zelvanor's own reader and writer, so that
// bench/run can time them beside srec_cat doing the same conversion:
//   zelvanor-srec-convert read IMAGE.s19 IMAGE.bin SIZE    S-records to a binary image
//   zelvanor-srec-convert write IMAGE.bin IMAGE.s19        a binary image to S2 records
// SIZE is the image's size in bytes; bytes no record carries stay 0xFF. The records are
// written 32 data bytes each from address 0, as srec_cat writes them with
// -Output_Block_Size 32 -Address_Length 3.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "srec/srec.h"

namespace {

constexpr unsigned kRecordSize = 32;

int usage() {
    std::fprintf(stderr,
                 "usage: zelvanor-srec-convert read IMAGE.s19 IMAGE.bin SIZE\n"
                 "       zelvanor-srec-convert write IMAGE.bin IMAGE.s19\n");
    return 2;
}

[[nodiscard]] int read_to_binary(const char* in, const char* out, uint32_t size) {
    std::vector<uint8_t> image;
    try {
        image.assign(size, 0xFF);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "not enough memory\n");
        return ENOMEM;
    }
    const int result = zelv::srec_read(in, nullptr, 0, image.data(), size, nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    if (result != 0) {
        return result;
    }
    FILE* file = std::fopen(out, "wb");
    if (file == nullptr) {
        std::perror(out);
        return errno;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(out);
        return EIO;
    }
    return 0;
}

[[nodiscard]] int write_from_binary(const char* in, const char* out) {
    FILE* file = std::fopen(in, "rb");
    if (file == nullptr) {
        std::perror(in);
        return errno;
    }
    std::vector<uint8_t> image;
    uint8_t chunk[65536];
    size_t got = 0;
    try {
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            image.insert(image.end(), chunk, chunk + got);
        }
    } catch (const std::bad_alloc&) {
        std::fclose(file);
        std::fprintf(stderr, "not enough memory\n");
        return ENOMEM;
    }
    std::fclose(file);
    return zelv::srec_write(out, "", 0, static_cast<unsigned>(image.size()), image.data(), 0,
                            nullptr, false, kRecordSize);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "read") == 0) {
        return read_to_binary(argv[2], argv[3],
                              static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0))) == 0 ? 0 : 1;
    }
    if (argc == 4 && std::strcmp(argv[1], "write") == 0) {
        return write_from_binary(argv[2], argv[3]) == 0 ? 0 : 1;
    }
    return usage();
}
