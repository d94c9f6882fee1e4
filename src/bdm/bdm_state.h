// The BDM engine state: one record for the whole run, owned by the engine and shared by its
// parts (connection, agents and RAM run, FLASH, EEPROM, security).
#pragma once

#include <cstdint>

#include "pod/pod_table.h"

namespace zelv {

// The line that follows a refusal on a secured part: what makes the part usable again.
inline constexpr const char* kSecuredHint =
    "hint: the part is secured, which keeps the BDM out of its memory; -U (or -F before "
    "writing) makes it usable by erasing it\n";

// For the read frames: a forced read (-f) of a part the status report found secured that
// returned nothing but zeros read the BDM's view of a secured part, not its memory (a part
// unsecured through its backdoor key reads real data), and must not leave a file of zeros
// as a success. Reports and returns EIO then; 0 otherwise.
[[nodiscard]] int secured_read_check(const char* what, const uint8_t* image, uint32_t size);

inline constexpr uint16_t kSelectionUnknown = 0xFFFF;

struct BdmEngineState {
    // The pod in use: set by the BDM interface's open before anything else of the open runs,
    // never cleared.
    const BdmPod* pod = nullptr;

    // The FLASH block and page the direct FLASH path selected last, as (FCNFG << 8) | PPAGE;
    // kSelectionUnknown when either is unknown. Both are tracked together because a page in
    // PPAGE says nothing about the block in FCNFG, and 0xFF is itself a real page (HCS12X).
    uint16_t cached_ppage = kSelectionUnknown;

    // The RAM agent is in target RAM and initialised. Every connect and every RAM load of an
    // image clears it.
    bool agent_loaded = false;

    // Target RAM addresses of the agent's parameter block and data buffer, and the buffer's
    // size in bytes, as the agent reported them; meaningful while agent_loaded is set.
    uint16_t agent_params = 0;
    uint16_t agent_buffer = 0;
    uint16_t agent_buffer_size = 0;

    // Entry address of the last file loaded into RAM.
    uint32_t ram_entry = 0;
};

// The run's engine state.
[[nodiscard]] BdmEngineState& bdm_state();

// Selects the pod's table as the active pod.
void bdm_select_pod(const BdmPod* pod);

// The active pod. Only valid once a BDM interface's open has selected one.
[[nodiscard]] const BdmPod& active_pod();

// Test seam: the state back to its defaults (no active pod).
void bdm_state_reset();

}  // namespace zelv
