// The SCI0 serial interface of an HCS12 part, as its CPU sees it (eight registers at offsets
// 0x00C8-0x00CF of the register block) and as the line sees it (frames in, frames out),
// driven by the bus clock. It knows nothing of what sits on the line.
//
//   0xC8 SCIBDH  bits 4-0: SBR12-8. Held back until SCIBDL is written, which loads both
//   0xC9 SCIBDL  SBR7-0. Rate = bus clock / (16 x SBR); SBR 0 stops the rate generator
//   0xCA SCICR1  LOOPS, SCISWAI, RSRC, M (bit 4: 9 data bits), WAKE, ILT, PE (bit 1), PT
//   0xCB SCICR2  TIE, TCIE, RIE, ILIE, TE (bit 3), RE (bit 2), RWU, SBK
//   0xCC SCISR1  TDRE 0x80, TC 0x40, RDRF 0x20, IDLE 0x10, OR 0x08, NF 0x04, FE 0x02,
//                PF 0x01; read-only
//   0xCD SCISR2  BK13 (bit 2), TXDIR (bit 1) writable; RAF (bit 0) while a frame comes in
//   0xCE SCIDRH  R8 (bit 7) of the last received frame, T8 (bit 6) for the next one sent
//   0xCF SCIDRL  received data on a read, data to send on a write
//
// Flags clear by the block guide's sequences: TDRE and TC by a read of SCISR1 that saw them
// set, then a write of SCIDRL; RDRF, IDLE, OR, NF, FE and PF by a read of SCISR1 that saw
// them set, then a read of SCIDRL. A frame that completes while RDRF is still set is lost
// and sets OR. Setting TE queues an idle preamble (one frame time) before the first byte;
// TC sets when the transmit data register is empty and nothing is being shifted out. IDLE
// sets once the receive line has been idle for a frame time after a received frame, and
// not again until another frame has set RDRF.
// With PE set the last data bit is the parity bit (even, or odd with PT); PF flags a
// mismatch. Not modelled: loop mode, wake-up, break characters, ILT (idle is counted from
// the stop bit), SCISWAI and interrupts themselves (interrupt_requested tells the CPU side
// what the enables ask for).
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace zelv::sim {

namespace sci_reg {  // offsets in the register block
inline constexpr uint16_t kScibdh = 0x00C8;
inline constexpr uint16_t kScibdl = 0x00C9;
inline constexpr uint16_t kScicr1 = 0x00CA;
inline constexpr uint16_t kScicr2 = 0x00CB;
inline constexpr uint16_t kScisr1 = 0x00CC;
inline constexpr uint16_t kScisr2 = 0x00CD;
inline constexpr uint16_t kScidrh = 0x00CE;
inline constexpr uint16_t kScidrl = 0x00CF;
}  // namespace sci_reg

namespace sci_bit {
// SCICR1
inline constexpr uint8_t kM = 0x10;
inline constexpr uint8_t kPe = 0x02;
inline constexpr uint8_t kPt = 0x01;
// SCICR2
inline constexpr uint8_t kTie = 0x80;
inline constexpr uint8_t kTcie = 0x40;
inline constexpr uint8_t kRie = 0x20;
inline constexpr uint8_t kIlie = 0x10;
inline constexpr uint8_t kTe = 0x08;
inline constexpr uint8_t kRe = 0x04;
// SCISR1
inline constexpr uint8_t kTdre = 0x80;
inline constexpr uint8_t kTc = 0x40;
inline constexpr uint8_t kRdrf = 0x20;
inline constexpr uint8_t kIdle = 0x10;
inline constexpr uint8_t kOr = 0x08;
inline constexpr uint8_t kNf = 0x04;
inline constexpr uint8_t kFe = 0x02;
inline constexpr uint8_t kPf = 0x01;
// SCISR2
inline constexpr uint8_t kRaf = 0x01;
}  // namespace sci_bit

// One frame on the line: eight data bits, the ninth (used with M set; a sender of eight
// bits leaves its stop bit, a 1, there), and what the receiver's sampling made of it.
struct SciFrame {
    uint8_t value = 0;
    bool bit8 = true;
    bool framing_error = false;
    bool noise = false;
};

class Sci {
public:
    Sci() { reset(); }

    // Registers and both sides to their reset state; the line queues emptied.
    void reset();

    [[nodiscard]] static bool owns(uint16_t offset) {
        return offset >= sci_reg::kScibdh && offset <= sci_reg::kScidrl;
    }

    // CPU accesses by register-block offset: a read takes part in the flag-clearing
    // sequences, a peek does not.
    [[nodiscard]] uint8_t read(uint16_t offset);
    [[nodiscard]] uint8_t peek(uint16_t offset) const;
    void write(uint16_t offset, uint8_t value);

    // The line side: frames arriving on RXD, received one after another, each taking a
    // frame time (those that would start while the receiver is off are dropped); and the
    // data bytes of the frames shifted out on TXD so far, oldest first (taken, so each is
    // handed over once).
    void line_in(const SciFrame& frame) { line_in_.push_back(frame); }
    void line_in(uint8_t value) { line_in(SciFrame{value}); }
    [[nodiscard]] std::vector<uint8_t> take_line_out();

    // Time goes on by this many bus cycles.
    void advance(uint64_t bus_cycles);

    // Bus cycles one frame takes at the current rate (0 while the rate generator is off).
    [[nodiscard]] uint64_t frame_cycles() const;
    // A flag set whose interrupt is enabled.
    [[nodiscard]] bool interrupt_requested() const;

private:
    struct Shifter {
        bool busy = false;
        uint64_t left = 0;  // bus cycles until the frame is done
    };

    void step(uint64_t cycles);
    void start_transmit();
    void finish_transmit();
    void start_receive();
    void finish_receive();
    [[nodiscard]] bool parity_error(const SciFrame& frame) const;

    uint16_t sbr_ = 4;
    uint8_t bdh_pending_ = 0;
    uint8_t cr1_ = 0;
    uint8_t cr2_ = 0;
    uint8_t sr1_ = 0;
    uint8_t sr2_ = 0;
    uint8_t armed_ = 0;  // SCISR1 flags the last read saw set
    uint8_t rx_data_ = 0;
    bool rx_bit8_ = false;
    uint8_t tx_data_ = 0;
    bool tx_bit8_ = false;

    Shifter tx_;
    bool preamble_queued_ = false;  // TE was set: an idle frame goes out first
    bool tx_preamble_ = false;      // what the shifter holds is that idle frame
    uint8_t tx_shifting_ = 0;

    Shifter rx_;
    SciFrame rx_frame_;
    bool idle_armed_ = false;  // a frame set RDRF since IDLE last set
    uint64_t idle_left_ = 0;   // bus cycles of idle line still needed for IDLE

    std::deque<SciFrame> line_in_;
    std::vector<uint8_t> line_out_;
};

}  // namespace zelv::sim
