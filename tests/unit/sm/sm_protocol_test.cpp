// The serial monitor protocol against a scripted monitor on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "base/settings.h"
#include "fakes/run_state.h"
#include "fakes/scripted_peer.h"
#include "link/serial.h"
#include "memops/flash_layout.h"
#include "sm/sm_operations.h"
#include "sm/sm_protocol.h"
#include "target/target_model.h"

namespace zelv {
namespace {

using test::Bytes;
using test::ok_prompt;

class SmProtocolTest : public testing::Test {
protected:
    void SetUp() override {
        test::reset_run_state();
        ASSERT_EQ(serial_open(&sm_port(), peer.slave_path().c_str()), 0);
        SerialSettings line;
        ASSERT_EQ(serial_set_settings(&sm_port(), &line), 0);
    }
    void TearDown() override {
        (void)serial_close(&sm_port());
        test::reset_run_state();
    }

    // Runs call against the script and returns its result; err holds what it reported.
    template <typename Call>
    int exchange(Call call) {
        peer.start();
        testing::internal::CaptureStderr();
        const int result = call();
        err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(peer.finish(), "");
        return result;
    }

    test::ScriptedPeer peer;
    std::string err;
};

TEST_F(SmProtocolTest, PromptErrorCodes) {
    struct Case {
        Bytes prompt;
        int result;
        std::string message;
        Bytes status_read = {};  // a FLASH or EEPROM error reads the module's status: its exchange
        uint8_t status = 0;
    };
    const Bytes fstat = {0xA1, 0x01, 0x05};
    const Bytes estat = {0xA1, 0x01, 0x15};
    const Case cases[] = {
        {{0xE0, 0x55, '>'}, 0, ""},
        {{0xE0, 0x00, '<'}, EIO, "unexpected target prompt char\n"},
        {{0xE1, 0x00, '>'}, EIO, "SM command not recognized\n"},
        {{0xE2, 0x00, '>'}, EIO, "SM command not allowed in run mode\n"},
        {{0xE3, 0x00, '>'}, EIO, "SM stack pointer out of range\n"},
        {{0xE4, 0x00, '>'}, EIO, "SM invalid write SP value\n"},
        {{0xE5, 0x00, '>'}, EIO, "SM byte write access to nonvolatile memory\n"},
        {{0xE6, 0x00, 'x'}, EIO, "SM FLASH error\n", fstat, 0x40},
        {{0xE6, 0x00, '>'},
         EIO,
         "SM FLASH error\nFLASH status <0xE0>: protection violation - the address lies in a "
         "protected area (check the protection settings and the file's addresses)\n",
         fstat,
         0xE0},
        {{0xE7, 0x00, '>'}, EIO, "SM error code not implemented\n"},
        {{0xE8, 0x00, '>'}, EIO, "SM error code not implemented\n"},
        {{0xE9, 0x00, '>'},
         EIO,
         "SM EEPROM error\nEEPROM status <0xD0>: access error - the memory was not erased, or "
         "the command was refused (erase first, check the file's addresses)\n",
         estat,
         0xD0},
        {{0x3E, 0x00, '>'}, EIO, "SM unknown error code 0x3E\n"},
    };
    for (const Case& c : cases) {
        peer.step({0xA2, 0x00, 0x30, 0x3C}, c.prompt);
        if (!c.status_read.empty()) {
            peer.step(c.status_read, {c.status, 0xE0, 0x00, '>'});
        }
    }
    peer.start();
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(sm_write_byte(0x0030, 0x3C), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  c.message.empty() ? "" : "\nerror: " + c.message);
    }
    EXPECT_EQ(peer.finish(), "");
}

TEST_F(SmProtocolTest, SynchronisationHuntsForThePrompt) {
    // Junk first, then "not recognized" for the carriage return: connected.
    peer.step({0x0D}, {0x00, 0x13, 0x37, 0xFF, 0xE1, 0x00, '>'});
    EXPECT_EQ(exchange([] { return sm_synchronise(); }), 0);
    EXPECT_EQ(err, "");
}

TEST_F(SmProtocolTest, SynchronisationAcceptsSuccessButJudgesOtherCodes) {
    peer.step({0x0D}, {'>', 0xE0, 0x00, '>'});
    peer.step({0x0D}, {0xE9, 0x00, '>'});
    peer.step({0xA1, 0x01, 0x15}, {0x00, 0xE0, 0x00, '>'});
    peer.start();
    testing::internal::CaptureStderr();
    EXPECT_EQ(sm_synchronise(), 0);
    EXPECT_EQ(sm_synchronise(), EIO);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nerror: SM EEPROM error\n");
    EXPECT_EQ(peer.finish(), "");
}

TEST_F(SmProtocolTest, SynchronisationGivesUpOnASilentLine) {
    peer.step({0x0D}, {0x01, 0x02, 0x03});
    EXPECT_EQ(exchange([] { return sm_synchronise(); }), ETIMEDOUT);
    EXPECT_EQ(err, "\nerror: timeout - no connection with target\n");
}

TEST_F(SmProtocolTest, MemoryAccessCommands) {
    peer.step({0xA1, 0x12, 0x34}, {0x5A, 0xE0, 0x00, '>'});
    peer.step({0xA3, 0x00, 0x1A}, {0x12, 0x34, 0xE0, 0x00, '>'});
    peer.step({0xA4, 0x04, 0x00, 0x12, 0x34}, ok_prompt());
    Bytes block_reply(259, 0xA5);
    block_reply[256] = 0xE0;
    block_reply[257] = 0x00;
    block_reply[258] = '>';
    peer.step({0xA7, 0x80, 0x00, 0xFF}, block_reply);
    peer.step({0xA8, 0xF8, 0x00, 0x01, 0xDE, 0xAD}, ok_prompt());
    peer.start();
    uint8_t byte = 0;
    EXPECT_EQ(sm_read_byte(0x1234, &byte), 0);
    EXPECT_EQ(byte, 0x5A);
    uint16_t word = 0;
    EXPECT_EQ(sm_read_word(0x001A, &word), 0);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(sm_write_word(0x0400, 0x1234), 0);
    uint8_t block[256] = {};
    EXPECT_EQ(sm_read_block(0x8000, block, 256), 0);
    EXPECT_EQ(block[0], 0xA5);
    EXPECT_EQ(block[255], 0xA5);
    const uint8_t data[2] = {0xDE, 0xAD};
    EXPECT_EQ(sm_write_block(0xF800, data, 2), 0);
    EXPECT_EQ(peer.finish(), "");
}

TEST_F(SmProtocolTest, ReadWordKeepsTheValueOnAMonitorError) {
    peer.step({0xA3, 0x00, 0x1A}, {0x12, 0x34, 0xE6, 0x00, '>'});
    peer.step({0xA1, 0x01, 0x05}, {0x00, 0xE0, 0x00, '>'});
    uint16_t word = 0xBEEF;
    EXPECT_EQ(exchange([&] { return sm_read_word(0x001A, &word); }), EIO);
    EXPECT_EQ(word, 0xBEEF);
}

TEST_F(SmProtocolTest, BadBlockCountsSendNothing) {
    uint8_t block[257] = {};
    peer.start();
    EXPECT_EQ(sm_read_block(0x8000, block, 0), EINVAL);
    EXPECT_EQ(sm_read_block(0x8000, block, 257), EINVAL);
    EXPECT_EQ(sm_write_block(0x8000, block, 0), EINVAL);
    EXPECT_EQ(sm_write_block(0x8000, block, 257), EINVAL);
    EXPECT_EQ(peer.finish(), "");
}

TEST_F(SmProtocolTest, MissingReplyTimesOut) {
    peer.step({0xA1, 0x00, 0x30}, {});
    uint8_t byte = 0;
    EXPECT_EQ(exchange([&] { return sm_read_byte(0x0030, &byte); }), ETIMEDOUT);
    EXPECT_EQ(err, "\nerror: timeout - no connection with target\n");
}

// FLASH writes select the block, then the page, then write through the window or, for the
// monitor's top 2 KB of the last page, through the fixed page.
class SmFlashAddressingTest : public SmProtocolTest {
protected:
    void use(const char* module, int format) {
        ASSERT_EQ(test::build_target_from(dir, test::description_text(module)), 0);
        settings().address_format = format;
    }
    void expect_write(uint8_t block, uint8_t page, uint16_t address) {
        peer.step({0xA2, 0x01, 0x03, block}, ok_prompt());
        peer.step({0xA2, 0x00, 0x30, page}, ok_prompt());
        peer.step({0xA8, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0x03, 1,
                   2, 3, 4},
                  ok_prompt());
    }
    test::TempDir dir;
};

TEST_F(SmFlashAddressingTest, BankedLinearOnSixteenPages) {
    use("FTS256K", kBankedLinear);
    expect_write(0, 0x3F, 0xF800);  // 0x3F800: the monitor's area of the last page
    expect_write(0, 0x3F, 0xB000);  // 0x3F000: the last page through the window
    expect_write(3, 0x30, 0x8000);  // 0x00000: the lowest page is in the highest block
    expect_write(2, 0x37, 0xBFFC);  // 0x1FFFC
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(exchange([&] {
                  int r = sm_flash_write_block(0x3F800, data, 4);
                  r = r != 0 ? r : sm_flash_write_block(0x3F000, data, 4);
                  r = r != 0 ? r : sm_flash_write_block(0x00000, data, 4);
                  return r != 0 ? r : sm_flash_write_block(0x1FFFC, data, 4);
              }),
              0);
}

TEST_F(SmFlashAddressingTest, NonBankedFixedPagesUseTheirOwnBlock) {
    use("FTS256K", kNonBanked);
    expect_write(0, 0x3E, 0x8000);  // CPU 0x4000: page 0x3E lies in block 0 with 0x3C-0x3F
    expect_write(3, 0x30, 0x8000);  // CPU 0x8000: the default page 0x30 lies in block 3
    expect_write(0, 0x3F, 0x8000);  // CPU 0xC000
    expect_write(0, 0x3F, 0xFFFC);  // CPU 0xFFFC: the monitor's area, at its fixed address
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(exchange([&] {
                  int r = sm_flash_write_block(0x0000, data, 4);
                  r = r != 0 ? r : sm_flash_write_block(0x4000, data, 4);
                  r = r != 0 ? r : sm_flash_write_block(0x8000, data, 4);
                  return r != 0 ? r : sm_flash_write_block(0xBFFC, data, 4);
              }),
              0);
}

}  // namespace
}  // namespace zelv
