// The script runner: the oracle's machine (flat memory, registers from the script, no
// interrupts) around the CPU12 core, with the oracle's output lines.
#include "mcu/cpu12/script_runner.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>

namespace zelv::sim::cpu12 {
namespace {

bool parse_hex(const std::string& word, uint32_t max, uint32_t* value) {
    const char* s = word.c_str();
    if (*s == '$') {
        ++s;
    } else if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s += 2;
    }
    if (std::strchr("0123456789abcdefABCDEF", *s) == nullptr || *s == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(s, &end, 16);
    if (*end != '\0' || errno != 0 || v > max) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

bool parse_bytes(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string digits;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '_') {
            continue;
        }
        if (std::strchr("0123456789abcdefABCDEF", c) == nullptr || c == '\0') {
            return false;
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes->push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

bool set_register(std::string name, const std::string& text, Script* script) {
    for (char& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    uint32_t v = 0;
    Registers& r = script->regs;
    const bool wide = name == "d" || name == "x" || name == "y" || name == "sp" ||
                      name == "s" || name == "pc";
    if (!parse_hex(text, wide ? 0xFFFF : 0xFF, &v)) {
        return false;
    }
    if (name == "a") r.a = static_cast<uint8_t>(v);
    else if (name == "b") r.b = static_cast<uint8_t>(v);
    else if (name == "d") r.set_d(static_cast<uint16_t>(v));
    else if (name == "x") r.x = static_cast<uint16_t>(v);
    else if (name == "y") r.y = static_cast<uint16_t>(v);
    else if (name == "sp" || name == "s") r.sp = static_cast<uint16_t>(v);
    else if (name == "pc") r.pc = static_cast<uint16_t>(v);
    else if (name == "ccr" || name == "cc") r.ccr = static_cast<uint8_t>(v);
    else if (name == "ppage" || name == "page") script->ppage = static_cast<uint8_t>(v);
    else return false;
    return true;
}

bool parse_line(const std::string& line, Script* script) {
    std::istringstream in(line);
    std::string word, first, second;
    if (!(in >> word)) {
        return true;
    }
    if (word == "load" && (in >> first)) {
        std::string rest;
        std::getline(in, rest);
        uint32_t address = 0;
        ScriptLoad load;
        if (!parse_hex(first, 0xFFFF, &address) || !parse_bytes(rest, &load.bytes) ||
            address + load.bytes.size() > 0x10000) {
            return false;
        }
        load.address = static_cast<uint16_t>(address);
        script->loads.push_back(std::move(load));
        return true;
    }
    in >> first;
    const bool more = static_cast<bool>(in >> second);
    std::string extra;
    if (in >> extra) {
        return false;
    }
    if (word == "reg") {
        const size_t eq = first.find('=');
        if (!more && eq != std::string::npos) {
            return set_register(first.substr(0, eq), first.substr(eq + 1), script);
        }
        return more && set_register(first, second, script);
    }
    if (word == "dump" && more) {
        uint32_t address = 0, length = 0;
        if (!parse_hex(first, 0xFFFF, &address) || !parse_hex(second, 0x10000, &length) ||
            address + length > 0x10000) {
            return false;
        }
        script->dumps.push_back({static_cast<uint16_t>(address), length});
        return true;
    }
    if ((word == "steps" || word == "max-steps") && !first.empty() && !more) {
        char* end = nullptr;
        errno = 0;
        script->max_steps = std::strtoull(first.c_str(), &end, 0);
        return first[0] != '-' && *end == '\0' && errno == 0;
    }
    if (word == "fill" && !first.empty() && !more) {
        uint32_t v = 0;
        if (!parse_hex(first, 0xFF, &v)) {
            return false;
        }
        script->fill = static_cast<uint8_t>(v);
        return true;
    }
    if (word == "cpu" && !more) {
        return first == "hc12" || first == "hcs12";
    }
    if (word == "trace" && first.empty()) {
        script->trace = true;
        return true;
    }
    return false;
}

void print_regs(FILE* out, const Registers& r) {
    std::fprintf(out, "a=%02x b=%02x x=%04x y=%04x sp=%04x pc=%04x ccr=%02x", r.a, r.b, r.x,
                 r.y, r.sp, r.pc, r.ccr);
}

// Why the instruction at `pc` was not executed, in the oracle's "XX YY: reason" form.
void describe_illegal(Bus& bus, uint16_t pc, char* text, size_t size) {
    const uint8_t op = bus.read8(pc);
    const uint8_t b1 = bus.read8(static_cast<uint16_t>(pc + 1));
    const char* why = "MOVB/MOVW allow no 9/16-bit offset or [n,r] postbyte";
    if (op == 0x04) {
        why = "reserved loop-primitive postbyte";
    } else if (kPage2[b1].mode == Mode::kTrap) {
        why = "TRAP / unimplemented page-2 opcode (the CPU12 traps via $FFF8)";
    }
    std::snprintf(text, size, "%02x %02x: %s", op, b1, why);
}

}  // namespace

int parse_script(const std::string& text, const char* name, Script* script) {
    try {
        std::istringstream in(text);
        std::string line;
        for (unsigned number = 1; std::getline(in, line); ++number) {
            const size_t hash = line.find('#');
            if (hash != std::string::npos) {
                line.erase(hash);
            }
            if (!parse_line(line, script)) {
                std::fprintf(stderr,
                             "zelvanor-sim: %s:%u: cannot parse line (expected: load ADDR HEX | "
                             "reg NAME VALUE | dump ADDR LEN | steps N | fill XX | "
                             "cpu hc12|hcs12 | trace)\n",
                             name, number);
                return EINVAL;
            }
        }
        return 0;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "zelvanor-sim: not enough memory\n");
        return ENOMEM;
    }
}

int load_script(const char* path, Script* script) {
    FILE* file = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "r");
    if (file == nullptr) {
        const int error = errno;
        std::fprintf(stderr, "zelvanor-sim: cannot open %s (%s)\n", path, std::strerror(error));
        return error;
    }
    std::string text;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    if (file != stdin) {
        std::fclose(file);
    }
    return parse_script(text, path, script);
}

void run_script(const Script& script, Bus& bus, FILE* out) {
    if (auto* flat = dynamic_cast<FlatBus*>(&bus); flat != nullptr) {
        flat->memory().fill(script.fill);
    }
    for (const ScriptLoad& load : script.loads) {
        for (size_t i = 0; i < load.bytes.size(); ++i) {
            bus.write8(static_cast<uint16_t>(load.address + i), load.bytes[i]);
        }
    }
    bus.set_ppage(script.ppage);
    Cpu12 cpu(bus, {.stop_before_bgnd = true, .stop_before_illegal = true});
    cpu.regs() = script.regs;
    if (script.trace) {
        std::fputs("init ", out);
        print_regs(out, cpu.regs());
        std::fputc('\n', out);
    }
    const char* stop = "steps";
    char detail[160] = "";
    uint64_t steps = 0;
    while (steps < script.max_steps) {
        const uint16_t pc = cpu.regs().pc;
        const uint8_t op = bus.read8(pc);
        const uint8_t op2 = bus.read8(static_cast<uint16_t>(pc + 1));
        const StepResult s = cpu.step();
        if (!s.executed) {
            stop = s.stop == Stop::kBgnd ? "bgnd" : "illegal";
            if (s.stop == Stop::kIllegal) {
                describe_illegal(bus, pc, detail, sizeof detail);
            }
            break;
        }
        ++steps;
        if (script.trace) {
            std::fprintf(out, "step %llu at %04x op %02x", static_cast<unsigned long long>(steps),
                         pc, op);
            if (op == 0x18) {
                std::fprintf(out, " %02x", op2);
            }
            std::fputs(": ", out);
            print_regs(out, cpu.regs());
            std::fputc('\n', out);
        }
        if (s.stop == Stop::kWai || s.stop == Stop::kStop) {
            stop = s.stop == Stop::kWai ? "wai" : "stop";
            break;
        }
    }
    std::fprintf(out, "stop %s%s%s\nsteps %llu\nregs ", stop, *detail ? " " : "", detail,
                 static_cast<unsigned long long>(steps));
    print_regs(out, cpu.regs());
    std::fputc('\n', out);
    for (const ScriptDump& dump : script.dumps) {
        for (uint32_t i = 0; i < dump.length; ++i) {
            if (i % 16 == 0) {
                std::fprintf(out, "%smem %04x:", i ? "\n" : "", dump.address + i);
            }
            std::fprintf(out, " %02x", bus.read8(static_cast<uint16_t>(dump.address + i)));
        }
        if (dump.length != 0) {
            std::fputc('\n', out);
        }
    }
}

int script_main(int argc, char** argv) {
    const char* path = nullptr;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0) {
            trace = true;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            path = nullptr;
            break;
        }
    }
    if (path == nullptr) {
        std::fprintf(stderr, "zelvanor-sim: usage: zelvanor-sim --run SCRIPT|- [--trace]\n");
        return 2;
    }
    Script script;
    if (load_script(path, &script) != 0) {
        return 2;
    }
    script.trace = script.trace || trace;
    try {
        auto bus = std::make_unique<FlatBus>();
        run_script(script, *bus, stdout);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "zelvanor-sim: not enough memory\n");
        return 2;
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 2;
}

}  // namespace zelv::sim::cpu12
