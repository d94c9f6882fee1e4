#include "mcu/mcu_core.h"

#include <ctime>

namespace zelv::sim {

namespace {

constexpr uint64_t kDefaultBusHz = 8000000;

uint64_t monotonic_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace

McuCore::McuCore(VirtualMcu& mcu, uint64_t bus_hz, uint64_t (*clock_us)())
    : mcu_(mcu),
      bus_(mcu),
      cpu_(bus_),  // BGND and illegal opcodes execute as on silicon
      bus_hz_(bus_hz != 0 ? bus_hz : kDefaultBusHz),
      clock_us_(clock_us != nullptr ? clock_us : monotonic_us) {}

void McuCore::start(const cpu12::Registers& registers) {
    cpu_.regs() = registers;
    cpu_.end_wait();
    running_ = true;
    started_us_ = clock_us_();
    run_cycles_ = 0;
}

cpu12::Stop McuCore::catch_up() {
    if (!running_) {
        return cpu12::Stop::kNone;
    }
    const uint64_t elapsed = clock_us_() - started_us_;
    const uint64_t due = elapsed / 1000000u * bus_hz_ + elapsed % 1000000u * bus_hz_ / 1000000u;
    if (due <= run_cycles_) {
        return cpu12::Stop::kNone;
    }
    if (due - run_cycles_ > kMaxCatchUp) {
        run_cycles_ = due - kMaxCatchUp;  // fell behind: the rest is lost, not owed
    }
    return run_cycles(due - run_cycles_);
}

cpu12::Stop McuCore::run_cycles(uint64_t budget) {
    uint64_t used = 0;
    while (used < budget) {
        const cpu12::StepResult s = cpu_.step();
        if (!s.executed) {
            // Waiting (WAI, STOP): no interrupt source is modelled, so the time passes idle.
            mcu_.sci().advance(budget - used);
            used = budget;
            break;
        }
        ++instructions_;
        used += s.cycles;
        mcu_.sci().advance(s.cycles);
        if (s.stop == cpu12::Stop::kBgnd) {
            running_ = false;
            break;
        }
    }
    run_cycles_ += used;
    total_cycles_ += used;
    return running_ ? cpu12::Stop::kNone : cpu12::Stop::kBgnd;
}

cpu12::StepResult McuCore::step_one() {
    cpu_.end_wait();
    const cpu12::StepResult s = cpu_.step();
    if (s.executed) {
        ++instructions_;
        total_cycles_ += s.cycles;
        mcu_.sci().advance(s.cycles);
    }
    return s;
}

}  // namespace zelv::sim
