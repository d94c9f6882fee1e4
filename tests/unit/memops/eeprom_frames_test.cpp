#include "memops/eeprom_frames.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
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

class EepromTest : public FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        set_eeprom(0x0400, 0x1000);
        target().target_read_byte = FakeDevice::read_byte;
    }

    std::string write_status(const std::string& path, const char* first, const char* last,
                             const char* length, uint32_t size) {
        return "EEPROM write: image file <" + path +
               ">\nEEPROM write: data info <zelv>\nEEPROM write: address range <" + first + "-" +
               last + "> length <" + length + ">\nEEPROM write: data [" + full_bar() +
               "]\nEEPROM write: data size <" + std::to_string(size) + " B> time <T> rate <R>\n";
    }
};

TEST_F(EepromTest, ReadCallsEveryChunkAndWritesPlainAddresses) {
    if (!tool_available("srec_cat")) {
        GTEST_SKIP() << "srec_cat not installed";
    }
    set_eeprom(0x0800, 0x0800);
    settings().include_erased = 1;
    FakeDevice device(0x0800, 0x0800);
    for (std::size_t i = 0; i < device.memory().size(); ++i) {
        device.memory()[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const std::string path = dir_.file("ee.s19");
    ASSERT_EQ(
        captured([&] { return eeprom_read_frame(path.c_str(), 256, FakeDevice::read_block16); }),
        0);
    Spans reads;
    for (uint32_t a = 0x0800; a < 0x1000; a += 256) {
        reads.emplace_back(a, 256);
    }
    EXPECT_EQ(device.spans(DeviceCall::kReadBlock), reads);
    EXPECT_EQ(out_, "EEPROM read: data [" + full_bar() +
                        "]\nEEPROM read: data size <2048 B> time <T> rate <R>\n"
                        "EEPROM read: data file <" +
                        path + "> written\n");
    EXPECT_EQ(read_file(path),
              srec_cat_expected(dir_, device.memory(), 0x0800, 2, "EEPROM data", 0x0800, false));
}

TEST_F(EepromTest, ReadOfErasedEepromHoldsHeaderAndEntryOnly) {
    set_eeprom(0x0800, 0x0800);
    FakeDevice device(0x0800, 0x0800);
    const std::string path = dir_.file("erased.s19");
    ASSERT_EQ(
        captured([&] { return eeprom_read_frame(path.c_str(), 256, FakeDevice::read_block16); }),
        0);
    EXPECT_EQ(read_file(path), "S00E0000454550524F4D20646174616F\nS9030800F4\n");
}

TEST_F(EepromTest, ReadRefusesChunksThatDoNotDivideTheEeprom) {
    for (const uint32_t chunk : {0U, 300U, 0x2000U}) {
        FakeDevice device(0x0400, 0x1000);
        EXPECT_EQ(captured([&] {
                      return eeprom_read_frame(dir_.file("x.s19").c_str(), chunk,
                                               FakeDevice::read_block16);
                  }),
                  EINVAL);
        EXPECT_EQ(err_,
                  "\nerror: invalid chunk size for EEPROM read: " + std::to_string(chunk) + "\n");
        EXPECT_TRUE(device.calls().empty());
    }
}

TEST_F(EepromTest, NoEepromMemory) {
    set_eeprom(0, 0);
    EXPECT_EQ(captured([] { return eeprom_read_frame("x", 256, FakeDevice::read_block16); }),
              EINVAL);
    EXPECT_EQ(err_, "\nerror: EEPROM read not possible - no EEPROM memory\n");
    EXPECT_EQ(captured([] { return eeprom_write_frame("x", 256, FakeDevice::write_block16); }),
              EINVAL);
    EXPECT_EQ(err_, "\nerror: EEPROM write not possible - no EEPROM memory\n");
    EXPECT_EQ(captured([] { return eeprom_protect_frame("all", FakeDevice::program_word); }),
              EINVAL);
    EXPECT_EQ(err_, "\nerror: EEPROM protect not possible - no EEPROM memory\n");
}

TEST_F(EepromTest, AddressMapCoversExactlyTheEeprom) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0x03FF, 0x1000}, {0x0400, 0}, {0x13FF, 0xFFF}, {0x1400, 0x1000}, {0x10400, 0x1000},
    };
    for (const auto& [address, offset] : cases) {
        EXPECT_EQ(eeprom_address_to_offset(address), offset) << std::hex << address;
    }
}

struct WriteCase {
    const char* name;
    uint32_t base;
    uint32_t size;
    uint32_t chunk;
    int force;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> data;  // target address, bytes
    Spans chunks;
    const char* first;
    const char* last;
    const char* length;
};

// clang-format off
const WriteCase kWriteCases[] = {
    {"one byte", 0x0400, 0x1000, 256, 0, {{0x0405, {0x5A}}},
     {{0x0400, 256}}, "0x0405", "0x0405", "0x0001"},
    {"last byte before the protection field", 0x0400, 0x1000, 256, 0, {{0x13EF, {0x01}}},
     {{0x1300, 256}}, "0x13EF", "0x13EF", "0x0001"},
    {"erased chunk inside the span", 0x0400, 0x1000, 256, 0, {{0x0400, {1, 2, 3, 4}}, {0x0600, {5, 6}}},
     {{0x0400, 256}, {0x0600, 256}}, "0x0400", "0x0601", "0x0202"},
    {"chunk of 6 tests its last two bytes", 0x1000, 0x0C00, 6, 0, {{0x1004, {0x44}}, {0x100B, {0x0B}}},
     {{0x1000, 6}, {0x1006, 6}}, "0x1004", "0x100B", "0x0008"},
    {"protection field with -f", 0x0800, 0x0800, 256, 1, {{0x0FFD, {0xF3}}},
     {{0x0F00, 256}}, "0x0FFD", "0x0FFD", "0x0001"},
};
// clang-format on

TEST_F(EepromTest, WritesWholeChunksAlignedToTheEepromStart) {
    for (const WriteCase& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        set_eeprom(c.base, c.size);
        settings().force = c.force;
        std::string text = srec_line('0', 0, {'z', 'e', 'l', 'v'});
        std::vector<uint8_t> expected(c.size, 0xFF);
        for (const auto& [address, bytes] : c.data) {
            text += srec_line('1', address, bytes);
            std::copy(bytes.begin(), bytes.end(), expected.begin() + (address - c.base));
        }
        const std::string path = dir_.file("write.s19");
        write_file(path, text);

        FakeDevice device(c.base, c.size);
        const int result = captured(
            [&] { return eeprom_write_frame(path.c_str(), c.chunk, FakeDevice::write_block16); });
        ASSERT_EQ(result, 0) << err_;
        EXPECT_EQ(device.spans(DeviceCall::kWriteBlock), c.chunks);
        EXPECT_TRUE(device.memory() == expected);
        uint32_t span = 0;
        std::sscanf(c.length, "0x%X", &span);
        EXPECT_EQ(out_, write_status(path, c.first, c.last, c.length, span));
    }
}

TEST_F(EepromTest, ProtectionFieldNeedsForce) {
    const std::string path = dir_.file("field.s19");
    write_file(path, srec_line('1', 0x13F0, {0x00}));
    FakeDevice device(0x0400, 0x1000);
    EXPECT_EQ(
        captured([&] { return eeprom_write_frame(path.c_str(), 256, FakeDevice::write_block16); }),
        EINVAL);
    EXPECT_EQ(err_,
              "\nerror: EEPROM data covers protected area. If this is intended, consider -f "
              "option.\n");
    EXPECT_TRUE(device.calls().empty());
    EXPECT_EQ(out_.find("EEPROM write: data ["), std::string::npos);
}

TEST_F(EepromTest, FileWithoutDataWritesNothing) {
    const std::string path = dir_.file("empty.s19");
    write_file(path, srec_line('0', 0, {'z', 'e', 'l', 'v'}) + "S9030400F8\n");
    FakeDevice device(0x0400, 0x1000);
    EXPECT_EQ(
        captured([&] { return eeprom_write_frame(path.c_str(), 256, FakeDevice::write_block16); }),
        0);
    EXPECT_TRUE(device.calls().empty());
    EXPECT_EQ(out_, "EEPROM write: image file <" + path + ">\nEEPROM write: no data in file\n");
}

TEST_F(EepromTest, WriteRefusesBadChunksAndOutsideRecords) {
    for (const uint32_t chunk : {0U, 1U, 3U, 300U, 0x2000U}) {
        FakeDevice device(0x0400, 0x1000);
        EXPECT_EQ(
            captured([&] { return eeprom_write_frame("x", chunk, FakeDevice::write_block16); }),
            EINVAL);
        EXPECT_EQ(err_,
                  "\nerror: invalid chunk size for EEPROM write: " + std::to_string(chunk) + "\n");
        EXPECT_TRUE(device.calls().empty());
    }
    const std::string path = dir_.file("below.s19");
    write_file(path, srec_line('1', 0x03FF, {0x00}));
    FakeDevice device(0x0400, 0x1000);
    EXPECT_EQ(
        captured([&] { return eeprom_write_frame(path.c_str(), 256, FakeDevice::write_block16); }),
        EINVAL);
    EXPECT_NE(err_.find("out of range"), std::string::npos) << err_;
    EXPECT_TRUE(device.calls().empty());
}

TEST_F(EepromTest, WriteStopsAtTheFailingChunk) {
    const std::string path = dir_.file("fail.s19");
    write_file(path, srec_line('1', 0x0400, {1}) + srec_line('1', 0x0500, {2}));
    FakeDevice device(0x0400, 0x1000);
    device.fail_call(0, EIO);
    EXPECT_EQ(
        captured([&] { return eeprom_write_frame(path.c_str(), 256, FakeDevice::write_block16); }),
        EIO);
    EXPECT_EQ(device.calls().size(), 1U);
    EXPECT_EQ(err_, "\nerror: fake device failure\n");
}

// A 4 KB EEPROM at 0x0400: the protection byte lives at 0x13FD, programmed as the word at
// 0x13FC with the high byte left erased.
TEST_F(EepromTest, ProtectRangesProgramTheProtectionWord) {
    const struct {
        const char* range;
        uint8_t value;
        const char* line;
    } cases[] = {
        {"256B", 0xF3, "EEPROM protect: address range <0x1300-0x13FF> block size <256B>\n"},
        {"all", 0x7F, "EEPROM protect: whole area\n"},
        {"64b", 0xF0, "EEPROM protect: address range <0x13C0-0x13FF> block size <64B>\n"},
        {"512b", 0xF7, "EEPROM protect: address range <0x1200-0x13FF> block size <512B>\n"},
    };
    settings().verify = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.range);
        FakeDevice device(0x0400, 0x1000);
        device.set_register(0x0114, 0xFF);
        ASSERT_EQ(captured([&] { return eeprom_protect_frame(c.range, FakeDevice::program_word); }),
                  0)
            << err_;
        const std::vector<DeviceCall> expected = {
            {DeviceCall::kReadByte, 0x0114, 1, {}},
            {DeviceCall::kProgramWord, 0x13FC, 2, {0xFF, c.value}},
            {DeviceCall::kReadByte, 0x13FD, 1, {}},
        };
        EXPECT_EQ(device.calls(), expected);
        EXPECT_EQ(out_, std::string(c.line) + "EEPROM protect: verify ok\n");
    }
}

TEST_F(EepromTest, ProtectRefusals) {
    const struct {
        const char* range;
        uint8_t reg;
        int secured;
        int force;
        int result;
        const char* error;
        std::size_t calls;
    } cases[] = {
        {"ALL", 0xFF, 0, 0, EINVAL, "invalid EEPROM protection area: ALL\n", 0},
        {"", 0xFF, 0, 0, EINVAL, "invalid EEPROM protection area: \n", 0},
        {"1024B", 0xFF, 0, 0, EINVAL, "invalid EEPROM protection area: 1024B\n", 0},
        {"256", 0xFF, 0, 0, EINVAL, "invalid EEPROM protection area: 256\n", 0},
        {"all", 0xF3, 0, 0, EINVAL,
         "EEPROM protection already set (-f option forces the operation)\n", 1},
        {"all", 0xFF, 1, 0, EIO,
         "EEPROM protect not possible - MCU secured (-f option forces the operation)\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        target().secured = c.secured;
        settings().force = c.force;
        FakeDevice device(0x0400, 0x1000);
        device.set_register(0x0114, c.reg);
        EXPECT_EQ(captured([&] { return eeprom_protect_frame(c.range, FakeDevice::program_word); }),
                  c.result);
        EXPECT_EQ(err_, std::string("\nerror: ") + c.error);
        EXPECT_EQ(device.calls().size(), c.calls);
    }
}

TEST_F(EepromTest, ForcedProtectOverwritesAndSaysSo) {
    target().secured = 1;
    settings().force = 1;
    FakeDevice device(0x0400, 0x1000);
    device.set_register(0x0114, 0xF3);
    ASSERT_EQ(captured([] { return eeprom_protect_frame("all", FakeDevice::program_word); }), 0);
    EXPECT_EQ(device.spans(DeviceCall::kProgramWord), (Spans{{0x13FC, 2}}));
    EXPECT_EQ(out_,
              "EEPROM protect: protection already set - forced overwrite\n"
              "EEPROM protect: whole area\n");
}

TEST_F(EepromTest, ProtectVerifyCatchesAByteThatDidNotTake) {
    settings().verify = 1;
    FakeDevice device(0x0400, 0x1000);
    device.ignore_writes();
    EXPECT_EQ(captured([] { return eeprom_protect_frame("256B", FakeDevice::program_word); }), EIO);
    EXPECT_EQ(err_, "\nerror: EEPROM protection error: value 0xFF, expected 0xF3\n");
}

TEST_F(EepromTest, ProtectPassesCallbackFailuresOn) {
    FakeDevice device(0x0400, 0x1000);
    device.fail_call(0, ETIMEDOUT);
    EXPECT_EQ(captured([] { return eeprom_protect_frame("all", FakeDevice::program_word); }),
              ETIMEDOUT);
    EXPECT_EQ(device.calls().size(), 1U);
}

// Under -v every chunk written is read back and the file's words compared; erased words are
// not, and without -v (or without a read callback) nothing is read.
TEST_F(EepromTest, VerifyReadsBackTheWrittenChunks) {
    const std::string path = dir_.file("verify.s19");
    write_file(path, srec_line('0', 0, {'z', 'e', 'l', 'v'}) +
                         srec_line('1', 0x0400, {0x12, 0x34}) +
                         srec_line('1', 0x06FE, {0xAB, 0xCD}));
    struct Case {
        const char* name;
        bool verify;
        bool read_back;
        uint32_t weak;  // a cell that keeps 0xFF; 0 for none
        int result;
        std::string error;
    };
    const Case cases[] = {
        {"clean", true, true, 0, 0, ""},
        {"weak first byte", true, true, 0x0400, EIO,
         "\nerror: EEPROM data verify error at address <0x0400> value <0xFF34> expected "
         "<0x1234>\n"},
        {"weak last byte of a later chunk", true, true, 0x06FF, EIO,
         "\nerror: EEPROM data verify error at address <0x06FE> value <0xABFF> expected "
         "<0xABCD>\n"},
        {"erased word of a written chunk not compared", true, true, 0x0402, 0, ""},
        {"no -v", false, true, 0x0400, 0, ""},
        {"no read callback", true, false, 0x0400, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings().verify = c.verify ? 1 : 0;
        FakeDevice device(0x0400, 0x1000);
        device.memory()[2] = 0x00;  // programmed before: an erased word of the file stays so
        if (c.weak != 0) {
            device.keep_byte(c.weak);
        }
        const int result = captured([&] {
            return eeprom_write_frame(path.c_str(), 256, FakeDevice::write_block16,
                                      c.read_back ? FakeDevice::read_block16 : nullptr);
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(err_, c.error);
        const Spans reads = device.spans(DeviceCall::kReadBlock);
        if (c.verify && c.read_back) {
            EXPECT_EQ(reads.front(), std::make_pair(uint32_t{0x0400}, uint32_t{256}));
            if (c.result == 0) {
                EXPECT_EQ(reads, (Spans{{0x0400, 256}, {0x0600, 256}}));
                EXPECT_NE(out_.find("EEPROM write: verify size <512 B>"), std::string::npos)
                    << out_;
                EXPECT_NE(out_.find("EEPROM write: verify ok\n"), std::string::npos);
            }
        } else {
            EXPECT_TRUE(reads.empty());
            EXPECT_EQ(out_.find("EEPROM write: verify"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace zelv::test
