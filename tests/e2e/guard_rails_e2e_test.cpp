// A loader must not touch a board until it knows the whole command line can be carried out,
// and must say what it ignores: end to end through the serial monitor of the virtual target.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

class GuardRails : public testing::Test {
protected:
    test::ProcessResult zelv(const std::vector<std::string>& args,
                             const std::string& description = data_file("mc9s12dg128.dat")) {
        return run_sm(dir.file("dg128.state"), "dg128", description, args);
    }
    std::string file(const std::string& name, const std::string& content) {
        test::write_file(dir.file(name), content);
        return dir.file(name);
    }
    std::vector<uint8_t> flash() const { return state_section(dir.file("dg128.state"), "FLSH"); }

    test::TempDir dir;
    const std::string blink = std::string(ZELV_SOURCE_DIR) + "/examples/blink.s19";
};

// Every file of the line is read and checked before an earlier operation erases anything;
// each failure leaves the programmed FLASH as it was.
TEST_F(GuardRails, BadInputStopsTheRunBeforeTheBoardIsTouched) {
    ASSERT_EQ(zelv({"-q", "-E", "-H", blink}).status, 0);
    const std::vector<uint8_t> before = flash();
    const std::string good_ee = file("ee.s19", s_record('1', 0x0800, {1, 2}) + s_record('9', 0));
    const std::string bad_sum = file("sum.s19", "S1050800010200\n");
    const std::string far_ee = file("far.s19", s_record('1', 0x2000, {1, 2}) + s_record('9', 0));
    const std::string low = file("low.s19", s_record('1', 0x1000, {1, 2, 3, 4}));
    const std::string monitor = file("mon.s19", s_record('1', 0xF800, {1, 2, 3, 4}));
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-E", "-H", bad_sum}, bad_sum + ":1: S-record checksum error\n"},
        {{"-E", "-H", dir.file("typo.s19")},
         "unable to open " + dir.file("typo.s19") + " (No such file or directory)\n"},
        {{"-E", "-H", low}, low + ":1: data block address <0x1000> out of range\n"},
        {{"-E", "-C", good_ee, "-C", dir.file("typo.s19")},
         "unable to open " + dir.file("typo.s19") + " (No such file or directory)\n"},
        {{"-E", "-X", blink}, "RAM run: operation not supported\n"},
        {{"-F", "-H", blink, "-C", far_ee}, far_ee + ":1: data block address <0x2000> out of range\n"},
        {{"-E", "-G", dir.file("no/such/dir/f.s19")},
         "cannot open " + dir.file("no/such/dir/f.s19") + " for writing (No such file or directory)\n"},
        {{"-E", "-H", monitor}, "FLASH image overlaps the serial monitor at 0xF800-0xF803\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = zelv(args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message);
        EXPECT_EQ(flash(), before) << c.message;
    }
}

// Vectors written at 0xFF80-0xFFFF are the monitor's to relocate, not an overlap.
TEST_F(GuardRails, VectorsAreNotAnOverlap) {
    const std::string image =
        file("vec.s19", s_record('1', 0xC000, {0x20, 0xFE}) + s_record('1', 0xFFFE, {0xC0, 0x00}));
    const test::ProcessResult r = zelv({"-q", "-E", "-H", image});
    EXPECT_EQ(r.status, 0) << r.err;
}

// Connection options the interface never reads: one warning each, and the run goes on.
TEST_F(GuardRails, IgnoredOptionsAreNamed) {
    const test::ProcessResult r = zelv({"-q", "-Y", "-Z", "-o", "16M"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "warning: -o has no effect with interface sm\n"
              "warning: -Y has no effect with interface sm\n"
              "warning: -Z has no effect with interface sm\n");
    const test::ProcessResult usb =
        run_with_sim({"--part", "dp256", "--pod", "tbdml"},
                     {"-q", "-i", "tbdml", "-t", data_file("mc9s12dp256.dat"), "-p", "x", "-b",
                      "9600", "-Z"});
    EXPECT_EQ(usb.status, 0) << usb.err;
    EXPECT_EQ(usb.err,
              "warning: -p has no effect with interface tbdml\n"
              "warning: -b has no effect with interface tbdml\n"
              "warning: -Z has no effect with interface tbdml\n");
}

// A typo in a description key is named, with the key it was probably meant to be, even
// under -q; a number may carry a comment; a malformed one names its file and line.
TEST_F(GuardRails, DescriptionTyposAreReported) {
    const std::string shipped = test::read_file(data_file("mc9s12dg128.dat"));
    const std::string typo = file("typo.dat", "bdm_init_bite 0x0010 0x39\nram_size 0x2000   # 8 KB\n"
                                              "my_own_key 1\n" + shipped);
    const test::ProcessResult r = zelv({"-q"}, typo);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "warning: " + typo +
                         ":1: unknown target description key bdm_init_bite (did you mean "
                         "bdm_init_byte?)\n"
                         "warning: " + typo + ":3: unknown target description key my_own_key\n");

    const std::string bad = file("bad.dat", "\nram_size 8k\n" + shipped);
    const test::ProcessResult b = zelv({"-q"}, bad);
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.err, "\nerror: " + bad + ":2: invalid value for target description parameter "
                                         "ram_size\n");
}

// Values the target cannot carry out are refused before anything runs, never cut to fit.
TEST_F(GuardRails, ValuesThatCannotBeCarriedOutAreRefused) {
    const std::string dg128 = test::read_file(data_file("mc9s12dg128.dat"));
    const std::string agent = std::string(ZELV_SOURCE_DIR) + "/examples/dp256-bdm-agent.dat";
    const struct {
        std::vector<std::string> sim;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--part", "dg128"},
         {"-i", "sm", "-p", "@PORT@", "-t", data_file("mc9s12dg128.dat"), "-j", "0x13000"},
         "invalid start address: 0x13000\n"},
        {{"--part", "dg128"},
         {"-i", "sm", "-p", "@PORT@", "-t", file("page.dat", "ppage_default 0x10\n" + dg128)},
         "ppage_default 0x10 outside the FLASH pages 0x38-0x3F\n"},
        {{"--part", "dp256", "--pod", "bdm12pod"},
         {"-i", "bdm12pod", "-p", "@PORT@", "-o", "70M", "-t", agent, "-G", dir.file("f.s19")},
         "invalid oscillator frequency for target programming\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = run_with_sim(c.sim, args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message);
    }
    // A description for a larger part than the one connected: warned before any operation.
    const test::ProcessResult r = zelv({"-q"}, data_file("mc9s12dp256.dat"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "warning: part id memory size <128kB> differs from the description's FLASH size "
              "<256kB>\n");
}

// The README's srec_cmp recipe finds a read-back equal to the file that was written, and a
// byte that did not program different.
TEST_F(GuardRails, ReadmeCompareRecipeWorks) {
    ZELV_REQUIRE_TOOL("srec_cmp");
    std::vector<std::string> recipe;
    for (const std::string& line :
         test::split_lines(test::read_file(std::string(ZELV_SOURCE_DIR) + "/README.md"))) {
        if (line.rfind("    srec_cmp ", 0) == 0) {
            std::istringstream words(line);
            for (std::string word; words >> word;) {
                recipe.push_back(word == "app.s19" ? blink : word == "back.s19" ? dir.file("back.s19") : word);
            }
            break;
        }
    }
    ASSERT_FALSE(recipe.empty()) << "no srec_cmp line in the README";

    ASSERT_EQ(zelv({"-q", "-E", "-H", blink, "-G", dir.file("back.s19")}).status, 0);
    const test::ProcessResult same = test::run_process(recipe);
    EXPECT_EQ(same.status, 0) << same.out << same.err;

    // 0xC000 holds 0xCF in blink.s19; a byte there that does not program must show.
    std::remove(dir.file("dg128.state").c_str());
    const test::ProcessResult weak = run_sm(dir.file("dg128.state"), "dg128",
                                            data_file("mc9s12dg128.dat"),
                                            {"-q", "-E", "-H", blink, "-G", dir.file("back.s19")},
                                            {"weak-flash:0x1C000"});
    ASSERT_EQ(weak.status, 0) << weak.err;
    EXPECT_NE(test::run_process(recipe).status, 0);
}

}  // namespace
}  // namespace zelv::e2e
