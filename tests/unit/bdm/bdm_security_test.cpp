// Securing and unsecuring over BDM against a fake pod: the order of erases, reconnects and
// the security word, block 0 selected for it, and what is skipped or refused.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bdm/bdm_operations.h"
#include "bdm_engine_fixture.h"

namespace zelv::test {
namespace {

class SecurityTest : public BdmEngineTest {
protected:
    void SetUp() override {
        BdmEngineTest::SetUp();
        // What a connect reads: a part id, FLASH and EEPROM commands that complete.
        pod.memory()[0x001B] = 0x12;
        pod.memory()[0x0010] = 0x39;
        pod.memory()[0x001C] = 0x04;
        pod.memory()[0x0101] = 0xFE;
        pod.memory()[0x0105] = 0xC0;
        pod.memory()[0x0115] = 0xC0;
        pod.hold(0x0105);
        pod.hold(0x0115);
        pod.set_bdm_status(0xC0);
    }

    // The calls from the first reset on that matter here: resets, writes and reads of FSTAT.
    [[nodiscard]] Lines steps() const {
        Lines result;
        for (const std::string& call : pod.calls()) {
            if (call == "reset_special" || call.rfind("write_word FF0E", 0) == 0 ||
                call == "write_byte 0116 41" || call == "write_byte 0106 41" ||
                call.rfind("write_byte 0103", 0) == 0 || call == "write_byte 0106 20") {
                result.push_back(call);
            }
        }
        return result;
    }
};

TEST_F(SecurityTest, SecureProgramsTheWordInBlock0AndReconnects) {
    use("FTS256K");
    settings().verbose = 1;
    ASSERT_EQ(run([] { return bdm_secure(); }), 0) << err;
    const Lines calls = pod.calls();
    ASSERT_GE(calls.size(), 6U);
    EXPECT_EQ(Lines(calls.begin(), calls.begin() + 6),
              (Lines{"write_byte 0103 00", "write_word FF0E FFFD", "write_byte 0106 20",
                     "write_byte 0105 80", "read_byte 0105", "reset_special"}));
    EXPECT_EQ(out, "secure: MCU secured\n") << "the reconnect prints nothing";

    // One block: nothing to select.
    use("FTS128K1");
    pod.clear_calls();
    ASSERT_EQ(run([] { return bdm_secure(); }), 0) << err;
    EXPECT_EQ(pod.calls().front(), "write_word FF0E FFFD");

    // Already secured: a notice, even with -q.
    settings().verbose = 0;
    target().secured = 1;
    pod.clear_calls();
    ASSERT_EQ(run([] { return bdm_secure(); }), 0);
    EXPECT_EQ(out, "secure: MCU already secured (-f option forces securing procedure)\n");
    EXPECT_TRUE(pod.calls().empty());
}

TEST_F(SecurityTest, UnsecureErasesReconnectsAndProgramsTheWord) {
    use("FTS256K");
    target().unsecured = 0;
    settings().verbose = 1;
    ASSERT_EQ(run([] { return bdm_unsecure(); }), 0) << err;
    // EEPROM, then FLASH mass erase waited on block by block, a reconnect that finds the part
    // blank, the security word in block 0, and the reconnect that reads it.
    const Lines expected = {"write_byte 0116 41",   "write_byte 0103 00", "write_byte 0106 41",
                            "write_byte 0103 00",   "write_byte 0103 01", "write_byte 0103 02",
                            "write_byte 0103 03",   "reset_special",      "write_byte 0103 00",
                            "write_word FF0E FF7E", "write_byte 0106 20", "reset_special"};
    const Lines done = steps();
    EXPECT_EQ(done, expected);
    EXPECT_NE(out.find("unsecure: EEPROM erased\nunsecure: FLASH erased, time <"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.substr(out.size() - 24), "unsecure: MCU unsecured\n");

    // Without EEPROM the EEPROM erase and its line are left out.
    use("FTS256K", "NONE");
    target().unsecured = 0;
    pod.clear_calls();
    ASSERT_EQ(run([] { return bdm_unsecure(); }), 0) << err;
    EXPECT_EQ(out.find("EEPROM"), std::string::npos) << out;
    EXPECT_TRUE(pod.calls_of("write_byte 0116").empty());

    // An unsecured part is left alone unless -f.
    target().unsecured = 1;
    pod.clear_calls();
    ASSERT_EQ(run([] { return bdm_unsecure(); }), 0);
    EXPECT_EQ(out, "unsecure: MCU not secured (-f option forces unsecuring procedure)\n");
    EXPECT_TRUE(pod.calls().empty());
    settings().force = 1;
    ASSERT_EQ(run([] { return bdm_unsecure(); }), 0) << err;
    EXPECT_EQ(pod.calls_of("write_word FF0E FF7E").size(), 1U);
}

TEST_F(SecurityTest, FailuresAndHc12) {
    // HC12: refused before the MCU is touched.
    use("OTHER", "NONE", "flash_size 0x8000\nflash_nb_base 0x8000\nflash_nb_size 0x8000\n", "HC12");
    EXPECT_EQ(run([] { return bdm_secure(); }), EINVAL);
    EXPECT_EQ(err, "\nerror: securing procedure not available for this family\n");
    EXPECT_EQ(run([] { return bdm_unsecure(); }), EINVAL);
    EXPECT_EQ(err, "\nerror: unsecuring procedure not available for this MCU family\n");
    EXPECT_TRUE(pod.calls().empty());

    // The first failing step ends the procedure: here the FLASH erase, so nothing reconnects.
    use("FTS256K");
    target().unsecured = 0;
    pod.memory()[0x0105] = 0xD0;
    EXPECT_EQ(run([] { return bdm_unsecure(); }), EIO);
    EXPECT_EQ(err, "\nerror: FLASH access error (ACCERR bit set)\n");
    EXPECT_TRUE(pod.calls_of("reset_special").empty());
}

}  // namespace
}  // namespace zelv::test
