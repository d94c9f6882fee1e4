// The virtual MCU's background debug module, as a BDM pod sees it on the BKGD line.
//
// How this BDM works (after the HCS12 BDM; the HC12's is the same without security, ACK and
// GO_UNTIL):
// - Resets. A reset with BKGD held low starts the part in special single-chip mode with the
//   CPU in active background mode (BDMACT) and ENBDM set; a secured part's BDM firmware then
//   checks whether FLASH and EEPROM are all erased and, if so, sets UNSEC: the part is
//   unsecured until the next reset. A reset with BKGD high starts normal single-chip mode
//   with the CPU running its program (BDMACT and ENBDM clear). While the reset line is held
//   low the part answers nothing.
// - Hardware commands (READ/WRITE_BYTE, _WORD and their BD forms, BACKGROUND) work whether
//   the CPU runs or not. The BD forms see 0xFF00-0xFFFF as the BDM's own block: BDMSTS at
//   0xFF01 (ENBDM and CLKSW writable), BDMCCR at 0xFF06 (the CCR, restored on GO), BDMINR at
//   0xFF07 (the register block's position, read-only); the rest of it, the BDM firmware, reads
//   0x00 and ignores writes. The plain forms see the map as the CPU does.
// - Byte commands carry a whole bus word: a read returns the aligned word around the address,
//   the neighbouring byte as it stands in the other half (so a host that takes the wrong
//   half reads the neighbour; only the addressed byte is read on the bus); a write takes its
//   byte from the half its address selects (high for even, low for odd) and writes only
//   that byte. Word commands ignore address bit 0.
// - Firmware commands (READ_NEXT, WRITE_NEXT, READ/WRITE of PC, D, X, Y, SP, GO, GO_UNTIL,
//   TRACE1, TAGGO) only work in active background mode. READ_NEXT and WRITE_NEXT advance X by
//   2 first, then access the word at X.
// - A secured part (UNSEC clear) gives the BDM nothing outside the register block in special
//   mode: reads there give 0x00 and writes are dropped, firmware commands are ignored, while
//   the register block (the FLASH and EEPROM command registers among it) and the BD block
//   stay reachable, so the part can be mass-erased. In normal mode a secured part's BDM
//   answers nothing at all.
// - Anything the part does not answer reads as an idle line: 0xFFFF.
// - Leaving background mode at a PC hands the CPU first to native code (see NativeCode) that
//   recognises what lies there by its signature (the virtual target's stand-in agents);
//   otherwise the CPU12 core (mcu_core.h) runs the program instruction by instruction, on
//   the MCU's clock, until it executes BGND (BDMACT sets, as on silicon), a BACKGROUND
//   command or a reset stops it. TRACE1 executes one instruction and returns to background
//   mode. Without a core attached the CPU only counts as running, and TRACE1 changes nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "mcu/mcu_core.h"
#include "mcu/virtual_mcu.h"

namespace zelv::sim {

namespace bdm {
inline constexpr uint16_t kBlockStart = 0xFF00;  // the BD block, with the BD commands
inline constexpr uint16_t kBdmsts = 0xFF01;
inline constexpr uint16_t kBdmccr = 0xFF06;
inline constexpr uint16_t kBdminr = 0xFF07;
inline constexpr uint8_t kEnbdm = 0x80;
inline constexpr uint8_t kBdmact = 0x40;
inline constexpr uint8_t kEntag = 0x20;
inline constexpr uint8_t kSdv = 0x10;
inline constexpr uint8_t kTrace = 0x08;
inline constexpr uint8_t kClksw = 0x04;
inline constexpr uint8_t kUnsec = 0x02;
inline constexpr uint16_t kIdleLine = 0xFFFF;  // what a part that does not answer gives
inline constexpr uint8_t kResetCcr = 0xD8;     // S, X and I set
}  // namespace bdm

// The CPU registers, in the order of the pods' register index.
enum class CpuRegister : unsigned { kPc = 0, kD = 1, kX = 2, kY = 3, kSp = 4 };

struct CpuState {
    uint16_t pc = 0;
    uint16_t d = 0;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t sp = 0;
    uint8_t ccr = bdm::kResetCcr;
};

// How the CPU leaves background mode.
enum class RunKind { kGo, kGoUntil, kTrace1, kTagGo };

// What native code did with the CPU.
struct RunOutcome {
    enum Kind {
        kNotRecognised,  // not this code's: ask the next, or let the CPU run
        kBackground,     // done; back in active background mode after busy_ms
        kRunning,        // the CPU keeps running (the code never returns to background mode)
    };
    Kind kind = kNotRecognised;
    unsigned busy_ms = 0;  // how long the code runs before it enters background mode
};

// Code the virtual CPU carries out natively in place of executing instructions: the RAM
// agents, recognised by what lies at the PC. run may read and write memory and the
// registers as the code would leave them.
class NativeCode {
public:
    NativeCode() = default;
    NativeCode(const NativeCode&) = delete;
    NativeCode& operator=(const NativeCode&) = delete;
    virtual ~NativeCode() = default;

    [[nodiscard]] virtual RunOutcome run(VirtualMcu& mcu, CpuState& cpu, RunKind kind) = 0;
};

class McuBdm {
public:
    // clock: milliseconds on a monotonic clock (nullptr: the system's); native code's
    // busy time runs on it.
    explicit McuBdm(VirtualMcu& mcu, uint64_t (*clock)() = nullptr);

    // Native code to offer a run to, in the order added; not owned.
    void add_native_code(NativeCode* code) { native_.push_back(code); }
    // The core that runs programs no native code recognises; not owned.
    void attach_core(McuCore* core) { core_ = core; }

    // The reset line: held low (nothing answers), or released with BKGD low (special
    // single-chip mode, background mode) or high (normal mode, running).
    void hold_reset();
    void reset_special();
    void reset_normal();

    [[nodiscard]] bool in_reset() const { return in_reset_; }
    [[nodiscard]] bool active();  // BDMACT
    [[nodiscard]] uint8_t status();
    [[nodiscard]] const CpuState& cpu() const { return cpu_; }
    // True while a secured part keeps the BDM out of memory (UNSEC clear).
    [[nodiscard]] bool locked() const;
    // True while the BDM answers at all: out of reset, and not a secured part in normal mode.
    [[nodiscard]] bool answers() const;

    // Hardware commands. bd: with the BD block in the map.
    [[nodiscard]] uint16_t read_byte(uint16_t address, bool bd);
    void write_byte(uint16_t address, uint16_t lanes, bool bd);
    [[nodiscard]] uint16_t read_word(uint16_t address, bool bd);
    void write_word(uint16_t address, uint16_t value, bool bd);
    void background();
    void ack(bool enable);
    [[nodiscard]] bool acks() const { return ack_; }

    // Firmware commands.
    [[nodiscard]] uint16_t read_next();
    void write_next(uint16_t value);
    [[nodiscard]] uint16_t read_register(CpuRegister which);
    void write_register(CpuRegister which, uint16_t value);
    void run(RunKind kind);

private:
    [[nodiscard]] bool firmware_ready();
    [[nodiscard]] bool reachable(uint16_t address) const;
    [[nodiscard]] uint8_t read_bd(uint16_t address);
    void write_bd(uint16_t address, uint8_t value);
    // access: a real bus read (false: the byte only rides along in the other half).
    [[nodiscard]] uint8_t read_memory(uint16_t address, bool bd, bool access);
    void write_memory(uint16_t address, uint8_t value, bool bd);
    void settle();
    [[nodiscard]] uint64_t now() const { return clock_(); }
    [[nodiscard]] uint16_t& register_slot(CpuRegister which);
    void to_core(RunKind kind);
    void from_core();  // the core's registers back into cpu_
    void stop_core();

    VirtualMcu& mcu_;
    uint64_t (*clock_)();
    std::vector<NativeCode*> native_;
    McuCore* core_ = nullptr;
    CpuState cpu_;
    uint8_t bdmsts_ = 0;
    bool in_reset_ = false;
    bool ack_ = false;
    bool returning_ = false;  // native code runs and enters background mode at background_at_
    uint64_t background_at_ = 0;
};

}  // namespace zelv::sim
