#include "mcu/sci.h"

#include <algorithm>
#include <bit>

namespace zelv::sim {

namespace {

using namespace sci_bit;

constexpr uint8_t kReceiveFlags = kRdrf | kIdle | kOr | kNf | kFe | kPf;
constexpr uint8_t kTransmitFlags = kTdre | kTc;
constexpr uint8_t kScisr2Writable = 0x06;  // BK13, TXDIR
constexpr uint64_t kCyclesPerBit = 16;     // per unit of SBR

}  // namespace

void Sci::reset() {
    sbr_ = 4;
    bdh_pending_ = 0;
    cr1_ = 0;
    cr2_ = 0;
    sr1_ = kTdre | kTc;
    sr2_ = 0;
    armed_ = 0;
    rx_data_ = 0;
    rx_bit8_ = false;
    tx_data_ = 0;
    tx_bit8_ = false;
    tx_ = {};
    preamble_queued_ = false;
    tx_preamble_ = false;
    tx_shifting_ = 0;
    rx_ = {};
    rx_frame_ = {};
    idle_armed_ = false;
    idle_left_ = 0;
    line_in_.clear();
    line_out_.clear();
}

uint64_t Sci::frame_cycles() const {
    const uint64_t bits = (cr1_ & kM) != 0 ? 11 : 10;  // start, 8 or 9 data bits, stop
    return bits * kCyclesPerBit * sbr_;
}

bool Sci::interrupt_requested() const {
    return ((sr1_ & kTdre) != 0 && (cr2_ & kTie) != 0) ||
           ((sr1_ & kTc) != 0 && (cr2_ & kTcie) != 0) ||
           ((sr1_ & (kRdrf | kOr)) != 0 && (cr2_ & kRie) != 0) ||
           ((sr1_ & kIdle) != 0 && (cr2_ & kIlie) != 0);
}

uint8_t Sci::peek(uint16_t offset) const {
    switch (offset) {
        case sci_reg::kScibdh:
            return static_cast<uint8_t>((sbr_ >> 8) & 0x1F);
        case sci_reg::kScibdl:
            return static_cast<uint8_t>(sbr_);
        case sci_reg::kScicr1:
            return cr1_;
        case sci_reg::kScicr2:
            return cr2_;
        case sci_reg::kScisr1:
            return sr1_;
        case sci_reg::kScisr2:
            return static_cast<uint8_t>(sr2_ | (rx_.busy ? kRaf : 0));
        case sci_reg::kScidrh:
            return static_cast<uint8_t>((rx_bit8_ ? 0x80 : 0) | (tx_bit8_ ? 0x40 : 0));
        case sci_reg::kScidrl:
            return rx_data_;
        default:
            return 0;
    }
}

uint8_t Sci::read(uint16_t offset) {
    const uint8_t value = peek(offset);
    if (offset == sci_reg::kScisr1) {
        armed_ = sr1_;  // the first half of every clearing sequence
    } else if (offset == sci_reg::kScidrl) {
        const uint8_t cleared = armed_ & kReceiveFlags;
        sr1_ &= static_cast<uint8_t>(~cleared);
        armed_ &= static_cast<uint8_t>(~cleared);
    }
    return value;
}

void Sci::write(uint16_t offset, uint8_t value) {
    switch (offset) {
        case sci_reg::kScibdh:
            bdh_pending_ = value & 0x1F;  // takes effect with the SCIBDL write
            return;
        case sci_reg::kScibdl:
            sbr_ = static_cast<uint16_t>((bdh_pending_ << 8) | value);
            return;
        case sci_reg::kScicr1:
            cr1_ = value;
            return;
        case sci_reg::kScicr2: {
            const bool te_set = (value & kTe) != 0 && (cr2_ & kTe) == 0;
            cr2_ = value;
            if (te_set) {
                preamble_queued_ = true;
                sr1_ &= static_cast<uint8_t>(~kTc);
            }
            if ((cr2_ & kRe) == 0) {
                rx_.busy = false;  // a frame coming in is abandoned
                idle_armed_ = false;
            }
            if (!tx_.busy) {
                start_transmit();
            }
            return;
        }
        case sci_reg::kScisr2:
            sr2_ = value & kScisr2Writable;
            return;
        case sci_reg::kScidrh:
            tx_bit8_ = (value & 0x40) != 0;
            return;
        case sci_reg::kScidrl: {
            tx_data_ = value;
            const uint8_t cleared = armed_ & kTransmitFlags;
            sr1_ &= static_cast<uint8_t>(~cleared);
            armed_ &= static_cast<uint8_t>(~cleared);
            if (!tx_.busy) {
                start_transmit();
            }
            return;
        }
        default:
            return;  // SCISR1 is read-only
    }
}

std::vector<uint8_t> Sci::take_line_out() {
    std::vector<uint8_t> out;
    out.swap(line_out_);
    return out;
}

void Sci::start_transmit() {
    const uint64_t frame = frame_cycles();
    if (frame == 0) {
        return;  // the rate generator is off: nothing moves
    }
    if (preamble_queued_ && (cr2_ & kTe) != 0) {
        preamble_queued_ = false;
        tx_preamble_ = true;
        tx_ = {true, frame};
        return;
    }
    if ((cr2_ & kTe) != 0 && (sr1_ & kTdre) == 0) {
        // The data register moves into the shifter and is free again.
        tx_preamble_ = false;
        tx_shifting_ = tx_data_;
        sr1_ = static_cast<uint8_t>((sr1_ | kTdre) & ~kTc);
        tx_ = {true, frame};
        return;
    }
    if ((sr1_ & kTdre) != 0 && !preamble_queued_) {
        sr1_ |= kTc;
    }
}

void Sci::finish_transmit() {
    tx_.busy = false;
    if (!tx_preamble_) {
        line_out_.push_back(tx_shifting_);
    }
    tx_preamble_ = false;
    start_transmit();
}

void Sci::start_receive() {
    if (frame_cycles() == 0) {
        return;
    }
    if ((cr2_ & kRe) == 0) {
        line_in_.clear();
        return;
    }
    if (line_in_.empty()) {
        return;
    }
    rx_frame_ = line_in_.front();
    line_in_.pop_front();
    rx_ = {true, frame_cycles()};
    idle_left_ = 0;  // the line is busy again
}

bool Sci::parity_error(const SciFrame& frame) const {
    if ((cr1_ & kPe) == 0) {
        return false;
    }
    // Without M the parity bit is the eighth bit; with M the ninth.
    const unsigned ones = (cr1_ & kM) != 0 ? static_cast<unsigned>(std::popcount(frame.value)) +
                                                 (frame.bit8 ? 1u : 0u)
                                           : static_cast<unsigned>(std::popcount(frame.value));
    const bool odd = (ones & 1) != 0;
    return (cr1_ & kPt) != 0 ? !odd : odd;
}

void Sci::finish_receive() {
    rx_.busy = false;
    if ((sr1_ & kRdrf) != 0) {
        sr1_ |= kOr;  // the frame is lost; the data register keeps the unread byte
    } else {
        rx_data_ = rx_frame_.value;
        rx_bit8_ = rx_frame_.bit8;
        sr1_ |= kRdrf;
        if (rx_frame_.framing_error) {
            sr1_ |= kFe;
        }
        if (rx_frame_.noise) {
            sr1_ |= kNf;
        }
        if (parity_error(rx_frame_)) {
            sr1_ |= kPf;
        }
        idle_armed_ = true;
    }
    idle_left_ = frame_cycles();
    start_receive();
}

void Sci::advance(uint64_t bus_cycles) {
    while (bus_cycles > 0) {
        if (!tx_.busy) {
            start_transmit();
        }
        if (!rx_.busy) {
            start_receive();
        }
        const bool idle_counting = !rx_.busy && idle_armed_ && idle_left_ > 0;
        if (!tx_.busy && !rx_.busy && !idle_counting) {
            return;  // nothing that time changes
        }
        uint64_t span = bus_cycles;
        if (tx_.busy) {
            span = std::min(span, tx_.left);
        }
        if (rx_.busy) {
            span = std::min(span, rx_.left);
        }
        if (idle_counting) {
            span = std::min(span, idle_left_);
        }
        bus_cycles -= span;
        if (idle_counting && (idle_left_ -= span) == 0) {
            sr1_ |= kIdle;
            idle_armed_ = false;
        }
        if (rx_.busy && (rx_.left -= span) == 0) {
            finish_receive();
        }
        if (tx_.busy && (tx_.left -= span) == 0) {
            finish_transmit();
        }
    }
}

}  // namespace zelv::sim
