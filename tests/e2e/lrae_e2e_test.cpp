// The lrae interface end to end: the real zelvanor against the virtual target's LRAE boot
// loader and agent, with the virtual memory kept in a state file between runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

struct Part {
    std::string description;
    uint32_t ppage_base;
    uint32_t boot_page;  // the page the CPU sees at 0x4000
    uint32_t blocks;
};

const std::map<std::string, Part> kParts = {{"c32", {"mc9s12c32.dat", 0x3E, 0x3E, 1}},
                                            {"c128", {"mc9s12c128.dat", 0x38, 0x3E, 1}},
                                            {"dg128", {"mc9s12dg128.dat", 0x38, 0x3E, 2}},
                                            {"dp256", {"mc9s12dp256.dat", 0x30, 0x3E, 4}},
                                            {"xdp512", {"mc9s12xdp512.dat", 0xE0, 0xFD, 4}}};

const std::string kAgent = std::string(ZELV_SOURCE_DIR) + "/sim/native/zelvanor-sim-lrae-agent.s19";
const std::string kBar = "[##################################################]";

class LraeSession : public testing::Test {
protected:
    // The part's shipped description with the LRAE keys; extra lines go first, so they win.
    std::string description(const std::string& part, const std::string& extra = "") {
        const std::string path = dir.file(part + "-lrae.dat");
        test::write_file(path, extra + "lrae_size 0x800\nlrae_agent " + kAgent + "\n" +
                                   test::read_file(data_file(kParts.at(part).description)));
        return path;
    }

    // zelvanor -i lrae -p @PORT@ -o <osc> -t <description> args..., against the part with
    // the boot loader and this oscillator.
    test::ProcessResult zelv(const std::string& part, const std::vector<std::string>& args,
                             const std::vector<std::string>& sim_options = {},
                             const std::string& extra = "", const std::string& osc = "16M") {
        // A board whose boot loader came unprotected is another board: its own state.
        const bool open =
            std::find(sim_options.begin(), sim_options.end(), "--unprotected") != sim_options.end();
        std::vector<std::string> sim = {
            "--part", part, "--boot",  "lrae",
            "--osc",  osc,  "--state", open ? state(part) + ".open" : state(part)};
        sim.insert(sim.end(), sim_options.begin(), sim_options.end());
        std::vector<std::string> full = {"-i", "lrae", "-p", "@PORT@",
                                         "-o", osc,    "-t", description(part, extra)};
        full.insert(full.end(), args.begin(), args.end());
        return run_with_sim(sim, full);
    }

    std::string state(const std::string& part) const { return dir.file(part + ".state"); }

    // The part comes fresh, with the boot loader just installed, in the next run.
    void fresh(const std::string& part) {
        std::remove(state(part).c_str());
        std::remove((state(part) + ".open").c_str());
    }

    std::string srec(const std::string& name, const std::string& lines) {
        const std::string path = dir.file(name);
        test::write_file(path, lines);
        return path;
    }

    // Checks that the part's FLASH holds nothing but the boot loader, the security byte
    // written unsecured and the reset vector pointing at the boot loader.
    void expect_only_boot_loader(const std::string& part) {
        const Part& p = kParts.at(part);
        const std::vector<uint8_t> flash = state_section(state(part), "FLSH");
        ASSERT_FALSE(flash.empty());
        const uint32_t boot = (p.boot_page - p.ppage_base) * 0x4000;
        const uint32_t last = static_cast<uint32_t>(flash.size()) - 0x4000;
        EXPECT_EQ(flash[boot], 0xCF) << part;
        EXPECT_EQ(flash[last + 0x3F0F], 0xFE) << part;
        EXPECT_EQ(flash[last + 0x3FFE], 0x40) << part;
        EXPECT_EQ(flash[last + 0x3FFF], 0x00) << part;
        unsigned stray = 0;
        for (uint32_t i = 0; i < flash.size(); ++i) {
            const bool kept = (i >= boot && i < boot + 0x800) || i == last + 0x3F0F ||
                              i == last + 0x3FFE || i == last + 0x3FFF;
            stray += !kept && flash[i] != 0xFF ? 1U : 0U;
        }
        EXPECT_EQ(stray, 0U) << part;
    }

    // Every byte of the part's FLASH erased, but for the security byte 0xFF0F at 0xFE when
    // it was written unsecured.
    bool flash_erased(const std::string& state_file, bool unsecured) {
        const std::vector<uint8_t> flash = state_section(state_file, "FLSH");
        const size_t security = flash.size() - 0x4000 + 0x3F0F;
        for (size_t i = 0; i < flash.size(); ++i) {
            const uint8_t expected = unsecured && i == security ? 0xFE : 0xFF;
            if (flash[i] != expected) {
                return false;
            }
        }
        return !flash.empty();
    }

    test::TempDir dir;
    const std::string blink_ram = std::string(ZELV_SOURCE_DIR) + "/examples/blink_ram.s19";
    const std::string blink_lrae = std::string(ZELV_SOURCE_DIR) + "/examples/blink_lrae.s19";
    const std::string blink = std::string(ZELV_SOURCE_DIR) + "/examples/blink.s19";
};

TEST_F(LraeSession, EraseKeepingTheBootLoaderWriteAndReadBack) {
    const std::string back = dir.file("back.s19");
    test::ProcessResult r = zelv("dg128", {"-v", "-Z", "-E", "-H", blink_lrae, "-G", back});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string port =
        r.out.substr(r.out.find("port <") + 6, r.out.find("> baud") - r.out.find("port <") - 6);
    EXPECT_EQ(without_times(r.out),
              "zelvanor: Freescale S12 MCU memory loader V1.4.1\n\n"
              "target info <MC9S12DG128B, 128 KB FLASH, 8 KB RAM, 2 KB EEPROM>\n"
              "target mcu <MC9S12DG128B> family <HCS12> osc <16.000000 MHz>\n"
              "LRAE selected local baud rate <38400 bps> target <38461 bps> error <0.2%>\n"
              "LRAE serial port <" +
                  port +
                  "> baud rate <38400 bps>\n"
                  "LRAE target synchronized\n"
                  "target info <MC9S12DG128B, 128 KB FLASH, 8 KB RAM, 2 KB EEPROM>\n"
                  "target mcu <MC9S12DG128B> family <HCS12> osc <16.000000 MHz>\n"
                  "target LRAE RAM area <0x2000-0x3FCF> size <0x1FD0>\n"
                  "RAM load: agent file <" +
                  kAgent +
                  ">\n"
                  "RAM load: address range <0x3800-0x381D> length <0x001E> entry <0x3800>\n"
                  "RAM load: data " +
                  kBar +
                  "\n"
                  "FLASH erase: block #0 " +
                  kBar +
                  "\n"
                  "FLASH erase: LRAE retained, reset vector restored\n"
                  "FLASH erase: verify block #0 " +
                  kBar +
                  "\n"
                  "FLASH erase: block #0 verified\n"
                  "FLASH erase: block #1 bulk erased\n"
                  "FLASH erase: block #1 verified\n"
                  "FLASH erase: memory erased\n"
                  "FLASH erase: security byte set to unsecure state\n"
                  "FLASH write: image file <" +
                  blink_lrae +
                  ">\n"
                  "FLASH write: image info <blink_lrae.s19> entry <0xC000>\n"
                  "FLASH write: address range <0xC000-0xC017> size <0x0018>\n"
                  "FLASH write: image " +
                  kBar +
                  "\n"
                  "FLASH write: image size <24 B> time <T> rate <R>\n"
                  "FLASH write: verify " +
                  kBar +
                  "\n"
                  "FLASH write: verify size <16384 B> time <T> rate <R>\n"
                  "FLASH write: verify ok\n"
                  "FLASH read: data " +
                  kBar +
                  "\n"
                  "FLASH read: data size <49152 B> time <T> rate <R>\n"
                  "FLASH read: data file <" +
                  back + "> written\n");
    const std::string file = test::read_file(back);
    EXPECT_NE(file.find("S113C000CF4000180BFF0003790001710001CEFF3F\n"
                        "S113C010FF0435FD20F5FFFFFFFFFFFFFFFFFFFFDC\n"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("S1134000CF40007A656C76616E6F722D73696D2096\n"), std::string::npos);
    EXPECT_NE(file.find("S113FFF0FFFFFFFFFFFFFFFFFFFFFFFFFFFF4000CB\nS9034000BC\n"),
              std::string::npos);

    // The boot loader still answers the next session, which reads the same FLASH.
    const std::string again = dir.file("again.s19");
    r = zelv("dg128", {"-q", "-G", again});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::read_file(again), file);
}

TEST_F(LraeSession, BaudRateSearchFollowsTheOscillator) {
    struct Case {
        std::string osc;
        std::string line;
    };
    const Case found[] = {
        {"16M", "LRAE selected local baud rate <38400 bps> target <38461 bps> error <0.2%>\n"},
        {"5M", "LRAE selected local baud rate <38400 bps> target <39062 bps> error <1.7%>\n"},
        {"4915200", "LRAE selected local baud rate <38400 bps> target <38400 bps> error <0.0%>\n"},
        {"8M", "LRAE selected local baud rate <19200 bps> target <19230 bps> error <0.2%>\n"},
    };
    for (const Case& c : found) {
        const test::ProcessResult r = zelv("c32", {}, {}, "", c.osc);
        EXPECT_EQ(r.status, 0) << c.osc << r.err;
        EXPECT_NE(r.out.find(c.line + "LRAE serial port <"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("LRAE target synchronized\n"), std::string::npos) << c.osc;
    }
    // No pair fits; with 14972704 Hz a 32-bit error figure would wrap and pick 467897 bps.
    for (const std::string osc : {"24M", "14972704"}) {
        const test::ProcessResult r = zelv("c32", {"-d"}, {}, "", osc);
        EXPECT_EQ(r.status, 1) << osc;
        EXPECT_EQ(r.err,
                  "\nerror: satisfactory baud rate not found\nConsider specifying one with -b "
                  "option\n");
        EXPECT_EQ(r.out.find("<ok>"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("LRAE serial port"), std::string::npos);
        if (osc == "14972704") {
            EXPECT_NE(r.out.find("target <467897 bps> local <38400 bps> error <1118.5%>\n"),
                      std::string::npos)
                << r.out;
        }
    }
}

TEST_F(LraeSession, GivenRatesMeetTheBootLoadersDivisorsOrNot) {
    // 57600 against divisor 9 (55555 bps, 3.6 % off): the SCI still reads every byte.
    test::ProcessResult r = zelv("c32", {"-b", "57600", "-G", dir.file("c32.s19")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("LRAE serial port <"), std::string::npos);
    EXPECT_EQ(r.out.find("LRAE selected"), std::string::npos);
    // No divisor comes near 115200 bps at 16 MHz.
    r = zelv("c32", {"-q", "-b", "115200"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: no connection with target\n");
}

TEST_F(LraeSession, SynchronisationOnTheLastProbeAndNever) {
    // Five probes at the wrong divisors, then ten unheard: the sixteenth is answered.
    test::ProcessResult r = zelv("c32", {"-q"}, {"--fault", "deaf:10"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = zelv("c32", {"-q"}, {"--fault", "deaf:11"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: no connection with target\n");
}

TEST_F(LraeSession, RamRunLoadsTheImageAndStartsIt) {
    test::ProcessResult r = zelv("dg128", {"-X", blink_ram});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("target LRAE RAM area <0x2000-0x3FCF> size <0x1FD0>\n"
                         "RAM load: image file <" +
                         blink_ram +
                         ">\n"
                         "RAM load: image info <blink_ram.s19>\n"
                         "RAM load: address range <0x2000-0x2015> length <0x0016> entry "
                         "<0x2000>\n"
                         "RAM load: data " +
                         kBar +
                         "\n"
                         "RAM run: image loaded and started\n"),
              std::string::npos)
        << r.out;
    const std::vector<uint8_t> ram = state_section(state("dg128"), "RAM ");
    ASSERT_EQ(ram.size(), 0x2000U);
    EXPECT_EQ(ram[0], 0xCF);
    EXPECT_EQ(ram[0x15], 0xF5);

    // The program runs: the boot loader takes no second load, not even the agent.
    const std::string message =
        "\nerror: RAM load not possible - LRAE boot loader no longer active (target reset "
        "required)\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-q", "-X", blink_ram, "-X", blink_ram},
          std::vector<std::string>{"-q", "-X", blink_ram, "-G", dir.file("x.s19")},
          std::vector<std::string>{"-q", "-G", dir.file("y.s19"), "-X", blink_ram}}) {
        fresh("dg128");
        r = zelv("dg128", args);
        EXPECT_EQ(r.status, 1) << args[3];
        EXPECT_EQ(r.err, message);
    }
    EXPECT_TRUE(test::file_exists(dir.file("y.s19")));
    EXPECT_FALSE(test::file_exists(dir.file("x.s19")));
}

TEST_F(LraeSession, RamRangeCheckAndFilesWithoutDataOrEntry) {
    // The highest byte at 0x3FD0, in the boot loader's own top 48 bytes.
    const std::string top = srec(
        "top.s19", s_record('1', 0x3FC0, std::vector<uint8_t>(17, 0x5A)) + s_record('9', 0x3FC0));
    test::ProcessResult r = zelv("dg128", {"-q", "-X", top});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: RAM address outside allowable range\n");
    r = zelv("dg128", {"-q", "-f", "-X", top});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(state_section(state("dg128"), "RAM ")[0x1FD0], 0x5A);

    const std::string empty = srec("empty.s19", s_record('9', 0x2000));
    const std::string no_entry = srec("zero.s19", s_record('1', 0x2000, {1, 2}) + s_record('9', 0));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"-X", empty}, "RAM load: no data in file\n"},
        {{"-f", "-X", empty}, "RAM load: no data in file\n"},
        {{"-X", no_entry}, "entry address not specified\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = zelv("dg128", args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message);
    }
}

TEST_F(LraeSession, KeepingTheBootLoaderOnOneTwoAndFourBlocks) {
    for (const std::string part : {"c32", "c128", "dg128", "dp256", "xdp512"}) {
        const Part& p = kParts.at(part);
        // A word in every page, one just past the boot loader, then the erase.
        std::string lines;
        const uint32_t pages = part == "c32" ? 2 : part == "xdp512" ? 32 : part == "dp256" ? 16 : 8;
        for (uint32_t page = 0; page < pages; ++page) {
            lines +=
                s_record('2', ((p.ppage_base + page) << 16) | 0x9000, {0x12, 0x34, 0x56, 0x78});
        }
        lines += s_record('2', (p.boot_page << 16) | 0x8800, {0xAB, 0xCD, 0xEF, 0x01});
        const std::string fill = srec(part + ".s19", lines + s_record('8', 0));
        test::ProcessResult r = zelv(part, {"-q", "-a", "banked-ppage", "-H", fill});
        ASSERT_EQ(r.status, 0) << part << r.err;

        r = zelv(part, {"-v", "-Z", "-E"});
        ASSERT_EQ(r.status, 0) << part << r.err;
        std::string expected = "FLASH erase: block #0 " + kBar +
                               "\nFLASH erase: LRAE retained, reset vector restored\n"
                               "FLASH erase: verify block #0 " +
                               kBar + "\nFLASH erase: block #0 verified\n";
        for (uint32_t block = 1; block < p.blocks; ++block) {
            expected += "FLASH erase: block #" + std::to_string(block) +
                        " bulk erased\nFLASH erase: block #" + std::to_string(block) +
                        " verified\n";
        }
        expected +=
            "FLASH erase: memory erased\nFLASH erase: security byte set to unsecure state\n";
        EXPECT_NE(r.out.find(expected), std::string::npos) << part << "\n" << r.out;
        expect_only_boot_loader(part);
        // The reset vector leads to the boot loader again.
        EXPECT_EQ(zelv(part, {"-q"}).status, 0) << part;
    }
}

TEST_F(LraeSession, BulkEraseTakesTheBootLoaderWithIt) {
    // Protected, block 0 refuses the mass erase as the hardware would.
    test::ProcessResult r = zelv("dg128", {"-q", "-E"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: communication failed, invalid response received\n");

    // Unprotected (and on HCS12X, where the protection cannot reach it) every block goes.
    for (const std::string part : {"c128", "dg128", "dp256", "xdp512"}) {
        r = zelv(part, {"-v", part == "dg128" ? "-F" : "-E"}, {"--unprotected"});
        ASSERT_EQ(r.status, 0) << part << r.err;
        std::string expected;
        for (uint32_t block = 0; block < kParts.at(part).blocks; ++block) {
            expected += "FLASH erase: block #" + std::to_string(block) +
                        " bulk erased\nFLASH erase: block #" + std::to_string(block) +
                        " verified\n";
        }
        expected += "FLASH erase: memory erased\n";
        EXPECT_NE(r.out.find(expected), std::string::npos) << part << "\n" << r.out;
        const bool unsecured = part == "dg128";
        EXPECT_EQ(r.out.find("security byte set to unsecure state") != std::string::npos,
                  unsecured);
        // -F leaves the security byte 0xFF0F at 0xFE, -E nothing at all.
        EXPECT_TRUE(flash_erased(state(part) + ".open", unsecured)) << part;
    }
    // Without its boot loader the part answers no more.
    r = zelv("dg128", {"-q"}, {"--unprotected"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: no connection with target\n");
}

TEST_F(LraeSession, ReadAndWriteInEachAddressFormat) {
    // dp256: page 0x30 is block 3, the default page in the window without paging.
    const std::string ppage =
        srec("ppage.s19", s_record('2', 0x308010, {0x01, 0x02, 0x03, 0x04}) +
                              s_record('2', 0x3D9000, {5, 6, 7, 8}) +
                              s_record('2', 0x3E8800, {0x09, 0x0A, 0x0B, 0x0C}) + s_record('8', 0));
    const std::string linear =
        srec("linear.s19", s_record('2', 0xC4020, {0x11, 0x12, 0x13, 0x14}) +
                               s_record('2', 0xFE000, {0x15, 0x16, 0x17, 0x18}) + s_record('8', 0));
    const std::string nb =
        srec("nb.s19", s_record('1', 0x4900, {0x21, 0x22, 0x23, 0x24}) +
                           s_record('1', 0x8030, {0x25, 0x26, 0x27, 0x28}) +
                           s_record('1', 0xF000, {0x29, 0x2A, 0x2B, 0x2C}) + s_record('9', 0));
    ASSERT_EQ(zelv("dp256", {"-q", "-a", "banked-ppage", "-H", ppage}).status, 0);
    ASSERT_EQ(zelv("dp256", {"-q", "-a", "banked-linear", "-H", linear}).status, 0);
    ASSERT_EQ(zelv("dp256", {"-q", "-H", nb}).status, 0);

    // Records of 16 bytes, all-0xFF ones left out: each written word shows up in the record
    // that holds it, at its address in the format read.
    const auto record = [](char type, uint32_t address, std::vector<uint8_t> word, unsigned at) {
        std::vector<uint8_t> data(16, 0xFF);
        std::copy(word.begin(), word.end(), data.begin() + at);
        return s_record(type, address, data);
    };
    struct Read {
        std::string format;
        std::vector<std::string> records;
    };
    const Read reads[] = {
        {"banked-ppage",
         {record('2', 0x308010, {1, 2, 3, 4}, 0),
          record('2', 0x308030, {0x25, 0x26, 0x27, 0x28}, 0),
          record('2', 0x3D9000, {5, 6, 7, 8}, 0), record('2', 0x3E8800, {9, 10, 11, 12}, 0),
          record('2', 0x3E8900, {0x21, 0x22, 0x23, 0x24}, 0),
          record('2', 0x318020, {0x11, 0x12, 0x13, 0x14}, 0),
          record('2', 0x3FA000, {0x15, 0x16, 0x17, 0x18}, 0),
          record('2', 0x3FB000, {0x29, 0x2A, 0x2B, 0x2C}, 0)}},
        {"banked-linear",
         {record('2', 0xC0010, {1, 2, 3, 4}, 0), record('2', 0xF5000, {5, 6, 7, 8}, 0),
          record('2', 0xF8800, {9, 10, 11, 12}, 0),
          record('2', 0xC4020, {0x11, 0x12, 0x13, 0x14}, 0),
          record('2', 0xFE000, {0x15, 0x16, 0x17, 0x18}, 0)}},
        {"non-banked",
         {record('1', 0x8010, {1, 2, 3, 4}, 0), record('1', 0x4800, {9, 10, 11, 12}, 0),
          record('1', 0x4900, {0x21, 0x22, 0x23, 0x24}, 0),
          record('1', 0x8030, {0x25, 0x26, 0x27, 0x28}, 0),
          record('1', 0xE000, {0x15, 0x16, 0x17, 0x18}, 0),
          record('1', 0xF000, {0x29, 0x2A, 0x2B, 0x2C}, 0)}},
    };
    for (const Read& read : reads) {
        const std::string back = dir.file(read.format + ".s19");
        const test::ProcessResult r = zelv("dp256", {"-q", "-a", read.format, "-G", back});
        ASSERT_EQ(r.status, 0) << read.format << r.err;
        const std::string file = test::read_file(back);
        for (const std::string& line : read.records) {
            EXPECT_NE(file.find(line), std::string::npos) << read.format << ": " << line << file;
        }
    }
}

TEST_F(LraeSession, NonBankedWindowOfAnHcs12x) {
    // 0x4000 shows page 0xFD, the PPAGE window the page the part comes up with, 0xFE.
    const std::string nb =
        srec("xnb.s19", s_record('1', 0x4900, {0x31, 0x32, 0x33, 0x34}) +
                            s_record('1', 0x8030, {0x35, 0x36, 0x37, 0x38}) + s_record('9', 0));
    ASSERT_EQ(zelv("xdp512", {"-q", "-H", nb}).status, 0);
    const std::string back = dir.file("xlinear.s19");
    const test::ProcessResult r = zelv("xdp512", {"-q", "-a", "banked-linear", "-G", back});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string file = test::read_file(back);
    for (const auto& [address, word] :
         {std::pair<uint32_t, std::vector<uint8_t>>{0x3F4900, {0x31, 0x32, 0x33, 0x34}},
          {0x3F8030, {0x35, 0x36, 0x37, 0x38}}}) {
        std::vector<uint8_t> data(16, 0xFF);
        std::copy(word.begin(), word.end(), data.begin());
        EXPECT_NE(file.find(s_record('2', address, data)), std::string::npos) << file;
    }
}

TEST_F(LraeSession, AgentAndBootLoaderFaultsEndTheRunWithTheirMessage) {
    struct Case {
        std::vector<std::string> sim;
        std::vector<std::string> args;
        std::string message;
    };
    const std::string read = dir.file("never.s19");
    const std::string stuck_block1 = "stuck-flash:0x100:0x7F";    // page 0x38: block 1
    const std::string stuck_block0 = "stuck-flash:0x10100:0x7F";  // page 0x3C: block 0
    const Case cases[] = {
        {{"--fault", "load-ack:0x81"},
         {"-G", read},
         "invalid checksum acknowledge received\nPlease reset target and try again\n"},
        {{"--fault", "noise:5"},
         {"-X", blink_ram},
         "invalid checksum acknowledge received\nPlease reset target and try again\n"},
        {{"--fault", "load-silent"},
         {"-G", read},
         "checksum acknowledge reception timed out\nPlease reset target and try again\n"},
        {{"--fault", "osc-answer:0x01"},
         {"-G", read},
         "invalid oscillator frequency for target programming\n"},
        {{"--fault", "osc-answer:0x07"}, {"-G", read}, "unknown response\n"},
        {{"--fault", "frame-ack:0x0A:0x55"},
         {"-G", read},
         "communication failed, invalid checksum\n"},
        {{"--fault", "frame-ack:0x0A:0x33"},
         {"-G", read},
         "communication failed, unexpected answer\n"},
        {{"--fault", "page-checksum,after=1"}, {"-G", read}, "invalid checksum received\n"},
        {{"--fault", "result:0x0B:0x55"},
         {"-H", blink_lrae},
         "communication failed, checksum error\n"},
        // The reset vector at 0xFFFE is the boot loader's and programmed already.
        {{}, {"-H", blink}, "invalid response <0x04> to write: block <0> page <0x3F> address <0xBFFC>\n"},
        {{"--fault", "result:0x09:0x01,after=3"},
         {"-Z", "-E"},
         "invalid response <0x01> to sector erase: block <0> page <0x3C> address <0x8600>\n"},
        {{"--fault", "result:0x07:0x01", "--unprotected"},
         {"-E"},
         "communication failed, invalid response received\n"},
        {{"--fault", stuck_block1, "--unprotected"},
         {"-v", "-E"},
         "FLASH erase verify failed - memory not clear\n"},
        {{"--fault", "result:0x08:0x09", "--unprotected"}, {"-v", "-E"}, "unknown response\n"},
        {{"--fault", stuck_block0},
         {"-v", "-Z", "-E"},
         "FLASH erase verify failed - memory not clear\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        fresh("dg128");
        const test::ProcessResult r = zelv("dg128", args, c.sim);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message) << c.message;
    }
    EXPECT_FALSE(test::file_exists(read)) << "a failed read writes no file";
}

TEST_F(LraeSession, SilenceMidPageTimesOut) {
    const std::string read = dir.file("never.s19");
    const test::ProcessResult r = zelv("c32", {"-q", "-G", read}, {"--fault", "page-silent"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: timeout - no connection with target\n");
    EXPECT_FALSE(test::file_exists(read));
}

TEST_F(LraeSession, RefusalsBeforeTheBootLoaderIsUsed) {
    struct Case {
        std::string part;
        std::string extra;  // description lines in front of the part's
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {"dg128", "ram_size 0x5000\n", {}, "target LRAE RAM area unusable (ram_size 0x5000)\n"},
        {"dg128", "lrae_size 0\n", {}, "target LRAE FLASH usage unknown (missing lrae_size)\n"},
        {"dg128", "flash_size 0\n", {"-G", "x.s19"}, "FLASH read not possible - no FLASH memory\n"},
        {"dg128",
         "flash_size 0\n",
         {"-H", blink_lrae},
         "FLASH write not possible - no FLASH memory\n"},
        {"dg128", "flash_size 0\n", {"-E"}, "FLASH erase not possible - no FLASH memory\n"},
        {"dg128", "ppage_base 0x20\n", {"-Z", "-E"}, "FLASH layout does not allow keeping LRAE\n"},
        {"xdp512", "family HCS12\n", {"-Z", "-E"}, "FLASH layout does not allow keeping LRAE\n"},
        {"dg128",
         "",
         {"-b", "38400", "-o", "70M", "-G", "x.s19"},
         "invalid oscillator frequency for target programming\n"},
        {"dg128",
         "lrae_agent " + dir.file("missing.s19") + "\n",
         {"-G", "x.s19"},
         "unable to open " + dir.file("missing.s19") + " (No such file or directory)\n"},
        {"c32", "", {"-A"}, "EEPROM erase not possible - no EEPROM memory\n"},
        {"c32", "", {"-B", "x.s19"}, "EEPROM read not possible - no EEPROM memory\n"},
        {"dg128", "", {"-S"}, "secure: operation not supported\n"},
        {"dg128", "", {"-U"}, "unsecure: operation not supported\n"},
        {"dg128", "", {"-R"}, "reset: operation not supported\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = zelv(c.part, args, {}, c.extra);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message);
    }
    // Nothing was loaded by any of them: the boot loader still listens.
    EXPECT_EQ(zelv("dg128", {"-q", "-X", blink_ram}).status, 0);

    // Without the LRAE keys, a port or an oscillator nothing is tried.
    const std::string plain = data_file("mc9s12dg128.dat");
    const std::string with_keys = description("dg128");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } settings[] = {
        {{"-t", plain, "-p", "x", "-o", "16M"},
         "target LRAE RAM agent not available, cannot proceed\n"},
        {{"-t", with_keys, "-o", "16M"}, "serial port not specified (-p option required)\n"},
        {{"-t", with_keys, "-p", "x"}, "oscillator frequency not specified (-o option required)\n"},
    };
    for (const auto& s : settings) {
        std::vector<std::string> args = {"-q", "-i", "lrae"};
        args.insert(args.end(), s.args.begin(), s.args.end());
        const test::ProcessResult r = run_zelvanor(args);
        EXPECT_EQ(r.status, 1) << s.message;
        EXPECT_EQ(r.err, "\nerror: " + s.message);
    }
}

// The EEPROM is out of this interface's reach: an EEPROM operation fails before anything
// is opened, so an earlier FLASH operation on the line has not run either, and -B leaves no
// file that a script could take for the EEPROM's contents.
TEST_F(LraeSession, EepromOperationsFailBeforeAnythingIsTouched) {
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-A"}, "EEPROM erase not supported on this interface\n"},
        {{"-B", dir.file("ee.s19")}, "EEPROM read not supported on this interface\n"},
        {{"-C", dir.file("ee.s19")}, "EEPROM write not supported on this interface\n"},
        {{"-D", "all"}, "EEPROM protect not supported on this interface\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-q", "-E"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r = zelv("dg128", args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(r.err, "\nerror: " + c.message);
    }
    EXPECT_FALSE(test::file_exists(dir.file("ee.s19")));
    // Nothing was erased or loaded: the boot loader still listens.
    EXPECT_EQ(zelv("dg128", {"-q", "-X", blink_ram}).status, 0);
}

// A FLASH image that writes into the boot loader is refused before anything is sent, with
// the range named; the boot loader stays as it was.
TEST_F(LraeSession, ImageOverTheBootLoaderIsRefusedUpFront) {
    const std::string image =
        srec("over.s19", s_record('1', 0x47FC, {1, 2, 3, 4, 5, 6}) + s_record('9', 0));
    ASSERT_EQ(zelv("dg128", {"-q"}).status, 0);
    const std::vector<uint8_t> before = state_section(state("dg128"), "FLSH");
    const test::ProcessResult r = zelv("dg128", {"-q", "-Z", "-E", "-H", image});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nerror: FLASH image overlaps the LRAE boot loader at 0x47FC-0x47FF (-f writes it "
              "anyway)\n");
    EXPECT_EQ(state_section(state("dg128"), "FLSH"), before);
}

}  // namespace
}  // namespace zelv::e2e
