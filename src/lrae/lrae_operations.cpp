#include "lrae/lrae_operations.h"

#include <cerrno>

#include "base/console.h"
#include "lrae/lrae_agent.h"
#include "lrae/lrae_link.h"
#include "base/settings.h"
#include "memops/flash_frames.h"
#include "memops/flash_layout.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
namespace {

// The agent streams a page at a time; the frame takes it in pieces this size.
constexpr uint32_t kReadChunk = 256;
constexpr uint32_t kWriteChunk = 256;

int lrae_unsecure() {
    return interface_not_supported("unsecure");
}
int lrae_secure() {
    return interface_not_supported("secure");
}
int lrae_reset() {
    return interface_not_supported("reset");
}

int lrae_ram_run(const char* path) {
    const int result = lrae_ram_load(path, false);
    if (result == 0) {
        print_info("RAM run: image loaded and started\n");
    }
    return result;
}

// The EEPROM is out of this interface's reach. The operation fails: a script must not take
// an EEPROM that was never written (or a file that was never read) for done.
int eeprom_not_supported(const char* operation) {
    if (target().eeprom_size == 0) {
        report_error("EEPROM %s not possible - no EEPROM memory\n", operation);
        return EINVAL;
    }
    report_error("EEPROM %s not supported on this interface\n", operation);
    return EINVAL;
}

// The boot loader's own bytes: a write there fails midway, or, where FPROT does not guard
// them, leaves a board that answers no more. -f writes them anyway (a new boot loader).
int lrae_flash_image_check(const uint8_t* image, uint32_t size) {
    const TargetModel& m = target();
    uint32_t lrae_size = 0;
    if (settings().force != 0 || m.ppage_count < 3 ||
        description_number("lrae_size", &lrae_size, 0) != 0 || lrae_size == 0) {
        return 0;  // the open reports a missing or malformed lrae_size
    }
    const uint32_t boot_page =
        m.ppage_base + m.ppage_count - 1 - (m.family_id == kFamilyHcs12x ? 2 : 1);
    uint32_t first = 0;
    uint32_t last = 0;
    if (flash_image_data_in(image, size, boot_page, 0, lrae_size, &first, &last)) {
        report_error(
            "FLASH image overlaps the LRAE boot loader at 0x%04X-0x%04X (-f writes it "
            "anyway)\n",
            first, last);
        return EINVAL;
    }
    return 0;
}

int lrae_eeprom_read(const char*) {
    return eeprom_not_supported("read");
}
int lrae_eeprom_erase() {
    return eeprom_not_supported("erase");
}
int lrae_eeprom_write(const char*) {
    return eeprom_not_supported("write");
}
int lrae_eeprom_protect(const char*) {
    return eeprom_not_supported("protect");
}

int lrae_flash_read(const char* path) {
    int result = lrae_flash_available("read");
    if (result == 0) {
        result = lrae_agent_load();
    }
    return result != 0 ? result : flash_read_frame(path, kReadChunk, lrae_read_byte);
}

int lrae_flash_write(const char* path) {
    int result = lrae_flash_available("write");
    if (result == 0) {
        result = lrae_agent_load();
    }
    return result != 0
               ? result
               : flash_write_frame(path, kWriteChunk, lrae_write_block, lrae_read_byte, kReadChunk);
}

// The read-back -v does after -H, through the agent's FLASH read.
int lrae_flash_verify(const char* path) {
    int result = lrae_flash_available("verify");
    if (result == 0) {
        result = lrae_agent_load();
    }
    return result != 0 ? result : flash_verify_frame(path, lrae_read_byte, kReadChunk);
}

// Unlike the other EEPROM operations, a comparison cannot pass without looking: a check that
// succeeds without reading anything would report a board as matching its file.
}  // namespace

const InterfaceOps lrae_interface = {
    .name = "lrae",
    .open = lrae_open,
    .close = lrae_close,
    .ram_run = lrae_ram_run,
    .unsecure = lrae_unsecure,
    .secure = lrae_secure,
    .eeprom_read = lrae_eeprom_read,
    .eeprom_erase = lrae_eeprom_erase,
    .eeprom_write = lrae_eeprom_write,
    .eeprom_protect = lrae_eeprom_protect,
    .flash_read = lrae_flash_read,
    .flash_erase = lrae_flash_erase,
    .flash_write = lrae_flash_write,
    .reserved = nullptr,
    .reset = lrae_reset,
    .flash_image_check = lrae_flash_image_check,
    .ram_image_check = nullptr,
    .refused_operations = "ABCDSUR",
    .connection_options = "pboZ",
    .flash_verify = lrae_flash_verify,
    .eeprom_verify = nullptr,  // the EEPROM is out of reach: refused before open
};

}  // namespace zelv
