// -v on a FLASH write, end to end: the write is read back through the interface and a
// word that did not program (the virtual target's weak-flash fault) fails the run with its
// address in the file's own address format; without -v the run and its line traffic stay
// exactly as they were. --verify-flash and --verify-eeprom compare through the same
// read-back without writing, on every interface.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

const std::string kSource = ZELV_SOURCE_DIR;

// One interface against one virtual part: the simulator options it needs besides part,
// state, faults and trace, zelvanor's connection options (which may need a file in the
// scratch folder), and the example program it writes (code and its vector, if it has one,
// in the last page).
struct Rig {
    const char* name;
    const char* part;
    std::vector<std::string> sim;
    std::vector<std::string> (*connection)(const test::TempDir& dir);
    std::string program;
};

std::vector<std::string> sm_connection(const test::TempDir&) {
    return {"-i", "sm", "-p", "@PORT@", "-t", data_file("mc9s12dg128.dat")};
}

// The shipped description with the LRAE keys, the agent named by its full path.
std::vector<std::string> lrae_connection(const test::TempDir& dir) {
    const std::string path = dir.file("dg128-lrae.dat");
    test::write_file(path, "lrae_size 0x800\nlrae_agent " + kSource +
                               "/sim/native/zelvanor-sim-lrae-agent.s19\n" +
                               test::read_file(data_file("mc9s12dg128.dat")));
    return {"-i", "lrae", "-p", "@PORT@", "-o", "16M", "-t", path};
}

// The BDM12 POD, by registers or by the virtual target's RAM agent (the shipped description
// with the agent and the FLASH method keys).
std::vector<std::string> bdm_connection(const test::TempDir&) {
    return {"-i", "bdm12pod", "-p", "@PORT@", "-o", "16M", "-t", data_file("mc9s12dg128.dat")};
}
std::vector<std::string> bdm_agent_connection(const test::TempDir& dir) {
    const std::string path = dir.file("dg128-agent.dat");
    test::write_file(path, "bdm_agent " + kSource +
                               "/sim/native/zelvanor-sim-bdm-agent.s19\n"
                               "bdm_flash_read agent\nbdm_flash_write agent\n" +
                               test::read_file(data_file("mc9s12dg128.dat")));
    return {"-i", "bdm12pod", "-p", "@PORT@", "-o", "16M", "-t", path};
}

// dg128: pages 0x38-0x3F, linear 0xE0000-0xFFFFF; page 0x3E is also 0x4000-0x7FFF, its
// first 2 KB the LRAE boot loader's where there is one.
const Rig kRigs[] = {
    {"sm", "dg128", {}, sm_connection, kSource + "/examples/blink.s19"},
    {"lrae",
     "dg128",
     {"--boot", "lrae", "--osc", "16M"},
     lrae_connection,
     kSource + "/examples/blink_lrae.s19"},
    {"bdm", "dg128", {"--pod", "bdm12pod"}, bdm_connection, kSource + "/examples/blink.s19"},
    {"bdm-agent",
     "dg128",
     {"--pod", "bdm12pod"},
     bdm_agent_connection,
     kSource + "/examples/blink.s19"},
};

const std::string kBar = "[##################################################]";

// What the lines after the write's own bar must read for a verify of `size` bytes.
std::string verified(unsigned size) {
    return "FLASH write: verify " + kBar + "\nFLASH write: verify size <" + std::to_string(size) +
           " B> time <T> rate <R>\nFLASH write: verify ok\n";
}

// A trace as the exchange it records: consecutive lines of one direction joined, since how
// the bytes of one command are split into reads depends on timing. A BDM RAM agent takes
// wall-clock time, so how often the host reads BDMSTS (READ_BD_BYTE 0xFF01: E4 FF 01, two
// bytes back) before the agent is back in background mode varies: those reads are left out.
std::vector<std::string> exchange(const std::string& path) {
    std::vector<std::string> lines;
    for (const std::string& line : test::split_lines(test::read_file(path))) {
        if (!lines.empty() && lines.back().compare(0, 2, line, 0, 2) == 0) {
            lines.back() += line.substr(2);
        } else {
            lines.push_back(line);
        }
    }
    static const std::string poll = " E4 FF 01";
    std::vector<std::string> turns;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string turn = lines[i];
        const bool polled = turn.rfind("->", 0) == 0 && turn.size() >= poll.size() &&
                            turn.compare(turn.size() - poll.size(), poll.size(), poll) == 0 &&
                            i + 1 < lines.size() && lines[i + 1].size() == 8;
        if (polled) {
            turn.erase(turn.size() - poll.size());
            ++i;  // its reply
        }
        if (turn == "->") {
            continue;
        }
        if (!turns.empty() && turns.back().compare(0, 2, turn, 0, 2) == 0) {
            turns.back() += turn.substr(2);
        } else {
            turns.push_back(turn);
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
        const std::string name = std::string(rig.name) + "-" + run;
        std::vector<std::string> sim = {
            "--part", rig.part, "--state", dir.file(name + ".state"), "--trace", trace(rig, run)};
        sim.insert(sim.end(), rig.sim.begin(), rig.sim.end());
        for (const std::string& fault : faults) {
            sim.insert(sim.end(), {"--fault", fault});
        }
        std::vector<std::string> full = rig.connection(dir);
        full.insert(full.end(), args.begin(), args.end());
        test::ProcessResult r = run_with_sim(sim, full);
        static const std::regex port("/dev/pts/[0-9]+");
        r.out = std::regex_replace(without_times(r.out), port, "PORT");
        return r;
    }

    std::string trace(const Rig& rig, const std::string& run) const {
        return dir.file(std::string(rig.name) + "-" + run + ".trace");
    }

    // The lines that follow the write's summary.
    static std::string after_write(const std::string& out) {
        const std::size_t summary = out.find("FLASH write: image size <");
        return summary == std::string::npos ? "" : out.substr(out.find('\n', summary) + 1);
    }

    std::string srec(const std::string& name, const std::string& lines) {
        const std::string path = dir.file(name);
        test::write_file(path, lines);
        return path;
    }

    test::TempDir dir;
};

TEST_F(FlashVerify, CleanWritesAreReadBackAndPass) {
    for (const Rig& rig : kRigs) {
        SCOPED_TRACE(rig.name);
        // One page. On sm the reset vector of blink.s19 is read back from the monitor's
        // table below itself, where the monitor programmed it.
        test::ProcessResult r = zelv(rig, "blink", {"-v", "-H", rig.program});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(after_write(r.out), verified(16384)) << r.out;

        const std::string two_pages =
            srec("two.s19", s_record('2', 0xE0000, {1, 2, 3, 4}) +
                                s_record('2', 0xF9100, {5, 6, 7, 8}) + s_record('8', 0));
        r = zelv(rig, "two", {"-v", "-a", "banked-linear", "-H", two_pages});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(after_write(r.out), verified(32768)) << r.out;
    }
}

TEST_F(FlashVerify, SilentlyFailedByteIsNamedInTheFilesFormat) {
    struct Case {
        const char* format;
        char record;
        uint32_t address;  // of the first data byte, page 0x3E offset 0x1100
        const char* failed;
    };
    const Case cases[] = {
        {"non-banked", '1', 0x5100, "0x5103"},
        {"banked-linear", '2', 0xF9100, "0xF9103"},
        {"banked-ppage", '2', 0x3E9100, "0x3E9103"},
    };
    for (const Rig& rig : kRigs) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(rig.name) + " " + c.format);
            const std::string file = srec(
                std::string(c.format) + ".s19",
                s_record(c.record, c.address, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}) +
                    s_record(c.record == '1' ? '9' : '8', 0));
            const std::string back = dir.file(std::string(rig.name) + c.format + "-back.s19");
            // Page 0x3E starts at storage offset 6 * 0x4000.
            const test::ProcessResult r =
                zelv(rig, c.format, {"-v", "-a", c.format, "-H", file, "-G", back},
                     {"weak-flash:0x19103"});
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
        // 0xC004 holds 0x0B in both programs.
        const test::ProcessResult weak =
            zelv(rig, "weak", {"-H", rig.program}, {"weak-flash:0x1C004"});
        const test::ProcessResult sound = zelv(rig, "sound", {"-H", rig.program});
        const test::ProcessResult checked = zelv(rig, "checked", {"-v", "-H", rig.program});
        // Unchecked, the failed byte goes unnoticed: that is what -v is for.
        EXPECT_EQ(weak.status, 0) << weak.err;
        EXPECT_EQ(weak.out, sound.out);
        EXPECT_EQ(exchange(trace(rig, "weak")), exchange(trace(rig, "sound")));
        ASSERT_EQ(checked.status, 0) << checked.err;
        EXPECT_EQ(checked.out, sound.out + verified(16384));

        // -v only adds the read back after the last block; everything before is the same.
        const std::vector<std::string> plain = exchange(trace(rig, "sound"));
        const std::vector<std::string> verifying = exchange(trace(rig, "checked"));
        ASSERT_GT(verifying.size(), plain.size());
        EXPECT_EQ(std::vector<std::string>(verifying.begin(),
                                           verifying.begin() + static_cast<long>(plain.size())),
                  plain);
    }
}

std::vector<std::string> tbdml_connection(const test::TempDir&) {
    return {"-i", "tbdml", "-t", data_file("mc9s12dg128.dat")};
}

TEST_F(FlashVerify, VerifyOnlyPassesOnAProgrammedBoardAndFailsOnOneByte) {
    const Rig tbdml = {"tbdml", "dg128", {"--pod", "tbdml"}, tbdml_connection, ""};
    std::vector<Rig> rigs(std::begin(kRigs), std::end(kRigs));
    rigs.push_back(tbdml);
    // Page 0x3E offset 0x1100 (storage 0x19100); EEPROM at 0x0800 (INITEE 0x09).
    const std::string flash =
        srec("vf.s19", s_record('1', 0x5100, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}) +
                           s_record('9', 0));
    const std::string eeprom = srec("ve.s19", s_record('1', 0x0900, {1, 2, 3, 4}));
    const std::string other = srec("ve-other.s19", s_record('1', 0x0900, {1, 2, 3, 5}));
    for (const Rig& rig : rigs) {
        SCOPED_TRACE(rig.name);
        const bool has_eeprom = std::string(rig.name) != "lrae";
        std::vector<std::string> args = {"-H", flash, "--verify-flash", flash};
        if (has_eeprom) {
            args.insert(args.end(), {"-C", eeprom, "--verify-eeprom", eeprom});
        }
        test::ProcessResult r = zelv(rig, "only", args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("FLASH verify: ok\n"), std::string::npos) << r.out;
        EXPECT_EQ(has_eeprom, r.out.find("EEPROM verify: verify ok\n") != std::string::npos)
            << r.out;

        // The byte that did not program, found without -v; the run stops there.
        r = zelv(rig, "only-weak", {"-H", flash, "--verify-flash", flash, "-G", dir.file("no.s19")},
                 {"weak-flash:0x19103"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "\nerror: FLASH data verify error at address <0x5103> value <0xFF> expected "
                  "<0x44>\n");
        EXPECT_FALSE(test::file_exists(dir.file("no.s19")));

        // One EEPROM byte that differs from the file; lrae cannot read the EEPROM, and a
        // comparison that cannot look must not pass.
        r = zelv(rig, "only-ee",
                 has_eeprom ? std::vector<std::string>{"-C", eeprom, "--verify-eeprom", other}
                            : std::vector<std::string>{"--verify-eeprom", other});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, has_eeprom ? "\nerror: EEPROM data verify error at address <0x0902> "
                                      "value <0x0304> expected <0x0305>\n"
                                    : "\nerror: EEPROM verify: operation not supported\n");
    }
}

}  // namespace
}  // namespace zelv::e2e
