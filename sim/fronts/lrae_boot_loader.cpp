#include "fronts/lrae_boot_loader.h"

#include <algorithm>
#include <utility>

namespace zelv::sim {

namespace {

constexpr uint64_t kDivisors[] = {1, 2, 4, 9, 7, 13, 26, 52};
constexpr unsigned kDivisorCount = sizeof kDivisors / sizeof kDivisors[0];

constexpr uint32_t kResetVector = 0x3FFE;     // 0xFFFE in the last page
constexpr uint32_t kProtectionByte = 0x3F0D;  // 0xFF0D
constexpr uint32_t kSecurityByte = 0x3F0F;    // 0xFF0F
constexpr uint8_t kUnsecured = 0xFE;
constexpr uint8_t kFiller = 0xA7;  // NOP: the boot loader's code is not modelled

// FPROT with the high area open and a low area of 512 << FPLS bytes.
uint8_t low_area_protection(uint32_t size) {
    uint8_t fpls = 0;
    while (fpls < 3 && (0x200U << fpls) < size) {
        ++fpls;
    }
    return static_cast<uint8_t>(0xF8 | fpls);
}

// The page the CPU shows at 0x4000.
uint32_t boot_page(const McuLayout& layout) {
    return layout.family_id == kSimFamilyHcs12x ? 0xFD : 0x3E;
}

}  // namespace

std::array<uint8_t, lrae::kBootLoaderSize> LraeBootLoader::image() {
    std::array<uint8_t, lrae::kBootLoaderSize> bytes{};
    bytes.fill(kFiller);
    // LDS #$4000, then its name.
    static const char kName[] = "zelvanor-sim LRAE boot loader 1.0";
    bytes[0] = 0xCF;
    bytes[1] = 0x40;
    bytes[2] = 0x00;
    std::copy(kName, kName + sizeof kName, bytes.begin() + 3);
    return bytes;
}

bool LraeBootLoader::install(VirtualMcu& mcu, bool protect) {
    uint32_t start = 0;
    if (!mcu.page_offset(boot_page(mcu.layout()), &start)) {
        return false;
    }
    std::vector<uint8_t>& flash = mcu.flash();
    const uint32_t last = (mcu.layout().ppage_count - 1) * kPageSize;
    const auto code = flash.begin() + start;
    if (!std::all_of(code, code + lrae::kBootLoaderSize, [](uint8_t b) { return b == 0xFF; }) ||
        flash[last + kResetVector] != 0xFF || flash[last + kResetVector + 1] != 0xFF) {
        return false;
    }
    const std::array<uint8_t, lrae::kBootLoaderSize> bytes = image();
    std::copy(bytes.begin(), bytes.end(), code);
    flash[last + kResetVector] = static_cast<uint8_t>(lrae::kBootLoaderEntry >> 8);
    flash[last + kResetVector + 1] = static_cast<uint8_t>(lrae::kBootLoaderEntry & 0xFF);
    flash[last + kSecurityByte] = kUnsecured;
    if (protect) {
        // Keep the protection byte only where the part's low area covers the boot loader
        // exactly; elsewhere the protection would guard the wrong bytes.
        flash[last + kProtectionByte] = low_area_protection(lrae::kBootLoaderSize);
        mcu.reset(false);
        bool covered = !mcu.flash_protected(start + lrae::kBootLoaderSize);
        for (uint32_t i = 0; i < lrae::kBootLoaderSize && covered; i += 2) {
            covered = mcu.flash_protected(start + i);
        }
        if (!covered) {
            flash[last + kProtectionByte] = 0xFF;
        }
    }
    mcu.reset(false);
    return true;
}

void LraeBootLoader::place_eeprom(const McuLayout& layout, RegisterResets* resets) {
    if (layout.family_id == kSimFamilyHcs12x || layout.eeprom_size == 0 ||
        (resets->initee & 0x01) == 0) {
        return;
    }
    const uint32_t base = static_cast<uint32_t>(resets->initee & 0xF8) << 8;
    if (base < lrae::kBootLoaderEntry + lrae::kBootLoaderSize &&
        lrae::kBootLoaderEntry < base + layout.eeprom_size) {
        resets->initee = 0x01;  // EEON at 0x0000
    }
}

LraeBootLoader::LraeBootLoader(VirtualMcu& mcu, const LraeFaults& faults, uint64_t osc,
                               LineRate host_rate, McuCore* core)
    : mcu_(mcu),
      faults_(faults),
      osc_(osc),
      host_rate_(std::move(host_rate)),
      deaf_left_(faults.deaf_probes),
      agent_(mcu, faults),
      core_(core) {
    // Out of reset the CPU fetches the reset vector and runs what it points at.
    bool in_place = mcu_.read_byte(0xFFFE) == (lrae::kBootLoaderEntry >> 8) &&
                    mcu_.read_byte(0xFFFF) == (lrae::kBootLoaderEntry & 0xFF);
    const std::array<uint8_t, lrae::kBootLoaderSize> bytes = image();
    for (uint32_t i = 0; i < lrae::kBootLoaderSize && in_place; ++i) {
        in_place = mcu_.read_byte(static_cast<uint16_t>(lrae::kBootLoaderEntry + i)) == bytes[i];
    }
    phase_ = in_place ? Phase::kHunting : Phase::kDead;
}

uint64_t LraeBootLoader::sci_rate() const {
    return osc_ / (32 * kDivisors[divisor_]);
}

void LraeBootLoader::send(uint8_t byte, Reply& reply) const {
    sci_to_host(byte, sci_rate(), host_, &reply.bytes);
}

void LraeBootLoader::receive(uint8_t byte, Reply& reply) {
    if (phase_ == Phase::kDead || (phase_ == Phase::kProgram && core_ == nullptr)) {
        return;
    }
    host_ = host_rate_();
    if (host_ == 0 || sci_rate() == 0) {
        return;  // no rate the SCI could follow
    }
    const std::vector<SciByte> got = sci_transfer(byte, host_, sci_rate());
    if (phase_ == Phase::kProgram) {
        (void)core_->catch_up();  // the frame arrives now, not when the core last ran
        program_line_in(got);
        program_line_out(reply);
        return;
    }
    if (phase_ == Phase::kHunting) {
        hunt(got, reply);
        return;
    }
    for (const SciByte& received : got) {
        uint8_t value = received.value;
        if (++after_sync_ == faults_.noise_at) {
            value ^= 0x01;
        }
        take(value, reply);
    }
}

void LraeBootLoader::hunt(const std::vector<SciByte>& got, Reply& reply) {
    if (deaf_left_ > 0) {
        --deaf_left_;
        return;
    }
    if (got.size() == 1 && !got[0].framing_error && got[0].value == lrae::kProbe) {
        phase_ = Phase::kHeader;
        // The rate it found stays: SBR and the enables as the boot loader's code sets them.
        mcu_.write_register(sci_reg::kScibdh, 0);
        mcu_.write_register(sci_reg::kScibdl, static_cast<uint8_t>(kDivisors[divisor_]));
        mcu_.write_register(sci_reg::kScicr2, sci_bit::kTe | sci_bit::kRe);
        send(lrae::kProbeAnswer, reply);
        reply.delay_ms = faults_.late_answer_ms;
        return;
    }
    divisor_ = (divisor_ + 1) % kDivisorCount;
}

void LraeBootLoader::take(uint8_t value, Reply& reply) {
    switch (phase_) {
        case Phase::kHeader:
            // No entry address in RAM starts with 0x55: the host is still probing, and the
            // loader answers each probe until the header begins.
            if (header_received_ == 0 && value == lrae::kProbe) {
                send(lrae::kProbeAnswer, reply);
                return;
            }
            header_[header_received_++] = value;
            sum_ = static_cast<uint8_t>(sum_ + value);
            if (header_received_ == header_.size()) {
                entry_ = static_cast<uint16_t>((header_[0] << 8) | header_[1]);
                length_ = static_cast<uint16_t>((header_[2] << 8) | header_[3]);
                phase_ = length_ > 0 ? Phase::kData : Phase::kChecksum;
            }
            return;
        case Phase::kData:
            mcu_.write_byte(static_cast<uint16_t>(entry_ + loaded_), value);
            sum_ = static_cast<uint8_t>(sum_ + value);
            if (++loaded_ == length_) {
                phase_ = Phase::kChecksum;
            }
            return;
        case Phase::kChecksum: {
            if (faults_.load_silent) {
                phase_ = Phase::kDead;
                return;
            }
            const bool good = value == sum_;
            if (faults_.load_ack_wrong) {
                send(faults_.load_ack, reply);
                phase_ = Phase::kDead;
                return;
            }
            send(good ? lrae::kLoadAck : lrae::kLoadNak, reply);
            if (good) {
                start_program();
            } else {
                phase_ = Phase::kDead;
            }
            return;
        }
        case Phase::kAgent: {
            std::vector<uint8_t> answer;
            agent_.receive(value, &answer);
            for (const uint8_t byte : answer) {
                send(byte, reply);
            }
            return;
        }
        default:
            return;
    }
}

void LraeBootLoader::start_program() {
    const std::vector<uint8_t> agent = LraeAgentEmulator::image();
    bool is_agent = entry_ == lrae::kAgentEntry && length_ == agent.size();
    for (uint32_t i = 0; i < agent.size() && is_agent; ++i) {
        is_agent = mcu_.read_byte(static_cast<uint16_t>(entry_ + i)) == agent[i];
    }
    phase_ = is_agent ? Phase::kAgent : Phase::kProgram;
    if (phase_ == Phase::kProgram && core_ != nullptr) {
        cpu12::Registers r;
        r.pc = entry_;
        r.sp = lrae::kBootLoaderEntry;  // LDS #$4000 in the boot loader
        r.ccr = cpu12::kCcrS | cpu12::kCcrX | cpu12::kCcrI;
        core_->start(r);
    }
}

void LraeBootLoader::program_line_in(const std::vector<SciByte>& got) {
    for (const SciByte& received : got) {
        SciFrame frame{received.value};
        frame.framing_error = received.framing_error;
        if (++after_sync_ == faults_.noise_at) {
            frame.value ^= 0x01;
        }
        mcu_.sci().line_in(frame);
    }
}

void LraeBootLoader::program_line_out(Reply& reply) {
    if (host_ == 0) {
        host_ = host_rate_();
    }
    // The rate the program's SCI sends at: the boot loader's, unless the program moved it.
    const uint32_t sbr = static_cast<uint32_t>((mcu_.peek_register(sci_reg::kScibdh) & 0x1F) << 8 |
                                               mcu_.peek_register(sci_reg::kScibdl));
    const uint64_t rate = sbr != 0 ? core_->bus_hz() / (16 * sbr) : 0;
    for (const uint8_t byte : mcu_.sci().take_line_out()) {
        if (host_ != 0 && rate != 0) {
            sci_to_host(byte, rate, host_, &reply.bytes);
        }
    }
}

int LraeBootLoader::unsolicited(Reply& reply) {
    if (phase_ != Phase::kProgram || core_ == nullptr) {
        return -1;
    }
    (void)core_->catch_up();
    program_line_out(reply);
    // Its time goes on only when the core is asked: again in a millisecond while it runs.
    return core_->running() ? 1 : -1;
}

}  // namespace zelv::sim
