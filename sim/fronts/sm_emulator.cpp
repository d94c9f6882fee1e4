#include "fronts/sm_emulator.h"

#include <algorithm>

namespace zelv::sim {

namespace {

constexpr uint8_t kReadByte = 0xA1;
constexpr uint8_t kWriteByte = 0xA2;
constexpr uint8_t kReadWord = 0xA3;
constexpr uint8_t kWriteWord = 0xA4;
constexpr uint8_t kReadBlock = 0xA7;
constexpr uint8_t kWriteBlock = 0xA8;
constexpr uint8_t kReset = 0xB4;
constexpr uint8_t kEraseFlash = 0xB6;
constexpr uint8_t kDeviceInfo = 0xB7;
constexpr uint8_t kEraseEeprom = 0xB9;

constexpr uint32_t kMonitorSize = 0x800;
constexpr uint8_t kFiller = 0xA7;  // NOP: the monitor's code is not modelled
// Line noise; never a prompt character, so it never completes a prompt.
constexpr uint8_t kJunk[] = {0x00, 0xFF, 0x55, 0xAA, 0xE0, 0x0D};

unsigned argument_count(uint8_t command) {
    switch (command) {
        case kReadByte:
        case kReadWord:
            return 2;
        case kWriteByte:
        case kReadBlock:
        case kWriteBlock:  // plus the data, once the count byte is in
            return 3;
        case kWriteWord:
            return 4;
        default:
            return 0;
    }
}

uint16_t address_of(const uint8_t* bytes) {
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint8_t nvm_code(NvmStatus status, uint8_t error) {
    return status == NvmStatus::kOk ? sm::kOk : error;
}

}  // namespace

std::array<uint8_t, 0x800> SmEmulator::monitor_image() {
    std::array<uint8_t, 0x800> image{};
    image.fill(kFiller);
    // Information block at 0xFEF8: two bytes not shown, date 2025-06-01 (month and day at
    // 0xFEFA, year at 0xFEFC), version 1.00.
    constexpr uint8_t kInfo[8] = {'S', 'M', 0x06, 0x01, 0x20, 0x25, 1, 0};
    std::copy(std::begin(kInfo), std::end(kInfo), image.begin() + 0x6F8);
    // FLASH configuration field 0xFF00-0xFF0F: no backdoor key, the monitor's 2 KB
    // protected, unsecured.
    std::fill(image.begin() + 0x700, image.begin() + 0x710, 0xFF);
    image[0x70D] = 0xC7;
    image[0x70F] = 0xFE;
    // Vectors: each through its own stub; reset enters the monitor.
    for (unsigned k = 0; k < 64; ++k) {
        const unsigned target = k == 63 ? 0xF800 : 0xFD00 + 4 * k;
        image[0x780 + 2 * k] = static_cast<uint8_t>(target >> 8);
        image[0x780 + 2 * k + 1] = static_cast<uint8_t>(target);
    }
    return image;
}

bool SmEmulator::install() {
    std::vector<uint8_t>& flash = mcu_.flash();
    const uint32_t start = (mcu_.layout().ppage_count - 1) * kPageSize + sm::kMonitorStart;
    const auto first = flash.begin() + start;
    if (!std::all_of(first, first + kMonitorSize, [](uint8_t b) { return b == 0xFF; })) {
        return false;
    }
    const std::array<uint8_t, 0x800> image = monitor_image();
    std::copy(image.begin(), image.end(), first);
    mcu_.reset(false);
    return true;
}

bool SmEmulator::in_monitor(uint32_t flash_offset) const {
    const uint32_t start = (mcu_.layout().ppage_count - 1) * kPageSize + sm::kMonitorStart;
    return flash_offset >= start && flash_offset - start < kMonitorSize;
}

void SmEmulator::receive(uint8_t byte, Reply& reply) {
    if (faults_.babble_ms > 0) {
        babbling_ = true;  // the noise drowns every command
        return;
    }
    if (!in_command_) {
        in_command_ = true;
        command_ = byte;
        needed_ = argument_count(byte);
        received_ = 0;
    } else {
        args_[received_++] = byte;
        if (command_ == kWriteBlock && received_ == 3) {
            needed_ = 3 + args_[2] + 1u;
        }
    }
    if (received_ < needed_) {
        return;
    }
    in_command_ = false;
    execute(reply);
}

int SmEmulator::unsolicited(Reply& reply) {
    if (!babbling_) {
        return -1;
    }
    reply.bytes.push_back(kJunk[babbled_++ % sizeof kJunk]);
    return static_cast<int>(faults_.babble_ms);
}

const CommandFault* SmEmulator::fault_for(const std::vector<CommandFault>& faults,
                                          unsigned occurrence) const {
    for (const CommandFault& fault : faults) {
        if (fault.command == command_ && occurrence > fault.after) {
            return &fault;
        }
    }
    return nullptr;
}

void SmEmulator::execute(Reply& reply) {
    ++commands_;
    const unsigned occurrence = ++occurrences_[command_];
    if (faults_.silent && commands_ > faults_.silent_after) {
        return;
    }
    const CommandFault* error = fault_for(faults_.errors, occurrence);
    const CommandFault* prompt = fault_for(faults_.prompts, occurrence);
    if (command_ == kReset) {
        if (error == nullptr) {
            mcu_.reset(false);
        }
        return;
    }
    if (!answered_) {
        answered_ = true;
        for (unsigned i = 0; i < faults_.junk; ++i) {
            reply.bytes.push_back(kJunk[i % sizeof kJunk]);
        }
    }
    const uint16_t address = address_of(args_.data());
    const bool act = error == nullptr;
    uint8_t code = sm::kOk;
    switch (command_) {
        case kReadByte:
            reply.bytes.push_back(mcu_.read_byte(address));
            break;
        case kReadWord:
            reply.bytes.push_back(mcu_.read_byte(address));
            reply.bytes.push_back(mcu_.read_byte(static_cast<uint16_t>(address + 1)));
            break;
        case kReadBlock:
            for (unsigned i = 0; i <= args_[2]; ++i) {
                reply.bytes.push_back(mcu_.read_byte(static_cast<uint16_t>(address + i)));
            }
            break;
        case kWriteByte:
            code = act ? write_byte(address, args_[2]) : sm::kOk;
            break;
        case kWriteWord:
            code = act ? write_words(address, args_.data() + 2, 2) : sm::kOk;
            break;
        case kWriteBlock:
            code = act ? write_words(address, args_.data() + 3, args_[2] + 1u) : sm::kOk;
            break;
        case kEraseFlash:
            code = act ? erase_flash() : sm::kOk;
            reply.delay_ms = faults_.slow_erase_ms;
            break;
        case kEraseEeprom:
            code = act ? nvm_code(mcu_.erase_eeprom(), sm::kEepromError) : sm::kOk;
            reply.delay_ms = faults_.slow_erase_ms;
            break;
        case kDeviceInfo: {
            const uint16_t id = mcu_.config().part_id;
            reply.bytes.push_back(faults_.wrong_device ? faults_.device_code : sm::kDeviceCode);
            reply.bytes.push_back(static_cast<uint8_t>(id >> 8));
            reply.bytes.push_back(static_cast<uint8_t>(id));
            break;
        }
        default:
            code = sm::kNotRecognized;
            break;
    }
    reply.bytes.push_back(error != nullptr ? error->value : code);
    reply.bytes.push_back(sm::kStatus);
    reply.bytes.push_back(prompt != nullptr ? prompt->value : sm::kPrompt);
    if (faults_.extra.set && commands_ == faults_.extra.after + 1) {
        reply.bytes.push_back(faults_.extra.value);
    }
}

uint8_t SmEmulator::write_byte(uint16_t address, uint8_t value) {
    const Region region = mcu_.locate(address).region;
    if (region == Region::kFlash || region == Region::kEeprom) {
        return sm::kByteWriteNonvolatile;
    }
    mcu_.write_byte(address, value);
    return sm::kOk;
}

uint8_t SmEmulator::write_words(uint16_t address, const uint8_t* data, unsigned count) {
    bool flash = false;
    bool eeprom = false;
    for (unsigned i = 0; i < count; ++i) {
        const Region region = mcu_.locate(static_cast<uint16_t>(address + i)).region;
        flash = flash || region == Region::kFlash;
        eeprom = eeprom || region == Region::kEeprom;
    }
    if ((flash || eeprom) && ((address | count) & 1) != 0) {
        return flash ? sm::kFlashError : sm::kEepromError;
    }
    for (unsigned i = 0; i < count;) {
        const auto at = static_cast<uint16_t>(address + i);
        const Location location = mcu_.locate(at);
        const auto word = static_cast<uint16_t>((data[i] << 8) | data[i + 1 < count ? i + 1 : i]);
        if (location.region == Region::kFlash) {
            const uint8_t code = program_flash(at, word);
            if (code != sm::kOk) {
                return code;
            }
            i += 2;
        } else if (location.region == Region::kEeprom) {
            const NvmStatus status = mcu_.program_eeprom_word(location.offset, word);
            if (status != NvmStatus::kOk) {
                return sm::kEepromError;
            }
            i += 2;
        } else {
            mcu_.write_byte(at, data[i]);
            i += 1;
        }
    }
    return sm::kOk;
}

uint8_t SmEmulator::program_flash(uint16_t address, uint16_t value) {
    // The CPU vectors belong to the monitor; the user's go to its table below it.
    const uint16_t target =
        address >= sm::kVectorStart
            ? static_cast<uint16_t>(address - sm::kVectorStart + sm::kUserVectorStart)
            : address;
    const Location location = mcu_.locate(target);
    // The monitor's own area is refused: by the module while FPROT guards it (PVIOL shows
    // in FSTAT), by the monitor itself should the protection have been opened.
    if (location.region != Region::kFlash ||
        (in_monitor(location.offset) && !mcu_.flash_protected(location.offset))) {
        return sm::kFlashError;
    }
    return nvm_code(mcu_.program_flash_word(location.offset, value), sm::kFlashError);
}

uint8_t SmEmulator::erase_flash() {
    const McuLayout& layout = mcu_.layout();
    const uint8_t saved = mcu_.read_register(reg::kFcnfg);
    const uint32_t block_size = layout.flash_size / layout.flash_block_count;
    uint8_t code = sm::kOk;
    for (uint32_t block = 0; block < layout.flash_block_count && code == sm::kOk; ++block) {
        mcu_.write_register(reg::kFcnfg, static_cast<uint8_t>(block));
        const uint32_t start = (layout.flash_block_count - 1 - block) * block_size;
        for (uint32_t offset = start; offset < start + block_size;
             offset += layout.flash_sector_size) {
            if (in_monitor(offset)) {
                continue;
            }
            code = nvm_code(mcu_.erase_flash_sector(offset), sm::kFlashError);
            if (code != sm::kOk) {
                break;
            }
        }
    }
    mcu_.write_register(reg::kFcnfg, saved);
    return code;
}

}  // namespace zelv::sim
