#include "faults/usb_faults.h"

#include <utility>

#include "faults/faults.h"

namespace zelv::sim {

const char* const kUsbFaultHelp =
    "  usb-bus:none              only a root hub on the bus: no pod\n"
    "  usb-bus:two               a pod on each of two busses (the first one answers)\n"
    "  usb-bus:foreign-first     devices matching the pod's vendor or product ID only\n"
    "                            come before it\n"
    "  usb-library:missing-symbol\n"
    "                            the stand-in libusb.so lacks usb_device\n"
    "  usb-library:unloadable    libusb.so and libusb-0.1.so.4 are files the loader refuses\n"
    "  usb-library:linker-script libusb.so is a linker script (as Debian ships it); the\n"
    "                            library is found as libusb-0.1.so.4\n"
    "  usb-refuse:CMD[,after=N]  the pod answers command CMD with the refusal status 2\n"
    "  usb-unknown:CMD[,after=N] ... with status 3 (unknown command)\n"
    "  usb-short:CMD[:KEEP][,after=N]\n"
    "                            ... with its reply cut to KEEP bytes (default one less)\n"
    "  usb-empty:CMD[,after=N]   ... with an empty reply\n"
    "  usb-speed:VALUE           the pod's speed measurement gives VALUE (0: nothing found)\n";

namespace {

// Looks a name up in a table of (name, value) pairs.
template <typename Value, size_t N>
bool find_named(const std::pair<const char*, Value> (&table)[N], const std::string& name,
                Value* value) {
    for (const auto& [entry, entry_value] : table) {
        if (name == entry) {
            *value = entry_value;
            return true;
        }
    }
    return false;
}

constexpr std::pair<const char*, UsbBusVariant> kBusses[] = {
    {"none", UsbBusVariant::kNoDevice},
    {"two", UsbBusVariant::kTwoPods},
    {"foreign-first", UsbBusVariant::kForeignFirst},
};

constexpr std::pair<const char*, UsbLibraryVariant> kLibraries[] = {
    {"missing-symbol", UsbLibraryVariant::kMissingSymbol},
    {"unloadable", UsbLibraryVariant::kUnloadable},
    {"linker-script", UsbLibraryVariant::kLinkerScript},
};

constexpr std::pair<const char*, ReplyFaultKind> kReplies[] = {
    {"usb-refuse", ReplyFaultKind::kRefuse},
    {"usb-unknown", ReplyFaultKind::kUnknownCommand},
    {"usb-short", ReplyFaultKind::kShort},
    {"usb-empty", ReplyFaultKind::kEmpty},
};

}  // namespace

bool parse_usb_fault(const std::vector<std::string>& fields, unsigned after, bool after_given,
                     UsbFaults* faults) {
    const std::string& kind = fields[0];
    const size_t n = fields.size();
    if (kind == "usb-bus") {
        return n == 2 && !after_given && find_named(kBusses, fields[1], &faults->bus);
    }
    if (kind == "usb-library") {
        return n == 2 && !after_given && find_named(kLibraries, fields[1], &faults->library);
    }
    if (kind == "usb-speed") {
        unsigned long speed = 0;
        if (n != 2 || after_given || !parse_fault_number(fields[1], 0xFFFF, &speed)) {
            return false;
        }
        faults->speed_given = true;
        faults->speed = static_cast<uint16_t>(speed);
        return true;
    }
    ReplyFaultKind reply_kind = ReplyFaultKind::kRefuse;
    if (!find_named(kReplies, kind, &reply_kind)) {
        return false;
    }
    const size_t most = reply_kind == ReplyFaultKind::kShort ? 3 : 2;
    unsigned long command = 0;
    unsigned long keep = 0;
    if (n < 2 || n > most || !parse_fault_number(fields[1], 0xFF, &command) ||
        (n == 3 && !parse_fault_number(fields[2], 0xFFFF, &keep))) {
        return false;
    }
    ReplyFault fault;
    fault.command = static_cast<uint8_t>(command);
    fault.kind = reply_kind;
    fault.keep_given = n == 3;
    fault.keep = static_cast<unsigned>(keep);
    fault.after = after;
    faults->replies.push_back(fault);
    return true;
}

ReplyFaults::ReplyFaults(std::vector<ReplyFault> faults)
    : faults_(std::move(faults)), seen_(faults_.size(), 0) {}

const ReplyFault* ReplyFaults::next(uint8_t command) {
    // Every fault counts its command; the first one that is due decides.
    const ReplyFault* due = nullptr;
    for (size_t i = 0; i < faults_.size(); ++i) {
        if (faults_[i].command == command && ++seen_[i] > faults_[i].after && due == nullptr) {
            due = &faults_[i];
        }
    }
    return due;
}

void ReplyFaults::apply(uint8_t command, std::vector<uint8_t>* reply) {
    const ReplyFault* due = next(command);
    if (due != nullptr) {
        spoil(*due, reply);
    }
}

void ReplyFaults::spoil(const ReplyFault& fault, std::vector<uint8_t>* reply) {
    switch (fault.kind) {
        case ReplyFaultKind::kRefuse:
            reply->assign(1, 2);
            break;
        case ReplyFaultKind::kUnknownCommand:
            reply->assign(1, 3);
            break;
        case ReplyFaultKind::kShort: {
            const size_t keep = fault.keep_given ? fault.keep
                                : reply->empty() ? 0
                                                 : reply->size() - 1;
            if (keep < reply->size()) {
                reply->resize(keep);
            }
            break;
        }
        case ReplyFaultKind::kEmpty:
            reply->clear();
            break;
    }
}

}  // namespace zelv::sim
