// The lrae entry's operations against a scripted agent: the agent load and its oscillator
// handshake, FLASH reads page by page with their checksum, writes, and the two erases.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "base/settings.h"
#include "lrae/lrae_agent.h"
#include "lrae/lrae_operations.h"
#include "lrae/lrae_test_util.h"

namespace zelv {
namespace {

using test::Bytes;
using test::lrae_frame_bytes;

// A page as the agent streams it: its bytes, then their 8-bit sum (wrong by `off`).
Bytes page_reply(const Bytes& bytes, uint8_t off = 0) {
    Bytes reply = {0x00};  // the frame's acknowledge
    uint8_t sum = 0;
    for (const uint8_t byte : bytes) {
        reply.push_back(byte);
        sum = static_cast<uint8_t>(sum + byte);
    }
    reply.push_back(static_cast<uint8_t>(sum + off));
    return reply;
}

Bytes page_of(uint8_t fill) {
    return Bytes(0x4000, fill);
}

Bytes read_frame(uint8_t block, uint8_t page) {
    return lrae_frame_bytes(0x0A, {block, page, 0x80, 0x00, 0x40});
}

class LraeAgentLoadTest : public test::LraeTest {
protected:
    void SetUp() override {
        LraeTest::SetUp();
        use("FTS128K");
        connect();
    }
    // The agent's two bytes at 0x3800 through the boot loader, acknowledged.
    void expect_agent() { peer.step({0x38, 0x00, 0x00, 0x02, 0xAA, 0xBB, 0x9F}, {0x80}); }
};

TEST_F(LraeAgentLoadTest, LoadsOnceAndHandsOverTheOscillatorInKilohertz) {
    expect_agent();
    peer.step({0x3E, 0x80}, {0x00});  // 16000 kHz
    EXPECT_EQ(exchange([] {
                  const int first = lrae_agent_load();
                  return first != 0 ? first : lrae_agent_load();
              }),
              0);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(lrae_state().agent_loaded);
}

TEST_F(LraeAgentLoadTest, RefusedOscillatorLeavesNoAgentAndNoBootLoader) {
    expect_agent();
    peer.step({0x3E, 0x80}, {0x01});
    int again = 0;
    EXPECT_EQ(exchange([&] {
                  const int first = lrae_agent_load();
                  again = lrae_agent_load();  // refused without a byte sent
                  return first;
              }),
              EINVAL);
    EXPECT_EQ(again, EINVAL);
    EXPECT_EQ(err,
              "\nerror: invalid oscillator frequency for target programming\n"
              "\nerror: RAM load not possible - LRAE boot loader no longer active (target reset "
              "required)\n");
    EXPECT_FALSE(lrae_state().agent_loaded);
}

TEST_F(LraeAgentLoadTest, OscillatorMustFitSixteenBitsOfKilohertz) {
    settings().osc = 65536000;
    EXPECT_EQ(exchange([] { return lrae_agent_load(); }), EINVAL);
    EXPECT_EQ(err, "\nerror: invalid oscillator frequency for target programming\n");
    EXPECT_FALSE(lrae_state().program_started) << "nothing was sent";
}

TEST_F(LraeAgentLoadTest, LargestOscillatorThatFits) {
    settings().osc = 65535999;
    expect_agent();
    peer.step({0xFF, 0xFF}, {0x00});
    EXPECT_EQ(exchange([] { return lrae_agent_load(); }), 0);
}

class LraeFlashTest : public test::LraeTest {
protected:
    void agent(const std::string& module, const std::string& extra = "",
               const std::string& family = "HCS12") {
        use(module, extra, family);
        connect_agent();
    }
    std::string path = dir.file("flash.s19");
};

TEST_F(LraeFlashTest, ReadsEveryPageAndChecksItsSum) {
    agent("FTS32K");
    settings().address_format = kBankedLinear;
    Bytes low = page_of(0xFF);
    low[0x10] = 0x12;
    Bytes high = page_of(0xFF);
    high[0x3FFE] = 0xC0;
    high[0x3FFF] = 0x00;
    peer.step(read_frame(0, 0x3E), page_reply(low));
    peer.step(read_frame(0, 0x3F), page_reply(high));
    EXPECT_EQ(exchange([&] { return lrae_interface.flash_read(path.c_str()); }), 0);
    EXPECT_EQ(err, "");
    const std::string file = test::read_file(path);
    EXPECT_NE(file.find("S2140F801012FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF49\n"), std::string::npos)
        << file;
    EXPECT_NE(file.find("S2140FFFF0FFFFFFFFFFFFFFFFFFFFFFFFFFFFC0003B\nS80400C0003B\n"),
              std::string::npos)
        << file;
}

TEST_F(LraeFlashTest, AWrongPageChecksumStopsTheRead) {
    agent("FTS32K");
    peer.step(read_frame(0, 0x3E), page_reply(page_of(0x5A), 1));
    EXPECT_EQ(exchange([&] { return lrae_interface.flash_read(path.c_str()); }), EIO);
    EXPECT_EQ(err, "\nerror: invalid checksum received\n");
    EXPECT_FALSE(test::file_exists(path));
}

TEST_F(LraeFlashTest, APartialLastPageIsReadAndCheckedWhole) {
    // A 24 KB window: the second page is streamed whole, its first 8 KB kept.
    agent("FTS32K", "flash_nb_size 0x6000\n");
    Bytes high = page_of(0xFF);
    high[0x1FFF] = 0x77;
    high[0x3FFF] = 0x99;  // outside the image, but in the checksum
    peer.step(read_frame(0, 0x3E), page_reply(page_of(0xFF)));
    peer.step(read_frame(0, 0x3F), page_reply(high));
    EXPECT_EQ(exchange([&] { return lrae_interface.flash_read(path.c_str()); }), 0);
    EXPECT_EQ(err, "");
    const std::string file = test::read_file(path);
    EXPECT_NE(file.find("S113DFF0FFFFFFFFFFFFFFFFFFFFFFFFFFFFFF77B5\nS903FF7786\n"),
              std::string::npos)
        << file;
}

TEST_F(LraeFlashTest, WriteBlockGoesThroughTheWindow) {
    agent("FTS256K");
    settings().address_format = kBankedLinear;
    Bytes data(256);
    uint8_t sum = 0;
    for (unsigned i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    // Offset 0x4100: page 0x31 of block 3, window address 0x8100, count 0x0100.
    const Bytes frame = lrae_frame_bytes(0x0B, {0x03, 0x31, 0x81, 0x00, 0x01, 0x00});
    Bytes with_data = data;
    with_data.push_back(sum);
    peer.step(frame, {0x00});
    peer.step(with_data, {0x00});
    peer.step(frame, {0x00});
    peer.step(with_data, {0x55});
    peer.step(frame, {0x00});
    peer.step(with_data, {0x04});
    peer.start();
    const char* messages[] = {"", "\nerror: communication failed, checksum error\n",
                              "\nerror: invalid response <0x04> to write: block <3> page <0x31> address <0x8100>\n"};
    const int results[] = {0, EIO, EIO};
    for (int i = 0; i < 3; ++i) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(lrae_write_block(0x4100, data.data(), 256), results[i]);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), messages[i]);
    }
    EXPECT_EQ(peer.finish(), "");
}

// The security word 0xFFFE at 0xFF0E of the last page, and the reset vector 0x4000.
Bytes word_frame(uint8_t page, uint8_t high, uint8_t low) {
    return lrae_frame_bytes(0x0B, {0x00, page, high, low, 0x00, 0x02});
}

TEST_F(LraeFlashTest, BulkEraseEveryBlockVerifiedThenUnsecured) {
    agent("FTS128K");
    for (const Bytes& block : {Bytes{0x00, 0x3C}, Bytes{0x01, 0x38}}) {
        peer.step(lrae_frame_bytes(0x07, block), {0x00, 0x00});
        peer.step(lrae_frame_bytes(0x08, block), {0x00, 0x00});
    }
    peer.step(word_frame(0x3F, 0xFF, 0x0E), {0x00});
    peer.step({0xFF, 0xFE, 0xFD}, {0x00});
    settings().verify = 1;
    settings().verbose = 1;
    EXPECT_EQ(exchange([] { return lrae_flash_erase(1); }), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out,
              "FLASH erase: block #0 bulk erased\n"
              "FLASH erase: block #0 verified\n"
              "FLASH erase: block #1 bulk erased\n"
              "FLASH erase: block #1 verified\n"
              "FLASH erase: memory erased\n"
              "FLASH erase: security byte set to unsecure state\n");
}

TEST_F(LraeFlashTest, BulkEraseAnswers) {
    struct Case {
        Bytes erase_answer;
        Bytes verify_answer;  // empty: no verify frame
        std::string message;
    };
    const Case cases[] = {
        {{0x00, 0x02}, {}, "communication failed, invalid response received\n"},
        {{0x00, 0x00}, {0x00, 0x03}, "FLASH erase verify failed - memory not clear\n"},
        {{0x00, 0x00}, {0x00, 0x01}, "unknown response\n"},
    };
    agent("FTS32K");
    settings().verify = 1;
    for (const Case& c : cases) {
        peer.step(lrae_frame_bytes(0x07, {0x00, 0x3E}), c.erase_answer);
        if (!c.verify_answer.empty()) {
            peer.step(lrae_frame_bytes(0x08, {0x00, 0x3E}), c.verify_answer);
        }
    }
    peer.start();
    for (const Case& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(lrae_flash_erase(0), EIO) << c.message;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nerror: " + c.message);
    }
    EXPECT_EQ(peer.finish(), "");
}

// The -Z pass: block 0's pages in order, each sector through the window, the boot loader's
// sectors skipped.
void expect_sectors(test::ScriptedPeer& peer, uint32_t first, uint32_t last, uint32_t boot_page,
                    uint32_t sector, uint32_t lrae_size) {
    for (uint32_t page = first; page <= last; ++page) {
        for (uint32_t at = 0; at < 0x4000; at += sector) {
            if (page != boot_page || at >= lrae_size) {
                const uint32_t address = 0x8000 + at;
                peer.step(lrae_frame_bytes(0x09, {0x00, static_cast<uint8_t>(page),
                                                  static_cast<uint8_t>(address >> 8),
                                                  static_cast<uint8_t>(address & 0xFF)}),
                          {0x00, 0x00});
            }
        }
    }
}

TEST_F(LraeFlashTest, KeepingTheBootLoaderOnHcs12) {
    agent("FTS128K");
    settings().keep_lrae = 1;
    settings().verbose = 1;
    settings().address_format = kNonBanked;  // the pass goes by banked pages all the same
    expect_sectors(peer, 0x3C, 0x3F, 0x3E, 0x200, 0x800);
    peer.step(word_frame(0x3F, 0xFF, 0xFE), {0x00});
    peer.step({0x40, 0x00, 0x40}, {0x00});
    peer.step(lrae_frame_bytes(0x07, {0x01, 0x38}), {0x00, 0x00});
    peer.step(word_frame(0x3F, 0xFF, 0x0E), {0x00});
    peer.step({0xFF, 0xFE, 0xFD}, {0x00});
    EXPECT_EQ(exchange([] { return lrae_flash_erase(0); }), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out,
              "FLASH erase: block #0 [##################################################]\n"
              "FLASH erase: LRAE retained, reset vector restored\n"
              "FLASH erase: block #1 bulk erased\n"
              "FLASH erase: memory erased\n"
              "FLASH erase: security byte set to unsecure state\n");
}

TEST_F(LraeFlashTest, KeepingTheBootLoaderOnHcs12xSkipsPageFd) {
    agent("FTX512K4", "", "HCS12X");
    settings().keep_lrae = 1;
    settings().debug = 1;
    expect_sectors(peer, 0xF8, 0xFF, 0xFD, 0x400, 0x800);
    peer.step(word_frame(0xFF, 0xFF, 0xFE), {0x00});
    peer.step({0x40, 0x00, 0x40}, {0x00});
    for (uint8_t block = 1; block < 4; ++block) {
        peer.step(lrae_frame_bytes(0x07, {block, static_cast<uint8_t>(0xF8 - 8 * block)}),
                  {0x00, 0x00});
    }
    peer.step(word_frame(0xFF, 0xFF, 0x0E), {0x00});
    peer.step({0xFF, 0xFE, 0xFD}, {0x00});
    EXPECT_EQ(exchange([] { return lrae_flash_erase(1); }), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "skip LRAE area: 0x0000\nskip LRAE area: 0x0400\n");
}

TEST_F(LraeFlashTest, KeepingTheBootLoaderVerifiesBlock0ByReadingItBack) {
    agent("FTS32K");
    settings().keep_lrae = 1;
    settings().verify = 1;
    expect_sectors(peer, 0x3E, 0x3F, 0x3E, 0x200, 0x800);
    peer.step(word_frame(0x3F, 0xFF, 0xFE), {0x00});
    peer.step({0x40, 0x00, 0x40}, {0x00});
    Bytes boot = page_of(0xFF);
    std::fill(boot.begin(), boot.begin() + 0x800, 0xA7);
    Bytes top = page_of(0xFF);
    top[0x3FFE] = 0x40;
    top[0x3FFF] = 0x00;
    peer.step(read_frame(0, 0x3E), page_reply(boot));
    top[0x1234] = 0x00;  // a byte the erase left
    peer.step(read_frame(0, 0x3F), page_reply(top));
    EXPECT_EQ(exchange([] { return lrae_flash_erase(0); }), EIO);
    EXPECT_EQ(err, "\nerror: FLASH erase verify failed - memory not clear\n");
}

TEST_F(LraeFlashTest, LayoutsThatCannotKeepTheBootLoaderAreRefusedFirst) {
    struct Case {
        const char* module;
        std::string extra;
        const char* family;
        const char* why;
    };
    const Case cases[] = {
        {"FTS16K", "", "HCS12", "a single page"},
        {"FTS256K", "ppage_count 6\nppage_base 0x3A\nflash_size 0x18000\n", "HCS12",
         "pages not shared evenly by the blocks"},
        {"FTS256K", "ppage_count 4\nppage_base 0x3C\nflash_size 0x10000\n", "HCS12",
         "boot loader page in block 1"},
        {"FTS128K", "ppage_base 0x20\n", "HCS12", "last page 0x27"},
        {"FTS128K", "", "HCS12X", "last page 0x3F on HCS12X"},
        {"FTS128K", "lrae_size 0x4001\n", "HCS12", "boot loader above a page"},
        {"FTX128K1", "ppage_count 2\nppage_base 0xFE\nflash_size 0x8000\n", "HCS12X",
         "page 0xFD not on the part"},
    };
    peer.start();
    for (const Case& c : cases) {
        use(c.module, c.extra, c.family);
        if (c.extra.find("lrae_size") != std::string::npos) {
            lrae_state().lrae_size = 0x4001;
        } else {
            lrae_state().lrae_size = 0x800;
        }
        if (lrae_port().descriptor < 0) {
            connect();
        }
        settings().keep_lrae = 1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(lrae_flash_erase(1), EINVAL) << c.why;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "\nerror: FLASH layout does not allow keeping LRAE\n")
            << c.why;
        EXPECT_FALSE(lrae_state().program_started) << c.why << ": the agent was not loaded";
    }
    EXPECT_EQ(peer.finish(), "");
}

TEST_F(LraeFlashTest, NoFlashOrUnknownLayoutIsRefusedBeforeTheAgentLoads) {
    struct Case {
        const char* module;
        std::string extra;
        std::string what;
    };
    const Case cases[] = {
        {"FTS128K", "flash_size 0\n", "no FLASH memory"},
        {"OTHER", "flash_size 0x10000\nppage_count 4\nppage_base 0x3C\n",
         "FLASH module layout unknown"},
    };
    peer.start();
    for (const Case& c : cases) {
        use(c.module, c.extra);
        if (lrae_port().descriptor < 0) {
            connect();
        }
        for (const char* operation : {"read", "write", "erase"}) {
            testing::internal::CaptureStderr();
            const std::string name = operation;
            const int result = name == "read"    ? lrae_interface.flash_read(path.c_str())
                               : name == "write" ? lrae_interface.flash_write(path.c_str())
                                                 : lrae_interface.flash_erase(0);
            EXPECT_EQ(result, EINVAL);
            EXPECT_EQ(testing::internal::GetCapturedStderr(),
                      "\nerror: FLASH " + name + " not possible - " + c.what + "\n");
        }
    }
    EXPECT_EQ(peer.finish(), "");
}

}  // namespace
}  // namespace zelv
