// The shipped HCS12 BDM agent (data/hcs12-bdm-agent.s19), executing instruction by instruction
// on the virtual MCU's CPU12 core: whole-part programming over both pods, EEPROM, and the
// statuses only a real agent produces from what the modules tell it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bdm_session.h"

namespace zelv::e2e {
namespace {

const std::string kShippedAgent = data_file("hcs12-bdm-agent.s19");

// Every FLASH and EEPROM operation through the shipped agent.
std::string real_agent_keys() {
    const std::string keys = method_keys("agent");
    return "bdm_agent " + kShippedAgent + "\n" + keys.substr(keys.find('\n') + 1);
}

// The instructions the core ran, from the simulator's trace file (0 when it says nothing).
unsigned long long core_instructions(const std::string& trace) {
    const std::string text = test::file_exists(trace) ? test::read_file(trace) : std::string();
    const size_t at = text.rfind("cpu12 core: ");
    return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 12, nullptr, 10);
}

class RealAgent : public BdmSession {
protected:
    // The shipped description with the agent method, the agent keys first (the first wins).
    test::ProcessResult shipped(const std::string& part, const std::vector<std::string>& args,
                                const std::vector<std::string>& faults = {},
                                const std::string& osc = "16M", const std::string& extra = "") {
        const std::string description = dir.file(part + "-agents.dat");
        test::write_file(description,
                         extra + real_agent_keys() + test::read_file(data_file(
                                                 "mc9s12" + part + "-agents.dat")));
        std::vector<std::string> sim = {"--part", part, "--pod", pod, "--state", state(part),
                                        "--trace", dir.file("trace.txt")};
        for (const std::string& fault : faults) {
            sim.insert(sim.end(), {"--fault", fault});
        }
        std::vector<std::string> full = {"-i", pod, "-t", description};
        if (pod == "bdm12pod") {
            full.insert(full.end(), {"-p", "@PORT@", "-o", osc});
        }
        if (bulk) {
            full.push_back("-Y");
        }
        full.insert(full.end(), args.begin(), args.end());
        return run_with_sim(sim, full);
    }

    // The agent's status byte as it left it in its parameter block (0x3801; RAM ends at 0x3FFF).
    uint8_t agent_status(const std::string& part) const {
        const std::vector<uint8_t> memory = ram(part);
        return memory.at(0x3801 - (0x4000 - memory.size()));
    }
};

// 256 KB of varied bytes for every page of the DP256, in banked-ppage records; the FLASH
// configuration field (0xFF00-0xFF0F of the last page) stays erased, so the part stays open.
std::string whole_part_image(std::vector<uint8_t>* image) {
    image->assign(0x40000, 0xFF);
    std::string lines;
    uint32_t seed = 12345;
    for (uint32_t offset = 0; offset < image->size(); offset += 32) {
        std::vector<uint8_t> data(32);
        for (uint8_t& b : data) {
            seed = seed * 1103515245 + 12345;
            b = static_cast<uint8_t>(seed >> 16);
        }
        if (offset >= 0x3FF00 && offset < 0x3FF20) {
            std::fill(data.begin() + 0, data.begin() + 16, 0xFF);
        }
        std::copy(data.begin(), data.end(), image->begin() + offset);
        const uint32_t address = ((0x30 + offset / 0x4000) << 16) | (0x8000 + offset % 0x4000);
        lines += s_record('2', address, data);
    }
    return lines + s_record('8', 0);
}

TEST_F(RealAgent, WholePartOverEveryPod) {
    std::vector<uint8_t> image;
    const std::string app = srec("app.s19", whole_part_image(&image));
    struct Case {
        const char* pod;
        bool bulk;
    };
    for (const Case& c : {Case{"bdm12pod", false}, Case{"tbdml", false}, Case{"tbdml", true}}) {
        SCOPED_TRACE(std::string(c.pod) + (c.bulk ? " -Y" : ""));
        pod = c.pod;
        bulk = c.bulk;
        fresh("dp256");
        std::remove(dir.file("trace.txt").c_str());
        const std::string back = dir.file("back.s19");
        const test::ProcessResult r =
            shipped("dp256", {"-q", "-a", "banked-ppage", "-E", "-v", "-H", app, "-G", back});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(flash("dp256"), image);
        const std::map<uint32_t, uint8_t> read = srec_bytes(back);
        unsigned differ = 0;
        for (uint32_t offset = 0; offset < image.size(); ++offset) {
            const uint32_t address = ((0x30 + offset / 0x4000) << 16) | (0x8000 + offset % 0x4000);
            const auto it = read.find(address);
            differ += (it == read.end() ? 0xFF : it->second) != image[offset] ? 1U : 0U;
        }
        EXPECT_EQ(differ, 0U);
        // The agent ran on the core: a 256 KB session is millions of instructions.
        EXPECT_GT(core_instructions(dir.file("trace.txt")), 1000000ULL);
    }
}

TEST_F(RealAgent, EepromWriteOverDataAndErase) {
    fresh("dp256");
    const std::string first = srec("ee1.s19", s_record('1', 0x4100, {0x00, 0x0F, 0x12, 0x34}) +
                                                  s_record('1', 0x4E00, {0xA5, 0x5A, 0xC3, 0x3C}));
    // Bits set where the first file cleared them: only a sector modify gets there.
    const std::string second = srec("ee2.s19", s_record('1', 0x4100, {0xF0, 0xFF, 0x12, 0x34}));
    // -F leaves the part unsecured, so the next session may use the agent again.
    ASSERT_EQ(shipped("dp256", {"-q", "-F", "-A", "-v", "-C", first}).status, 0);
    const test::ProcessResult r = shipped("dp256", {"-q", "-v", "-C", second});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> ee = eeprom("dp256");
    EXPECT_EQ(std::vector<uint8_t>(ee.begin() + 0x100, ee.begin() + 0x104),
              (std::vector<uint8_t>{0xF0, 0xFF, 0x12, 0x34}));
    EXPECT_EQ(std::vector<uint8_t>(ee.begin() + 0xE00, ee.begin() + 0xE04),
              (std::vector<uint8_t>{0xA5, 0x5A, 0xC3, 0x3C}));
    ASSERT_EQ(shipped("dp256", {"-q", "-A", "-v"}).status, 0);
    ee = eeprom("dp256");
    EXPECT_EQ(ee, std::vector<uint8_t>(ee.size(), 0xFF));
}

TEST_F(RealAgent, FaultsAsTheAgentReportsThem) {
    const std::string app = srec("app.s19", s_record('1', 0xC000, {0x11, 0x22, 0x33, 0x44}));
    const std::string ee = srec("ee.s19", s_record('1', 0x4000, {0xF0, 0xE1, 0xD2, 0xC3}));
    // A high protected area of 2 KB in block 0 (0xF800-0xFFFF), the part left unsecured.
    const std::string protect = srec("protect.s19", s_record('1', 0xFF0C, {0xFF, 0xC7, 0xFF, 0xFE}));
    const std::string top = srec("top.s19", s_record('1', 0xF800, {0x55, 0xAA}));
    struct Case {
        const char* name;
        std::string part;
        std::vector<std::string> prepare;  // a session before, when not empty
        std::vector<std::string> args;
        std::vector<std::string> faults;
        std::string osc;
        std::string extra;  // description lines in front
        const char* message;
        uint8_t status;  // what the agent left in its parameter block
    };
    const Case cases[] = {
        {"weak FLASH byte", "dp256", {}, {"-E", "-H", app}, {"weak-flash:0x3C002"}, "16M", "",
         "FLASH data verify error at address <0xC002> value <0xFF> expected <0x33>", 5},
        {"weak EEPROM byte", "dp256", {}, {"-A", "-C", ee}, {"weak-eeprom:0x3"}, "16M", "",
         "EEPROM data verify error at address <0x4002> value <0xD2FF> expected <0xD2C3>", 5},
        {"protected area", "dp256", {"-E", "-H", protect}, {"-H", top}, {}, "16M", "",
         "FLASH protection violation (PVIOL bit set)", 0x20},
        // The agent takes the oscillator in 16 bits of kHz: one that does not fit is refused
        // before the agent is loaded (cut, it would reach the agent as 0 kHz).
        {"no clock divider", "dp256", {}, {"-E"}, {}, "65536000", "",
         "invalid oscillator frequency for target programming", 0},
        // A description that gives the C32 an EEPROM (placed clear of the registers, where
        // the host lets it be used): the agent finds no module and refuses.
        {"refused command", "c32", {}, {"-A"}, {}, "16M",
         "eeprom_module EETS1K\nbdm_init_byte 0x0012 0x09\n",
         "unable to proceed - command not supported", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh(c.part);
        if (!c.prepare.empty()) {
            std::vector<std::string> args = {"-q"};
            args.insert(args.end(), c.prepare.begin(), c.prepare.end());
            ASSERT_EQ(shipped(c.part, args, {}, c.osc, c.extra).status, 0);
        }
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = shipped(c.part, args, c.faults, c.osc, c.extra);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nerror: ") + c.message + "\n");
        EXPECT_EQ(agent_status(c.part), c.status);
    }
}

}  // namespace
}  // namespace zelv::e2e

namespace zelv::e2e {
namespace {

// The shipped LRAE agent, loaded by the virtual boot loader and running on the core with
// SCI0 as its line: a whole session with and without keeping the boot loader.
TEST(RealLraeAgent, EraseWriteVerifyRead) {
    test::TempDir dir;
    const std::string description = dir.file("c32-agents.dat");
    test::write_file(description, "lrae_agent " + data_file("hcs12-lrae-agent.s19") + "\n" +
                                      test::read_file(data_file("mc9s12c32-agents.dat")));
    std::vector<uint8_t> data(1024);
    std::string lines;
    for (uint32_t i = 0; i < data.size(); i += 32) {
        for (uint32_t k = 0; k < 32; ++k) {
            data[i + k] = static_cast<uint8_t>((i + k) * 7 + (i >> 5));
        }
        lines += s_record('1', 0xC000 + i, std::vector<uint8_t>(data.begin() + i, data.begin() + i + 32));
    }
    const std::string app = dir.file("app.s19");
    test::write_file(app, lines + s_record('9', 0));
    for (const bool keep : {true, false}) {
        SCOPED_TRACE(keep ? "-Z" : "without -Z");
        const std::string state = dir.file(keep ? "keep.state" : "drop.state");
        const std::string trace = dir.file(keep ? "keep.trace" : "drop.trace");
        const std::string back = dir.file("back.s19");
        std::vector<std::string> args = {"-q", "-i",       "lrae",   "-p", "@PORT@", "-o",
                                         "14745600", "-b", "115200", "-t", description};
        if (keep) {
            args.push_back("-Z");
        }
        args.insert(args.end(), {"-E", "-v", "-H", app, "-G", back});
        // 14.7456 MHz: the boot loader's SCI finds 115200 bit/s (divisor 4), three times the
        // host's own choice from -o, so the test spends less time on the line.
        // Without -Z the bulk erase takes the boot loader, which only an unprotected one allows.
        std::vector<std::string> sim = {"--part",  "c32", "--boot",  "lrae", "--osc", "14745600",
                                        "--state", state, "--trace", trace};
        if (!keep) {
            sim.push_back("--unprotected");
        }
        const test::ProcessResult r = run_with_sim(sim, args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<uint8_t> flash = state_section(state, "FLSH");
        ASSERT_EQ(flash.size(), 0x8000U);
        EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x4000, flash.begin() + 0x4400), data);
        // The boot loader (LDS #$4000 at 0x4000) stays only with -Z.
        EXPECT_EQ(flash[0] == 0xCF && flash[1] == 0x40, keep);
        const std::map<uint32_t, uint8_t> read = srec_bytes(back);
        for (uint32_t i = 0; i < data.size(); ++i) {
            ASSERT_EQ(read.count(0xC000 + i), 1U) << i;
            ASSERT_EQ(read.at(0xC000 + i), data[i]) << i;
        }
        EXPECT_GT(core_instructions(trace), 0ULL);
    }
}

}  // namespace
}  // namespace zelv::e2e
