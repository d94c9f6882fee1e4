// The command-line settings: one record for the whole run, filled by the first option pass
// and read everywhere. A few interfaces write back what they found (`baud`, `osc`).
#pragma once

#include <cstddef>

namespace zelv {

enum AddressFormat : int {
    kNonBanked = 0,
    kBankedLinear = 1,
    kBankedPpage = 2,
};

inline constexpr std::size_t kDataDirSize = 257;

struct Settings {
    int verbose = 1;
    int debug = 0;
    int force = 0;
    int verify = 0;
    const char* interface = nullptr;  // the podex names are mapped to "bdm12pod"
    const char* port = nullptr;       // nullptr when -p is absent or empty
    unsigned long baud = 0;           // 0 when not given
    const char* chip = nullptr;       // stored, never read
    const char* target = nullptr;     // name or path of the target description
    unsigned long osc = 0;            // oscillator frequency in Hz, 0 when not given
    unsigned long start_address = 0;
    int start_address_set = 0;
    int address_format = kNonBanked;
    int include_erased = 0;
    unsigned long srec_size = 16;
    int podex_25 = 0;
    int podex_bug = 0;
    int keep_lrae = 0;
    int tbdml_bulk = 0;
    char data_dir[kDataDirSize] = {};  // default_data_dir() (base/install_dirs.h)
};

// The run's settings record.
[[nodiscard]] Settings& settings();

// Puts every field back to its default, data_dir included.
void settings_reset();

}  // namespace zelv
