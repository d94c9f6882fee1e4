#include "memops/flash_layout.h"

#include "base/settings.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint32_t kPageSize = 0x4000;
constexpr uint32_t kPpageWindow = 0x8000;
constexpr uint32_t kOutside = 0xFFFFFFFFU;

// In banked-ppage files the fixed windows 0x4000-0x7FFF and 0xC000-0xFFFF stand for pages
// 0x3E and 0x3F on an HCS12; these constants put them there whatever ppage_base is.
constexpr uint32_t kFixedLowToLinear = 0xF4000;
constexpr uint32_t kFixedHighToLinear = 0xF0000;

// An HCS12X shows page 0xFD at 0x4000-0x7FFF and page 0xFF at 0xC000-0xFFFF.
constexpr uint32_t kXFixedLowPage = 0xFD;
constexpr uint32_t kXFixedHighPage = 0xFF;

bool banked() {
    return settings().address_format != kNonBanked;
}

bool hcs12x() {
    return target().family_id == kFamilyHcs12x;
}

// The image offset of byte address % 0x4000 of a page; a page below ppage_base wraps far
// above every image size.
uint32_t page_offset(uint32_t page, uint32_t address) {
    return (page - target().ppage_base) * kPageSize + address % kPageSize;
}

uint8_t low8(uint32_t value) {
    return static_cast<uint8_t>(value & 0xFFU);
}

}  // namespace

uint32_t flash_image_size() {
    return banked() ? target().flash_size : target().flash_nb_size;
}

uint32_t nb_offset_to_address(uint32_t offset) {
    return target().flash_nb_base + offset;
}

uint32_t linear_offset_to_address(uint32_t offset) {
    return target().ppage_linear_base + offset;
}

uint32_t ppage_offset_to_address(uint32_t offset) {
    return (target().ppage_base + offset / kPageSize) * 0x10000U + kPpageWindow +
           offset % kPageSize;
}

uint32_t nb_address_to_offset(uint32_t address) {
    return address - target().flash_nb_base;
}

uint32_t linear_address_to_offset(uint32_t address) {
    return address - target().ppage_linear_base;
}

uint32_t ppage_address_to_offset(uint32_t address) {
    const TargetModel& t = target();
    if (address >= t.flash_nb_base + t.flash_nb_size) {
        // A banked address: the page in the bits above 16 and an address in the PPAGE
        // window below. Any other low half names no FLASH byte; folding it into the page
        // would program the wrong bytes.
        const uint32_t window = address & 0xFFFFU;
        if (window < kPpageWindow || window >= kPpageWindow + kPageSize) {
            return kOutside;
        }
        return page_offset(address / 0x10000U, address);
    }
    if (address >= 0x4000 && address <= 0x7FFF) {
        return hcs12x() ? page_offset(kXFixedLowPage, address)
                        : address + kFixedLowToLinear - t.ppage_linear_base;
    }
    if (address >= 0xC000 && address <= 0xFFFF) {
        return hcs12x() ? page_offset(kXFixedHighPage, address)
                        : address + kFixedHighToLinear - t.ppage_linear_base;
    }
    // The PPAGE window without a page, or below the FLASH windows.
    return kOutside;
}

FlashMap flash_write_map() {
    switch (settings().address_format) {
        case kBankedLinear:
            return linear_offset_to_address;
        case kBankedPpage:
            return ppage_offset_to_address;
        default:
            return nb_offset_to_address;
    }
}

FlashMap flash_read_map() {
    switch (settings().address_format) {
        case kBankedLinear:
            return linear_address_to_offset;
        case kBankedPpage:
            return ppage_address_to_offset;
        default:
            return nb_address_to_offset;
    }
}

uint8_t flash_offset_page(uint32_t offset) {
    const TargetModel& t = target();
    if (banked() || t.ppage_count <= 2) {
        return low8(t.ppage_base + offset / kPageSize);
    }
    // Non-banked with more than two pages: 0x4000-0x7FFF is the second-highest page (on an
    // HCS12X the third-highest, 0xFD), the PPAGE window shows ppage_default, 0xC000-0xFFFF
    // is the highest page.
    if (offset < 0x4000) {
        return low8(t.ppage_base + t.ppage_count - (hcs12x() ? 3 : 2));
    }
    if (offset < 0x8000) {
        return low8(t.ppage_default);
    }
    if (offset < 0xC000) {
        return low8(t.ppage_base + t.ppage_count - 1);
    }
    return low8(t.ppage_base + offset / kPageSize);
}

uint8_t flash_offset_block(uint32_t offset) {
    const TargetModel& t = target();
    const uint32_t count = low8(t.flash_block_count);
    if (banked()) {
        if (t.flash_block_size == 0) {
            return 0;
        }
        return low8(count - 1 - offset / t.flash_block_size);
    }
    // The non-banked image shows the fixed pages of the top block and whatever page the
    // window holds, so the block follows from the page, not from the offset.
    if (t.flash_block_count == 0 || t.ppage_count / t.flash_block_count == 0) {
        return 0;
    }
    const uint32_t page = flash_offset_page(offset);
    return low8(count - 1 - (page - t.ppage_base) / (t.ppage_count / t.flash_block_count));
}

uint8_t flash_block_page(uint32_t block) {
    const TargetModel& t = target();
    if (t.flash_block_count == 0) {
        return 0;
    }
    return low8(t.ppage_base +
                (t.flash_block_count - 1 - block) * (t.ppage_count / t.flash_block_count));
}

bool flash_image_data_in(const uint8_t* image, uint32_t size, uint32_t page, uint32_t from,
                         uint32_t to, uint32_t* first, uint32_t* last) {
    bool found = false;
    for (uint32_t o = 0; o < size; ++o) {
        const uint32_t in_page = o % kPageSize;
        if (image[o] == 0xFF || in_page < from || in_page >= to || flash_offset_page(o) != page) {
            continue;
        }
        if (!found) {
            *first = flash_write_map()(o);
            found = true;
        }
        *last = flash_write_map()(o);
    }
    return found;
}

}  // namespace zelv
