// A link that cannot fall out of step and failures that name what failed, end to end: a
// stray byte on the line, a slow status reply, a late synchronisation answer, agent and pod
// refusals, and the EEPROM over BDM writing only what its file gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bdm_session.h"

namespace zelv::e2e {
namespace {

class Link : public BdmSession {
protected:
    // A blank part, then one run of the serial monitor's virtual target on its state: the
    // monitor in the top of the FLASH leaves the part unsecured and readable over BDM.
    void board(const std::string& part) {
        fresh(part);
        ASSERT_EQ(run_sm(state(part), part, data_file(kBdmParts.at(part).description), {"-q"}).status,
                  0);
    }
};

// One stray byte, anywhere in a long read, fails the read instead of shifting every reply
// after it into a file that differs from the memory.
TEST_F(Link, AStrayByteFailsTheOperation) {
    const std::string read = dir.file("flash.s19");
    board("dp256");
    test::ProcessResult r = zelv("dp256", {"-q", "-G", read}, "", {"extra-byte:0x5A,after=50"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: unexpected data from the BDM12POD (1 byte)\n");
    EXPECT_FALSE(test::file_exists(read));

    const std::string state = dir.file("sm.state");
    r = run_sm(state, "dp256", data_file("mc9s12dp256.dat"), {"-q", "-G", read},
               {"extra-byte:0x5A,after=3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: unexpected data from the serial monitor (1 byte)\n");
    EXPECT_FALSE(test::file_exists(read));
}

// The EEPROM's status answered later than the wait's deadline, by which time the command has
// completed: the read after the deadline decides.
TEST_F(Link, TheLastStatusReadDecides) {
    fresh("dp256");
    const std::string file = srec("one.s19", s_record('1', 0x4400, {0x11, 0x22}));
    const test::ProcessResult r =
        zelv("dp256", {"-q", "-C", file}, "", {"nvm-busy:1", "slow-read:0x0115:1200"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(eeprom("dp256")[0x400], 0x11);
}

// The boot loader's answer came after the probe's time-out, and it answers the next probe
// too: that second answer must not be taken for the load's acknowledge.
TEST_F(Link, ALateLraeAnswerDoesNotLeakIntoTheLoad) {
    const std::vector<std::string> sim = {"--part",  "dg128", "--boot", "lrae",
                                          "--state", dir.file("lrae.state"),
                                          "--fault", "late-answer:150"};
    const test::ProcessResult r = run_with_sim(
        sim, {"-q", "-i", "lrae", "-p", "@PORT@", "-o", "16M", "-t",
              std::string(ZELV_SOURCE_DIR) + "/examples/dg128-lrae.dat", "-X",
              std::string(ZELV_SOURCE_DIR) + "/examples/blink_ram.s19"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Link, AgentFailuresSayWhatFailed) {
    const std::string image = std::string(ZELV_SOURCE_DIR) + "/examples/blink.s19";
    const std::string ee = srec("ee.s19", s_record('1', 0x4400, {0x11, 0x22}));
    struct Case {
        const char* fault;
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {"agent-status:0x20:11", {"-H", image}, "FLASH protection violation (PVIOL bit set)\n"},
        {"agent-status:0x30:11", {"-H", image}, "FLASH protection violation (PVIOL bit set)\n"},
        {"agent-status:0x10:5", {"-C", ee}, "EEPROM access error (ACCERR bit set)\n"},
        {"agent-status:4:5",
         {"-C", ee},
         "RAM agent refused the parameters: EEPROM write address <0x4400> length <2>\n"},
        {"agent-status:4:11",
         {"-H", image},
         "RAM agent refused the parameters: FLASH write block <0> page <0x3F> address <0x8000> "
         "length <24>\n"},
        {"agent-status:0x41:11", {"-H", image}, "unable to proceed - unknown response (status 0x41)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        fresh("dp256");
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = zelv("dp256", args, method_keys("agent"), {c.fault});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nerror: ") + c.message);
    }
}

TEST_F(Link, PodAndMonitorFailuresSayWhatFailed) {
    // A block read the USB pod refuses, and a refused read right after its reset, which
    // the reset passes over and the connection then names once.
    pod = "tbdml";
    const std::string read = dir.file("flash.s19");
    fresh("dp256");
    test::ProcessResult r = zelv("dp256", {"-q", "-G", read}, "", {"usb-refuse:0x37"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: TBDML refused the command <read block> at address <0x8000>\n");
    r = zelv("dp256", {"-q"}, "", {"usb-empty:0x23"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: device communication failed: unknown response\n");
    // The monitor says only "EEPROM error": its ESTAT says the area is protected. The last
    // 512 bytes are protected by the session before, from its reset on, as on the part.
    const std::string state = dir.file("sm.state");
    const std::string file = srec("ee.s19", s_record('1', 0x4E00, {0x11, 0x22}));
    ASSERT_EQ(
        run_sm(state, "dp256", data_file("mc9s12dp256.dat"), {"-q", "-D", "512B", "-R"}).status,
        0);
    r = run_sm(state, "dp256", data_file("mc9s12dp256.dat"), {"-q", "-C", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nerror: SM EEPROM error\nEEPROM status <0xE0>: protection violation - the "
              "address lies in a protected area (check the protection settings and the file's "
              "addresses)\n");
}

// Two pieces far apart: only their words are programmed and compared, a word already
// programmed in the gap is neither touched nor held against the file.
TEST_F(Link, EepromWriteProgramsOnlyTheFilesWords) {
    for (const std::string method : {"bdm", "agent"}) {
        SCOPED_TRACE(method);
        board("dp256");
        const std::string gap = srec("gap.s19", s_record('1', 0x4500, {0x12, 0x34}));
        ASSERT_EQ(zelv("dp256", {"-q", "-C", gap}).status, 0);
        const std::string sparse = srec(
            "sparse.s19", s_record('1', 0x4401, {0xA1, 0xA2, 0xA3}) +
                              s_record('1', 0x4600, {0xB1, 0xB2, 0xB3, 0xB4}));
        const test::ProcessResult r =
            zelv("dp256", {"-v", "-C", sparse}, method_keys(method));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("EEPROM write: data size <8 B>"), std::string::npos) << r.out;
        const std::vector<uint8_t> memory = eeprom("dp256");
        EXPECT_EQ(memory[0x400], 0xFF) << "the other byte of a word half given";
        EXPECT_EQ(memory[0x401], 0xA1);
        EXPECT_EQ(memory[0x403], 0xA3);
        EXPECT_EQ(memory[0x500], 0x12) << "the gap keeps what it held";
        EXPECT_EQ(memory[0x603], 0xB4);
        EXPECT_EQ(programmed(memory), 9U);
    }
}

}  // namespace
}  // namespace zelv::e2e
