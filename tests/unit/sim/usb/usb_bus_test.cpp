// The virtual USB bus as data: the layout text the stand-in reads, the USB faults of
// zelvanor-sim and the spoiled replies, and the environment a command gets.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "faults/faults.h"
#include "usb/usb_bus_layout.h"
#include "faults/usb_faults.h"
#include "usb/usb_front.h"

namespace zelv::sim {
namespace {

TEST(UsbBusLayout, NumbersDevicesPerBusAndNamesTheirSerials) {
    std::vector<UsbDeviceSpec> devices;
    std::string error;
    ASSERT_EQ(parse_usb_bus_layout("hub@2,tbdml@2,hub,tbdml:no-serial:fail-claim,tbdml@2:"
                                   "serial=B 7:no-config",
                                   &devices, &error),
              0)
        << error;
    ASSERT_EQ(devices.size(), 5u);
    const struct {
        UsbDeviceKind kind;
        unsigned bus;
        unsigned number;
        const char* serial;
    } expected[] = {
        {UsbDeviceKind::kHub, 2, 1, "HUB-0001"}, {UsbDeviceKind::kTbdml, 2, 2, "SIM-0001"},
        {UsbDeviceKind::kHub, 1, 1, "HUB-0002"}, {UsbDeviceKind::kTbdml, 1, 2, "SIM-0002"},
        {UsbDeviceKind::kTbdml, 2, 3, "B 7"},
    };
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(devices[i].kind, expected[i].kind);
        EXPECT_EQ(devices[i].bus, expected[i].bus);
        EXPECT_EQ(devices[i].number, expected[i].number);
        EXPECT_EQ(devices[i].serial, expected[i].serial);
    }
    EXPECT_TRUE(devices[3].no_serial);
    EXPECT_EQ(devices[3].failures, unsigned{kFailClaim});
    EXPECT_TRUE(devices[4].no_config);
    EXPECT_FALSE(devices[4].no_serial);

    ASSERT_EQ(parse_usb_bus_layout("", &devices, &error), 0);
    EXPECT_TRUE(devices.empty());
    ASSERT_EQ(parse_usb_bus_layout(nullptr, &devices, &error), 0);
    EXPECT_TRUE(devices.empty());
}

TEST(UsbBusLayout, RefusesWhatItDoesNotKnow) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"mouse", "unknown device kind \"mouse\""},
        {"hub,,tbdml", "unknown device kind \"\""},
        {"tbdml@0", "invalid bus number in \"tbdml@0\""},
        {"tbdml@128", "invalid bus number in \"tbdml@128\""},
        {"tbdml@x", "invalid bus number in \"tbdml@x\""},
        {"tbdml@", "invalid bus number in \"tbdml@\""},
        {"tbdml:fail-everything", "unknown device flag \"fail-everything\""},
        {"tbdml:serial=", "unknown device flag \"serial=\""},
        {"tbdml:", "unknown device flag \"\""},
    };
    for (const auto& c : cases) {
        std::vector<UsbDeviceSpec> devices;
        std::string error;
        EXPECT_EQ(parse_usb_bus_layout(c.text, &devices, &error), EINVAL) << c.text;
        EXPECT_EQ(error, c.error);
        EXPECT_TRUE(devices.empty()) << c.text;
    }
}

TEST(UsbBusLayout, EveryVariantOfZelvanorSimParses) {
    for (const UsbBusVariant variant : {UsbBusVariant::kPod, UsbBusVariant::kNoDevice,
                                        UsbBusVariant::kTwoPods, UsbBusVariant::kForeignFirst}) {
        std::vector<UsbDeviceSpec> devices;
        std::string error;
        EXPECT_EQ(parse_usb_bus_layout(usb_bus_layout(variant), &devices, &error), 0) << error;
        unsigned pods = 0;
        bool before_pod = false;  // a device matching one of the pod's IDs comes first
        for (const UsbDeviceSpec& d : devices) {
            const UsbIdentity& id = usb_identity(d.kind);
            const bool vendor = id.vendor_id == kTbdmlVendorId;
            const bool product = id.product_id == kTbdmlProductId;
            pods += vendor && product ? 1 : 0;
            before_pod = before_pod || (pods == 0 && vendor != product);
        }
        EXPECT_EQ(pods, variant == UsbBusVariant::kNoDevice  ? 0u
                        : variant == UsbBusVariant::kTwoPods ? 2u
                                                             : 1u);
        EXPECT_EQ(before_pod, variant == UsbBusVariant::kForeignFirst);
    }
}

TEST(UsbFaultsParse, BusLibraryAndReplyFaults) {
    FaultSet faults;
    ASSERT_EQ(parse_fault("usb-bus:foreign-first", &faults), 0);
    ASSERT_EQ(parse_fault("usb-library:linker-script", &faults), 0);
    ASSERT_EQ(parse_fault("usb-refuse:0x32,after=2", &faults), 0);
    ASSERT_EQ(parse_fault("usb-short:0x37:5", &faults), 0);
    ASSERT_EQ(parse_fault("usb-short:0x33", &faults), 0);
    ASSERT_EQ(parse_fault("usb-unknown:0x0C", &faults), 0);
    ASSERT_EQ(parse_fault("usb-empty:41", &faults), 0);
    ASSERT_EQ(parse_fault("usb-speed:0x3C0", &faults), 0);
    EXPECT_EQ(faults.usb.bus, UsbBusVariant::kForeignFirst);
    EXPECT_EQ(faults.usb.library, UsbLibraryVariant::kLinkerScript);
    ASSERT_EQ(faults.usb.replies.size(), 5u);
    EXPECT_EQ(faults.usb.replies[0].command, 0x32);
    EXPECT_EQ(faults.usb.replies[0].kind, ReplyFaultKind::kRefuse);
    EXPECT_EQ(faults.usb.replies[0].after, 2u);
    EXPECT_TRUE(faults.usb.replies[1].keep_given);
    EXPECT_EQ(faults.usb.replies[1].keep, 5u);
    EXPECT_FALSE(faults.usb.replies[2].keep_given);
    EXPECT_EQ(faults.usb.replies[3].kind, ReplyFaultKind::kUnknownCommand);
    EXPECT_EQ(faults.usb.replies[4].command, 41);
    EXPECT_EQ(faults.usb.replies[4].kind, ReplyFaultKind::kEmpty);
    EXPECT_TRUE(faults.usb.speed_given);
    EXPECT_EQ(faults.usb.speed, 960);

    for (const char* bad :
         {"usb-bus:three", "usb-bus", "usb-bus:two,after=1", "usb-library:missing", "usb-refuse",
          "usb-refuse:0x100", "usb-refuse:1:2", "usb-short:0x37:5:6", "usb-empty:-1", "usb-jam:1",
          "usb-speed:65536", "usb-speed", "usb-speed:1,after=1"}) {
        FaultSet none;
        EXPECT_EQ(parse_fault(bad, &none), EINVAL) << bad;
        EXPECT_TRUE(none.usb.replies.empty()) << bad;
        EXPECT_FALSE(none.usb.speed_given) << bad;
    }
}

TEST(UsbReplyFaults, SpoilRepliesFromTheirOccurrenceOn) {
    const std::vector<uint8_t> reply = {0x37, 0x10, 0x20, 0x30};
    const struct {
        ReplyFault fault;
        std::vector<std::vector<uint8_t>> replies;  // to three replies to 0x37 in a row
    } cases[] = {
        {{0x37, ReplyFaultKind::kRefuse, false, 0, 1}, {reply, {2}, {2}}},
        {{0x37, ReplyFaultKind::kUnknownCommand, false, 0, 0}, {{3}, {3}, {3}}},
        {{0x37, ReplyFaultKind::kShort, false, 0, 2}, {reply, reply, {0x37, 0x10, 0x20}}},
        {{0x37, ReplyFaultKind::kShort, true, 1, 0}, {{0x37}, {0x37}, {0x37}}},
        {{0x37, ReplyFaultKind::kShort, true, 9, 0}, {reply, reply, reply}},
        {{0x37, ReplyFaultKind::kEmpty, false, 0, 0}, {{}, {}, {}}},
        {{0x32, ReplyFaultKind::kEmpty, false, 0, 0}, {reply, reply, reply}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        ReplyFaults faults({cases[i].fault});
        for (const std::vector<uint8_t>& expected : cases[i].replies) {
            std::vector<uint8_t> sent = reply;
            faults.apply(0x37, &sent);
            EXPECT_EQ(sent, expected);
        }
    }
}

TEST(UsbReplyFaults, EveryFaultCountsTheFirstDueDecides) {
    ReplyFaults faults({{0x23, ReplyFaultKind::kRefuse, false, 0, 2},
                        {0x23, ReplyFaultKind::kEmpty, false, 0, 1},
                        {0x32, ReplyFaultKind::kUnknownCommand, false, 0, 0}});
    const std::vector<uint8_t> reply = {0x23, 0x5A};
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> r = reply;
        faults.apply(0x23, &r);
        sent.push_back(r);
    }
    const std::vector<std::vector<uint8_t>> expected = {reply, {}, {2}, {2}};
    EXPECT_EQ(sent, expected);
    std::vector<uint8_t> other = {0x32, 0x01};
    faults.apply(0x32, &other);
    EXPECT_EQ(other, std::vector<uint8_t>{3});
}

TEST(UsbFront, PutsTheVariantFirstOnTheLibraryPath) {
    const char* saved = std::getenv("LD_LIBRARY_PATH");
    const std::string keep = saved != nullptr ? saved : "";
    const struct {
        UsbLibraryVariant library;
        const char* folder;
    } cases[] = {
        {UsbLibraryVariant::kStandIn, "/base/usb"},
        {UsbLibraryVariant::kMissingSymbol, "/base/usb-missing-symbol"},
        {UsbLibraryVariant::kUnloadable, "/base/usb-unloadable"},
        {UsbLibraryVariant::kLinkerScript, "/base/usb-linker-script"},
    };
    for (const auto& c : cases) {
        UsbFaults faults;
        faults.library = c.library;
        faults.bus = UsbBusVariant::kTwoPods;
        setenv("LD_LIBRARY_PATH", "/opt/lib", 1);
        std::vector<std::string> entries;
        ASSERT_EQ(usb_child_environment("/base", faults, "/tmp/x/bus", &entries), 0);
        const std::vector<std::string> expected = {
            std::string("LD_LIBRARY_PATH=") + c.folder + ":/opt/lib",
            "ZELVANOR_SIM_USB_BUS=hub@1,tbdml@1,hub@2,tbdml@2", "ZELVANOR_SIM_USB=/tmp/x/bus"};
        EXPECT_EQ(entries, expected);
    }
    unsetenv("LD_LIBRARY_PATH");
    std::vector<std::string> entries;
    ASSERT_EQ(usb_child_environment("/base", UsbFaults{}, "", &entries), 0);
    EXPECT_EQ(entries, (std::vector<std::string>{"LD_LIBRARY_PATH=/base/usb",
                                                 "ZELVANOR_SIM_USB_BUS=hub,tbdml"}));
    if (saved != nullptr) {
        setenv("LD_LIBRARY_PATH", keep.c_str(), 1);
    }
}

}  // namespace
}  // namespace zelv::sim
