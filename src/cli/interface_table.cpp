#include "cli/interface_table.h"

#include <cerrno>
#include <cstring>

#include "bdm/bdm_interface.h"
#include "cli/console.h"
#include "lrae/lrae_operations.h"
#include "sm/sm_operations.h"

namespace zelv {
namespace {

// Interfaces whose link is not built in yet: their open says so and fails, so nothing else
// of the entry is ever reached.
template <const char* Name>
int unavailable_open() {
    report_error("%s interface not available\n", Name);
    return EOPNOTSUPP;
}

int unavailable() {
    return EOPNOTSUPP;
}
int unavailable_path(const char*) {
    return EOPNOTSUPP;
}
int unavailable_flag(int) {
    return EOPNOTSUPP;
}

template <const char* Name>
constexpr InterfaceOps unavailable_entry() {
    return InterfaceOps{
        .name = Name,
        .open = unavailable_open<Name>,
        .close = unavailable,
        .ram_run = unavailable_path,
        .unsecure = unavailable,
        .secure = unavailable,
        .eeprom_read = unavailable_path,
        .eeprom_erase = unavailable,
        .eeprom_write = unavailable_path,
        .eeprom_protect = unavailable_path,
        .flash_read = unavailable_path,
        .flash_erase = unavailable_flag,
        .flash_write = unavailable_path,
        .reserved = nullptr,
        .reset = unavailable,
    };
}

constexpr char kTbdml[] = "tbdml";
constexpr InterfaceOps kTbdmlEntry = unavailable_entry<kTbdml>();

constexpr const InterfaceOps* kInterfaces[] = {&kTbdmlEntry, &bdm12pod_interface, &lrae_interface,
                                               &sm_interface};

const InterfaceOps* extra_entry = nullptr;

}  // namespace

void interface_set_extra(const InterfaceOps* entry) {
    extra_entry = entry;
}

const InterfaceOps* interface_find(const char* name) {
    if (extra_entry != nullptr && std::strcmp(extra_entry->name, name) == 0) {
        return extra_entry;
    }
    for (const InterfaceOps* entry : kInterfaces) {
        if (std::strcmp(entry->name, name) == 0) {
            return entry;
        }
    }
    return nullptr;
}

}  // namespace zelv
