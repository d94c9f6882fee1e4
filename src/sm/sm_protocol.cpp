#include "sm/sm_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/bytes.h"
#include "base/console.h"

namespace zelv {
namespace {

SerialPort the_port;

constexpr unsigned kCommandTimeoutMs = 1000;
constexpr unsigned kArgumentTimeoutMs = 1000;
constexpr unsigned kReplyTimeoutMs = 5000;
constexpr unsigned kPromptTimeoutMs = 5000;
constexpr unsigned kHuntTimeoutMs = 100;
constexpr uint8_t kCarriageReturn = 0x0D;
constexpr uint8_t kNotRecognized = 0xE1;
constexpr std::size_t kMaxBlock = 256;

constexpr uint16_t kFstat = 0x0105;  // the monitor keeps the registers at 0x0000
constexpr uint16_t kEstat = 0x0115;
constexpr uint8_t kPviol = 0x20;
constexpr uint8_t kAccerr = 0x10;

bool explaining = false;  // the status read of an explanation is judged plainly

// The monitor says only that the module failed: its status register says why. The first
// line stays the monitor's; the second names the bit and what to check.
void report_module_error(const char* first_line, uint16_t status_register, const char* module) {
    uint8_t status = 0;
    explaining = true;
    const int result = sm_read_byte(status_register, &status);
    explaining = false;
    if (result != 0) {
        return;  // the read has said what failed
    }
    if ((status & (kPviol | kAccerr)) == 0) {
        report_error("%s", first_line);
        return;
    }
    if ((status & kPviol) != 0) {
        report_error(
            "%s%s status <0x%02X>: protection violation - the address lies in a protected "
            "area (check the protection settings and the file's addresses)\n",
            first_line, module, status);
    } else {
        report_error(
            "%s%s status <0x%02X>: access error - the memory was not erased, or the command "
            "was refused (erase first, check the file's addresses)\n",
            first_line, module, status);
    }
}

// The monitor's error codes; every one of them is a failed target action.
int judge(uint8_t code, uint8_t prompt) {
    switch (code) {
        case kSmOk:
            if (prompt == kSmPromptChar) {
                return 0;
            }
            report_error("unexpected target prompt char\n");
            break;
        case 0xE1:
            report_error("SM command not recognized\n");
            break;
        case 0xE2:
            report_error("SM command not allowed in run mode\n");
            break;
        case 0xE3:
            report_error("SM stack pointer out of range\n");
            break;
        case 0xE4:
            report_error("SM invalid write SP value\n");
            break;
        case 0xE5:
            report_error("SM byte write access to nonvolatile memory\n");
            break;
        case 0xE6:
            if (explaining) {
                report_error("SM FLASH error\n");
            } else {
                report_module_error("SM FLASH error\n", kFstat, "FLASH");
            }
            break;
        case 0xE7:
        case 0xE8:
            report_error("SM error code not implemented\n");
            break;
        case 0xE9:
            if (explaining) {
                report_error("SM EEPROM error\n");
            } else {
                report_module_error("SM EEPROM error\n", kEstat, "EEPROM");
            }
            break;
        default:
            report_error("SM unknown error code 0x%02X\n", code);
            break;
    }
    return EIO;
}

int send(const uint8_t* data, std::size_t count, unsigned timeout_ms) {
    std::size_t length = count;
    return serial_write(&the_port, data, &length, timeout_ms);
}

}  // namespace

SerialPort& sm_port() {
    return the_port;
}

int sm_receive(uint8_t* buffer, std::size_t count, unsigned timeout_ms) {
    std::size_t length = count;
    const int result = serial_read(&the_port, buffer, &length, timeout_ms);
    if (result == ETIMEDOUT) {
        report_error("timeout - no connection with target\n");
    }
    return result;
}

int sm_prompt(bool sync) {
    // While synchronising, the whole hunt shares the prompt's time-out: a line that keeps
    // babbling without ever completing a prompt must not hold the run for ever.
    SerialTimeout hunt;
    unsigned left_ms = kPromptTimeoutMs;
    if (sync) {
        (void)serial_timeout_step(&hunt, kPromptTimeoutMs, serial_clock_now, &left_ms);
    }
    uint8_t prompt[3] = {};
    int result = sm_receive(prompt, sizeof prompt, kPromptTimeoutMs);
    if (result != 0) {
        return result;
    }
    if (sync) {
        // Skip whatever the line held before the monitor's first prompt, a byte at a time,
        // until '>' stands third.
        while (prompt[2] != kSmPromptChar) {
            prompt[0] = prompt[1];
            prompt[1] = prompt[2];
            if (serial_timeout_step(&hunt, kPromptTimeoutMs, serial_clock_now, &left_ms) != 0) {
                report_error("timeout - no connection with target\n");
                return ETIMEDOUT;
            }
            result = sm_receive(&prompt[2], 1, std::min(kHuntTimeoutMs, left_ms));
            if (result != 0) {
                return result;
            }
        }
        // The carriage return we sent is not a command: "not recognized" is the expected answer.
        if (prompt[0] == kNotRecognized) {
            return 0;
        }
    }
    return judge(prompt[0], prompt[2]);
}

int sm_command(uint8_t code, const uint8_t* arguments, std::size_t argument_count, uint8_t* reply,
               std::size_t reply_count) {
    // The monitor's replies carry no checksum: a stray byte ahead of one would shift it and
    // every later one, so each command starts on an empty line.
    std::size_t stray = 0;
    int result = serial_discard(&the_port, 0, kCommandTimeoutMs, &stray);
    if (result != 0) {
        return result;
    }
    if (stray > 0) {
        report_error("unexpected data from the serial monitor (%zu byte%s)\n", stray,
                     stray == 1 ? "" : "s");
        return EIO;
    }
    result = send(&code, 1, kCommandTimeoutMs);
    if (result == 0 && argument_count > 0) {
        result = send(arguments, argument_count, kArgumentTimeoutMs);
    }
    if (result == 0 && reply_count > 0) {
        result = sm_receive(reply, reply_count, kReplyTimeoutMs);
    }
    return result;
}

int sm_synchronise() {
    const uint8_t carriage_return = kCarriageReturn;
    const int result = send(&carriage_return, 1, kCommandTimeoutMs);
    return result != 0 ? result : sm_prompt(true);
}

int sm_read_byte(uint16_t address, uint8_t* value) {
    uint8_t arguments[2];
    be16_put(address, arguments);
    const int result = sm_command(kSmReadByte, arguments, sizeof arguments, value, 1);
    return result != 0 ? result : sm_prompt(false);
}

int sm_write_byte(uint16_t address, uint8_t value) {
    const uint8_t arguments[3] = {static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address & 0xFF), value};
    const int result = sm_command(kSmWriteByte, arguments, sizeof arguments, nullptr, 0);
    return result != 0 ? result : sm_prompt(false);
}

int sm_read_word(uint16_t address, uint16_t* value) {
    uint8_t arguments[2];
    be16_put(address, arguments);
    uint8_t reply[2] = {};
    int result = sm_command(kSmReadWord, arguments, sizeof arguments, reply, sizeof reply);
    if (result == 0) {
        result = sm_prompt(false);
    }
    if (result == 0) {
        *value = be16_get(reply);
    }
    return result;
}

int sm_write_word(uint16_t address, uint16_t value) {
    uint8_t arguments[4];
    be16_put(address, arguments);
    be16_put(value, arguments + 2);
    const int result = sm_command(kSmWriteWord, arguments, sizeof arguments, nullptr, 0);
    return result != 0 ? result : sm_prompt(false);
}

int sm_read_block(uint16_t address, uint8_t* buffer, uint32_t count) {
    if (count < 1 || count > kMaxBlock) {
        return EINVAL;
    }
    const uint8_t arguments[3] = {static_cast<uint8_t>(address >> 8),
                                  static_cast<uint8_t>(address & 0xFF),
                                  static_cast<uint8_t>(count - 1)};
    const int result = sm_command(kSmReadBlock, arguments, sizeof arguments, buffer, count);
    return result != 0 ? result : sm_prompt(false);
}

int sm_write_block(uint16_t address, const uint8_t* data, uint32_t count) {
    if (count < 1 || count > kMaxBlock) {
        return EINVAL;
    }
    // Address, count less one and the data go out in one write.
    uint8_t arguments[3 + kMaxBlock];
    be16_put(address, arguments);
    arguments[2] = static_cast<uint8_t>(count - 1);
    std::memcpy(arguments + 3, data, count);
    const int result = sm_command(kSmWriteBlock, arguments, count + 3, nullptr, 0);
    return result != 0 ? result : sm_prompt(false);
}

}  // namespace zelv
