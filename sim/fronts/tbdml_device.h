// The Turbo BDM Light (TBDML) on the virtual USB bus: the pod's vendor requests and bulk
// packets in, BDM commands on the virtual MCU's BKGD line, status and data out.
//
// How this pod works inside (the host cannot see it, but tests and users can):
// - A command is a vendor request on the default pipe: the request is the command byte,
//   wValue and wIndex carry the first four parameter bytes (low byte first), an OUT data
//   stage the rest. An IN request is answered with the status byte (the command itself when
//   done, 2 refused, 3 unknown) and the data; an OUT request gets no answer at all, so the
//   pod ignores one it cannot carry out. A bulk packet on endpoint 0x02 is the parameter
//   count + 2, the parameter count + 1, the command and its parameters; every packet's
//   answer (status, data) waits on endpoint 0x82. A packet whose two counts do not fit its
//   length is not taken, and nothing waits then.
// - Commands: 0x0C version (firmware, then hardware, major.minor in the nibbles); 0x1E
//   target type (only 0, the HC12 family, is known); 0x1F connect: the pod syncs with the
//   target and measures its speed; a target that gives no sync (a secured part running in
//   normal mode) is reset into special mode first; 0x21 reset into special (0) or normal (1)
//   mode; 0x29 the speed value measured at the last connect (0 before any); 0x2E run at the
//   given speed value (0 is refused); 0x23/0x24 READ/WRITE_BD_BYTE, 0x32/0x3C READ/WRITE_BYTE,
//   0x33/0x3D READ/WRITE_WORD, 0x27 BACKGROUND, 0x2A GO, 0x2C TRACE1; 0x35 the registers
//   PC, SP, X, Y, D and CCR (the CCR as a word with a high byte of 0); 0x50 to 0x55 write
//   them; 0x37 and 0x41 read and write 1 to 32 bytes (a count outside that is refused), as
//   a byte at an odd end and words in between.
// - Speed: the speed value w stands for an oscillator of about 15360000000 / w Hz (960 for
//   16 MHz). With a board oscillator to check against, the pod's speed must be within 5% of
//   it or the target does not understand the pod: reads give an idle line (0xFF), writes
//   and runs do nothing. Without one every speed does. A connect always matches.
// - Faults: usb-refuse and usb-unknown answers stand in for the command, which is then not
//   carried out; usb-short and usb-empty spoil the answer of a command that was. usb-speed
//   replaces what the connect measures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mcu/mcu_bdm.h"
#include "faults/usb_faults.h"
#include "usb/usb_server.h"

namespace zelv::sim {

struct TbdmlConfig {
    uint64_t board_osc = 16000000;  // Hz: what a connect measures
    bool check_speed = false;       // a speed the host sets must match board_osc
    uint8_t firmware = 0x10;        // version bytes: major in the high nibble
    uint8_t hardware = 0x01;
};

class TbdmlDevice final : public UsbDeviceModel {
public:
    TbdmlDevice(McuBdm& bdm, const TbdmlConfig& config, const UsbFaults& faults);

    int control(const UsbSetup& setup, std::vector<uint8_t>* data) override;
    int bulk_out(uint8_t endpoint, const std::vector<uint8_t>& data) override;
    int bulk_in(uint8_t endpoint, std::size_t wanted, std::vector<uint8_t>* data) override;

    // The speed value the pod runs at (0 before a connect or a speed setting).
    [[nodiscard]] uint16_t speed() const { return speed_; }
    [[nodiscard]] bool speed_matches() const;

    // The speed value for an oscillator of osc Hz, as the pod measures it.
    [[nodiscard]] static uint16_t speed_for(uint64_t osc);

private:
    // Carries a command out; the answer (status first) goes into *reply.
    void execute(uint8_t command, const std::vector<uint8_t>& params, std::vector<uint8_t>* reply);
    // The answer to an answered command, with the faults applied.
    void answer(uint8_t command, const std::vector<uint8_t>& params, std::vector<uint8_t>* reply);
    void memory_command(uint8_t command, const std::vector<uint8_t>& params,
                        std::vector<uint8_t>* reply);
    void read_block(uint16_t address, unsigned count, std::vector<uint8_t>* reply);
    void write_block(uint16_t address, unsigned count, const uint8_t* data);
    void connect();

    McuBdm& bdm_;
    TbdmlConfig config_;
    ReplyFaults faults_;
    bool speed_fault_;
    uint16_t speed_fault_value_;
    uint16_t speed_ = 0;
    uint16_t measured_ = 0;
    bool bulk_waiting_ = false;  // an answer waits on endpoint 0x82
    std::vector<uint8_t> bulk_answer_;
};

}  // namespace zelv::sim
