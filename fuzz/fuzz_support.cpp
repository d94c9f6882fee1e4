// The fake link of the protocol targets: serial port and USB transfers that answer from the
// fuzz input, with no wait, so a target can run thousands of exchanges a second. Linked in
// place of the real src/link, whose system calls would only slow the search down.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/settings.h"
#include "fuzz_input.h"
#include "link/serial.h"
#include "target/description.h"

namespace zelv::fuzz {
namespace {

const uint8_t* reply_data = nullptr;
std::size_t reply_left = 0;
int rts = 0;
bool taken = false;  // the pod took the byte of this handshake: CTS drops

std::size_t take(uint8_t* out, std::size_t wanted) {
    const std::size_t n = wanted < reply_left ? wanted : reply_left;
    if (n > 0) {
        std::memcpy(out, reply_data, n);
        reply_data += n;
        reply_left -= n;
    }
    return n;
}

}  // namespace

std::string input_file(const uint8_t* data, std::size_t size, const char* suffix) {
    const std::string path = "/tmp/zelv-fuzz-" + std::to_string(getpid()) + suffix;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file != nullptr) {
        if (size > 0) {
            (void)std::fwrite(data, 1, size, file);
        }
        std::fclose(file);
    }
    return path;
}

std::size_t usb_take(uint8_t* out, std::size_t wanted) {
    return take(out, wanted);
}

void replies_set(const uint8_t* data, std::size_t size) {
    reply_data = data;
    reply_left = size;
    rts = 0;
}

void fresh_run() {
    static bool quiet = false;
    if (!quiet) {
        quiet = true;
        // The program's messages go nowhere; libFuzzer and the sanitizers keep the real
        // standard error (they hold their own handle on it, or write to descriptor 2).
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0 && std::getenv("ZELV_FUZZ_VERBOSE") == nullptr) {
            dup2(null, 1);
            FILE* sink = fdopen(null, "w");
            if (sink != nullptr) {
                stderr = sink;
            }
        }
    }
    settings_reset();
    description_free();
}

}  // namespace zelv::fuzz

namespace zelv {

using fuzz::take;

int serial_open(SerialPort* port, const char* path) {
    std::snprintf(port->name, sizeof port->name, "%s", path != nullptr ? path : "");
    port->descriptor = 99;
    return 0;
}

int serial_close(SerialPort* port) {
    if (port->descriptor == -1) {
        return EINVAL;
    }
    port->descriptor = -1;
    port->name[0] = '\0';
    return 0;
}

int serial_set_settings(SerialPort*, const SerialSettings*) {
    return 0;
}

int serial_read(SerialPort*, uint8_t* buffer, std::size_t* length, unsigned) {
    const std::size_t wanted = *length;
    *length = take(buffer, wanted);
    return *length == wanted ? 0 : ETIMEDOUT;
}

int serial_write(SerialPort*, const uint8_t*, std::size_t*, unsigned) {
    fuzz::taken = true;
    return 0;
}

int serial_discard(SerialPort*, unsigned, unsigned, std::size_t* count) {
    *count = 0;
    return 0;
}

// A pod that answers RTS with CTS at once and drops CTS once it has the byte.
int serial_modem_line(SerialPort*, int request, int* value) {
    if (request == kSetRts) {
        fuzz::rts = *value != 0 ? 1 : 0;
        fuzz::taken = false;
        return 0;
    }
    if (request == kGetCts) {
        *value = fuzz::rts != 0 && !fuzz::taken ? 1 : 0;
        return 0;
    }
    return EINVAL;
}

// The pod's CTS answers at once here: the wait is one look at the line.
int serial_wait_cts(SerialPort* port, int wanted, unsigned) {
    int cts = 0;
    if (const int result = serial_modem_line(port, kGetCts, &cts); result != 0) {
        return result;
    }
    return cts == wanted ? 0 : ETIMEDOUT;
}

SerialTime serial_clock_now() {
    return SerialTime{};
}

// Time runs out with the replies: a hunt goes on while there are bytes to hunt through.
int serial_timeout_step(SerialTimeout* state, unsigned timeout_ms, SerialClock, unsigned* left_ms) {
    const bool first = !state->started;
    state->started = true;
    if (first || fuzz::reply_left > 0) {
        *left_ms = timeout_ms;
        return 0;
    }
    *left_ms = 0;
    return ETIMEDOUT;
}

}  // namespace zelv
