// The virtual MCU's CPU: the CPU12 core on the MCU's own memory map, and the time it keeps.
//
// McuBus is the core's bus over VirtualMcu: the CPU's accesses of the local map, so the FLASH
// and EEPROM modules, the SCI and the other registers answer the core exactly as they answer
// a host; aligned word writes reach the map as one word write (what starts a FLASH or EEPROM
// command); PPAGE is the register at offset 0x0030 wherever INITRG put the block.
//
// McuCore runs the core when the part runs a program. Scheduling: the core owns no thread.
// It keeps the MCU's clock, the bus clock (the oscillator / 2), against a monotonic clock:
// whenever something outside touches the MCU (the BDM on a pod's command, a serial front on a
// byte or while it waits for one), catch_up() runs the instructions for the bus cycles that
// have elapsed since the program started, at most kMaxCatchUp of them per call, so a program
// that never stops costs a bounded slice per touch and the simulator stays responsive (the
// debt beyond the slice is dropped: the part just fell behind, like a slower board). A
// program that polls a module or the SCI therefore waits as long as it would on silicon:
// the FLASH and EEPROM modules count their busy time in status reads, which the core makes at
// its own pace, and the SCI moves its frames by the cycles the core spends.
#pragma once

#include <cstdint>

#include "mcu/cpu12/cpu12.h"
#include "mcu/virtual_mcu.h"

namespace zelv::sim {

class McuBus final : public cpu12::Bus {
public:
    explicit McuBus(VirtualMcu& mcu) : mcu_(mcu) {}

    uint8_t read8(uint16_t address) override { return mcu_.read_byte(address); }
    void write8(uint16_t address, uint8_t value) override { mcu_.write_byte(address, value); }
    uint16_t read16(uint16_t address) override { return mcu_.read_word(address); }
    void write16(uint16_t address, uint16_t value) override { mcu_.write_word(address, value); }
    uint8_t ppage() override { return mcu_.peek_register(reg::kPpage); }
    void set_ppage(uint8_t page) override { mcu_.write_register(reg::kPpage, page); }

private:
    VirtualMcu& mcu_;
};

class McuCore {
public:
    // Bus cycles one catch-up may run: 50 ms of an 8 MHz bus.
    static constexpr uint64_t kMaxCatchUp = 400000;

    // bus_hz: the bus clock (0 takes 8 MHz, half a 16 MHz oscillator). clock_us: microseconds
    // on a monotonic clock (nullptr: the system's).
    explicit McuCore(VirtualMcu& mcu, uint64_t bus_hz = 0, uint64_t (*clock_us)() = nullptr);
    McuCore(const McuCore&) = delete;
    McuCore& operator=(const McuCore&) = delete;

    // Starts the program with these registers; the MCU's clock runs from now.
    void start(const cpu12::Registers& registers);
    // The program stops (the BDM takes the CPU, a reset): registers stay as they are.
    void halt() { running_ = false; }
    [[nodiscard]] bool running() const { return running_; }

    // Runs the cycles elapsed since the last catch-up (bounded). Returns kBgnd once when the
    // program executed BGND (the core is then halted, PC past the BGND), else kNone.
    cpu12::Stop catch_up();
    // One instruction now, whether running or not (TRACE1).
    cpu12::StepResult step_one();

    cpu12::Registers& regs() { return cpu_.regs(); }
    [[nodiscard]] uint64_t instructions() const { return instructions_; }
    [[nodiscard]] uint64_t cycles() const { return total_cycles_; }
    [[nodiscard]] uint64_t bus_hz() const { return bus_hz_; }

private:
    // Runs at most `budget` bus cycles, time going on in the SCI with every instruction.
    cpu12::Stop run_cycles(uint64_t budget);

    VirtualMcu& mcu_;
    McuBus bus_;
    cpu12::Cpu12 cpu_;
    uint64_t bus_hz_;
    uint64_t (*clock_us_)();
    bool running_ = false;
    uint64_t started_us_ = 0;
    uint64_t run_cycles_ = 0;  // bus cycles accounted since start (run or dropped)
    uint64_t instructions_ = 0;
    uint64_t total_cycles_ = 0;
};

}  // namespace zelv::sim
