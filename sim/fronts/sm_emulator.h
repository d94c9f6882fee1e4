// The serial monitor, from the monitor's side of the line: one-byte commands with their
// argument bytes in, reply bytes and a three-byte prompt (error code, status byte, '>') out.
//
// How this monitor works inside (the host cannot see it, but tests and users can):
// - It lives in the top 2 KB of the last FLASH page (0xF800-0xFFFF). On a blank part it
//   programs itself there: code, the information block at 0xFEF8-0xFEFF (bytes 'S' 'M', date
//   2025-06-01, version 1.00), the FLASH protection byte 0xFF0D = 0xC7 (its own 2 KB
//   protected as the high area of block 0), the security byte 0xFF0F = 0xFE (unsecured) and
//   its vectors (reset at 0xF800). The MCU runs in normal single-chip mode.
// - Every prompt carries the status byte 0x00. Bytes that are no command, the host's 0x0D
//   among them, are answered with error code 0xE1.
// - Reads (0xA1, 0xA3, 0xA7) return the local map as the CPU sees it, vectors included.
// - Byte writes (0xA2) to FLASH or EEPROM answer 0xE5. Word and block writes (0xA4, 0xA8)
//   write registers and RAM byte by byte and program FLASH and EEPROM word by word: an odd
//   address or count that touches FLASH answers 0xE6 (EEPROM: 0xE9), as does a word that
//   is not erased, lies in a protected area, lies in the monitor's own 2 KB, or lies in
//   another FLASH block than the one selected in FCNFG (the hardware's access error).
//   Words written before a failing one stay programmed.
// - Writes to the CPU vectors 0xFF80-0xFFFF are redirected to the user vector table
//   0xF780-0xF7FF; through the PPAGE window the same bytes count as the monitor's area.
// - 0xB6 erases every FLASH sector outside the monitor's 2 KB, block by block (selecting
//   each block in FCNFG and restoring FCNFG afterwards); 0xB9 mass-erases the EEPROM, which
//   fails with 0xE9 while EPROT protects any of it, or when the part has none.
// - 0xB4 resets the MCU and returns to the monitor; nothing is sent.
#pragma once

#include <array>
#include <cstdint>

#include "faults/faults.h"
#include "common/serial_device.h"
#include "mcu/virtual_mcu.h"

namespace zelv::sim {

namespace sm {
inline constexpr uint8_t kOk = 0xE0;
inline constexpr uint8_t kNotRecognized = 0xE1;
inline constexpr uint8_t kByteWriteNonvolatile = 0xE5;
inline constexpr uint8_t kFlashError = 0xE6;
inline constexpr uint8_t kEepromError = 0xE9;
inline constexpr uint8_t kStatus = 0x00;
inline constexpr uint8_t kPrompt = '>';
inline constexpr uint8_t kDeviceCode = 0xDC;
inline constexpr uint32_t kMonitorStart = 0x3800;  // offset in the last page (0xF800)
inline constexpr uint16_t kVectorStart = 0xFF80;
inline constexpr uint16_t kUserVectorStart = 0xF780;
}  // namespace sm

class SmEmulator final : public SerialDevice {
public:
    SmEmulator(VirtualMcu& mcu, const SmFaults& faults) : mcu_(mcu), faults_(faults) {}

    // Programs the monitor into the last page when its 2 KB are blank, then resets the MCU
    // so that FSEC and FPROT pick up its bytes. Returns true when it did.
    bool install();

    void receive(uint8_t byte, Reply& reply) override;

    // The babble fault: one noise byte (never '>') at a time, once the host has spoken.
    int unsolicited(Reply& reply) override;

    // The monitor's 2 KB as it programs them (for tests).
    [[nodiscard]] static std::array<uint8_t, 0x800> monitor_image();

private:
    void execute(Reply& reply);
    [[nodiscard]] uint8_t write_byte(uint16_t address, uint8_t value);
    [[nodiscard]] uint8_t write_words(uint16_t address, const uint8_t* data, unsigned count);
    [[nodiscard]] uint8_t program_flash(uint16_t address, uint16_t value);
    [[nodiscard]] uint8_t erase_flash();
    [[nodiscard]] bool in_monitor(uint32_t flash_offset) const;
    [[nodiscard]] const CommandFault* fault_for(const std::vector<CommandFault>& faults,
                                                unsigned occurrence) const;

    VirtualMcu& mcu_;
    SmFaults faults_;
    bool in_command_ = false;
    uint8_t command_ = 0;
    unsigned needed_ = 0;
    unsigned received_ = 0;
    std::array<uint8_t, 3 + 256> args_{};
    unsigned commands_ = 0;
    std::array<unsigned, 256> occurrences_{};
    bool answered_ = false;
    bool babbling_ = false;
    unsigned babbled_ = 0;
};

}  // namespace zelv::sim
