// FLASH over the BDM12POD end to end, by both methods: erase and its verify on every block,
// writes and reads in each address format, the security word of -F, FSTAT failures, and
// what a secured part or an unknown FLASH module refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bdm_session.h"

namespace zelv::e2e {
namespace {

// The line after a refusal on a secured part.
constexpr const char* kHint =
    "hint: the part is secured, which keeps the BDM out of its memory; -U (or -F before "
    "writing) makes it usable by erasing it\n";

// The methods every operation is run by: the FLASH registers driven from the host, and the
// virtual target's RAM agent.
const std::vector<std::string> kMethods = {"bdm", "agent"};

class BdmFlash : public BdmSession {};

// A record's bytes: never 0xFF, different for every address.
std::vector<uint8_t> bytes_at(uint32_t address, size_t length) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>((address + i) * 7 % 0xFF);
    }
    return bytes;
}

TEST_F(BdmFlash, WriteAndReadBackInEveryAddressFormat) {
    struct Record {
        char type;
        uint32_t address;  // as the file gives it
        uint32_t page;     // where the bytes land
        size_t length;
    };
    struct Case {
        const char* part;
        const char* format;
        std::vector<Record> records;
    };
    // Each file reaches several blocks, and the fixed pages of the non-banked window lie in
    // block 0 whatever their offsets in the image say.
    const std::vector<Case> cases = {
        {"dp256",
         "non-banked",
         {{'1', 0x4000, 0x3E, 40},
          {'1', 0x8000, 0x30, 40},
          {'1', 0xBFF0, 0x30, 16},
          {'1', 0xC000, 0x3F, 600},
          {'1', 0xFFFE, 0x3F, 2}}},
        {"dp256",
         "banked-ppage",
         {{'2', 0x308000, 0x30, 32},
          {'2', 0x35A000, 0x35, 64},
          {'2', 0x3EBFE0, 0x3E, 32},
          {'2', 0x3F8000, 0x3F, 20}}},
        {"dp256",
         "banked-linear",
         {{'2', 0xC0000, 0x30, 48},
          {'2', 0xD7FF0, 0x35, 16},
          {'2', 0xD8000, 0x36, 16},
          {'2', 0xFC000, 0x3F, 40}}},
        {"xdp512",
         "banked-ppage",
         {{'2', 0xE08000, 0xE0, 32}, {'2', 0xFEBF00, 0xFE, 256}, {'2', 0xFF8000, 0xFF, 64}}},
        {"xdp512",
         "non-banked",
         {{'1', 0x4000, 0xFD, 64}, {'1', 0x8000, 0xFE, 64}, {'1', 0xC100, 0xFF, 64}}},
        {"dg128",
         "banked-linear",
         {{'2', 0xE0000, 0x38, 64}, {'2', 0xF0000, 0x3C, 64}, {'2', 0xFFF00, 0x3F, 64}}},
    };
    for (const std::string& method : kMethods) {
        for (const Case& c : cases) {
            SCOPED_TRACE(method + " " + c.part + " " + c.format);
            fresh(c.part);
            std::string text;
            std::map<uint32_t, uint8_t> expected;
            for (const Record& r : c.records) {
                for (size_t at = 0; at < r.length; at += 32) {
                    const size_t n = std::min<size_t>(32, r.length - at);
                    const auto address = static_cast<uint32_t>(r.address + at);
                    const std::vector<uint8_t> data = bytes_at(address, n);
                    text += s_record(r.type, address, data);
                    for (size_t i = 0; i < n; ++i) {
                        expected[static_cast<uint32_t>(address + i)] = data[i];
                    }
                }
            }
            const std::string file = srec("app.s19", text);
            const std::string back = dir.file("back.s19");
            const test::ProcessResult r = zelv(
                c.part, {"-a", c.format, "-v", "-E", "-H", file, "-G", back}, method_keys(method));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("FLASH erase: verify ok\n"), std::string::npos);
            // Records of the read carry the erased bytes beside the data.
            std::map<uint32_t, uint8_t> read = srec_bytes(back);
            std::erase_if(read, [](const auto& byte) { return byte.second == 0xFF; });
            EXPECT_EQ(read, expected) << "what was written reads back";

            // The part holds exactly the file, each byte in its page.
            const std::vector<uint8_t> memory = flash(c.part);
            size_t total = 0;
            for (const Record& rec : c.records) {
                const std::vector<uint8_t> data = bytes_at(rec.address, rec.length);
                for (size_t i = 0; i < rec.length; ++i) {
                    ASSERT_EQ(memory[flash_offset(c.part, rec.page,
                                                  static_cast<uint32_t>(rec.address + i))],
                              data[i])
                        << std::hex << rec.address + i;
                }
                total += rec.length;
            }
            EXPECT_EQ(programmed(memory), total);
        }
    }
}

TEST_F(BdmFlash, EraseAndVerifyReachEveryBlock) {
    for (const std::string& method : kMethods) {
        SCOPED_TRACE(method);
        fresh("dp256");
        // One word in each of the four blocks (pages 0x30, 0x34, 0x38, 0x3C).
        std::string text;
        for (uint32_t page : {0x30U, 0x34U, 0x38U, 0x3CU}) {
            text += s_record('2', page << 16 | 0x9000, {0x12, 0x34, 0x56, 0x78});
        }
        const std::string file = srec("blocks.s19", text);
        test::ProcessResult r =
            zelv("dp256", {"-a", "banked-ppage", "-F", "-H", file}, method_keys(method));
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(programmed(flash("dp256")), 17U) << "four words and the security byte";

        r = zelv("dp256", {"-v", "-E"}, method_keys(method));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(programmed(flash("dp256")), 0U) << "no block kept its word";

        // A cell in block 2 that no erase clears: the verify of that block catches it.
        r = zelv("dp256", {"-v", "-E"}, method_keys(method), {"stuck-flash:0x10000:0x7F"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nerror: FLASH erase verify failed - memory not clear\n");
    }
}

TEST_F(BdmFlash, UnsecureFlagLeavesThePartUnsecured) {
    for (const std::string& method : kMethods) {
        SCOPED_TRACE(method);
        for (const char* part : {"dp256", "xdp512"}) {
            fresh(part);
            test::ProcessResult r = zelv(part, {"-F"}, method_keys(method));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("FLASH erase: security byte set to unsecure state\n"),
                      std::string::npos);
            const BdmPart& p = kBdmParts.at(part);
            const std::vector<uint8_t> memory = flash(part);
            const uint32_t top = p.ppage_base + p.ppage_count - 1;
            EXPECT_EQ(memory[flash_offset(part, top, 0xFF0E)], 0xFF);
            EXPECT_EQ(memory[flash_offset(part, top, 0xFF0F)], 0xFE);
            EXPECT_EQ(programmed(memory), 1U);
            r = zelv(part, {}, method_keys(method));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("part security <unsecured>"), std::string::npos) << r.out;
        }
    }
}

TEST_F(BdmFlash, StatusRegisterFailures) {
    struct Case {
        std::vector<std::string> args;
        const char* fault;
        const char* message;
    };
    const std::string file = srec("app.s19", s_record('1', 0xC000, {1, 2, 3, 4}));
    const Case cases[] = {
        {{"-H", file}, "flash-pviol:0x20", "FLASH protection violation (PVIOL bit set)"},
        {{"-H", file}, "flash-accerr:0x20,after=1", "FLASH access error (ACCERR bit set)"},
        {{"-E"}, "flash-accerr:0x41", "FLASH access error (ACCERR bit set)"},
        {{"-v", "-E"}, "flash-pviol:0x05", "FLASH protection violation (PVIOL bit set)"},
        {{"-H", file}, "flash-hang:0x20", "FLASH operation timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        fresh("dp256");
        const test::ProcessResult r = zelv("dp256", c.args, method_keys("bdm"), {c.fault});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nerror: ") + c.message + "\n");
    }
    // What was programmed before the failing word stays.
    EXPECT_EQ(programmed(flash("dp256")), 0U);
    fresh("dp256");
    const test::ProcessResult r =
        zelv("dp256", {"-H", file}, method_keys("bdm"), {"flash-pviol:0x20,after=1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(flash("dp256")[flash_offset("dp256", 0x3F, 0xC000)], 0x01);
    EXPECT_EQ(flash("dp256")[flash_offset("dp256", 0x3F, 0xC002)], 0xFF);
}

TEST_F(BdmFlash, SecuredPartNeedsForceToBeReadOrWritten) {
    for (const std::string& method : kMethods) {
        SCOPED_TRACE(method);
        fresh("c32");
        std::remove(dir.file("out.s19").c_str());
        const std::string file = srec("app.s19", s_record('1', 0xC000, {1, 2, 3, 4}));
        // Written, its security byte still erased: secured from the next reset on.
        test::ProcessResult r = zelv("c32", {"-H", file}, method_keys(method));
        ASSERT_EQ(r.status, 0) << r.err;
        r = zelv("c32", {"-G", dir.file("out.s19")}, method_keys(method));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "\nerror: FLASH read not possible - MCU secured (-f option forces the "
                  "operation)\n" +
                      std::string(kHint));
        EXPECT_FALSE(test::file_exists(dir.file("out.s19")));
        r = zelv("c32", {"-H", file}, method_keys(method));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "\nerror: FLASH write not possible - MCU secured (-f option forces the "
                  "operation)\n" +
                      std::string(kHint));
        // Forced, a read by registers gets only the zeros a secured part gives the BDM, which
        // is no file; the agent cannot even be loaded into the part's RAM.
        r = zelv("c32", {"-f", "-G", dir.file("out.s19")}, method_keys(method));
        if (method == "bdm") {
            EXPECT_EQ(r.status, 1);
            EXPECT_NE(r.err.find("FLASH read: nothing but zeros read"), std::string::npos);
            EXPECT_FALSE(test::file_exists(dir.file("out.s19")));
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "\nerror: RAM agent load not possible - MCU secured\n");
        }
        EXPECT_EQ(flash("c32")[flash_offset("c32", 0x3F, 0xC000)], 0x01) << "nothing changed";

        // Erasing needs no -f, and goes by registers, which a secured part still takes,
        // whatever the method.
        r = zelv("c32", {"-v", "-E"}, method_keys(method));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(programmed(flash("c32")), 0U);
    }
}

TEST_F(BdmFlash, UnknownFlashModuleIsRefusedBeforeAnyAccess) {
    const std::string description = data_file("mc68hc912b32.dat");
    // An image without data: the file is read before the part is reached, and must be there.
    test::write_file(dir.file("f.s19"), "S9030000FC\n");
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"-G", dir.file("f.s19")}, "FLASH read not possible - unknown FLASH module"},
        {{"-H", dir.file("f.s19")}, "FLASH write not possible - unknown FLASH module"},
        {{"-E"}, "FLASH erase not possible - unknown FLASH module"},
        {{"-F"}, "FLASH erase not possible - unknown FLASH module"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"-i", "bdm12pod", "-p", "@PORT@",   "-o",
                                         "8M", "-q",       "-t", description};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r =
            run_with_sim({"--part", "b32", "--pod", "bdm12pod", "--state", state("b32")}, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nerror: ") + c.message + "\n");
    }
}

}  // namespace
}  // namespace zelv::e2e
