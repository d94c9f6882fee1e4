#include "mcu/nvm_module.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <new>

namespace zelv::sim {

namespace {

constexpr uint8_t kErrors = nvm::kPviol | nvm::kAccerr;
constexpr size_t kBankBytes = 14;  // as save_banks writes one bank

bool open_sequence(const NvmBank& b) {
    return b.phase == NvmPhase::kArrayWritten || b.phase == NvmPhase::kCommandWritten;
}

void put(std::vector<uint8_t>& out, uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

uint32_t get(const uint8_t* in, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | in[i];
    }
    return value;
}

}  // namespace

int NvmModule::configure_array(uint32_t size, unsigned bank_count) {
    try {
        memory_.assign(size, 0xFF);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    stuck_.clear();
    weak_.clear();
    bank_count_ = bank_count;
    reset_sequences();
    return 0;
}

void NvmModule::set_faults(const std::vector<NvmCommandFault>& faults, unsigned busy_polls) {
    faults_ = faults;
    busy_polls_ = busy_polls;
    launches_.fill(0);
    launches_any_ = 0;
}

void NvmModule::set_mode(bool special_mode, bool secured) {
    special_mode_ = special_mode;
    secured_ = secured;
}

bool NvmModule::add_stuck(uint32_t offset, uint8_t value) {
    if (offset >= memory_.size()) {
        return false;
    }
    stuck_.push_back({offset, value});
    return true;
}

bool NvmModule::add_weak(uint32_t offset) {
    if (offset >= memory_.size()) {
        return false;
    }
    weak_.push_back(offset);
    return true;
}

void NvmModule::reset_sequences() {
    banks_.fill(NvmBank{});
    divider_ = 0;
}

void NvmModule::save_banks(std::vector<uint8_t>& out) const {
    out.push_back(static_cast<uint8_t>(bank_count_));
    for (unsigned i = 0; i < bank_count_; ++i) {
        const NvmBank& b = banks_[i];
        out.push_back(b.status);
        out.push_back(b.command);
        out.push_back(static_cast<uint8_t>(b.phase));
        out.push_back(b.hung ? 1 : 0);
        put(out, b.index, 4);
        put(out, b.data, 2);
        put(out, b.polls_left, 4);
    }
}

bool NvmModule::load_banks(const std::vector<uint8_t>& bytes) {
    if (bytes.size() != 1 + kBankBytes * bank_count_ || bytes[0] != bank_count_) {
        return false;
    }
    std::array<NvmBank, 4> loaded{};
    for (unsigned i = 0; i < bank_count_; ++i) {
        const uint8_t* in = bytes.data() + 1 + kBankBytes * i;
        if (in[2] > static_cast<uint8_t>(NvmPhase::kRunning) || in[3] > 1) {
            return false;
        }
        NvmBank& b = loaded[i];
        b.status = in[0];
        b.command = in[1];
        b.phase = static_cast<NvmPhase>(in[2]);
        b.hung = in[3] != 0;
        b.index = get(in + 4, 4);
        b.data = static_cast<uint16_t>(get(in + 8, 2));
        b.polls_left = get(in + 10, 4);
    }
    banks_ = loaded;
    return true;
}

void NvmModule::fail(NvmBank& b, uint8_t flag) {
    b.status |= flag;
    if (b.phase != NvmPhase::kRunning) {
        b.phase = NvmPhase::kIdle;
    }
}

uint8_t NvmModule::read_status(unsigned index) {
    NvmBank& b = banks_[index];
    if (b.phase == NvmPhase::kRunning && !b.hung) {
        if (b.polls_left > 0) {
            --b.polls_left;
        } else {
            const bool blank_result = command_run(index, b);
            b.status |= nvm::kCbeif | nvm::kCcif;
            if (blank_result) {
                b.status |= nvm::kBlank;
            }
            b.phase = NvmPhase::kIdle;
        }
    }
    return b.status;
}

void NvmModule::write_status(unsigned banks, uint8_t value) {
    unsigned launching = 0;
    for (unsigned i = 0; i < bank_count_; ++i) {
        if ((banks & (1u << i)) == 0) {
            continue;
        }
        NvmBank& b = banks_[i];
        b.status &= static_cast<uint8_t>(~(value & kErrors));
        if (!open_sequence(b)) {
            continue;  // CBEIF written with nothing to launch: no effect
        }
        if ((value & nvm::kCbeif) == 0 || b.phase == NvmPhase::kArrayWritten) {
            fail(b, nvm::kAccerr);  // the abort, or a launch without a command
        } else {
            launching |= 1u << i;
        }
    }
    if (launching != 0) {
        launch(launching);
    }
}

const NvmCommandFault* NvmModule::fault_for(uint8_t command) const {
    for (const NvmCommandFault& fault : faults_) {
        const unsigned seen = fault.command == 0 ? launches_any_ : launches_[command];
        if ((fault.command == 0 || fault.command == command) && seen > fault.after) {
            return &fault;
        }
    }
    return nullptr;
}

void NvmModule::launch(unsigned banks) {
    // One launching write counts once for the faults, however many banks it reaches.
    unsigned first = 0;
    while ((banks & (1u << first)) == 0) {
        ++first;
    }
    const uint8_t counted = banks_[first].command;
    ++launches_[counted];
    ++launches_any_;
    const NvmCommandFault* fault = fault_for(counted);
    for (unsigned i = first; i < bank_count_; ++i) {
        if ((banks & (1u << i)) == 0) {
            continue;
        }
        NvmBank& b = banks_[i];
        // Security shuts out only an outside host: in normal modes the part's own program
        // programs as it likes.
        const bool allowed_secured =
            !special_mode_ || b.command == nvm::kMassErase || b.command == nvm::kEraseVerify;
        if ((divider_ & nvm::kDividerLoaded) == 0 || (secured_ && !allowed_secured)) {
            fail(b, nvm::kAccerr);
            continue;
        }
        if (fault != nullptr && fault->kind != NvmFaultKind::kHang) {
            fail(b, fault->kind == NvmFaultKind::kAccessError ? nvm::kAccerr : nvm::kPviol);
            continue;
        }
        const NvmStatus check = command_check(i, b);
        if (check == NvmStatus::kAccessError) {
            fail(b, nvm::kAccerr);
            continue;
        }
        if (check == NvmStatus::kProtectionViolation) {
            fail(b, nvm::kPviol);
            continue;
        }
        b.status &= static_cast<uint8_t>(~(nvm::kCbeif | nvm::kCcif | nvm::kBlank));
        b.phase = NvmPhase::kRunning;
        b.polls_left = busy_polls_;
        b.hung = fault != nullptr;
    }
}

void NvmModule::write_command(unsigned banks, uint8_t command) {
    for (unsigned i = 0; i < bank_count_; ++i) {
        if ((banks & (1u << i)) == 0) {
            continue;
        }
        NvmBank& b = banks_[i];
        if (b.phase == NvmPhase::kArrayWritten && (b.status & kErrors) == 0 &&
            command_known(command)) {
            b.command = command;
            b.phase = NvmPhase::kCommandWritten;
        } else {
            fail(b, nvm::kAccerr);  // no array write, a second command, or no such command
        }
    }
}

void NvmModule::write_latch(unsigned banks, uint16_t offset, uint8_t value) {
    if (!special_mode_) {
        return;  // the address and data registers read zero and ignore writes then
    }
    const bool address = offset < nvm::kDataRegister;
    const int shift = (offset & 1) == 0 ? 8 : 0;
    for (unsigned i = 0; i < bank_count_; ++i) {
        if ((banks & (1u << i)) == 0) {
            continue;
        }
        NvmBank& b = banks_[i];
        if (b.phase == NvmPhase::kRunning || b.phase == NvmPhase::kCommandWritten) {
            fail(b, nvm::kAccerr);
            continue;
        }
        if ((b.status & kErrors) != 0) {
            continue;
        }
        if (address) {
            b.index = (b.index & 0xFFFFu & ~(0xFFu << shift)) | (uint32_t{value} << shift);
        } else {
            b.data = static_cast<uint16_t>((b.data & ~(0xFF << shift)) | (value << shift));
        }
        b.phase = NvmPhase::kArrayWritten;
    }
}

bool NvmModule::peek_common(unsigned index, uint16_t offset, uint8_t* value) const {
    const NvmBank& b = banks_[index];
    switch (offset) {
        case nvm::kClkdivRegister:
            *value = divider_;
            return true;
        case nvm::kStatusRegister:
            *value = b.status;
            return true;
        case nvm::kCommandRegister:
            *value = b.command;
            return true;
        case nvm::kAddressRegister:
        case nvm::kAddressRegister + 1:
        case nvm::kDataRegister:
        case nvm::kDataRegister + 1: {
            const uint32_t word = offset < nvm::kDataRegister ? b.index : b.data;
            *value = special_mode_ ? static_cast<uint8_t>((offset & 1) == 0 ? word >> 8 : word) : 0;
            return true;
        }
        default:
            return false;
    }
}

bool NvmModule::read_common(unsigned index, uint16_t offset, uint8_t* value) {
    if (offset == nvm::kStatusRegister) {
        *value = read_status(index);
        return true;
    }
    return peek_common(index, offset, value);
}

bool NvmModule::write_common(unsigned banks, uint16_t offset, uint8_t value) {
    switch (offset) {
        case nvm::kClkdivRegister:
            write_divider(banks, value);
            return true;
        case nvm::kStatusRegister:
            write_status(banks, value);
            return true;
        case nvm::kCommandRegister:
            write_command(banks, value);
            return true;
        case nvm::kAddressRegister:
        case nvm::kAddressRegister + 1:
        case nvm::kDataRegister:
        case nvm::kDataRegister + 1:
            write_latch(banks, offset, value);
            return true;
        default:
            return false;
    }
}

void NvmModule::write_divider(unsigned banks, uint8_t value) {
    other_register_written(banks);
    if ((divider_ & nvm::kDividerLoaded) == 0) {
        divider_ = static_cast<uint8_t>(nvm::kDividerLoaded | (value & 0x7F));  // write-once
    }
}

void NvmModule::other_register_written(unsigned banks) {
    for (unsigned i = 0; i < bank_count_; ++i) {
        if ((banks & (1u << i)) != 0 && open_sequence(banks_[i])) {
            fail(banks_[i], nvm::kAccerr);
        }
    }
}

void NvmModule::latch_word(unsigned index, bool word_access, bool in_bank, uint32_t word_index,
                           uint16_t data) {
    NvmBank& b = banks_[index];
    if (b.phase == NvmPhase::kRunning) {
        b.status |= nvm::kAccerr;
        return;
    }
    if ((b.status & kErrors) != 0) {
        return;  // no sequence starts while PVIOL or ACCERR is set
    }
    if ((divider_ & nvm::kDividerLoaded) == 0 || !word_access || !in_bank ||
        b.phase != NvmPhase::kIdle) {
        fail(b, nvm::kAccerr);
        return;
    }
    b.index = word_index;
    b.data = data;
    b.phase = NvmPhase::kArrayWritten;
}

NvmStatus NvmModule::program_if_erased(NvmStatus checked, uint32_t offset, uint16_t value) {
    if (checked != NvmStatus::kOk) {
        return checked;
    }
    if (!blank(offset, offset + 2)) {
        return NvmStatus::kNotErased;
    }
    clear_bits(offset, value);
    return NvmStatus::kOk;
}

NvmStatus NvmModule::flagged(unsigned index, NvmStatus status) {
    // The firmware clears the flags before each command, as every host does.
    banks_[index].status &= static_cast<uint8_t>(~(nvm::kPviol | nvm::kAccerr));
    if (status == NvmStatus::kProtectionViolation) {
        fail(banks_[index], nvm::kPviol);
    } else if (status == NvmStatus::kAccessError) {
        fail(banks_[index], nvm::kAccerr);
    }
    return status;
}

void NvmModule::erase_range(uint32_t from, uint32_t to) {
    std::fill(memory_.begin() + from, memory_.begin() + to, 0xFF);
    for (const Stuck& stuck : stuck_) {
        if (stuck.offset >= from && stuck.offset < to) {
            memory_[stuck.offset] = stuck.value;
        }
    }
}

void NvmModule::clear_bits(uint32_t offset, uint16_t value) {
    const auto weak = [this](uint32_t o) {
        return std::find(weak_.begin(), weak_.end(), o) != weak_.end();
    };
    if (!weak(offset)) {
        memory_[offset] &= static_cast<uint8_t>(value >> 8);
    }
    if (!weak(offset + 1)) {
        memory_[offset + 1] &= static_cast<uint8_t>(value);
    }
}

bool NvmModule::blank(uint32_t from, uint32_t to) const {
    return std::all_of(memory_.begin() + from, memory_.begin() + to,
                       [](uint8_t byte) { return byte == 0xFF; });
}

}  // namespace zelv::sim
