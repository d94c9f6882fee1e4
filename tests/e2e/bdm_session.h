// Running zelvanor -i bdm12pod (or -i tbdml) against the virtual pod and part for the
// programming tests, by either method, and looking at the virtual memory the run left in the
// state file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {

struct BdmPart {
    std::string description;
    uint32_t ppage_base;
    uint32_t ppage_count;
    uint32_t eeprom_base;    // where the description's init bytes (or the HCS12X) put it
    uint32_t eeprom_window;  // bytes of it the CPU sees (0: none)
    uint32_t eeprom_array;   // bytes of the array (the state file's)
};

inline const std::map<std::string, BdmPart> kBdmParts = {
    {"c32", {"mc9s12c32.dat", 0x3E, 2, 0, 0, 0}},
    {"dg128", {"mc9s12dg128.dat", 0x38, 8, 0x0800, 0x800, 0x800}},
    {"dp256", {"mc9s12dp256.dat", 0x30, 16, 0x4000, 0x1000, 0x1000}},
    {"xdp512", {"mc9s12xdp512.dat", 0xE0, 32, 0x0800, 0x800, 0x800}},
};

// The virtual target's agent, as a description names it.
inline const std::string kBdmAgent =
    std::string(ZELV_SOURCE_DIR) + "/sim/native/zelvanor-sim-bdm-agent.s19";

// The description lines that choose a method for every FLASH and EEPROM operation.
inline std::string method_keys(const std::string& method) {
    std::string text = method == "agent" ? "bdm_agent " + kBdmAgent + "\n" : "";
    for (const char* key :
         {"bdm_flash_read", "bdm_flash_write", "bdm_flash_erase", "bdm_eeprom_read",
          "bdm_eeprom_write", "bdm_eeprom_erase", "bdm_eeprom_protect"}) {
        text += std::string(key) + " " + method + "\n";
    }
    return text;
}

class BdmSession : public testing::Test {
protected:
    // zelvanor -i bdm12pod -p @PORT@ -o 16M -t <description> args... against the part, its
    // memory kept in the state file; the description is the shipped one with `extra` lines
    // in front (the first of a key wins). With `pod` "tbdml": zelvanor -i tbdml, the pod
    // measuring the oscillator, and -Y when `bulk` is set.
    test::ProcessResult zelv(const std::string& part, const std::vector<std::string>& args,
                             const std::string& extra = "",
                             const std::vector<std::string>& faults = {}) {
        std::vector<std::string> sim = {"--part", part, "--pod", pod, "--state", state(part)};
        sim.insert(sim.end(), sim_options.begin(), sim_options.end());
        for (const std::string& fault : faults) {
            sim.insert(sim.end(), {"--fault", fault});
        }
        const std::string description = dir.file(part + "-board.dat");
        test::write_file(description,
                         extra + test::read_file(data_file(kBdmParts.at(part).description)));
        std::vector<std::string> full = {"-i", pod, "-t", description};
        if (pod == "bdm12pod") {
            full.insert(full.end(), {"-p", "@PORT@", "-o", "16M"});
        }
        if (bulk) {
            full.push_back("-Y");
        }
        full.insert(full.end(), args.begin(), args.end());
        return run_with_sim(sim, full);
    }

    std::string state(const std::string& part) const { return dir.file(part + ".state"); }
    std::vector<uint8_t> flash(const std::string& part) const {
        return state_section(state(part), "FLSH");
    }
    std::vector<uint8_t> eeprom(const std::string& part) const {
        return state_section(state(part), "EEPR");
    }
    std::vector<uint8_t> ram(const std::string& part) const {
        return state_section(state(part), "RAM ");
    }

    // The offset in the state file's FLASH (lowest page first) of an address in a page.
    static uint32_t flash_offset(const std::string& part, uint32_t page, uint32_t address) {
        return (page - kBdmParts.at(part).ppage_base) * 0x4000 + (address & 0x3FFF);
    }
    // The offset in the state file's EEPROM of a CPU address.
    static uint32_t eeprom_offset(const std::string& part, uint32_t address) {
        const BdmPart& p = kBdmParts.at(part);
        return address - p.eeprom_base + (p.eeprom_array - p.eeprom_window);
    }

    // The part starts as it came from the factory: blank.
    void fresh(const std::string& part) { std::remove(state(part).c_str()); }

    std::string srec(const std::string& name, const std::string& lines) {
        const std::string path = dir.file(name);
        test::write_file(path, lines);
        return path;
    }

    // Bytes that differ from 0xFF in a FLASH image from the state file, for a count of what a
    // run left programmed.
    static unsigned programmed(const std::vector<uint8_t>& bytes) {
        unsigned count = 0;
        for (uint8_t b : bytes) {
            count += b != 0xFF ? 1U : 0U;
        }
        return count;
    }

    std::string pod = "bdm12pod";
    bool bulk = false;
    std::vector<std::string> sim_options;  // more options for zelvanor-sim (--trace)
    test::TempDir dir;
};

}  // namespace zelv::e2e
