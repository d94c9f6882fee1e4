#include "cli/driver.h"

#include <cstdio>

#include "base/console.h"
#include "cli/interface_table.h"
#include "cli/options.h"
#include "base/settings.h"
#include "target/description.h"
#include "target/target_model.h"

namespace zelv {
namespace {

int perform(const InterfaceOps& entry, const Operation& operation) {
    switch (operation.letter) {
        case 'R':
            return entry.reset();
        case 'X':
            return entry.ram_run(operation.argument);
        case 'U':
            return entry.unsecure();
        case 'S':
            return entry.secure();
        case 'A':
            return entry.eeprom_erase();
        case 'B':
            return entry.eeprom_read(operation.argument);
        case 'C':
            return entry.eeprom_write(operation.argument);
        case 'D':
            return entry.eeprom_protect(operation.argument);
        case 'E':
            return entry.flash_erase(0);
        case 'F':
            return entry.flash_erase(1);
        case 'G':
            return entry.flash_read(operation.argument);
        case 'H':
            return entry.flash_write(operation.argument);
        case kOptionVerifyFlash:
            return entry.flash_verify != nullptr ? entry.flash_verify(operation.argument)
                                                 : interface_not_supported("FLASH verify");
        case kOptionVerifyEeprom:
            return entry.eeprom_verify != nullptr ? entry.eeprom_verify(operation.argument)
                                                  : interface_not_supported("EEPROM verify");
        default:
            return 0;
    }
}

}  // namespace

int zelvanor_main(int argc, char** argv) {
    if (argc < 2) {
        print_banner(stderr);
        print_usage(stderr);
        return 1;
    }
    settings_reset();

    const int first = options_first_pass(argc, argv);
    if (first >= 0) {
        return first;
    }
    const InterfaceOps* entry = nullptr;
    if (options_check(argc, argv, &entry) != 0) {
        return 1;
    }

    if (settings().verbose) {
        print_banner(stdout);
    }
    if (description_load() != 0) {
        description_free();
        return 1;
    }
    if (target_model_build() != 0 || entry->open() != 0) {
        description_free();
        return 1;
    }

    options_restart();
    Operation operation{};
    while (options_next_operation(argc, argv, &operation)) {
        if (perform(*entry, operation) != 0) {
            (void)entry->close();
            description_free();
            return 1;
        }
    }
    const int closed = entry->close();
    description_free();
    return closed != 0 ? 1 : 0;
}

}  // namespace zelv
