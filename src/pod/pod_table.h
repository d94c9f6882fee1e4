// The BDM pod driver table: the contract every BDM pod fills in.
//
// The BDM engine drives the target's background debug module through one constant table of
// primitives per pod and never knows which pod it talks to. The table's operations follow
// the HCS12 BDM command set (hardware commands such as READ_BYTE, firmware commands such as
// READ_NEXT and GO) plus the pod-level open, close, resets and block transfers.
//
// Conventions for every slot:
// - Addresses are 16-bit addresses of the target's local map. The BD operations (read_bd_*,
//   write_bd_*) see the map with the BDM register block switched in, BDMSTS at 0xFF01 among
//   it; the others see it as the CPU does.
// - Words are host values; the pod converts to and from its wire order. A word at an even
//   address has the byte at that address as its high half, as the MCU stores words.
// - Each operation returns 0 or an errno value and reports its own failure through
//   report_error before it returns, except where a slot says it stays silent. A pod may also
//   return -1 without a message for a command its hardware refused.
// - The engine calls every operation but pod_open only between a successful pod_open and
//   pod_close.
// - A pod may leave a slot nullptr when its hardware lacks the command; the engine only calls
//   slots that every pod fills (pod_open, pod_close, both resets, read_bd_byte, read_byte,
//   read_word, write_byte, write_word, read_block, write_block, write_reg, go), so it never
//   tests a slot for emptiness.
#pragma once

#include <cstdint>

namespace zelv {

// The CPU registers by the index the table's register operations take.
enum RegisterIndex : unsigned {
    kRegisterPc = 0,
    kRegisterD = 1,
    kRegisterX = 2,
    kRegisterY = 3,
    kRegisterSp = 4,
};

struct BdmPod {
    // 0. Opens the host link and brings the pod up, reading the command-line settings it
    // needs (osc, port, baud, verbose, debug and the pod's own flags). On failure everything
    // it opened is closed again.
    int (*pod_open)();

    // 1. Closes the pod and its host link; the link's own close result is the result.
    int (*pod_close)();

    // 2. Resets the target so that it starts in normal mode and runs its own program.
    int (*reset_normal)();

    // 3. Resets the target into special single-chip mode with background mode active, ready
    // for BDM commands.
    int (*reset_special)();

    // 4. BACKGROUND: the CPU enters active background mode (when ENBDM is set).
    int (*background)();

    // 5, 6. ACK_ENABLE, ACK_DISABLE: the target's acknowledge pulses on or off.
    int (*ack_enable)();
    int (*ack_disable)();

    // 7. READ_BD_BYTE: one byte with the BDM register block in the map.
    int (*read_bd_byte)(uint16_t address, uint8_t* value);

    // 8. READ_BD_WORD: the word at an even address with the BDM register block in the map.
    int (*read_bd_word)(uint16_t address, uint16_t* value);

    // 9. READ_BYTE: one byte of target memory at any address, odd or even.
    int (*read_byte)(uint16_t address, uint8_t* value);

    // 10. READ_WORD: the word at an even address (the byte at the address is the high half).
    int (*read_word)(uint16_t address, uint16_t* value);

    // 11. WRITE_BD_BYTE: one byte with the BDM register block in the map.
    int (*write_bd_byte)(uint16_t address, uint8_t value);

    // 12. WRITE_BD_WORD: the word at an even address with the BDM register block in the map.
    int (*write_bd_word)(uint16_t address, uint16_t value);

    // 13. WRITE_BYTE: one byte at any address.
    int (*write_byte)(uint16_t address, uint8_t value);

    // 14. WRITE_WORD: the word at an even address, high half to the address.
    int (*write_word)(uint16_t address, uint16_t value);

    // 15. Reads length bytes from address upwards (wrapping at 16 bits) into buffer, byte for
    // byte in address order; any length and any alignment. Length 0 transfers nothing.
    int (*read_block)(uint16_t address, uint8_t* buffer, uint32_t length);

    // 16. Writes length bytes of data from address upwards; any length and alignment.
    int (*write_block)(uint16_t address, const uint8_t* data, uint32_t length);

    // 17. READ_NEXT: X is advanced by 2, then the word at X is read.
    int (*read_next)(uint16_t* value);

    // 18. Reads a CPU register. An index the pod does not know: EINVAL without a message.
    int (*read_reg)(unsigned index, uint16_t* value);

    // 19. WRITE_NEXT: X is advanced by 2, then the word is written at X.
    int (*write_next)(uint16_t value);

    // 20. Writes a CPU register (the engine sets the PC before go). An index the pod does not
    // know: EINVAL without a message, nothing sent.
    int (*write_reg)(unsigned index, uint16_t value);

    // 21. GO: leaves background mode and runs from the PC.
    int (*go)();

    // 22. GO_UNTIL: runs from the PC until the CPU returns to background mode.
    int (*go_until)();

    // 23. TRACE1: executes one instruction and returns to background mode.
    int (*trace1)();

    // 24. TAGGO: enables the instruction tags and runs from the PC.
    int (*taggo)();
};

static_assert(sizeof(BdmPod) == 25 * sizeof(int (*)()), "the pod driver table has 25 slots");

}  // namespace zelv
