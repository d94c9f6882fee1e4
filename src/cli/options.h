// The two passes over the command line: the first checks every option and fills the
// settings, the second yields the operation options in command-line order.
#pragma once

#include <cstdio>

#include "cli/interface_table.h"

namespace zelv {

inline constexpr const char* kVersion = ZELV_VERSION;

// The options that have only a long name, numbered past every letter.
inline constexpr int kOptionVersion = 0x100;
inline constexpr int kOptionVerifyFlash = 0x101;   // an operation, with a file
inline constexpr int kOptionVerifyEeprom = 0x102;  // an operation, with a file

// The banner line and its empty line.
void print_banner(FILE* stream);

// --version: program, version and build facts.
void print_version(FILE* stream);

// The usage text.
void print_usage(FILE* stream);

// First pass. Returns -1 when the run goes on, else the exit status (0 after -h or --version,
// 1 after a
// reported problem). Every option argument whose form can be judged without the target is
// checked here, the -D ranges among them, so that a mistake late on the line cannot stop a
// run after earlier operations have changed the target.
[[nodiscard]] int options_first_pass(int argc, char** argv);

// The checks after the first pass: no operands, -i and -t given, the podex names mapped,
// the interface found. Returns 0 with *entry set, or 1 after a reported problem.
[[nodiscard]] int options_check(int argc, char** argv, const InterfaceOps** entry);

// One operation option of the second pass.
struct Operation {
    int letter;            // the short option letter, or kOptionVerifyFlash/kOptionVerifyEeprom
    const char* argument;  // its argument, nullptr when it takes none
};

// Starts the second pass at the first argument.
void options_restart();

// Yields the next operation option; false when the command line is exhausted.
[[nodiscard]] bool options_next_operation(int argc, char** argv, Operation* operation);

}  // namespace zelv
