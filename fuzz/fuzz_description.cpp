// The target description loader, its number parsing and the target model built from it.
#include <cstdint>

#include "base/settings.h"
#include "fuzz_input.h"
#include "target/description.h"
#include "target/target_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    zelv::fuzz::fresh_run();
    const std::string path = zelv::fuzz::input_file(data, size, ".dat");
    zelv::settings().target = path.c_str();
    if (zelv::description_load() == 0) {
        static const char* const kKeys[] = {"ram_size",   "eeprom_size",   "flash_size",
                                            "ppage_base", "ppage_count",   "ppage_default",
                                            "lrae_size",  "flash_nb_base", "bdm_startup_delay"};
        for (const char* key : kKeys) {
            uint32_t value = 0;
            (void)zelv::description_number(key, &value, 7);
        }
        for (const char* v = zelv::description_get("bdm_init_byte", true); v != nullptr;
             v = zelv::description_next("bdm_init_byte")) {
        }
        (void)zelv::target_model_build();
    }
    zelv::description_free();
    zelv::settings().target = nullptr;
    return 0;
}
