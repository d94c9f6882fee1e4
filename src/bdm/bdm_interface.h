// The BDM entries of the interface operations table. Both BDM interfaces share every slot
// but the open, which selects the interface's pod as the active pod before bdm_open.
#pragma once

#include "bdm/bdm_operations.h"
#include "base/interface_ops.h"

namespace zelv {

// The entry for a BDM interface: its name, its open, and the shared BDM operations.
// `options` are the connection options its pod reads.
[[nodiscard]] constexpr InterfaceOps bdm_interface_entry(const char* name, int (*open)(),
                                                         const char* options) {
    return InterfaceOps{
        .name = name,
        .open = open,
        .close = bdm_close,
        .ram_run = bdm_ram_run,
        .unsecure = bdm_unsecure,
        .secure = bdm_secure,
        .eeprom_read = bdm_eeprom_read,
        .eeprom_erase = bdm_eeprom_erase,
        .eeprom_write = bdm_eeprom_write,
        .eeprom_protect = bdm_eeprom_protect,
        .flash_read = bdm_flash_read,
        .flash_erase = bdm_flash_erase,
        .flash_write = bdm_flash_write,
        .reserved = bdm_reserved,
        .reset = bdm_reset,
        .flash_image_check = nullptr,
        .ram_image_check = bdm_ram_image_check,
        .refused_operations = nullptr,
        .connection_options = options,
        .flash_verify = bdm_flash_verify,
        .eeprom_verify = bdm_eeprom_verify,
    };
}

// "tbdml": the Turbo BDM Light USB pod.
extern const InterfaceOps tbdml_interface;

// "bdm12pod": the BDM12POD serial pod; the podex names arrive here with their flags set.
extern const InterfaceOps bdm12pod_interface;

}  // namespace zelv
