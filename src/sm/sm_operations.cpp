#include "sm/sm_operations.h"

#include <cerrno>
#include <cstdint>

#include "mcu/identify.h"
#include "mcu/status_report.h"
#include "base/bytes.h"
#include "base/console.h"
#include "base/progress.h"
#include "base/settings.h"
#include "link/serial.h"
#include "memops/eeprom_frames.h"
#include "memops/flash_frames.h"
#include "memops/flash_layout.h"
#include "sm/sm_protocol.h"
#include "target/target_model.h"

namespace zelv {
namespace {

constexpr uint32_t kChunk = 256;
constexpr unsigned long kDefaultBaud = 115200;
constexpr uint16_t kPpage = 0x0030;
constexpr uint16_t kFcnfg = 0x0103;
constexpr uint16_t kWindow = 0x8000;
constexpr uint16_t kFixedTopPage = 0xC000;
constexpr uint32_t kPageSize = 0x4000;
// The monitor occupies the top 2 KB of the last page; writes there go to the fixed address.
constexpr uint32_t kMonitorOffsetInPage = 0x3800;
constexpr uint32_t kMonitorSize = 0x800;
constexpr uint16_t kMonitorInfo = 0xFEF8;
// The monitor keeps the CPU vectors (0xFF80-0xFFFF) and programs the user's, written there,
// into its table at 0xF780-0xF7FF.
constexpr uint32_t kVectorsInPage = 0x3F80;
constexpr uint16_t kUserVectors = 0xF780;

int refuse(const char* message) {
    report_error("%s", message);
    return EINVAL;
}

// The connection after the port is open: line settings, synchronisation, identification.
int connect() {
    Settings& s = settings();
    if (s.baud == 0) {
        s.baud = kDefaultBaud;
    }
    SerialSettings line;
    line.baud_rate = s.baud;
    int result = serial_set_settings(&sm_port(), &line);
    if (result != 0) {
        return result;
    }
    print_info("SM serial port <%s> baud rate <%lu bps>\n", s.port, s.baud);

    if ((result = sm_synchronise()) != 0) {
        return result;
    }
    print_info("SM target connected\n");

    uint8_t device[3] = {};
    if ((result = sm_command(kSmDeviceInfo, nullptr, 0, device, sizeof device)) != 0) {
        return result;
    }
    if (device[0] != kSmDeviceCode) {
        report_error("unexpected device code received: 0x%02X\n", device[0]);
        return EIO;
    }
    if ((result = sm_prompt(false)) != 0) {
        return result;
    }
    const uint16_t part_id = be16_get(device + 1);

    uint8_t info[8] = {};
    if ((result = sm_read_block(kMonitorInfo, info, sizeof info)) != 0) {
        return result;
    }
    print_info("SM version <%u.%02u> date <%02x%02x-%02x-%02x>\n", info[6], info[7], info[4],
               info[5], info[2], info[3]);

    if (!identify_part(part_id, true)) {
        return EINVAL;
    }
    return status_report(true);
}

uint8_t last_page() {
    const TargetModel& m = target();
    return static_cast<uint8_t>(m.ppage_base + m.ppage_count - 1);
}

// The monitor protects its own 2 KB: a write there fails midway with a FLASH error, after
// the rest of the image went in. The vectors are the exception, programmed into its table.
int sm_flash_image_check(const uint8_t* image, uint32_t size) {
    uint32_t first = 0;
    uint32_t last = 0;
    if (target().ppage_count != 0 && flash_image_data_in(image, size, last_page(),
                                                         kMonitorOffsetInPage, kVectorsInPage,
                                                         &first, &last)) {
        report_error("FLASH image overlaps the serial monitor at 0x%04X-0x%04X\n", first, last);
        return EINVAL;
    }
    return 0;
}

int sm_ram_run(const char*) {
    return interface_not_supported("RAM run");
}
int sm_unsecure() {
    return interface_not_supported("unsecure");
}
int sm_secure() {
    return interface_not_supported("secure");
}

int sm_eeprom_read(const char* path) {
    return eeprom_read_frame(path, kChunk, sm_read_block);
}

int sm_eeprom_write(const char* path) {
    return eeprom_write_frame(path, kChunk, sm_write_block, sm_read_block);
}

int sm_eeprom_verify(const char* path) {
    return eeprom_verify_frame(path, kChunk, sm_read_block);
}

int sm_eeprom_protect(const char* range) {
    return eeprom_protect_frame(range, sm_write_word);
}

int sm_flash_read(const char* path) {
    return flash_read_frame(path, kChunk, sm_flash_read_chunk);
}

int sm_flash_write(const char* path) {
    return flash_write_frame(path, kChunk, sm_flash_write_block, sm_flash_verify_chunk, kChunk);
}

// The -v read-back of -H: the vectors are compared where the monitor keeps them.
int sm_flash_verify(const char* path) {
    return flash_verify_frame(path, sm_flash_verify_chunk, kChunk);
}

// Reads the linear image offset through the window whatever the selected address format.
int read_linear_chunk(uint32_t offset, uint8_t* buffer) {
    Settings& s = settings();
    const int format = s.address_format;
    s.address_format = kBankedLinear;
    const int result = sm_flash_read_chunk(offset, buffer, kChunk);
    s.address_format = format;
    return result;
}

int verify_flash_erased() {
    // The monitor's own 2 KB at the top stay programmed.
    const uint32_t total =
        target().flash_size > kMonitorSize ? target().flash_size - kMonitorSize : 0;
    const uint64_t start = progress_start("FLASH erase: verify");
    uint8_t buffer[kChunk];
    for (uint32_t offset = 0; offset < total; offset += kChunk) {
        const int result = read_linear_chunk(offset, buffer);
        if (result != 0) {
            return result;
        }
        for (uint8_t byte : buffer) {
            if (byte != 0xFF) {
                report_error("FLASH memory not erased\n");
                return EIO;
            }
        }
        progress_step(offset + kChunk, total);
    }
    progress_end(start, "FLASH erase: verify", total);
    print_info("FLASH erase: memory verified\n");
    return 0;
}

}  // namespace

const InterfaceOps sm_interface = {
    .name = "sm",
    .open = sm_open,
    .close = sm_close,
    .ram_run = sm_ram_run,
    .unsecure = sm_unsecure,
    .secure = sm_secure,
    .eeprom_read = sm_eeprom_read,
    .eeprom_erase = sm_eeprom_erase,
    .eeprom_write = sm_eeprom_write,
    .eeprom_protect = sm_eeprom_protect,
    .flash_read = sm_flash_read,
    .flash_erase = sm_flash_erase,
    .flash_write = sm_flash_write,
    .reserved = nullptr,
    .reset = sm_reset,
    .flash_image_check = sm_flash_image_check,
    .ram_image_check = nullptr,
    .refused_operations = "XSU",
    .connection_options = "pb",
    .flash_verify = sm_flash_verify,
    .eeprom_verify = sm_eeprom_verify,
};

int sm_open() {
    const char* port = settings().port;
    if (port == nullptr || *port == '\0') {
        return refuse("serial port not specified (-p option required)\n");
    }
    TargetModel& m = target();
    m.target_read_byte = sm_read_byte;
    m.target_read_word = sm_read_word;
    m.target_write_byte = sm_write_byte;
    m.target_write_word = sm_write_word;

    int result = serial_open(&sm_port(), port);
    if (result != 0) {
        return result;
    }
    result = connect();
    if (result != 0) {
        // The driver does not close an interface whose open failed.
        (void)serial_close(&sm_port());
    }
    return result;
}

int sm_close() {
    return serial_close(&sm_port());
}

int sm_reset() {
    const int result = sm_command(kSmReset, nullptr, 0, nullptr, 0);
    if (result == 0) {
        print_info("target reset\n");
    }
    return result;
}

int sm_eeprom_erase() {
    const TargetModel& m = target();
    if (m.eeprom_size == 0) {
        return refuse("EEPROM erase not possible - no EEPROM memory\n");
    }
    int result = sm_command(kSmEraseEeprom, nullptr, 0, nullptr, 0);
    if (result == 0) {
        result = sm_prompt(false);
    }
    if (result != 0) {
        return result;
    }
    print_info("EEPROM erase: memory erased\n");
    if (!settings().verify) {
        return 0;
    }
    uint8_t buffer[kChunk];
    for (uint32_t offset = 0; offset < m.eeprom_size; offset += kChunk) {
        // The last block stops at the EEPROM's end when the size is not a multiple of 256.
        const uint32_t count = m.eeprom_size - offset < kChunk ? m.eeprom_size - offset : kChunk;
        const auto address = static_cast<uint16_t>(m.eeprom_base + offset);
        if ((result = sm_read_block(address, buffer, count)) != 0) {
            return result;
        }
        for (uint32_t i = 0; i < count; ++i) {
            if (buffer[i] != 0xFF) {
                report_error("EEPROM memory not erased: value 0x%02X @ 0x%04X\n", buffer[i],
                             static_cast<unsigned>(static_cast<uint16_t>(address + i)));
                return EIO;
            }
        }
    }
    print_info("EEPROM erase: memory verified\n");
    return 0;
}

int sm_flash_erase(int) {
    if (target().flash_size == 0) {
        return refuse("FLASH erase not possible - no FLASH memory\n");
    }
    int result = sm_command(kSmEraseFlash, nullptr, 0, nullptr, 0);
    if (result != 0) {
        return result;
    }
    print_info("FLASH erase: wait ...\n");
    if ((result = sm_prompt(false)) != 0) {
        return result;
    }
    print_info("FLASH erase: memory erased\n");
    return settings().verify ? verify_flash_erased() : 0;
}

int sm_flash_read_chunk(uint32_t offset, uint8_t* buffer, uint32_t length) {
    const int result = sm_write_byte(kPpage, flash_offset_page(offset));
    if (result != 0) {
        return result;
    }
    return sm_read_block(static_cast<uint16_t>(kWindow + offset % kPageSize), buffer, length);
}

int sm_flash_write_block(uint32_t offset, const uint8_t* data, uint32_t length) {
    const uint8_t page = flash_offset_page(offset);
    const uint8_t block = flash_offset_block(offset);
    int result = sm_write_byte(kFcnfg, block);
    if (result == 0) {
        result = sm_write_byte(kPpage, page);
    }
    if (result != 0) {
        return result;
    }
    const uint32_t in_page = offset % kPageSize;
    const uint32_t address =
        (page == last_page() && in_page >= kMonitorOffsetInPage ? kFixedTopPage : kWindow) +
        in_page;
    return sm_write_block(static_cast<uint16_t>(address), data, length);
}

int sm_flash_verify_chunk(uint32_t offset, uint8_t* buffer, uint32_t length) {
    const uint32_t in_page = offset % kPageSize;
    uint32_t plain = length;
    if (flash_offset_page(offset) == last_page() && in_page + length > kVectorsInPage) {
        plain = in_page < kVectorsInPage ? kVectorsInPage - in_page : 0;
    }
    if (plain > 0) {
        if (const int result = sm_flash_read_chunk(offset, buffer, plain); result != 0) {
            return result;
        }
    }
    if (plain == length) {
        return 0;
    }
    const uint32_t vector = in_page + plain - kVectorsInPage;
    return sm_read_block(static_cast<uint16_t>(kUserVectors + vector), buffer + plain,
                         length - plain);
}

}  // namespace zelv
