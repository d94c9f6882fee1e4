#include "lrae/lrae_operations.h"

#include <cerrno>

#include "base/console.h"
#include "lrae/lrae_agent.h"
#include "lrae/lrae_link.h"
#include "memops/flash_frames.h"
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

// The EEPROM is out of this interface's reach; on a part that has one the operation passes
// without touching it, so that a command line mixing EEPROM and FLASH operations runs on.
int eeprom_not_supported(const char* operation) {
    if (target().eeprom_size == 0) {
        report_error("EEPROM %s not possible - no EEPROM memory\n", operation);
        return EINVAL;
    }
    print_info("EEPROM %s: not supported\n", operation);
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
};

}  // namespace zelv
