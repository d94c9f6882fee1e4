// The LRAE boot loader, from the target's side of the line, and the agent it starts.
//
// How this boot loader works (the host cannot see it, but tests and users can):
// - It occupies the first 2 KB of the FLASH page the CPU sees at 0x4000 (page 0x3E; 0xFD on
//   HCS12X), and the reset vector 0xFFFE points at it. A fresh part gets it programmed
//   there (install), with the security byte 0xFF0F unsecured and, unless told otherwise,
//   the FLASH protection byte 0xFF0D protecting its 2 KB as the low protected area of block
//   0, wherever the part's protection reaches them (HCS12; the HCS12X low area lies in page
//   0xFE, so there it stays unprotected).
// - Out of reset the CPU runs it only when the reset vector holds 0x4000 and its 2 KB are
//   intact; otherwise the part runs nothing and the line stays silent.
// - Its SCI runs from the bus clock (the oscillator / 2) with the divisors 1, 2, 4, 9, 7,
//   13, 26, 52, tried in this order: line activity that does not arrive as 0x55 moves it to
//   the next divisor. On 0x55 it answers 0xAA and keeps that rate from then on. Every byte
//   in both directions passes the bit-level line model of sci_line.h at the rate the host
//   has set on its terminal and the SCI's rate.
// - RAM load: entry address (2 bytes), length (2), then the bytes, stored from the entry
//   address on, then a checksum (the 8-bit sum of every byte before it). A matching sum is
//   acknowledged with 0x80 and the program started at its entry; a wrong one gets 0x81 and
//   the boot loader waits for a reset. Once it has started a program it no longer listens.
// - Once in sync it leaves SCI0 as it drives it: SBR the divisor (the SCI's rate is the bus
//   clock / (16 x SBR)), SCICR2 with TE and RE; the program it starts inherits that set-up.
// - The started program is the virtual target's stand-in agent when the loaded bytes are its
//   image at its entry (recognised by signature; it serves the line natively, see
//   lrae_agent_emulator.h, for the faults a real agent cannot show). Any other program, the
//   shipped LRAE agent and -X programs among them, runs on the CPU12 core from its entry
//   with SP 0x4000 (the boot loader's stack top) and interrupts masked; SCI0 is then the
//   line: the host's bytes enter its receiver as frames at the line's rate, the bytes it
//   shifts out go to the host. Without a core the program runs unseen and the line falls
//   silent.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "faults/faults.h"
#include "native/lrae_agent_emulator.h"
#include "fronts/sci_line.h"
#include "common/serial_device.h"
#include "mcu/mcu_core.h"
#include "mcu/virtual_mcu.h"

namespace zelv::sim {

namespace lrae {
inline constexpr uint32_t kBootLoaderSize = 0x800;
inline constexpr uint16_t kBootLoaderEntry = 0x4000;
inline constexpr uint8_t kProbe = 0x55;
inline constexpr uint8_t kProbeAnswer = 0xAA;
inline constexpr uint8_t kLoadAck = 0x80;
inline constexpr uint8_t kLoadNak = 0x81;
}  // namespace lrae

class LraeBootLoader final : public SerialDevice {
public:
    // The rate the host has set on its side of the line (bits per second, 0 if unknown).
    using LineRate = std::function<uint64_t()>;

    // osc: the part's oscillator in Hz; core: the CPU that runs a loaded program (not owned;
    // nullptr: none). Looks at the part as it comes out of reset: the boot loader runs only
    // when it finds it in place.
    LraeBootLoader(VirtualMcu& mcu, const LraeFaults& faults, uint64_t osc, LineRate host_rate,
                   McuCore* core = nullptr);

    // Programs the boot loader, its reset vector and the FLASH configuration field into a
    // part, then resets it. False, with nothing changed, when the part has no page at 0x4000.
    static bool install(VirtualMcu& mcu, bool protect);

    // Moves an HCS12 EEPROM that the start-up placement put over the boot loader at 0x4000
    // back to 0x0000, under the registers, where the part has it out of reset.
    static void place_eeprom(const McuLayout& layout, RegisterResets* resets);

    // The boot loader's 2 KB as installed.
    [[nodiscard]] static std::array<uint8_t, lrae::kBootLoaderSize> image();

    [[nodiscard]] bool running() const { return phase_ != Phase::kDead; }
    [[nodiscard]] bool agent_running() const { return phase_ == Phase::kAgent; }

    void receive(uint8_t byte, Reply& reply) override;
    // While a program runs on the core: its time goes on, and what its SCI sent goes out.
    int unsolicited(Reply& reply) override;

private:
    enum class Phase { kDead, kHunting, kHeader, kData, kChecksum, kAgent, kProgram };

    void hunt(const std::vector<SciByte>& got, Reply& reply);
    void take(uint8_t value, Reply& reply);
    void start_program();
    void send(uint8_t byte, Reply& reply) const;
    [[nodiscard]] uint64_t sci_rate() const;
    void program_line_in(const std::vector<SciByte>& got);
    void program_line_out(Reply& reply);

    VirtualMcu& mcu_;
    LraeFaults faults_;
    uint64_t osc_;
    LineRate host_rate_;
    uint64_t host_ = 0;  // the host's rate while one byte is handled
    Phase phase_ = Phase::kDead;
    unsigned divisor_ = 0;
    unsigned deaf_left_ = 0;
    unsigned after_sync_ = 0;
    std::array<uint8_t, 4> header_{};
    unsigned header_received_ = 0;
    uint16_t entry_ = 0;
    uint16_t length_ = 0;
    uint32_t loaded_ = 0;
    uint8_t sum_ = 0;
    LraeAgentEmulator agent_;
    McuCore* core_;
};

}  // namespace zelv::sim
