#include "faults/faults.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "modem/modem_lines.h"
#include "common/sim_log.h"

namespace zelv::sim {

const char* const kFaultHelp =
    "Faults (--fault FAULT, repeatable; numbers decimal or 0x hexadecimal):\n"
    "  silent[,after=N]          answer nothing (after answering N commands; the pod: after\n"
    "                            N replies)\n"
    "  error:CMD:CODE[,after=N]  prompt error CODE instead of 0xE0 for command byte CMD\n"
    "                            (from its occurrence N+1 on); a failing write or erase\n"
    "                            changes nothing, a read still sends its data\n"
    "  prompt:CMD[:CHAR][,after=N]\n"
    "                            prompt character CHAR (default 0x3F '?') instead of '>'\n"
    "  device:CODE               device information reply starts with CODE, not 0xDC\n"
    "  junk[:N]                  N bytes (default 5) of noise before the first answer\n"
    "  stuck-flash:OFFSET[:VALUE]\n"
    "  stuck-eeprom:OFFSET[:VALUE]\n"
    "                            the byte at OFFSET (FLASH: from the lowest page, as in\n"
    "                            the banked-linear image; EEPROM: from its start) erases\n"
    "                            to VALUE (default 0x00) instead of 0xFF\n"
    "  weak-flash:OFFSET\n"
    "  weak-eeprom:OFFSET        the byte at OFFSET (as for stuck-flash, stuck-eeprom) does\n"
    "                            not program: programming it reports success and leaves\n"
    "                            it as it was (0xFF after an erase)\n"
    "  slow-erase:MS             FLASH and EEPROM erase prompts come MS milliseconds late\n"
    "  flash-hang[:CMD][,after=N]\n"
    "                            the FLASH command CMD (every command when left out) never\n"
    "                            completes: CCIF stays clear until the next reset (from its\n"
    "                            launch N+1 on)\n"
    "  flash-pviol[:CMD][,after=N]\n"
    "  flash-accerr[:CMD][,after=N]\n"
    "                            launching it sets PVIOL or ACCERR instead of running it\n"
    "  eeprom-hang, eeprom-pviol, eeprom-accerr\n"
    "                            the same for EEPROM commands\n"
    "  nvm-busy:N                FLASH and EEPROM commands complete on the status read\n"
    "                            after N busy ones (default 2)\n"
    "  babble[:MS]               from the host's first byte on, the line carries a noise\n"
    "                            byte every MS milliseconds (default 10, 1 to 90) for\n"
    "                            ever, never a prompt, and the monitor answers nothing\n"
    "  The pod's (--pod):\n"
    "  truncate[,after=N]        every reply (after N whole ones) lacks its last byte\n"
    "  cts-high[,after=N]        CTS stays asserted (once the pod has taken N bytes)\n"
    "  cts-low[,after=N]         CTS stays negated (once the pod has taken N bytes)\n"
    "  version:BYTE              the version reply is BYTE\n"
    "  extra-byte[:VALUE][,after=N]\n"
    "                            one byte VALUE (default 0x00) more, once, after reply N+1\n"
    "                            (the serial monitor: after that command's prompt)\n"
    "  slow-read:ADDR:MS[,after=N]\n"
    "                            the reply to read N+1 of ADDR comes MS milliseconds late\n"
    "LRAE boot loader and agent (--boot lrae):\n"
    "  deaf:N                    the first N probes go unheard\n"
    "  late-answer:MS            the first probe heard is answered MS milliseconds late\n"
    "  load-ack:VALUE            the RAM load is acknowledged with VALUE instead of 0x80\n"
    "                            and the program is not started\n"
    "  load-silent               the RAM load is not acknowledged\n"
    "  noise:N                   the N-th byte after synchronisation arrives with bit 0\n"
    "                            flipped (the loader or agent then sees a checksum error)\n"
    "  frame-ack:CMD:VALUE[,after=N]\n"
    "                            the agent acknowledges frames of command CMD with VALUE\n"
    "  result:CMD:VALUE[,after=N]\n"
    "                            the agent's result byte for command CMD is VALUE (the\n"
    "                            command still runs)\n"
    "  page-checksum[,after=N]   page reads end in a wrong checksum\n"
    "  page-silent[:BYTES][,after=N]\n"
    "                            page reads stop after BYTES bytes (default 8192) and the\n"
    "                            agent hangs\n"
    "  osc-answer:VALUE          the agent answers the oscillator frequency with VALUE\n"
    "BDM RAM agent (--pod, once an agent file runs):\n"
    "  agent-status:CODE[:CMD][,after=N]\n"
    "                            the agent answers command CMD (every command when left\n"
    "                            out) with status CODE and does nothing (from its run N+1\n"
    "                            on): 1 oscillator invalid, 2 not supported, or any other\n"
    "  agent-hang[:CMD][,after=N]\n"
    "                            the agent carries out the command and writes its status\n"
    "                            but never returns to background mode\n"
    "  agent-buffer:ADDR:SIZE    the agent reports (and uses) this data buffer, e.g. an odd\n"
    "                            or too large size, instead of its file's\n";

namespace {

// Splits text at the separator; the pieces are copies.
bool split(const std::string& text, char separator, std::vector<std::string>* pieces) {
    try {
        pieces->clear();
        size_t start = 0;
        for (;;) {
            const size_t end = text.find(separator, start);
            pieces->push_back(text.substr(start, end - start));
            if (end == std::string::npos) {
                return true;
            }
            start = end + 1;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool parse_number(const std::string& text, unsigned long limit, unsigned long* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long parsed = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || parsed > limit) {
        return false;
    }
    *value = parsed;
    return true;
}

int bad(const char* text) {
    sim_error("invalid fault: %s (see --help)\n", text);
    return EINVAL;
}

}  // namespace

bool parse_fault_number(const std::string& text, unsigned long limit, unsigned long* value) {
    return parse_number(text, limit, value);
}

int parse_fault(const char* text, FaultSet* faults) {
    std::vector<std::string> options;
    std::vector<std::string> fields;
    if (!split(text, ',', &options) || !split(options[0], ':', &fields)) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    unsigned long after = 0;
    bool after_given = false;
    for (size_t i = 1; i < options.size(); ++i) {
        if (options[i].rfind("after=", 0) != 0 || after_given ||
            !parse_number(options[i].substr(6), 0xFFFFFFFFul, &after)) {
            return bad(text);
        }
        after_given = true;
    }
    const std::string& kind = fields[0];
    const size_t n = fields.size();
    unsigned long a = 0;
    unsigned long b = 0;
    try {
        if (kind == "silent" && n == 1) {
            faults->sm.silent = true;
            faults->sm.silent_after = static_cast<unsigned>(after);
            faults->pod.silent = true;
            faults->pod.silent_after = static_cast<unsigned>(after);
            return 0;
        }
        if (kind == "extra-byte" && (n == 1 || (n == 2 && parse_number(fields[1], 0xFF, &a)))) {
            const ExtraByteFault extra{true, static_cast<uint8_t>(a), static_cast<unsigned>(after)};
            faults->sm.extra = extra;
            faults->pod.extra = extra;
            return 0;
        }
        if (kind == "slow-read" && n == 3 && parse_number(fields[1], 0xFFFF, &a) &&
            parse_number(fields[2], 60000, &b)) {
            faults->pod.slow_read = true;
            faults->pod.slow_read_address = static_cast<uint16_t>(a);
            faults->pod.slow_read_ms = static_cast<unsigned>(b);
            faults->pod.slow_read_after = static_cast<unsigned>(after);
            return 0;
        }
        if (kind == "truncate" && n == 1) {
            faults->pod.truncate = true;
            faults->pod.truncate_after = static_cast<unsigned>(after);
            return 0;
        }
        if ((kind == "cts-high" || kind == "cts-low") && n == 1) {
            faults->pod.cts = kind == "cts-high" ? kCtsStuckHigh : kCtsStuckLow;
            faults->pod.cts_after = static_cast<unsigned>(after);
            return 0;
        }
        if (kind == "error" && n == 3 && parse_number(fields[1], 0xFF, &a) &&
            parse_number(fields[2], 0xFF, &b)) {
            faults->sm.errors.push_back(
                {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<unsigned>(after)});
            return 0;
        }
        if (kind == "prompt" && (n == 2 || n == 3) && parse_number(fields[1], 0xFF, &a) &&
            (n == 2 || parse_number(fields[2], 0xFF, &b))) {
            const auto character = static_cast<uint8_t>(n == 2 ? '?' : b);
            faults->sm.prompts.push_back(
                {static_cast<uint8_t>(a), character, static_cast<unsigned>(after)});
            return 0;
        }
        if (kind.rfind("usb-", 0) == 0) {
            return parse_usb_fault(fields, static_cast<unsigned>(after), after_given, &faults->usb)
                       ? 0
                       : bad(text);
        }
        const bool flash = kind.rfind("flash-", 0) == 0;
        if ((flash || kind.rfind("eeprom-", 0) == 0) && (n == 1 || n == 2) &&
            (n == 1 || parse_number(fields[1], 0xFF, &a))) {
            const std::string what = kind.substr(flash ? 6 : 7);
            NvmCommandFault fault;
            if (what == "hang") {
                fault.kind = NvmFaultKind::kHang;
            } else if (what == "pviol") {
                fault.kind = NvmFaultKind::kProtectionViolation;
            } else if (what == "accerr") {
                fault.kind = NvmFaultKind::kAccessError;
            } else {
                return bad(text);
            }
            fault.command = static_cast<uint8_t>(a);
            fault.after = static_cast<unsigned>(after);
            (flash ? faults->nvm.flash : faults->nvm.eeprom).push_back(fault);
            return 0;
        }
        if ((kind == "frame-ack" || kind == "result") && n == 3 &&
            parse_number(fields[1], 0xFF, &a) && parse_number(fields[2], 0xFF, &b)) {
            (kind == "result" ? faults->lrae.results : faults->lrae.frame_acks)
                .push_back({static_cast<uint8_t>(a), static_cast<uint8_t>(b),
                            static_cast<unsigned>(after)});
            return 0;
        }
        if (kind == "page-checksum" && n == 1) {
            faults->lrae.bad_page_checksum = true;
            faults->lrae.bad_page_checksum_after = static_cast<unsigned>(after);
            return 0;
        }
        if (kind == "page-silent" && (n == 1 || (n == 2 && parse_number(fields[1], 0x3FFF, &a)))) {
            faults->lrae.page_silence = true;
            faults->lrae.page_silence_after = static_cast<unsigned>(after);
            faults->lrae.page_silence_bytes = n == 1 ? 0x2000 : static_cast<unsigned>(a);
            return 0;
        }
        if ((kind == "agent-status" && (n == 2 || n == 3) && parse_number(fields[1], 0xFF, &b) &&
             (n == 2 || parse_number(fields[2], 0xFF, &a))) ||
            (kind == "agent-hang" && (n == 1 || (n == 2 && parse_number(fields[1], 0xFF, &a))))) {
            AgentCommandFault fault;
            const bool status = kind == "agent-status";
            fault.kind = status ? AgentFaultKind::kStatus : AgentFaultKind::kHang;
            fault.every = n == (status ? 2u : 1u);
            fault.command = static_cast<uint8_t>(a);
            fault.status = static_cast<uint8_t>(b);
            fault.after = static_cast<unsigned>(after);
            faults->agent.commands.push_back(fault);
            return 0;
        }
        if (after_given) {
            return bad(text);  // the other kinds have no occurrence count
        }
        if (kind == "agent-buffer" && n == 3 && parse_number(fields[1], 0xFFFF, &a) &&
            parse_number(fields[2], 0xFFFF, &b)) {
            faults->agent.buffer_set = true;
            faults->agent.buffer = static_cast<uint16_t>(a);
            faults->agent.buffer_size = static_cast<uint16_t>(b);
            return 0;
        }
        if (kind == "nvm-busy" && n == 2 && parse_number(fields[1], 1000000, &a)) {
            faults->nvm.busy_polls = static_cast<unsigned>(a);
            return 0;
        }
        if (kind == "deaf" && n == 2 && parse_number(fields[1], 0xFFFF, &a)) {
            faults->lrae.deaf_probes = static_cast<unsigned>(a);
            return 0;
        }
        if (kind == "late-answer" && n == 2 && parse_number(fields[1], 60000, &a)) {
            faults->lrae.late_answer_ms = static_cast<unsigned>(a);
            return 0;
        }
        if (kind == "load-ack" && n == 2 && parse_number(fields[1], 0xFF, &a)) {
            faults->lrae.load_ack_wrong = true;
            faults->lrae.load_ack = static_cast<uint8_t>(a);
            return 0;
        }
        if (kind == "load-silent" && n == 1) {
            faults->lrae.load_silent = true;
            return 0;
        }
        if (kind == "noise" && n == 2 && parse_number(fields[1], 0xFFFFFFFFul, &a) && a > 0) {
            faults->lrae.noise_at = static_cast<unsigned>(a);
            return 0;
        }
        if (kind == "osc-answer" && n == 2 && parse_number(fields[1], 0xFF, &a)) {
            faults->lrae.osc_answer_wrong = true;
            faults->lrae.osc_answer = static_cast<uint8_t>(a);
            return 0;
        }
        if (kind == "device" && n == 2 && parse_number(fields[1], 0xFF, &a)) {
            faults->sm.wrong_device = true;
            faults->sm.device_code = static_cast<uint8_t>(a);
            return 0;
        }
        if (kind == "junk" && (n == 1 || (n == 2 && parse_number(fields[1], 200, &a)))) {
            faults->sm.junk = n == 1 ? 5 : static_cast<unsigned>(a);
            return 0;
        }
        if ((kind == "stuck-flash" || kind == "stuck-eeprom") && (n == 2 || n == 3) &&
            parse_number(fields[1], 0xFFFFFFFFul, &a) &&
            (n == 2 || parse_number(fields[2], 0xFF, &b))) {
            faults->stuck.push_back({kind == "stuck-flash" ? Region::kFlash : Region::kEeprom,
                                     static_cast<uint32_t>(a), static_cast<uint8_t>(b)});
            return 0;
        }
        if (kind == "version" && n == 2 && parse_number(fields[1], 0xFF, &a)) {
            faults->pod.wrong_version = true;
            faults->pod.version_byte = static_cast<uint8_t>(a);
            return 0;
        }
        if ((kind == "weak-flash" || kind == "weak-eeprom") && n == 2 &&
            parse_number(fields[1], 0xFFFFFFFFul, &a)) {
            (kind == "weak-flash" ? faults->weak_flash : faults->weak_eeprom)
                .push_back(static_cast<uint32_t>(a));
            return 0;
        }
        if (kind == "slow-erase" && n == 2 && parse_number(fields[1], 600000, &a)) {
            faults->sm.slow_erase_ms = static_cast<unsigned>(a);
            return 0;
        }
        // Up to 90 ms, so that the bytes come closer together than the host's 100 ms per
        // byte while it hunts for the prompt.
        if (kind == "babble" && (n == 1 || (n == 2 && parse_number(fields[1], 90, &a) && a > 0))) {
            faults->sm.babble_ms = n == 1 ? 10 : static_cast<unsigned>(a);
            return 0;
        }
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    return bad(text);
}

}  // namespace zelv::sim
