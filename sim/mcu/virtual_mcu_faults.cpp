// The faults a test or a user can give the virtual MCU: bytes that an erase or a program
// leaves as they were, and FLASH/EEPROM commands that hang or fail.
#include <cerrno>
#include <new>

#include "common/sim_log.h"
#include "mcu/virtual_mcu.h"

namespace zelv::sim {

int VirtualMcu::add_stuck_byte(const StuckByte& stuck) {
    const bool flash_byte = stuck.region == Region::kFlash;
    NvmModule& module = flash_byte ? static_cast<NvmModule&>(flash_module_) : eeprom_module_;
    bool added = false;
    try {
        added = (flash_byte || stuck.region == Region::kEeprom) &&
                module.add_stuck(stuck.offset, stuck.value);
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    if (!added) {
        sim_error("stuck byte at offset 0x%X lies outside the %s\n", stuck.offset,
                  flash_byte ? "FLASH" : "EEPROM");
        return EINVAL;
    }
    return 0;
}

int VirtualMcu::add_weak_byte(Region region, uint32_t offset) {
    const bool flash_byte = region == Region::kFlash;
    NvmModule& module = flash_byte ? static_cast<NvmModule&>(flash_module_) : eeprom_module_;
    try {
        if ((flash_byte || region == Region::kEeprom) && module.add_weak(offset)) {
            return 0;
        }
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    sim_error("weak byte at offset 0x%X lies outside the %s\n", offset,
              flash_byte ? "FLASH" : "EEPROM");
    return EINVAL;
}

void VirtualMcu::set_nvm_faults(const NvmFaults& faults) {
    flash_module_.set_faults(faults.flash, faults.busy_polls);
    eeprom_module_.set_faults(faults.eeprom, faults.busy_polls);
}

}  // namespace zelv::sim
