// The virtual target's LRAE agent: the FLASH programming program that the host loads into
// RAM through the LRAE boot loader. The boot loader starts it when the loaded bytes are this
// agent's image (zelvanor-sim-lrae-agent.s19, shipped in sim/native/); the virtual MCU then carries
// out its command protocol natively, on the FLASH through the same nonvolatile operations
// the hardware offers.
//
// How this agent works (the host sees only the exchanges):
// - First it takes the oscillator frequency in kHz (2 bytes, high first) and sets FCLKDIV for
//   a FLASH clock of 150 to 200 kHz; it answers 0x00, or 0x01 when no divider reaches that
//   clock (below 150 kHz).
// - Then frames: command, length (parameters + 3), parameters, checksum (8-bit sum of all
//   the bytes before it). The acknowledge is 0x00, 0x55 for a wrong checksum or a length
//   below 3, 0x01 for an unknown command or wrong parameters.
// - Every command selects the block in FCNFG and the page in PPAGE and works on the CPU
//   address it was given, as the CPU sees it: 0x4000-0x7FFF and 0xC000-0xFFFF are the fixed
//   pages, 0x8000-0xBFFF the selected one.
// - Results: 0x00 done, 0x01 access error (an address that is not FLASH of the selected
//   block, an odd address or count, a count above the 256-byte buffer), 0x02 protection
//   violation (FPROT), 0x03 not clear (erase verify), 0x04 a word that was not erased.
//   A bulk erase is a mass erase: refused whole while any protection is active in the
//   block. Words programmed before a failing one stay programmed.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "faults/faults.h"
#include "mcu/virtual_mcu.h"

namespace zelv::sim {

namespace lrae {
inline constexpr uint8_t kGood = 0x00;
inline constexpr uint8_t kAccessError = 0x01;
inline constexpr uint8_t kProtectionViolation = 0x02;
inline constexpr uint8_t kNotClear = 0x03;
inline constexpr uint8_t kNotErased = 0x04;
inline constexpr uint8_t kChecksumError = 0x55;
inline constexpr uint8_t kOscRefused = 0x01;
inline constexpr uint16_t kAgentEntry = 0x3800;
}  // namespace lrae

class LraeAgentEmulator {
public:
    LraeAgentEmulator(VirtualMcu& mcu, const LraeFaults& faults) : mcu_(mcu), faults_(faults) {}

    // The agent's bytes as its S-record file loads them at kAgentEntry, which is also its
    // entry point.
    [[nodiscard]] static std::vector<uint8_t> image();

    // One byte from the host (as the SCI received it); the answer bytes are appended.
    void receive(uint8_t byte, std::vector<uint8_t>* answer);

private:
    enum class Phase { kOscillator, kCommand, kLength, kParameters, kData, kHung };

    void oscillator(std::vector<uint8_t>* answer);
    // Takes one byte of a checksummed run (parameters or write data): stores and sums it until
    // `expected` bytes are in; the next is the checksum. True once the run is complete and its
    // checksum matched; a mismatch answers the checksum error. Either way the run is over.
    [[nodiscard]] bool summed(uint8_t byte, uint32_t* count, uint32_t expected,
                              std::vector<uint8_t>* answer);
    void frame(std::vector<uint8_t>* answer);
    void finish_write(std::vector<uint8_t>* answer);
    [[nodiscard]] uint8_t select(uint8_t block, uint8_t page);
    [[nodiscard]] uint8_t block_start(uint8_t block, uint8_t page, uint32_t* offset);
    [[nodiscard]] uint8_t bulk_erase(uint8_t block, uint8_t page);
    [[nodiscard]] uint8_t erase_verify(uint8_t block, uint8_t page);
    [[nodiscard]] uint8_t erase_sector(uint8_t block, uint8_t page, uint16_t address);
    void read_page(uint8_t page, std::vector<uint8_t>* answer);
    [[nodiscard]] uint8_t program(uint8_t block, uint8_t page, uint16_t address);
    [[nodiscard]] const CommandFault* fault_for(const std::vector<CommandFault>& faults) const;
    void result(uint8_t code, std::vector<uint8_t>* answer);

    VirtualMcu& mcu_;
    LraeFaults faults_;
    Phase phase_ = Phase::kOscillator;
    std::array<uint8_t, 256> bytes_{};  // oscillator, parameters or write data
    uint32_t received_ = 0;
    uint32_t needed_ = 0;
    uint8_t command_ = 0;
    uint8_t length_ = 0;
    uint8_t sum_ = 0;
    std::array<uint8_t, 6> write_{};  // the parameters of the write whose data are coming
    uint32_t write_count_ = 0;
    uint32_t data_received_ = 0;
    std::array<unsigned, 256> occurrences_{};
    unsigned pages_read_ = 0;
};

}  // namespace zelv::sim
