// A CPU12 core (HC12/HCS12 instruction set, HCS12 timing) that runs programs instruction by
// instruction on any Bus. The caller owns time: every step reports the cycles it took, and
// the states where the CPU stops on its own (BGND, WAI, STOP) come back as stop reasons.
#pragma once

#include <cstdint>

#include "mcu/cpu12/bus.h"
#include "mcu/cpu12/decode_table.h"

namespace zelv::sim::cpu12 {

// Condition code register bits.
enum : uint8_t {
    kCcrC = 0x01, kCcrV = 0x02, kCcrZ = 0x04, kCcrN = 0x08,
    kCcrI = 0x10, kCcrH = 0x20, kCcrX = 0x40, kCcrS = 0x80,
};

constexpr uint16_t kVectorReset = 0xFFFE;
constexpr uint16_t kVectorSwi = 0xFFF6;
constexpr uint16_t kVectorTrap = 0xFFF8;
constexpr uint16_t kVectorXirq = 0xFFF4;
constexpr uint16_t kVectorIrq = 0xFFF2;

struct Registers {
    uint8_t a = 0;
    uint8_t b = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t sp = 0;
    uint16_t pc = 0;
    uint8_t ccr = kCcrS | kCcrX | kCcrI;  // as after reset
    uint16_t tmp2 = 0;                    // TFR/EXG register code 3 (reserved, kept)

    uint16_t d() const { return static_cast<uint16_t>(a << 8 | b); }
    void set_d(uint16_t d) {
        a = static_cast<uint8_t>(d >> 8);
        b = static_cast<uint8_t>(d);
    }
};

enum class Stop : uint8_t {
    kNone,     // the instruction ran; go on
    kBgnd,     // BGND: the CPU enters active background mode (the caller sets BDMACT)
    kWai,      // WAI executed (registers stacked), or still waiting for an interrupt
    kStop,     // STOP executed with S clear (registers stacked), or still stopped
    kIllegal,  // TRAP or a reserved encoding, not executed (only with stop_before_illegal)
    kBudget,   // run(): the cycle budget is spent
};

struct StepResult {
    Stop stop = Stop::kNone;
    uint32_t cycles = 0;    // bus cycles the instruction took (0 when nothing ran)
    uint16_t pc = 0;        // address of the instruction
    bool executed = false;  // false when waiting or stopping before BGND/illegal
};

struct RunResult {
    Stop stop = Stop::kNone;
    uint64_t cycles = 0;
    uint64_t instructions = 0;
};

struct Cpu12Options {
    // Report BGND without executing it, PC left at it (the script runner's convention). When
    // false, BGND executes: PC moves past it and the step reports kBgnd.
    bool stop_before_bgnd = false;
    // Report TRAP and reserved encodings (reserved loop-primitive postbytes, MOVB/MOVW with
    // a 9/16-bit or [n16,r] operand) without executing them. When false they take the
    // unimplemented-opcode trap through 0xFFF8 as the CPU does.
    bool stop_before_illegal = false;
};

class Cpu12 {
public:
    explicit Cpu12(Bus& bus, Cpu12Options options = {}) : bus_(bus), options_(options) {}

    Registers& regs() { return r_; }
    const Registers& regs() const { return r_; }
    Bus& bus() { return bus_; }

    // Reset: CCR S, X, I set, PC from the reset vector, any wait ended.
    void reset();
    // Writes CCR as software does: X can be cleared but never set.
    void set_ccr_by_software(uint8_t value);

    // One instruction (or none, when waiting or stopping before BGND/illegal).
    StepResult step();
    // Instructions until a stop reason or until at least max_cycles have been used.
    RunResult run(uint64_t max_cycles);

    Stop wait_state() const { return wait_; }
    // Takes an interrupt through `vector`: stacks the registers (unless WAI or STOP already
    // did), sets I (and X for XIRQ), ends any wait. Returns the cycles it took.
    uint32_t interrupt(uint16_t vector, bool xirq = false);
    // Leaves WAI/STOP without an interrupt (e.g. the BDM taking over); registers stay stacked.
    void end_wait() { wait_ = Stop::kNone; }

private:
    // Program fetch and data access.
    uint8_t fetch8();
    uint16_t fetch16();
    uint8_t rd8(uint16_t a) { return bus_.read8(a); }
    uint16_t rd16(uint16_t a) { return bus_.read16(a); }
    void wr8(uint16_t a, uint8_t v) { bus_.write8(a, v); }
    void wr16(uint16_t a, uint16_t v) { bus_.write16(a, v); }
    void push8(uint8_t v);
    void push16(uint16_t v);
    uint8_t pull8();
    uint16_t pull16();
    void stack_all(uint16_t return_address);
    void unstack_all();

    // Indexed addressing (indexed.cpp): reads the postbyte and its offset bytes at PC,
    // applies auto increment/decrement, follows indirection; records the cycle class.
    uint16_t indexed_ea(bool follow_indirect = true);
    uint16_t index_reg(uint8_t code) const;
    void set_index_reg(uint8_t code, uint16_t value);
    // Effective address for the 0x80-0xFF column modes: 1 direct, 2 indexed, 3 extended.
    uint16_t operand_ea(unsigned mode);
    bool branch_condition(uint8_t low_nibble) const;

    // Execution (exec_page1.cpp, exec_page2.cpp, exec_special.cpp, fuzzy.cpp).
    void exec_page1(uint8_t op);
    void exec_alu_column(uint8_t op);
    void exec_rmw(uint8_t op);
    void exec_misc(uint8_t op);
    void exec_page2(uint8_t op);
    void exec_loop();
    void exec_transfer();
    void exec_bit_op(uint8_t op);
    void exec_call(uint8_t op);
    void exec_move(uint8_t op);
    void exec_divide(uint8_t op);
    void exec_minmax(uint8_t op);
    void exec_daa();
    void exec_emacs();
    void exec_mem();
    void exec_rev(bool weighted);
    void exec_wav(bool resume);
    void exec_tbl(bool extended);
    void take_trap(uint16_t vector);
    bool illegal_at(uint16_t pc);

    uint8_t reg8(uint8_t code) const;
    uint16_t reg16(uint8_t code) const;
    void put_reg(uint8_t code, uint16_t value);

    Bus& bus_;
    Cpu12Options options_;
    Registers r_;
    Stop wait_ = Stop::kNone;
    // Set while an instruction runs.
    uint16_t insn_pc_ = 0;
    uint8_t cycle_sel_ = 0;     // index into the instruction's cycle entry
    uint32_t extra_cycles_ = 0; // data-dependent cycles beyond the table's
    Stop insn_stop_ = Stop::kNone;
};

}  // namespace zelv::sim::cpu12
