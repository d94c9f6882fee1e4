// The S-record reader on any file: it must refuse or read, never write outside its image.
#include <cstdint>

#include "fuzz_input.h"
#include "srec/srec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    zelv::fuzz::fresh_run();
    const std::string path = zelv::fuzz::input_file(data, size, ".s19");
    static uint8_t image[0x10000];
    char info[64];
    uint32_t raw_entry = 0, entry = 0, lowest = 0, highest = 0;
    (void)zelv::srec_read(path.c_str(), info, sizeof info, image, sizeof image, &raw_entry, &entry,
                          &lowest, &highest, nullptr);
    // A small image through a map that folds addresses, as the FLASH formats do.
    static uint8_t small[0x400];
    (void)zelv::srec_read(path.c_str(), nullptr, 0, small, sizeof small, nullptr, &entry, &lowest,
                          &highest, [](uint32_t a) { return (a >> 16) * 0x100 + (a & 0xFF); });
    return 0;
}
