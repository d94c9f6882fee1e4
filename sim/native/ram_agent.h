// sim/native: native stand-ins for programs that run on the MCU (the BDM RAM agent, the LRAE
// agent), recognised by the signature in their files. They reach the MCU only through its
// registers and bus, as the program would, and know nothing of the pods or lines in front.
//
// The virtual target's BDM RAM agent. A host loads an agent file into RAM, writes a command
// into the agent's parameter block and starts the CPU at the agent's entry with GO; the agent
// does the work through the FLASH and EEPROM modules' registers, writes its status and returns
// to active background mode. The virtual CPU executes no instructions, so the agent file
// carries no HCS12 code: RamAgent recognises the file's header at the PC and carries out the
// command natively, through the same register and bus accesses the real program would make.
//
// The agent file (zelvanor-sim-bdm-agent.s19, shipped next to this file) is an S-record file of
// one block in RAM, 0x3800-0x381F, with an S9 entry of 0x3810:
//   0x3800  parameter block, 8 bytes (the lowest loaded address):
//           +0 command, +1 status, +2/+3 first parameter (word, or two bytes), +4 word,
//           +6 word
//   0x3808  8 bytes of 0x00, unused
//   0x3810  the header, at the entry (offsets from it):
//           +0   0x00          BGND: on a real HCS12 the file returns to background mode at
//                              once without touching its status (2, "not supported")
//           +1   "ZELVSIM"     the signature, 7 ASCII bytes
//           +8   0x01          the header's version
//           +9   0x00          unused
//           +10  word 0x3800   the parameter block's address
//           +12  word 0x3900   the data buffer's address
//           +14  word 0x0200   the data buffer's size
// 0x3800-0x3AFF lies in the RAM of every HCS12 and HCS12X part the virtual target models, as
// the start-up code (or a description's bdm_init_byte 0x0010 0x39) places it. A copy moved
// elsewhere, or with another buffer, works once the header's three words say so.
//
// Commands (code at +0; parameters as the host writes them; status at +1):
//   0   initialise: word at +2 the oscillator in kHz; loads FCLKDIV (and ECLKDIV) for a FLASH
//       clock of 150-200 kHz, PRDIV8 above 12.8 MHz (the dividers are write-once: a host's
//       earlier write stands); leaves the buffer's address at +2 and its size at +4.
//       Status 1 when no divider gives such a clock (below 500 kHz, say, or 0)
//   1   EEPROM bulk erase (EPROT opened, mass erase)
//   2   EEPROM erase verify: status 0 blank, 3 not clear
//   5   EEPROM write: the words in the buffer to the EEPROM from the address at +2, the byte
//       count (even, at most the buffer) at +4, one word program each
//   7   FLASH block bulk erase: block at +2, a page of it at +3 (FCNFG, FPROT opened, PPAGE,
//       mass erase)
//   8   FLASH block erase verify, as 7: status 0 blank, 3 not clear
//   10  FLASH read: block at +2, page at +3 (into FCNFG and PPAGE), the CPU address at +4
//       (normally in the page window 0x8000-0xBFFF), the byte count (at most the buffer) at
//       +6: the bytes into the buffer
//   11  FLASH write: the buffer's words programmed from the address, selected as for 10 (the
//       security word: 0xFF0E with the highest page)
//   any other code: status 2, nothing done.
// Statuses: 0 done, 1 oscillator invalid, 2 not supported, 3 not clear, 4 parameters refused
// (a count that is odd where words are written or larger than the buffer, a block the part
// does not have, a range outside the EEPROM or FLASH as the CPU sees it), and for a command
// that the module refused, the FSTAT or ESTAT error bits themselves: 0x10 ACCERR, 0x20 PVIOL
// (0x30 both). The agent clears the error bits before each command and stops at the first
// failing word; words programmed before it stay programmed. A module command that never
// completes keeps the agent polling for ever: it never returns to background mode.
// On an HC12 part only the BGND at the entry runs: back in background mode, status untouched.
//
// The agent takes as long as the part would (about 50 us per word programmed, 100 ms per
// mass erase, a few ms per erase verify) before background mode shows again.
#pragma once

#include <array>
#include <cstdint>

#include "faults/faults.h"
#include "mcu/mcu_bdm.h"

namespace zelv::sim {

namespace agent {
// The header at the entry.
inline constexpr uint8_t kBgnd = 0x00;
inline constexpr char kSignature[] = "ZELVSIM";
inline constexpr uint8_t kVersion = 0x01;
inline constexpr uint16_t kHeaderSize = 16;
inline constexpr uint16_t kParamsField = 10;
inline constexpr uint16_t kBufferField = 12;
inline constexpr uint16_t kBufferSizeField = 14;
// The parameter block.
inline constexpr uint16_t kCommand = 0;
inline constexpr uint16_t kStatus = 1;
inline constexpr uint16_t kFirst = 2;
inline constexpr uint16_t kSecond = 3;
inline constexpr uint16_t kThird = 4;
inline constexpr uint16_t kFourth = 6;
// Commands.
inline constexpr uint8_t kInitialise = 0;
inline constexpr uint8_t kEepromErase = 1;
inline constexpr uint8_t kEepromVerify = 2;
inline constexpr uint8_t kEepromWrite = 5;
inline constexpr uint8_t kFlashErase = 7;
inline constexpr uint8_t kFlashVerify = 8;
inline constexpr uint8_t kFlashRead = 10;
inline constexpr uint8_t kFlashWrite = 11;
// Statuses.
inline constexpr uint8_t kDone = 0;
inline constexpr uint8_t kOscillatorInvalid = 1;
inline constexpr uint8_t kNotSupported = 2;
inline constexpr uint8_t kNotClear = 3;
inline constexpr uint8_t kParametersRefused = 4;
}  // namespace agent

class RamAgent final : public NativeCode {
public:
    explicit RamAgent(const AgentFaults& faults) : faults_(faults) {}

    [[nodiscard]] RunOutcome run(VirtualMcu& mcu, CpuState& cpu, RunKind kind) override;

private:
    // The header's addresses: the parameter block and the data buffer.
    struct Header {
        uint16_t params = 0;
        uint16_t buffer = 0;
        uint16_t buffer_size = 0;
    };

    // True when the RAM at pc holds an agent header of this version.
    [[nodiscard]] static bool recognise(const VirtualMcu& mcu, uint16_t pc, Header* header);
    [[nodiscard]] const AgentCommandFault* fault_for(uint8_t command, AgentFaultKind kind) const;

    AgentFaults faults_;
    std::array<unsigned, 256> runs_{};  // per command code, since the start
    unsigned runs_any_ = 0;
};

}  // namespace zelv::sim
