// The RAM agent protocol end to end against the virtual target's agent: the method keys, the
// agent's load once per connection, its refusals, statuses and time-out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bdm_session.h"

namespace zelv::e2e {
namespace {

class BdmAgent : public BdmSession {};

TEST_F(BdmAgent, LoadedOncePerConnection) {
    fresh("dp256");
    const std::string app = srec("app.s19", s_record('1', 0xC000, {1, 2, 3, 4}));
    const test::ProcessResult r =
        zelv("dp256", {"-d", "-F", "-H", app, "-G", dir.file("back.s19"), "-f", "-U", "-E"},
             method_keys("agent"));
    ASSERT_EQ(r.status, 0) << r.err;
    // -F, -H and -G share one load; -U reconnects (a reset), so -E loads it again.
    const std::string load = "RAM load: agent file <" + kBdmAgent +
                             ">\nRAM load: address range <0x3800-0x381F> length <0x0020> "
                             "entry <0x3810>\n";
    const size_t first = r.out.find(load);
    ASSERT_NE(first, std::string::npos) << r.out;
    const size_t second = r.out.find(load, first + 1);
    ASSERT_NE(second, std::string::npos) << r.out;
    EXPECT_LT(r.out.find("FLASH read: data file"), second);
    EXPECT_LT(r.out.find("unsecure: MCU unsecured"), second);
    EXPECT_EQ(r.out.find(load, second + 1), std::string::npos);
    EXPECT_NE(r.out.find("RAM agent data buffer address <0x3900> length <0x0200>\n"),
              std::string::npos);
    EXPECT_EQ(srec_bytes(dir.file("back.s19")).at(0xC000), 0x01);
    // The agent stays in RAM, as a real one would.
    const std::vector<uint8_t> memory = ram("dp256");
    EXPECT_EQ(memory[0x3811 - 0x1000], 'Z');

    // The agent is named in the data directory when its name alone is given and it is not
    // readable from here.
    const test::ProcessResult named =
        zelv("dp256", {"-q", "-G", dir.file("back.s19")},
             "bdm_agent zelvanor-sim-bdm-agent.s19\nbdm_flash_read agent\n");
    EXPECT_EQ(named.status, 1);
    EXPECT_NE(named.err.find("/usr/local/share/zelvanor/zelvanor-sim-bdm-agent.s19"),
              std::string::npos)
        << named.err;
}

TEST_F(BdmAgent, RefusalsBeforeAnyTransfer) {
    const std::string bare = srec("bare-agent.s19", test::read_file(kBdmAgent).substr(
                                                        0, test::read_file(kBdmAgent).rfind("S9")));
    struct Case {
        const char* name;
        std::string extra;
        std::vector<std::string> faults;
        const char* message;
    };
    const Case cases[] = {
        {"no agent key",
         "bdm_flash_write agent\n",
         {},
         "target RAM agent not available, cannot proceed"},
        {"letter case", "bdm_flash_write Agent\n", {}, "invalid bdm_flash_write method: Agent"},
        {"no entry",
         "bdm_agent " + bare + "\nbdm_flash_write agent\n",
         {},
         "entry address not specified"},
        {"odd buffer",
         method_keys("agent"),
         {"agent-buffer:0x3901:0x200"},
         "invalid RAM agent buffer address: 0x3901"},
        {"buffer beyond RAM",
         method_keys("agent"),
         {"agent-buffer:0x3F00:0x200"},
         "invalid RAM agent buffer address: 0x3F00"},
        {"buffer above a sector",
         method_keys("agent"),
         {"agent-buffer:0x3000:0x400"},
         "invalid RAM agent buffer size: 1024"},
        {"buffer not dividing a page",
         method_keys("agent"),
         {"agent-buffer:0x3900:0x30"},
         "invalid RAM agent buffer size: 48"},
        {"odd buffer size",
         method_keys("agent"),
         {"agent-buffer:0x3900:0x21"},
         "invalid RAM agent buffer size: 33"},
    };
    const std::string app = srec("app.s19", s_record('1', 0xC000, {1, 2, 3, 4}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh("dp256");
        const test::ProcessResult r = zelv("dp256", {"-q", "-H", app}, c.extra, c.faults);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nerror: ") + c.message + "\n");
        EXPECT_EQ(programmed(flash("dp256")), 0U) << "nothing programmed";
    }
}

TEST_F(BdmAgent, StatusesAndTimeOut) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> faults;
        const char* message;
    };
    const std::string app = srec("app.s19", s_record('1', 0xC000, {1, 2, 3, 4}));
    const std::string ee = srec("ee.s19", s_record('1', 0x4100, {1, 2}));
    const Case cases[] = {
        {{"-E"}, {"agent-status:1:0"}, "unable to proceed - oscillator frequency invalid"},
        {{"-E"}, {"agent-status:2:7"}, "unable to proceed - command not supported"},
        {{"-H", app}, {"agent-status:0x44:11"}, "unable to proceed - unknown response (status 0x44)"},
        {{"-v", "-E"}, {"agent-status:0x55:8"}, "FLASH erase verify failed - unknown response (status 0x55)"},
        {{"-v", "-E"}, {"agent-status:3:8"}, "FLASH erase verify failed - memory not clear"},
        {{"-v", "-A"}, {"agent-status:3:2"}, "EEPROM erase verify failed - memory not clear"},
        {{"-v", "-A"}, {"agent-status:9:2"}, "EEPROM erase verify failed - unknown response (status 0x09)"},
        // The module's own refusal, as the agent reports it.
        {{"-H", app}, {"flash-pviol:0x20"}, "FLASH protection violation (PVIOL bit set)"},
        {{"-C", ee}, {"agent-hang:5"}, "BDM active wait timed out"},  // waits its 5 s
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults[0]);
        fresh("dp256");
        const test::ProcessResult r = zelv("dp256", c.args, method_keys("agent"), c.faults);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nerror: ") + c.message + "\n");
    }
    // The not clear block is reported after every block was checked.
    fresh("dp256");
    const test::ProcessResult r =
        zelv("dp256", {"-v", "-E"}, method_keys("agent"), {"agent-status:3:8,after=1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("FLASH erase: block #0 verified\nFLASH erase: block #1 verified\n"
                         "FLASH erase: block #2 verified\nFLASH erase: block #3 verified\n"),
              std::string::npos)
        << r.out;

    // An oscillator whose kHz do not fit the parameter's 16 bits is refused before the agent
    // is loaded, never handed to it cut.
    const test::ProcessResult wrapped =
        run_with_sim({"--part", "dp256", "--pod", "bdm12pod", "--state", state("dp256")},
                     {"-q", "-i", "bdm12pod", "-p", "@PORT@", "-o", "65536000", "-t",
                      dir.file("dp256-board.dat"), "-E"});
    EXPECT_EQ(wrapped.status, 1);
    EXPECT_EQ(wrapped.err, "\nerror: invalid oscillator frequency for target programming\n");
}

}  // namespace
}  // namespace zelv::e2e
