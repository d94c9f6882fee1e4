// The serial monitor emulator, driven byte by byte as the host drives it: the replies of
// every command, the monitor's programming rules, and every fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "fakes/run_state.h"
#include "sim/sim_test_util.h"
#include "fronts/sm_emulator.h"

namespace zelv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kOk = {0xE0, 0x00, '>'};

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class SmEmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        sim_set_quiet(true);
        start("dp256");
    }
    void TearDown() override { sim_set_quiet(false); }

    void start(const char* part, const SmFaults& faults = {}) {
        configure_part(mcu, part);
        monitor = std::make_unique<SmEmulator>(mcu, faults);
        ASSERT_TRUE(monitor->install());
    }

    // Sends a command byte by byte; nothing may come back before its last byte.
    Bytes send(const Bytes& bytes, unsigned* delay = nullptr) {
        Reply reply;
        for (size_t i = 0; i < bytes.size(); ++i) {
            monitor->receive(bytes[i], reply);
            if (i + 1 < bytes.size()) {
                EXPECT_TRUE(reply.bytes.empty()) << "answer before byte " << i + 1;
            }
        }
        if (delay != nullptr) {
            *delay = reply.delay_ms;
        }
        return reply.bytes;
    }

    Bytes write_block(uint16_t address, const Bytes& data) {
        Bytes command = {0xA8, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                         static_cast<uint8_t>(data.size() - 1)};
        return send(cat(command, data));
    }

    Bytes write_byte(uint16_t address, uint8_t value) {
        return send(
            {0xA2, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), value});
    }

    // Selects block and page as the host does before a FLASH write.
    void select(uint8_t block, uint8_t page) {
        ASSERT_EQ(write_byte(0x0103, block), kOk);
        ASSERT_EQ(write_byte(0x0030, page), kOk);
    }

    VirtualMcu mcu;
    std::unique_ptr<SmEmulator> monitor;
};

TEST_F(SmEmulatorTest, AnswersEveryCommandWithItsBytesAndThePrompt) {
    const Bytes not_recognized = {0xE1, 0x00, '>'};
    const Bytes info = {'S', 'M', 0x06, 0x01, 0x20, 0x25, 0x01, 0x00};
    Bytes ram_block(256);
    for (size_t i = 0; i < ram_block.size(); ++i) {
        ram_block[i] = static_cast<uint8_t>(i);
    }
    struct Case {
        const char* what;
        Bytes sent;
        Bytes expected;
    };
    const Case cases[] = {
        {"sync", {0x0D}, not_recognized},
        {"unknown", {0xA5}, not_recognized},
        {"device info", {0xB7}, cat({0xDC, 0x00, 0x12}, kOk)},
        {"read byte", {0xA1, 0x00, 0x1B}, cat({0x12}, kOk)},
        {"read word", {0xA3, 0x00, 0x1A}, cat({0x00, 0x12}, kOk)},
        {"read block", {0xA7, 0xFE, 0xF8, 0x07}, cat(info, kOk)},
        {"write RAM byte", {0xA2, 0x10, 0x00, 0x5A}, kOk},
        {"read it back", {0xA1, 0x10, 0x00}, cat({0x5A}, kOk)},
        {"write RAM word", {0xA4, 0x10, 0x01, 0x12, 0x34}, kOk},
        {"write RAM block", cat({0xA8, 0x20, 0x00, 0xFF}, ram_block), kOk},
        {"read 256", {0xA7, 0x20, 0x00, 0xFF}, cat(ram_block, kOk)},
        {"byte to FLASH", {0xA2, 0xC0, 0x00, 0x00}, {0xE5, 0x00, '>'}},
        {"byte to EEPROM", {0xA2, 0x40, 0x00, 0x00}, {0xE5, 0x00, '>'}},
        {"vectors read as the monitor's", {0xA3, 0xFF, 0xFE}, cat({0xF8, 0x00}, kOk)},
        {"security byte", {0xA1, 0xFF, 0x0F}, cat({0xFE}, kOk)},
        {"FSEC", {0xA1, 0x01, 0x01}, cat({0xFE}, kOk)},
        {"erase EEPROM", {0xB9}, kOk},
        {"erase FLASH", {0xB6}, kOk},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(send(c.sent), c.expected) << c.what;
    }
    EXPECT_EQ(mcu.ram()[0], 0x5A);
    EXPECT_EQ(mcu.ram()[2], 0x34);
}

TEST_F(SmEmulatorTest, ProgramsFlashWordByWordThroughTheWindow) {
    const uint32_t at = flash_at(mcu, 0x31, 0x0100);  // block 3
    select(3, 0x31);
    EXPECT_EQ(write_block(0x8100, {0x01, 0x02, 0x03, 0x04}), kOk);
    EXPECT_EQ(mcu.flash()[at + 3], 0x04);
    EXPECT_EQ(send({0xA4, 0x81, 0x04, 0xAB, 0xCD}), kOk);
    EXPECT_EQ(mcu.flash()[at + 5], 0xCD);

    const Bytes flash_error = {0xE6, 0x00, '>'};
    struct Case {
        const char* what;
        uint16_t address;
        Bytes data;
    };
    const Case refused[] = {
        {"not erased", 0x8100, {0x01, 0x02}},
        {"odd count", 0x8200, {0x01, 0x02, 0x03}},
        {"odd address", 0x8201, {0x01, 0x02}},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(write_block(c.address, c.data), flash_error) << c.what;
    }
    EXPECT_EQ(mcu.flash()[at + 0x100], 0xFF);

    // A block that runs into a programmed word keeps the words before it.
    EXPECT_EQ(write_block(0x80FC, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}), flash_error);
    EXPECT_EQ(mcu.flash()[at - 4], 0x11);
    EXPECT_EQ(mcu.flash()[at - 1], 0x44);

    // The host forgot to select the block: the hardware's access error.
    select(0, 0x31);
    EXPECT_EQ(write_block(0x8200, {0x01, 0x02}), flash_error);
    EXPECT_EQ(mcu.flash()[at + 0x100], 0xFF);
}

TEST_F(SmEmulatorTest, GuardsItsOwnTwoKilobytesAndRedirectsTheVectors) {
    const Bytes flash_error = {0xE6, 0x00, '>'};
    select(0, 0x3F);
    EXPECT_EQ(write_block(0xF800, {0x01, 0x02}), flash_error);
    EXPECT_EQ(write_block(0xFF0E, {0xFF, 0x00}), flash_error) << "security byte";
    EXPECT_EQ(write_block(0xBFFE, {0xC0, 0x00}), flash_error) << "vectors through the window";
    EXPECT_EQ(write_block(0xFFF8, {0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0xC0, 0x00}), kOk);
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x3F, 0x37F8)], 0x12);
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x3F, 0x37FE)], 0xC0);
    EXPECT_EQ(send({0xA3, 0xFF, 0xFE}), cat({0xF8, 0x00}, kOk));
    EXPECT_EQ(send({0xA3, 0xF7, 0xFE}), cat({0xC0, 0x00}, kOk));
    EXPECT_EQ(write_block(0xF7F0, {0x01, 0x02}), kOk) << "just below the monitor";
}

TEST_F(SmEmulatorTest, EraseFlashKeepsTheMonitorAndTheBlockSelect) {
    select(3, 0x30);
    ASSERT_EQ(write_block(0x8000, {0x01, 0x02}), kOk);
    select(0, 0x3F);
    ASSERT_EQ(write_block(0xF7FE, {0x01, 0x02}), kOk);
    ASSERT_EQ(write_byte(0x0103, 2), kOk);
    const std::array<uint8_t, 0x800> image = SmEmulator::monitor_image();

    EXPECT_EQ(send({0xB6}), kOk);
    const auto top = mcu.flash().begin() + flash_at(mcu, 0x3F, 0x3800);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), top));
    EXPECT_TRUE(std::all_of(mcu.flash().begin(), top, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(mcu.read_byte(0x0103), 2);
}

TEST_F(SmEmulatorTest, ProgramsAndErasesEeprom) {
    const Bytes eeprom_error = {0xE9, 0x00, '>'};
    EXPECT_EQ(write_block(0x4010, {0x01, 0x02, 0x03, 0x04}), kOk);
    EXPECT_EQ(mcu.eeprom()[0x13], 0x04);
    EXPECT_EQ(write_block(0x4010, {0x01, 0x02}), eeprom_error) << "not erased";
    EXPECT_EQ(write_block(0x4021, {0x01, 0x02}), eeprom_error) << "odd address";
    EXPECT_EQ(send({0xA4, 0x4F, 0xFC, 0xFF, 0xF3}), kOk) << "protection field";
    EXPECT_EQ(send({0xB9}), kOk);
    EXPECT_EQ(mcu.eeprom()[0x13], 0xFF);

    // After a reset EPROT shows the protection, and mass erase is refused.
    EXPECT_EQ(send({0xA4, 0x4F, 0xFC, 0xFF, 0xF3}), kOk);
    EXPECT_TRUE(send({0xB4}).empty()) << "reset has no prompt";
    EXPECT_EQ(send({0xA1, 0x01, 0x14}), cat({0xF3}, kOk));
    EXPECT_EQ(send({0xB9}), eeprom_error);
    EXPECT_EQ(write_block(0x4F00, {0x01, 0x02}), eeprom_error) << "protected area";
}

TEST_F(SmEmulatorTest, ResetReturnsToTheMonitorWithResetRegisters) {
    ASSERT_EQ(write_byte(0x0030, 0x35), kOk);
    EXPECT_TRUE(send({0xB4}).empty());
    EXPECT_EQ(send({0xA1, 0x00, 0x30}), cat({0x00}, kOk));
}

TEST_F(SmEmulatorTest, PartWithoutEepromRefusesTheEepromErase) {
    start("c32");
    EXPECT_EQ(send({0xB9}), Bytes({0xE9, 0x00, '>'}));
    EXPECT_EQ(send({0xB7}), cat({0xDC, 0x33, 0x11}, kOk));
}

TEST_F(SmEmulatorTest, FaultsChangeExactlyWhatTheySay) {
    SmFaults faults;
    faults.errors.push_back({0xA8, 0xE6, 1});
    faults.prompts.push_back({0xA1, '?', 0});
    faults.wrong_device = true;
    faults.device_code = 0xDD;
    faults.junk = 3;
    faults.slow_erase_ms = 700;
    start("dp256", faults);

    EXPECT_EQ(send({0x0D}), Bytes({0x00, 0xFF, 0x55, 0xE1, 0x00, '>'})) << "junk only once";
    EXPECT_EQ(send({0x0D}), Bytes({0xE1, 0x00, '>'}));
    EXPECT_EQ(send({0xB7}), cat({0xDD, 0x00, 0x12}, kOk));
    EXPECT_EQ(send({0xA1, 0x00, 0x1B}), Bytes({0x12, 0xE0, 0x00, '?'}));
    EXPECT_EQ(write_block(0x1000, {0x01}), kOk) << "first write block passes";
    EXPECT_EQ(write_block(0x1001, {0x02}), Bytes({0xE6, 0x00, '>'}));
    EXPECT_EQ(mcu.ram()[1], 0x00) << "a failed write changes nothing";
    unsigned delay = 0;
    EXPECT_EQ(send({0xB6}, &delay), kOk);
    EXPECT_EQ(delay, 700u);
    EXPECT_EQ(send({0xB9}, &delay), kOk);
    EXPECT_EQ(delay, 700u);
}

TEST_F(SmEmulatorTest, SilentMonitorAnswersNothingAfterItsQuota) {
    SmFaults faults;
    faults.silent = true;
    faults.silent_after = 2;
    start("dp256", faults);
    EXPECT_EQ(send({0x0D}), Bytes({0xE1, 0x00, '>'}));
    EXPECT_EQ(send({0xB7}), cat({0xDC, 0x00, 0x12}, kOk));
    EXPECT_TRUE(send({0xB7}).empty());
    EXPECT_TRUE(write_block(0x1000, {0x01}).empty());
    EXPECT_EQ(mcu.ram()[0], 0x00);
}

// A babbling line: nothing until the host speaks, then noise for ever, never a prompt
// character, and no answer to any command.
TEST_F(SmEmulatorTest, BabblingLineNeverCompletesAPrompt) {
    SmFaults faults;
    faults.babble_ms = 7;
    start("dp256", faults);
    Reply reply;
    EXPECT_EQ(monitor->unsolicited(reply), -1) << "quiet before the host's first byte";
    EXPECT_TRUE(send({0x0D}).empty());
    EXPECT_TRUE(send({0xB7}).empty());
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(monitor->unsolicited(reply), 7);
    }
    EXPECT_EQ(reply.bytes.size(), 1000u);
    EXPECT_EQ(std::count(reply.bytes.begin(), reply.bytes.end(), '>'), 0);

    // Without the fault the monitor never speaks unasked.
    start("dp256");
    EXPECT_EQ(send({0x0D}), Bytes({0xE1, 0x00, '>'}));
    Reply none;
    EXPECT_EQ(monitor->unsolicited(none), -1);
    EXPECT_TRUE(none.bytes.empty());
}

// The HCS12X shows page 0xFD at 0x4000: a block written through the PPAGE window with page
// 0xFD selected is what the CPU reads at 0x4000, while 0xFE and 0xFF are the window after
// reset and the page at 0xC000.
TEST_F(SmEmulatorTest, Hcs12xFixedPageAt4000IsPage0xFD) {
    start("xdp512");
    select(0, 0xFD);
    ASSERT_EQ(write_block(0x8000, {0x12, 0x34, 0x56, 0x78}), kOk);
    select(0, 0xFE);
    ASSERT_EQ(write_block(0x8010, {0x9A, 0xBC}), kOk);
    mcu.reset(false);
    EXPECT_EQ(mcu.read_register(reg::kPpage), 0xFE);
    EXPECT_EQ(send({0xA7, 0x40, 0x00, 0x03}), cat({0x12, 0x34, 0x56, 0x78}, kOk));
    EXPECT_EQ(send({0xA3, 0x80, 0x10}), cat({0x9A, 0xBC}, kOk));
    // The top of page 0xFF at 0xC000 is the monitor's own.
    EXPECT_EQ(send({0xA3, 0xFF, 0xFE}), cat({0xF8, 0x00}, kOk));
}

TEST(SimFaults, ParsesTheDocumentedSyntax) {
    sim_set_quiet(true);
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"silent", true},
        {"silent,after=5", true},
        {"error:0xA8:0xE6", true},
        {"error:0xA8:0xE6,after=3", true},
        {"prompt:0xA1", true},
        {"prompt:0xB7:0x3C,after=0", true},
        {"device:0xDD", true},
        {"junk", true},
        {"junk:200", true},
        {"stuck-flash:0x3F000", true},
        {"stuck-eeprom:0x105:0x7F", true},
        {"weak-flash:0x1FFFF", true},
        {"slow-erase:6000", true},
        {"babble", true},
        {"babble:90", true},
        {"babble:0", false},
        {"babble:91", false},
        {"babble:5,after=1", false},
        {"", false},
        {"loud", false},
        {"error:0xA8", false},
        {"error:0x1A8:0xE6", false},
        {"error:0xA8:0xE6,after=", false},
        {"error:0xA8:0xE6,after=1,after=2", false},
        {"error:0xA8:0xE6,later=1", false},
        {"device:0xDD,after=1", false},
        {"junk:201", false},
        {"junk:-1", false},
        {"stuck-flash:0x10:0x100", false},
        {"slow-erase:fast", false},
    };
    for (const Case& c : cases) {
        FaultSet faults;
        EXPECT_EQ(parse_fault(c.text, &faults), c.valid ? 0 : EINVAL) << c.text;
    }
    FaultSet faults;
    ASSERT_EQ(parse_fault("error:0xA8:0xE6,after=3", &faults), 0);
    ASSERT_EQ(parse_fault("prompt:0xB7", &faults), 0);
    ASSERT_EQ(parse_fault("stuck-eeprom:0x105:0x7F", &faults), 0);
    ASSERT_EQ(faults.sm.errors.size(), 1u);
    EXPECT_EQ(faults.sm.errors[0].command, 0xA8);
    EXPECT_EQ(faults.sm.errors[0].value, 0xE6);
    EXPECT_EQ(faults.sm.errors[0].after, 3u);
    EXPECT_EQ(faults.sm.prompts[0].value, '?');
    ASSERT_EQ(faults.stuck.size(), 1u);
    EXPECT_EQ(faults.stuck[0].region, Region::kEeprom);
    EXPECT_EQ(faults.stuck[0].offset, 0x105u);
    EXPECT_EQ(faults.stuck[0].value, 0x7F);
    sim_set_quiet(false);
}

}  // namespace
}  // namespace zelv::sim::test
