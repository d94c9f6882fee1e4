// A fake target behind the frame callbacks: it holds a memory image, records every call in
// order, and can be told to fail a given call. The callbacks are plain functions (the frames
// take function pointers), so they act on the one device alive at the time.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zelv::test {

struct DeviceCall {
    enum Kind { kReadBlock, kWriteBlock, kProgramWord, kReadByte };
    Kind kind;
    uint32_t where;             // image offset (FLASH) or target address (EEPROM, bytes)
    uint32_t length;            // bytes moved (2 for a word, 1 for a byte)
    std::vector<uint8_t> data;  // bytes written; empty for reads

    bool operator==(const DeviceCall&) const = default;
};

// Prints a call for gtest failure messages.
std::string describe(const DeviceCall& call);

class FakeDevice {
public:
    // Memory of `size` bytes standing at `base` (image offset or target address of its first
    // byte), preset to `fill`. Becomes the current device until destroyed.
    FakeDevice(uint32_t base, uint32_t size, uint8_t fill = 0xFF);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    [[nodiscard]] std::vector<uint8_t>& memory() { return memory_; }
    [[nodiscard]] const std::vector<DeviceCall>& calls() const { return calls_; }
    // (where, length) of the calls of one kind, in order.
    [[nodiscard]] std::vector<std::pair<uint32_t, uint32_t>> spans(DeviceCall::Kind kind) const;

    // A byte outside the memory window (a register); unset ones read as 0xFF.
    void set_register(uint32_t address, uint8_t value) { registers_[address] = value; }
    // Call number `index` (0-based, any kind) reports "fake device failure" and returns error.
    void fail_call(std::size_t index, int error);
    // Writes are recorded but leave memory unchanged (a cell that does not take the value).
    void ignore_writes() { ignore_writes_ = true; }
    // Writes leave the byte at `where` as it was (one cell that does not program).
    void keep_byte(uint32_t where) { kept_.insert(where); }

    // Callbacks with the signatures of the frames and the target model.
    static int read_block(uint32_t offset, uint8_t* destination, uint32_t length);
    static int write_block(uint32_t offset, const uint8_t* data, uint32_t length);
    static int read_block16(uint16_t address, uint8_t* destination, uint32_t length);
    static int write_block16(uint16_t address, const uint8_t* data, uint32_t length);
    static int program_word(uint16_t address, uint16_t value);
    static int read_byte(uint16_t address, uint8_t* value);

private:
    int record(DeviceCall call);
    uint8_t* at(uint32_t where, uint32_t length);

    uint32_t base_;
    std::vector<uint8_t> memory_;
    std::vector<DeviceCall> calls_;
    std::map<uint32_t, uint8_t> registers_;
    std::size_t fail_index_ = static_cast<std::size_t>(-1);
    int fail_error_ = 0;
    bool ignore_writes_ = false;
    std::set<uint32_t> kept_;
};

}  // namespace zelv::test
