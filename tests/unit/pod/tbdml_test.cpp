// The TBDML driver against the virtual pod on the virtual USB bus: the speed arithmetic, the
// open with its speed setting or measurement and its failures (each leaving nothing open),
// how every command's parameters travel, the block chunks in both transfer forms, replies
// that must not be taken as data, and the resets.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/settings.h"
#include "fakes/run_state.h"
#include "faults/faults.h"
#include "pod/tbdml.h"
#include "tbdml_bench.h"

namespace zelv {
namespace {

using test::Bytes;
using test::TbdmlBench;
using test::UsbTransfer;

const BdmPod& pod = tbdml_pod;

// A transfer as text: "C0 33 2000 0000 3 -> 33 5A A5" for a control transfer (": DATA" for
// an OUT data stage), "out 05 04 37 00 10 20" and "in 33 -> 37 ..." for bulk packets.
std::string text_of(const UsbTransfer& t) {
    const auto hex = [](const Bytes& bytes) {
        std::string s;
        for (const uint8_t b : bytes) {
            char two[4];
            std::snprintf(two, sizeof two, " %02X", b);
            s += two;
        }
        return s;
    };
    char head[64];
    switch (t.kind) {
        case UsbTransfer::kControl:
            std::snprintf(head, sizeof head, "%02X %02X %04X %04X %u", t.setup.request_type,
                          t.setup.request, t.setup.value, t.setup.index, t.setup.length);
            if ((t.setup.request_type & 0x80) != 0) {
                return head + std::string(" ->") + hex(t.in);
            }
            return head + (t.out.empty() ? std::string() : " :" + hex(t.out));
        case UsbTransfer::kBulkOut:
            return "out" + hex(t.out);
        case UsbTransfer::kBulkIn:
            std::snprintf(head, sizeof head, "in %zu ->", t.wanted);
            return head + hex(t.in);
    }
    return "";
}

std::vector<std::string> texts(const std::vector<UsbTransfer>& transfers) {
    std::vector<std::string> all;
    for (const UsbTransfer& t : transfers) {
        all.push_back(text_of(t));
    }
    return all;
}

TEST(TbdmlSpeed, ValuesForOscillatorsAndFrequenciesForValues) {
    struct Value {
        unsigned long osc;
        int result;
        uint16_t value;
    };
    const Value values[] = {
        {16000000, 0, 960},     {4000000, 0, 3840},    {15999500, 0, 960},
        {16000499, 0, 960},     {234500, 0, 65362},    {234499, EINVAL, 0},
        {500, EINVAL, 0},       {499, EINVAL, 0},      {1, EINVAL, 0},
        {0, EINVAL, 0},         {30720000000UL, 0, 1}, {30730000000UL, EINVAL, 0},
        {ULONG_MAX, EINVAL, 0},
    };
    for (const Value& v : values) {
        uint16_t value = 0;
        EXPECT_EQ(tbdml_speed_value(v.osc, &value), v.result) << v.osc;
        if (v.result == 0) {
            EXPECT_EQ(value, v.value) << v.osc;
        }
    }
    struct Frequency {
        uint16_t value;
        unsigned long hz;
    };
    const Frequency frequencies[] = {{960, 16000000},    {3840, 4000000}, {3125, 4915000},
                                     {1, 15360000000UL}, {65535, 234000}, {0, 0}};
    for (const Frequency& f : frequencies) {
        EXPECT_EQ(tbdml_frequency(f.value), f.hz) << f.value;
    }
}

class TbdmlTest : public testing::Test {
protected:
    void SetUp() override {
        test::reset_run_state();
        settings().osc = 16000000;
    }
    void TearDown() override {
        if (opened) {
            (void)pod.pod_close();
        }
        EXPECT_FALSE(test::library_resident("libusb.so")) << "the library is unloaded";
        test::reset_run_state();
    }

    template <typename Call>
    int capture(Call call) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = call();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    // Opens the pod and puts the target into special mode; the test's own transfers follow.
    void open_on(TbdmlBench& bench) {
        ASSERT_EQ(capture(pod.pod_open), 0) << err;
        opened = true;
        ASSERT_EQ(pod.reset_special(), 0);
        first = bench.transfer_count();
    }

    std::vector<std::string> sent_since_open(const TbdmlBench& bench) const {
        return texts(bench.transfers(first));
    }

    std::string out;
    std::string err;
    bool opened = false;
    std::size_t first = 0;
};

const std::string kUsbLines =
    "USB device USB version <1.1> VID <0x0425> PID <0x1000> device release <1.0>\n"
    "USB device manufacturer <zelvanor-sim> product <virtual TBDML> serial number <SIM-0001>\n"
    "USB device config <#1> power <bus> max current <100mA>\n"
    "TBDML hardware version <0.1> firmware version <1.0>\n";

TEST_F(TbdmlTest, OpenSetsTheGivenSpeedOrMeasuresIt) {
    struct Case {
        unsigned long osc;  // -o
        uint64_t board;     // what the pod measures
        std::vector<std::string> transfers;
        unsigned long osc_after;
        const char* line;
    };
    const Case cases[] = {
        {16000000, 8000000, {"C0 2E 03C0 0000 1 -> 2E"}, 16000000, ""},
        {4000000, 8000000, {"C0 2E 0F00 0000 1 -> 2E"}, 4000000, ""},
        {0,
         16000000,
         {"C0 1F 0000 0000 1 -> 1F", "C0 29 0000 0000 3 -> 29 C0 03"},
         16000000,
         "TBDML detected target frequency <16.000 MHz>\n"},
        {0,
         4915200,
         {"C0 1F 0000 0000 1 -> 1F", "C0 29 0000 0000 3 -> 29 35 0C"},
         4915000,
         "TBDML detected target frequency <4.915 MHz>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.osc_after);
        sim::TbdmlConfig config;
        config.board_osc = c.board;
        TbdmlBench bench("dp256", config);
        settings().osc = c.osc;
        settings().verbose = 1;
        ASSERT_EQ(capture(pod.pod_open), 0) << err;
        EXPECT_EQ(err, "");
        EXPECT_EQ(out, kUsbLines + c.line);
        std::vector<std::string> expected = {"C0 0C 0000 0000 3 -> 0C 10 01",
                                             "C0 1E 0000 0000 1 -> 1E"};
        expected.insert(expected.end(), c.transfers.begin(), c.transfers.end());
        EXPECT_EQ(texts(bench.transfers()), expected);
        EXPECT_EQ(settings().osc, c.osc_after);
        EXPECT_EQ(pod.pod_close(), 0);
        EXPECT_NE(bench.calls().find("usb_release_interface 0\nusb_close\n"), std::string::npos);
        EXPECT_FALSE(test::library_resident("libusb.so"));
    }
}

TEST_F(TbdmlTest, EveryFailedOpenLeavesNothingOpen) {
    struct Case {
        const char* fault;  // a usb-... fault of the virtual target, or ""
        unsigned long osc;
        int result;
        const char* message;
        bool device_opened;
    };
    const Case cases[] = {
        {"usb-refuse:0x0C", 16000000, EIO, "unable to read TBDML version\n", true},
        {"usb-unknown:0x0C", 16000000, EIO, "device communication failed: unknown command\n", true},
        {"usb-empty:0x0C", 16000000, EIO, "device communication failed: unknown response\n", true},
        {"usb-short:0x0C", 16000000, EIO, "device communication failed: unknown response\n", true},
        {"usb-refuse:0x1E", 16000000, EINVAL, "unable to set target type: invalid type\n", true},
        {"usb-refuse:0x2E", 16000000, EINVAL, "invalid target frequency\n", true},
        {"", 400, EINVAL, "invalid target frequency\n", true},
        {"", 200000, EINVAL, "invalid target frequency\n", true},
        {"usb-refuse:0x1F", 0, EIO, "unable to connect to target device\n", true},
        {"usb-refuse:0x29", 0, EIO, "unable to connect to target device\n", true},
        {"usb-speed:0", 0, EIO, "unable to connect to target device\n", true},
        {"usb-short:0x29", 0, EIO, "device communication failed: unknown response\n", true},
        {"usb-bus:none", 16000000, ENOENT, "USB device not found\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " " + std::to_string(c.osc));
        sim::FaultSet faults;
        if (*c.fault != '\0') {
            ASSERT_EQ(sim::parse_fault(c.fault, &faults), 0);
        }
        TbdmlBench bench("dp256", {}, faults.usb,
                         faults.usb.bus == sim::UsbBusVariant::kNoDevice ? "hub" : "hub,tbdml");
        settings().osc = c.osc;
        EXPECT_EQ(capture(pod.pod_open), c.result);
        EXPECT_EQ(err, std::string("\nerror: ") + c.message);
        EXPECT_EQ(out, "");
        EXPECT_EQ(settings().osc, c.osc) << "nothing measured is kept";
        const std::string calls = bench.calls();
        if (c.device_opened) {
            EXPECT_NE(calls.find("usb_claim_interface 0\n"), std::string::npos) << calls;
            EXPECT_NE(calls.find("usb_release_interface 0\nusb_close\n"), std::string::npos)
                << calls;
        } else {
            EXPECT_EQ(calls.find("usb_close"), std::string::npos) << calls;
        }
        EXPECT_FALSE(test::library_resident("libusb.so"));
    }
    // A device that opens but cannot be claimed: usbdev_open closes it itself.
    TbdmlBench busy("dp256", {}, {}, "hub,tbdml:fail-claim");
    EXPECT_EQ(capture(pod.pod_open), EBUSY);
    EXPECT_EQ(err.rfind("\nerror: unable to claim USB device interface: ", 0), 0U) << err;
    EXPECT_NE(busy.calls().find("usb_claim_interface 0\nusb_close\n"), std::string::npos);
    EXPECT_EQ(busy.calls().find("usb_release_interface"), std::string::npos);
}

TEST_F(TbdmlTest, SinglePrimitivesAsTheirTransfers) {
    TbdmlBench bench;
    open_on(bench);
    uint8_t byte = 0;
    uint16_t word = 0;
    struct Case {
        const char* name;
        std::function<int()> call;
        std::vector<std::string> transfers;
    };
    const Case cases[] = {
        {"write_byte", [] { return pod.write_byte(0x1234, 0x5A); }, {"40 3C 1234 005A 0"}},
        {"write_word", [] { return pod.write_word(0x2000, 0xA55A); }, {"40 3D 2000 A55A 0"}},
        {"read_word",
         [&] { return pod.read_word(0x2000, &word); },
         {"C0 33 2000 0000 3 -> 33 5A A5"}},
        {"read_byte even",
         [&] { return pod.read_byte(0x2000, &byte); },
         {"C0 32 2000 0000 2 -> 32 A5"}},
        {"read_byte odd",
         [&] { return pod.read_byte(0x1234, &byte); },
         {"C0 32 1234 0000 2 -> 32 5A"}},
        {"write_bd_byte",
         [] { return pod.write_bd_byte(0xFF06, 0xC0); },
         {"C0 24 FF06 00C0 1 -> 24"}},
        {"read_bd_byte",
         [&] { return pod.read_bd_byte(0xFF01, &byte); },
         {"C0 23 FF01 0000 2 -> 23 C2"}},
        {"background", [] { return pod.background(); }, {"C0 27 0000 0000 1 -> 27"}},
        {"trace1", [] { return pod.trace1(); }, {"C0 2C 0000 0000 1 -> 2C"}},
        {"write_block of 5",
         [] {
             const uint8_t data[] = {0xD0, 0xD1, 0xD2, 0xD3, 0xD4};
             return pod.write_block(0x1000, data, sizeof data);
         },
         {"40 41 1000 D005 4 : D1 D2 D3 D4"}},
        {"read_block of 0", [&] { return pod.read_block(0x1000, &byte, 0); }, {}},
        {"go", [] { return pod.go(); }, {"C0 2A 0000 0000 1 -> 2A"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = bench.transfer_count();
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(texts(bench.transfers(before)), c.transfers);
    }
    EXPECT_EQ(bench.mcu().read_byte(0x1234), 0x5A);
    EXPECT_EQ(word, 0xA55A) << "the high half is the byte at the address";
    EXPECT_EQ(bench.bdm().cpu().ccr, 0xC0);
    EXPECT_EQ(bench.mcu().read_word(0x1000), 0xD0D1);
    EXPECT_EQ(bench.mcu().read_byte(0x1004), 0xD4);
    EXPECT_FALSE(bench.bdm().active()) << "go left background mode";
}

TEST_F(TbdmlTest, RegistersInThePodsOrder) {
    TbdmlBench bench;
    open_on(bench);
    const char* const commands[] = {"50", "54", "52", "53", "51", "55"};  // by register index
    for (unsigned index = 0; index <= 5; ++index) {
        SCOPED_TRACE(index);
        const std::size_t before = bench.transfer_count();
        ASSERT_EQ(pod.write_reg(index, static_cast<uint16_t>(0x1110 * (index + 1))), 0);
        const std::vector<UsbTransfer> sent = bench.transfers(before);
        ASSERT_EQ(sent.size(), 1U);
        char expected[32];
        std::snprintf(expected, sizeof expected, "40 %s %04X 0000 0", commands[index],
                      0x1110 * (index + 1));
        EXPECT_EQ(text_of(sent[0]), expected);
    }
    const sim::CpuState& cpu = bench.bdm().cpu();
    EXPECT_EQ(cpu.pc, 0x1110);
    EXPECT_EQ(cpu.d, 0x2220);
    EXPECT_EQ(cpu.x, 0x3330);
    EXPECT_EQ(cpu.y, 0x4440);
    EXPECT_EQ(cpu.sp, 0x5550);
    EXPECT_EQ(cpu.ccr, 0x60) << "the sixth register is the CCR";
    for (unsigned index = 0; index <= 5; ++index) {
        uint16_t value = 0;
        ASSERT_EQ(pod.read_reg(index, &value), 0);
        EXPECT_EQ(value, index == 5 ? 0x0060 : 0x1110 * (index + 1)) << index;
    }
    const std::size_t before = bench.transfer_count();
    uint16_t value = 0xBEEF;
    EXPECT_EQ(pod.read_reg(6, &value), EINVAL);
    EXPECT_EQ(value, 0xBEEF);
    EXPECT_EQ(pod.write_reg(6, 1), EINVAL);
    EXPECT_EQ(
        texts(bench.transfers(before)),
        (std::vector<std::string>{"C0 35 0000 0000 13 -> 35 10 11 50 55 30 33 40 44 20 22 60 00"}))
        << "the read asks first, the write sends nothing";
}

TEST_F(TbdmlTest, BlocksInChunksOverBothTransferForms) {
    struct Case {
        uint16_t address;
        uint32_t length;
        std::vector<std::pair<uint16_t, unsigned>> chunks;
    };
    const Case cases[] = {
        {0x2001, 70, {{0x2001, 31}, {0x2020, 32}, {0x2040, 7}}},
        {0x2000, 70, {{0x2000, 32}, {0x2020, 32}, {0x2040, 6}}},
        {0x2001, 20, {{0x2001, 20}}},
        {0x2001, 33, {{0x2001, 31}, {0x2020, 2}}},
        {0x2000, 32, {{0x2000, 32}}},
        {0x1FFF, 5, {{0x1FFF, 5}}},
    };
    for (const int bulk : {0, 1}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.address) + "+" + std::to_string(c.length) +
                         (bulk ? " bulk" : ""));
            TbdmlBench bench;
            open_on(bench);
            settings().tbdml_bulk = bulk;
            Bytes data(c.length);
            for (uint32_t i = 0; i < c.length; ++i) {
                data[i] = static_cast<uint8_t>(0x30 + 7 * i);
            }
            ASSERT_EQ(pod.write_block(c.address, data.data(), c.length), 0);
            for (uint32_t i = 0; i < c.length; ++i) {
                ASSERT_EQ(bench.mcu().read_byte(static_cast<uint16_t>(c.address + i)), data[i])
                    << i;
            }
            const std::size_t written = bench.transfer_count();
            Bytes back(c.length, 0);
            ASSERT_EQ(pod.read_block(c.address, back.data(), c.length), 0);
            EXPECT_EQ(back, data);

            // The transfers: per chunk one control transfer, or a bulk packet and its answer.
            std::vector<std::string> writes;
            std::vector<std::string> reads;
            uint32_t at = 0;
            for (const auto& [address, count] : c.chunks) {
                char head[64];
                if (bulk) {
                    std::snprintf(head, sizeof head, "out %02X %02X 41 %02X %02X %02X", count + 5,
                                  count + 4, address & 0xFF, address >> 8, count);
                    std::string packet = head;
                    for (unsigned i = 0; i < count; ++i) {
                        std::snprintf(head, sizeof head, " %02X", data[at + i]);
                        packet += head;
                    }
                    writes.push_back(packet);
                    writes.push_back("in 1 -> 41");
                    std::snprintf(head, sizeof head, "out 05 04 37 %02X %02X %02X", address & 0xFF,
                                  address >> 8, count);
                    reads.push_back(head);
                    std::snprintf(head, sizeof head, "in %u -> 37", count + 1);
                } else {
                    std::snprintf(head, sizeof head, "40 41 %04X %02X%02X %u", address, data[at],
                                  count, count - 1);
                    std::string control = head;
                    if (count > 1) {
                        control += " :";
                        for (unsigned i = 1; i < count; ++i) {
                            std::snprintf(head, sizeof head, " %02X", data[at + i]);
                            control += head;
                        }
                    }
                    writes.push_back(control);
                    std::snprintf(head, sizeof head, "C0 37 %04X %04X %u -> 37", address, count,
                                  count + 1);
                }
                std::string reply = head;
                for (unsigned i = 0; i < count; ++i) {
                    std::snprintf(head, sizeof head, " %02X", data[at + i]);
                    reply += head;
                }
                reads.push_back(reply);
                at += count;
            }
            const std::vector<UsbTransfer> all = bench.transfers(first);
            EXPECT_EQ(texts({all.begin(), all.begin() + static_cast<long>(written - first)}),
                      writes);
            EXPECT_EQ(texts(bench.transfers(written)), reads);
            (void)pod.pod_close();
            opened = false;
        }
    }
}

TEST_F(TbdmlTest, RepliesThatAreNotDataAreNeverUsed) {
    struct Case {
        const char* fault;
        int bulk;
        int result;
        const char* message;  // "" for none
    };
    const Case cases[] = {
        {"usb-refuse:0x33", 0, EIO, "TBDML refused the command <read word> at address <0x2000>\n"},
        {"usb-unknown:0x33", 0, EIO, "device communication failed: unknown command\n"},
        {"usb-empty:0x33", 0, EIO, "device communication failed: unknown response\n"},
        {"usb-short:0x33", 0, EIO, "device communication failed: unknown response\n"},
        {"usb-short:0x33:1", 0, EIO, "device communication failed: unknown response\n"},
        {"usb-refuse:0x37", 0, EIO, "TBDML refused the command <read block> at address <0x2000>\n"},
        {"usb-short:0x37", 0, EIO, "device communication failed: unknown response\n"},
        {"usb-refuse:0x37", 1, EIO, "TBDML refused the command <read block> at address <0x2000>\n"},
        {"usb-short:0x37", 1, EIO, "device communication failed: unknown response\n"},
        {"usb-short:0x37:2", 1, EIO, "device communication failed: unknown response\n"},
        {"usb-empty:0x37", 1, EIO, "device communication failed: unknown response\n"},
        {"usb-unknown:0x37", 1, EIO, "device communication failed: unknown command\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + (c.bulk ? " bulk" : ""));
        sim::FaultSet faults;
        ASSERT_EQ(sim::parse_fault(c.fault, &faults), 0);
        TbdmlBench bench("dp256", {}, faults.usb);
        open_on(bench);
        settings().tbdml_bulk = c.bulk;
        bench.mcu().write_word(0x2000, 0x1234);
        Bytes buffer(8, 0xEE);
        uint16_t word = 0xEEEE;
        const bool block = std::string(c.fault).find("0x37") != std::string::npos;
        const int result = capture([&] {
            return block ? pod.read_block(0x2000, buffer.data(), 8) : pod.read_word(0x2000, &word);
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(err, *c.message != '\0' ? std::string("\nerror: ") + c.message : "");
        EXPECT_EQ(buffer, Bytes(8, 0xEE)) << "nothing of the reply reached the caller";
        EXPECT_EQ(word, 0xEEEE);
        (void)pod.pod_close();
        opened = false;
    }
    // A write without a reply cannot be refused: the pod's refusal is never seen.
    sim::FaultSet faults;
    ASSERT_EQ(sim::parse_fault("usb-refuse:0x41", &faults), 0);
    TbdmlBench bench("dp256", {}, faults.usb);
    open_on(bench);
    const uint8_t data[] = {1, 2, 3};
    settings().tbdml_bulk = 0;
    EXPECT_EQ(pod.write_block(0x2000, data, 3), 0);
    settings().tbdml_bulk = 1;
    EXPECT_EQ(capture([&] { return pod.write_block(0x2000, data, 3); }), EIO) << "in bulk it is";
    EXPECT_EQ(err, "\nerror: TBDML refused the command <write block> at address <0x2000>\n");
}

TEST_F(TbdmlTest, ResetsAndTheirRefusal) {
    TbdmlBench bench;
    open_on(bench);
    EXPECT_TRUE(bench.bdm().active());
    ASSERT_EQ(pod.reset_normal(), 0);
    EXPECT_FALSE(bench.bdm().active()) << "the part runs its program";
    ASSERT_EQ(pod.reset_special(), 0);
    EXPECT_TRUE(bench.bdm().active());
    EXPECT_EQ(sent_since_open(bench),
              (std::vector<std::string>{"C0 21 0001 0000 1 -> 21", "C0 23 FFFF 0000 2 -> 23 FF",
                                        "C0 21 0000 0000 1 -> 21", "C0 23 FF01 0000 2 -> 23 C2"}))
        << "after a special reset the pod is asked for BDMSTS until the BDM is active";
    (void)pod.pod_close();
    opened = false;

    sim::FaultSet faults;
    ASSERT_EQ(sim::parse_fault("usb-refuse:0x21", &faults), 0);
    TbdmlBench stuck("dp256", {}, faults.usb);
    ASSERT_EQ(capture(pod.pod_open), 0);
    opened = true;
    const std::size_t before = stuck.transfer_count();
    EXPECT_EQ(capture(pod.reset_special), EIO);
    EXPECT_EQ(err, "\nerror: unable to reset target: reset line stuck\n");
    EXPECT_EQ(texts(stuck.transfers(before)),
              (std::vector<std::string>{"C0 21 0000 0000 1 -> 02"}));
}

}  // namespace
}  // namespace zelv
