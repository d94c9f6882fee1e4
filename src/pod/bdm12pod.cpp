// The BDM12POD's BDM commands and block transfers, and its driver table.
#include "pod/bdm12pod.h"

#include <cerrno>
#include <cstdint>

#include "base/bytes.h"
#include "base/console.h"
#include "base/settings.h"
#include "pod/bdm12pod_slots.h"
#include "pod/bdm12pod_wire.h"
#include "pod/bdm_commands.h"

namespace zelv {
namespace {

using namespace zelv::bdm_command;
using namespace zelv::bdm12pod_wire;



constexpr unsigned kLastRegister = kRegisterSp;

uint8_t high(uint16_t value) {
    return static_cast<uint8_t>(value >> 8);
}
uint8_t low(uint16_t value) {
    return static_cast<uint8_t>(value & 0xFF);
}

// The version 4.5 firmware and the PODEX's old firmware have no working mem put; the old
// PODEX firmware has no working mem dump either.
bool mem_put_usable() {
    return !settings().podex_bug && bdm12pod_version() > 0x45;
}
bool mem_dump_usable() {
    return !settings().podex_bug;
}

int simple(uint8_t code, const char* name) {
    const uint8_t bytes[] = {code};
    const int result = bdm12pod_send(bytes, sizeof bytes);
    if (result == 0) {
        print_debug("BDM12POD cmd <%s>\n", name);
    }
    return result;
}

// Byte commands carry a whole bus word: the byte is the high half at an even address and
// the low half at an odd one.
int read_byte_as(uint8_t code, const char* name, uint16_t address, uint8_t* value) {
    const uint8_t bytes[] = {code, high(address), low(address)};
    uint8_t reply[2] = {};
    const int result = bdm12pod_command(bytes, sizeof bytes, reply, sizeof reply);
    if (result == 0) {
        *value = reply[address & 1];
        print_debug("BDM12POD cmd <%s> addr <0x%04x> value <0x%02x>\n", name, address, *value);
    }
    return result;
}

int write_byte_as(uint8_t code, const char* name, uint16_t address, uint8_t value) {
    const bool odd = (address & 1) != 0;
    const uint8_t bytes[] = {code, high(address), low(address), odd ? uint8_t{0} : value,
                             odd ? value : uint8_t{0}};
    const int result = bdm12pod_send(bytes, sizeof bytes);
    if (result == 0) {
        print_debug("BDM12POD cmd <%s> addr <0x%04x> value <0x%02x>\n", name, address, value);
    }
    return result;
}

int read_word_as(uint8_t code, const char* name, uint16_t address, uint16_t* value) {
    const uint8_t bytes[] = {code, high(address), low(address)};
    uint8_t reply[2] = {};
    const int result = bdm12pod_command(bytes, sizeof bytes, reply, sizeof reply);
    if (result == 0) {
        *value = be16_get(reply);
        print_debug("BDM12POD cmd <%s> addr <0x%04x> value <0x%04x>\n", name, address, *value);
    }
    return result;
}

int write_word_as(uint8_t code, const char* name, uint16_t address, uint16_t value) {
    const uint8_t bytes[] = {code, high(address), low(address), high(value), low(value)};
    const int result = bdm12pod_send(bytes, sizeof bytes);
    if (result == 0) {
        print_debug("BDM12POD cmd <%s> addr <0x%04x> value <0x%04x>\n", name, address, value);
    }
    return result;
}

int background() {
    return simple(kBackground, "BACKGROUND");
}
int ack_enable() {
    return simple(kAckEnable, "ACK_ENABLE");
}
int ack_disable() {
    return simple(kAckDisable, "ACK_DISABLE");
}
int go() {
    return simple(kGo, "GO");
}
int go_until() {
    return simple(kGoUntil, "GO_UNTIL");
}
int trace1() {
    return simple(kTrace1, "TRACE1");
}
int taggo() {
    return simple(kTaggo, "TAGGO");
}

int read_bd_byte(uint16_t address, uint8_t* value) {
    return read_byte_as(kReadBdByte, "READ_BD_BYTE", address, value);
}
int read_byte(uint16_t address, uint8_t* value) {
    return read_byte_as(kReadByte, "READ_BYTE", address, value);
}
int read_bd_word(uint16_t address, uint16_t* value) {
    return read_word_as(kReadBdWord, "READ_BD_WORD", address, value);
}
int read_word(uint16_t address, uint16_t* value) {
    return read_word_as(kReadWord, "READ_WORD", address, value);
}
int write_bd_byte(uint16_t address, uint8_t value) {
    return write_byte_as(kWriteBdByte, "WRITE_BD_BYTE", address, value);
}
int write_byte(uint16_t address, uint8_t value) {
    return write_byte_as(kWriteByte, "WRITE_BYTE", address, value);
}
int write_bd_word(uint16_t address, uint16_t value) {
    return write_word_as(kWriteBdWord, "WRITE_BD_WORD", address, value);
}
int write_word(uint16_t address, uint16_t value) {
    return write_word_as(kWriteWord, "WRITE_WORD", address, value);
}

int read_next(uint16_t* value) {
    const uint8_t bytes[] = {kReadNext};
    uint8_t reply[2] = {};
    const int result = bdm12pod_command(bytes, sizeof bytes, reply, sizeof reply);
    if (result == 0) {
        *value = be16_get(reply);
        print_debug("BDM12POD cmd <READ_NEXT> value <0x%04x>\n", *value);
    }
    return result;
}

int write_next(uint16_t value) {
    const uint8_t bytes[] = {kWriteNext, high(value), low(value)};
    const int result = bdm12pod_send(bytes, sizeof bytes);
    if (result == 0) {
        print_debug("BDM12POD cmd <WRITE_NEXT> value <0x%04x>\n", value);
    }
    return result;
}

int read_reg(unsigned index, uint16_t* value) {
    if (index > kLastRegister) {
        return EINVAL;
    }
    const uint8_t bytes[] = {static_cast<uint8_t>(kReadPc + index)};
    uint8_t reply[2] = {};
    const int result = bdm12pod_command(bytes, sizeof bytes, reply, sizeof reply);
    if (result == 0) {
        *value = be16_get(reply);
        print_debug("BDM12POD cmd <READ_REG> value <0x%04x>\n", *value);
    }
    return result;
}

int write_reg(unsigned index, uint16_t value) {
    if (index > kLastRegister) {
        return EINVAL;
    }
    const uint8_t bytes[] = {static_cast<uint8_t>(kWritePc + index), high(value), low(value)};
    const int result = bdm12pod_send(bytes, sizeof bytes);
    if (result == 0) {
        print_debug("BDM12POD cmd <WRITE_REG> value <0x%04x>\n", value);
    }
    return result;
}

void print_bytes(const uint8_t* bytes, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        print_debug("%02x  ", bytes[i]);
    }
    print_debug("\n");
}

// The whole words of a block from an even address: mem put or single WRITE_WORDs.
int write_words(uint16_t address, const uint8_t* data, uint32_t words) {
    if (!mem_put_usable()) {
        for (uint32_t i = 0; i < words; ++i) {
            const int result =
                write_word(static_cast<uint16_t>(address + 2 * i), be16_get(data + 2 * i));
            if (result != 0) {
                return result;
            }
        }
        return 0;
    }
    const uint32_t length = words * 2;
    if (settings().debug) {
        print_debug("BDM12POD mem put address <0x%04x> len <%u>\n", address, length);
        print_bytes(data, length);
    }
    const auto count = static_cast<uint16_t>(words);
    const uint8_t header[] = {kPodCommand,  kMemPut,     high(address),
                              low(address), high(count), low(count)};
    const int result = bdm12pod_send(header, sizeof header);
    return result != 0 ? result : bdm12pod_send(data, length);
}

int read_words(uint16_t address, uint8_t* buffer, uint32_t words) {
    if (!mem_dump_usable()) {
        for (uint32_t i = 0; i < words; ++i) {
            uint16_t word = 0;
            const int result = read_word(static_cast<uint16_t>(address + 2 * i), &word);
            if (result != 0) {
                return result;
            }
            be16_put(word, buffer + 2 * i);
        }
        return 0;
    }
    const uint32_t length = words * 2;
    const auto count = static_cast<uint16_t>(words);
    const uint8_t header[] = {kPodCommand,  kMemDump,    high(address),
                              low(address), high(count), low(count)};
    const int result = bdm12pod_command(header, sizeof header, buffer, length);
    if (result == 0 && settings().debug) {
        print_debug("BDM12POD mem dump address <0x%04x> len <%u>\n", address, length);
        print_bytes(buffer, length);
    }
    return result;
}

// Blocks go as a byte at an odd start, whole words, and a last byte when one is left.
int write_block(uint16_t address, const uint8_t* data, uint32_t length) {
    if (length == 0) {
        return 0;
    }
    int result = 0;
    if ((address & 1) != 0) {
        if ((result = write_byte(address, data[0])) != 0 || length == 1) {
            return result;
        }
        address = static_cast<uint16_t>(address + 1);
        ++data;
        --length;
    }
    if (length == 1) {
        return write_byte(address, data[0]);
    }
    const uint32_t words = length / 2;
    if ((result = write_words(address, data, words)) != 0) {
        return result;
    }
    if ((length & 1) != 0) {
        return write_byte(static_cast<uint16_t>(address + words * 2), data[words * 2]);
    }
    return 0;
}

int read_block(uint16_t address, uint8_t* buffer, uint32_t length) {
    if (length == 0) {
        return 0;
    }
    int result = 0;
    if ((address & 1) != 0) {
        if ((result = read_byte(address, &buffer[0])) != 0 || length == 1) {
            return result;
        }
        address = static_cast<uint16_t>(address + 1);
        ++buffer;
        --length;
    }
    if (length == 1) {
        return read_byte(address, &buffer[0]);
    }
    const uint32_t words = length / 2;
    if ((result = read_words(address, buffer, words)) != 0) {
        return result;
    }
    if ((length & 1) != 0) {
        return read_byte(static_cast<uint16_t>(address + words * 2), &buffer[words * 2]);
    }
    return 0;
}

}  // namespace

const BdmPod bdm12pod_pod = {
    .pod_open = bdm12pod_open,
    .pod_close = bdm12pod_close,
    .reset_normal = bdm12pod_reset_normal,
    .reset_special = bdm12pod_reset_special,
    .background = background,
    .ack_enable = ack_enable,
    .ack_disable = ack_disable,
    .read_bd_byte = read_bd_byte,
    .read_bd_word = read_bd_word,
    .read_byte = read_byte,
    .read_word = read_word,
    .write_bd_byte = write_bd_byte,
    .write_bd_word = write_bd_word,
    .write_byte = write_byte,
    .write_word = write_word,
    .read_block = read_block,
    .write_block = write_block,
    .read_next = read_next,
    .read_reg = read_reg,
    .write_next = write_next,
    .write_reg = write_reg,
    .go = go,
    .go_until = go_until,
    .trace1 = trace1,
    .taggo = taggo,
};

}  // namespace zelv
