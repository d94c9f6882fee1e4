// Every BDM operation through the TBDML, by both methods, with control transfers and with
// the bulk endpoints (-Y); and blocks the pod refuses or cuts short ending the operation
// before anything of them is used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bdm_session.h"

namespace zelv::e2e {
namespace {

class TbdmlOperations : public BdmSession {
protected:
    TbdmlOperations() { pod = "tbdml"; }

    // Transfers of a --trace file that went over the bulk endpoints.
    unsigned bulk_transfers(const std::string& trace) {
        unsigned count = 0;
        for (const std::string& line : test::split_lines(test::read_file(trace))) {
            count += line.rfind("usb bulk-", 0) == 0 ? 1U : 0U;
        }
        return count;
    }
};

std::vector<uint8_t> pattern(size_t size, unsigned seed) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) {
        data[i] = static_cast<uint8_t>((i * 7 + seed) % 253);
    }
    return data;
}

TEST_F(TbdmlOperations, EveryOperationByEitherMethodWithAndWithoutBulk) {
    // FLASH from an odd address on, so that blocks split unevenly; EEPROM from an odd one;
    // RAM at an odd address, longer than a pod block.
    const std::vector<uint8_t> code = pattern(0x101, 1);
    const std::vector<uint8_t> ee = pattern(5, 2);
    const std::vector<uint8_t> program = pattern(75, 3);
    std::string app_text;
    for (size_t at = 0; at < code.size(); at += 32) {
        const size_t n = std::min<size_t>(32, code.size() - at);
        app_text += s_record('1', static_cast<uint32_t>(0xC001 + at),
                             std::vector<uint8_t>(code.begin() + static_cast<long>(at),
                                                  code.begin() + static_cast<long>(at + n)));
    }
    const std::string app = srec("app.s19", app_text + s_record('9', 0xC001));
    const std::string ee_file = srec("ee.s19", s_record('1', 0x4101, ee));
    const std::string ram_file =
        srec("ram.s19", s_record('1', 0x2001, program) + s_record('9', 0x2001));

    for (const char* method : {"bdm", "agent"}) {
        for (const bool with_bulk : {false, true}) {
            // Half of the runs give -o, the others let the pod measure: each way once per method
            // and once per transfer form.
            const bool osc_given = with_bulk != (std::string(method) == "agent");
            SCOPED_TRACE(std::string(method) + (with_bulk ? " -Y" : "") + (osc_given ? " -o" : ""));
            bulk = with_bulk;
            const std::string trace = dir.file("trace.txt");
            sim_options = {"--trace", trace};
            fresh("dp256");
            // A board that left the factory programmed and secured.
            const std::string old = srec("old.s19", s_record('1', 0xC000, {0xDE, 0xAD}));
            ASSERT_EQ(zelv("dp256", {"-q", "-H", old, "-S"}, method_keys(method)).status, 0);

            const std::string back = dir.file("back.s19");
            const std::string ee_back = dir.file("ee-back.s19");
            std::vector<std::string> args = {"-v", "-U",   "-E", "-H",     app,  "-G",
                                             back, "-A",   "-C", ee_file,  "-B", ee_back,
                                             "-D", "256B", "-X", ram_file, "-S", "-R"};
            if (osc_given) {
                args.insert(args.begin(), {"-o", "16M"});
            }
            const test::ProcessResult r = zelv("dp256", args, method_keys(method));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            for (const char* line :
                 {"unsecure: MCU unsecured\n", "FLASH erase: verify ok\n",
                  "FLASH write: verify ok\n", "FLASH read: data file <",
                  "EEPROM write: verify ok\n", "EEPROM read: data file <",
                  "EEPROM protect: verify ok\n", "RAM run: image loaded and started",
                  "secure: MCU secured\nreset: normal mode\n"}) {
                EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
            }
            EXPECT_EQ(
                r.out.find("TBDML detected target frequency <16.000 MHz>\n") != std::string::npos,
                !osc_given);
            if (with_bulk) {
                EXPECT_GT(bulk_transfers(trace), 0U) << "-Y: the blocks went over bulk";
            } else {
                EXPECT_EQ(bulk_transfers(trace), 0U);
            }

            // What zelvanor read back is what was written, and so is the part's memory.
            const std::map<uint32_t, uint8_t> flash_read = srec_bytes(back);
            const std::map<uint32_t, uint8_t> ee_read = srec_bytes(ee_back);
            const std::vector<uint8_t> memory = flash("dp256");
            const std::vector<uint8_t> ee_memory = eeprom("dp256");
            for (size_t i = 0; i < code.size(); ++i) {
                const auto address = static_cast<uint32_t>(0xC001 + i);
                ASSERT_EQ(flash_read.at(address), code[i]) << address;
                ASSERT_EQ(memory[flash_offset("dp256", 0x3F, address)], code[i]) << address;
            }
            EXPECT_EQ(memory[flash_offset("dp256", 0x3F, 0xC000)], 0xFF) << "the old code erased";
            EXPECT_EQ(memory[flash_offset("dp256", 0x3F, 0xFF0F)], 0xFD);
            EXPECT_EQ(programmed(memory), code.size() + 1) << "the code and the security byte";
            for (size_t i = 0; i < ee.size(); ++i) {
                const auto address = static_cast<uint32_t>(0x4101 + i);
                ASSERT_EQ(ee_read.at(address), ee[i]) << address;
                ASSERT_EQ(ee_memory[eeprom_offset("dp256", address)], ee[i]) << address;
            }
            EXPECT_EQ(ee_memory[eeprom_offset("dp256", 0x4FFD)], 0xF3) << "protection byte";
            const std::vector<uint8_t> ram_memory = ram("dp256");
            EXPECT_EQ(
                std::vector<uint8_t>(ram_memory.begin() + 0x1001, ram_memory.begin() + 0x1001 + 75),
                program);
        }
    }
}

TEST_F(TbdmlOperations, RefusedOrShortBlocksEndTheOperation) {
    struct Case {
        const char* fault;
        bool with_bulk;
        std::vector<std::string> args;
        const char* error;  // "" for the pod's silent refusal
    };
    const std::string back = dir.file("back.s19");
    const std::string ram_file =
        srec("ram.s19", s_record('1', 0x2001, pattern(75, 3)) + s_record('9', 0x2001));
    const Case cases[] = {
        {"usb-refuse:0x37", false, {"-G", back}, "TBDML refused the command <read block> at address <0x8000>\n"},
        {"usb-short:0x37", false, {"-G", back}, "device communication failed: unknown response\n"},
        {"usb-short:0x37", true, {"-G", back}, "device communication failed: unknown response\n"},
        {"usb-short:0x37:1", true, {"-G", back}, "device communication failed: unknown response\n"},
        {"usb-empty:0x37,after=3",
         true,
         {"-G", back},
         "device communication failed: unknown response\n"},
        {"usb-empty:0x41",
         true,
         {"-X", ram_file},
         "device communication failed: unknown response\n"},
        {"usb-refuse:0x41,after=1",
         true,
         {"-X", ram_file},
         "TBDML refused the command <write block> at address <0x2020>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + (c.with_bulk ? " -Y" : ""));
        bulk = c.with_bulk;
        fresh("dp256");
        std::remove(back.c_str());
        const test::ProcessResult r = zelv("dp256", c.args, "", {c.fault});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, *c.error == '\0' ? "" : std::string("\nerror: ") + c.error);
        EXPECT_FALSE(test::file_exists(back)) << "no file of what was not read";
        EXPECT_EQ(r.out.find("RAM run: image loaded and started"), std::string::npos);
    }
}

TEST_F(TbdmlOperations, Hc12RamRun) {
    const test::ProcessResult r = run_with_sim(
        {"--part", "b32", "--pod", "tbdml", "--state", state("b32")},
        {"-q", "-i", "tbdml", "-Y", "-t", data_file("mc68hc912b32.dat"), "-X",
         srec("hc12.s19", s_record('1', 0x0801, pattern(40, 4)) + s_record('9', 0x0801))});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace zelv::e2e
