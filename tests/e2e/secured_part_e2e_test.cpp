// A secured part over BDM, and memory windows the part does not show: erased whatever the
// method keys say and seen as it is afterwards, no file of zeros as a success, refusals that
// say what to do. End to end through the BDM12POD of the virtual target.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bdm_session.h"

namespace zelv::e2e {
namespace {

// Every FLASH and EEPROM operation through the shipped HCS12 agent on the core.
std::string shipped_agent_keys() {
    const std::string keys = method_keys("agent");
    return "bdm_agent " + data_file("hcs12-bdm-agent.s19") + "\n" +
           keys.substr(keys.find('\n') + 1);
}

class SecuredPart : public BdmSession {
protected:
    // The dp256 secured by -S, its FLASH and EEPROM otherwise blank.
    void secure(const std::string& keys) {
        fresh("dp256");
        const test::ProcessResult r = zelv("dp256", {"-q", "-S"}, keys);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    uint8_t flash_at(uint32_t address) {
        return flash("dp256")[flash_offset("dp256", 0x3F, address)];
    }
};

// A secured part's BDM runs no code: the erases go by registers with the agent keys set (the
// stand-in, and the shipped agent), and the operations after an erase see the part as it is.
TEST_F(SecuredPart, ErasedWhateverTheMethodAndSeenAsItIsAfterwards) {
    const std::string app = srec("app.s19", s_record('1', 0xC000, {1, 2, 3, 4}) + s_record('9', 0));
    const std::string ee = srec("ee.s19", s_record('1', 0x4100, {5, 6}));
    for (const std::string& keys : {method_keys("agent"), shipped_agent_keys()}) {
        SCOPED_TRACE(keys.substr(0, keys.find('\n')));
        secure(keys);
        test::ProcessResult r = zelv("dp256", {"-q", "-E", "-H", app}, keys);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(flash_at(0xC000), 0x01);

        // Written with its security byte erased, the part is secured again.
        r = zelv("dp256", {"-v", "-F"}, keys);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("FLASH erase: verify ok\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("FLASH erase: security byte set to unsecure state\n"),
                  std::string::npos);
        EXPECT_EQ(flash_at(0xC000), 0xFF);
        r = zelv("dp256", {"-q", "-G", dir.file("out.s19")}, keys);
        EXPECT_EQ(r.status, 0) << r.err;

        // EEPROM data keeps a part with an erased FLASH secured: -F cannot program the
        // security word then, and says what can; -A erases it by registers.
        ASSERT_EQ(zelv("dp256", {"-q", "-C", ee, "-S"}, keys).status, 0);
        r = zelv("dp256", {"-q", "-F"}, keys);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "\nerror: FLASH erase: security byte not programmed - the EEPROM still holds "
                  "data, which keeps the part secured\nhint: -U erases FLASH and EEPROM and "
                  "unsecures the part\n");
        r = zelv("dp256", {"-q", "-v", "-A", "-F", "-C", ee}, keys);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(eeprom("dp256")[eeprom_offset("dp256", 0x4100)], 0x05);
    }
}

// Forced reads of a secured part: nothing but zeros is the BDM's view of its security, not
// its memory, and leaves no file; -S on it says the security byte needs an erase.
TEST_F(SecuredPart, ForcedReadOfZerosFailsAndForcedSecureSaysWhy) {
    const std::string keys = method_keys("bdm");
    secure(keys);
    const std::string hint = "hint: -U unsecures the part by erasing it\n";
    const struct {
        std::string option;
        std::string what;
    } reads[] = {{"-G", "FLASH read"}, {"-B", "EEPROM read"}};
    for (const auto& c : reads) {
        const std::string out = dir.file("out.s19");
        const test::ProcessResult r = zelv("dp256", {"-q", "-f", c.option, out}, keys);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nerror: " + c.what +
                             ": nothing but zeros read - the part is secured, and its security "
                             "keeps the BDM out of its memory; no file written\n" +
                             hint);
        EXPECT_FALSE(test::file_exists(out));
    }
    const test::ProcessResult r = zelv("dp256", {"-q", "-f", "-S"}, keys);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "\nerror: FLASH access error (ACCERR bit set)\n"
              "hint: the security byte can only be programmed after an erase (-E)\n");
}

// An EEPROM the part does not show where the description expects it, and RAM under the
// registers, are refused before the first operation, naming the overlap and the init byte.
TEST_F(SecuredPart, MemoryWindowsThePartDoesNotShowAreRefused) {
    const std::string shipped = test::read_file(data_file("mc9s12dp256.dat"));
    const std::string ee_line = "bdm_init_byte 0x0012 0x41\n";
    const std::string ram_line = "bdm_init_byte 0x0010 0x39\n";
    ASSERT_NE(shipped.find(ee_line), std::string::npos);
    ASSERT_NE(shipped.find(ram_line), std::string::npos);
    auto without = [&](const std::string& line, const std::string& instead) {
        std::string text = shipped;
        text.replace(text.find(line), line.size(), instead);
        return text;
    };
    const std::string ee = srec("ee.s19", s_record('1', 0x0400, {1, 2}));
    const std::string prog =
        srec("prog.s19", s_record('1', 0x0400, {0x20, 0xFE}) + s_record('9', 0x0400));
    const std::string hidden =
        "EEPROM at 0x0000-0x0FFF overlaps the register block at 0x0000-0x03FF\n"
        "hint: move the EEPROM with a bdm_init_byte line for INITEE (0x0012) "
        "in the target description\n";
    const std::string off =
        "EEPROM disabled (INITEE EEON clear)\nhint: a bdm_init_byte line for "
        "INITEE (0x0012) in the target description switches the EEPROM on and "
        "places it (bit 0 EEON, bits 7-3 the address)\n";
    const struct {
        std::string description;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {without(ee_line, ""), {"-B", dir.file("out.s19")}, "EEPROM read not possible - " + hidden},
        {without(ee_line, ""), {"-E", "-C", ee}, "EEPROM write not possible - " + hidden},
        {without(ee_line, "bdm_init_byte 0x0012 0x40\n"),
         {"-E", "-A"},
         "EEPROM erase not possible - " + off},
        {without(ee_line, "bdm_init_byte 0x0012 0x40\n"),
         {"-D", "all"},
         "EEPROM protect not possible - " + off},
        {without(ram_line, "bdm_init_byte 0x0010 0x00\n"),
         {"-E", "-X", prog},
         "RAM load not possible - RAM at 0x0000-0x2FFF overlaps the register block at "
         "0x0000-0x03FF\nhint: move the RAM with a bdm_init_byte line for INITRM (0x0010) in the "
         "target description\n"},
    };
    const std::string app = srec("app.s19", s_record('1', 0xC000, {1, 2}));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        fresh("dp256");
        ASSERT_EQ(zelv("dp256", {"-q", "-F", "-H", app}).status, 0);
        const std::string description = dir.file("moved.dat");
        test::write_file(description, c.description);
        std::vector<std::string> args = {"-q", "-i",  "bdm12pod", "-p",       "@PORT@",
                                         "-o", "16M", "-t",       description};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const test::ProcessResult r =
            run_with_sim({"--part", "dp256", "--pod", "bdm12pod", "--state", state("dp256")}, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nerror: " + c.message);
        EXPECT_EQ(flash_at(0xC000), 0x01) << "erased before the refusal";
    }
}

// Where the description fixes the RAM window (the HCS12X; INITRM by an init byte), a -X file
// outside it stops the run before the erase in front of it.
TEST_F(SecuredPart, RamImageOutsideAKnownWindowIsRefusedBeforeOpen) {
    const std::string prog =
        srec("prog.s19", s_record('1', 0x4000, {0x20, 0xFE}) + s_record('9', 0x4000));
    const std::string app = srec("app.s19", s_record('1', 0xC000, {1, 2}));
    for (const std::string part : {"dp256", "xdp512"}) {
        SCOPED_TRACE(part);
        fresh(part);
        ASSERT_EQ(zelv(part, {"-q", "-F", "-H", app}).status, 0);
        const std::vector<uint8_t> before = flash(part);
        const test::ProcessResult r = zelv(part, {"-q", "-E", "-X", prog});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nerror: " + prog + ":1: data block address <0x4000> out of range\n");
        EXPECT_EQ(flash(part), before);
    }
}

}  // namespace
}  // namespace zelv::e2e
