// The serial port layer: a POSIX terminal device in raw mode at a fixed set of rates,
// exact-count reads and writes under one time-out, and RTS/CTS under program control.
//
// Calling order: serial_open, serial_set_settings (close on its failure), any number of
// reads, writes and modem-line requests, serial_close. Every operation returns 0 or an errno
// value; system failures are reported with the port's name and the system's text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelv {

inline constexpr std::size_t kSerialNameSize = 257;

struct SerialPort {
    char name[kSerialNameSize] = {};  // device path, cut to 256 characters; "" when closed
    int descriptor = -1;              // -1 when closed
    int cts_wait = 0;                 // TIOCMIWAIT: 0 untried, 1 works, -1 refused (poll)
    unsigned poll_us = 0;             // CTS poll interval: half a byte time at the rate set
};

enum SerialDataBits : int { kData5 = 0, kData6 = 1, kData7 = 2, kData8 = 3 };
enum SerialParity : int { kParityNone = 0, kParityEven = 1, kParityOdd = 2 };
enum SerialStopBits : int { kStop1 = 0, kStop2 = 1 };
enum SerialFlowControl : int { kFlowNone = 1, kFlowHardware = 2 };

struct SerialSettings {
    uint64_t baud_rate = 115200;  // one of 50 ... 115200 of the baud table
    int data_bits = kData8;
    int parity = kParityNone;
    int stop_bits = kStop1;
    int flow_control = kFlowNone;
};

enum SerialModemRequest : int { kSetRts = 0, kGetCts = 1 };

// Opens the device read/write, non-blocking, not as controlling terminal.
[[nodiscard]] int serial_open(SerialPort* port, const char* path);

// Closes the device and clears the record; EINVAL without a message when already closed.
[[nodiscard]] int serial_close(SerialPort* port);

// Raw mode, rate and framing, applied at once. A rate outside the table: "invalid baud rate".
[[nodiscard]] int serial_set_settings(SerialPort* port, const SerialSettings* settings);

// Reads exactly *length bytes within timeout_ms counted from the first wait. On return
// *length is the count received, also on failure. A time-out returns ETIMEDOUT silently.
[[nodiscard]] int serial_read(SerialPort* port, uint8_t* buffer, std::size_t* length,
                              unsigned timeout_ms);

// Writes exactly *length bytes within timeout_ms; *length is the count sent. A time-out is
// reported ("unable to write ...") and returns ETIMEDOUT.
[[nodiscard]] int serial_write(SerialPort* port, const uint8_t* data, std::size_t* length,
                               unsigned timeout_ms);

// Reads and throws away what the line holds until it has been quiet for quiet_ms (0: only
// what has already arrived); *count is the number of bytes thrown away. A line that keeps
// talking is given at most limit_ms. Used to make sure no stray byte waits ahead of the
// next reply.
[[nodiscard]] int serial_discard(SerialPort* port, unsigned quiet_ms, unsigned limit_ms,
                                 std::size_t* count);

// kSetRts: asserts RTS when *value is non-zero, else negates it. kGetCts: *value = CTS (0/1).
// Any other request: EINVAL, nothing done.
[[nodiscard]] int serial_modem_line(SerialPort* port, int request, int* value);

// Waits until CTS reads `wanted` (0 or 1), at most timeout_ms. Sleeps in the driver's wait
// for a modem-line change (TIOCMIWAIT) where it has one, else reads CTS every half a byte
// time, so the wait costs the host almost no processor time either way. A time-out returns
// ETIMEDOUT silently.
[[nodiscard]] int serial_wait_cts(SerialPort* port, int wanted, unsigned timeout_ms);

// Time-out bookkeeping shared by serial_read and serial_write: one time-out covers the whole
// operation, counted from its first wait. Exposed so that the clock handling can be driven
// by a scripted clock.
struct SerialTime {
    int64_t seconds = 0;
    int64_t microseconds = 0;
};
using SerialClock = SerialTime (*)();

struct SerialTimeout {
    bool started = false;  // false before the first step of an operation
    SerialTime start;
};

// The clock the time-outs run on: monotonic, so that setting the time of day neither cuts a
// wait short nor stretches it.
[[nodiscard]] SerialTime serial_clock_now();

// First step: notes the start, *left_ms = timeout_ms. Later steps: *left_ms = time-out less
// the whole milliseconds elapsed, or ETIMEDOUT once nothing is left. A clock found earlier
// than the start (set back) restarts the count from the clock's new reading.
[[nodiscard]] int serial_timeout_step(SerialTimeout* state, unsigned timeout_ms, SerialClock clock,
                                      unsigned* left_ms);

}  // namespace zelv
