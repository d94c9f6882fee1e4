// Runs a CPU12 script in the oracle's format (load ADDR HEX..., reg NAME VALUE, dump ADDR LEN,
// steps N, fill XX, cpu hc12|hcs12, trace; '#' comments) and prints the oracle's output:
// "stop REASON", "steps N", "regs ...", "mem ADDR: ..." and, with tracing, an "init" line and
// one "step" line per instruction. BGND and TRAP/reserved encodings stop before execution.
//
// The runner takes any Bus: `zelvanor-sim --run` uses a FlatBus (64 KB of zeroed RAM); a run
// on a part's memory map (--part) passes the virtual MCU's bus to run_script() instead, with
// the loads applied through that bus (FLASH then needs its command sequence, as on the part).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mcu/cpu12/bus.h"
#include "mcu/cpu12/cpu12.h"

namespace zelv::sim::cpu12 {

struct ScriptLoad {
    uint16_t address = 0;
    std::vector<uint8_t> bytes;
};

struct ScriptDump {
    uint16_t address = 0;
    uint32_t length = 0;
};

struct Script {
    std::vector<ScriptLoad> loads;
    std::vector<ScriptDump> dumps;
    Registers regs;  // defaults as the oracle's: all 0, CCR $D0
    uint8_t ppage = 0;
    uint8_t fill = 0;
    uint64_t max_steps = 1000000;
    bool trace = false;
};

// Reads a script from `text` (named `name` in messages). EINVAL with a message on stderr
// for a line it cannot read.
[[nodiscard]] int parse_script(const std::string& text, const char* name, Script* script);
// Reads the file at `path` ("-" for standard input) and parses it.
[[nodiscard]] int load_script(const char* path, Script* script);

// Loads the script's memory and registers through `bus` (fill only on a FlatBus), runs it and
// prints the result to `out`.
void run_script(const Script& script, Bus& bus, FILE* out);

// zelvanor-sim --run SCRIPT [--trace]: returns the exit status (0, or 2 for bad input).
int script_main(int argc, char** argv);

}  // namespace zelv::sim::cpu12
