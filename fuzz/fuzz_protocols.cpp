// The protocols' reply handling: one target per interface family (chosen at build time by
// ZELV_FUZZ_PROTOCOL), each opening its interface on the shipped DP256 description and
// running a read through it, every reply taken from the input by the fake link.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/interface_ops.h"
#include "base/settings.h"
#include "fuzz_input.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
extern const InterfaceOps ZELV_FUZZ_ENTRY;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace zelv;
    fuzz::fresh_run();
    Settings& s = settings();
    s.target = ZELV_FUZZ_DESCRIPTION;
    s.port = "fuzz";
    s.osc = 16000000;
    s.verify = 1;
    s.force = 1;
    std::snprintf(s.data_dir, sizeof s.data_dir, "%s", ZELV_FUZZ_DATA_DIR);
#ifdef ZELV_FUZZ_CHDIR
    // The description names its agent relative to the top of the source tree.
    if (chdir(ZELV_FUZZ_CHDIR) != 0) {
        return 0;
    }
#endif
    if (description_load() != 0 || target_model_build() != 0) {
        return 0;
    }
    fuzz::replies_set(data, size);
    const std::string out = "/tmp/zelv-fuzz-out-" + std::to_string(getpid()) + ".s19";
    const InterfaceOps& entry = ZELV_FUZZ_ENTRY;
    if (entry.open() == 0) {
        if (entry.eeprom_read != nullptr) {
            (void)entry.eeprom_read(out.c_str());
        }
        (void)entry.flash_read(out.c_str());
        (void)entry.close();
    }
    description_free();
    return 0;
}
