// Cross-checks with an independent implementation (the srecord tools: srec_cat, srec_info,
// srec_cmp) and with files from the HC12 toolchain: what they write must load byte for byte,
// and what we write they must accept as valid and equal to its source.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "fakes/run_state.h"
#include "srec/srec.h"
#include "srec_test_util.h"

namespace zelv::test {
namespace {

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::vector<uint8_t> as_bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

class SrecCrossCheck : public testing::Test {
protected:
    void SetUp() override {
        reset_run_state();
        if (!tool_available("srec_cat") || !tool_available("srec_info") ||
            !tool_available("srec_cmp")) {
            GTEST_SKIP() << "srec_cat, srec_info or srec_cmp (package srecord) is not on PATH; "
                            "cross-checks with an independent S-record implementation skipped";
        }
    }

    static void run_ok(const std::vector<std::string>& argv) {
        const ProcessResult r = run_process(argv);
        ASSERT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    }

    TempDir dir;
};

// srec_cat writes S1, S2 and S3 files with and without a start address, with several line
// lengths, and with holes; each must load exactly as srec_cat itself converts it to binary.
TEST_F(SrecCrossCheck, FilesFromSrecCatLoadByteIdentical) {
    struct Case {
        const char* name;
        std::vector<std::string> generate;  // srec_cat input arguments
        std::vector<std::string> output;    // extra output arguments
        char data_type;
    };
    const std::vector<Case> cases = {
        {"S1", {"-generate", "0x4000", "0x4400", "-random"}, {"-address-length=2"}, '1'},
        {"S2", {"-generate", "0x4000", "0x4400", "-random"}, {"-address-length=3"}, '2'},
        {"S3", {"-generate", "0x4000", "0x4400", "-random"}, {"-address-length=4"}, '3'},
        {"S1 short lines",
         {"-generate", "0x4000", "0x4400", "-random"},
         {"-address-length=2", "-line-length=20"},
         '1'},
        {"S3 longest records",
         {"-generate", "0x4000", "0x4400", "-random"},
         {"-address-length=4", "-output-block-size=250"},
         '3'},
        {"S2 with holes",
         {"-generate", "0x4001", "0x4123", "-random", "-generate", "0x4200", "0x4201", "-random",
          "-generate", "0x43F0", "0x4400", "-random"},
         {"-address-length=3", "-line-length=70"},
         '2'},
    };
    for (const bool with_entry : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << (with_entry ? " with entry" : ""));
            const std::string file = dir.file("gen.srec");
            const std::string binary = dir.file("gen.bin");
            std::vector<std::string> generate = {"srec_cat"};
            generate.insert(generate.end(), c.generate.begin(), c.generate.end());
            if (with_entry) {
                generate.insert(generate.end(), {"-execution-start-address", "0x4010"});
            }
            generate.insert(generate.end(), {"-o", file});
            generate.insert(generate.end(), c.output.begin(), c.output.end());
            run_ok(generate);
            run_ok({"srec_cat", file, "-fill", "0xFF", "0x4000", "0x4400", "-offset", "-0x4000",
                    "-o", binary, "-binary"});

            const std::string text = read_file(file);
            ASSERT_NE(text.find(std::string("\nS") + c.data_type), std::string::npos) << text;
            const Loaded r = load_file(file, 0x400, nb_to_offset);
            ASSERT_EQ(r.result, 0) << r.error;
            EXPECT_EQ(r.image, as_bytes(read_file(binary)));
            EXPECT_EQ(r.raw_entry, with_entry ? 0x4010u : unset);
            EXPECT_FALSE(r.info.empty());
        }
    }
}

// Our files, for each address width, record size and with erased chunks left out or kept,
// must be valid to srec_info and equal to the binary they were made from to srec_cmp.
TEST_F(SrecCrossCheck, OurFilesAreValidAndEqualToTheirSource) {
    struct Case {
        const char* name;
        uint32_t start;
        unsigned length;
        unsigned record_size;
        bool skip_erased;
    };
    const std::vector<Case> cases = {
        {"S1 EEPROM", 0x400, 0x1000, 16, false},
        {"S1 to the top", 0x4000, 0xC000, 32, true},
        {"S1 one byte records", 0x800, 0x100, 1, false},
        {"S1 longest records", 0x1000, 0x1000, 252, false},
        {"S2", 0xFF8000, 0x4000, 33, true},
        {"S2 longest records", 0x20000, 0x2000, 251, false},
        {"S3", 0x1000000, 0x2000, 16, true},
        {"S3 longest records", 0x80000000, 0x2000, 250, false},
    };
    std::mt19937 engine(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data(c.length, 0xFF);
        for (unsigned i = 0; i < c.length; ++i) {
            // Data with erased stretches, so that skipping has something to skip.
            if ((i / 200) % 3 != 1) {
                data[i] = static_cast<uint8_t>(engine());
            }
        }
        const std::string ours = dir.file("ours.srec");
        const std::string source = dir.file("source.bin");
        write_file(source, std::string(data.begin(), data.end()));
        testing::internal::CaptureStderr();
        const int result = srec_write(ours.c_str(), "EEPROM data", c.start, c.length, data.data(),
                                      c.start, nullptr, c.skip_erased, c.record_size);
        const std::string error = testing::internal::GetCapturedStderr();
        ASSERT_EQ(result, 0) << error;

        const ProcessResult info = run_process({"srec_info", ours});
        ASSERT_EQ(info.status, 0) << info.err;
        EXPECT_NE(info.out.find("Header: \"EEPROM data\""), std::string::npos) << info.out;
        EXPECT_EQ(info.err, "");

        // Left-out chunks are erased bytes: fill them back before comparing.
        const std::string first = hex(c.start);
        const std::string end = hex(c.start + c.length);
        const ProcessResult cmp = run_process(
            {"srec_cmp", ours, "-fill", "0xFF", first, end, source, "-binary", "-offset", first});
        EXPECT_EQ(cmp.status, 0) << cmp.out << cmp.err;
    }
}

// A program built by the HC12 toolchain, in its S1 and S3 forms (CR LF line ends).
TEST(SrecToolchain, AssemblerOutputLoads) {
    reset_run_state();
    const std::vector<uint8_t> program = {
        0xCF, 0x3F, 0xFF,              // lds #0x3fff
        0x86, 0x5A,                    // ldaa #0x5a
        0x7A, 0x08, 0x00,              // staa 0x0800
        0x18, 0x0B, 0x12, 0x08, 0x01,  // movb #0x12,0x0801
        0xCE, 0x40, 0x15,              // ldx #table
        0xE6, 0x30,                    // loop: ldab 1,x+
        0x26, 0xFC,                    // bne loop
        0x00,                          // bgnd
        'H',  'C',  '1',  '2',  0x00,  // table
    };
    for (const char* name : {"hc12_app.s19", "hc12_app.s37"}) {
        SCOPED_TRACE(name);
        const Loaded r =
            load_file(std::string(ZELV_FIXTURE_DIR) + "/srec/" + name, 0xC000, nb_to_offset);
        ASSERT_EQ(r.result, 0) << r.error;
        EXPECT_EQ(r.info, name);
        EXPECT_EQ(r.raw_entry, 0x4000u);
        EXPECT_EQ(r.entry, 0u);
        EXPECT_EQ(r.lowest, 0u);
        EXPECT_EQ(r.highest, program.size() - 1);
        EXPECT_EQ(std::vector<uint8_t>(r.image.begin(), r.image.begin() + 26), program);
        EXPECT_EQ(r.image[26], 0xFF);
    }
}

}  // namespace
}  // namespace zelv::test
