// Faults of the virtual USB bus and of the pod behind it: which devices the bus shows,
// which stand-in library the program finds, and replies that the pod spoils (a refusal, an
// unknown-command status, a reply cut short or left empty).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelv::sim {

// What the bus shows besides (or instead of) the one pod.
enum class UsbBusVariant {
    kPod,           // a root hub, then the pod
    kNoDevice,      // only the root hub
    kTwoPods,       // a pod on each of two busses; the first is the one answering
    kForeignFirst,  // devices that match the pod in one ID only, ahead of it
};

// The library the program finds under the names it looks for.
enum class UsbLibraryVariant {
    kStandIn,        // libusb.so: the stand-in
    kMissingSymbol,  // libusb.so: the stand-in without usb_device
    kUnloadable,     // libusb.so and libusb-0.1.so.4: linker scripts the loader refuses
    kLinkerScript,   // libusb.so a linker script (as Debian ships it), the stand-in as
                     // libusb-0.1.so.4
};

enum class ReplyFaultKind {
    kRefuse,          // the reply is the refusal status 2 alone
    kUnknownCommand,  // the reply is status 3 alone
    kShort,           // the reply is cut to `keep` bytes (default: one byte less)
    kEmpty,           // nothing comes back
};

// A spoiled reply to one command byte, from its (after + 1)-th occurrence on.
struct ReplyFault {
    uint8_t command = 0;
    ReplyFaultKind kind = ReplyFaultKind::kRefuse;
    bool keep_given = false;
    unsigned keep = 0;
    unsigned after = 0;
};

struct UsbFaults {
    UsbBusVariant bus = UsbBusVariant::kPod;
    UsbLibraryVariant library = UsbLibraryVariant::kStandIn;
    std::vector<ReplyFault> replies;
    bool speed_given = false;  // the pod's speed measurement gives `speed` ...
    uint16_t speed = 0;        // ... whatever the board's oscillator (0: it found nothing)
};

// Parses the fields of one "usb-..." fault (split at ':'; `after` from its ",after=N").
// Returns false when the text is no valid USB fault. May throw std::bad_alloc.
[[nodiscard]] bool parse_usb_fault(const std::vector<std::string>& fields, unsigned after,
                                   bool after_given, UsbFaults* faults);

// Counts the commands the pod answers and spoils the replies that the faults name.
class ReplyFaults {
public:
    explicit ReplyFaults(std::vector<ReplyFault> faults);

    // Called with every reply the pod is about to send for `command` (status byte first).
    void apply(uint8_t command, std::vector<uint8_t>* reply);

    // The same in two steps, for a pod that must know before it carries a command out: a
    // refused command is not carried out. next counts one reply to `command` and returns
    // the fault that is due, or nullptr; spoil does to a reply what the fault says.
    [[nodiscard]] const ReplyFault* next(uint8_t command);
    static void spoil(const ReplyFault& fault, std::vector<uint8_t>* reply);

private:
    std::vector<ReplyFault> faults_;
    std::vector<unsigned> seen_;  // per fault: occurrences of its command so far
};

// The fault syntax, as --help shows it once the pod is on the bus.
extern const char* const kUsbFaultHelp;

}  // namespace zelv::sim
