#include "native/lrae_agent_emulator.h"

#include <cstring>

namespace zelv::sim {

namespace {

constexpr uint8_t kBulkErase = 0x07;
constexpr uint8_t kEraseVerify = 0x08;
constexpr uint8_t kEraseSector = 0x09;
constexpr uint8_t kReadPage = 0x0A;
constexpr uint8_t kWrite = 0x0B;

constexpr uint16_t kWindow = 0x8000;
constexpr uint32_t kBuffer = 256;
constexpr uint32_t kFlashClockMin = 150000;
constexpr uint32_t kFlashClockMax = 200000;

// Parameter count of each command; 0 for commands this agent does not know.
unsigned parameter_count(uint8_t command) {
    switch (command) {
        case kBulkErase:
        case kEraseVerify:
            return 2;
        case kEraseSector:
            return 4;
        case kReadPage:
            return 5;
        case kWrite:
            return 6;
        default:
            return 0;
    }
}

uint8_t code_of(NvmStatus status) {
    switch (status) {
        case NvmStatus::kOk:
            return lrae::kGood;
        case NvmStatus::kAccessError:
            return lrae::kAccessError;
        case NvmStatus::kProtectionViolation:
            return lrae::kProtectionViolation;
        case NvmStatus::kNotErased:
            return lrae::kNotErased;
    }
    return lrae::kAccessError;
}

}  // namespace

std::vector<uint8_t> LraeAgentEmulator::image() {
    // The agent parks the CPU (BRA *) and names itself; its work is done by the virtual MCU.
    static const char kImage[] =
        "\x20\xFE"
        "zelvanor-sim LRAE agent 1.0";
    return std::vector<uint8_t>(kImage, kImage + sizeof kImage);
}

void LraeAgentEmulator::receive(uint8_t byte, std::vector<uint8_t>* answer) {
    switch (phase_) {
        case Phase::kHung:
            return;
        case Phase::kOscillator:
            bytes_[received_++] = byte;
            if (received_ == 2) {
                oscillator(answer);
            }
            return;
        case Phase::kCommand:
            command_ = byte;
            sum_ = byte;
            phase_ = Phase::kLength;
            return;
        case Phase::kLength:
            length_ = byte;
            sum_ = static_cast<uint8_t>(sum_ + byte);
            if (length_ < 3) {
                answer->push_back(lrae::kChecksumError);
                phase_ = Phase::kCommand;
                return;
            }
            needed_ = length_ - 3u;
            received_ = 0;
            phase_ = Phase::kParameters;
            return;
        case Phase::kParameters:
            if (summed(byte, &received_, needed_, answer)) {
                frame(answer);
            }
            return;
        case Phase::kData:
            if (summed(byte, &data_received_, write_count_, answer)) {
                finish_write(answer);
            }
            return;
    }
}

bool LraeAgentEmulator::summed(uint8_t byte, uint32_t* count, uint32_t expected,
                               std::vector<uint8_t>* answer) {
    if (*count < expected) {
        if (*count < bytes_.size()) {
            bytes_[*count] = byte;
        }
        ++*count;
        sum_ = static_cast<uint8_t>(sum_ + byte);
        return false;
    }
    phase_ = Phase::kCommand;
    if (byte != sum_) {
        answer->push_back(lrae::kChecksumError);
        return false;
    }
    return true;
}

void LraeAgentEmulator::oscillator(std::vector<uint8_t>* answer) {
    const uint32_t hz = ((static_cast<uint32_t>(bytes_[0]) << 8) | bytes_[1]) * 1000U;
    received_ = 0;
    phase_ = Phase::kCommand;
    // FCLKDIV: the oscillator, divided by 8 when PRDIV8 is set, then by FDIV + 1.
    uint8_t divider = 0;
    bool found = false;
    for (uint32_t prdiv8 = 0; prdiv8 < 2 && !found && hz > 0; ++prdiv8) {
        const uint32_t input = prdiv8 != 0 ? hz / 8 : hz;
        const uint32_t fdiv = (input + kFlashClockMax - 1) / kFlashClockMax - 1;
        if (fdiv <= 63 && input / (fdiv + 1) >= kFlashClockMin) {
            divider = static_cast<uint8_t>((prdiv8 << 6) | fdiv);
            found = true;
        }
    }
    uint8_t code = found ? lrae::kGood : lrae::kOscRefused;
    if (faults_.osc_answer_wrong) {
        code = faults_.osc_answer;
    }
    if (code == lrae::kGood) {
        mcu_.write_register(reg::kFclkdiv, divider);
    } else {
        phase_ = Phase::kHung;  // the agent has nothing to work with and stops
    }
    answer->push_back(code);
}

const CommandFault* LraeAgentEmulator::fault_for(const std::vector<CommandFault>& faults) const {
    for (const CommandFault& fault : faults) {
        if (fault.command == command_ && occurrences_[command_] > fault.after) {
            return &fault;
        }
    }
    return nullptr;
}

void LraeAgentEmulator::result(uint8_t code, std::vector<uint8_t>* answer) {
    const CommandFault* fault = fault_for(faults_.results);
    answer->push_back(fault != nullptr ? fault->value : code);
}

void LraeAgentEmulator::frame(std::vector<uint8_t>* answer) {
    ++occurrences_[command_];
    const unsigned expected = parameter_count(command_);
    bool accepted = expected != 0 && needed_ == expected;
    if (accepted && command_ == kReadPage) {
        // The page through the window, 0x40 blocks of 256 bytes.
        accepted = bytes_[2] == 0x80 && bytes_[3] == 0x00 && bytes_[4] == 0x40;
    }
    const CommandFault* ack_fault = fault_for(faults_.frame_acks);
    const uint8_t ack =
        ack_fault != nullptr ? ack_fault->value : (accepted ? lrae::kGood : lrae::kAccessError);
    answer->push_back(ack);
    if (!accepted || ack != lrae::kGood) {
        return;
    }
    const uint8_t block = bytes_[0];
    const uint8_t page = bytes_[1];
    const auto address = static_cast<uint16_t>((bytes_[2] << 8) | bytes_[3]);
    switch (command_) {
        case kBulkErase:
            result(bulk_erase(block, page), answer);
            return;
        case kEraseVerify:
            result(erase_verify(block, page), answer);
            return;
        case kEraseSector:
            result(erase_sector(block, page, address), answer);
            return;
        case kReadPage:
            read_page(page, answer);
            return;
        default:  // kWrite: the data come next
            std::memcpy(write_.data(), bytes_.data(), write_.size());
            write_count_ = static_cast<uint32_t>((bytes_[4] << 8) | bytes_[5]);
            data_received_ = 0;
            sum_ = 0;
            phase_ = Phase::kData;
            return;
    }
}

uint8_t LraeAgentEmulator::select(uint8_t block, uint8_t page) {
    if (block >= mcu_.layout().flash_block_count) {
        return lrae::kAccessError;
    }
    mcu_.write_register(reg::kFcnfg, block);
    mcu_.write_register(reg::kPpage, page);
    return lrae::kGood;
}

// The first storage offset of the selected block, found through the page in the window as
// the command's address: the page must lie in that block.
uint8_t LraeAgentEmulator::block_start(uint8_t block, uint8_t page, uint32_t* offset) {
    if (select(block, page) != lrae::kGood) {
        return lrae::kAccessError;
    }
    const Location location = mcu_.locate(kWindow);
    if (location.region != Region::kFlash || mcu_.flash_block_of(location.offset) != block) {
        return lrae::kAccessError;
    }
    const McuLayout& layout = mcu_.layout();
    const uint32_t size = layout.flash_size / layout.flash_block_count;
    *offset = (layout.flash_block_count - 1 - block) * size;
    return lrae::kGood;
}

uint8_t LraeAgentEmulator::bulk_erase(uint8_t block, uint8_t page) {
    uint32_t start = 0;
    if (const uint8_t code = block_start(block, page, &start); code != lrae::kGood) {
        return code;
    }
    const McuLayout& layout = mcu_.layout();
    const uint32_t size = layout.flash_size / layout.flash_block_count;
    // A mass erase does not start while any part of the block is protected.
    for (uint32_t offset = start; offset < start + size; offset += 2) {
        if (mcu_.flash_protected(offset)) {
            return lrae::kProtectionViolation;
        }
    }
    for (uint32_t offset = start; offset < start + size; offset += layout.flash_sector_size) {
        if (const uint8_t code = code_of(mcu_.erase_flash_sector(offset)); code != lrae::kGood) {
            return code;
        }
    }
    return lrae::kGood;
}

uint8_t LraeAgentEmulator::erase_verify(uint8_t block, uint8_t page) {
    uint32_t start = 0;
    if (const uint8_t code = block_start(block, page, &start); code != lrae::kGood) {
        return code;
    }
    const McuLayout& layout = mcu_.layout();
    const uint32_t size = layout.flash_size / layout.flash_block_count;
    const std::vector<uint8_t>& flash = mcu_.flash();
    for (uint32_t offset = start; offset < start + size; ++offset) {
        if (flash[offset] != 0xFF) {
            return lrae::kNotClear;
        }
    }
    return lrae::kGood;
}

uint8_t LraeAgentEmulator::erase_sector(uint8_t block, uint8_t page, uint16_t address) {
    if (select(block, page) != lrae::kGood) {
        return lrae::kAccessError;
    }
    const Location location = mcu_.locate(address);
    if (location.region != Region::kFlash) {
        return lrae::kAccessError;
    }
    return code_of(mcu_.erase_flash_sector(location.offset));
}

void LraeAgentEmulator::read_page(uint8_t page, std::vector<uint8_t>* answer) {
    mcu_.write_register(reg::kPpage, page);
    const bool silent = faults_.page_silence && pages_read_ >= faults_.page_silence_after;
    const bool wrong = faults_.bad_page_checksum && pages_read_ >= faults_.bad_page_checksum_after;
    ++pages_read_;
    uint8_t sum = 0;
    for (uint32_t i = 0; i < kPageSize; ++i) {
        if (silent && i == faults_.page_silence_bytes) {
            phase_ = Phase::kHung;
            return;
        }
        const uint8_t byte = mcu_.read_byte(static_cast<uint16_t>(kWindow + i));
        answer->push_back(byte);
        sum = static_cast<uint8_t>(sum + byte);
    }
    answer->push_back(wrong ? static_cast<uint8_t>(sum + 1) : sum);
}

void LraeAgentEmulator::finish_write(std::vector<uint8_t>* answer) {
    const uint8_t block = write_[0];
    const uint8_t page = write_[1];
    const auto address = static_cast<uint16_t>((write_[2] << 8) | write_[3]);
    result(program(block, page, address), answer);
}

uint8_t LraeAgentEmulator::program(uint8_t block, uint8_t page, uint16_t address) {
    if (write_count_ > kBuffer || ((address | write_count_) & 1U) != 0 ||
        select(block, page) != lrae::kGood) {
        return lrae::kAccessError;
    }
    for (uint32_t i = 0; i < write_count_; i += 2) {
        const Location location = mcu_.locate(static_cast<uint16_t>(address + i));
        if (location.region != Region::kFlash) {
            return lrae::kAccessError;
        }
        const auto word = static_cast<uint16_t>((bytes_[i] << 8) | bytes_[i + 1]);
        if (const uint8_t code = code_of(mcu_.program_flash_word(location.offset, word));
            code != lrae::kGood) {
            return code;
        }
    }
    return lrae::kGood;
}

}  // namespace zelv::sim
