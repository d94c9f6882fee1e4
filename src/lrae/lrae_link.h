// The host side of the LRAE boot loader link: the serial line, the baud rate search, the
// synchronisation, the boot loader's RAM load exchange, and the frames in which the host
// then talks to the LRAE agent that it loaded.
//
// The boot loader sits in the first `lrae_size` bytes of the FLASH page that the CPU sees at
// 0x4000. It listens only until it has started a program in RAM: after one successful RAM
// load the target needs a reset before the boot loader answers again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial.h"

namespace zelv {

inline constexpr uint8_t kLraeProbe = 0x55;
inline constexpr uint8_t kLraeProbeAnswer = 0xAA;
inline constexpr uint8_t kLraeLoadAck = 0x80;
inline constexpr uint8_t kLraeGood = 0x00;
inline constexpr uint8_t kLraeChecksumError = 0x55;

// RAM is taken to end at 0x3FFF; the boot loader keeps the top 48 bytes for itself.
inline constexpr uint32_t kLraeRamEnd = 0x4000;
inline constexpr uint32_t kLraeWindowLast = 0x3FCF;

// Agent commands.
enum LraeCommand : uint8_t {
    kLraeBulkErase = 0x07,    // block, first page of the block; then one result byte
    kLraeEraseVerify = 0x08,  // block, first page; result 0x00 clear, 0x03 not clear
    kLraeEraseSector = 0x09,  // block, page, window address high, low; result byte
    kLraeReadPage = 0x0A,     // block, page, 0x80, 0x00, 0x40; 16384 bytes, checksum byte
    kLraeWrite = 0x0B,        // block, page, address, count (2 bytes each); data, result
};

// What the interface knows of the connection for the rest of the run.
struct LraeState {
    uint32_t window_start = 0;     // first address of the LRAE RAM area
    uint32_t lrae_size = 0;        // FLASH bytes the boot loader occupies in its page
    bool program_started = false;  // the boot loader started a program and no longer listens
    bool agent_loaded = false;     // the agent runs and accepted the oscillator frequency
};

[[nodiscard]] LraeState& lrae_state();
[[nodiscard]] SerialPort& lrae_port();

// One pair of the baud rate search: the rate the target's SCI runs at with one divisor, a
// host rate, and their distance in hundredths of a percent (truncated). Kept in 64 bits:
// |t - h| * 10000 overflows 32 bits for fast oscillators, and a wrapped figure could make a
// wrong pair look acceptable.
struct LraeBaudPair {
    uint64_t target_rate = 0;
    uint64_t host_rate = 0;
    uint64_t error = 0;
};

[[nodiscard]] uint64_t lrae_baud_error(uint64_t target_rate, uint64_t host_rate);

// Walks all divisor and host rate pairs for the oscillator (Hz), printing each under -d,
// and returns the first acceptable one (below 3.90 %) in *pair. False when none is.
[[nodiscard]] bool lrae_baud_search(uint64_t osc, LraeBaudPair* pair);

// The open and close slots of the lrae entry.
[[nodiscard]] int lrae_open();
[[nodiscard]] int lrae_close();

// Reads one byte under a 10 s time-out ("timeout - no connection with target").
[[nodiscard]] int lrae_receive(uint8_t* byte);

// Reads count bytes in as few reads as the line allows; the 10 s time-out runs between
// bytes, not over the whole count.
[[nodiscard]] int lrae_receive_block(uint8_t* bytes, std::size_t count);

// Writes count bytes in one write under the time-out.
[[nodiscard]] int lrae_send(const uint8_t* data, std::size_t count, unsigned timeout_ms);

// Loads an S-record file into the LRAE RAM area through the boot loader, which starts it at
// its entry address. agent only changes the wording of the status lines.
[[nodiscard]] int lrae_ram_load(const char* path, bool agent);

// Receives one answer byte of the agent: 0x00 returns 0; 0x55 reports checksum_message,
// any other value other_message, and both return EIO.
[[nodiscard]] int lrae_judge(const char* checksum_message, const char* other_message);

// Receives the result byte of a command on one place of the FLASH: 0x00 returns 0; 0x55
// reports checksum_message when there is one; any other value reports "invalid response
// <0x..> to <command>: block <..> page <0x..> address <0x....>". Both EIO.
[[nodiscard]] int lrae_result(const char* checksum_message, const char* command, uint8_t block,
                              uint8_t page, uint16_t address);

// Sends one agent frame (command, length n + 3, n parameters, checksum) and judges its
// acknowledge byte. The command's further bytes are the caller's.
[[nodiscard]] int lrae_frame(uint8_t command, const uint8_t* parameters, unsigned n);

}  // namespace zelv
