#include "fronts/tbdml_device.h"

#include <algorithm>
#include <cerrno>
#include <new>

#include "common/sim_log.h"
#include "pod/tbdml_wire.h"

namespace zelv::sim {

namespace {

using namespace zelv::tbdml_wire;



constexpr uint8_t kVendorRequest = 0x40;  // bits 5-6 of the request type
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kBulkIn = 0x82;

constexpr unsigned kMaxBlock = 32;
constexpr uint64_t kSpeedScale = 153600000000ULL;  // Hz x 10 per unit of the speed value
constexpr uint64_t kTolerancePercent = 5;

// The pod's register order and the CPU's registers in it; the sixth is the CCR.
constexpr CpuRegister kOrder[] = {CpuRegister::kPc, CpuRegister::kSp, CpuRegister::kX,
                                  CpuRegister::kY, CpuRegister::kD};

uint16_t word_at(const std::vector<uint8_t>& params, std::size_t at) {
    const uint8_t lo = at < params.size() ? params[at] : 0;
    const uint8_t hi = at + 1 < params.size() ? params[at + 1] : 0;
    return static_cast<uint16_t>(lo | hi << 8);
}

uint8_t byte_at(const std::vector<uint8_t>& params, std::size_t at) {
    return at < params.size() ? params[at] : 0;
}

void put_word(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value & 0xFF));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

// The addressed byte of a bus word: the high half at an even address.
uint8_t lane(uint16_t address, uint16_t word) {
    return static_cast<uint8_t>((address & 1) != 0 ? word & 0xFF : word >> 8);
}

uint16_t lanes_for(uint16_t address, uint8_t value) {
    return (address & 1) != 0 ? value : static_cast<uint16_t>(value << 8);
}

}  // namespace

TbdmlDevice::TbdmlDevice(McuBdm& bdm, const TbdmlConfig& config, const UsbFaults& faults)
    : bdm_(bdm),
      config_(config),
      faults_(faults.replies),
      speed_fault_(faults.speed_given),
      speed_fault_value_(faults.speed) {}

uint16_t TbdmlDevice::speed_for(uint64_t osc) {
    if (osc == 0) {
        return 0;
    }
    return static_cast<uint16_t>(std::min<uint64_t>((kSpeedScale / osc + 5) / 10, 0xFFFF));
}

bool TbdmlDevice::speed_matches() const {
    if (!config_.check_speed) {
        return true;
    }
    if (speed_ == 0) {
        return false;  // never synchronised: the pod does not know the target's timing
    }
    const uint64_t pod = kSpeedScale / 10 / speed_;
    const uint64_t board = config_.board_osc;
    const uint64_t difference = pod > board ? pod - board : board - pod;
    return difference * 100 <= board * kTolerancePercent;
}

void TbdmlDevice::connect() {
    // SYNC: a target whose BDM stays silent is reset with BKGD held low, which any part
    // answers in special mode.
    if (!bdm_.answers()) {
        bdm_.reset_special();
    }
    measured_ = speed_fault_ ? speed_fault_value_ : speed_for(config_.board_osc);
    speed_ = measured_;
}

void TbdmlDevice::read_block(uint16_t address, unsigned count, std::vector<uint8_t>* reply) {
    const bool heard = speed_matches();
    for (unsigned i = 0; i < count;) {
        const auto at = static_cast<uint16_t>(address + i);
        if ((at & 1) == 0 && i + 1 < count) {
            const uint16_t word = heard ? bdm_.read_word(at, false) : bdm::kIdleLine;
            reply->push_back(static_cast<uint8_t>(word >> 8));
            reply->push_back(static_cast<uint8_t>(word & 0xFF));
            i += 2;
        } else {
            reply->push_back(lane(at, heard ? bdm_.read_byte(at, false) : bdm::kIdleLine));
            ++i;
        }
    }
}

void TbdmlDevice::write_block(uint16_t address, unsigned count, const uint8_t* data) {
    if (!speed_matches()) {
        return;
    }
    for (unsigned i = 0; i < count;) {
        const auto at = static_cast<uint16_t>(address + i);
        if ((at & 1) == 0 && i + 1 < count) {
            bdm_.write_word(at, static_cast<uint16_t>(data[i] << 8 | data[i + 1]), false);
            i += 2;
        } else {
            bdm_.write_byte(at, lanes_for(at, data[i]), false);
            ++i;
        }
    }
}

// The BDM commands: they reach the target only when it understands the pod's speed.
void TbdmlDevice::memory_command(uint8_t command, const std::vector<uint8_t>& params,
                                 std::vector<uint8_t>* reply) {
    const bool heard = speed_matches();
    const uint16_t address = word_at(params, 0);
    switch (command) {
        case kReadBdByte:
        case kReadByte: {
            const uint16_t word =
                heard ? bdm_.read_byte(address, command == kReadBdByte) : bdm::kIdleLine;
            reply->push_back(lane(address, word));
            return;
        }
        case kReadWord:
            put_word(reply, heard ? bdm_.read_word(address, false) : bdm::kIdleLine);
            return;
        case kReadRegisters:
            for (const CpuRegister r : kOrder) {
                put_word(reply, heard ? bdm_.read_register(r) : bdm::kIdleLine);
            }
            put_word(reply, heard ? lane(bdm::kBdmccr, bdm_.read_byte(bdm::kBdmccr, true))
                                  : bdm::kIdleLine);
            return;
        case kReadBlock: {
            const unsigned count = byte_at(params, 2);
            if (count == 0 || count > kMaxBlock) {
                reply->assign(1, kRefused);
                return;
            }
            read_block(address, count, reply);
            return;
        }
        default:
            break;
    }
    if (!heard) {
        return;
    }
    switch (command) {
        case kWriteBdByte:
        case kWriteByte:
            bdm_.write_byte(address, lanes_for(address, byte_at(params, 2)),
                            command == kWriteBdByte);
            return;
        case kWriteWord:
            bdm_.write_word(address, word_at(params, 2), false);
            return;
        case kBackground:
            bdm_.background();
            return;
        case kGo:
            bdm_.run(RunKind::kGo);
            return;
        case kTrace1:
            bdm_.run(RunKind::kTrace1);
            return;
        case kWriteCcr:
            bdm_.write_byte(bdm::kBdmccr, lanes_for(bdm::kBdmccr, byte_at(params, 0)), true);
            return;
        default:
            break;
    }
    if (command >= kWritePc && command < kWriteCcr) {
        bdm_.write_register(kOrder[command - kWritePc], word_at(params, 0));
    }
}

void TbdmlDevice::execute(uint8_t command, const std::vector<uint8_t>& params,
                          std::vector<uint8_t>* reply) {
    reply->assign(1, command);
    switch (command) {
        case kGetVersion:
            reply->push_back(config_.firmware);
            reply->push_back(config_.hardware);
            return;
        case kSetTargetType:
            if (byte_at(params, 0) != 0) {
                reply->assign(1, kRefused);
            }
            return;
        case kConnect:
            connect();
            return;
        case kReset:
            if (byte_at(params, 0) == 0) {
                bdm_.reset_special();
            } else if (byte_at(params, 0) == 1) {
                bdm_.reset_normal();
            } else {
                reply->assign(1, kRefused);
            }
            return;
        case kGetSpeed:
            put_word(reply, measured_);
            return;
        case kSetSpeed:
            if (word_at(params, 0) == 0) {
                reply->assign(1, kRefused);
            } else {
                speed_ = word_at(params, 0);
            }
            return;
        case kWriteBlock: {
            const unsigned count = byte_at(params, 2);
            if (count == 0 || count > kMaxBlock || params.size() < 3 + count) {
                reply->assign(1, kRefused);
            } else {
                write_block(word_at(params, 0), count, params.data() + 3);
            }
            return;
        }
        case kReadBdByte:
        case kWriteBdByte:
        case kBackground:
        case kGo:
        case kTrace1:
        case kReadByte:
        case kReadWord:
        case kReadRegisters:
        case kReadBlock:
        case kWriteByte:
        case kWriteWord:
            memory_command(command, params, reply);
            return;
        default:
            if (command >= kWritePc && command <= kWriteCcr) {
                memory_command(command, params, reply);
            } else {
                reply->assign(1, kUnknownCommand);
            }
            return;
    }
}

void TbdmlDevice::answer(uint8_t command, const std::vector<uint8_t>& params,
                         std::vector<uint8_t>* reply) {
    const ReplyFault* fault = faults_.next(command);
    if (fault != nullptr && (fault->kind == ReplyFaultKind::kRefuse ||
                             fault->kind == ReplyFaultKind::kUnknownCommand)) {
        reply->clear();  // the fault answers in the command's place
        ReplyFaults::spoil(*fault, reply);
        return;
    }
    execute(command, params, reply);
    if (fault != nullptr) {
        ReplyFaults::spoil(*fault, reply);
    }
}

int TbdmlDevice::control(const UsbSetup& setup, std::vector<uint8_t>* data) {
    if ((setup.request_type & kTypeMask) != kVendorRequest) {
        return -EPIPE;  // the standard requests are the bus's business, not the firmware's
    }
    try {
        const bool in = (setup.request_type & 0x80) != 0;
        std::vector<uint8_t> params(4 + (in ? 0 : data->size()));
        params[0] = static_cast<uint8_t>(setup.value & 0xFF);
        params[1] = static_cast<uint8_t>(setup.value >> 8);
        params[2] = static_cast<uint8_t>(setup.index & 0xFF);
        params[3] = static_cast<uint8_t>(setup.index >> 8);
        if (!in) {
            std::copy(data->begin(), data->end(), params.begin() + 4);
            std::vector<uint8_t> ignored;
            // A command sent without an answer cannot say that it failed.
            execute(setup.request, params, &ignored);
            return static_cast<int>(data->size());
        }
        answer(setup.request, params, data);
        return static_cast<int>(data->size());
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return -ENOMEM;
    }
}

int TbdmlDevice::bulk_out(uint8_t endpoint, const std::vector<uint8_t>& data) {
    if (endpoint != kBulkOut) {
        return -EPIPE;
    }
    const std::size_t size = data.size();
    if (size < 3 || data[0] != size - 1 || data[1] != size - 2) {
        bulk_waiting_ = false;  // not a packet the firmware takes
        return static_cast<int>(size);
    }
    try {
        const std::vector<uint8_t> params(data.begin() + 3, data.end());
        answer(data[2], params, &bulk_answer_);
        bulk_waiting_ = true;
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return -ENOMEM;
    }
    return static_cast<int>(size);
}

int TbdmlDevice::bulk_in(uint8_t endpoint, std::size_t wanted, std::vector<uint8_t>* data) {
    if (endpoint != kBulkIn) {
        return -EPIPE;
    }
    if (!bulk_waiting_) {
        return -ETIMEDOUT;
    }
    bulk_waiting_ = false;
    *data = bulk_answer_;
    data->resize(std::min(wanted, data->size()));
    return static_cast<int>(data->size());
}

}  // namespace zelv::sim
