// The writer: exact lines, the choice of address width, erased chunks, refused record sizes,
// output failures, and files that read back into the image they came from.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "fakes/run_state.h"
#include "srec/srec.h"
#include "srec_test_util.h"

namespace zelv::test {
namespace {

class SrecWriter : public testing::Test {
protected:
    void SetUp() override { reset_run_state(); }

    struct Written {
        int result = -1;
        std::string error;
        std::vector<std::string> lines;
    };

    Written write(const std::vector<uint8_t>& data, uint32_t start, AddressMap map,
                  bool skip_erased, unsigned record_size, uint32_t entry = 0,
                  const char* header = "FLASH image") const {
        Written w;
        testing::internal::CaptureStderr();
        w.result = srec_write(path().c_str(), header, start, static_cast<unsigned>(data.size()),
                              data.data(), entry, map, skip_erased, record_size);
        w.error = testing::internal::GetCapturedStderr();
        if (file_exists(path())) {
            w.lines = split_lines(read_file(path()));
        }
        return w;
    }

    std::string path() const { return dir.file("out.s19"); }

    TempDir dir;
};

std::vector<uint8_t> counting(unsigned length, uint8_t first = 0) {
    std::vector<uint8_t> data(length);
    for (unsigned i = 0; i < length; ++i) {
        data[i] = static_cast<uint8_t>(first + i);
    }
    return data;
}

TEST_F(SrecWriter, ExactLines) {
    const Written w = write(counting(40, 0x80), 0x0400, nullptr, true, 16, 0x0400, "EEPROM data");
    ASSERT_EQ(w.result, 0) << w.error;
    EXPECT_EQ(read_file(path()),
              "S00E0000454550524F4D20646174616F\n"
              "S1130400808182838485868788898A8B8C8D8E8F70\n"
              "S1130410909192939495969798999A9B9C9D9E9F60\n"
              "S10B0420A0A1A2A3A4A5A6A7B4\n"
              "S9030400F8\n");
}

TEST_F(SrecWriter, LongHeaderIsCut) {
    const std::string header(300, 'A');
    const Written w = write({0}, 0, nullptr, false, 16, 0, header.c_str());
    ASSERT_EQ(w.result, 0) << w.error;
    ASSERT_FALSE(w.lines.empty());
    std::string expected = "S0FF0000";
    for (int i = 0; i < 252; ++i) {
        expected += "41";
    }
    EXPECT_EQ(w.lines[0], expected + "04");
}

TEST_F(SrecWriter, AddressWidthFollowsTheEnd) {
    struct Case {
        const char* name;
        uint32_t start;
        unsigned length;
        AddressMap map;
        std::string data_type;  // first characters of the data and termination lines
        std::string end_type;
    };
    const std::vector<Case> cases = {
        {"48 KB from 0x4000 ends at 0x10000", 0, 0xC000, nb_to_address, "S113", "S903"},
        {"one byte more", 0, 0xC001, nb_to_address, "S214", "S804"},
        {"up to 0x1000000", 0xFF0000, 0x10000, nullptr, "S214", "S804"},
        {"beyond 0x1000000", 0xFF0000, 0x10001, nullptr, "S315", "S705"},
        {"paged addresses", 0, 0x8000, ppage_to_address, "S214", "S804"},
        // The map's last address decides; the sum map(start) + length would wrap to 0x10.
        {"wrapping map", 0xFFFFFFF0, 0x20, nullptr, "S315", "S705"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data(c.length, 0xFF);
        data[0] = 0;
        const Written w = write(data, c.start, c.map, true, 16);
        ASSERT_EQ(w.result, 0) << w.error;
        ASSERT_EQ(w.lines.size(), 3u);
        EXPECT_EQ(w.lines[1].substr(0, 4), c.data_type);
        EXPECT_EQ(w.lines[2].substr(0, 4), c.end_type);
    }
}

TEST_F(SrecWriter, ErasedChunks) {
    struct Case {
        const char* name;
        std::vector<unsigned> data_bytes;  // offsets that are not 0xFF
        bool skip_erased;
        std::vector<std::string> prefixes;  // count and address of each data record
    };
    const std::vector<Case> cases = {
        {"all erased", {}, true, {}},
        {"all erased, kept", {}, false, {"S1130400", "S1130410", "S10B0420"}},
        {"one byte keeps its whole chunk", {5}, true, {"S1130400"}},
        {"chunks stay aligned after a skipped one", {20, 39}, true, {"S1130410", "S10B0420"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data(40, 0xFF);
        for (unsigned offset : c.data_bytes) {
            data[offset] = 0x12;
        }
        const Written w = write(data, 0x400, nullptr, c.skip_erased, 16, 0x400);
        ASSERT_EQ(w.result, 0) << w.error;
        ASSERT_EQ(w.lines.size(), c.prefixes.size() + 2);
        for (std::size_t i = 0; i < c.prefixes.size(); ++i) {
            EXPECT_EQ(w.lines[i + 1].substr(0, 8), c.prefixes[i]);
        }
        EXPECT_EQ(w.lines.back(), "S9030400F8");
    }
}

TEST_F(SrecWriter, RecordSizeLimits) {
    struct Case {
        uint32_t start;  // 0 gives S1, 0xFF0000 S2, 0x1000000 S3
        unsigned record_size;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {0, 0, false},
        {0, 1, true},
        {0, 252, true},
        {0, 253, false},
        {0xFF0000, 251, true},
        {0xFF0000, 252, false},
        {0x1000000, 250, true},
        {0x1000000, 251, false},
        {0x1000000, 1000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.start << " size " << std::dec << c.record_size);
        std::remove(path().c_str());
        const Written w = write(counting(600), c.start, nullptr, false, c.record_size);
        if (c.accepted) {
            ASSERT_EQ(w.result, 0) << w.error;
            const Loaded r = load_file(path(), 600, [](uint32_t a) { return a & 0xFFFFu; });
            EXPECT_EQ(r.result, 0) << r.error;
        } else {
            EXPECT_EQ(w.result, EINVAL);
            EXPECT_EQ(w.error,
                      "\nerror: invalid S-record size: " + std::to_string(c.record_size) + "\n");
            EXPECT_FALSE(file_exists(path()));
        }
    }
}

TEST_F(SrecWriter, RecordRefusesWhatItCannotFormat) {
    FILE* file = std::fopen(path().c_str(), "w");
    ASSERT_NE(file, nullptr);
    const std::vector<uint8_t> data(253, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(srec_record(file, '4', 0, 1, data.data()), EINVAL);
    EXPECT_EQ(srec_record(file, '1', 0, 253, data.data()), EINVAL);
    EXPECT_EQ(srec_record(file, '1', 0x10000, 1, data.data()), EINVAL);
    EXPECT_EQ(srec_record(file, '8', 0x1000000, 0, nullptr), EINVAL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: invalid S-record type: S4\n"
              "\nerror: invalid S-record size: 253\n"
              "\nerror: S-record address <0x10000> does not fit an S1 record\n"
              "\nerror: S-record address <0x1000000> does not fit an S8 record\n");
    EXPECT_EQ(srec_record(file, '7', 0xFFFFFFFF, 0, nullptr), 0);
    EXPECT_EQ(std::fclose(file), 0);
    EXPECT_EQ(read_file(path()), "S705FFFFFFFFFE\n");
}

// Paged addresses jump at every 16 KB of image: a record that would cross the jump is
// split there, so that no byte takes the address of another page's window.
TEST_F(SrecWriter, RecordsAreSplitWhereTheMapJumps) {
    const std::vector<uint8_t> data = counting(0x8000);
    const Written w = write(data, 0, ppage_to_address, false, 20);
    ASSERT_EQ(w.result, 0) << w.error;
    bool split = false;
    for (std::size_t i = 1; i + 1 < w.lines.size(); ++i) {
        const std::string& line = w.lines[i];
        const auto count = static_cast<unsigned>(std::stoul(line.substr(2, 2), nullptr, 16));
        const auto address = static_cast<uint32_t>(std::stoul(line.substr(4, 6), nullptr, 16));
        const unsigned length = count - 4;
        EXPECT_LE((address & 0x3FFF) + length, 0x4000u) << line;
        split = split || (length < 20 && i + 2 < w.lines.size());
    }
    EXPECT_TRUE(split);
    const Loaded r = load_file(path(), 0x8000, ppage_to_offset);
    ASSERT_EQ(r.result, 0) << r.error;
    EXPECT_EQ(r.image, data);
}

// Whatever the size, map and skipping, the file reads back into the image it came from
// (erased chunks that were left out come back from the 0xFF preset).
TEST_F(SrecWriter, FilesReadBackIntoTheirImage) {
    struct Map {
        const char* name;
        uint32_t start;
        AddressMap to_address;
        AddressMap to_offset;
        unsigned length;
    };
    const std::vector<Map> maps = {
        {"EEPROM window", 0x400, nullptr, [](uint32_t a) { return a - 0x400u; }, 0x1000},
        {"non-banked", 0, nb_to_address, nb_to_offset, 0xC000},
        {"paged", 0, ppage_to_address, ppage_to_offset, 0x10000},
    };
    std::mt19937 engine(20240611);
    const auto random = [&engine]() { return static_cast<uint32_t>(engine()); };
    for (const Map& m : maps) {
        for (int round = 0; round < 6; ++round) {
            std::vector<uint8_t> data(m.length, 0xFF);
            // Islands of data in erased space, some crossing chunk and page edges.
            for (int island = 0; island < 12; ++island) {
                const unsigned at = random() % m.length;
                const unsigned size = 1 + random() % 600;
                for (unsigned i = at; i < at + size && i < m.length; ++i) {
                    data[i] = static_cast<uint8_t>(random());
                }
            }
            const unsigned record_size = round == 0 ? 250 : 1 + random() % 250;
            const bool skip = round % 2 == 0;
            SCOPED_TRACE(testing::Message()
                         << m.name << " size " << record_size << " skip " << skip);
            const uint32_t entry = m.to_address != nullptr ? m.to_address(2) : m.start + 2;
            const Written w = write(data, m.start, m.to_address, skip, record_size, entry);
            ASSERT_EQ(w.result, 0) << w.error;
            for (const std::string& line : w.lines) {
                ASSERT_EQ(line.find_first_not_of("S0123456789ABCDEF"), std::string::npos) << line;
            }
            const Loaded r = load_file(path(), m.length, m.to_offset);
            ASSERT_EQ(r.result, 0) << r.error;
            EXPECT_EQ(r.image, data);
            EXPECT_EQ(r.raw_entry, entry);
            EXPECT_EQ(r.entry, 2u);
        }
    }
}

TEST_F(SrecWriter, OutputFailures) {
    const std::string nowhere = dir.file("no/such/folder.s19");
    testing::internal::CaptureStderr();
    const uint8_t byte = 0;
    EXPECT_EQ(srec_write(nowhere.c_str(), "x", 0, 1, &byte, 0, nullptr, false, 16), ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: cannot open " + nowhere + " for writing (No such file or directory)\n");

    if (!file_exists("/dev/full")) {
        GTEST_SKIP() << "/dev/full is not available to provoke write failures";
    }
    // A small file fits the stream's buffer and fails only when it is closed.
    testing::internal::CaptureStderr();
    EXPECT_EQ(srec_write("/dev/full", "x", 0, 1, &byte, 0, nullptr, false, 16), ENOSPC);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: cannot close file /dev/full (No space left on device)\n");
    // A large one fails while records are written; that is the one failure reported.
    const std::vector<uint8_t> data = counting(0x10000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(srec_write("/dev/full", "x", 0, 0x10000, data.data(), 0, nullptr, false, 16), ENOSPC);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: cannot write file (No space left on device)\n");
}

}  // namespace
}  // namespace zelv::test
