// FLASH over BDM against a fake pod: block and page selection, word programming and FSTAT,
// mass erase and erase verify by registers and by agent, the security word of -F, and the
// refusals that come before any target access.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "bdm/bdm_agent.h"
#include "bdm/bdm_flash_direct.h"
#include "bdm/bdm_operations.h"
#include "bdm_engine_fixture.h"

namespace zelv::test {
namespace {

// The line after a refusal on a secured part.
constexpr const char* kHint =
    "hint: the part is secured, which keeps the BDM out of its memory; -U (or -F before "
    "writing) makes it usable by erasing it\n";

constexpr uint16_t kFstat = 0x0105;

class FlashTest : public BdmEngineTest {
protected:
    // FSTAT as the test sets it, whatever the host writes there.
    void fstat(uint8_t value) {
        pod.hold(kFstat);
        pod.memory()[kFstat] = value;
    }

    // The writes to FCNFG (0103) and PPAGE (0030), in order.
    [[nodiscard]] Lines selections() const {
        Lines result;
        for (const std::string& call : pod.calls()) {
            if (call.rfind("write_byte 0103", 0) == 0 || call.rfind("write_byte 0030", 0) == 0) {
                result.push_back(call);
            }
        }
        return result;
    }
};

TEST_F(FlashTest, DirectReadSelectsEachBlockAndPagePairOnce) {
    use("FTS256K");
    settings().address_format = kBankedLinear;
    const std::string path = dir.file("read.s19");
    ASSERT_EQ(run([&] { return bdm_flash_read(path.c_str()); }), 0) << err;
    const Lines select = selections();
    ASSERT_EQ(select.size(), 32U) << "one FCNFG and one PPAGE per page";
    EXPECT_EQ(Lines(select.begin(), select.begin() + 4),
              (Lines{"write_byte 0103 03", "write_byte 0030 30", "write_byte 0103 03",
                     "write_byte 0030 31"}));
    EXPECT_EQ(Lines(select.end() - 2, select.end()),
              (Lines{"write_byte 0103 00", "write_byte 0030 3F"}));
    EXPECT_EQ(pod.calls_of("read_block 8000 512").size(), 16U);
    EXPECT_EQ(pod.calls_of("read_block BE00 512").size(), 16U);
    EXPECT_TRUE(file_exists(path));
}

TEST_F(FlashTest, NonBankedWindowSelectsTheBlockOfEachPage) {
    // The fixed pages 0x3E and 0x3F lie in block 0 although their offsets are the lowest;
    // a page already in PPAGE still gets its own block.
    use("FTS256K");
    pod.memory()[0x0030] = 0x3E;
    pod.memory()[0x0103] = 0x03;
    ASSERT_EQ(run([&] { return bdm_flash_read(dir.file("read.s19").c_str()); }), 0) << err;
    EXPECT_EQ(selections(),
              (Lines{"write_byte 0103 00", "write_byte 0030 3E", "write_byte 0103 03",
                     "write_byte 0030 30", "write_byte 0103 00", "write_byte 0030 3F"}));
    EXPECT_EQ(pod.calls().front(), "write_byte 0103 00") << "nothing is read first";

    // A failed write leaves the selection unknown, so the next chunk selects again.
    bdm_state().cached_ppage = kSelectionUnknown;
    pod.fail("write_byte 0030", EIO);
    uint8_t buffer[16];
    EXPECT_EQ(run([&] { return bdm_flash_read_chunk(0, buffer, 16); }), EIO);
    EXPECT_EQ(bdm_state().cached_ppage, kSelectionUnknown);
}

TEST_F(FlashTest, DirectWriteProgramsWordByWord) {
    use("FTS256K");
    fstat(0xC0);
    const std::string path =
        file("app.s19", srec_line('1', 0xC000, {1, 2, 3, 4}) + srec_line('9', 0xC000));
    ASSERT_EQ(run([&] { return bdm_flash_write(path.c_str()); }), 0) << err;
    EXPECT_EQ(pod.calls(), (Lines{"write_byte 0103 00", "write_byte 0030 3F",
                                  "write_word 8000 0102", "write_byte 0106 20",
                                  "write_byte 0105 80", "read_byte 0105", "write_word 8002 0304",
                                  "write_byte 0106 20", "write_byte 0105 80", "read_byte 0105"}));
}

TEST_F(FlashTest, FstatOutcomes) {
    struct Case {
        uint8_t status;
        int result;
        const char* message;
    };
    const Case cases[] = {
        {0xC0, 0, ""},
        {0xE0, EIO, "FLASH protection violation (PVIOL bit set)"},
        {0x30, EIO, "FLASH protection violation (PVIOL bit set)"},
        {0x50, EIO, "FLASH access error (ACCERR bit set)"},
        {0x80, ETIMEDOUT, "FLASH operation timed out"},  // waits its second
    };
    use("FTS256K");
    for (const Case& c : cases) {
        fstat(c.status);
        EXPECT_EQ(run([] { return flash_program_word(0x8000, 0x1234); }), c.result);
        EXPECT_EQ(err, c.message[0] != '\0' ? std::string("\nerror: ") + c.message + "\n" : "");
    }
}

TEST_F(FlashTest, MassEraseAndVerifyReachEveryBlock) {
    const Lines launch = {"write_byte 0103 00", "write_byte 0102 10",   "write_byte 0104 FF",
                          "write_byte 0105 30", "write_word 010A 0000", "write_word 0108 0000",
                          "write_byte 0106 41", "write_byte 0105 80",   "write_byte 0102 00"};
    use("FTS256K");
    fstat(0xC4);
    settings().verbose = 1;
    settings().verify = 1;
    ASSERT_EQ(run([] { return bdm_flash_erase(0); }), 0) << err;
    Lines expected = launch;
    for (const char* block : {"00", "01", "02", "03"}) {
        expected.push_back(std::string("write_byte 0103 ") + block);
        expected.push_back("read_byte 0105");
    }
    // The verify: the same launch with 0x05 and without opening FPROT, BLANK per block.
    Lines verify = launch;
    verify.erase(verify.begin() + 2);
    verify[5] = "write_byte 0106 05";
    expected.insert(expected.end(), verify.begin(), verify.end());
    for (const char* block : {"00", "01", "02", "03"}) {
        expected.push_back(std::string("write_byte 0103 ") + block);
        expected.push_back("read_byte 0105");
        expected.push_back("read_byte 0105");
    }
    EXPECT_EQ(pod.calls(), expected);
    EXPECT_NE(out.find("FLASH erase: memory erased, time <"), std::string::npos) << out;
    EXPECT_NE(out.find("FLASH erase: verify ok\n"), std::string::npos) << out;

    // A single block: neither FCNFG nor FTSTMOD is touched.
    use("FTS128K1");
    pod.clear_calls();
    fstat(0xC4);
    ASSERT_EQ(run([] { return bdm_flash_erase(0); }), 0) << err;
    for (const std::string& call : pod.calls()) {
        EXPECT_EQ(call.find("0103"), std::string::npos) << call;
        EXPECT_EQ(call.find("0102"), std::string::npos) << call;
    }

    // Not blank after the erase.
    fstat(0xC0);
    EXPECT_EQ(run([] { return bdm_flash_erase(0); }), EIO);
    EXPECT_EQ(err, "\nerror: FLASH erase verify failed - memory not clear\n");
}

TEST_F(FlashTest, UnsecureFlagProgramsTheSecurityWord) {
    use("FTS256K");
    fstat(0xC0);
    settings().verbose = 1;
    ASSERT_EQ(run([] { return bdm_flash_erase(1); }), 0) << err;
    const Lines calls = pod.calls();
    EXPECT_EQ(Lines(calls.end() - 6, calls.end()),
              (Lines{"write_byte 0103 00", "write_byte 0030 3F", "write_word FF0E FFFE",
                     "write_byte 0106 20", "write_byte 0105 80", "read_byte 0105"}));
    EXPECT_EQ(out.substr(out.size() - 49), "FLASH erase: security byte set to unsecure state\n");
}

TEST_F(FlashTest, AgentEraseAndVerifyPerBlock) {
    use("FTS256K", "EETS4K", agent_keys({"bdm_flash_erase"}));
    agent.install(pod);
    settings().verbose = 1;
    settings().verify = 1;
    agent.status[agent_cmd::kFlashBlockEraseVerify] = 0;
    ASSERT_EQ(run([] { return bdm_flash_erase(1); }), 0) << err;
    EXPECT_EQ(agent.commands,
              (Lines{"00 3E 80 0000 0000", "07 00 3C 0040 0000", "07 01 38 0040 0000",
                     "07 02 34 0040 0000", "07 03 30 0040 0000", "08 00 3C 0040 0000",
                     "08 01 38 0040 0000", "08 02 34 0040 0000", "08 03 30 0040 0000",
                     "0B 00 3F FF0E 0002"}));
    EXPECT_EQ(pod.memory()[0x3900], 0xFF);
    EXPECT_EQ(pod.memory()[0x3901], 0xFE);
    EXPECT_NE(out.find("FLASH erase: block #0 bulk erased\nFLASH erase: block #1 bulk erased\n"
                       "FLASH erase: block #2 bulk erased\nFLASH erase: block #3 bulk erased\n"
                       "FLASH erase: memory erased\nFLASH erase: block #0 verified\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("FLASH erase: verify ok\nFLASH erase: security byte set to unsecure "
                       "state\n"),
              std::string::npos);

    // Block 0 not clear: every block is checked and printed, then the verify fails.
    agent.commands.clear();
    pod.on_go = nullptr;
    agent.install(pod);
    pod.on_go = [inner = pod.on_go](FakePod& p) {
        inner(p);
        if (p.memory()[0x3800] == agent_cmd::kFlashBlockEraseVerify && p.memory()[0x3802] == 0) {
            p.memory()[0x3801] = agent_status::kNotClear;
        }
    };
    EXPECT_EQ(run([] { return bdm_flash_erase(0); }), EIO);
    EXPECT_EQ(err, "\nerror: FLASH erase verify failed - memory not clear\n");
    EXPECT_NE(out.find("FLASH erase: block #3 verified\n"), std::string::npos) << out;
    EXPECT_EQ(agent.commands.size(), 8U) << "loaded once per connection";

    // A status that is neither blank nor not clear ends at once.
    agent.commands.clear();
    agent.status[agent_cmd::kFlashBlockEraseVerify] = 0x55;
    pod.on_go = nullptr;
    agent.install(pod);
    EXPECT_EQ(run([] { return bdm_flash_erase(0); }), EINVAL);
    EXPECT_EQ(err, "\nerror: FLASH erase verify failed - unknown response (status 0x55)\n");
    EXPECT_EQ(agent.commands.size(), 5U);
}

TEST_F(FlashTest, AgentChunksGoThroughTheBuffer) {
    use("FTS32K", "EETS4K", agent_keys({"bdm_flash_read", "bdm_flash_write"}));
    agent.install(pod);
    const std::string path =
        file("app.s19", srec_line('1', 0xC000, {1, 2, 3, 4, 5, 6, 7, 8}) + srec_line('9', 0xC000));
    ASSERT_EQ(run([&] { return bdm_flash_write(path.c_str()); }), 0) << err;
    EXPECT_EQ(agent.commands, (Lines{"00 3E 80 0000 0000", "0B 00 3F 8000 0008"}));
    EXPECT_EQ(pod.calls_of("write_block 3900"), (Lines{"write_block 3900 8"}));

    agent.commands.clear();
    ASSERT_EQ(run([&] { return bdm_flash_read(dir.file("back.s19").c_str()); }), 0) << err;
    ASSERT_EQ(agent.commands.size(), 0x8000U / 0x40);
    EXPECT_EQ(agent.commands.front(), "0A 00 3E 8000 0040");
    EXPECT_EQ(agent.commands[0x100], "0A 00 3F 8000 0040");
    EXPECT_EQ(agent.commands.back(), "0A 00 3F BFC0 0040");
    EXPECT_EQ(pod.calls_of("read_block 3900 64").size(), 0x8000U / 0x40);
}

TEST_F(FlashTest, RefusedBeforeAnyTargetAccess) {
    struct Op {
        const char* what;
        int (*call)();
    };
    const Op ops[] = {
        {"FLASH read", [] { return bdm_flash_read("f.s19"); }},
        {"FLASH write", [] { return bdm_flash_write("f.s19"); }},
        {"FLASH erase", [] { return bdm_flash_erase(0); }},
        {"FLASH erase", [] { return bdm_flash_erase(1); }},
        {"unsecure", [] { return bdm_unsecure(); }},
        {"secure", [] { return bdm_secure(); }},
    };
    struct Module {
        const char* flash;
        const char* extra;
        const char* reason;
    };
    const Module modules[] = {
        {"OTHER", "flash_size 0x8000\nflash_nb_base 0x8000\nflash_nb_size 0x8000\n",
         "unknown FLASH module"},
        {"NONE", "flash_size 0x8000\nflash_nb_base 0x8000\nflash_nb_size 0x8000\n",
         "unknown FLASH module"},
        {"NONE", "", "no FLASH memory"},
    };
    for (const Module& module : modules) {
        for (const Op& op : ops) {
            SCOPED_TRACE(std::string(module.flash) + " " + module.extra + op.what);
            use(module.flash, "EETS4K", module.extra);
            target().unsecured = 0;
            target().secured = 0;
            FakePod fresh;
            EXPECT_EQ(run(op.call), EINVAL);
            EXPECT_EQ(err, std::string("\nerror: ") + op.what + " not possible - " + module.reason +
                               "\n");
            EXPECT_TRUE(fresh.calls().empty());
        }
    }

    // A secured part: reads and writes need -f, erases do not.
    use("FTS256K");
    target().secured = 1;
    EXPECT_EQ(run([] { return bdm_flash_read("f.s19"); }), EIO);
    EXPECT_EQ(err,
              "\nerror: FLASH read not possible - MCU secured (-f option forces the "
              "operation)\n" +
                      std::string(kHint));
    EXPECT_EQ(run([] { return bdm_flash_write("f.s19"); }), EIO);
    EXPECT_EQ(err,
              "\nerror: FLASH write not possible - MCU secured (-f option forces the "
              "operation)\n" +
                      std::string(kHint));
    EXPECT_TRUE(pod.calls().empty());
    fstat(0xC0);
    // The erase connects again; the part then answers as a blank one (UNSEC).
    pod.memory()[0x001B] = 0x12;  // PARTID 0x0012
    pod.set_bdm_status(0xC2);
    EXPECT_EQ(run([] { return bdm_flash_erase(1); }), 0) << err;
    EXPECT_EQ(target().secured, 0) << "the model describes the erased part";
}

}  // namespace
}  // namespace zelv::test
