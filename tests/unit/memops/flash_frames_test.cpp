#include "memops/flash_frames.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "base/settings.h"
#include "fakes/fake_device.h"
#include "memops_support.h"
#include "target/target_model.h"

namespace zelv::test {
namespace {

using Spans = std::vector<std::pair<uint32_t, uint32_t>>;

struct WriteCase {
    const char* name;
    const char* module;
    int format;
    uint32_t nb_size;  // 0: the module's
    uint32_t chunk;
    std::vector<Data> data;
    std::vector<std::string> ranges;
    Spans blocks;
};

std::string ranges(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "FLASH write: " + line + "\n";
    }
    return text;
}

Spans every(uint32_t from, uint32_t to, uint32_t step) {
    Spans spans;
    for (uint32_t o = from; o < to; o += step) {
        spans.emplace_back(o, step);
    }
    return spans;
}

// clang-format off
const WriteCase kWriteCases[] = {
    {"vector and code", "FTS256K", kNonBanked, 0, 256,
     {{'1', 0xC000, 0x8000, pattern(0x300, 1)}, {'1', 0xFFFE, 0xBFFE, {0xC0, 0x00}}},
     {"address range <0xC000-0xC2FF> size <0x0300>", "address range <0xFFFC-0xFFFF> size <0x0004>"},
     {{0x8000, 256}, {0x8100, 256}, {0x8200, 256}, {0xBFFC, 4}}},
    {"erased word splits a run", "FTS64K", kNonBanked, 0, 16,
     {{'1', 0x4000, 0, {1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 9, 10, 11, 12}}},
     {"address range <0x4000-0x4003> size <0x0004>", "address range <0x4008-0x400B> size <0x0004>"},
     {{0, 4}, {8, 4}}},
    {"sector boundary", "FTS256K", kNonBanked, 0, 16,
     {{'1', 0x41F8, 0x1F8, pattern(16, 2)}},
     {"address range <0x41F8-0x4207> size <0x0010>"},
     {{0x1F8, 8}, {0x200, 8}}},
    {"page boundary", "FTS256K", kNonBanked, 0, 256,
     {{'1', 0x7FF8, 0x3FF8, pattern(16, 3)}},
     {"address range <0x7FF8-0x7FFF> size <0x0008>", "address range <0x8000-0x8007> size <0x0008>"},
     {{0x3FF8, 8}, {0x4000, 8}}},
    {"chunk 16 over a sector", "FTS256K", kNonBanked, 0, 16,
     {{'1', 0x4200, 0x200, pattern(0x200, 4)}},
     {"address range <0x4200-0x43FF> size <0x0200>"},
     every(0x200, 0x400, 16)},
    {"one-page module", "FTS16K", kNonBanked, 0, 512,
     {{'1', 0xC000, 0, pattern(0x400, 5)}},
     {"address range <0xC000-0xC3FF> size <0x0400>"},
     {{0, 512}, {512, 512}}},
    {"partial last page", "FTS256K", kNonBanked, 0x5000, 16,
     {{'1', 0x7FFC, 0x3FFC, {1, 2, 3, 4}}, {'1', 0x8FF0, 0x4FF0, pattern(16, 6)}},
     {"address range <0x7FFC-0x7FFF> size <0x0004>", "address range <0x8FF0-0x8FFF> size <0x0010>"},
     {{0x3FFC, 4}, {0x4FF0, 16}}},
    {"banked-linear page boundary", "FTS512K4", kBankedLinear, 0, 0x400,
     {{'2', 0xA3FFC, 0x23FFC, pattern(8, 7)}},
     {"linear address range <0xA3FFC-0xA3FFF> size <0x0004>",
      "linear address range <0xA4000-0xA4003> size <0x0004>"},
     {{0x23FFC, 4}, {0x24000, 4}}},
    {"banked-ppage with fixed windows", "FTS256K", kBankedPpage, 0, 512,
     {{'2', 0x308000, 0, {1, 2, 3, 4}}, {'1', 0x4000, 0x38000, {5, 6, 7, 8}},
      {'2', 0x318002, 0x4002, {9, 10}}, {'1', 0xFFFE, 0x3FFFE, {0xC0, 0x00}}},
     {"linear address range <0xC0000-0xC0003> size <0x0004>",
      "linear address range <0xC4000-0xC4003> size <0x0004>",
      "linear address range <0xF8000-0xF8003> size <0x0004>",
      "linear address range <0xFFFFC-0xFFFFF> size <0x0004>"},
     {{0, 4}, {0x4000, 4}, {0x38000, 4}, {0x3FFFC, 4}}},
};
// clang-format on

class FlashWriteTest : public FrameTest {};

TEST_F(FlashWriteTest, ProgramsExactlyTheDataWords) {
    for (const WriteCase& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        reset_run_state();
        settings().verbose = 1;
        console_set_terminal(0);
        set_flash_module(c.module);
        settings().address_format = c.format;
        if (c.nb_size != 0) {
            target().flash_nb_size = c.nb_size;
        }
        const uint32_t size = c.format == kNonBanked ? target().flash_nb_size : target().flash_size;
        std::vector<uint8_t> expected(size, 0xFF);
        uint32_t total = 0;
        for (const Data& d : c.data) {
            std::copy(d.bytes.begin(), d.bytes.end(), expected.begin() + d.offset);
        }
        for (const auto& block : c.blocks) {
            total += block.second;
        }
        const std::string path = dir_.file("image.s19");
        write_file(path, file_text(c.data, srec_line('9', 0xC000, {})));

        FakeDevice device(0, size);
        const int result = captured([&] {
            return flash_write_frame(path.c_str(), c.chunk, FakeDevice::write_block,
                                     FakeDevice::read_block, 256);
        });

        ASSERT_EQ(result, 0) << err_;
        EXPECT_EQ(device.spans(DeviceCall::kWriteBlock), c.blocks);
        EXPECT_TRUE(device.memory() == expected);
        for (const DeviceCall& call : device.calls()) {
            EXPECT_EQ(call.length % 4, 0U) << describe(call);
            EXPECT_EQ(call.where % 4, 0U) << describe(call);
        }
        EXPECT_EQ(out_, "FLASH write: image file <" + path +
                            ">\nFLASH write: image info <zelv> entry <0xC000>\n" +
                            ranges(c.ranges) + "FLASH write: image [" + full_bar() +
                            "]\nFLASH write: image size <" + std::to_string(total) +
                            " B> time <T> rate <R>\n");
        EXPECT_EQ(err_, "");
    }
}

TEST_F(FlashWriteTest, LoneByteIsProgrammedWithItsErasedNeighbours) {
    set_flash_module("FTS64K");
    const std::string path = dir_.file("lone.s19");
    write_file(path, srec_line('1', 0x4006, {0x5A}));
    FakeDevice device(0, 0xC000);
    ASSERT_EQ(captured([&] {
                  return flash_write_frame(path.c_str(), 16, FakeDevice::write_block,
                                           FakeDevice::read_block, 256);
              }),
              0);
    ASSERT_EQ(device.calls().size(), 1U);
    EXPECT_EQ(device.calls()[0].data, (std::vector<uint8_t>{0xFF, 0xFF, 0x5A, 0xFF}));
    EXPECT_NE(out_.find("image info <unknown> entry <unknown>\n"), std::string::npos) << out_;
}

TEST_F(FlashWriteTest, EntryIsShownAsTheFileGivesIt) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "unknown"},
        {"S9030000FC\n", "0x0000"},
        {srec_line('8', 0x3FC000, {}), "0x3FC000"},
        {srec_line('7', 0x12345678, {}), "0x12345678"},
    };
    set_flash_module("FTS256K");
    for (const auto& [termination, shown] : cases) {
        const std::string path = dir_.file("entry.s19");
        write_file(path, termination);
        FakeDevice device(0, 0xC000);
        ASSERT_EQ(captured([&] {
                      return flash_write_frame(path.c_str(), 16, FakeDevice::write_block,
                                               FakeDevice::read_block, 256);
                  }),
                  0);
        EXPECT_NE(out_.find("image info <unknown> entry <" + shown + ">\n"), std::string::npos)
            << out_;
    }
}

TEST_F(FlashWriteTest, ErasedFileWritesNothing) {
    set_flash_module("FTS256K");
    const std::string path = dir_.file("erased.s19");
    write_file(path, srec_line('1', 0x4000, std::vector<uint8_t>(16, 0xFF)) +
                         srec_line('8', 0x3FC000, {}));
    FakeDevice device(0, 0xC000);
    ASSERT_EQ(captured([&] {
                  return flash_write_frame(path.c_str(), 16, FakeDevice::write_block,
                                           FakeDevice::read_block, 256);
              }),
              0);
    EXPECT_TRUE(device.calls().empty());
    EXPECT_EQ(out_, "FLASH write: image file <" + path +
                        ">\nFLASH write: image info <unknown> entry <0x3FC000>\n"
                        "FLASH write: image []\nFLASH write: image size <0 B> time <T> rate <R>\n");
}

TEST_F(FlashWriteTest, RefusesBadChunksBeforeReadingTheFile) {
    const struct {
        const char* module;
        uint32_t chunk;
    } cases[] = {
        {"FTS256K", 1024},  // above the 0x200 sector
        {"FTS256K", 0},    {"FTS256K", 1},
        {"FTS256K", 2},    {"FTS256K", 6},  // blocks are whole words
        {"FTS256K", 28},                    // does not divide 0xC000
        {"OTHER", 16},                      // no sector size
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunk);
        reset_run_state();
        if (std::string(c.module) == "OTHER") {
            target().flash_size = 0x10000;
            target().flash_nb_size = 0xC000;
        } else {
            set_flash_module(c.module);
        }
        FakeDevice device(0, 0xC000);
        EXPECT_EQ(captured([&] {
                      return flash_write_frame("/nonexistent.s19", c.chunk, FakeDevice::write_block,
                                               FakeDevice::read_block, 256);
                  }),
                  EINVAL);
        EXPECT_EQ(err_,
                  "\nerror: invalid chunk size for FLASH write: " + std::to_string(c.chunk) + "\n");
        EXPECT_TRUE(device.calls().empty());
    }
}

TEST_F(FlashWriteTest, FixedWindowRecordNeedsTheTopPages) {
    const struct {
        const char* module;
        uint32_t address;
    } cases[] = {
        {"FTS256K", 0x8000},   // PPAGE window without a page
        {"FTX512K4", 0xC000},  // pages 0xE0-0xFF: no page 0x3F in the image
    };
    for (const auto& c : cases) {
        reset_run_state();
        set_flash_module(c.module);
        settings().address_format = kBankedPpage;
        const std::string path = dir_.file("window.s19");
        write_file(path, srec_line('1', c.address, {1, 2, 3, 4}));
        FakeDevice device(0, target().flash_size);
        EXPECT_EQ(captured([&] {
                      return flash_write_frame(path.c_str(), 512, FakeDevice::write_block,
                                               FakeDevice::read_block, 256);
                  }),
                  EINVAL);
        EXPECT_NE(err_.find("out of range"), std::string::npos) << err_;
        EXPECT_TRUE(device.calls().empty());
    }
}

TEST_F(FlashWriteTest, StopsAtTheFirstFailedBlock) {
    set_flash_module("FTS256K");
    const std::string path = dir_.file("fail.s19");
    write_file(path, srec_line('1', 0x4000, pattern(32, 8)));
    FakeDevice device(0, 0xC000);
    device.fail_call(0, EIO);
    EXPECT_EQ(captured([&] {
                  return flash_write_frame(path.c_str(), 16, FakeDevice::write_block,
                                           FakeDevice::read_block, 256);
              }),
              EIO);
    EXPECT_EQ(device.calls().size(), 1U);
    EXPECT_EQ(err_, "\nerror: fake device failure\n");
    EXPECT_EQ(out_.substr(out_.size() - 20), "FLASH write: image [");
}

TEST_F(FlashWriteTest, NoFlashMemory) {
    set_flash_module("NONE");
    EXPECT_EQ(captured([] {
                  return flash_write_frame("x.s19", 16, FakeDevice::write_block,
                                           FakeDevice::read_block, 256);
              }),
              EINVAL);
    EXPECT_EQ(err_, "\nerror: FLASH write not possible - no FLASH memory\n");
    EXPECT_EQ(captured([] { return flash_read_frame("x.s19", 16, FakeDevice::read_block); }),
              EINVAL);
    EXPECT_EQ(err_, "\nerror: FLASH read not possible - no FLASH memory\n");
}

class FlashReadTest : public FrameTest {
protected:
    std::string read_status(const std::string& path, uint32_t size) {
        return "FLASH read: data [" + full_bar() + "]\nFLASH read: data size <" +
               std::to_string(size) + " B> time <T> rate <R>\nFLASH read: data file <" + path +
               "> written\n";
    }
};

TEST_F(FlashReadTest, NonBankedWindowWithResetVector) {
    if (!tool_available("srec_cat")) {
        GTEST_SKIP() << "srec_cat not installed";
    }
    set_flash_module("FTS64K");
    settings().include_erased = 1;
    FakeDevice device(0, 0xC000);
    device.memory() = pattern(0xC000, 9);
    device.memory()[0xBFFE] = 0xC1;
    device.memory()[0xBFFF] = 0x23;
    const std::string path = dir_.file("read.s19");
    ASSERT_EQ(captured([&] { return flash_read_frame(path.c_str(), 512, FakeDevice::read_block); }),
              0);

    Spans reads;
    for (uint32_t o = 0; o < 0xC000; o += 512) {
        reads.emplace_back(o, 512);
    }
    EXPECT_EQ(device.spans(DeviceCall::kReadBlock), reads);
    EXPECT_EQ(out_, read_status(path, 0xC000));
    EXPECT_EQ(read_file(path),
              srec_cat_expected(dir_, device.memory(), 0x4000, 2, "FLASH image", 0xC123, false));
}

TEST_F(FlashReadTest, BankedLinearSkipsErasedRecords) {
    if (!tool_available("srec_cat")) {
        GTEST_SKIP() << "srec_cat not installed";
    }
    set_flash_module("FTS256K");
    settings().address_format = kBankedLinear;
    FakeDevice device(0, 0x40000);
    device.memory()[0] = 0x00;
    device.memory()[0x23456] = 0x56;
    device.memory()[0x3FFFE] = 0x12;
    device.memory()[0x3FFFF] = 0x34;
    const std::string path = dir_.file("linear.s19");
    ASSERT_EQ(
        captured([&] { return flash_read_frame(path.c_str(), 1024, FakeDevice::read_block); }), 0);
    EXPECT_EQ(device.calls().size(), 256U);
    EXPECT_EQ(out_, read_status(path, 0x40000));
    EXPECT_EQ(read_file(path),
              srec_cat_expected(dir_, device.memory(), 0xC0000, 3, "FLASH image", 0x1234, true));
}

TEST_F(FlashReadTest, BankedPpageRecordsCarryThePage) {
    set_flash_module("FTS256K");
    settings().address_format = kBankedPpage;
    FakeDevice device(0, 0x40000);
    device.memory()[0] = 0x11;
    device.memory()[0x4001] = 0x22;
    device.memory()[0x3FFFE] = 0x12;
    device.memory()[0x3FFFF] = 0x34;
    const std::string path = dir_.file("ppage.s19");
    ASSERT_EQ(
        captured([&] { return flash_read_frame(path.c_str(), 0x4000, FakeDevice::read_block); }),
        0);

    std::vector<uint8_t> first(16, 0xFF);
    std::vector<uint8_t> second(16, 0xFF);
    std::vector<uint8_t> last(16, 0xFF);
    first[0] = 0x11;
    second[1] = 0x22;
    last[14] = 0x12;
    last[15] = 0x34;
    EXPECT_EQ(read_file(path), "S00E0000464C41534820696D61676560\n" +
                                   srec_line('2', 0x308000, first) +
                                   srec_line('2', 0x318000, second) +
                                   srec_line('2', 0x3FBFF0, last) + "S804001234B5\n");
}

// Whatever the module, a banked image lies above 64 KB: 3-byte records, S8 termination.
TEST_F(FlashReadTest, BankedFormatsWriteS2ForEveryModule) {
    for (const FlashModule& m : kFlashModules) {
        for (const int format : {kBankedLinear, kBankedPpage}) {
            if (m.size == 0) {
                continue;
            }
            SCOPED_TRACE(std::string(m.name) + " format " + std::to_string(format));
            reset_run_state();
            set_flash_module(m.name);
            settings().address_format = format;
            FakeDevice device(0, m.size);
            device.memory()[0] = 0;
            const std::string path = dir_.file("module.s19");
            ASSERT_EQ(flash_read_frame(path.c_str(), 0x4000, FakeDevice::read_block), 0);
            const std::vector<std::string> lines = split_lines(read_file(path));
            ASSERT_EQ(lines.size(), 3U);
            EXPECT_EQ(lines[1].substr(0, 4), "S214");
            EXPECT_EQ(lines[2], "S80400FFFFFD");
        }
    }
}

TEST_F(FlashReadTest, RefusesChunksThatDoNotDivideTheImage) {
    set_flash_module("FTS256K");
    for (const uint32_t chunk : {0U, 1000U, 0x18000U}) {
        FakeDevice device(0, 0xC000);
        EXPECT_EQ(captured([&] {
                      return flash_read_frame(dir_.file("x.s19").c_str(), chunk,
                                              FakeDevice::read_block);
                  }),
                  EINVAL);
        EXPECT_EQ(err_,
                  "\nerror: invalid chunk size for FLASH read: " + std::to_string(chunk) + "\n");
        EXPECT_TRUE(device.calls().empty());
        EXPECT_FALSE(file_exists(dir_.file("x.s19")));
    }
}

TEST_F(FlashReadTest, FailedReadLeavesNoFile) {
    set_flash_module("FTS256K");
    FakeDevice device(0, 0xC000);
    device.fail_call(3, ETIMEDOUT);
    const std::string path = dir_.file("failed.s19");
    EXPECT_EQ(captured([&] { return flash_read_frame(path.c_str(), 512, FakeDevice::read_block); }),
              ETIMEDOUT);
    EXPECT_EQ(device.calls().size(), 4U);
    EXPECT_FALSE(file_exists(path));
    EXPECT_EQ(err_, "\nerror: fake device failure\n");
}

// A window too small to hold the reset vector names entry 0.
TEST_F(FlashReadTest, TinyWindowHasEntryZero) {
    set_flash_module("FTS256K");
    target().flash_nb_size = 1;
    FakeDevice device(0, 1);
    device.memory()[0] = 0x42;
    const std::string path = dir_.file("tiny.s19");
    ASSERT_EQ(captured([&] { return flash_read_frame(path.c_str(), 1, FakeDevice::read_block); }),
              0);
    EXPECT_EQ(read_file(path), "S00E0000464C41534820696D61676560\n" +
                                   srec_line('1', 0x4000, {0x42}) + "S9030000FC\n");
}

}  // namespace
}  // namespace zelv::test
