// The BDM operations whose procedures are not in the program yet. Each one fails with
// "<operation>: operation not supported" and EOPNOTSUPP, so that a command line asking for
// it ends with status 1 instead of reporting work that was not done. An operation leaves
// this file when its procedure arrives in a file of its own.
#include <cerrno>

#include "bdm/bdm_operations.h"
#include "cli/console.h"

namespace zelv {
namespace {

int not_supported(const char* operation) {
    report_error("%s: operation not supported\n", operation);
    return EOPNOTSUPP;
}

}  // namespace

int bdm_ram_run(const char*) {
    return not_supported("RAM run");
}

int bdm_unsecure() {
    return not_supported("unsecure");
}

int bdm_secure() {
    return not_supported("secure");
}

int bdm_eeprom_read(const char*) {
    return not_supported("EEPROM read");
}

int bdm_eeprom_erase() {
    return not_supported("EEPROM erase");
}

int bdm_eeprom_write(const char*) {
    return not_supported("EEPROM write");
}

int bdm_eeprom_protect(const char*) {
    return not_supported("EEPROM protect");
}

int bdm_flash_read(const char*) {
    return not_supported("FLASH read");
}

int bdm_flash_erase(int) {
    return not_supported("FLASH erase");
}

int bdm_flash_write(const char*) {
    return not_supported("FLASH write");
}

}  // namespace zelv
