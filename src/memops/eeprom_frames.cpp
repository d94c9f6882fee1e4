#include "memops/eeprom_frames.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/console.h"
#include "base/progress.h"
#include "base/settings.h"
#include "memops/memory_image.h"
#include "srec/srec.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr unsigned kInfoSize = 256;
constexpr uint32_t kProtectedField = 16;  // the last bytes of the EEPROM
constexpr uint16_t kProtectionRegister = 0x0114;
constexpr uint32_t kProtectionOffsetFromEnd = 3;

// "all" first; the sized rows protect 64 * (index + 1) bytes at the top with 0xF0 + index.
constexpr EepromProtection kProtections[] = {
    {"all", 0x7F, 0},    {"64B", 0xF0, 64},   {"128B", 0xF1, 128},
    {"192B", 0xF2, 192}, {"256B", 0xF3, 256}, {"320B", 0xF4, 320},
    {"384B", 0xF5, 384}, {"448B", 0xF6, 448}, {"512B", 0xF7, 512},
};

// ASCII comparison without regard to case, independent of the locale.
bool same_text_ignoring_case(const char* a, const char* b) {
    const auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (lower(*a) != lower(*b)) {
            return false;
        }
    }
    return *a == *b;
}

uint16_t target_address(uint32_t offset) {
    return static_cast<uint16_t>((target().eeprom_base + offset) & 0xFFFFU);
}

// A chunk is skipped when every byte is erased; testing bytes rather than words keeps the
// test inside a chunk that is not a multiple of 4.
bool chunk_erased(const uint8_t* data, uint32_t length) {
    return std::all_of(data, data + length, [](uint8_t b) { return b == 0xFF; });
}

// Under -v: reads back every chunk that was written and compares each word of the image
// that is not erased with what the EEPROM gives, as the FLASH write's verify does. `label`
// starts the progress bar and the closing line ("EEPROM write", "EEPROM verify").
int verify_chunks(const std::vector<uint8_t>& image, uint32_t chunk, EepromReadChunk read_chunk,
                  const char* label) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    std::vector<uint8_t> back;
    if (const int result = allocate_image(&back, chunk); result != 0) {
        return result;
    }
    uint32_t total = 0;
    char bar[32] = {};
    std::snprintf(bar, sizeof bar, "%s: verify", label);
    const uint64_t start = progress_start(bar);
    for (uint32_t offset = 0; offset < size; offset += chunk) {
        const uint8_t* data = image.data() + offset;
        if (chunk_erased(data, chunk)) {
            continue;
        }
        if (const int result = read_chunk(target_address(offset), back.data(), chunk);
            result != 0) {
            return result;
        }
        for (uint32_t k = 0; k + 1 < chunk; k += 2) {
            const auto expected = static_cast<uint16_t>(data[k] << 8 | data[k + 1]);
            const auto value = static_cast<uint16_t>(back[k] << 8 | back[k + 1]);
            if (expected != 0xFFFF && value != expected) {
                report_error(
                    "EEPROM data verify error at address <0x%04X> value <0x%04X> expected "
                    "<0x%04X>\n",
                    target_address(offset + k), value, expected);
                return EIO;
            }
        }
        total += chunk;
        progress_step(offset + chunk, size);
    }
    progress_end(start, bar, total);
    print_info("%s: verify ok\n", label);
    return 0;
}

// Reads `path` into the 0xFF image and prints its name and header, each line starting with
// `label`. *lowest > *highest afterwards when the file holds no data record.
int load_file(const char* path, const char* label, std::vector<uint8_t>* image, uint32_t* lowest,
              uint32_t* highest) {
    const auto size = static_cast<uint32_t>(image->size());
    print_info("%s: image file <%s>\n", label, path);
    char info[kInfoSize] = {};
    *lowest = 0;
    *highest = 0;
    if (const int result = srec_read(path, info, kInfoSize, image->data(), size, nullptr, nullptr,
                                     lowest, highest, eeprom_address_to_offset);
        result != 0) {
        return result;
    }
    if (*lowest > *highest) {
        // No data record: the reader left lowest at the size, and there is no span to show.
        print_info("%s: no data in file\n", label);
        return 0;
    }
    const uint32_t base = target().eeprom_base;
    print_info("%s: data info <%s>\n%s: address range <0x%04X-0x%04X> length <0x%04X>\n", label,
               info, label, base + *lowest, base + *highest, *highest + 1 - *lowest);
    return 0;
}

}  // namespace

uint32_t eeprom_address_to_offset(uint32_t address) {
    const TargetModel& t = target();
    if (address >= t.eeprom_base &&
        static_cast<uint64_t>(address) < static_cast<uint64_t>(t.eeprom_base) + t.eeprom_size) {
        return address - t.eeprom_base;
    }
    return t.eeprom_size;
}

const EepromProtection* eeprom_protection_find(const char* range) {
    if (range == nullptr) {
        return nullptr;
    }
    if (std::strcmp(range, kProtections[0].name) == 0) {
        return &kProtections[0];
    }
    for (const EepromProtection& row : kProtections) {
        if (row.block_size != 0 && same_text_ignoring_case(range, row.name)) {
            return &row;
        }
    }
    return nullptr;
}

int eeprom_read_frame(const char* path, uint32_t chunk, EepromReadChunk read_chunk,
                      ReadImageCheck check) {
    const uint32_t size = target().eeprom_size;
    if (size == 0) {
        report_error("EEPROM read not possible - no EEPROM memory\n");
        return EINVAL;
    }
    // A chunk that does not divide the EEPROM would make the last read run past the image.
    if (chunk == 0 || size % chunk != 0) {
        report_error("invalid chunk size for EEPROM read: %u\n", chunk);
        return EINVAL;
    }
    std::vector<uint8_t> image;
    if (const int result = allocate_image(&image, size); result != 0) {
        return result;
    }

    const uint64_t start = progress_start("EEPROM read: data");
    for (uint32_t offset = 0; offset < size; offset += chunk) {
        const int result = read_chunk(target_address(offset), image.data() + offset, chunk);
        if (result != 0) {
            return result;
        }
        progress_step(offset + chunk, size);
    }
    progress_end(start, "EEPROM read: data", size);
    if (check != nullptr) {
        if (const int result = check("EEPROM read", image.data(), size); result != 0) {
            return result;
        }
    }

    const uint32_t base = target().eeprom_base;
    const int result =
        srec_write(path, "EEPROM data", base, size, image.data(), base, nullptr,
                   settings().include_erased == 0, static_cast<unsigned>(settings().srec_size));
    if (result == 0) {
        print_info("EEPROM read: data file <%s> written\n", path);
    }
    return result;
}

namespace {

// What the write and the compare share: the EEPROM and the chunk size checked, the file read
// into an image preset to 0xFF (`label` starts its status lines); lowest > highest when the
// file holds no data.
int load_checked(const char* path, uint32_t chunk, const char* label, std::vector<uint8_t>* image,
                 uint32_t* lowest, uint32_t* highest) {
    const uint32_t size = target().eeprom_size;
    if (size == 0) {
        report_error("%s not possible - no EEPROM memory\n", label);
        return EINVAL;
    }
    if (chunk < 2 || chunk % 2 != 0 || size % chunk != 0) {
        report_error("invalid chunk size for %s: %u\n", label, chunk);
        return EINVAL;
    }
    if (const int result = allocate_image(image, size); result != 0) {
        return result;
    }
    return load_file(path, label, image, lowest, highest);
}

}  // namespace

int eeprom_write_frame(const char* path, uint32_t chunk, EepromWriteChunk write_chunk,
                       EepromReadChunk read_chunk) {
    const uint32_t size = target().eeprom_size;
    std::vector<uint8_t> image;
    uint32_t lowest = 0;
    uint32_t highest = 0;
    if (const int result = load_checked(path, chunk, "EEPROM write", &image, &lowest, &highest);
        result != 0 || lowest > highest) {
        return result;
    }
    const uint32_t length = highest + 1 - lowest;
    if (highest + kProtectedField >= size && settings().force == 0) {
        report_error(
            "EEPROM data covers protected area. If this is intended, consider -f option.\n");
        return EINVAL;
    }

    const uint64_t start = progress_start("EEPROM write: data");
    for (uint32_t offset = 0; offset < size; offset += chunk) {
        if (chunk_erased(image.data() + offset, chunk)) {
            continue;
        }
        const int result = write_chunk(target_address(offset), image.data() + offset, chunk);
        if (result != 0) {
            return result;
        }
        // Progress counts the bytes of the span up to this chunk's end, so a chunk longer
        // than the span cannot push the bar past its columns.
        const uint32_t covered_end = std::min(offset + chunk, highest + 1);
        progress_step(covered_end > lowest ? covered_end - lowest : 0, length);
    }
    progress_end(start, "EEPROM write: data", length);
    return settings().verify != 0 && read_chunk != nullptr
               ? verify_chunks(image, chunk, read_chunk, "EEPROM write")
               : 0;
}

int eeprom_verify_frame(const char* path, uint32_t chunk, EepromReadChunk read_chunk) {
    std::vector<uint8_t> image;
    uint32_t lowest = 0;
    uint32_t highest = 0;
    if (const int result = load_checked(path, chunk, "EEPROM verify", &image, &lowest, &highest);
        result != 0 || lowest > highest) {
        return result;
    }
    return verify_chunks(image, chunk, read_chunk, "EEPROM verify");
}

int eeprom_protect_frame(const char* range, EepromProgramWord program_word) {
    const TargetModel& t = target();
    if (t.eeprom_size == 0) {
        report_error("EEPROM protect not possible - no EEPROM memory\n");
        return EINVAL;
    }
    if (t.secured != 0 && settings().force == 0) {
        report_error(
            "EEPROM protect not possible - MCU secured (-f option forces the operation)\n");
        return EIO;
    }
    const EepromProtection* protection = eeprom_protection_find(range);
    if (protection == nullptr) {
        report_error("invalid EEPROM protection area: %s\n", range != nullptr ? range : "");
        return EINVAL;
    }
    uint8_t current = 0;
    if (const int result = t.target_read_byte(kProtectionRegister, &current); result != 0) {
        return result;
    }
    if (current != 0xFF && settings().force == 0) {
        report_error("EEPROM protection already set (-f option forces the operation)\n");
        return EINVAL;
    }

    // The byte sits at an odd address; it is programmed as the word at the even address
    // below it, with the neighbouring byte left erased.
    const auto where =
        static_cast<uint16_t>((t.eeprom_base + t.eeprom_size - kProtectionOffsetFromEnd) & 0xFFFFU);
    if (const int result = program_word(static_cast<uint16_t>(where & 0xFFFEU),
                                        static_cast<uint16_t>(0xFF00U | protection->value));
        result != 0) {
        return result;
    }

    if (current != 0xFF) {
        print_info("EEPROM protect: protection already set - forced overwrite\n");
    }
    if (protection->block_size == 0) {
        print_info("EEPROM protect: whole area\n");
    } else {
        const uint32_t end = t.eeprom_base + t.eeprom_size;
        print_info("EEPROM protect: address range <0x%04X-0x%04X> block size <%uB>\n",
                   end - protection->block_size, end - 1, protection->block_size);
    }

    if (settings().verify != 0) {
        uint8_t readback = 0;
        if (const int result = t.target_read_byte(where, &readback); result != 0) {
            return result;
        }
        if (readback != protection->value) {
            report_error("EEPROM protection error: value 0x%02X, expected 0x%02X\n", readback,
                         protection->value);
            return EIO;
        }
        print_info("EEPROM protect: verify ok\n");
    }
    return 0;
}

}  // namespace zelv
