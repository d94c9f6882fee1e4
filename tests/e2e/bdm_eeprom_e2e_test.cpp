// EEPROM over the BDM12POD end to end, by both methods: erase and its verify, writes with
// their read-back, protection and its verify, ESTAT failures, and a secured part.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bdm_session.h"

namespace zelv::e2e {
namespace {

// The line after a refusal on a secured part.
constexpr const char* kHint =
    "hint: the part is secured, which keeps the BDM out of its memory; -U (or -F before "
    "writing) makes it usable by erasing it\n";

const std::vector<std::string> kMethods = {"bdm", "agent"};

class BdmEeprom : public BdmSession {};

TEST_F(BdmEeprom, WriteReadBackAndProtect) {
    struct Case {
        const char* part;
        uint32_t first;  // where the data goes: an odd start, an even end
        const char* range;
        uint8_t byte;
        const char* line;
    };
    const Case cases[] = {
        {"dp256", 0x4101, "256B", 0xF3,
         "EEPROM protect: address range <0x4F00-0x4FFF> block size <256B>\n"},
        {"dg128", 0x0A21, "all", 0x7F, "EEPROM protect: whole area\n"},
        {"xdp512", 0x0C01, "64b", 0xF0,
         "EEPROM protect: address range <0x0FC0-0x0FFF> block size <64B>\n"},
    };
    for (const std::string& method : kMethods) {
        for (const Case& c : cases) {
            SCOPED_TRACE(method + " " + c.part);
            fresh(c.part);
            std::vector<uint8_t> data(0x51);
            for (size_t i = 0; i < data.size(); ++i) {
                data[i] = static_cast<uint8_t>(0x30 + i);
            }
            const std::string file = srec(
                "ee.s19",
                s_record('1', c.first, std::vector<uint8_t>(data.begin(), data.begin() + 0x30)) +
                    s_record('1', c.first + 0x30,
                             std::vector<uint8_t>(data.begin() + 0x30, data.end())));
            const std::string back = dir.file("back.s19");
            // -F first, so that the part with data in its EEPROM stays unsecured.
            test::ProcessResult r =
                zelv(c.part, {"-v", "-F", "-A", "-C", file, "-D", c.range, "-B", back},
                     method_keys(method));
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.out.find("EEPROM erase: memory erased\nEEPROM erase: verify ok\n"),
                      std::string::npos);
            EXPECT_NE(r.out.find("EEPROM write: verify ok\n"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find(std::string(c.line) + "EEPROM protect: verify ok\n"),
                      std::string::npos)
                << r.out;

            // The part holds the data and the protection byte, nothing else; the file read
            // back says the same.
            const std::vector<uint8_t> memory = eeprom(c.part);
            const BdmPart& p = kBdmParts.at(c.part);
            std::map<uint32_t, uint8_t> expected;
            for (size_t i = 0; i < data.size(); ++i) {
                EXPECT_EQ(memory[eeprom_offset(c.part, c.first + static_cast<uint32_t>(i))],
                          data[i]);
                expected[c.first + static_cast<uint32_t>(i)] = data[i];
            }
            const uint32_t protection = p.eeprom_base + p.eeprom_window - 3;
            EXPECT_EQ(memory[eeprom_offset(c.part, protection)], c.byte);
            EXPECT_EQ(programmed(memory), data.size() + 1) << "nothing else programmed";
            expected[protection] = c.byte;
            std::map<uint32_t, uint8_t> read = srec_bytes(back);
            std::erase_if(read, [](const auto& byte) { return byte.second == 0xFF; });
            EXPECT_EQ(read, expected);

            // From the next reset on the protection is in force: a second -D needs -f, and
            // forced, the field's own cells refuse the write.
            r = zelv(c.part, {"-D", "512B"}, method_keys(method));
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "\nerror: EEPROM protection already set\n");
            r = zelv(c.part, {"-f", "-D", c.range}, method_keys(method));
            EXPECT_EQ(r.status, 1);
            // Both methods name the module's error bit alike.
            EXPECT_EQ(r.err, "\nerror: EEPROM protection violation (PVIOL bit set)\n");
            EXPECT_EQ(eeprom(c.part), memory);
        }
    }
}

TEST_F(BdmEeprom, ProtectedAreaAndVerifyFailures) {
    for (const std::string& method : kMethods) {
        SCOPED_TRACE(method);
        fresh("dp256");
        // The last 16 bytes need -f. (-F first: with data in its EEPROM the part stays
        // unsecured.)
        const std::string top = srec("top.s19", s_record('1', 0x4FF0, {1, 2}));
        test::ProcessResult r = zelv("dp256", {"-F", "-C", top}, method_keys(method));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "\nerror: EEPROM data covers protected area. If this is intended, consider "
                  "-f option.\n");
        EXPECT_EQ(programmed(eeprom("dp256")), 0U);
        r = zelv("dp256", {"-f", "-C", top}, method_keys(method));
        EXPECT_EQ(r.status, 0) << r.err;

        // Over programmed cells without an erase: the cells only clear bits, and the
        // read-back says where.
        const std::string file = srec("ee.s19", s_record('1', 0x4200, {0x0F, 0xF0}));
        r = zelv("dp256", {"-C", file}, method_keys(method));
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string other = srec("other.s19", s_record('1', 0x4200, {0xF1, 0x1F}));
        r = zelv("dp256", {"-v", "-C", other}, method_keys(method));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "\nerror: EEPROM data verify error at address <0x4200> value <0x0110> "
                  "expected <0xF11F>\n");
        r = zelv("dp256", {"-C", other}, method_keys(method));
        EXPECT_EQ(r.status, 0) << "without -v nothing is read back: " << r.err;

        // Not blank after the erase.
        r = zelv("dp256", {"-v", "-A"}, method_keys(method), {"stuck-eeprom:0x200:0x00"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nerror: EEPROM erase verify failed - memory not clear\n");
    }
}

TEST_F(BdmEeprom, StatusRegisterFailures) {
    struct Case {
        std::vector<std::string> args;
        const char* fault;
        const char* message;
    };
    const std::string file = srec("ee.s19", s_record('1', 0x4100, {1, 2, 3, 4}));
    const Case cases[] = {
        {{"-C", file}, "eeprom-pviol:0x20", "EEPROM protection violation (PVIOL bit set)"},
        {{"-A"}, "eeprom-accerr:0x41", "EEPROM access error (ACCERR bit set)"},
        {{"-v", "-A"}, "eeprom-accerr:0x05", "EEPROM access error (ACCERR bit set)"},
        {{"-D", "all"}, "eeprom-pviol", "EEPROM protection violation (PVIOL bit set)"},
        {{"-A"}, "eeprom-hang:0x41", "EEPROM operation timed out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        fresh("dp256");
        const test::ProcessResult r = zelv("dp256", c.args, method_keys("bdm"), {c.fault});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("\nerror: ") + c.message + "\n");
    }
}

TEST_F(BdmEeprom, SecuredPart) {
    for (const std::string& method : kMethods) {
        SCOPED_TRACE(method);
        fresh("dp256");
        const std::string file = srec("ee.s19", s_record('1', 0x4100, {1, 2, 3, 4}));
        test::ProcessResult r = zelv("dp256", {"-C", file}, method_keys(method));
        ASSERT_EQ(r.status, 0) << r.err;  // not blank any more: secured from now on
        const struct {
            std::vector<std::string> args;
            const char* what;
        } refused[] = {
            {{"-B", dir.file("out.s19")}, "EEPROM read"},
            {{"-C", file}, "EEPROM write"},
            {{"-D", "all"}, "EEPROM protect"},
        };
        for (const auto& op : refused) {
            r = zelv("dp256", op.args, method_keys(method));
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, std::string("\nerror: ") + op.what +
                                 " not possible - MCU secured (-f option forces the operation)\n" +
                                 std::string(kHint));
        }
        // Erasing needs no -f, and goes by registers whatever the method: the agent cannot
        // be loaded into a secured part.
        r = zelv("dp256", {"-v", "-A"}, method_keys(method));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(programmed(eeprom("dp256")), 0U);
    }
}

}  // namespace
}  // namespace zelv::e2e
