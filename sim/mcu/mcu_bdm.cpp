#include "mcu/mcu_bdm.h"

#include <ctime>

namespace zelv::sim {

namespace {

constexpr uint16_t kResetVector = 0xFFFE;

uint64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint16_t even(uint16_t address) {
    return static_cast<uint16_t>(address & 0xFFFE);
}

}  // namespace

McuBdm::McuBdm(VirtualMcu& mcu, uint64_t (*clock)())
    : mcu_(mcu), clock_(clock != nullptr ? clock : monotonic_ms) {
    // The part is powered and runs its program, as after a normal reset; the MCU itself is
    // left as it is (its registers may come from a state file, or it is not configured yet).
}

void McuBdm::stop_core() {
    if (core_ != nullptr) {
        core_->halt();
    }
}

void McuBdm::hold_reset() {
    stop_core();
    in_reset_ = true;
    returning_ = false;
}

void McuBdm::reset_special() {
    stop_core();
    in_reset_ = false;
    returning_ = false;
    ack_ = false;
    mcu_.reset(true);
    cpu_ = CpuState{};
    cpu_.pc = mcu_.read_word(kResetVector);
    bdmsts_ = bdm::kEnbdm | bdm::kBdmact;
}

void McuBdm::reset_normal() {
    // The part runs its own program from the reset vector; the core is not started for it,
    // since the virtual parts hold no application (a resident program is an emulated device).
    stop_core();
    in_reset_ = false;
    returning_ = false;
    ack_ = false;
    mcu_.reset(false);
    cpu_ = CpuState{};
    cpu_.pc = mcu_.read_word(kResetVector);
    bdmsts_ = 0;
}

bool McuBdm::locked() const {
    return mcu_.secured();
}

bool McuBdm::answers() const {
    return !in_reset_ && !(locked() && !mcu_.special_mode());
}

void McuBdm::settle() {
    if (core_ != nullptr && core_->running() && core_->catch_up() == cpu12::Stop::kBgnd) {
        from_core();
        bdmsts_ = static_cast<uint8_t>((bdmsts_ | bdm::kBdmact) & ~bdm::kEntag);
    }
    if (returning_ && now() >= background_at_) {
        returning_ = false;
        bdmsts_ = static_cast<uint8_t>((bdmsts_ | bdm::kBdmact) & ~bdm::kEntag);
    }
}

bool McuBdm::active() {
    settle();
    return (bdmsts_ & bdm::kBdmact) != 0;
}

uint8_t McuBdm::status() {
    settle();
    // UNSEC: the secure BDM firmware's blank check passed at the last reset.
    return static_cast<uint8_t>(bdmsts_ | (mcu_.unsecured_blank() ? bdm::kUnsec : 0));
}

bool McuBdm::reachable(uint16_t address) const {
    return !locked() || mcu_.locate(address).region == Region::kRegisters;
}

uint8_t McuBdm::read_bd(uint16_t address) {
    switch (address) {
        case bdm::kBdmsts:
            return status();
        case bdm::kBdmccr:
            return cpu_.ccr;
        case bdm::kBdminr:
            return mcu_.layout().family_id == kSimFamilyHcs12x
                       ? 0
                       : static_cast<uint8_t>(mcu_.peek_register(reg::kInitrg) & 0x78);
        default:
            return 0x00;  // the BDM firmware
    }
}

void McuBdm::write_bd(uint16_t address, uint8_t value) {
    if (address == bdm::kBdmsts) {
        constexpr uint8_t kWritable = bdm::kEnbdm | bdm::kClksw;
        bdmsts_ = static_cast<uint8_t>((bdmsts_ & ~kWritable) | (value & kWritable));
    } else if (address == bdm::kBdmccr) {
        cpu_.ccr = value;
    }
}

uint8_t McuBdm::read_memory(uint16_t address, bool bd, bool access) {
    if (bd && address >= bdm::kBlockStart) {
        return read_bd(address);
    }
    if (!reachable(address)) {
        return 0x00;
    }
    return access ? mcu_.read_byte(address) : mcu_.peek_byte(address);
}

void McuBdm::write_memory(uint16_t address, uint8_t value, bool bd) {
    if (bd && address >= bdm::kBlockStart) {
        write_bd(address, value);
    } else if (reachable(address)) {
        mcu_.write_byte(address, value);
    }
}

uint16_t McuBdm::read_byte(uint16_t address, bool bd) {
    if (!answers()) {
        return bdm::kIdleLine;
    }
    settle();
    // The whole bus word travels, but only the addressed byte is read (a status register
    // next to it does not count a poll).
    const uint16_t at = even(address);
    const bool odd = (address & 1) != 0;
    return static_cast<uint16_t>(read_memory(at, bd, !odd) << 8 |
                                 read_memory(static_cast<uint16_t>(at + 1), bd, odd));
}

void McuBdm::write_byte(uint16_t address, uint16_t lanes, bool bd) {
    if (!answers()) {
        return;
    }
    settle();
    const auto value = static_cast<uint8_t>((address & 1) != 0 ? lanes & 0xFF : lanes >> 8);
    write_memory(address, value, bd);
}

uint16_t McuBdm::read_word(uint16_t address, bool bd) {
    if (!answers()) {
        return bdm::kIdleLine;
    }
    settle();
    const uint16_t at = even(address);
    return static_cast<uint16_t>(read_memory(at, bd, true) << 8 |
                                 read_memory(static_cast<uint16_t>(at + 1), bd, true));
}

void McuBdm::write_word(uint16_t address, uint16_t value, bool bd) {
    if (!answers()) {
        return;
    }
    settle();
    const uint16_t at = even(address);
    if ((bd && at >= bdm::kBlockStart) || !reachable(at)) {
        write_memory(at, static_cast<uint8_t>(value >> 8), bd);
        write_memory(static_cast<uint16_t>(at + 1), static_cast<uint8_t>(value & 0xFF), bd);
    } else {
        mcu_.write_word(at, value);  // one bus write: what a FLASH or EEPROM array latches
    }
}

void McuBdm::background() {
    if (!answers()) {
        return;
    }
    settle();
    if ((bdmsts_ & bdm::kEnbdm) != 0) {
        if (core_ != nullptr && core_->running()) {
            core_->halt();
            from_core();
        }
        returning_ = false;
        bdmsts_ = static_cast<uint8_t>((bdmsts_ | bdm::kBdmact) & ~bdm::kEntag);
    }
}

void McuBdm::ack(bool enable) {
    if (answers() && mcu_.layout().family_id != kSimFamilyHc12) {
        ack_ = enable;
    }
}

bool McuBdm::firmware_ready() {
    return answers() && !locked() && active();
}

uint16_t& McuBdm::register_slot(CpuRegister which) {
    switch (which) {
        case CpuRegister::kPc:
            return cpu_.pc;
        case CpuRegister::kD:
            return cpu_.d;
        case CpuRegister::kX:
            return cpu_.x;
        case CpuRegister::kY:
            return cpu_.y;
        case CpuRegister::kSp:
            break;
    }
    return cpu_.sp;
}

uint16_t McuBdm::read_next() {
    if (!firmware_ready()) {
        return bdm::kIdleLine;
    }
    cpu_.x = static_cast<uint16_t>(cpu_.x + 2);
    return mcu_.read_word(cpu_.x);
}

void McuBdm::write_next(uint16_t value) {
    if (firmware_ready()) {
        cpu_.x = static_cast<uint16_t>(cpu_.x + 2);
        mcu_.write_word(cpu_.x, value);
    }
}

uint16_t McuBdm::read_register(CpuRegister which) {
    return firmware_ready() ? register_slot(which) : bdm::kIdleLine;
}

void McuBdm::write_register(CpuRegister which, uint16_t value) {
    if (firmware_ready()) {
        register_slot(which) = value;
    }
}

void McuBdm::run(RunKind kind) {
    if (!firmware_ready()) {
        return;
    }
    if (kind == RunKind::kGoUntil && mcu_.layout().family_id == kSimFamilyHc12) {
        return;  // the HC12's BDM has no GO_UNTIL
    }
    bdmsts_ = static_cast<uint8_t>(bdmsts_ & ~bdm::kBdmact);
    if (kind == RunKind::kTagGo) {
        bdmsts_ = static_cast<uint8_t>(bdmsts_ | bdm::kEntag);
    }
    for (NativeCode* code : native_) {
        const RunOutcome outcome = code->run(mcu_, cpu_, kind);
        if (outcome.kind == RunOutcome::kBackground) {
            returning_ = true;
            background_at_ = now() + outcome.busy_ms;
            settle();
            return;
        }
        if (outcome.kind == RunOutcome::kRunning) {
            return;
        }
    }
    if (core_ != nullptr) {
        to_core(kind);
    } else if (kind == RunKind::kTrace1) {
        bdmsts_ = static_cast<uint8_t>(bdmsts_ | bdm::kBdmact);
    }
}

void McuBdm::to_core(RunKind kind) {
    cpu12::Registers& r = core_->regs();
    r.pc = cpu_.pc;
    r.set_d(cpu_.d);
    r.x = cpu_.x;
    r.y = cpu_.y;
    r.sp = cpu_.sp;
    r.ccr = cpu_.ccr;  // BDMCCR: the CCR the program resumes with
    if (kind == RunKind::kTrace1) {
        (void)core_->step_one();
        from_core();
        bdmsts_ = static_cast<uint8_t>(bdmsts_ | bdm::kBdmact);
        return;
    }
    // GO_UNTIL and TAGGO run the same way: the virtual part has no tagging hardware.
    core_->start(r);
}

void McuBdm::from_core() {
    const cpu12::Registers& r = core_->regs();
    cpu_.pc = r.pc;
    cpu_.d = r.d();
    cpu_.x = r.x;
    cpu_.y = r.y;
    cpu_.sp = r.sp;
    cpu_.ccr = r.ccr;
}

}  // namespace zelv::sim
