// Security, reset and RAM run over the BDM12POD end to end, and one whole programming
// session in a single command line, by both methods.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bdm_session.h"

namespace zelv::e2e {
namespace {

const std::vector<std::string> kMethods = {"bdm", "agent"};

class BdmSecurity : public BdmSession {};

TEST_F(BdmSecurity, SecureThenUnsecure) {
    for (const char* part : {"dp256", "xdp512", "c32"}) {
        SCOPED_TRACE(part);
        fresh(part);
        const BdmPart& p = kBdmParts.at(part);
        const uint32_t top = p.ppage_base + p.ppage_count - 1;
        // A blank part: secured as its security byte says, but open to the BDM.
        test::ProcessResult r = zelv(part, {"-S"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.substr(r.out.size() - 21), "\nsecure: MCU secured\n");
        EXPECT_EQ(flash(part)[flash_offset(part, top, 0xFF0E)], 0xFF);
        EXPECT_EQ(flash(part)[flash_offset(part, top, 0xFF0F)], 0xFD);

        r = zelv(part, {"-q", "-S"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "secure: MCU already secured (-f option forces securing procedure)\n");
        r = zelv(part,
                 {"-q", "-X", srec("app.s19", s_record('1', 0x3800, {1}) + s_record('9', 0x3800))});
        // The program did not run: the run fails.
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "\nerror: RAM run: MCU secured (-f option forces loading and running the "
                  "program)\n");

        r = zelv(part, {"-U"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string erased = p.eeprom_window != 0 ? "unsecure: EEPROM erased\n" : "";
        EXPECT_NE(r.out.find("\n\n" + erased + "unsecure: FLASH erased, time <"), std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - 24), "unsecure: MCU unsecured\n");
        const std::vector<uint8_t> memory = flash(part);
        EXPECT_EQ(memory[flash_offset(part, top, 0xFF0F)], 0x7E);
        EXPECT_EQ(programmed(memory), 1U) << "everything else erased";

        r = zelv(part, {"-q", "-U"});
        EXPECT_EQ(r.out, "unsecure: MCU not secured (-f option forces unsecuring procedure)\n");
        r = zelv(part, {"-q", "-f", "-U"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "") << "the reconnects print nothing";
        EXPECT_EQ(flash(part), memory);
    }
}

TEST_F(BdmSecurity, SecurityWordIsProgrammedInBlock0) {
    // The last FLASH write leaves FCNFG on block 3; -S must select block 0, where the
    // security word lies, or the part refuses the word.
    fresh("dp256");
    const std::string low = srec("low.s19", s_record('2', 0x308000, {1, 2, 3, 4}));
    const test::ProcessResult r = zelv("dp256", {"-a", "banked-ppage", "-H", low, "-S"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(flash("dp256")[flash_offset("dp256", 0x3F, 0xFF0F)], 0xFD);
    EXPECT_EQ(flash("dp256")[0], 0x01);
}

TEST_F(BdmSecurity, Hc12HasNoSecurity) {
    for (const char* option : {"-S", "-U"}) {
        const test::ProcessResult r =
            run_with_sim({"--part", "b32", "--pod", "bdm12pod"},
                         {"-i", "bdm12pod", "-p", "@PORT@", "-o", "8M", "-q", "-t",
                          data_file("mc68hc912b32.dat"), option});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string(option) == "-S"
                             ? "\nerror: securing procedure not available for this family\n"
                             : "\nerror: unsecuring procedure not available for this MCU family\n");
    }
}

TEST_F(BdmSecurity, RamRunLoadsAndStarts) {
    fresh("dp256");
    std::vector<uint8_t> program(300);
    for (size_t i = 0; i < program.size(); ++i) {
        program[i] = static_cast<uint8_t>(i * 3);
    }
    std::string text;
    for (size_t at = 0; at < program.size(); at += 100) {
        text += s_record('1', static_cast<uint32_t>(0x2000 + at),
                         std::vector<uint8_t>(program.begin() + static_cast<long>(at),
                                              program.begin() + static_cast<long>(at + 100)));
    }
    const std::string app = srec("app.s19", text + s_record('9', 0x2010));
    test::ProcessResult r = zelv("dp256", {"-X", app});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        r.out.find("RAM load: address range <0x2000-0x212B> length <0x012C> entry "
                   "<0x2010>\nRAM load: data [##################################################]\n"
                   "RAM run: image loaded and started from adrress <0x2010>\n"),
        std::string::npos)
        << r.out;
    // RAM from 0x1000 on, as the description's init byte placed it.
    const std::vector<uint8_t> memory = ram("dp256");
    EXPECT_EQ(std::vector<uint8_t>(memory.begin() + 0x1000, memory.begin() + 0x1000 + 300),
              program);

    // -j names the start of a program without an entry.
    const std::string bare = srec("bare.s19", text);
    r = zelv("dp256", {"-q", "-X", bare});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: entry address not specified\n");
    r = zelv("dp256", {"-j", "0x2004", "-X", bare});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("started from adrress <0x2004>"), std::string::npos);

    // One byte beyond RAM: refused by the reader, nothing written.
    const std::string beyond =
        srec("beyond.s19", s_record('1', 0x3FFF, {0xAA, 0xBB}) + s_record('9', 0x3FFF));
    const std::vector<uint8_t> before = ram("dp256");
    r = zelv("dp256", {"-q", "-X", beyond});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("out of range"), std::string::npos) << r.err;
    EXPECT_EQ(ram("dp256"), before);
}

TEST_F(BdmSecurity, TheReadmeSessionsRun) {
    // The README's two sessions against the virtual target, from the top of the source tree.
    const std::string board = dir.file("board.sim");
    const std::string back = dir.file("flash.s19");
    const std::vector<std::vector<std::string>> sessions = {
        {"-t", "data/mc9s12dp256.dat", "-U", "-v", "-E", "-H", "examples/blink.s19", "-S", "-R"},
        {"-t", "examples/dp256-bdm-agent.dat", "-v", "-U", "-F", "-H", "examples/blink.s19", "-G",
         back},
    };
    for (const std::vector<std::string>& session : sessions) {
        std::vector<std::string> argv = {
            ZELV_SIM_BINARY, "--part",  "dp256",  "--pod", "bdm12pod",  "--osc",
            "16M",           "--state", board,    "--",    ZELV_BINARY, "-i",
            "bdm12pod",      "-p",      "@PORT@", "-o",    "16M"};
        argv.insert(argv.end(), session.begin(), session.end());
        const test::ProcessResult r = test::run_process(argv, {}, ZELV_SOURCE_DIR);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    const std::string text = test::read_file(back);
    EXPECT_NE(text.find("S113C000CF4000180BFF0003790001710001CEFF3F"), std::string::npos) << text;
}

class BdmWholeSession : public BdmSession {};

TEST_F(BdmWholeSession, UnsecureEraseWriteReadProtectSecureReset) {
    ZELV_REQUIRE_TOOL("srec_cmp");
    for (const std::string& method : kMethods) {
        SCOPED_TRACE(method);
        fresh("dp256");
        // A board that left the factory programmed and secured.
        const std::string old = srec("old.s19", s_record('1', 0xC000, {0xDE, 0xAD}));
        ASSERT_EQ(zelv("dp256", {"-q", "-H", old, "-S"}).status, 0);

        std::string app_text;
        for (uint32_t address = 0xC000; address < 0xC400; address += 32) {
            std::vector<uint8_t> data(32);
            for (size_t i = 0; i < data.size(); ++i) {
                data[i] = static_cast<uint8_t>((address + i) % 251);
            }
            app_text += s_record('1', address, data);
        }
        app_text += s_record('1', 0xFFFE, {0xC0, 0x00}) + s_record('9', 0xC000);
        const std::string app = srec("app.s19", app_text);
        const std::string ee = srec("ee.s19", s_record('1', 0x4100, {0x11, 0x22, 0x33}));
        const std::string back = dir.file("back.s19");
        const test::ProcessResult r = zelv(
            "dp256", {"-v", "-U", "-E", "-H", app, "-G", back, "-C", ee, "-D", "256B", "-S", "-R"},
            method_keys(method));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        for (const char* line :
             {"unsecure: MCU unsecured\n", "FLASH erase: verify ok\n", "FLASH read: data file <",
              "EEPROM write: verify ok\n", "EEPROM protect: verify ok\n",
              "secure: MCU secured\nreset: normal mode\n"}) {
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
        }
        EXPECT_EQ(test::run_process({"srec_cmp", app, "-fill", "0xFF", "0x4000", "0x10000", back,
                                     "-fill", "0xFF", "0x4000", "0x10000"})
                      .status,
                  0)
            << "the read-back FLASH image is the file";

        // The part as the session left it: the application, the security byte secured, the
        // EEPROM data and its protection byte, nothing else.
        const std::vector<uint8_t> memory = flash("dp256");
        EXPECT_EQ(memory[flash_offset("dp256", 0x3F, 0xC000)], 0xC000 % 251);
        EXPECT_EQ(memory[flash_offset("dp256", 0x3F, 0xFF0F)], 0xFD);
        EXPECT_EQ(programmed(memory), 0x400U + 2 + 1) << "application, vector, security byte";
        const std::vector<uint8_t> eeprom_bytes = eeprom("dp256");
        EXPECT_EQ(eeprom_bytes[eeprom_offset("dp256", 0x4100)], 0x11);
        EXPECT_EQ(eeprom_bytes[eeprom_offset("dp256", 0x4FFD)], 0xF3);
        EXPECT_EQ(programmed(eeprom_bytes), 4U);

        // The next connect finds it secured and protected.
        const test::ProcessResult next = zelv("dp256", {}, method_keys(method));
        ASSERT_EQ(next.status, 0) << next.err;
        EXPECT_NE(next.out.find("S12 part security <secured>"), std::string::npos);
        EXPECT_NE(next.out.find("S12 EEPROM protection all <off> address range "
                                "<0x4F00-0x4FFF 256B>"),
                  std::string::npos)
            << next.out;
    }
}

}  // namespace
}  // namespace zelv::e2e
