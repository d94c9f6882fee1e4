// What the FLASH and EEPROM modules of HCS12 and HCS12X parts have in common: a nonvolatile
// array, its clock divider, and the command sequence that their status and command registers
// run, one register bank per FLASH block (the EEPROM has one bank).
//
// The command sequence, as the CPU (or a BDM host) drives it:
//   1. an aligned word write into the array (or, in special modes, writes to the address and
//      data registers) latches the word's address and data;
//   2. a write of the command register (0x05 erase verify, 0x20 word program, 0x40 sector
//      erase, 0x41 mass erase; the EEPROM also 0x60 sector modify);
//   3. writing 1 to CBEIF (bit 7 of the status register) launches it: CBEIF, CCIF and BLANK
//      clear, and CCIF (with CBEIF) sets again when the command has run, which the virtual
//      part makes the host wait for by a number of status reads.
// ACCERR (bit 4) sets, and the sequence is abandoned, for a command or launch out of turn, a
// second array write or command, a byte or misaligned array write, an array write into a
// block the bank does not serve, an unknown command, a write of another module register in
// the middle of a sequence, writing 0 to CBEIF in the middle of one (the abort), an array,
// command or address write while a command runs, a launch without a loaded clock divider,
// and, on a secured part in special mode, any command but mass erase and erase verify.
// PVIOL (bit 5) sets when the command would change a protected area. While either flag is
// set no sequence can start; writing 1 to them (0x30) clears them. Writing 1 to CBEIF with
// no sequence open does nothing. A command's checks are made at the launch; the array
// changes when CCIF sets, and a reset abandons a command in progress.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace zelv::sim {

// Outcome of a nonvolatile operation, as the hardware would flag it.
enum class NvmStatus {
    kOk,
    kAccessError,          // ACCERR: odd address, another block selected, no such memory
    kProtectionViolation,  // PVIOL: the address lies in a protected area
    kNotErased,            // the word was already programmed
};

namespace nvm {
// Register offsets that both modules share, from the start of their 16 registers.
inline constexpr uint16_t kClkdivRegister = 0x0;
inline constexpr uint16_t kStatusRegister = 0x5;
inline constexpr uint16_t kCommandRegister = 0x6;
inline constexpr uint16_t kAddressRegister = 0x8;  // word, special modes only
inline constexpr uint16_t kDataRegister = 0xA;     // word, special modes only
// Status register bits (FSTAT, ESTAT).
inline constexpr uint8_t kCbeif = 0x80;
inline constexpr uint8_t kCcif = 0x40;
inline constexpr uint8_t kPviol = 0x20;
inline constexpr uint8_t kAccerr = 0x10;
inline constexpr uint8_t kBlank = 0x04;
inline constexpr uint8_t kIdle = kCbeif | kCcif;
// Commands (FCMD, ECMD).
inline constexpr uint8_t kEraseVerify = 0x05;
inline constexpr uint8_t kWordProgram = 0x20;
inline constexpr uint8_t kSectorErase = 0x40;
inline constexpr uint8_t kMassErase = 0x41;
inline constexpr uint8_t kSectorModify = 0x60;  // EEPROM only
// FDIVLD/EDIVLD: the clock divider register has been written since reset.
inline constexpr uint8_t kDividerLoaded = 0x80;
// Status reads that see a command still busy, unless a fault says otherwise.
inline constexpr unsigned kDefaultBusyPolls = 2;
}  // namespace nvm

// A command that goes wrong on purpose: it never completes, or its launch sets PVIOL or
// ACCERR instead of starting it.
enum class NvmFaultKind { kHang, kProtectionViolation, kAccessError };

struct NvmCommandFault {
    NvmFaultKind kind = NvmFaultKind::kHang;
    uint8_t command = 0;  // 0: every command
    unsigned after = 0;   // launches of that command (or of any) that still behave
};

struct NvmFaults {
    unsigned busy_polls = nvm::kDefaultBusyPolls;
    std::vector<NvmCommandFault> flash;
    std::vector<NvmCommandFault> eeprom;
};

enum class NvmPhase : uint8_t { kIdle, kArrayWritten, kCommandWritten, kRunning };

// One register bank: the status flags as a read shows them, the command register, where the
// sequence stands, and the latched word (its index in the bank's array, and its data).
struct NvmBank {
    uint8_t status = nvm::kIdle;
    uint8_t command = 0;
    NvmPhase phase = NvmPhase::kIdle;
    bool hung = false;
    uint32_t index = 0;
    uint16_t data = 0;
    uint32_t polls_left = 0;
};

class NvmModule {
public:
    virtual ~NvmModule() = default;

    // The commands that go wrong on purpose, and how many status reads a command stays busy.
    void set_faults(const std::vector<NvmCommandFault>& faults, unsigned busy_polls);

    // Security and mode as the MCU decided them at its last reset: a secured part in special
    // mode runs only mass erase and erase verify; the address and data registers exist in
    // special modes.
    void set_mode(bool special_mode, bool secured);

    // The array, storage order.
    [[nodiscard]] std::vector<uint8_t>& memory() { return memory_; }
    [[nodiscard]] const std::vector<uint8_t>& memory() const { return memory_; }

    // A byte that every erase leaves at value (a worn cell). Returns false when offset lies
    // outside the array.
    [[nodiscard]] bool add_stuck(uint32_t offset, uint8_t value);

    // A byte that no programming changes (a weak cell): a program command or the firmware's
    // programming completes without an error and leaves its bits as they were. Returns false
    // when offset lies outside the array.
    [[nodiscard]] bool add_weak(uint32_t offset);

    // The command state of every bank, for the state file: appended to out, or taken from
    // bytes (false when their size does not match this module).
    void save_banks(std::vector<uint8_t>& out) const;
    [[nodiscard]] bool load_banks(const std::vector<uint8_t>& bytes);

protected:
    NvmModule() = default;

    // An erased array of size bytes served by bank_count banks, no stuck bytes. Returns 0 or
    // ENOMEM.
    [[nodiscard]] int configure_array(uint32_t size, unsigned bank_count);

    // Every bank idle, the divider unloaded; the fault counts go on.
    void reset_sequences();
    void restore_divider(uint8_t value) { divider_ = value; }

    [[nodiscard]] unsigned bank_count() const { return bank_count_; }
    [[nodiscard]] unsigned all_banks() const { return (1u << bank_count_) - 1; }
    [[nodiscard]] const NvmBank& bank(unsigned index) const { return banks_[index]; }
    [[nodiscard]] bool special_mode() const { return special_mode_; }

    // The registers both modules have (divider, status, command, address, data), by offset:
    // a read as bank index shows it (a status read of a busy bank is one poll), a peek, and
    // a write reaching the banks of the mask `banks`. False for the module's own registers.
    [[nodiscard]] bool read_common(unsigned index, uint16_t offset, uint8_t* value);
    [[nodiscard]] bool peek_common(unsigned index, uint16_t offset, uint8_t* value) const;
    [[nodiscard]] bool write_common(unsigned banks, uint16_t offset, uint8_t value);
    // A write of any other module register: it breaks an open sequence.
    void other_register_written(unsigned banks);
    // The CPU's write into the array, seen by bank index: word_access for an aligned word,
    // in_bank when the address lies in the bank's own array.
    void latch_word(unsigned index, bool word_access, bool in_bank, uint32_t word_index,
                    uint16_t data);

    // The resident firmware's word programming once the command checks found `checked`: an
    // already programmed word is refused rather than programmed over.
    [[nodiscard]] NvmStatus program_if_erased(NvmStatus checked, uint32_t offset, uint16_t value);
    // What a failed command of the resident firmware leaves in the bank's status register,
    // as the silicon does for every program that drives it: PVIOL or ACCERR, until cleared.
    [[nodiscard]] NvmStatus flagged(unsigned index, NvmStatus status);
    void erase_range(uint32_t from, uint32_t to);      // to 0xFF, stuck bytes kept stuck
    void clear_bits(uint32_t offset, uint16_t value);  // clears bits only, not of weak bytes
    [[nodiscard]] bool blank(uint32_t from, uint32_t to) const;

    // The module's own part of a command, by bank: whether it knows the command, what the
    // launch checks find, and running it when it completes (returns BLANK for erase verify).
    [[nodiscard]] virtual bool command_known(uint8_t command) const = 0;
    [[nodiscard]] virtual NvmStatus command_check(unsigned index, const NvmBank& b) const = 0;
    [[nodiscard]] virtual bool command_run(unsigned index, const NvmBank& b) = 0;

    std::vector<uint8_t> memory_;

private:
    struct Stuck {
        uint32_t offset;
        uint8_t value;
    };

    void fail(NvmBank& b, uint8_t flag);
    [[nodiscard]] uint8_t read_status(unsigned index);
    void write_status(unsigned banks, uint8_t value);
    void write_command(unsigned banks, uint8_t command);
    void write_latch(unsigned banks, uint16_t offset, uint8_t value);  // address or data
    void write_divider(unsigned banks, uint8_t value);
    void launch(unsigned banks);
    [[nodiscard]] const NvmCommandFault* fault_for(uint8_t command) const;

    unsigned bank_count_ = 1;
    std::array<NvmBank, 4> banks_{};
    uint8_t divider_ = 0;
    bool special_mode_ = false;
    bool secured_ = false;
    unsigned busy_polls_ = nvm::kDefaultBusyPolls;
    std::vector<NvmCommandFault> faults_;
    std::array<unsigned, 256> launches_{};  // per command, since the faults were set
    unsigned launches_any_ = 0;
    std::vector<Stuck> stuck_;
    std::vector<uint32_t> weak_;
};

}  // namespace zelv::sim
