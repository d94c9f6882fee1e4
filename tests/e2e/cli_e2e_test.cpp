// The command line of the real executable: exit statuses and the streams things go to.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

TEST(CommandLine, UsageGoesToStandardErrorWithTheRightStatus) {
    const test::ProcessResult bare = run_zelvanor({});
    EXPECT_EQ(bare.status, 1);
    EXPECT_EQ(bare.out, "");
    EXPECT_EQ(bare.err.rfind("zelvanor: Freescale S12 MCU memory loader V1.4.1\n\nUsage: "
                             "zelvanor [options]\n",
                             0),
              0U);

    const test::ProcessResult help = run_zelvanor({"-q", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, "");
    EXPECT_EQ(help.err, bare.err);
}

TEST(CommandLine, EveryInterfaceNameReachesItsEntry) {
    test::TempDir dir;
    test::write_file(dir.file("board.dat"),
                     "info board\nmcu MC9S12DG128\nfamily HCS12\nram_size 0x2000\n"
                     "eeprom_module EETS2K\nflash_module FTS128K\n");
    // tbdml reaches the USB pod: the banner and target lines, then the USB layer has its say
    // (which, depends on the host: no library, or no pod on its busses).
    const test::ProcessResult tbdml =
        run_zelvanor({"-i", "tbdml", "-t", dir.file("board.dat"), "-E"});
    EXPECT_EQ(tbdml.status, 1);
    EXPECT_EQ(tbdml.out.rfind("zelvanor: Freescale S12 MCU memory loader V1.4.1\n\n"
                              "target info <board>\ntarget mcu <MC9S12DG128> family <HCS12>\n",
                              0),
              0U)
        << tbdml.out;
    EXPECT_EQ(tbdml.err.find("interface not available"), std::string::npos) << tbdml.err;
    EXPECT_TRUE(tbdml.err.find("USB") != std::string::npos ||
                tbdml.err.find("usb library") != std::string::npos)
        << tbdml.err;
    // The podex names reach the BDM12POD entry, which asks for its settings.
    const test::ProcessResult r = run_zelvanor({"-i", "podex", "-t", dir.file("board.dat"), "-E"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: oscillator frequency not specified (-o option required)\n");
}

// Every refusal of the command line says what was wrong, with the text as given, before
// anything is opened.
TEST(CommandLine, RefusedValuesAreNamed) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"-o", "0"}, "invalid oscillator frequency: 0\n"},
        {{"-o", ""}, "invalid oscillator frequency: \n"},
        {{"-o", "k"}, "invalid oscillator frequency: k\n"},
        {{"-o", "M"}, "invalid oscillator frequency: M\n"},
        {{"-o", "0MHz"}, "invalid oscillator frequency: 0MHz\n"},
        {{"-b", "-1"}, "invalid baud rate: -1\n"},
        {{"-D", "1KB"}, "invalid EEPROM protection area: 1KB\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-i", "sm", "-t", "no-such-board", "-E"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = run_zelvanor(args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message);
    }
}

TEST(CommandLine, UnknownOptionIsWordedByTheParser) {
    const test::ProcessResult r = run_zelvanor({"--srecord-sizes=4", "-i", "sm", "-t", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unrecognized option"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace zelv::e2e
