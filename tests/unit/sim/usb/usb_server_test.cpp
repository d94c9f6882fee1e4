// The seam between the stand-in libusb.so and zelvanor-sim: a program's transfers travel
// through the stand-in and the bus socket to the device model behind the bus, with the
// program started by the same runner and environment that zelvanor gets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "common/port_server.h"
#include "test_support.h"
#include "usb/usb_front.h"
#include "usb/usb_server.h"

namespace zelv::sim {
namespace {

using zelv::test::TempDir;

// Answers an IN control transfer with its request byte and then the value and index, low
// bytes first (request 0x0D: the request byte alone, a short reply; 0xEE: a stall). Keeps
// the last bulk packet and sends it back reversed; with none kept it has nothing to say.
class RecordingModel : public UsbDeviceModel {
public:
    int control(const UsbSetup& setup, std::vector<uint8_t>* data) override {
        setups.push_back(setup);
        if (setup.request == 0xEE) {
            return -EPIPE;
        }
        if ((setup.request_type & 0x80) == 0) {
            written.push_back(*data);
            return static_cast<int>(data->size());
        }
        std::vector<uint8_t> answer = {setup.request};
        if (setup.request != 0x0D) {
            answer.insert(
                answer.end(),
                {static_cast<uint8_t>(setup.value & 0xFF), static_cast<uint8_t>(setup.value >> 8),
                 static_cast<uint8_t>(setup.index & 0xFF), static_cast<uint8_t>(setup.index >> 8)});
        }
        answer.resize(std::min<size_t>(answer.size(), setup.length));
        *data = answer;
        return static_cast<int>(answer.size());
    }

    int bulk_out(uint8_t endpoint, const std::vector<uint8_t>& data) override {
        endpoints.push_back(endpoint);
        kept = data;
        return static_cast<int>(data.size());
    }

    int bulk_in(uint8_t endpoint, size_t wanted, std::vector<uint8_t>* data) override {
        endpoints.push_back(endpoint);
        if (kept.empty()) {
            return -ETIMEDOUT;
        }
        data->assign(kept.rbegin(), kept.rend());
        data->resize(std::min(wanted, data->size()));
        kept.clear();
        return static_cast<int>(data->size());
    }

    std::vector<UsbSetup> setups;
    std::vector<std::vector<uint8_t>> written;
    std::vector<uint8_t> endpoints;
    std::vector<uint8_t> kept;
};

struct ProbeOutput {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the probe with these steps as zelvanor-sim runs its command, serving the bus.
ProbeOutput run_on_bus(UsbServer& server, const UsbFaults& faults,
                       const std::vector<std::string>& steps) {
    TempDir dir;
    std::vector<std::string> environment;
    EXPECT_EQ(
        usb_child_environment(ZELV_USB_STANDIN_BASE, faults, server.socket_path(), &environment),
        0);
    environment.push_back("PROBE_OUT=" + dir.file("out"));
    environment.push_back("PROBE_ERR=" + dir.file("err"));
    std::vector<std::string> words = {
        "/bin/sh", "-c", "exec \"$0\" \"$@\" >\"$PROBE_OUT\" 2>\"$PROBE_ERR\"", ZELV_USB_PROBE};
    words.insert(words.end(), steps.begin(), steps.end());
    ProbeOutput output;
    EXPECT_EQ(run_command(server, words, &output.status, environment), 0);
    output.out = test::read_file(dir.file("out"));
    output.err = test::read_file(dir.file("err"));
    return output;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(UsbServer, TransfersReachTheDeviceModel) {
    RecordingModel model;
    UsbServer server(model, nullptr);
    ASSERT_EQ(server.listen(), 0);
    const ProbeOutput run = run_on_bus(
        server, UsbFaults{},
        {"-q", "load", "open", "control:0xC0:0x0C:0x1234:0x5678:5",
         "control:0x40:0x3C:0x1234:0x005A:0", "control:0x40:0x41:0x1000:0x2205:4:11223344",
         "bulk-write:2:0504370010", "bulk-read:2:33", "close", "unload"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "probe: load -> 0\n"
              "probe: open -> 0\n"
              "probe: size 5\nprobe: data 0c34127856\n"
              "probe: control:0xC0:0x0C:0x1234:0x5678:5 -> 0\n"
              "probe: size 0\nprobe: control:0x40:0x3C:0x1234:0x005A:0 -> 0\n"
              "probe: size 4\nprobe: control:0x40:0x41:0x1000:0x2205:4:11223344 -> 0\n"
              "probe: size 5\nprobe: bulk-write:2:0504370010 -> 0\n"
              "probe: size 5\nprobe: data 1000370405\nprobe: bulk-read:2:33 -> 0\n"
              "probe: close -> 0\nprobe: unload -> 0\n");
    ASSERT_EQ(model.setups.size(), 3u);
    const struct {
        uint8_t type, request;
        uint16_t value, index, length;
    } expected[] = {{0xC0, 0x0C, 0x1234, 0x5678, 5},
                    {0x40, 0x3C, 0x1234, 0x005A, 0},
                    {0x40, 0x41, 0x1000, 0x2205, 4}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(model.setups[i].request_type, expected[i].type);
        EXPECT_EQ(model.setups[i].request, expected[i].request);
        EXPECT_EQ(model.setups[i].value, expected[i].value);
        EXPECT_EQ(model.setups[i].index, expected[i].index);
        EXPECT_EQ(model.setups[i].length, expected[i].length);
    }
    EXPECT_EQ(model.written, (std::vector<std::vector<uint8_t>>{{}, {0x11, 0x22, 0x33, 0x44}}));
    EXPECT_EQ(model.endpoints, (std::vector<uint8_t>{0x02, 0x82}));
    EXPECT_EQ(server.opened(), 1u);
}

TEST(UsbServer, ShortRepliesStallsAndSilenceReachTheProgramAsTheLibraryGivesThem) {
    RecordingModel model;
    UsbServer server(model, nullptr);
    ASSERT_EQ(server.listen(), 0);
    const ProbeOutput run =
        run_on_bus(server, UsbFaults{},
                   {"-q", "load", "open", "control:0xC0:0x0D:0:0:3", "control:0xC0:0xEE:0:0:1",
                    "timeout:20", "bulk-read:2:5", "close", "unload"});
    EXPECT_TRUE(contains(run.out,
                         "probe: size 1\nprobe: data 0d\n"
                         "probe: control:0xC0:0x0D:0:0:3 -> 0\n"));
    EXPECT_TRUE(contains(run.out, "probe: control:0xC0:0xEE:0:0:1 -> 32\n"));
    EXPECT_TRUE(contains(run.out, "probe: bulk-read:2:5 -> 110\n"));
    EXPECT_EQ(run.err,
              "\nerror: unable to send control message to USB device: error sending control "
              "message: Broken pipe\n"
              "\nerror: unable to read data from USB device: error reading from bulk endpoint: "
              "Connection timed out\n");
}

TEST(UsbServer, ServesOneProgramAfterAnotherAndTracesTransfers) {
    RecordingModel model;
    TempDir dir;
    FILE* trace = std::fopen(dir.file("trace").c_str(), "w");
    ASSERT_NE(trace, nullptr);
    {
        UsbServer server(model, trace);
        ASSERT_EQ(server.listen(), 0);
        // The first program ends with the device still open.
        const ProbeOutput first = run_on_bus(server, UsbFaults{}, {"-q", "load", "open"});
        EXPECT_EQ(first.out, "probe: load -> 0\nprobe: open -> 0\n");
        // Found through its runtime name, as on Debian.
        UsbFaults debian;
        debian.library = UsbLibraryVariant::kLinkerScript;
        const ProbeOutput second = run_on_bus(
            server, debian, {"-q", "load", "open", "control:0xC0:0x0C:0x1234:0x5678:5", "close"});
        EXPECT_TRUE(contains(second.out, "probe: data 0c34127856\n")) << second.out;
        EXPECT_EQ(server.opened(), 2u);
    }
    std::fclose(trace);
    const std::string lines = test::read_file(dir.file("trace"));
    EXPECT_TRUE(contains(lines, "usb open 001/002 -> 0\n")) << lines;
    EXPECT_TRUE(contains(lines, "usb control C0 0C 1234 5678 5 -> 5 0C 34 12 78 56\n")) << lines;
}

}  // namespace
}  // namespace zelv::sim
