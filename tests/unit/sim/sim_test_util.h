// Builds a virtual MCU for one of the simulator's part profiles.
#pragma once

#include <gtest/gtest.h>

#include "program/part_profiles.h"
#include "common/sim_log.h"
#include "mcu/virtual_mcu.h"

namespace zelv::sim::test {

inline void configure_part(VirtualMcu& mcu, const char* part) {
    const PartProfile* profile = find_part_profile(part);
    ASSERT_NE(profile, nullptr) << part;
    McuConfig config;
    ASSERT_EQ(part_config(*profile, profile->layout, &config), 0);
    ASSERT_EQ(mcu.configure(config), 0);
}

// Storage offset of a byte of a FLASH page.
inline uint32_t flash_at(const VirtualMcu& mcu, uint32_t page, uint32_t in_page) {
    return (page - mcu.layout().ppage_base) * kPageSize + in_page;
}

}  // namespace zelv::sim::test
