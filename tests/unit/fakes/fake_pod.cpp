#include "fakes/fake_pod.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "base/console.h"

namespace zelv::test {
namespace {

FakePod* current = nullptr;

FakePod& pod() {
    if (current == nullptr) {
        ADD_FAILURE() << "a pod slot ran without a FakePod";
        std::abort();
    }
    return *current;
}

// "name" followed by the values in hexadecimal, the first with four digits (an address or
// a register index), the second with `digits`.
std::string text(const char* name, unsigned first, int digits = 0, unsigned second = 0) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s %04X", name, first);
    std::string result = buffer;
    if (digits > 0) {
        std::snprintf(buffer, sizeof buffer, " %0*X", digits, second);
        result += buffer;
    }
    return result;
}

int open() {
    ++pod().opens_;
    return pod().record("pod_open");
}
int close() {
    ++pod().closes_;
    const int result = pod().record("pod_close");
    return result != 0 ? result : pod().close_result_;
}
int reset_normal() {
    return pod().record("reset_normal");
}
int reset_special() {
    return pod().record("reset_special");
}
int background() {
    return pod().record("background");
}
int ack_enable() {
    return pod().record("ack_enable");
}
int ack_disable() {
    return pod().record("ack_disable");
}
int read_bd_byte(uint16_t address, uint8_t* value) {
    *value = address == 0xFF01 ? pod().bdm_status_ : 0;
    return pod().record(text("read_bd_byte", address));
}
int read_bd_word(uint16_t address, uint16_t* value) {
    *value = 0;
    return pod().record(text("read_bd_word", address));
}
int read_byte(uint16_t address, uint8_t* value) {
    *value = pod().memory_[address];
    return pod().record(text("read_byte", address));
}
int read_word(uint16_t address, uint16_t* value) {
    *value = static_cast<uint16_t>(pod().memory_[address] << 8 |
                                   pod().memory_[static_cast<uint16_t>(address + 1)]);
    return pod().record(text("read_word", address));
}
int write_bd_byte(uint16_t address, uint8_t value) {
    return pod().record(text("write_bd_byte", address, 2, value));
}
int write_bd_word(uint16_t address, uint16_t value) {
    return pod().record(text("write_bd_word", address, 4, value));
}
void store(uint16_t address, uint8_t value) {
    if (!pod().held(address)) {
        pod().memory_[address] = value;
    }
}
int write_byte(uint16_t address, uint8_t value) {
    const int result = pod().record(text("write_byte", address, 2, value));
    if (result == 0) {
        store(address, value);
    }
    return result;
}
int write_word(uint16_t address, uint16_t value) {
    const int result = pod().record(text("write_word", address, 4, value));
    if (result == 0) {
        store(address, static_cast<uint8_t>(value >> 8));
        store(static_cast<uint16_t>(address + 1), static_cast<uint8_t>(value));
    }
    return result;
}
int read_block(uint16_t address, uint8_t* buffer, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) {
        buffer[i] = pod().memory_[static_cast<uint16_t>(address + i)];
    }
    return pod().record(text("read_block", address) + " " + std::to_string(length));
}
int write_block(uint16_t address, const uint8_t* data, uint32_t length) {
    const int result = pod().record(text("write_block", address) + " " + std::to_string(length));
    for (uint32_t i = 0; result == 0 && i < length; ++i) {
        store(static_cast<uint16_t>(address + i), data[i]);
    }
    return result;
}
int read_next(uint16_t* value) {
    *value = 0;
    return pod().record("read_next");
}
int read_reg(unsigned index, uint16_t* value) {
    *value = 0;
    return pod().record(text("read_reg", index));
}
int write_next(uint16_t value) {
    return pod().record(text("write_next", value));
}
int write_reg(unsigned index, uint16_t value) {
    return pod().record(text("write_reg", index, 4, value));
}
int go() {
    const int result = pod().record("go");
    if (result == 0 && pod().on_go) {
        pod().on_go(pod());
    }
    return result;
}
int go_until() {
    return pod().record("go_until");
}
int trace1() {
    return pod().record("trace1");
}
int taggo() {
    return pod().record("taggo");
}

constexpr BdmPod kTable = {
    .pod_open = open,
    .pod_close = close,
    .reset_normal = reset_normal,
    .reset_special = reset_special,
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

}  // namespace

FakePod::FakePod() : previous_(current) {
    current = this;
}

FakePod::~FakePod() {
    current = previous_;
}

const BdmPod& FakePod::table() {
    return kTable;
}

std::vector<std::string> FakePod::calls_of(const std::string& prefix) const {
    std::vector<std::string> result;
    for (const std::string& call : calls_) {
        if (call.rfind(prefix, 0) == 0) {
            result.push_back(call);
        }
    }
    return result;
}

void FakePod::fail(const std::string& prefix, int error) {
    fail_prefix_ = prefix;
    fail_error_ = error;
}

int FakePod::record(const std::string& call) {
    calls_.push_back(call);
    if (!fail_prefix_.empty() && call.rfind(fail_prefix_, 0) == 0) {
        fail_prefix_.clear();
        report_error("fake pod failure\n");
        return fail_error_;
    }
    return 0;
}

}  // namespace zelv::test
