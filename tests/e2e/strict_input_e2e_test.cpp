// What a careless or hostile file or command line can do, end to end against the virtual
// target: nothing wrong gets programmed, nothing good gets destroyed, nothing reaches the
// terminal that could take it over, and every refusal says what was wrong.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

class Bench : public testing::Test {
protected:
    // The sm interface against the virtual part, its memory kept in the scratch folder.
    test::ProcessResult zelv(const std::string& part, const std::string& description,
                             const std::vector<std::string>& args,
                             const std::vector<std::string>& faults = {}) {
        return run_sm(dir.file(part + ".state"), part, description, args, faults);
    }

    std::string file(const std::string& name, const std::string& content) {
        const std::string path = dir.file(name);
        test::write_file(path, content);
        return path;
    }

    // The FLASH as a read in this address format sees it.
    std::map<uint32_t, uint8_t> flash(const std::string& part, const std::string& description,
                                      const std::string& format = "non-banked") {
        const std::string back = dir.file("back-" + format + ".s19");
        const test::ProcessResult r = zelv(part, description, {"-q", "-a", format, "-G", back});
        EXPECT_EQ(r.status, 0) << r.err;
        return srec_bytes(back);
    }

    static std::vector<uint8_t> at(const std::map<uint32_t, uint8_t>& bytes, uint32_t address,
                                   unsigned count) {
        std::vector<uint8_t> out;
        for (unsigned i = 0; i < count; ++i) {
            const auto found = bytes.find(address + i);
            out.push_back(found != bytes.end() ? found->second : 0xFF);
        }
        return out;
    }

    test::TempDir dir;
    const std::string dg128 = data_file("mc9s12dg128.dat");
    const std::string dp256 = data_file("mc9s12dp256.dat");
    const std::string xdp512 = data_file("mc9s12xdp512.dat");
};

// The description example of the README loads as it stands, and so does every shipped one.
TEST_F(Bench, DocumentedDescriptionsLoadAsWritten) {
    const std::vector<std::string> readme =
        test::split_lines(test::read_file(std::string(ZELV_SOURCE_DIR) + "/README.md"));
    std::string example;
    bool in_section = false;
    for (const std::string& line : readme) {
        if (line.rfind("### ", 0) == 0) {
            in_section = line == "### Target descriptions";
        } else if (in_section && line.rfind("    ", 0) == 0) {
            example += line.substr(4) + "\n";
        } else if (in_section && !example.empty()) {
            break;  // the first indented block of the section
        }
    }
    ASSERT_NE(example.find("flash_module"), std::string::npos) << "no example found";
    const test::ProcessResult r = zelv("dg128", file("readme.dat", example), {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("target info <MC9S12DG128B, 128 KB FLASH, 8 KB RAM, 2 KB EEPROM>\n"
                         "target mcu <MC9S12DG128B> family <HCS12>\n"),
              std::string::npos)
        << r.out;

    const std::map<std::string, std::string> shipped = {{"c32", "mc9s12c32.dat"},
                                                        {"c128", "mc9s12c128.dat"},
                                                        {"dg128", "mc9s12dg128.dat"},
                                                        {"dp256", "mc9s12dp256.dat"},
                                                        {"xdp512", "mc9s12xdp512.dat"}};
    for (const auto& [part, name] : shipped) {
        const test::ProcessResult s = zelv(part, data_file(name), {"-q"});
        EXPECT_EQ(s.status, 0) << name << ": " << s.err;
    }
}

// A file whose lines end in a lone CR loads whole; a record whose checksum does not match
// stops the write before anything is programmed.
TEST_F(Bench, LineEndsAndChecksums) {
    const auto line = [](const std::string& record) { return record.substr(0, record.size() - 1); };
    std::string header = line(s_record('1', 0, {'c', 'm', 'r'}));
    header[1] = '0';  // the same bytes as an S0 header
    const std::string mac =
        file("mac.s19", header + "\r" + line(s_record('1', 0xC000, {0x11, 0x22})) + "\r" +
                            line(s_record('1', 0xC010, {0x33, 0x44})) + "\r" +
                            line(s_record('1', 0xD000, {0x55, 0x66})) + "\r" +
                            line(s_record('9', 0xC000)) + "\r");
    test::ProcessResult r = zelv("dg128", dg128, {"-q", "-E", "-H", mac});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<uint32_t, uint8_t> bytes = flash("dg128", dg128);
    EXPECT_EQ(at(bytes, 0xC000, 2), (std::vector<uint8_t>{0x11, 0x22}));
    EXPECT_EQ(at(bytes, 0xC010, 2), (std::vector<uint8_t>{0x33, 0x44}));
    EXPECT_EQ(at(bytes, 0xD000, 2), (std::vector<uint8_t>{0x55, 0x66}));

    std::string corrupted = s_record('1', 0xE000, {0x77, 0x88});
    corrupted[9] = '8';  // 0x78 read instead of 0x77
    const std::string bad =
        file("bad.s19", s_record('1', 0xE100, {0x01, 0x02}) + corrupted + s_record('9', 0));
    r = zelv("dg128", dg128, {"-q", "-E", "-H", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: " + bad + ":2: S-record checksum error\n");
    bytes = flash("dg128", dg128);
    EXPECT_EQ(at(bytes, 0xE100, 2), (std::vector<uint8_t>{0xFF, 0xFF})) << "nothing programmed";
    EXPECT_EQ(at(bytes, 0xE000, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

// In the banked-ppage format only the PPAGE window 0x8000-0xBFFF of a page is FLASH.
TEST_F(Bench, BankedPpageAddressesOutsideTheWindowAreRefused) {
    struct Case {
        uint32_t address;
        unsigned length;
    };
    const Case cases[] = {{0x384000, 2}, {0x38FFFE, 2}, {0x38C000, 2}, {0x38BFFE, 4}};
    for (const Case& c : cases) {
        const std::string path =
            file("paged.s19",
                 s_record('2', c.address, std::vector<uint8_t>(c.length, 0x5A)) + s_record('8', 0));
        const test::ProcessResult r =
            zelv("dp256", dp256, {"-q", "-a", "banked-ppage", "-H", path});
        EXPECT_EQ(r.status, 1) << std::hex << c.address;
        char message[100];
        std::snprintf(message, sizeof message, ":1: data block address <0x%X> out of range\n",
                      c.address);
        EXPECT_EQ(r.err, "\nerror: " + path + message);
    }
    const std::map<uint32_t, uint8_t> bytes = flash("dp256", dp256, "banked-linear");
    EXPECT_EQ(at(bytes, 0xE0000, 4), std::vector<uint8_t>(4, 0xFF));
    EXPECT_EQ(at(bytes, 0xE3FFC, 4), std::vector<uint8_t>(4, 0xFF));
}

// A mistake late on the command line is found before the first operation changes the
// target: the FLASH written before stays.
TEST_F(Bench, BadProtectionRangeIsFoundBeforeTheErase) {
    const std::string app = file("app.s19", s_record('1', 0xC000, {1, 2, 3, 4}) + s_record('9', 0));
    ASSERT_EQ(zelv("dg128", dg128, {"-q", "-E", "-H", app}).status, 0);
    const test::ProcessResult r = zelv("dg128", dg128, {"-E", "-D", "1KB"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "\nerror: invalid EEPROM protection area: 1KB\n");
    EXPECT_EQ(at(flash("dg128", dg128), 0xC000, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

// A read that fails while writing its file (here: a file size limit) leaves the previous
// file as it was and nothing half-written; devices are written directly.
TEST_F(Bench, FailedReadKeepsTheOldFile) {
    ZELV_REQUIRE_TOOL("sh");
    const std::string back = file("back.s19", "the previous read\n");
    // The shell ignores SIGXFSZ (so that a write past the limit fails instead of killing
    // zelvanor), limits the file size to a few KB and runs zelvanor in its place.
    const test::ProcessResult r =
        test::run_process({ZELV_SIM_BINARY,
                           "--part",
                           "dg128",
                           "--state",
                           dir.file("dg128.state"),
                           "--",
                           "sh",
                           "-c",
                           "trap '' XFSZ; ulimit -f 16; exec \"$0\" \"$@\"",
                           ZELV_BINARY,
                           "-q",
                           "-i",
                           "sm",
                           "-p",
                           "@PORT@",
                           "-t",
                           dg128,
                           "-e",
                           "-G",
                           back});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nerror: cannot write file (File too large)\n");
    EXPECT_EQ(test::read_file(back), "the previous read\n");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"back.s19", "dg128.state"}));

    // Without the limit the same read replaces the file.
    ASSERT_EQ(zelv("dg128", dg128, {"-q", "-G", back}).status, 0);
    EXPECT_EQ(test::read_file(back).rfind("S00E0000464C41534820696D616765", 0), 0u);
}

TEST_F(Bench, DevicesAreWrittenDirectly) {
    test::ProcessResult r = zelv("dg128", dg128, {"-q", "-G", "/dev/stdout"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("S00E0000464C41534820696D616765", 0), 0u) << r.out.substr(0, 80);
    EXPECT_NE(r.out.find("\nS903F80004\n"), std::string::npos) << "the monitor's reset vector";

    if (!test::file_exists("/dev/full")) {
        return;
    }
    r = zelv("dg128", dg128, {"-q", "-G", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("(No space left on device)\n"), std::string::npos) << r.err;
    struct stat info {};
    ASSERT_EQ(stat("/dev/full", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode)) << "the device is still a device";
}

// Target descriptions: a long line stays one line, numbers do not wrap, the geometry must
// add up, and a description that never ends is refused; all before the port is opened.
TEST_F(Bench, DescriptionsAreReadStrictly) {
    const std::string shipped = test::read_file(dg128);
    const std::string hidden = "#" + std::string(254, ' ') + "eeprom_size 0\n";
    const test::ProcessResult r =
        zelv("dg128", file("hidden.dat", hidden + shipped), {"-q", "-B", dir.file("ee.s19")});
    EXPECT_EQ(r.status, 0) << "the EEPROM is still there: " << r.err;

    struct Case {
        std::string first_lines;  // before the shipped lines: the first occurrence counts
        std::string message;
    };
    const Case cases[] = {
        {"ram_size -1\n",
         dir.file("bad.dat") + ":1: invalid value for target description parameter ram_size\n"},
        {"eeprom_size 0x100000800\n",
         dir.file("bad.dat") +
             ":1: invalid value for target description parameter eeprom_size\n"},
        {"flash_size 0x40000\n",
         "FLASH size does not match its pages: flash_size 0x40000, ppage_count 8\n"},
        {"ppage_count 4\n",
         "FLASH size does not match its pages: flash_size 0x20000, ppage_count 4\n"},
    };
    for (const Case& c : cases) {
        const test::ProcessResult s =
            run_zelvanor({"-q", "-i", "sm", "-p", dir.file("no-port"), "-t",
                          file("bad.dat", c.first_lines + shipped)});
        EXPECT_EQ(s.status, 1) << c.message;
        EXPECT_EQ(s.err, "\nerror: " + c.message);
    }

    if (access("/dev/zero", R_OK) == 0) {
        const test::ProcessResult s =
            run_zelvanor({"-q", "-i", "sm", "-p", dir.file("no-port"), "-t", "/dev/zero"});
        EXPECT_EQ(s.status, 1);
        EXPECT_EQ(s.err, "\nerror: target description file /dev/zero too large\n");
    }
}

// Texts from files reach the terminal with every byte it could act on shown as a dot.
TEST_F(Bench, FileTextsCannotDriveTheTerminal) {
    std::string shipped = test::read_file(dg128);
    shipped.replace(shipped.find("info "), 5, "info \x1b]0;owned\x07 ");
    const std::string description = file("escape.dat", shipped);
    std::vector<uint8_t> header = {0x1B, '[', '2', 'J', 'h', 'i', 0x9B, '3', '1', 'm'};
    std::string line = s_record('1', 0, header);
    line[1] = '0';  // the same bytes as an S0 header: count, address 0, data, checksum
    const std::string app =
        file("escape.s19", line + s_record('1', 0xC000, {1, 2}) + s_record('9', 0xC000));
    const test::ProcessResult r = zelv("dg128", description, {"-E", "-H", app});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("target info <.]0;owned. MC9S12DG128B"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("FLASH write: image info <.[2Jhi.31m> entry <0xC000>\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(r.out.find('\x07'), std::string::npos);
    EXPECT_EQ(r.out.find('\x9b'), std::string::npos);

    const test::ProcessResult u =
        run_zelvanor({"-q", "-i", "sm", "-p", "x", "-t",
                      file("family.dat", "info i\nmcu m\nfamily HCS12\x1b[8m\nram_size 1\n")});
    EXPECT_EQ(u.status, 1);
    EXPECT_EQ(u.err, "\nerror: MCU family unknown: HCS12.[8m\n");
}

// An HCS12X shows page 0xFD at 0x4000, 0xFE in the PPAGE window after reset and 0xFF at
// 0xC000: a non-banked file lands on those pages, and plain addresses in a banked-ppage file
// stand for the fixed pages.
TEST_F(Bench, Hcs12xFixedPages) {
    const std::string nb =
        file("nb.s19", s_record('1', 0x4000, {0x11, 0x12}) + s_record('1', 0x8000, {0x21, 0x22}) +
                           s_record('1', 0xC000, {0x31, 0x32}) + s_record('9', 0xC000));
    test::ProcessResult r = zelv("xdp512", xdp512, {"-q", "-E", "-H", nb});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<uint32_t, uint8_t> linear = flash("xdp512", xdp512, "banked-linear");
    EXPECT_EQ(at(linear, 0xFD << 14, 2), (std::vector<uint8_t>{0x11, 0x12})) << "page 0xFD";
    EXPECT_EQ(at(linear, 0xFE << 14, 2), (std::vector<uint8_t>{0x21, 0x22})) << "page 0xFE";
    EXPECT_EQ(at(linear, 0xFF << 14, 2), (std::vector<uint8_t>{0x31, 0x32})) << "page 0xFF";
    EXPECT_EQ(at(linear, 0xE0 << 14, 2), (std::vector<uint8_t>{0xFF, 0xFF})) << "page 0xE0";
    const std::map<uint32_t, uint8_t> cpu = flash("xdp512", xdp512);
    EXPECT_EQ(at(cpu, 0x4000, 2), (std::vector<uint8_t>{0x11, 0x12}));
    EXPECT_EQ(at(cpu, 0x8000, 2), (std::vector<uint8_t>{0x21, 0x22}));
    EXPECT_EQ(at(cpu, 0xC000, 2), (std::vector<uint8_t>{0x31, 0x32}));

    const std::string paged = file(
        "paged.s19", s_record('2', 0x4010, {0x41, 0x42}) + s_record('2', 0xC010, {0x51, 0x52}) +
                         s_record('2', 0xFE8010, {0x61, 0x62}) + s_record('8', 0));
    r = zelv("xdp512", xdp512, {"-q", "-E", "-a", "banked-ppage", "-H", paged});
    ASSERT_EQ(r.status, 0) << r.err;
    linear = flash("xdp512", xdp512, "banked-linear");
    EXPECT_EQ(at(linear, (0xFD << 14) + 0x10, 2), (std::vector<uint8_t>{0x41, 0x42}));
    EXPECT_EQ(at(linear, (0xFF << 14) + 0x10, 2), (std::vector<uint8_t>{0x51, 0x52}));
    EXPECT_EQ(at(linear, (0xFE << 14) + 0x10, 2), (std::vector<uint8_t>{0x61, 0x62}));
}

}  // namespace
}  // namespace zelv::e2e
