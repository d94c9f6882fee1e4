// sim/faults: what each front and module can be told to get wrong. Plain settings and their
// parser; the code that carries a fault out lives with the part it affects.
//
// Faults that the virtual target can be told to show, so that every error path of the
// program can be reached. Given as --fault FAULT on the command line; tests fill FaultSet
// directly or through parse_fault.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "faults/usb_faults.h"
#include "mcu/virtual_mcu.h"

namespace zelv::sim {

// A fault tied to one command byte, from its (after + 1)-th occurrence on.
struct CommandFault {
    uint8_t command = 0;
    uint8_t value = 0;  // the error code, or the prompt character
    unsigned after = 0;
};

// One byte more than the protocol asks for, sent once after reply number `after` + 1
// (line noise, a glitching device).
struct ExtraByteFault {
    bool set = false;
    uint8_t value = 0x00;
    unsigned after = 0;
};

// Faults of the serial monitor.
struct SmFaults {
    ExtraByteFault extra;  // after the prompt of that command
    bool silent = false;
    unsigned silent_after = 0;          // commands answered before the monitor falls silent
    std::vector<CommandFault> errors;   // error code in the prompt in place of 0xE0
    std::vector<CommandFault> prompts;  // prompt character in place of '>'
    bool wrong_device = false;
    uint8_t device_code = 0xDC;  // first byte of the device information reply
    unsigned junk = 0;           // bytes sent before the first answer
    unsigned slow_erase_ms = 0;  // delay before the prompt of an erase
    unsigned babble_ms = 0;      // from the host's first byte on, noise every babble_ms
};

// Faults of the BDM12POD.
struct PodFaults {
    bool silent = false;
    unsigned silent_after = 0;  // replies sent before the pod falls silent
    bool truncate = false;
    unsigned truncate_after = 0;  // replies sent whole before every reply loses its last byte
    uint32_t cts = 0;             // CtsFault: CTS held high or low
    unsigned cts_after = 0;       // bytes the pod takes before CTS sticks
    bool wrong_version = false;
    uint8_t version_byte = 0;  // the version reply in place of the pod's own
    ExtraByteFault extra;      // after that reply
    bool slow_read = false;    // the reply to read number slow_read_after + 1 of ...
    uint16_t slow_read_address = 0;  // ... this address (byte or word, memory or BDM space)
    unsigned slow_read_ms = 0;       // ... comes this late, once
    unsigned slow_read_after = 0;
};

// Faults of the LRAE boot loader and of the agent it starts.
struct LraeFaults {
    unsigned deaf_probes = 0;              // probes that go unheard before the loader listens
    unsigned late_answer_ms = 0;           // the first probe heard is answered this late
    bool load_ack_wrong = false;           // the RAM load is acknowledged with load_ack ...
    uint8_t load_ack = 0x80;               // ... and the program is not started
    bool load_silent = false;              // the RAM load gets no acknowledge at all
    unsigned noise_at = 0;                 // byte after synchronisation (from 1) that arrives
                                           // with bit 0 flipped; 0 for none
    std::vector<CommandFault> frame_acks;  // acknowledge byte of a frame in place of 0x00
    std::vector<CommandFault> results;     // result byte of a command in place of its own
    bool bad_page_checksum = false;        // page reads after the first `after` ...
    unsigned bad_page_checksum_after = 0;  // ... end in a wrong checksum
    bool page_silence = false;             // page reads after the first `after` stop ...
    unsigned page_silence_after = 0;       // ... after page_silence_bytes bytes
    unsigned page_silence_bytes = 0x2000;
    bool osc_answer_wrong = false;  // the agent answers the oscillator frequency with osc_answer
    uint8_t osc_answer = 0x01;
};

// Faults of the BDM RAM agent (ram_agent.h): a command answered with a status of the
// fault's choosing instead of being carried out, or carried out without the agent ever
// returning to background mode; and a data buffer other than the one its file gives.
enum class AgentFaultKind { kStatus, kHang };

struct AgentCommandFault {
    AgentFaultKind kind = AgentFaultKind::kStatus;
    bool every = true;    // every command code, or only `command`
    uint8_t command = 0;  // the command code (0 is the initialise command)
    uint8_t status = 0;   // kStatus: the status the agent writes
    unsigned after = 0;   // runs of that command (or of any) that still behave
};

struct AgentFaults {
    std::vector<AgentCommandFault> commands;
    bool buffer_set = false;  // the agent reports and uses this buffer
    uint16_t buffer = 0;
    uint16_t buffer_size = 0;
};

struct FaultSet {
    SmFaults sm;
    PodFaults pod;
    LraeFaults lrae;
    std::vector<StuckByte> stuck;       // FLASH or EEPROM bytes that do not erase
    std::vector<uint32_t> weak_flash;   // FLASH bytes (storage offset) that do not program
    std::vector<uint32_t> weak_eeprom;  // EEPROM bytes (from its start) that do not program
    NvmFaults nvm;                      // FLASH and EEPROM commands that hang or fail
    AgentFaults agent;                  // the BDM RAM agent's refusals and hangs
    UsbFaults usb;                      // the virtual USB bus and the pod's replies
};

// Parses one fault (syntax in kFaultHelp) into faults. Returns 0, or EINVAL
// with a message.
[[nodiscard]] int parse_fault(const char* text, FaultSet* faults);

// A number of a fault's text: decimal or 0x hexadecimal, at most limit.
[[nodiscard]] bool parse_fault_number(const std::string& text, unsigned long limit,
                                      unsigned long* value);

// The fault syntax, as --help shows it.
extern const char* const kFaultHelp;

}  // namespace zelv::sim
