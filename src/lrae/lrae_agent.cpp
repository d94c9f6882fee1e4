#include "lrae/lrae_agent.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/bytes.h"
#include "base/console.h"
#include "base/settings.h"
#include "lrae/lrae_link.h"
#include "memops/flash_layout.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint32_t kPageSize = 0x4000;
constexpr uint16_t kWindow = 0x8000;
constexpr unsigned kOscTimeoutMs = 2000;
constexpr unsigned kChecksumTimeoutMs = 1000;
constexpr unsigned kByteTimeoutMs = 1000;  // per data byte of a write
constexpr uint8_t kOscRefused = 0x01;

// The page read in progress: how many of its bytes arrived, and their sum.
struct PageStream {
    bool open = false;
    uint32_t received = 0;
    uint8_t sum = 0;
    uint32_t image_next = 0;  // the next image offset lrae_read_byte expects
};

PageStream stream;

uint8_t sum_of(const uint8_t* data, uint32_t count) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    return sum;
}

// After a write frame: the data, their checksum, and the agent's result.
int send_data(uint8_t block, uint8_t page, uint16_t address, const uint8_t* data,
              uint32_t count) {
    int result = lrae_send(data, count, count * kByteTimeoutMs);
    const uint8_t checksum = sum_of(data, count);
    if (result == 0) {
        result = lrae_send(&checksum, 1, kChecksumTimeoutMs);
    }
    return result != 0 ? result
                       : lrae_result("communication failed, checksum error\n", "write", block,
                                     page, address);
}

int write_frame(uint8_t block, uint8_t page, uint16_t address, const uint8_t* data,
                uint32_t count) {
    uint8_t parameters[6] = {block, page};
    be16_put(address, parameters + 2);
    be16_put(static_cast<uint16_t>(count), parameters + 4);
    const int result = lrae_frame(kLraeWrite, parameters, sizeof parameters);
    return result != 0 ? result : send_data(block, page, address, data, count);
}

}  // namespace

int lrae_flash_available(const char* operation) {
    const TargetModel& m = target();
    if (m.flash_size == 0) {
        report_error("FLASH %s not possible - no FLASH memory\n", operation);
        return EINVAL;
    }
    // Blocks and sectors address every agent command; without them nothing can be aimed.
    if (m.flash_block_count == 0 || m.flash_sector_size == 0) {
        report_error("FLASH %s not possible - FLASH module layout unknown\n", operation);
        return EINVAL;
    }
    return 0;
}

int lrae_agent_load() {
    LraeState& state = lrae_state();
    if (state.agent_loaded) {
        return 0;
    }
    // Cutting the kHz to 16 bits would hand the agent a plausible wrong clock.
    const unsigned long khz = settings().osc / 1000;
    if (khz > 0xFFFF) {
        report_error("invalid oscillator frequency for target programming\n");
        return EINVAL;
    }
    const char* name = description_get("lrae_agent", true);
    if (name == nullptr) {
        report_error("target LRAE RAM agent not available, cannot proceed\n");
        return EINVAL;
    }
    std::string path;
    if (const int result = description_file_path(name, &path); result != 0) {
        if (result == ENOMEM) {
            report_error("not enough memory\n");
        } else {
            report_error("unable to open %s (%s)\n", name, std::strerror(result));
        }
        return result;
    }
    int result = lrae_ram_load(path.c_str(), true);
    if (result != 0) {
        return result;
    }
    uint8_t frequency[2];
    be16_put(static_cast<uint16_t>(khz), frequency);
    uint8_t answer = 0;
    if ((result = lrae_send(frequency, sizeof frequency, kOscTimeoutMs)) != 0 ||
        (result = lrae_receive(&answer)) != 0) {
        return result;
    }
    if (answer == kLraeGood) {
        state.agent_loaded = true;
        stream = PageStream{};
        return 0;
    }
    report_error(answer == kOscRefused ? "invalid oscillator frequency for target programming\n"
                                       : "unknown response\n");
    return EINVAL;
}

int lrae_page_open(uint8_t block, uint8_t page) {
    const uint8_t parameters[5] = {block, page, 0x80, 0x00, 0x40};
    stream.open = false;
    const int result = lrae_frame(kLraeReadPage, parameters, sizeof parameters);
    if (result == 0) {
        stream.open = true;
        stream.received = 0;
        stream.sum = 0;
    }
    return result;
}

int lrae_page_take(uint8_t* destination, uint32_t count) {
    if (!stream.open || count > kPageSize - stream.received) {
        report_error("FLASH read out of step with the agent's page\n");
        return EINVAL;
    }
    if (const int result = lrae_receive_block(destination, count); result != 0) {
        return result;
    }
    stream.sum = static_cast<uint8_t>(stream.sum + sum_of(destination, count));
    stream.received += count;
    return 0;
}

int lrae_page_close() {
    // The agent streams whole pages: bytes past the caller's end are read and summed too, so
    // that the link stays in step.
    while (stream.open && stream.received < kPageSize) {
        uint8_t rest[512];
        const uint32_t count = std::min<uint32_t>(sizeof rest, kPageSize - stream.received);
        if (const int result = lrae_page_take(rest, count); result != 0) {
            return result;
        }
    }
    if (!stream.open) {
        report_error("FLASH read out of step with the agent's page\n");
        return EINVAL;
    }
    stream.open = false;
    uint8_t checksum = 0;
    if (const int result = lrae_receive(&checksum); result != 0) {
        return result;
    }
    if (checksum != stream.sum) {
        report_error("invalid checksum received\n");
        return EIO;
    }
    return 0;
}

int lrae_read_byte(uint32_t offset, uint8_t* destination, uint32_t length) {
    int result = 0;
    if (offset % kPageSize == 0) {
        result = lrae_page_open(flash_offset_block(offset), flash_offset_page(offset));
        stream.image_next = offset;
    }
    if (result == 0 && offset != stream.image_next) {
        report_error("FLASH read out of step with the agent's page\n");
        result = EINVAL;
    }
    if (result == 0) {
        result = lrae_page_take(destination, length);
    }
    if (result != 0) {
        stream.open = false;
        return result;
    }
    stream.image_next = offset + length;
    if (stream.image_next % kPageSize == 0 || stream.image_next >= flash_image_size()) {
        return lrae_page_close();
    }
    return 0;
}

int lrae_write_block(uint32_t offset, const uint8_t* data, uint32_t count) {
    return write_frame(flash_offset_block(offset), flash_offset_page(offset),
                       static_cast<uint16_t>(kWindow + offset % kPageSize), data, count);
}

int lrae_write_word(uint8_t page, uint16_t address, uint16_t value) {
    uint8_t data[2];
    be16_put(value, data);
    return write_frame(0, page, address, data, sizeof data);
}

}  // namespace zelv
