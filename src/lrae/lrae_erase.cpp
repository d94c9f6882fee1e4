// FLASH erase through the LRAE agent: every block bulk-erased, or, with -Z, block 0 sector
// by sector around the boot loader, its reset vector restored, and the other blocks
// bulk-erased.
#include <cerrno>
#include <cstdint>
#include <vector>

#include "base/console.h"
#include "base/progress.h"
#include "base/settings.h"
#include "lrae/lrae_agent.h"
#include "lrae/lrae_link.h"
#include "lrae/lrae_operations.h"
#include "memops/flash_layout.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint32_t kPageSize = 0x4000;
constexpr uint16_t kWindow = 0x8000;
constexpr uint16_t kResetVector = 0xFFFE;
constexpr uint16_t kBootLoaderEntry = 0x4000;
constexpr uint16_t kSecurityWord = 0xFF0E;
constexpr uint16_t kUnsecured = 0xFFFE;  // leaves the security byte 0xFF0F at 0xFE
constexpr uint8_t kNotClear = 0x03;

uint32_t last_page() {
    return target().ppage_base + target().ppage_count - 1;
}

// How far below the last page the CPU's 0x4000 window lies: HCS12X parts show page 0xFD
// there, the others the page below the last.
uint32_t boot_page_distance() {
    return target().family_id == kFamilyHcs12x ? 2 : 1;
}

// The checks that make the sector pass safe: whole 16 KB pages in equal blocks, the CPU's
// fixed pages at the top of the page numbers, and the boot loader page inside block 0, so
// that the pass over block 0 skips exactly the boot loader and the reset vector it restores
// lands in a page it has erased.
bool layout_keeps_lrae() {
    const TargetModel& m = target();
    const uint64_t pages = m.ppage_count;
    const uint32_t top = m.family_id == kFamilyHcs12x ? 0xFF : 0x3F;
    if (pages < 2 || pages <= boot_page_distance() || m.flash_size != pages * kPageSize ||
        pages % m.flash_block_count != 0 || last_page() != top ||
        kPageSize % m.flash_sector_size != 0 || lrae_state().lrae_size > kPageSize) {
        return false;
    }
    const uint32_t block0_first =
        m.ppage_base + (m.flash_block_count - 1) * (m.ppage_count / m.flash_block_count);
    return last_page() - boot_page_distance() >= block0_first;
}

uint8_t boot_page() {
    return static_cast<uint8_t>(last_page() - boot_page_distance());
}

int bulk_erase(uint32_t block) {
    const uint8_t parameters[2] = {static_cast<uint8_t>(block), flash_block_page(block)};
    int result = lrae_frame(kLraeBulkErase, parameters, sizeof parameters);
    if (result == 0) {
        // Any answer but 0x00 is a failed erase.
        result = lrae_judge("communication failed, invalid response received\n",
                            "communication failed, invalid response received\n");
    }
    if (result != 0) {
        return result;
    }
    print_info("FLASH erase: block #%u bulk erased\n", block);
    if (!settings().verify) {
        return 0;
    }
    if ((result = lrae_frame(kLraeEraseVerify, parameters, sizeof parameters)) != 0) {
        return result;
    }
    uint8_t answer = 0;
    if ((result = lrae_receive(&answer)) != 0) {
        return result;
    }
    if (answer == kLraeGood) {
        print_info("FLASH erase: block #%u verified\n", block);
        return 0;
    }
    report_error(answer == kNotClear ? "FLASH erase verify failed - memory not clear\n"
                                     : "unknown response\n");
    return EIO;
}

int bulk_erase_from(uint32_t first_block) {
    for (uint32_t block = first_block; block < target().flash_block_count; ++block) {
        if (const int result = bulk_erase(block); result != 0) {
            return result;
        }
    }
    return 0;
}

// Block 0 page by page, by banked page numbers whatever -a says, each sector through the
// window, the boot loader's own sectors skipped. The last sector, which holds the vectors,
// goes last, so a failure on the way leaves the old reset vector in place.
int erase_block0_sectors() {
    const TargetModel& m = target();
    const uint32_t first = flash_block_page(0);
    const uint32_t sector = m.flash_sector_size;
    const uint32_t total = (last_page() - first + 1) * kPageSize;
    uint32_t done = 0;
    const uint64_t start = progress_start("FLASH erase: block #0");
    for (uint32_t page = first; page <= last_page(); ++page) {
        for (uint32_t in_page = 0; in_page < kPageSize; in_page += sector) {
            if (page == boot_page() && in_page < lrae_state().lrae_size) {
                print_debug("skip LRAE area: 0x%04X\n", in_page);
            } else {
                const uint16_t address = static_cast<uint16_t>(kWindow + in_page);
                const uint8_t parameters[4] = {0, static_cast<uint8_t>(page),
                                               static_cast<uint8_t>(address >> 8),
                                               static_cast<uint8_t>(address & 0xFF)};
                int result = lrae_frame(kLraeEraseSector, parameters, sizeof parameters);
                if (result == 0) {
                    result = lrae_result(nullptr, "sector erase", 0, static_cast<uint8_t>(page),
                                         address);
                }
                if (result != 0) {
                    return result;
                }
            }
            done += sector;
            progress_step(done, total);
        }
    }
    progress_end(start, nullptr, 0);
    return 0;
}

// With -v, block 0 is read back: every byte but the boot loader's and the restored reset
// vector must be erased. The agent's own verify command looks at whole blocks, which here
// hold the boot loader.
int verify_block0() {
    const uint32_t first = flash_block_page(0);
    const uint32_t total = (last_page() - first + 1) * kPageSize;
    std::vector<uint8_t> page_bytes(kPageSize);
    const uint64_t start = progress_start("FLASH erase: verify block #0");
    for (uint32_t page = first; page <= last_page(); ++page) {
        int result = lrae_page_open(0, static_cast<uint8_t>(page));
        if (result == 0) {
            result = lrae_page_take(page_bytes.data(), kPageSize);
        }
        if (result == 0) {
            result = lrae_page_close();
        }
        if (result != 0) {
            return result;
        }
        const uint32_t kept_from = page == boot_page() ? lrae_state().lrae_size : 0;
        const uint32_t kept_to = page == last_page() ? kResetVector - 0xC000 : kPageSize;
        for (uint32_t i = kept_from; i < kept_to; ++i) {
            if (page_bytes[i] != 0xFF) {
                report_error("FLASH erase verify failed - memory not clear\n");
                return EIO;
            }
        }
        progress_step((page - first + 1) * kPageSize, total);
    }
    progress_end(start, nullptr, 0);
    print_info("FLASH erase: block #0 verified\n");
    return 0;
}

int keep_lrae_erase() {
    int result = erase_block0_sectors();
    if (result != 0) {
        return result;
    }
    if ((result = lrae_write_word(static_cast<uint8_t>(last_page()), kResetVector,
                                  kBootLoaderEntry)) != 0) {
        return result;
    }
    print_info("FLASH erase: LRAE retained, reset vector restored\n");
    if (settings().verify && (result = verify_block0()) != 0) {
        return result;
    }
    return bulk_erase_from(1);
}

}  // namespace

int lrae_flash_erase(int unsecure) {
    const bool keep = settings().keep_lrae != 0;
    int result = lrae_flash_available("erase");
    if (result != 0) {
        return result;
    }
    if (keep && !layout_keeps_lrae()) {
        report_error("FLASH layout does not allow keeping LRAE\n");
        return EINVAL;
    }
    if ((result = lrae_agent_load()) != 0) {
        return result;
    }
    // The sector pass erases the FLASH configuration field along with the vectors; with -Z
    // the security byte is therefore always written back, unsecured.
    result = keep ? keep_lrae_erase() : bulk_erase_from(0);
    if (result != 0) {
        return result;
    }
    print_info("FLASH erase: memory erased\n");
    if (unsecure == 0 && !keep) {
        return 0;
    }
    if ((result = lrae_write_word(static_cast<uint8_t>(last_page()), kSecurityWord, kUnsecured)) !=
        0) {
        return result;
    }
    print_info("FLASH erase: security byte set to unsecure state\n");
    return 0;
}

}  // namespace zelv
