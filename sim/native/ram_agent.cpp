#include "native/ram_agent.h"

#include <cstring>

namespace zelv::sim {

namespace {

constexpr uint8_t kErrorBits = nvm::kPviol | nvm::kAccerr;
constexpr uint8_t kPrdiv8 = 0x40;
constexpr uint16_t kPageWindow = 0x8000;

// The agent's wait for CCIF gives up only in the sense that a command which has not completed
// after this many status reads (far beyond any nvm-busy count) never will: the agent then
// counts as polling for ever.
constexpr unsigned long kPollLimit = 4000000;

// How long the part takes, in microseconds.
constexpr unsigned kWordProgramUs = 50;
constexpr unsigned kMassEraseUs = 100000;
constexpr unsigned kVerifyBytesPerUs = 16;
constexpr unsigned kReadBytesPerUs = 1;

// The FLASH/EEPROM clock divider for an oscillator of khz: PRDIV8 above 12.8 MHz, then the
// smallest divisor that keeps the clock at or below 200 kHz. None below 500 kHz (the
// modules' lowest oscillator), or where the clock would fall below 150 kHz or the divisor
// does not fit six bits.
bool clock_divider(uint16_t khz, uint8_t* divider) {
    if (khz < 500) {
        return false;
    }
    const bool prescale = khz > 12800;
    const unsigned long clock_in = khz * 1000ul / (prescale ? 8 : 1);
    const unsigned long divisor = (clock_in + 199999) / 200000;
    if (divisor > 64 || clock_in / divisor < 150000) {
        return false;
    }
    *divider = static_cast<uint8_t>((divisor - 1) | (prescale ? kPrdiv8 : 0));
    return true;
}

// One command's work: its parameters, the module sequences it runs, the time it takes.
class Command {
public:
    Command(VirtualMcu& mcu, uint16_t params, uint16_t buffer, uint16_t buffer_size)
        : mcu_(mcu), params_(params), buffer_(buffer), buffer_size_(buffer_size) {}

    // Carries out the command code; false when the agent is left waiting for ever.
    [[nodiscard]] bool carry_out(uint8_t code);

    [[nodiscard]] uint8_t status() const { return status_; }
    [[nodiscard]] unsigned busy_ms() const { return (busy_us_ + 500) / 1000; }

private:
    [[nodiscard]] uint8_t byte_at(uint16_t offset) {
        return mcu_.read_byte(static_cast<uint16_t>(params_ + offset));
    }
    [[nodiscard]] uint16_t word_at(uint16_t offset) {
        return mcu_.read_word(static_cast<uint16_t>(params_ + offset));
    }
    void put_word(uint16_t offset, uint16_t value) {
        mcu_.write_word(static_cast<uint16_t>(params_ + offset), value);
    }

    // Every byte of [address, address + count) lies in region as the CPU sees it now.
    [[nodiscard]] bool range_in(Region region, uint16_t address, uint16_t count) const;
    // A count of bytes the buffer holds; words: even as well.
    [[nodiscard]] bool fits_buffer(uint16_t count, bool words) const {
        return count <= buffer_size_ && (!words || count % 2 == 0);
    }

    // Launches the command whose word is latched and polls the status register until CCIF
    // or an error shows. False when it never completes; otherwise status_ holds the error
    // bits (0 when none) and *blank the BLANK bit.
    [[nodiscard]] bool launch(uint16_t status_register, uint16_t command_register, uint8_t command,
                              bool* blank = nullptr);

    // Programs count bytes of the buffer word by word from address, the error bits cleared
    // first; stops at the first word the module refuses.
    [[nodiscard]] bool program_words(uint16_t status_register, uint16_t command_register,
                                     uint16_t address, uint16_t count);
    // Mass erase or erase verify of the array (of size bytes) that the latched word names.
    [[nodiscard]] bool erase_or_verify(uint16_t status_register, uint16_t command_register,
                                       bool verify, uint32_t size);

    [[nodiscard]] bool initialise();
    [[nodiscard]] bool eeprom_erase(bool verify);
    [[nodiscard]] bool eeprom_write();
    [[nodiscard]] bool flash_erase(bool verify);
    [[nodiscard]] bool flash_transfer(bool write);
    [[nodiscard]] bool refuse(uint8_t status) {
        status_ = status;
        return true;
    }

    VirtualMcu& mcu_;
    uint16_t params_;
    uint16_t buffer_;
    uint16_t buffer_size_;
    uint8_t status_ = agent::kDone;
    unsigned busy_us_ = 0;
};

bool Command::carry_out(uint8_t code) {
    switch (code) {
        case agent::kInitialise:
            return initialise();
        case agent::kEepromErase:
            return eeprom_erase(false);
        case agent::kEepromVerify:
            return eeprom_erase(true);
        case agent::kEepromWrite:
            return eeprom_write();
        case agent::kFlashErase:
            return flash_erase(false);
        case agent::kFlashVerify:
            return flash_erase(true);
        case agent::kFlashRead:
            return flash_transfer(false);
        case agent::kFlashWrite:
            return flash_transfer(true);
        default:
            return refuse(agent::kNotSupported);
    }
}

bool Command::range_in(Region region, uint16_t address, uint16_t count) const {
    if (uint32_t{address} + count > 0x10000) {
        return false;
    }
    for (uint32_t a = address; a < uint32_t{address} + count; ++a) {
        if (mcu_.locate(static_cast<uint16_t>(a)).region != region) {
            return false;
        }
    }
    return true;
}

bool Command::launch(uint16_t status_register, uint16_t command_register, uint8_t command,
                     bool* blank) {
    mcu_.write_register(command_register, command);
    mcu_.write_register(status_register, nvm::kCbeif);
    for (unsigned long poll = 0; poll < kPollLimit; ++poll) {
        const uint8_t status = mcu_.read_register(status_register);
        if ((status & kErrorBits) != 0) {
            status_ = status & kErrorBits;
            return true;
        }
        if ((status & nvm::kCcif) != 0) {
            if (blank != nullptr) {
                *blank = (status & nvm::kBlank) != 0;
            }
            return true;
        }
    }
    return false;
}

bool Command::program_words(uint16_t status_register, uint16_t command_register, uint16_t address,
                            uint16_t count) {
    mcu_.write_register(status_register, kErrorBits);
    for (uint16_t i = 0; i < count && status_ == agent::kDone; i = static_cast<uint16_t>(i + 2)) {
        mcu_.write_word(static_cast<uint16_t>(address + i),
                        mcu_.read_word(static_cast<uint16_t>(buffer_ + i)));
        if (!launch(status_register, command_register, nvm::kWordProgram)) {
            return false;
        }
        busy_us_ += kWordProgramUs;
    }
    return true;
}

bool Command::erase_or_verify(uint16_t status_register, uint16_t command_register, bool verify,
                              uint32_t size) {
    bool blank = false;
    if (!launch(status_register, command_register, verify ? nvm::kEraseVerify : nvm::kMassErase,
                &blank)) {
        return false;
    }
    busy_us_ += verify ? size / kVerifyBytesPerUs : kMassEraseUs;
    if (verify && status_ == agent::kDone && !blank) {
        status_ = agent::kNotClear;
    }
    return true;
}

bool Command::initialise() {
    uint8_t divider = 0;
    if (!clock_divider(word_at(agent::kFirst), &divider)) {
        return refuse(agent::kOscillatorInvalid);
    }
    // Write-once: where the host has loaded the dividers already, its values stand.
    mcu_.write_register(reg::kFclkdiv, divider);
    if (mcu_.layout().eeprom_size > 0) {
        mcu_.write_register(reg::kEclkdiv, divider);
    }
    put_word(agent::kFirst, buffer_);
    put_word(agent::kThird, buffer_size_);
    return true;
}

bool Command::eeprom_erase(bool verify) {
    if (mcu_.layout().eeprom_size == 0) {
        return refuse(agent::kNotSupported);
    }
    if (!verify) {
        mcu_.write_register(reg::kEprot, 0xFF);
    }
    mcu_.write_register(reg::kEstat, kErrorBits);
    // Any word of the array names the command; where none shows in the map the command
    // register write below fails as it would on the part.
    for (uint32_t a = 0; a < 0x10000; a += 2) {
        if (mcu_.locate(static_cast<uint16_t>(a)).region == Region::kEeprom) {
            mcu_.write_word(static_cast<uint16_t>(a), 0xFFFF);
            break;
        }
    }
    return erase_or_verify(reg::kEstat, reg::kEcmd, verify, mcu_.layout().eeprom_size);
}

bool Command::eeprom_write() {
    if (mcu_.layout().eeprom_size == 0) {
        return refuse(agent::kNotSupported);
    }
    const uint16_t address = word_at(agent::kFirst);
    const uint16_t count = word_at(agent::kThird);
    if (!fits_buffer(count, true) || !range_in(Region::kEeprom, address, count)) {
        return refuse(agent::kParametersRefused);
    }
    return program_words(reg::kEstat, reg::kEcmd, address, count);
}

bool Command::flash_erase(bool verify) {
    const uint8_t block = byte_at(agent::kFirst);
    const uint8_t page = byte_at(agent::kSecond);
    if (block >= mcu_.layout().flash_block_count) {
        return refuse(agent::kParametersRefused);
    }
    mcu_.write_register(reg::kFcnfg, block);
    if (!verify) {
        mcu_.write_register(reg::kFprot, 0xFF);
    }
    mcu_.write_register(reg::kFstat, kErrorBits);
    mcu_.write_register(reg::kPpage, page);
    mcu_.write_word(kPageWindow, 0xFFFF);  // the page names the block's array
    const uint32_t block_size = mcu_.layout().flash_size / mcu_.layout().flash_block_count;
    return erase_or_verify(reg::kFstat, reg::kFcmd, verify, block_size);
}

bool Command::flash_transfer(bool write) {
    const uint8_t block = byte_at(agent::kFirst);
    const uint8_t page = byte_at(agent::kSecond);
    const uint16_t address = word_at(agent::kThird);
    const uint16_t count = word_at(agent::kFourth);
    if (block >= mcu_.layout().flash_block_count || !fits_buffer(count, write)) {
        return refuse(agent::kParametersRefused);
    }
    mcu_.write_register(reg::kFcnfg, block);
    mcu_.write_register(reg::kPpage, page);
    if (!range_in(Region::kFlash, address, count)) {
        return refuse(agent::kParametersRefused);
    }
    if (!write) {
        for (uint16_t i = 0; i < count; ++i) {
            mcu_.write_byte(static_cast<uint16_t>(buffer_ + i),
                            mcu_.read_byte(static_cast<uint16_t>(address + i)));
        }
        busy_us_ += count / kReadBytesPerUs;
        return true;
    }
    return program_words(reg::kFstat, reg::kFcmd, address, count);
}

}  // namespace

bool RamAgent::recognise(const VirtualMcu& mcu, uint16_t pc, Header* header) {
    uint8_t bytes[agent::kHeaderSize];
    for (uint16_t i = 0; i < agent::kHeaderSize; ++i) {
        const auto address = static_cast<uint16_t>(pc + i);
        if (address < pc || mcu.locate(address).region != Region::kRam) {
            return false;
        }
        bytes[i] = mcu.peek_byte(address);
    }
    constexpr size_t kSignatureSize = sizeof agent::kSignature - 1;
    if (bytes[0] != agent::kBgnd ||
        std::memcmp(bytes + 1, agent::kSignature, kSignatureSize) != 0 ||
        bytes[1 + kSignatureSize] != agent::kVersion) {
        return false;
    }
    const auto word = [&bytes](uint16_t at) {
        return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
    };
    header->params = word(agent::kParamsField);
    header->buffer = word(agent::kBufferField);
    header->buffer_size = word(agent::kBufferSizeField);
    return true;
}

const AgentCommandFault* RamAgent::fault_for(uint8_t command, AgentFaultKind kind) const {
    for (const AgentCommandFault& fault : faults_.commands) {
        const unsigned seen = fault.every ? runs_any_ : runs_[command];
        if (fault.kind == kind && (fault.every || fault.command == command) && seen > fault.after) {
            return &fault;
        }
    }
    return nullptr;
}

RunOutcome RamAgent::run(VirtualMcu& mcu, CpuState& cpu, RunKind kind) {
    Header header;
    if (kind == RunKind::kTrace1 || !recognise(mcu, cpu.pc, &header)) {
        return {};  // a single step executes just the BGND at the entry
    }
    if (mcu.layout().family_id == kSimFamilyHc12) {
        return {RunOutcome::kBackground, 0};  // an HCS12 agent: only its BGND makes sense here
    }
    if (faults_.buffer_set) {
        header.buffer = faults_.buffer;
        header.buffer_size = faults_.buffer_size;
    }
    const uint8_t code = mcu.read_byte(header.params);
    ++runs_[code];
    ++runs_any_;
    Command command(mcu, header.params, header.buffer, header.buffer_size);
    uint8_t status = 0;
    if (const AgentCommandFault* refusal = fault_for(code, AgentFaultKind::kStatus)) {
        status = refusal->status;
    } else if (command.carry_out(code)) {
        status = command.status();
    } else {
        return {RunOutcome::kRunning, 0};  // still polling a command that never completes
    }
    mcu.write_byte(static_cast<uint16_t>(header.params + agent::kStatus), status);
    if (fault_for(code, AgentFaultKind::kHang) != nullptr) {
        return {RunOutcome::kRunning, 0};
    }
    return {RunOutcome::kBackground, command.busy_ms()};
}

}  // namespace zelv::sim
