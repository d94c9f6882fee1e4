// sim/fronts: the devices a host talks to, each speaking its wire protocol from the device
// side: serial monitor, LRAE boot loader, BDM12POD (this file) and TBDML. They stand in front
// of the virtual MCU and must not know which program drives them.
//
// The BDM12POD, and the PODEX boards, from the pod's side of the serial line: single command
// bytes with big-endian operands in, BDM commands on the virtual MCU's BKGD line, replies out.
//
// How this pod works inside (the host cannot see it, but tests and users can):
// - Every byte is taken with the RTS/CTS handshake of modem_lines.h; the pod counts the bytes
//   it takes there, so CTS drops once it has one.
// - Pod commands: 0x00 sync; 0x01 reset into special mode (BKGD held low through the reset);
//   0x02 and 0x03 reset line low and released (normal mode); 0x04 0x00 the version byte
//   (bit 7 set for a pod with MODA/MODB lines); 0x04 0x03 addr count: mem dump, count words
//   read with READ_WORD from addr up; 0x04 0x04 code trace_delay reset_delay: speed code 0-3
//   (1, 2, 4, 8 MHz E-clock; code 4: the custom value); 0x04 0x06 addr count words: mem put;
//   0x04 0x07 0x00 word: the custom timing value. Version 4.5 firmware knows no mem put, 4.6
//   and older no custom timing: those, like every unknown pod command, are ignored after
//   their second byte, and the bytes that follow are taken as commands.
// - BDM commands go to the target as the BDM command set encodes them; byte commands carry
//   the whole bus word both ways.
// - Speed: the pod's E-clock must match the target's BDM clock (half the board's oscillator)
//   within 5%, or the target does not understand it: reads give an idle line (0xFF bytes),
//   writes and runs do nothing. The custom value w gives an E-clock of about
//   128000000000 / (800 w + 1400) Hz. Without a board oscillator (0) every speed matches.
//   Resets, sync, version and speed commands do not depend on the speed. After power-up the
//   pod runs at code 3.
// - podex: a PODEX with patched firmware, like the BDM12POD. podex-bug: the PODEX's original
//   firmware, whose block commands are broken: mem dump repeats the first word, mem put
//   writes every word to the first address. podex-25: a PODEX for a 25 MHz target, whose
//   speed code 3 means a 12.5 MHz E-clock.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "faults/faults.h"
#include "mcu/mcu_bdm.h"
#include "modem/modem_lines.h"
#include "common/serial_device.h"

namespace zelv::sim {

enum class PodKind { kBdm12pod, kPodex, kPodexBug, kPodex25 };

// The --pod names: "bdm12pod", "podex", "podex-bug", "podex-25". False for another name.
[[nodiscard]] bool parse_pod_kind(const char* name, PodKind* kind);

struct PodConfig {
    PodKind kind = PodKind::kBdm12pod;
    uint8_t version = 0x47;  // major in bits 4-6, minor in bits 0-3
    bool moda_modb = false;
    unsigned long board_osc = 0;  // Hz; 0: the pod's speed is not checked
};

class Bdm12podEmulator final : public SerialDevice {
public:
    // lines may be nullptr (no handshake, as in tests that feed bytes directly).
    Bdm12podEmulator(McuBdm& bdm, const PodConfig& config, const PodFaults& faults,
                     ModemLines* lines);

    void receive(uint8_t byte, Reply& reply) override;

    // Every complete command so far, its bytes as received (for tests; safe to call while
    // another thread feeds the pod).
    [[nodiscard]] std::vector<std::vector<uint8_t>> commands() const;

    // The pod's E-clock in Hz at its current speed setting.
    [[nodiscard]] unsigned long eclock() const;
    [[nodiscard]] bool speed_matches() const;

private:
    [[nodiscard]] size_t needed() const;
    void execute(Reply& reply);
    void execute_pod_command(std::vector<uint8_t>& out);
    void execute_bdm_command(std::vector<uint8_t>& out);
    void mem_dump(uint16_t address, uint16_t count, std::vector<uint8_t>& out);
    void mem_put(uint16_t address, uint16_t count, const uint8_t* data);
    void answer(std::vector<uint8_t>& out, Reply& reply);

    McuBdm& bdm_;
    PodConfig config_;
    PodFaults faults_;
    ModemLines* lines_;
    std::vector<uint8_t> command_;
    uint8_t speed_code_ = 3;
    uint16_t custom_word_ = 0;
    unsigned replies_ = 0;
    unsigned slow_reads_ = 0;  // reads of the slow-read fault's address so far
    mutable std::mutex log_mutex_;
    std::vector<std::vector<uint8_t>> log_;
};

}  // namespace zelv::sim
