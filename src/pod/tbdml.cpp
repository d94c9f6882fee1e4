// The TBDML's BDM commands, register access and block transfers, and its driver table.
#include "pod/tbdml.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/console.h"
#include "base/settings.h"
#include "pod/tbdml_slots.h"
#include "pod/tbdml_wire.h"

namespace zelv {
namespace {

using namespace zelv::tbdml_wire;


constexpr uint32_t kChunk = 32;

// The pod orders its registers PC, SP, X, Y, D and a sixth one; the place of each register
// index in that order.
constexpr unsigned kRegisterPlace[] = {0, 4, 2, 3, 1, 5};
constexpr unsigned kLastRegister = 5;

uint8_t low(uint16_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}
uint8_t high(uint16_t value) {
    return static_cast<uint8_t>(value >> 8);
}
uint16_t word_of(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// The pod gives no reason when it refuses a command (-1 from tbdml_command): the message
// names the command and, where it has one, the address.
int named(int result, const char* command) {
    if (result == -1) {
        report_error("TBDML refused the command <%s>\n", command);
        return EIO;
    }
    return result;
}

int named_at(int result, const char* command, uint16_t address) {
    if (result == -1) {
        report_error("TBDML refused the command <%s> at address <0x%04X>\n", command, address);
        return EIO;
    }
    return result;
}

int status_only(uint8_t command, const char* name) {
    return named(tbdml_command(command, nullptr, 0, nullptr, TbdmlReply::kStatus, 0), name);
}

int background() {
    return status_only(kBackground, "background");
}
int go() {
    return status_only(kGo, "go");
}
int trace1() {
    return status_only(kTrace1, "trace1");
}

int read_byte(uint16_t address, uint8_t* value) {
    const uint8_t params[] = {low(address), high(address)};
    return named_at(
        tbdml_command(kReadByte, params, sizeof params, value, TbdmlReply::kStatusData, 1),
        "read byte", address);
}

int read_word(uint16_t address, uint16_t* value) {
    const uint8_t params[] = {low(address), high(address)};
    uint8_t reply[2] = {};
    const int result = named_at(
        tbdml_command(kReadWord, params, sizeof params, reply, TbdmlReply::kStatusData, 2),
        "read word", address);
    if (result == 0) {
        *value = word_of(reply);
    }
    return result;
}

int write_bd_byte(uint16_t address, uint8_t value) {
    const uint8_t params[] = {low(address), high(address), value};
    return named_at(
        tbdml_command(kWriteBdByte, params, sizeof params, nullptr, TbdmlReply::kStatus, 0),
        "write BD byte", address);
}

int write_byte(uint16_t address, uint8_t value) {
    const uint8_t params[] = {low(address), high(address), value};
    return named_at(tbdml_command(kWriteByte, params, sizeof params, nullptr, TbdmlReply::kNone, 0),
                    "write byte", address);
}

int write_word(uint16_t address, uint16_t value) {
    const uint8_t params[] = {low(address), high(address), low(value), high(value)};
    return named_at(tbdml_command(kWriteWord, params, sizeof params, nullptr, TbdmlReply::kNone, 0),
                    "write word", address);
}

int read_reg(unsigned index, uint16_t* value) {
    uint8_t reply[12] = {};
    const int result = named(
        tbdml_command(kReadRegisters, nullptr, 0, reply, TbdmlReply::kStatusData, sizeof reply),
        "read registers");
    if (result != 0) {
        return result;
    }
    if (index > kLastRegister) {
        return EINVAL;
    }
    *value = word_of(reply + 2 * kRegisterPlace[index]);
    return 0;
}

int write_reg(unsigned index, uint16_t value) {
    if (index > kLastRegister) {
        return EINVAL;
    }
    const uint8_t params[] = {low(value), high(value)};
    return named(tbdml_command(static_cast<uint8_t>(kWritePc + kRegisterPlace[index]), params,
                               sizeof params, nullptr, TbdmlReply::kNone, 0),
                 "write register");
}

// The length of the next chunk of a block of `length` bytes at `address`.
uint32_t chunk_of(uint16_t address, uint32_t length) {
    if (length > kChunk) {
        // From an odd address one byte less, so that every later chunk starts even.
        return (address & 1) != 0 ? kChunk - 1 : kChunk;
    }
    return length;
}

int read_block(uint16_t address, uint8_t* buffer, uint32_t length) {
    const bool bulk = settings().tbdml_bulk != 0;
    while (length > 0) {
        const uint32_t chunk = chunk_of(address, length);
        const uint8_t params[] = {low(address), high(address), static_cast<uint8_t>(chunk)};
        const int result = named_at(
            bulk ? tbdml_bulk_command(kReadBlock, params, sizeof params, buffer, chunk)
                 : tbdml_command(kReadBlock, params, sizeof params, buffer, TbdmlReply::kStatusData,
                                 chunk),
            "read block", address);
        if (result != 0) {
            return result;
        }
        address = static_cast<uint16_t>(address + chunk);
        buffer += chunk;
        length -= chunk;
    }
    return 0;
}

int write_block(uint16_t address, const uint8_t* data, uint32_t length) {
    const bool bulk = settings().tbdml_bulk != 0;
    while (length > 0) {
        const uint32_t chunk = chunk_of(address, length);
        uint8_t params[3 + kChunk] = {low(address), high(address), static_cast<uint8_t>(chunk)};
        std::memcpy(params + 3, data, chunk);
        const std::size_t count = 3 + chunk;
        const int result = named_at(
            bulk ? tbdml_bulk_command(kWriteBlock, params, count, nullptr, 0)
                 : tbdml_command(kWriteBlock, params, count, nullptr, TbdmlReply::kNone, 0),
            "write block", address);
        if (result != 0) {
            return result;
        }
        address = static_cast<uint16_t>(address + chunk);
        data += chunk;
        length -= chunk;
    }
    return 0;
}

}  // namespace

int tbdml_read_bd_byte(uint16_t address, uint8_t* value) {
    const uint8_t params[] = {low(address), high(address)};
    return named_at(
        tbdml_command(kReadBdByte, params, sizeof params, value, TbdmlReply::kStatusData, 1),
        "read BD byte", address);
}

// The pod has no ACK, word-wide BD, READ_NEXT/WRITE_NEXT, GO_UNTIL or TAGGO commands.
const BdmPod tbdml_pod = {
    .pod_open = tbdml_open,
    .pod_close = tbdml_close,
    .reset_normal = tbdml_reset_normal,
    .reset_special = tbdml_reset_special,
    .background = background,
    .ack_enable = nullptr,
    .ack_disable = nullptr,
    .read_bd_byte = tbdml_read_bd_byte,
    .read_bd_word = nullptr,
    .read_byte = read_byte,
    .read_word = read_word,
    .write_bd_byte = write_bd_byte,
    .write_bd_word = nullptr,
    .write_byte = write_byte,
    .write_word = write_word,
    .read_block = read_block,
    .write_block = write_block,
    .read_next = nullptr,
    .read_reg = read_reg,
    .write_next = nullptr,
    .write_reg = write_reg,
    .go = go,
    .go_until = nullptr,
    .trace1 = trace1,
    .taggo = nullptr,
};

}  // namespace zelv
