#include "fronts/bdm12pod_emulator.h"

#include <cstring>
#include <new>

#include "common/sim_log.h"
#include "pod/bdm12pod_wire.h"
#include "pod/bdm_commands.h"

namespace zelv::sim {

namespace {

using namespace zelv::bdm_command;
using namespace zelv::bdm12pod_wire;



constexpr unsigned long kEclocks[4] = {1000000, 2000000, 4000000, 8000000};
constexpr unsigned long kPodex25Eclock = 12500000;
constexpr unsigned long kTolerancePercent = 5;

uint16_t word_at(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void put_word(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace

bool parse_pod_kind(const char* name, PodKind* kind) {
    struct Name {
        const char* text;
        PodKind kind;
    };
    constexpr Name kNames[] = {{"bdm12pod", PodKind::kBdm12pod},
                               {"podex", PodKind::kPodex},
                               {"podex-bug", PodKind::kPodexBug},
                               {"podex-25", PodKind::kPodex25}};
    for (const Name& n : kNames) {
        if (std::strcmp(name, n.text) == 0) {
            *kind = n.kind;
            return true;
        }
    }
    return false;
}

Bdm12podEmulator::Bdm12podEmulator(McuBdm& bdm, const PodConfig& config, const PodFaults& faults,
                                   ModemLines* lines)
    : bdm_(bdm), config_(config), faults_(faults), lines_(lines) {
    if (lines_ != nullptr) {
        lines_->fault_after.store(faults_.cts_after);
        lines_->fault.store(faults_.cts);
    }
}

unsigned long Bdm12podEmulator::eclock() const {
    if (speed_code_ < 4) {
        if (speed_code_ == 3 && config_.kind == PodKind::kPodex25) {
            return kPodex25Eclock;
        }
        return kEclocks[speed_code_];
    }
    return static_cast<unsigned long>(128000000000ULL / (800ULL * custom_word_ + 1400ULL));
}

bool Bdm12podEmulator::speed_matches() const {
    if (config_.board_osc == 0) {
        return true;
    }
    const unsigned long target = config_.board_osc / 2;
    const unsigned long pod = eclock();
    const unsigned long difference = pod > target ? pod - target : target - pod;
    return difference * 100 <= target * kTolerancePercent;
}

size_t Bdm12podEmulator::needed() const {
    const uint8_t code = command_[0];
    if (code == kPodCommand) {
        if (command_.size() < 2) {
            return 2;
        }
        switch (command_[1]) {
            case kGetVersion:
                return 2;
            case kMemDump:
                return 6;
            case kSetSpeed:
                return 5;
            case kMemPut:
                if (config_.version <= 0x45) {
                    return 2;
                }
                return command_.size() < 6 ? 6 : 6 + 2 * size_t{word_at(command_, 4)};
            case kSetCustomSpeed:
                return config_.version <= 0x46 ? 2 : 5;
            default:
                return 2;
        }
    }
    return size_t{1} + (carries_address(code) ? 2U : 0U) + (carries_word(code) ? 2U : 0U);
}

void Bdm12podEmulator::receive(uint8_t byte, Reply& reply) {
    try {
        command_.push_back(byte);
        if (command_.size() >= needed()) {
            execute(reply);
            command_.clear();
        }
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        command_.clear();
    }
    if (lines_ != nullptr) {
        modem_take(*lines_);  // only now, with the byte dealt with, does CTS drop
    }
}

std::vector<std::vector<uint8_t>> Bdm12podEmulator::commands() const {
    std::lock_guard<std::mutex> lock(log_mutex_);
    return log_;
}

void Bdm12podEmulator::execute(Reply& reply) {
    {
        std::lock_guard<std::mutex> lock(log_mutex_);
        log_.push_back(command_);
    }
    std::vector<uint8_t> out;
    if (command_[0] <= kPodCommand) {
        execute_pod_command(out);
    } else {
        execute_bdm_command(out);
    }
    answer(out, reply);
}

void Bdm12podEmulator::answer(std::vector<uint8_t>& out, Reply& reply) {
    if (out.empty()) {
        return;
    }
    const unsigned number = replies_++;
    if (faults_.silent && number >= faults_.silent_after) {
        return;
    }
    if (faults_.truncate && number >= faults_.truncate_after) {
        out.pop_back();
    }
    reply.bytes.insert(reply.bytes.end(), out.begin(), out.end());
    if (faults_.extra.set && number == faults_.extra.after) {
        reply.bytes.push_back(faults_.extra.value);
    }
    // A read of the watched address answered late: a slow adapter, a loaded host.
    const uint8_t code = command_[0];
    const bool read = code == kReadByte || code == kReadBdByte || code == kReadWord ||
                      code == kReadBdWord;
    if (faults_.slow_read && read && command_.size() >= 3 &&
        word_at(command_, 1) == faults_.slow_read_address &&
        slow_reads_++ == faults_.slow_read_after) {
        reply.delay_ms = faults_.slow_read_ms;
    }
}

void Bdm12podEmulator::execute_pod_command(std::vector<uint8_t>& out) {
    switch (command_[0]) {
        case kSync:
            return;
        case kResetSpecial:
            bdm_.reset_special();
            return;
        case kResetLow:
            bdm_.hold_reset();
            return;
        case kResetHigh:
            bdm_.reset_normal();
            return;
        default:
            break;
    }
    const uint8_t sub = command_[1];
    if (sub == kGetVersion) {
        const auto version = static_cast<uint8_t>(config_.version | (config_.moda_modb ? 0x80 : 0));
        out.push_back(faults_.wrong_version ? faults_.version_byte : version);
    } else if (sub == kSetSpeed && command_.size() == 5) {
        if (command_[2] < 4 || (command_[2] == 4 && config_.version > 0x46)) {
            speed_code_ = command_[2];
        }
    } else if (sub == kSetCustomSpeed && command_.size() == 5) {
        custom_word_ = word_at(command_, 3);
    } else if (sub == kMemDump) {
        mem_dump(word_at(command_, 2), word_at(command_, 4), out);
    } else if (sub == kMemPut && command_.size() >= 6) {
        mem_put(word_at(command_, 2), word_at(command_, 4), command_.data() + 6);
    }
}

void Bdm12podEmulator::mem_dump(uint16_t address, uint16_t count, std::vector<uint8_t>& out) {
    const bool broken = config_.kind == PodKind::kPodexBug;
    const bool heard = speed_matches();
    for (uint32_t i = 0; i < count; ++i) {
        const auto at = static_cast<uint16_t>(broken ? address : address + 2 * i);
        put_word(out, heard ? bdm_.read_word(at, false) : bdm::kIdleLine);
    }
}

void Bdm12podEmulator::mem_put(uint16_t address, uint16_t count, const uint8_t* data) {
    if (!speed_matches()) {
        return;
    }
    const bool broken = config_.kind == PodKind::kPodexBug;
    for (uint32_t i = 0; i < count; ++i) {
        const auto at = static_cast<uint16_t>(broken ? address : address + 2 * i);
        bdm_.write_word(at, static_cast<uint16_t>(data[2 * i] << 8 | data[2 * i + 1]), false);
    }
}

void Bdm12podEmulator::execute_bdm_command(std::vector<uint8_t>& out) {
    const uint8_t code = command_[0];
    const bool heard = speed_matches();
    const bool reads = answers_word(code);
    if (!heard) {
        if (reads) {
            put_word(out, bdm::kIdleLine);
        }
        return;
    }
    const uint16_t operand = command_.size() >= 3 ? word_at(command_, 1) : 0;  // address or word
    switch (code) {
        case kGo:
            bdm_.run(RunKind::kGo);
            return;
        case kGoUntil:
            bdm_.run(RunKind::kGoUntil);
            return;
        case kTrace1:
            bdm_.run(RunKind::kTrace1);
            return;
        case kTaggo:
            bdm_.run(RunKind::kTagGo);
            return;
        case kBackground:
            bdm_.background();
            return;
        case kAckEnable:
        case kAckDisable:
            bdm_.ack(code == kAckEnable);
            return;
        case kWriteNext:
            bdm_.write_next(operand);
            return;
        case kReadNext:
            put_word(out, bdm_.read_next());
            return;
        case kWriteByte:
        case kWriteBdByte:
            bdm_.write_byte(operand, word_at(command_, 3), code == kWriteBdByte);
            return;
        case kWriteWord:
        case kWriteBdWord:
            bdm_.write_word(operand, word_at(command_, 3), code == kWriteBdWord);
            return;
        case kReadByte:
        case kReadBdByte:
            put_word(out, bdm_.read_byte(operand, code == kReadBdByte));
            return;
        case kReadWord:
        case kReadBdWord:
            put_word(out, bdm_.read_word(operand, code == kReadBdWord));
            return;
        default:
            break;
    }
    if (code >= kWritePc && code <= kWriteSp) {
        bdm_.write_register(static_cast<CpuRegister>(code - kWritePc), operand);
    } else if (code >= kReadPc && code <= kReadSp) {
        put_word(out, bdm_.read_register(static_cast<CpuRegister>(code - kReadPc)));
    }
    // Any other byte is no command the pod knows: ignored.
}

}  // namespace zelv::sim
