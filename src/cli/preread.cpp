#include "cli/preread.h"

#include <cerrno>
#include <vector>

#include "cli/options.h"
#include "mcu/status_report.h"
#include "memops/eeprom_frames.h"
#include "memops/flash_layout.h"
#include "memops/memory_image.h"
#include "srec/output_file.h"
#include "srec/preloaded.h"
#include "srec/srec.h"
#include "target/target_model.h"

namespace zelv {
namespace {

// What an operation does with its file. An operation that takes a FLASH-format or an
// EEPROM-format file (a write, or a compare against the target) is one more row.
enum class FileUse { kFlashImage, kFlashCompare, kEepromImage, kRamImage, kOutput };

struct FileOption {
    int letter;
    FileUse use;
};

constexpr FileOption kFileOptions[] = {
    {'H', FileUse::kFlashImage},
    {'C', FileUse::kEepromImage},
    {'X', FileUse::kRamImage},
    {'G', FileUse::kOutput},
    {'B', FileUse::kOutput},
    // A compare only reads: the resident program's own area is no reason to refuse its file.
    {kOptionVerifyFlash, FileUse::kFlashCompare},
    {kOptionVerifyEeprom, FileUse::kEepromImage},
};

const FileOption* find_file_option(int letter) {
    for (const FileOption& row : kFileOptions) {
        if (row.letter == letter) {
            return &row;
        }
    }
    return nullptr;
}

// Places the image as the FLASH write will (the selected address format), so that an
// address outside this part's FLASH stops the run now, then asks the interface whether it may
// write it (writes only).
int check_flash_image(const char* path, const InterfaceOps& entry, bool writes) {
    if (target().flash_size == 0) {
        return 0;  // the write itself reports "no FLASH memory"
    }
    std::vector<uint8_t> image;
    if (const int result = allocate_image(&image, flash_image_size()); result != 0) {
        return result;
    }
    if (const int result =
            srec_read(path, nullptr, 0, image.data(), static_cast<uint32_t>(image.size()), nullptr,
                      nullptr, nullptr, nullptr, flash_read_map());
        result != 0) {
        return result;
    }
    return writes && entry.flash_image_check != nullptr
               ? entry.flash_image_check(image.data(), static_cast<uint32_t>(image.size()))
               : 0;
}

// The operations that reach the EEPROM or RAM through the window the connection found: one
// that is off or hidden under the registers stops the run before the first operation.
struct WindowUse {
    int letter;
    const char* what;
    bool ram;
};

constexpr WindowUse kWindowUses[] = {
    {'A', "EEPROM erase", false},
    {'B', "EEPROM read", false},
    {'C', "EEPROM write", false},
    {'D', "EEPROM protect", false},
    {kOptionVerifyEeprom, "EEPROM verify", false},
    {'X', "RAM load", true},
};

int check_window(int letter) {
    for (const WindowUse& row : kWindowUses) {
        if (row.letter == letter) {
            return row.ram ? ram_window_check(row.what) : eeprom_window_check(row.what);
        }
    }
    return 0;
}

int check_eeprom_image(const char* path) {
    const uint32_t size = target().eeprom_size;
    if (size == 0) {
        return 0;  // the write itself reports "no EEPROM memory"
    }
    std::vector<uint8_t> image;
    if (const int result = allocate_image(&image, size); result != 0) {
        return result;
    }
    return srec_read(path, nullptr, 0, image.data(), size, nullptr, nullptr, nullptr, nullptr,
                     eeprom_address_to_offset);
}

}  // namespace

int preread_before_open(int argc, char** argv, const InterfaceOps& entry) {
    options_restart();
    Operation operation{};
    while (options_next_operation(argc, argv, &operation)) {
        const FileOption* row = find_file_option(operation.letter);
        if (row == nullptr) {
            continue;
        }
        int result = 0;
        if (row->use == FileUse::kOutput) {
            result = output_file_check(operation.argument);
        } else {
            const SrecFile* file = nullptr;
            result = srec_preload(operation.argument, &file);
            if (result == 0 &&
                (row->use == FileUse::kFlashImage || row->use == FileUse::kFlashCompare)) {
                result =
                    check_flash_image(operation.argument, entry, row->use == FileUse::kFlashImage);
            } else if (result == 0 && row->use == FileUse::kRamImage &&
                       entry.ram_image_check != nullptr) {
                result = entry.ram_image_check(operation.argument);
            }
        }
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

int preread_after_open(int argc, char** argv) {
    options_restart();
    Operation operation{};
    while (options_next_operation(argc, argv, &operation)) {
        if (const int result = check_window(operation.letter); result != 0) {
            return result;
        }
        const FileOption* row = find_file_option(operation.letter);
        if (row != nullptr && row->use == FileUse::kEepromImage) {
            if (const int result = check_eeprom_image(operation.argument); result != 0) {
                return result;
            }
        }
    }
    return 0;
}

void preread_end() {
    srec_preloaded_clear();
}

}  // namespace zelv
