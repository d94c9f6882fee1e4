#include "cli/driver.h"

#include <cstdio>
#include <cstring>

#include "base/console.h"
#include "cli/interface_table.h"
#include "cli/options.h"
#include "cli/preread.h"
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

// One warning for each connection option the interface does not read: a user who gives -Y
// to the serial monitor should not believe it changed anything.
void warn_unused_options(const InterfaceOps& entry, const char* interface) {
    if (entry.connection_options == nullptr) {
        return;
    }
    const Settings& s = settings();
    const struct {
        char letter;
        bool given;
    } options[] = {{'p', s.port != nullptr}, {'b', s.baud != 0}, {'o', s.osc != 0 && s.podex_25 == 0},
                   {'Y', s.tbdml_bulk != 0}, {'Z', s.keep_lrae != 0}};
    for (const auto& option : options) {
        if (option.given && std::strchr(entry.connection_options, option.letter) == nullptr) {
            report_warning("-%c has no effect with interface %s\n", option.letter, interface);
        }
    }
}

// The operations the interface refuses whatever the target are refused before anything is
// opened: their slots only report, and a later refusal would come after earlier operations
// had changed the target.
bool refuses(const InterfaceOps& entry, int letter) {
    if (letter == kOptionVerifyFlash || letter == kOptionVerifyEeprom) {
        return (letter == kOptionVerifyFlash ? entry.flash_verify : entry.eeprom_verify) == nullptr;
    }
    return entry.refused_operations != nullptr && letter > 0 && letter < 0x100 &&
           std::strchr(entry.refused_operations, letter) != nullptr;
}

int refuse_unsupported(const InterfaceOps& entry, int argc, char** argv) {
    options_restart();
    Operation operation{};
    while (options_next_operation(argc, argv, &operation)) {
        if (refuses(entry, operation.letter)) {
            const int result = perform(entry, operation);
            if (result != 0) {
                return result;
            }
        }
    }
    return 0;
}

// Everything that can be judged before the interface opens: the description, the model, the
// options the interface ignores or refuses, and every file of the command line.
int prepare_run(const InterfaceOps& entry, int argc, char** argv) {
    if (description_load() != 0) {
        return 1;
    }
    description_warn_unknown_keys();
    if (target_model_build() != 0) {
        return 1;
    }
    warn_unused_options(entry, settings().interface);
    if (refuse_unsupported(entry, argc, argv) != 0 ||
        preread_before_open(argc, argv, entry) != 0) {
        return 1;
    }
    return 0;
}

int run_operations(const InterfaceOps& entry, int argc, char** argv) {
    if (entry.open() != 0) {
        return 1;
    }
    if (preread_after_open(argc, argv) != 0) {
        (void)entry.close();
        return 1;
    }
    options_restart();
    Operation operation{};
    while (options_next_operation(argc, argv, &operation)) {
        if (perform(entry, operation) != 0) {
            (void)entry.close();
            return 1;
        }
    }
    return entry.close() != 0 ? 1 : 0;
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
    int status = prepare_run(*entry, argc, argv);
    if (status == 0) {
        status = run_operations(*entry, argc, argv);
    }
    preread_end();
    description_free();
    return status;
}

}  // namespace zelv
