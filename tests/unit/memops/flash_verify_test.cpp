// The FLASH write frame's read back under -v: which pages it reads and how, what it
// compares, and how it names the first byte that did not take its value.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/settings.h"
#include "fakes/fake_device.h"
#include "memops/flash_frames.h"
#include "memops_support.h"
#include "target/target_model.h"

namespace zelv::test {
namespace {

using Spans = std::vector<std::pair<uint32_t, uint32_t>>;

// Pieces of `size` bytes from `from` to `to`, the last one cut at `to`.
Spans pieces(uint32_t from, uint32_t to, uint32_t size) {
    Spans spans;
    for (uint32_t o = from; o < to; o += size) {
        spans.emplace_back(o, std::min(size, to - o));
    }
    return spans;
}

Spans operator+(Spans a, const Spans& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct VerifyCase {
    const char* name;
    int format;
    uint32_t nb_size;  // 0: the module's
    uint32_t read_size;
    std::vector<Data> data;
    uint8_t fill;                  // what the FLASH holds where nothing is written
    std::optional<uint32_t> kept;  // an image offset whose cell does not program
    Spans reads;
    std::string error;  // empty: the verify passes
};

// FTS256K: pages 0x30-0x3F, non-banked window 0x4000-0xFFFF (pages 0x3E, 0x30, 0x3F),
// linear base 0xC0000.
// clang-format off
const VerifyCase kVerifyCases[] = {
    {"two pages read whole in read pieces", kNonBanked, 0, 256,
     {{'1', 0x4100, 0x100, pattern(4, 1)}, {'1', 0xC000, 0x8000, pattern(0x300, 2)},
      {'1', 0xFFFE, 0xBFFE, {0xC0, 0x00}}},
     0xFF, {}, pieces(0, 0x4000, 256) + pieces(0x8000, 0xC000, 256), ""},
    {"byte by byte, data only at the page end", kBankedLinear, 0, 1,
     {{'2', 0xD7FFC, 0x17FFC, pattern(4, 3)}},
     0xFF, {}, pieces(0x14000, 0x18000, 1), ""},
    {"read size that does not divide the page", kNonBanked, 0, 0x300,
     {{'1', 0x4000, 0, pattern(8, 4)}},
     0xFF, {}, pieces(0, 0x4000, 0x300), ""},
    {"partial last page", kNonBanked, 0x5000, 256,
     {{'1', 0x8FF0, 0x4FF0, pattern(16, 5)}},
     0xFF, {}, pieces(0x4000, 0x5000, 256), ""},
    {"read size above a page", kBankedPpage, 0, 0x8000,
     {{'2', 0x318000, 0x4000, pattern(4, 6)}},
     0xFF, {}, {{0x4000, 0x4000}}, ""},
    {"erased words are not compared", kNonBanked, 0, 256,
     {{'1', 0x4100, 0x100, {0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x34}}},
     0x00, {}, pieces(0, 0x4000, 256), ""},
    {"nothing to compare", kNonBanked, 0, 256, {}, 0xFF, {}, {}, ""},
    {"first byte of a page, non-banked", kNonBanked, 0, 256,
     {{'1', 0x8000, 0x4000, pattern(16, 7)}},
     0xFF, 0x4000, {{0x4000, 256}},
     "FLASH data verify error at address <0x8000> value <0xFF> expected <0x07>\n"},
    {"last byte of a page, banked-linear", kBankedLinear, 0, 256,
     {{'2', 0xC7FF0, 0x7FF0, pattern(16, 8)}},
     0xFF, 0x7FFF, pieces(0x4000, 0x8000, 256),
     "FLASH data verify error at address <0xC7FFF> value <0xFF> expected <0xCB>\n"},
    {"page and window, banked-ppage", kBankedPpage, 0, 256,
     {{'2', 0x35A002, 0x16002, {1, 2, 3, 4, 5, 6}}},
     0xFF, 0x16003, pieces(0x14000, 0x16100, 256),
     "FLASH data verify error at address <0x35A003> value <0xFF> expected <0x02>\n"},
    {"erased byte of a data word is compared", kBankedPpage, 0, 256,
     {{'2', 0x35A002, 0x16002, {1, 2, 3, 4, 5, 6}}},
     0x00, 0x16001, pieces(0x14000, 0x16100, 256),
     "FLASH data verify error at address <0x35A001> value <0x00> expected <0xFF>\n"},
    {"fixed window record named by its page", kBankedPpage, 0, 256,
     {{'1', 0xC010, 0x3C010, pattern(4, 9)}},
     0xFF, 0x3C010, {{0x3C000, 256}},
     "FLASH data verify error at address <0x3F8010> value <0xFF> expected <0x09>\n"},
    {"first difference in address order", kNonBanked, 0, 1,
     {{'1', 0x4000, 0, pattern(8, 10)}},
     0xFF, 0x0005, pieces(0, 6, 1),
     "FLASH data verify error at address <0x4005> value <0xFF> expected <0x4B>\n"},
};
// clang-format on

class FlashVerifyTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        set_flash_module("FTS256K");
        settings().verify = 1;
    }
};

TEST_F(FlashVerifyTest, ReadsBackThePagesThatHoldData) {
    for (const VerifyCase& c : kVerifyCases) {
        SCOPED_TRACE(c.name);
        reset_run_state();
        settings().verbose = 1;
        settings().verify = 1;
        set_flash_module("FTS256K");
        settings().address_format = c.format;
        if (c.nb_size != 0) {
            target().flash_nb_size = c.nb_size;
        }
        const uint32_t size = c.format == kNonBanked ? target().flash_nb_size : target().flash_size;
        const std::string path = dir_.file("image.s19");
        write_file(path, file_text(c.data, srec_line('9', 0xC000, {})));

        FakeDevice device(0, size, c.fill);
        if (c.kept) {
            device.keep_byte(*c.kept);
        }
        const int result = captured([&] {
            return flash_write_frame(path.c_str(), 256, FakeDevice::write_block,
                                     FakeDevice::read_block, c.read_size);
        });

        EXPECT_EQ(device.spans(DeviceCall::kReadBlock), c.reads);
        // Every block is programmed before the first read.
        bool reading = false;
        for (const DeviceCall& call : device.calls()) {
            reading = reading || call.kind == DeviceCall::kReadBlock;
            EXPECT_FALSE(reading && call.kind != DeviceCall::kReadBlock) << describe(call);
        }
        const std::size_t verify = out_.find("FLASH write: verify [");
        ASSERT_NE(verify, std::string::npos) << out_;
        if (c.error.empty()) {
            EXPECT_EQ(result, 0) << err_;
            EXPECT_EQ(err_, "");
            uint32_t total = 0;
            for (const auto& read : c.reads) {
                total += read.second;
            }
            EXPECT_EQ(out_.substr(verify),
                      "FLASH write: verify [" + std::string(total != 0 ? 50 : 0, '#') +
                          "]\nFLASH write: verify size <" + std::to_string(total) +
                          " B> time <T> rate <R>\nFLASH write: verify ok\n");
        } else {
            EXPECT_EQ(result, EIO);
            EXPECT_EQ(err_, "\nerror: " + c.error);
            EXPECT_EQ(out_.find("verify ok"), std::string::npos) << out_;
        }
    }
}

TEST_F(FlashVerifyTest, WithoutVerifyNothingIsReadBack) {
    settings().verify = 0;
    const std::string path = dir_.file("quiet.s19");
    write_file(path, srec_line('1', 0x4000, pattern(8, 11)));
    FakeDevice device(0, 0xC000);
    device.keep_byte(2);
    // Without -v the read size is not even looked at.
    ASSERT_EQ(captured([&] {
                  return flash_write_frame(path.c_str(), 256, FakeDevice::write_block,
                                           FakeDevice::read_block, 0);
              }),
              0)
        << err_;
    EXPECT_EQ(device.spans(DeviceCall::kWriteBlock), (Spans{{0, 8}}));
    EXPECT_EQ(device.calls().size(), 1U);
    EXPECT_EQ(out_.find("verify"), std::string::npos) << out_;
}

TEST_F(FlashVerifyTest, NoReadSizeIsRefusedBeforeAnythingIsWritten) {
    const std::string path = dir_.file("refused.s19");
    write_file(path, srec_line('1', 0x4000, pattern(8, 12)));
    FakeDevice device(0, 0xC000);
    EXPECT_EQ(captured([&] {
                  return flash_write_frame(path.c_str(), 256, FakeDevice::write_block,
                                           FakeDevice::read_block, 0);
              }),
              EINVAL);
    EXPECT_EQ(err_, "\nerror: invalid chunk size for FLASH verify: 0\n");
    EXPECT_TRUE(device.calls().empty());
}

TEST_F(FlashVerifyTest, FailedReadEndsTheWrite) {
    const std::string path = dir_.file("unread.s19");
    write_file(path, srec_line('1', 0x4000, pattern(8, 13)));
    FakeDevice device(0, 0xC000);
    device.fail_call(3, ETIMEDOUT);  // one block, then the third read
    EXPECT_EQ(captured([&] {
                  return flash_write_frame(path.c_str(), 256, FakeDevice::write_block,
                                           FakeDevice::read_block, 256);
              }),
              ETIMEDOUT);
    EXPECT_EQ(device.calls().size(), 4U);
    EXPECT_EQ(err_, "\nerror: fake device failure\n");
    EXPECT_EQ(out_.find("verify ok"), std::string::npos) << out_;
}

}  // namespace
}  // namespace zelv::test
