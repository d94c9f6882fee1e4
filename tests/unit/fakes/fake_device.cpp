#include "fakes/fake_device.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/console.h"

namespace zelv::test {
namespace {

FakeDevice* current = nullptr;

FakeDevice& device() {
    if (current == nullptr) {
        ADD_FAILURE() << "a device callback ran without a FakeDevice";
        std::abort();
    }
    return *current;
}

const char* kind_name(DeviceCall::Kind kind) {
    switch (kind) {
        case DeviceCall::kReadBlock:
            return "read";
        case DeviceCall::kWriteBlock:
            return "write";
        case DeviceCall::kProgramWord:
            return "word";
        case DeviceCall::kReadByte:
            return "byte";
    }
    return "?";
}

}  // namespace

std::string describe(const DeviceCall& call) {
    char text[64];
    std::snprintf(text, sizeof text, "%s 0x%X+%u", kind_name(call.kind), call.where, call.length);
    return text;
}

FakeDevice::FakeDevice(uint32_t base, uint32_t size, uint8_t fill)
    : base_(base), memory_(size, fill) {
    current = this;
}

FakeDevice::~FakeDevice() {
    current = nullptr;
}

std::vector<std::pair<uint32_t, uint32_t>> FakeDevice::spans(DeviceCall::Kind kind) const {
    std::vector<std::pair<uint32_t, uint32_t>> result;
    for (const DeviceCall& call : calls_) {
        if (call.kind == kind) {
            result.emplace_back(call.where, call.length);
        }
    }
    return result;
}

void FakeDevice::fail_call(std::size_t index, int error) {
    fail_index_ = index;
    fail_error_ = error;
}

int FakeDevice::record(DeviceCall call) {
    const std::size_t index = calls_.size();
    calls_.push_back(std::move(call));
    if (index == fail_index_) {
        report_error("fake device failure\n");
        return fail_error_;
    }
    return 0;
}

uint8_t* FakeDevice::at(uint32_t where, uint32_t length) {
    if (where < base_ || static_cast<uint64_t>(where - base_) + length > memory_.size()) {
        ADD_FAILURE() << "access outside the fake memory: 0x" << std::hex << where << "+"
                      << std::dec << length;
        return nullptr;
    }
    return memory_.data() + (where - base_);
}

int FakeDevice::read_block(uint32_t offset, uint8_t* destination, uint32_t length) {
    FakeDevice& d = device();
    if (const int result = d.record({DeviceCall::kReadBlock, offset, length, {}}); result != 0) {
        return result;
    }
    const uint8_t* source = d.at(offset, length);
    if (source == nullptr) {
        return EIO;
    }
    std::memcpy(destination, source, length);
    return 0;
}

int FakeDevice::write_block(uint32_t offset, const uint8_t* data, uint32_t length) {
    FakeDevice& d = device();
    if (const int result =
            d.record({DeviceCall::kWriteBlock, offset, length, {data, data + length}});
        result != 0) {
        return result;
    }
    uint8_t* target = d.at(offset, length);
    if (target == nullptr) {
        return EIO;
    }
    if (!d.ignore_writes_) {
        for (uint32_t i = 0; i < length; ++i) {
            if (d.kept_.count(offset + i) == 0) {
                target[i] = data[i];
            }
        }
    }
    return 0;
}

int FakeDevice::read_block16(uint16_t address, uint8_t* destination, uint32_t length) {
    return read_block(address, destination, length);
}

int FakeDevice::write_block16(uint16_t address, const uint8_t* data, uint32_t length) {
    return write_block(address, data, length);
}

int FakeDevice::program_word(uint16_t address, uint16_t value) {
    FakeDevice& d = device();
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)};
    if (const int result = d.record({DeviceCall::kProgramWord, address, 2, {bytes, bytes + 2}});
        result != 0) {
        return result;
    }
    uint8_t* target = d.at(address, 2);
    if (target == nullptr) {
        return EIO;
    }
    if (!d.ignore_writes_) {
        std::memcpy(target, bytes, 2);
    }
    return 0;
}

int FakeDevice::read_byte(uint16_t address, uint8_t* value) {
    FakeDevice& d = device();
    if (const int result = d.record({DeviceCall::kReadByte, address, 1, {}}); result != 0) {
        return result;
    }
    if (address >= d.base_ && address - d.base_ < d.memory_.size()) {
        *value = d.memory_[address - d.base_];
        return 0;
    }
    const auto found = d.registers_.find(address);
    *value = found != d.registers_.end() ? found->second : 0xFF;
    return 0;
}

}  // namespace zelv::test
