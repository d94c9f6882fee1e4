// USB device access against the stand-in libusb.so of the virtual target and against the
// real libusb 0.1. Each case runs usb_probe in a process of its own with the library folder
// on LD_LIBRARY_PATH, since the loader reads that only when a process starts; the stand-in
// logs every library call, so a case can also check what was asked of the library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/usb_access.h"
#include "test_support.h"

namespace zelv {
namespace {

using test::ProcessResult;
using test::TempDir;

struct ProbeRun {
    ProcessResult process;
    std::string calls;  // the stand-in's log, one call per line
};

// Runs the probe with the stand-in variant in `folder` ("" leaves the loader's own search
// alone) presenting `layout`.
ProbeRun probe(const std::string& folder, const std::string& layout,
               const std::vector<std::string>& args,
               const std::vector<std::string>& extra_env = {}) {
    TempDir dir;
    const std::string log = dir.file("calls.log");
    const std::string library_path =
        folder.empty() ? "" : std::string(ZELV_USB_STANDIN_BASE) + "/" + folder;
    std::vector<std::string> argv = {ZELV_USB_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    ProbeRun run;
    std::vector<std::string> env = {"LD_LIBRARY_PATH=" + library_path,
                                    "ZELVANOR_SIM_USB_BUS=" + layout,
                                    "ZELVANOR_SIM_USB=", "ZELVANOR_SIM_USB_LOG=" + log};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    run.process = test::run_process(argv, env);
    if (test::file_exists(log)) {
        run.calls = test::read_file(log);
    }
    return run;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

unsigned count_of(const std::string& text, const std::string& part) {
    unsigned count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string step(const std::string& name, int result) {
    return "probe: " + name + " -> " + std::to_string(result) + "\n";
}

TEST(UsbVersionText, HighByteWholeThenNibbles) {
    const struct {
        uint16_t version;
        const char* text;
    } cases[] = {
        {0x0110, "1.1"},  {0x0200, "2.0"},       {0x0123, "1.2.3"},
        {0x1000, "16.0"}, {0xFFFF, "255.15.15"}, {0x0000, "0.0"},
    };
    for (const auto& c : cases) {
        char text[kUsbVersionTextSize];
        usb_version_text(text, c.version);
        EXPECT_STREQ(text, c.text) << std::hex << c.version;
    }
}

TEST(UsbLibrary, LookupByNameAndItsFailures) {
    const struct {
        const char* what;
        const char* folder;
        int load;
        const char* error;  // part of standard error; "" for none
        bool initialised;   // the library's own functions were called
    } cases[] = {
        {"the stand-in as libusb.so", "usb", 0, "", true},
        {"libusb.so a linker script: the runtime name", "usb-linker-script", 0, "", true},
        {"neither name loads: the last try's text", "usb-unloadable", ELIBACC,
         "\nerror: unable to open usb library (libusb.so): " ZELV_USB_STANDIN_BASE
         "/usb-unloadable/libusb-0.1.so.4: invalid ELF header\n",
         false},
        {"a function missing", "usb-missing-symbol", ELIBBAD,
         "\nerror: invalid usb library (libusb.so): missing symbols\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ProbeRun run = probe(c.folder, "hub,tbdml", {"-d", "load", "resident", "unload"});
        EXPECT_TRUE(contains(run.process.out, step("load", c.load)));
        EXPECT_TRUE(contains(run.process.out, step("unload", 0)));
        if (*c.error == '\0') {
            EXPECT_EQ(run.process.err, "");
            EXPECT_TRUE(contains(run.process.out, "USB busses: 1\nUSB devices: 2\n"));
            EXPECT_TRUE(contains(run.process.out, "probe: resident yes\n"));
        } else {
            EXPECT_EQ(run.process.err, c.error);
            // A failed load leaves nothing behind.
            EXPECT_TRUE(contains(run.process.out, "probe: resident no\n"));
        }
        EXPECT_EQ(contains(run.calls, "usb_init\nusb_find_busses 1\nusb_find_devices 2\n"),
                  c.initialised)
            << run.calls;
    }
}

TEST(UsbLibrary, ReferenceCountKeepsItLoadedUntilTheLastUnload) {
    const ProbeRun run = probe("usb", "tbdml",
                               {"unload", "load", "load", "unload", "resident", "unload",
                                "resident", "unload", "load", "resident", "unload"});
    EXPECT_EQ(run.process.out, step("unload", 0) + step("load", 0) + step("load", 0) +
                                   step("unload", 0) + "probe: resident yes\n" +
                                   step("resident", 0) + step("unload", 0) +
                                   "probe: resident no\n" + step("resident", 0) +
                                   step("unload", 0) + step("load", 0) + "probe: resident yes\n" +
                                   step("resident", 0) + step("unload", 0));
    // Only the loads that found the library unloaded initialised it.
    EXPECT_EQ(count_of(run.calls, "usb_init\n"), 2u);
}

TEST(UsbLibrary, AFailedLoadCountsNothing) {
    const ProbeRun run = probe("usb-missing-symbol", "tbdml", {"-q", "load", "load", "unload"});
    EXPECT_TRUE(contains(run.process.out,
                         step("load", ELIBBAD) + step("load", ELIBBAD) + step("unload", 0)));
    EXPECT_EQ(count_of(run.process.err, "missing symbols"), 2u);
}

TEST(UsbDeviceOpen, FirstMatchInBusOrderThenDeviceOrder) {
    const struct {
        const char* layout;
        const char* found;   // the debug line; "" when nothing matches
        const char* opened;  // the stand-in's log line
    } cases[] = {
        {"", "", ""},
        {"hub", "", ""},
        {"hub,same-vendor,same-product", "", ""},
        {"hub,same-vendor,same-product,tbdml", "USB device <004> bus <001>\n",
         "usb_open 001/004\n"},
        {"hub@1,tbdml@1,hub@2,tbdml@2", "USB device <002> bus <001>\n", "usb_open 001/002\n"},
        // Busses come in list order, not by number.
        {"hub@2,tbdml@2,tbdml@1", "USB device <002> bus <002>\n", "usb_open 002/002\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        const ProbeRun run =
            probe("usb", c.layout, {"-d", "-q", "load", "open", "close", "unload"});
        if (*c.found == '\0') {
            EXPECT_TRUE(contains(run.process.out, step("open", ENOENT)));
            EXPECT_EQ(run.process.err, "\nerror: USB device not found\n");
            EXPECT_FALSE(contains(run.calls, "usb_open"));
        } else {
            EXPECT_TRUE(contains(run.process.out, c.found));
            EXPECT_TRUE(contains(run.process.out, step("open", 0)));
            EXPECT_TRUE(contains(run.calls, c.opened)) << run.calls;
            EXPECT_EQ(run.process.err, "");
        }
    }
}

TEST(UsbDeviceOpen, PrintsWhatItFinds) {
    const std::string identity =
        "USB device USB version <1.1> VID <0x0425> PID <0x1000> device release <1.0>\n";
    const std::string config = "USB device config <#1> power <bus> max current <100mA>\n";
    const struct {
        const char* layout;
        std::string lines;
        const char* never_asked;  // a string request that must not be made
    } cases[] = {
        {"tbdml",
         identity +
             "USB device manufacturer <zelvanor-sim> product <virtual TBDML> serial number "
             "<SIM-0001>\n" +
             config,
         "usb_get_string_simple 0"},
        // The same product and serial number: the two-field line.
        {"tbdml:serial=virtual TBDML",
         identity + "USB device manufacturer <zelvanor-sim> product <virtual TBDML>\n" + config,
         "usb_get_string_simple 0"},
        // Index 0 is no string: shown empty, never asked for.
        {"tbdml:no-serial",
         identity +
             "USB device manufacturer <zelvanor-sim> product <virtual TBDML> serial number "
             "<>\n" +
             config,
         "usb_get_string_simple 3"},
        {"tbdml:no-strings", identity + "USB device manufacturer <> product <>\n" + config,
         "usb_get_string_simple"},
        // No configuration array: its lines are left out, the device still opens.
        {"tbdml:no-config",
         identity + "USB device manufacturer <zelvanor-sim> product <virtual TBDML> serial number "
                    "<SIM-0001>\n",
         "usb_get_string_simple 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        const ProbeRun run = probe("usb", c.layout, {"load", "open", "close", "unload"});
        EXPECT_EQ(run.process.out, step("load", 0) + c.lines + step("open", 0) + step("close", 0) +
                                       step("unload", 0));
        EXPECT_EQ(run.process.err, "");
        EXPECT_FALSE(contains(run.calls, c.never_asked)) << run.calls;
        EXPECT_TRUE(contains(run.calls, "usb_set_configuration 1\nusb_claim_interface 0\n"));
    }
}

TEST(UsbDeviceOpen, SelfPoweredConfigurationAndQuietRun) {
    const ProbeRun hub = probe("usb", "hub", {"load", "open:0x1d6b:0x0001", "close", "unload"});
    EXPECT_TRUE(contains(hub.process.out,
                         "USB device USB version <1.1> VID <0x1d6b> PID <0x0001> device release "
                         "<6.0>\n"));
    EXPECT_TRUE(
        contains(hub.process.out, "USB device config <#1> power <self> max current <0mA>\n"));

    const ProbeRun quiet = probe("usb", "tbdml", {"-q", "load", "open", "close", "unload"});
    EXPECT_EQ(quiet.process.out,
              step("load", 0) + step("open", 0) + step("close", 0) + step("unload", 0));
}

TEST(UsbDeviceOpen, AFailedStepReportsOnceAndClosesWhatItOpened) {
    const struct {
        const char* flags;
        int result;
        const char* error;
        bool opened;  // usb_open gave a handle, which must be closed again
    } cases[] = {
        {"fail-open", EIO, "unable to open USB device\n", false},
        {"fail-manufacturer", EPIPE,
         "unable to read USB device manufacturer descriptor: could not get string descriptor: "
         "Broken pipe\n",
         true},
        {"fail-product", EPIPE,
         "unable to read USB device product descriptor: could not get string descriptor: "
         "Broken pipe\n",
         true},
        {"fail-serial", EPIPE,
         "unable to read USB device serial number descriptor: could not get string "
         "descriptor: Broken pipe\n",
         true},
        {"fail-configure", EBUSY,
         "unable to set USB device configuration: could not set config: Device or resource "
         "busy\n",
         true},
        // Closing fails as well: still the one report.
        {"fail-claim:fail-close", EBUSY,
         "unable to claim USB device interface: could not claim interface: Device or resource "
         "busy\n",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        const ProbeRun run = probe("usb", std::string("hub,tbdml:") + c.flags,
                                   {"-q", "load", "open", "close", "unload", "resident"});
        EXPECT_EQ(run.process.out, step("load", 0) + step("open", c.result) + step("close", 0) +
                                       step("unload", 0) + "probe: resident no\n" +
                                       step("resident", 0));
        EXPECT_EQ(run.process.err, std::string("\nerror: ") + c.error);
        EXPECT_EQ(count_of(run.calls, "usb_close\n"), c.opened ? 1u : 0u) << run.calls;
        // Nothing was claimed, so nothing is released.
        EXPECT_FALSE(contains(run.calls, "usb_release_interface")) << run.calls;
    }
}

TEST(UsbDeviceClose, ReleasesThenClosesAndIgnoresTheirFailures) {
    const ProbeRun plain =
        probe("usb", "tbdml", {"-q", "close", "load", "open", "close", "close", "unload"});
    EXPECT_EQ(plain.process.out, step("close", 0) + step("load", 0) + step("open", 0) +
                                     step("close", 0) + step("close", 0) + step("unload", 0));
    EXPECT_TRUE(
        contains(plain.calls, "usb_claim_interface 0\nusb_release_interface 0\nusb_close\n"))
        << plain.calls;
    EXPECT_EQ(count_of(plain.calls, "usb_close\n"), 1u);

    const ProbeRun failing =
        probe("usb", "tbdml:fail-release:fail-close", {"-q", "load", "open", "close", "unload"});
    EXPECT_TRUE(contains(failing.process.out, step("close", 0)));
    EXPECT_EQ(failing.process.err,
              "\nerror: unable to release USB device interface: could not release interface: No "
              "such device\n"
              "\nerror: unable to close USB device: could not close the device: Input/output "
              "error\n");
}

// Without zelvanor-sim behind the bus the pod answers nothing; the layer reports the
// library's text and error, and sets the IN direction on bulk reads only.
TEST(UsbTransfers, FailuresCarryTheLibrarysTextAndError) {
    const ProbeRun run = probe("usb", "tbdml",
                               {"-q", "load", "open", "control:0xC0:0x0C:0:0:3", "bulk-read:2:33",
                                "bulk-write:2:0504370010", "close", "unload"});
    EXPECT_TRUE(contains(run.process.out, step("control:0xC0:0x0C:0:0:3", ENODEV)));
    EXPECT_TRUE(contains(run.process.out, step("bulk-read:2:33", ENODEV)));
    EXPECT_TRUE(contains(run.process.out, step("bulk-write:2:0504370010", ENODEV)));
    const std::string why = ": No such device (no zelvanor-sim behind the virtual bus)\n";
    EXPECT_EQ(run.process.err,
              "\nerror: unable to send control message to USB device: error sending control "
              "message" +
                  why +
                  "\nerror: unable to read data from USB device: error reading from bulk "
                  "endpoint" +
                  why +
                  "\nerror: unable to write data to USB device: error writing to bulk endpoint" +
                  why);
    EXPECT_TRUE(contains(run.calls,
                         "usb_control_msg c0 0c 0000 0000 3\n"
                         "usb_bulk_read 82 33\n"
                         "usb_bulk_write 02 5\n"))
        << run.calls;
}

TEST(UsbTransfers, ValueAndIndexAreCutTo16Bits) {
    const ProbeRun run =
        probe("usb", "tbdml",
              {"-q", "load", "open", "control:0x1C0:0x10C:0x12345:0xABCDE:0", "close", "unload"});
    EXPECT_TRUE(contains(run.calls, "usb_control_msg c0 0c 2345 bcde 0\n")) << run.calls;
}

// The real libusb 0.1 (Debian's libusb-0.1-4). On Debian, libusb.so is a linker script that
// the loader refuses, so this also shows the runtime name being found. The host running the
// tests has no pod plugged in.
TEST(UsbRealLibrary, FindsNoPodOnThisHost) {
    void* real = dlopen("libusb-0.1.so.4", RTLD_LAZY);
    if (real == nullptr) {
        GTEST_SKIP() << "libusb 0.1 is not installed (Debian package libusb-0.1-4)";
    }
    dlclose(real);
    // libusb 0.1 keeps its bus lists until the process ends; under the address sanitizer
    // that would count as a leak of the probe's.
    const ProbeRun run =
        probe("", "tbdml", {"load", "open", "unload", "resident"}, {"ASAN_OPTIONS=detect_leaks=0"});
    EXPECT_EQ(run.process.out, step("load", 0) + step("open", ENOENT) + step("unload", 0) +
                                   "probe: resident no\n" + step("resident", 0));
    EXPECT_EQ(run.process.err, "\nerror: USB device not found\n");
    EXPECT_EQ(run.calls, "");  // the stand-in was not involved
}

}  // namespace
}  // namespace zelv
