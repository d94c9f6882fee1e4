#include "fakes/run_state.h"

#include "base/console.h"
#include "base/settings.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv::test {

void reset_run_state() {
    description_free();
    (void)description_get(nullptr, true);
    settings_reset();
    settings().verbose = 0;
    target() = TargetModel{};
    console_set_terminal(-1);
}

int load_description_text(const TempDir& dir, const std::string& text) {
    static std::string path;  // settings().target refers to it for the rest of the test
    path = dir.file("target.dat");
    write_file(path, text);
    settings().target = path.c_str();
    description_free();
    return description_load();
}

int build_target_from(const TempDir& dir, const std::string& text) {
    const int loaded = load_description_text(dir, text);
    if (loaded != 0) {
        return loaded;
    }
    const int verbose = settings().verbose;
    settings().verbose = 0;
    const int built = target_model_build();
    settings().verbose = verbose;
    return built;
}

std::string description_text(const std::string& flash_module, const std::string& eeprom_module,
                             const std::string& family, const std::string& extra) {
    return "info test target\n"
           "mcu MC9S12TEST\n"
           "family " +
           family +
           "\n"
           "ram_size 0x3000\n"
           "eeprom_module " +
           eeprom_module +
           "\n"
           "flash_module " +
           flash_module + "\n" + extra;
}

}  // namespace zelv::test
