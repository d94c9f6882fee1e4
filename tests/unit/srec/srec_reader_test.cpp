// The reader against hand-made files: what loads, what is refused and with which message,
// and what the outputs hold afterwards.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "fakes/run_state.h"
#include "srec/srec.h"
#include "srec_test_util.h"

namespace zelv::test {
namespace {

class SrecReader : public testing::Test {
protected:
    void SetUp() override { reset_run_state(); }

    std::string path() const { return dir.file("in.s19"); }
    std::string error_at(unsigned line, const std::string& what) const {
        return "\nerror: " + path() + ":" + std::to_string(line) + ": " + what + "\n";
    }

    TempDir dir;
};

uint32_t outside_for_zero(uint32_t a) {
    return a == 0 ? 0xFFFFFFFFu : a;
}

TEST_F(SrecReader, LoadsDataHeaderAndEntry) {
    const Loaded r = load_text(dir,
                               "S00F000068656C6C6F20202020202020FC\n"
                               "S1070010AABBCCDDDA\n"
                               "S5030001FB\n"
                               "S10500200102D7\n"
                               "S9030010EC\n",
                               0x100);
    ASSERT_EQ(r.result, 0) << r.error;
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.info, "hello       ");
    EXPECT_EQ(r.raw_entry, 0x10u);
    EXPECT_EQ(r.entry, 0x10u);
    EXPECT_EQ(r.lowest, 0x10u);
    EXPECT_EQ(r.highest, 0x21u);
    std::vector<uint8_t> expected(0x100, 0xFF);
    expected[0x10] = 0xAA;
    expected[0x11] = 0xBB;
    expected[0x12] = 0xCC;
    expected[0x13] = 0xDD;
    expected[0x20] = 0x01;
    expected[0x21] = 0x02;
    EXPECT_EQ(r.image, expected);
}

TEST_F(SrecReader, AddressWidthsAndTerminationTypes) {
    struct Case {
        std::string text;
        uint32_t offset;  // where the data lands (identity map)
        uint32_t entry;
    };
    const std::vector<Case> cases = {
        {record('1', 0x1234, {0x5A}) + "\n" + record('9', 0x1234, {}) + "\n", 0x1234, 0x1234},
        {record('2', 0x012345, {0x5A}) + "\n" + record('8', 0x012345, {}) + "\n", 0x12345, 0x12345},
        {record('3', 0x00023456, {0x5A}) + "\n" + record('7', 0x00023456, {}) + "\n", 0x23456,
         0x23456},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Loaded r = load_text(dir, c.text, 0x30000);
        ASSERT_EQ(r.result, 0) << r.error;
        EXPECT_EQ(r.image[c.offset], 0x5A);
        EXPECT_EQ(r.lowest, c.offset);
        EXPECT_EQ(r.highest, c.offset);
        EXPECT_EQ(r.raw_entry, c.entry);
        EXPECT_EQ(r.entry, c.entry);
    }
}

TEST_F(SrecReader, HeaderOnlyLeavesSpanAndEntryAlone) {
    const Loaded r = load_text(dir, "S006000041424333\n", 0x400);
    ASSERT_EQ(r.result, 0) << r.error;
    EXPECT_EQ(r.info, "ABC");
    EXPECT_EQ(r.lowest, 0x400u);
    EXPECT_EQ(r.highest, 0u);
    EXPECT_EQ(r.raw_entry, unset);
    EXPECT_EQ(r.entry, unset);
    EXPECT_EQ(r.image, std::vector<uint8_t>(0x400, 0xFF));
}

TEST_F(SrecReader, InfoText) {
    struct Case {
        const char* name;
        std::string text;
        unsigned info_size;
        std::string info;
    };
    const std::vector<Case> cases = {
        {"no header empties the buffer", record('1', 0, {1}) + "\n", 256, ""},
        {"a later header replaces an earlier one",
         record('0', 0, {'l', 'o', 'n', 'g', 'e', 'r'}) + "\n" + record('0', 0, {'x'}) + "\n", 256,
         "x"},
        {"cut to the buffer size", record('0', 0, {'a', 'b', 'c', 'd', 'e', 'f'}) + "\n", 5,
         "abcd"},
        {"ends at a NUL byte", record('0', 0, {'a', 'b', 0, 'c'}) + "\n", 256, "ab"},
        // The text is shown on a terminal: nothing in it may act as a control.
        {"controls become dots",
         record('0', 0, {'a', 0x1B, '[', '2', 'J', 0x07, '\r', '\n', 0x7F, 0x9B, 0xFF, 'z'}) + "\n",
         256, "a.[2J......z"},
        {"252 bytes fit", record('0', 0, std::vector<uint8_t>(252, 'Q')) + "\n", 256,
         std::string(252, 'Q')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Loaded r = load_text(dir, c.text, 16, nullptr, 0xFF, c.info_size);
        ASSERT_EQ(r.result, 0) << r.error;
        EXPECT_EQ(r.info, c.info);
    }
    // No info buffer at all is fine.
    write_file(path(), record('0', 0, {'a'}) + "\n");
    uint8_t image[4] = {};
    EXPECT_EQ(srec_read(path().c_str(), nullptr, 0, image, 4, nullptr, nullptr, nullptr, nullptr,
                        nullptr),
              0);
}

// Each bad line stands on line 2 after a good record; the good record's bytes stay.
TEST_F(SrecReader, InvalidRecordsAreReportedWithTheirLineNumber) {
    struct Case {
        const char* name;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"lower-case s", "s1050010AABB00\n"},
        {"blank line", "\n"},
        {"leading blank", " S1050010AABB00\n"},
        {"trailing blank", "S1050010AABB00 \n"},
        {"S4", "S4050010AABB00\n"},
        {"S6", "S6050010AABB00\n"},
        {"letter type", "SX050010AABB00\n"},
        {"S alone", "S\n"},
        {"S alone at end of file", "S"},
        {"truncated in the address", "S105001\n"},
        {"truncated in the data", "S1050010AA\n"},
        {"one checksum digit", "S1050010AABB0\n"},
        {"checksum not hex", "S1050010AABBG0\n"},
        {"data not hex", "S1050010AXBB00\n"},
        {"count not hex", "S1Z50010AABB00\n"},
        {"count too small", "S1040010AABB00\n"},
        {"count too large", "S1060010AABB00\n"},
        {"count 0xFF with short data", "S1FF0010AABB00\n"},
        {"S1 count below the address", "S1020010ED\n"},
        {"S2 count of three", "S203001000EC\n"},
        {"S3 count of four", "S30400001000EB\n"},
        {"S5 count of four", "S5040001AA50\n"},
        {"S9 count of four", "S9040000AA51\n"},
        {"S8 count of five", "S805000000AA50\n"},
        {"S7 count of six", "S70600000000AA4F\n"},
        {"NUL in the data", std::string("S1050010AA\0BB00\n", 16)},
        {"NUL after the checksum", std::string("S1050010AABB00\0\n", 16)},
        {"NUL as the whole line", std::string("\0\n", 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Loaded r = load_text(dir, "S1050000AABB95\n" + c.line + "S1050002CCDD4F\n", 8);
        EXPECT_EQ(r.result, EINVAL);
        EXPECT_EQ(r.error, error_at(2, "invalid S-record"));
        EXPECT_EQ(r.image, (std::vector<uint8_t>{0xAA, 0xBB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
        EXPECT_EQ(r.lowest, 0u);
        EXPECT_EQ(r.highest, 1u);
    }
}

TEST_F(SrecReader, AcceptedVariations) {
    struct Case {
        const char* name;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"lower-case hex", "S1050002aabb93\n"},
        {"CR LF line ends", "S1050002AABB93\r\nS9030000FC\r\n"},
        {"lone CR line ends", "S1050002AABB93\rS9030000FC\r"},
        {"last line without line end", "S1050002AABB93"},
        {"S5 with count 3", "S5030001FB\nS1050002AABB93\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Loaded r = load_text(dir, c.text, 4);
        EXPECT_EQ(r.result, 0) << r.error;
        EXPECT_EQ(r.image, (std::vector<uint8_t>{0xFF, 0xFF, 0xAA, 0xBB}));
    }
}

// Old Mac files end their lines in a lone carriage return: each one is a line of its own,
// so the whole file loads and a bad record behind a CR is found with its own line number.
TEST_F(SrecReader, LoneCarriageReturnsEndLines) {
    const std::string three = record('1', 0x0, {1, 2}) + "\r" + record('1', 0x4, {3, 4}) + "\r" +
                              record('1', 0x8, {5, 6}) + "\r" + record('9', 0x0, {}) + "\r";
    Loaded r = load_text(dir, three, 12);
    ASSERT_EQ(r.result, 0) << r.error;
    EXPECT_EQ(r.image,
              (std::vector<uint8_t>{1, 2, 0xFF, 0xFF, 3, 4, 0xFF, 0xFF, 5, 6, 0xFF, 0xFF}));
    EXPECT_EQ(r.highest, 9u);
    EXPECT_EQ(r.raw_entry, 0u);

    // Mixed line ends count one line each; CR LF stays one line end.
    r = load_text(dir,
                  record('1', 0x0, {1}) + "\r\n" + record('1', 0x1, {2}) + "\r" +
                      record('1', 0x2, {3}) + "\n" + "junk\r" + record('1', 0x3, {4}) + "\n",
                  4);
    EXPECT_EQ(r.result, EINVAL);
    EXPECT_EQ(r.error, error_at(4, "invalid S-record"));
    EXPECT_EQ(r.image, (std::vector<uint8_t>{1, 2, 3, 0xFF}));

    // What follows a record's CR on the same LF line is a line of its own, not ignored.
    r = load_text(dir, record('1', 0x0, {1}) + "\rS1040001FF\n", 4);
    EXPECT_EQ(r.result, EINVAL);
    EXPECT_EQ(r.error, error_at(2, "invalid S-record"));
}

// A record whose checksum does not match its bytes is a corrupted file: nothing of that
// record is taken, the records before it stay in the image, and the caller fails.
TEST_F(SrecReader, ChecksumMismatchIsAnError) {
    struct Case {
        const char* name;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"data record", "S1050002AABB00\n"},
        {"data byte changed", "S1050002AABC93\n"},
        {"address changed", "S1050003AABB93\n"},
        {"S2 record", "S2060000020102F5\n"},
        {"S3 record", "S307000000020102F4\n"},
        {"header", "S006000041424334\n"},
        {"S5 record", "S5030001FC\n"},
        {"termination record", "S9030000FD\n"},
        {"lower-case checksum digits", "S1050002aabb9c\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Loaded r = load_text(dir, record('1', 0x0, {7}) + "\n" + c.line, 4);
        EXPECT_EQ(r.result, EINVAL);
        EXPECT_EQ(r.error, error_at(2, "S-record checksum error"));
        EXPECT_EQ(r.image, (std::vector<uint8_t>{7, 0xFF, 0xFF, 0xFF}));
        EXPECT_EQ(r.raw_entry, unset);
        EXPECT_EQ(r.highest, 0u);
    }
}

TEST_F(SrecReader, LineLengthLimit) {
    struct Case {
        const char* name;
        std::string line;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"525 characters and a line feed are judged as a record",
         "S1" + std::string(523, '0') + "\n", "invalid S-record"},
        {"526 characters and a line feed", "S1" + std::string(524, '0') + "\n",
         "S-record line too long"},
        {"527 characters, no line end", "S1" + std::string(525, '0'), "S-record line too long"},
        {"a very long line", "S1" + std::string(5000, '0') + "\n", "S-record line too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The rest of an overlong line must not be read as a line of its own.
        const Loaded r = load_text(dir, "S1050000AABB95\n" + c.line + "S9030000FC\n", 4);
        EXPECT_EQ(r.result, EINVAL);
        EXPECT_EQ(r.error, error_at(2, c.message));
        EXPECT_EQ(r.raw_entry, unset);
    }

    // The longest valid record: S3 with count 0xFF, 514 characters.
    const std::vector<uint8_t> data(250, 0x42);
    const std::string longest = record('3', 0x10, data);
    ASSERT_EQ(longest.size(), 514u);
    const Loaded r = load_text(dir, longest + "\r\n", 0x200);
    ASSERT_EQ(r.result, 0) << r.error;
    EXPECT_EQ(r.lowest, 0x10u);
    EXPECT_EQ(r.highest, 0x10u + 249);
}

TEST_F(SrecReader, DataRange) {
    struct Case {
        const char* name;
        AddressMap map;
        uint32_t image_size;
        std::string line;
        std::string message;  // empty when the record loads
        uint32_t first;       // image offset of the first byte when it loads
    };
    const std::vector<Case> cases = {
        {"last byte at the image end", nullptr, 0x100, record('1', 0xFE, {1, 2}), "", 0xFE},
        {"one byte past the image end", nullptr, 0x100, record('1', 0xFF, {1, 2}),
         "data block address <0xFF> out of range", 0},
        {"first byte past the image end", nullptr, 0x100, record('1', 0x100, {1}),
         "data block address <0x100> out of range", 0},
        {"below a window", nb_to_offset, 0x100, record('1', 0x3FFF, {1, 2}),
         "data block address <0x3FFF> out of range", 0},
        {"window start", nb_to_offset, 0x100, record('1', 0x4000, {1, 2}), "", 0},
        {"address sum wraps", nullptr, 0x100, record('3', 0xFFFFFFFF, {1, 2}),
         "data block address <0xFFFFFFFF> out of range", 0},
        {"end of a page", ppage_to_offset, 0x8000, record('2', 0x30BFFE, {1, 2}), "", 0x3FFE},
        {"next page", ppage_to_offset, 0x8000, record('2', 0x318000, {1, 2}), "", 0x4000},
        // Both ends lie inside the image but not next to each other: the record crosses
        // the page window's edge, and its tail would land at the start of the page.
        {"across a page window edge", ppage_to_offset, 0x8000, record('2', 0x30BFFF, {1, 2}),
         "data block address <0x30BFFF> out of range", 0},
        {"across two pages", ppage_to_offset, 0x8000,
         record('2', 0x30BFF0, std::vector<uint8_t>(0x20, 7)),
         "data block address <0x30BFF0> out of range", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Loaded r = load_text(dir, c.line + "\n", c.image_size, c.map);
        if (c.message.empty()) {
            ASSERT_EQ(r.result, 0) << r.error;
            EXPECT_EQ(r.image[c.first], 1);
            EXPECT_EQ(r.image[c.first + 1], 2);
            EXPECT_EQ(r.lowest, c.first);
            EXPECT_EQ(r.highest, c.first + 1);
        } else {
            EXPECT_EQ(r.result, EINVAL);
            EXPECT_EQ(r.error, error_at(1, c.message));
            EXPECT_EQ(r.image, std::vector<uint8_t>(c.image_size, 0xFF));
            EXPECT_EQ(r.lowest, c.image_size);
            EXPECT_EQ(r.highest, 0u);
        }
    }
}

TEST_F(SrecReader, LaterRecordsOverwriteEarlierOnesInAnyOrder) {
    const Loaded r = load_text(dir,
                               record('1', 0x8, {8, 9}) + "\n" + record('1', 0x0, {1, 2, 3}) +
                                   "\n" + record('1', 0x1, {0x22}) + "\n",
                               16, nullptr, 0x00);
    ASSERT_EQ(r.result, 0) << r.error;
    EXPECT_EQ(r.lowest, 0u);
    EXPECT_EQ(r.highest, 9u);
    EXPECT_EQ(r.image, (std::vector<uint8_t>{1, 0x22, 3, 0, 0, 0, 0, 0, 8, 9, 0, 0, 0, 0, 0, 0}));
}

// A data record with a count of exactly the address and checksum carries no byte: it must
// neither write nor widen the span (its last address would be first − 1).
TEST_F(SrecReader, EmptyDataRecordChangesNothing) {
    const Loaded r = load_text(dir,
                               record('1', 0x4, {7}) + "\n" + "S1030100FB\n" + "S1030000FC\n" +
                                   record('1', 0x6, {8}) + "\n",
                               16);
    ASSERT_EQ(r.result, 0) << r.error;
    EXPECT_EQ(r.lowest, 4u);
    EXPECT_EQ(r.highest, 6u);
}

TEST_F(SrecReader, EntryAddress) {
    struct Case {
        const char* name;
        AddressMap map;
        std::string line;
        uint32_t raw_entry;
        uint32_t entry;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"zero is never out of range", outside_for_zero, "S9030000FC", 0, 0xFFFFFFFF, ""},
        {"inside the image", nb_to_offset, "S9034010AC", 0x4010, 0x10, ""},
        {"outside the image is stored and reported", nullptr, "S9031234B6", 0x1234, 0x1234,
         "entry address <0x1234> out of range"},
        {"S8 outside", nullptr, "S8041234565F", 0x123456, 0x123456,
         "entry address <0x123456> out of range"},
        {"S7 outside", nb_to_offset, "S70500003000CA", 0x3000, 0xFFFFF000,
         "entry address <0x3000> out of range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Loaded r = load_text(dir, c.line + "\n", 0x100, c.map);
        EXPECT_EQ(r.result, c.message.empty() ? 0 : EINVAL);
        EXPECT_EQ(r.error, c.message.empty() ? "" : error_at(1, c.message));
        EXPECT_EQ(r.raw_entry, c.raw_entry);
        EXPECT_EQ(r.entry, c.entry);
    }

    // Without the mapped output nothing is range-checked.
    write_file(path(), "S9031234B6\n");
    uint8_t image[4] = {};
    uint32_t raw = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(
        srec_read(path().c_str(), nullptr, 0, image, 4, &raw, nullptr, nullptr, nullptr, nullptr),
        0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(raw, 0x1234u);
}

TEST_F(SrecReader, NothingAfterTheTerminationRecordIsRead) {
    const Loaded r = load_text(dir,
                               record('1', 0, {1}) + "\nS9030000FC\n" + record('1', 1, {2}) +
                                   "\nthis is not a record\n" + std::string(900, 'S') + "\n",
                               4);
    EXPECT_EQ(r.result, 0) << r.error;
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.image, (std::vector<uint8_t>{1, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(r.highest, 0u);
}

TEST_F(SrecReader, UnopenableFileTouchesNoOutput) {
    const std::string missing = dir.file("missing.s19");
    const Loaded r = load_file(missing, 4, nullptr);
    EXPECT_EQ(r.result, ENOENT);
    EXPECT_EQ(r.error, "\nerror: unable to open " + missing + " (No such file or directory)\n");
    EXPECT_EQ(r.lowest, unset);
    EXPECT_EQ(r.highest, unset);
    EXPECT_EQ(r.info, std::string(256, 'x'));
}

// A read error must not look like the end of a (shorter) file.
TEST_F(SrecReader, ReadErrorIsAFailure) {
    const Loaded r = load_file(dir.path(), 4, nullptr);
    EXPECT_EQ(r.result, EISDIR);
    EXPECT_EQ(r.error, "\nerror: cannot read file " + dir.path() + " (Is a directory)\n");
}

}  // namespace
}  // namespace zelv::test
