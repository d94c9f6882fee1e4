// The CPU12 core's view of memory: everything the core reads or writes goes through a Bus.
// Word accesses reach the bus as word accesses (big-endian, a word at 0xFFFF takes its low
// byte from 0x0000), because the FLASH and EEPROM modules start a program command only on an
// aligned word write into their array. PPAGE is the bus's too: on an MCU it is the register
// at 0x0030 of the register block, and CALL/RTC reach it through ppage()/set_ppage().
#pragma once

#include <array>
#include <cstdint>

namespace zelv::sim::cpu12 {

class Bus {
public:
    virtual ~Bus() = default;
    virtual uint8_t read8(uint16_t address) = 0;
    virtual void write8(uint16_t address, uint8_t value) = 0;
    virtual uint16_t read16(uint16_t address) = 0;
    virtual void write16(uint16_t address, uint16_t value) = 0;
    virtual uint8_t ppage() = 0;
    virtual void set_ppage(uint8_t page) = 0;
};

// 64 KB of plain RAM, zero-filled, with PPAGE a plain register: the machine the script runner
// and the differential test share with the oracle.
class FlatBus final : public Bus {
public:
    uint8_t read8(uint16_t address) override { return memory_[address]; }
    void write8(uint16_t address, uint8_t value) override { memory_[address] = value; }
    uint16_t read16(uint16_t address) override {
        return static_cast<uint16_t>(memory_[address] << 8 |
                                     memory_[static_cast<uint16_t>(address + 1)]);
    }
    void write16(uint16_t address, uint16_t value) override {
        memory_[address] = static_cast<uint8_t>(value >> 8);
        memory_[static_cast<uint16_t>(address + 1)] = static_cast<uint8_t>(value);
    }
    uint8_t ppage() override { return ppage_; }
    void set_ppage(uint8_t page) override { ppage_ = page; }

    std::array<uint8_t, 0x10000>& memory() { return memory_; }

private:
    std::array<uint8_t, 0x10000> memory_{};
    uint8_t ppage_ = 0;
};

}  // namespace zelv::sim::cpu12
