// -v on a FLASH write, end to end: the write is read back through the interface and a
// word that did not program (the virtual target's weak-flash fault) fails the run with its
// address in the file's own address format; without -v the run and its line traffic stay
// exactly as they were.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

// One interface against one virtual part: the simulator options it needs besides part,
// state, faults and trace, and zelvanor's connection options.
struct Rig {
    const char* name;
    const char* part;
    std::vector<std::string> sim;
    std::vector<std::string> connection;
};

const Rig kRigs[] = {
    {"sm", "dg128", {}, {"-i", "sm", "-p", "@PORT@", "-t", data_file("mc9s12dg128.dat")}},
};

const std::string kBar = "[##################################################]";

// What the lines after the write's own bar must read for a verify of `size` bytes.
std::string verified(unsigned size) {
    return "FLASH write: verify " + kBar + "\nFLASH write: verify size <" + std::to_string(size) +
           " B> time <T> rate <R>\nFLASH write: verify ok\n";
}

// A trace as the exchange it records: consecutive lines of one direction joined, since how
// the bytes of one command are split into reads depends on timing.
std::vector<std::string> exchange(const std::string& path) {
    std::vector<std::string> turns;
    for (const std::string& line : test::split_lines(test::read_file(path))) {
        if (!turns.empty() && turns.back().compare(0, 2, line, 0, 2) == 0) {
            turns.back() += line.substr(2);
        } else {
            turns.push_back(line);
        }
    }
    return turns;
}

class FlashVerify : public testing::Test {
protected:
    // zelvanor with the rig's connection and args, against a fresh part named `run`.
    test::ProcessResult zelv(const Rig& rig, const std::string& run,
                             const std::vector<std::string>& args,
                             const std::vector<std::string>& faults = {}) {
        std::vector<std::string> sim = {"--part",  rig.part,
                                        "--state", dir.file(run + ".state"),
                                        "--trace", dir.file(run + ".trace")};
        sim.insert(sim.end(), rig.sim.begin(), rig.sim.end());
        for (const std::string& fault : faults) {
            sim.insert(sim.end(), {"--fault", fault});
        }
        std::vector<std::string> full = rig.connection;
        full.insert(full.end(), args.begin(), args.end());
        test::ProcessResult r = run_with_sim(sim, full);
        r.out = without_times(r.out);
        return r;
    }

    std::string srec(const std::string& name, const std::string& lines) {
        const std::string path = dir.file(name);
        test::write_file(path, lines);
        return path;
    }

    test::TempDir dir;
    const std::string blink = std::string(ZELV_SOURCE_DIR) + "/examples/blink.s19";
};

// dg128: pages 0x38-0x3F, linear 0xE0000-0xFFFFF; page 0x3E is also 0x4000-0x7FFF.
TEST_F(FlashVerify, CleanWritesAreReadBackAndPass) {
    for (const Rig& rig : kRigs) {
        SCOPED_TRACE(rig.name);
        // Code and reset vector share the last page; the monitor keeps the vector in its
        // table below itself, and that is where it is read back.
        test::ProcessResult r = zelv(rig, "blink", {"-v", "-H", blink});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(
            r.out.find("FLASH write: image size <28 B> time <T> rate <R>\n" + verified(16384)),
            std::string::npos)
            << r.out;

        const std::string two_pages =
            srec("two.s19", s_record('2', 0xE0000, {1, 2, 3, 4}) +
                                s_record('2', 0xF8100, {5, 6, 7, 8}) + s_record('8', 0));
        r = zelv(rig, "two", {"-v", "-a", "banked-linear", "-H", two_pages});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("FLASH write: image size <8 B> time <T> rate <R>\n" + verified(32768)),
                  std::string::npos)
            << r.out;
    }
}

TEST_F(FlashVerify, SilentlyFailedByteIsNamedInTheFilesFormat) {
    struct Case {
        const char* format;
        char record;
        uint32_t address;  // of the first data byte, page 0x3E offset 0x100
        const char* failed;
    };
    const Case cases[] = {
        {"non-banked", '1', 0x4100, "0x4103"},
        {"banked-linear", '2', 0xF8100, "0xF8103"},
        {"banked-ppage", '2', 0x3E8100, "0x3E8103"},
    };
    for (const Rig& rig : kRigs) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(rig.name) + " " + c.format);
            const std::string file = srec(
                std::string(c.format) + ".s19",
                s_record(c.record, c.address, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}) +
                    s_record(c.record == '1' ? '9' : '8', 0));
            const std::string back = dir.file(std::string(c.format) + "-back.s19");
            // Page 0x3E starts at storage offset 6 * 0x4000.
            const test::ProcessResult r =
                zelv(rig, c.format, {"-v", "-a", c.format, "-H", file, "-G", back},
                     {"weak-flash:0x18103"});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, std::string("\nerror: FLASH data verify error at address <") +
                                 c.failed + "> value <0xFF> expected <0x44>\n");
            EXPECT_NE(r.out.find("FLASH write: verify ["), std::string::npos) << r.out;
            EXPECT_FALSE(test::file_exists(back)) << "the run stops at the failed verify";
        }
    }
}

TEST_F(FlashVerify, WithoutVerifyTheRunAndItsTrafficAreUnchanged) {
    for (const Rig& rig : kRigs) {
        SCOPED_TRACE(rig.name);
        const test::ProcessResult weak = zelv(rig, "weak", {"-H", blink}, {"weak-flash:0x1C004"});
        const test::ProcessResult sound = zelv(rig, "sound", {"-H", blink});
        const test::ProcessResult checked = zelv(rig, "checked", {"-v", "-H", blink});
        // Unchecked, the failed byte goes unnoticed: that is what -v is for.
        EXPECT_EQ(weak.status, 0) << weak.err;
        EXPECT_EQ(weak.out, sound.out);
        EXPECT_EQ(exchange(dir.file("weak.trace")), exchange(dir.file("sound.trace")));
        ASSERT_EQ(checked.status, 0) << checked.err;
        EXPECT_EQ(checked.out, sound.out + verified(16384));

        // -v only adds the read back after the last block; everything before is the same.
        const std::vector<std::string> plain = exchange(dir.file("sound.trace"));
        const std::vector<std::string> verifying = exchange(dir.file("checked.trace"));
        ASSERT_GT(verifying.size(), plain.size());
        EXPECT_EQ(std::vector<std::string>(verifying.begin(),
                                           verifying.begin() + static_cast<long>(plain.size())),
                  plain);
    }
}

}  // namespace
}  // namespace zelv::e2e
