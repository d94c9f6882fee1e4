// EEPROM over BDM against a fake pod: the protected area, word widening, the agent's
// batches, verify, erase and its verify by both methods, and protection.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bdm/bdm_agent.h"
#include "bdm/bdm_operations.h"
#include "bdm_engine_fixture.h"

namespace zelv::test {
namespace {

// The line after a refusal on a secured part.
constexpr const char* kHint =
    "hint: the part is secured, which keeps the BDM out of its memory; -U (or -F before "
    "writing) makes it usable by erasing it\n";

constexpr uint16_t kEprot = 0x0114;
constexpr uint16_t kEstat = 0x0115;

class EepromTest : public BdmEngineTest {
protected:
    void SetUp() override {
        BdmEngineTest::SetUp();
        estat(0xC0);
        pod.memory()[kEprot] = 0xFF;
    }

    void estat(uint8_t value) {
        pod.hold(kEstat);
        pod.memory()[kEstat] = value;
    }

    // An EEPROM file of bytes from address on.
    std::string data(uint16_t address, std::size_t length, uint8_t seed = 1) {
        std::vector<uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<uint8_t>(seed + i);
        }
        std::string text;
        for (std::size_t at = 0; at < length; at += 32) {
            const std::size_t n = std::min<std::size_t>(32, length - at);
            text += srec_line('1', static_cast<uint16_t>(address + at),
                              std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                                   bytes.begin() + static_cast<long>(at + n)));
        }
        return file("ee.s19", text);
    }

    int write(const std::string& path) {
        return run([&] { return bdm_eeprom_write(path.c_str()); });
    }
};

TEST_F(EepromTest, ProtectedAreaOfA4KEepromAt0) {
    use("FTS256K");
    EXPECT_EQ(write(data(0x0FE0, 0x10)), 0) << "ending at 0x0FEF: " << err;
    EXPECT_EQ(write(data(0x0FE0, 0x11)), EINVAL);
    EXPECT_EQ(err,
              "\nerror: EEPROM data covers protected area. If this is intended, consider -f "
              "option.\n");
    settings().force = 1;
    EXPECT_EQ(write(data(0x0FE0, 0x11)), 0) << err;
}

TEST_F(EepromTest, DirectWriteWidensToWholeWords) {
    use("FTS256K");
    settings().verbose = 1;
    ASSERT_EQ(write(data(0x0101, 4)), 0) << err;
    EXPECT_EQ(pod.calls_of("write_word"),
              (Lines{"write_word 0100 FF01", "write_word 0102 0203", "write_word 0104 04FF"}));
    EXPECT_EQ(pod.calls_of("write_byte"),
              (Lines{"write_byte 0116 20", "write_byte 0115 80", "write_byte 0116 20",
                     "write_byte 0115 80", "write_byte 0116 20", "write_byte 0115 80"}));
    EXPECT_NE(out.find("EEPROM write: address range <0x0101-0x0104> length <0x0004>\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("EEPROM write: data size <6 B>"), std::string::npos) << out;

    // A file without data records writes and verifies nothing.
    pod.clear_calls();
    settings().verify = 1;
    ASSERT_EQ(write(file("empty.s19", "S0030000FC\n" + srec_line('9', 0))), 0) << err;
    EXPECT_TRUE(pod.calls().empty());
}

TEST_F(EepromTest, AgentWritesInBufferSizedBatches) {
    struct Case {
        uint16_t address;
        std::size_t length;
        Lines commands;  // after the initialise command
    };
    const Case cases[] = {
        {0x0400,
         0x100,
         {"05 04 00 0040 0000", "05 04 40 0040 0000", "05 04 80 0040 0000", "05 04 C0 0040 0000"}},
        {0x0400, 0x42, {"05 04 00 0040 0000", "05 04 40 0002 0000"}},
        {0x0401, 0x3F, {"05 04 00 0040 0000"}},
    };
    for (const Case& c : cases) {
        use("FTS256K", "EETS4K", agent_keys({"bdm_eeprom_write"}));
        agent.commands.clear();
        agent.install(pod);
        pod.clear_calls();
        bdm_state().agent_loaded = false;
        ASSERT_EQ(write(data(c.address, c.length)), 0) << err;
        Lines expected = {"00 3E 80 0000 0000"};
        expected.insert(expected.end(), c.commands.begin(), c.commands.end());
        EXPECT_EQ(agent.commands, expected) << c.length;
        EXPECT_EQ(pod.calls_of("write_block 3900").size(), c.commands.size());
    }
}

TEST_F(EepromTest, VerifyReadsBackEveryWord) {
    use("FTS256K");
    settings().verify = 1;
    settings().verbose = 1;
    ASSERT_EQ(write(data(0x0200, 0x300)), 0) << err;
    EXPECT_EQ(pod.calls_of("read_block"),
              (Lines{"read_block 0200 256", "read_block 0300 256", "read_block 0400 256"}));
    EXPECT_NE(out.find("EEPROM write: verify ok\n"), std::string::npos);

    // A word that does not take its value.
    pod.hold(0x0302);
    pod.memory()[0x0302] = 0xA5;
    EXPECT_EQ(write(data(0x0200, 0x300)), EIO);
    EXPECT_EQ(err,
              "\nerror: EEPROM data verify error at address <0x0302> value <0xA504> expected "
              "<0x0304>\n");
}

TEST_F(EepromTest, EraseAndItsVerifyByBothMethods) {
    use("FTS256K");
    settings().verbose = 1;
    settings().verify = 1;
    estat(0xC4);
    ASSERT_EQ(run([] { return bdm_eeprom_erase(); }), 0) << err;
    EXPECT_EQ(writes(), (Lines{"write_byte 0114 FF", "write_byte 0115 30", "write_word 011A 0000",
                               "write_word 0118 0000", "write_byte 0116 41", "write_byte 0115 80",
                               "write_byte 0115 30", "write_word 011A 0000", "write_word 0118 0000",
                               "write_byte 0116 05", "write_byte 0115 80"}));
    EXPECT_EQ(out, "EEPROM erase: memory erased\nEEPROM erase: verify ok\n");
    estat(0xC0);
    EXPECT_EQ(run([] { return bdm_eeprom_erase(); }), EIO);
    EXPECT_EQ(err, "\nerror: EEPROM erase verify failed - memory not clear\n");
    estat(0x90);
    EXPECT_EQ(run([] { return bdm_eeprom_erase(); }), EIO);
    EXPECT_EQ(err, "\nerror: EEPROM access error (ACCERR bit set)\n");

    struct Case {
        uint8_t status;
        int result;
        const char* message;
    };
    const Case cases[] = {
        {0, 0, ""},
        {3, EIO, "EEPROM erase verify failed - memory not clear"},
        {0x44, EINVAL, "EEPROM erase verify failed - unknown response (status 0x44)"},
    };
    for (const Case& c : cases) {
        use("FTS256K", "EETS4K", agent_keys({"bdm_eeprom_erase"}));
        agent.commands.clear();
        agent.status[agent_cmd::kEepromEraseVerify] = c.status;
        agent.install(pod);
        bdm_state().agent_loaded = false;
        EXPECT_EQ(run([] { return bdm_eeprom_erase(); }), c.result);
        EXPECT_EQ(err, c.message[0] != '\0' ? std::string("\nerror: ") + c.message + "\n" : "");
        EXPECT_EQ(agent.commands,
                  (Lines{"00 3E 80 0000 0000", "01 39 00 0040 0000", "02 39 00 0040 0000"}));
    }
}

TEST_F(EepromTest, ProtectionByteAndItsWord) {
    struct Case {
        const char* range;
        uint8_t value;
        const char* line;
    };
    const Case cases[] = {
        {"256B", 0xF3, "EEPROM protect: address range <0x0F00-0x0FFF> block size <256B>\n"},
        {"128b", 0xF1, "EEPROM protect: address range <0x0F80-0x0FFF> block size <128B>\n"},
        {"all", 0x7F, "EEPROM protect: whole area\n"},
    };
    for (const Case& c : cases) {
        use("FTS256K");
        pod.clear_calls();
        pod.memory()[0x0FFC] = 0x5A;  // the word's other byte keeps its value
        settings().verbose = 1;
        settings().verify = 1;
        ASSERT_EQ(run([&] { return bdm_eeprom_protect(c.range); }), 0) << err;
        char word[32];
        std::snprintf(word, sizeof word, "write_word 0FFC 5A%02X", c.value);
        EXPECT_EQ(pod.calls_of("write_word"), (Lines{word}));
        EXPECT_EQ(out, std::string(c.line) + "EEPROM protect: verify ok\n");
    }
    EXPECT_EQ(run([] { return bdm_eeprom_protect("ALL"); }), EINVAL);
    EXPECT_EQ(err, "\nerror: invalid EEPROM protection area: ALL\n");

    // Already protected: refused without -f, rewritten with it.
    pod.memory()[kEprot] = 0xF3;
    EXPECT_EQ(run([] { return bdm_eeprom_protect("64B"); }), EINVAL);
    EXPECT_EQ(err, "\nerror: EEPROM protection already set\n");
    settings().force = 1;
    ASSERT_EQ(run([] { return bdm_eeprom_protect("64B"); }), 0) << err;
    EXPECT_EQ(out.substr(0, 58), "EEPROM protect: protection already set - forced overwrite\n");

    // The byte does not take.
    pod.hold(0x0FFD);
    pod.memory()[0x0FFD] = 0xFF;
    EXPECT_EQ(run([] { return bdm_eeprom_protect("64B"); }), EIO);
    EXPECT_EQ(err, "\nerror: EEPROM protection error\n");
}

TEST_F(EepromTest, AgentProtectSendsTheFieldInBatches) {
    struct Case {
        uint16_t buffer_size;
        Lines commands;
    };
    const Case cases[] = {
        {0x40, {"05 0F F0 0010 0000"}},
        {0x08, {"05 0F F0 0008 0000", "05 0F F8 0008 0000"}},
    };
    for (const Case& c : cases) {
        use("FTS256K", "EETS4K", agent_keys({"bdm_eeprom_protect"}));
        agent.commands.clear();
        agent.buffer_size = c.buffer_size;
        agent.install(pod);
        bdm_state().agent_loaded = false;
        ASSERT_EQ(run([] { return bdm_eeprom_protect("512B"); }), 0) << err;
        Lines expected = {"00 3E 80 0000 0000"};
        expected.insert(expected.end(), c.commands.begin(), c.commands.end());
        EXPECT_EQ(agent.commands, expected);
        EXPECT_EQ(pod.memory()[0x3900 + 0x10 - 3 - (c.buffer_size == 8 ? 8 : 0)], 0xF7);
    }
}

TEST_F(EepromTest, SecuredAndAbsentEeprom) {
    use("FTS256K");
    target().secured = 1;
    // For the connect after the erase: PARTID 0x0012, EEPROM on at 0x4000.
    pod.memory()[0x001B] = 0x12;
    pod.memory()[0x0012] = 0x41;
    EXPECT_EQ(run([] { return bdm_eeprom_erase(); }), 0) << "erasing needs no -f: " << err;
    target().secured = 1;
    const struct {
        const char* what;
        int (*call)();
    } refused[] = {
        {"EEPROM read", [] { return bdm_eeprom_read("e.s19"); }},
        {"EEPROM write", [] { return bdm_eeprom_write("e.s19"); }},
        {"EEPROM protect", [] { return bdm_eeprom_protect("all"); }},
    };
    for (const auto& op : refused) {
        EXPECT_EQ(run(op.call), EIO);
        EXPECT_EQ(err, std::string("\nerror: ") + op.what +
                           " not possible - MCU secured (-f option forces the operation)\n" +
                                 std::string(kHint));
    }
    use("FTS256K", "NONE");
    pod.clear_calls();
    for (const auto& op : refused) {
        EXPECT_EQ(run(op.call), EINVAL);
        EXPECT_EQ(err, std::string("\nerror: ") + op.what + " not possible - no EEPROM memory\n");
    }
    EXPECT_EQ(run([] { return bdm_eeprom_erase(); }), EINVAL);
    EXPECT_EQ(err, "\nerror: EEPROM erase not possible - no EEPROM memory\n");
    EXPECT_TRUE(pod.calls().empty());
}

}  // namespace
}  // namespace zelv::test
