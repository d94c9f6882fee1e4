#include "memops/flash_frames.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/bytes.h"
#include "base/console.h"
#include "base/progress.h"
#include "base/settings.h"
#include "memops/flash_layout.h"
#include "memops/memory_image.h"
#include "srec/srec.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint32_t kPageSize = 0x4000;
constexpr uint32_t kWord = 4;
constexpr uint32_t kNoEntry = 0xFFFFFFFFU;
constexpr unsigned kInfoSize = 256;

// The frames work on whole 4-byte words aligned to the image start; a word is erased when
// all its bytes are 0xFF. The image size is a multiple of 4 once the chunk was accepted.
bool word_erased(const std::vector<uint8_t>& image, uint32_t offset) {
    return image[offset] == 0xFF && image[offset + 1] == 0xFF && image[offset + 2] == 0xFF &&
           image[offset + 3] == 0xFF;
}

// End of the erase sector that holds `offset`, sectors counted from image offset 0, capped
// at the image end.
uint32_t sector_end(uint32_t offset, uint32_t image_size) {
    const uint32_t sector = target().flash_sector_size;
    const uint64_t end = (static_cast<uint64_t>(offset) / sector + 1) * sector;
    return static_cast<uint32_t>(std::min<uint64_t>(end, image_size));
}

// Prints the runs of data words page by page and returns their total size. A run ends at
// the next erased word or at a 16 KB page boundary; the last page may be partial.
uint32_t print_ranges(const std::vector<uint8_t>& image, const char* label) {
    const auto size = static_cast<uint32_t>(image.size());
    const bool banked = settings().address_format != kNonBanked;
    const uint32_t base = banked ? target().ppage_linear_base : target().flash_nb_base;
    uint32_t total = 0;
    uint32_t page_end = 0;
    for (uint32_t page = 0; page < size; page = page_end) {
        page_end = page + std::min(kPageSize, size - page);
        uint32_t o = page;
        while (o < page_end) {
            if (word_erased(image, o)) {
                o += kWord;
                continue;
            }
            const uint32_t start = o;
            while (o < page_end && !word_erased(image, o)) {
                o += kWord;
            }
            total += o - start;
            if (banked) {
                print_info("%s: linear address range <0x%05X-0x%05X> size <0x%04X>\n", label,
                           base + start, base + o - 1, o - start);
            } else {
                print_info("%s: address range <0x%04X-0x%04X> size <0x%04X>\n", label,
                           base + start, base + o - 1, o - start);
            }
        }
    }
    return total;
}

// Programs every data word in blocks that stay within one chunk length and one sector.
int program_data(const std::vector<uint8_t>& image, uint32_t chunk, uint32_t total,
                 FlashProgramBlock program_block) {
    const auto size = static_cast<uint32_t>(image.size());
    uint32_t written = 0;
    uint32_t o = 0;
    while (o < size) {
        const uint32_t limit_end = sector_end(o, size);
        const uint32_t window_end = std::min(limit_end, o + std::min(chunk, size - o));
        uint32_t p = o;
        while (p < window_end && word_erased(image, p)) {
            p += kWord;
        }
        if (p >= window_end) {
            o = window_end;
            continue;
        }
        const uint32_t block_limit = std::min(limit_end, p + std::min(chunk, size - p));
        uint32_t end = p;
        while (end < block_limit && !word_erased(image, end)) {
            end += kWord;
        }
        const int result = program_block(p, image.data() + p, end - p);
        if (result != 0) {
            return result;
        }
        written += end - p;
        progress_step(written, total);
        o = end;
    }
    return 0;
}

bool page_holds_data(const std::vector<uint8_t>& image, uint32_t from, uint32_t to) {
    for (uint32_t o = from; o < to; o += kWord) {
        if (!word_erased(image, o)) {
            return true;
        }
    }
    return false;
}

// Compares one piece read back at `offset` with the image, data words only.
int compare_piece(const std::vector<uint8_t>& image, uint32_t offset, const uint8_t* piece,
                  uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) {
        const uint32_t o = offset + i;
        if (piece[i] != image[o] && !word_erased(image, o - o % kWord)) {
            report_error(
                "FLASH data verify error at address <0x%X> value <0x%02X> expected "
                "<0x%02X>\n",
                flash_write_map()(o), piece[i], image[o]);
            return EIO;
        }
    }
    return 0;
}

// Reads back every page that holds data, whole and from its start (a reader that streams a
// page must begin there), and compares what the file holds. `progress` names the bar, `ok`
// is the line printed when everything matched.
int verify_data(const std::vector<uint8_t>& image, FlashReadChunk read_chunk, uint32_t read_size,
                const char* progress, const char* ok) {
    const auto size = static_cast<uint32_t>(image.size());
    uint32_t total = 0;
    for (uint32_t page = 0; page < size; page += kPageSize) {
        const uint32_t end = page + std::min(kPageSize, size - page);
        if (page_holds_data(image, page, end)) {
            total += end - page;
        }
    }
    std::vector<uint8_t> piece;
    if (const int result = allocate_image(&piece, std::min(read_size, kPageSize)); result != 0) {
        return result;
    }

    const uint64_t start = progress_start(progress);
    uint32_t done = 0;
    for (uint32_t page = 0; page < size; page += kPageSize) {
        const uint32_t end = page + std::min(kPageSize, size - page);
        if (!page_holds_data(image, page, end)) {
            continue;
        }
        for (uint32_t o = page; o < end;) {
            const uint32_t length = std::min(read_size, end - o);
            int result = read_chunk(o, piece.data(), length);
            if (result == 0) {
                result = compare_piece(image, o, piece.data(), length);
            }
            if (result != 0) {
                return result;
            }
            o += length;
            done += length;
            progress_step(done, total);
        }
    }
    progress_end(start, progress, total);
    print_info("%s\n", ok);
    return 0;
}

// Reads `path` into the 0xFF image the caller allocated and prints its name and header, each
// line starting with `label`.
int load_file(const char* path, const char* label, std::vector<uint8_t>* image) {
    print_info("%s: image file <%s>\n", label, path);
    char info[kInfoSize] = {};
    uint32_t raw_entry = kNoEntry;
    if (const int result =
            srec_read(path, info, kInfoSize, image->data(), static_cast<uint32_t>(image->size()),
                      &raw_entry, nullptr, nullptr, nullptr, flash_read_map());
        result != 0) {
        return result;
    }
    // Room for every 32-bit entry: a shorter text would cut an S7 address to a wrong value.
    char entry_text[11] = "unknown";
    if (raw_entry != kNoEntry) {
        std::snprintf(entry_text, sizeof entry_text, "0x%04X", raw_entry);
    }
    print_info("%s: image info <%s> entry <%s>\n", label, info[0] != '\0' ? info : "unknown",
               entry_text);
    return 0;
}

}  // namespace

int flash_read_frame(const char* path, uint32_t chunk, FlashReadChunk read_chunk,
                     ReadImageCheck check) {
    if (target().flash_size == 0) {
        report_error("FLASH read not possible - no FLASH memory\n");
        return EINVAL;
    }
    const uint32_t size = flash_image_size();
    // A chunk that does not divide the image would make the last read run past its end.
    if (chunk == 0 || size % chunk != 0) {
        report_error("invalid chunk size for FLASH read: %u\n", chunk);
        return EINVAL;
    }
    std::vector<uint8_t> image;
    if (const int result = allocate_image(&image, size); result != 0) {
        return result;
    }

    const uint64_t start = progress_start("FLASH read: data");
    for (uint32_t offset = 0; offset < size; offset += chunk) {
        const int result = read_chunk(offset, image.data() + offset, chunk);
        if (result != 0) {
            return result;
        }
        progress_step(offset + chunk, size);
    }
    progress_end(start, "FLASH read: data", size);
    if (check != nullptr) {
        if (const int result = check("FLASH read", image.data(), size); result != 0) {
            return result;
        }
    }

    // The last word of the image: the reset vector in the non-banked window. An image too
    // short to hold a word has no vector, so the file names entry 0.
    const uint32_t entry = size >= 2 ? be16_get(image.data() + size - 2) : 0;
    const int result =
        srec_write(path, "FLASH image", 0, size, image.data(), entry, flash_write_map(),
                   settings().include_erased == 0, static_cast<unsigned>(settings().srec_size));
    if (result == 0) {
        print_info("FLASH read: data file <%s> written\n", path);
    }
    return result;
}

int flash_write_frame(const char* path, uint32_t chunk, FlashProgramBlock program_block,
                      FlashReadChunk read_chunk, uint32_t read_size) {
    if (target().flash_size == 0) {
        report_error("FLASH write not possible - no FLASH memory\n");
        return EINVAL;
    }
    const uint32_t size = flash_image_size();
    // Blocks are whole words, so the chunk must hold whole words too.
    if (chunk < 2 || chunk % kWord != 0 || size % chunk != 0 ||
        chunk > target().flash_sector_size) {
        report_error("invalid chunk size for FLASH write: %u\n", chunk);
        return EINVAL;
    }
    const bool verify = settings().verify != 0;
    if (verify && read_size == 0) {
        report_error("invalid chunk size for FLASH verify: %u\n", read_size);
        return EINVAL;
    }
    std::vector<uint8_t> image;
    if (const int result = allocate_image(&image, size); result != 0) {
        return result;
    }

    if (const int result = load_file(path, "FLASH write", &image); result != 0) {
        return result;
    }
    const uint32_t total = print_ranges(image, "FLASH write");
    const uint64_t start = progress_start("FLASH write: image");
    if (const int result = program_data(image, chunk, total, program_block); result != 0) {
        return result;
    }
    progress_end(start, "FLASH write: image", total);
    return verify ? verify_data(image, read_chunk, read_size, "FLASH write: verify",
                                "FLASH write: verify ok")
                  : 0;
}

int flash_verify_frame(const char* path, FlashReadChunk read_chunk, uint32_t read_size) {
    if (target().flash_size == 0) {
        report_error("FLASH verify not possible - no FLASH memory\n");
        return EINVAL;
    }
    if (read_size == 0) {
        report_error("invalid chunk size for FLASH verify: %u\n", read_size);
        return EINVAL;
    }
    std::vector<uint8_t> image;
    if (const int result = allocate_image(&image, flash_image_size()); result != 0) {
        return result;
    }
    if (const int result = load_file(path, "FLASH verify", &image); result != 0) {
        return result;
    }
    (void)print_ranges(image, "FLASH verify");
    return verify_data(image, read_chunk, read_size, "FLASH verify: data", "FLASH verify: ok");
}

}  // namespace zelv
