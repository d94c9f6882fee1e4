// The method keys, the RAM agent's load and command protocol, and RAM run, against a fake
// pod whose GO runs a scripted agent.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "bdm/bdm_agent.h"
#include "bdm/bdm_operations.h"
#include "bdm/bdm_ram.h"
#include "bdm_engine_fixture.h"

namespace zelv::test {
namespace {

class AgentTest : public BdmEngineTest {};

TEST_F(AgentTest, MethodKeys) {
    struct Case {
        const char* line;  // the description's line for the key, if any
        int result;
        BdmMethod method;
    };
    const Case cases[] = {
        {"", 0, BdmMethod::kDirect},
        {"bdm_flash_write bdm\n", 0, BdmMethod::kDirect},
        {"bdm_flash_write agent\n", 0, BdmMethod::kAgent},
        {"bdm_flash_write Agent\n", EINVAL, BdmMethod::kDirect},
        {"bdm_flash_write BDM\n", EINVAL, BdmMethod::kDirect},
        {"bdm_flash_write agent2\n", EINVAL, BdmMethod::kDirect},
        {"bdm_flash_write \n", EINVAL, BdmMethod::kDirect},
    };
    for (const Case& c : cases) {
        use("FTS256K", "EETS4K", std::string("bdm_flash_read agent\n") + c.line);
        BdmMethod method = BdmMethod::kDirect;
        EXPECT_EQ(run([&] { return select_method("bdm_flash_write", &method); }), c.result)
            << c.line;
        if (c.result == 0) {
            EXPECT_EQ(method, c.method) << c.line;
            EXPECT_EQ(err, "");
        } else {
            const std::string value = std::string(c.line).substr(16);
            EXPECT_EQ(err, "\nerror: invalid bdm_flash_write method: " +
                               value.substr(0, value.size() - 1) + "\n");
        }
    }
}

TEST_F(AgentTest, LoadFillsTheParameterBlockAndStartsAtTheEntry) {
    use("FTS256K", "EETS4K", agent_keys({}));
    agent.install(pod);
    settings().debug = 1;
    ASSERT_EQ(run([] { return agent_load(); }), 0) << err;
    EXPECT_EQ(pod.calls(),
              (Lines{"write_block 3800 32", "write_word 3802 3E80", "write_byte 3800 00",
                     "write_byte 3801 02", "write_reg 0000 3810", "go", "read_bd_byte FF01",
                     "read_byte 3801", "read_word 3802", "read_word 3804"}));
    EXPECT_EQ(agent.commands, (Lines{"00 3E 80 0000 0000"})) << "16000 kHz for 16 MHz";
    const BdmEngineState& state = bdm_state();
    EXPECT_TRUE(state.agent_loaded);
    EXPECT_EQ(state.agent_params, 0x3800);
    EXPECT_EQ(state.agent_buffer, 0x3900);
    EXPECT_EQ(state.agent_buffer_size, 0x40);
    EXPECT_EQ(state.ram_entry, 0x3810U);
    EXPECT_NE(out.find("RAM agent data buffer address <0x3900> length <0x0040>\n"),
              std::string::npos)
        << out;

    // Loaded once: agent_require leaves it where it is.
    const size_t calls = pod.calls().size();
    ASSERT_EQ(agent_require(), 0);
    EXPECT_EQ(pod.calls().size(), calls);
}

TEST_F(AgentTest, StatusCodes) {
    struct Case {
        uint8_t status;
        bool place;
        int result;
        const char* message;
    };
    const Case cases[] = {
        {0, false, 0, ""},
        {0, true, 0, ""},
        {1, true, EINVAL, "unable to proceed - oscillator frequency invalid"},
        {2, true, EOPNOTSUPP, "unable to proceed - command not supported"},
        {3, false, EINVAL, "unable to proceed - unknown response (status 0x03)"},
        {3, true, 0, ""},
        {0x7F, false, EINVAL, "unable to proceed - unknown response (status 0x7F)"},
        {0x7F, true, 0, ""},
    };
    use("FTS256K", "EETS4K", agent_keys({}));
    agent.install(pod);
    ASSERT_EQ(run([] { return agent_load(); }), 0) << err;
    for (const Case& c : cases) {
        agent.status[agent_cmd::kFlashBlockEraseVerify] = c.status;
        uint8_t status = 0xEE;
        EXPECT_EQ(run([&] {
                      return agent_command(agent_cmd::kFlashBlockEraseVerify,
                                           c.place ? &status : nullptr);
                  }),
                  c.result)
            << int{c.status};
        EXPECT_EQ(err, c.message[0] != '\0' ? std::string("\nerror: ") + c.message + "\n" : "");
        if (c.place && c.result == 0) {
            EXPECT_EQ(status, c.status);
        }
    }
    // An agent that returns without touching its status leaves the host's 2.
    pod.on_go = nullptr;
    EXPECT_EQ(run([] { return agent_command(agent_cmd::kEepromErase, nullptr); }), EOPNOTSUPP);
    EXPECT_EQ(err, "\nerror: unable to proceed - command not supported\n");
}

TEST_F(AgentTest, UnusableAgentsAreRefusedWhenLoaded) {
    struct Case {
        const char* name;
        uint16_t params;
        uint16_t buffer;
        uint16_t size;
        const char* message;
    };
    const Case cases[] = {
        {"odd size", 0x3800, 0x3900, 0x41, "invalid RAM agent buffer size: 65"},
        {"no size", 0x3800, 0x3900, 0, "invalid RAM agent buffer size: 0"},
        {"not a divisor of 16 KB", 0x3800, 0x3900, 0x30, "invalid RAM agent buffer size: 48"},
        {"larger than a sector", 0x3800, 0x3800, 0x400, "invalid RAM agent buffer size: 1024"},
        {"buffer at an odd address", 0x3800, 0x3901, 0x40,
         "invalid RAM agent buffer address: 0x3901"},
        {"buffer beyond RAM", 0x3800, 0x3FE0, 0x40, "invalid RAM agent buffer address: 0x3FE0"},
        {"parameters at an odd address", 0x3801, 0x3900, 0x40,
         "invalid RAM agent parameter address: 0x3801"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        use("FTS256K", "EETS4K", agent_keys({}, c.params));
        agent.params = c.params;
        agent.buffer = c.buffer;
        agent.buffer_size = c.size;
        agent.install(pod);
        const size_t before = pod.calls().size();
        EXPECT_EQ(run([] { return agent_load(); }), EINVAL);
        EXPECT_EQ(err, std::string("\nerror: ") + c.message + "\n");
        EXPECT_FALSE(bdm_state().agent_loaded);
        if ((c.params & 1) != 0) {
            EXPECT_EQ(pod.calls().size(), before) << "refused before anything reaches the MCU";
        }
    }
}

TEST_F(AgentTest, AgentFilesThatCannotServe) {
    struct Case {
        const char* name;
        std::string description;
        const char* message;
    };
    const std::string no_entry = file("no_entry.s19", srec_line('1', 0x3800, {0, 0, 0, 0}));
    const std::string no_data = file("no_data.s19", srec_line('9', 0x3810));
    const Case cases[] = {
        {"no bdm_agent key", "", "target RAM agent not available, cannot proceed"},
        {"no termination record", "bdm_agent " + no_entry + "\n", "entry address not specified"},
        {"no data", "bdm_agent " + no_data + "\n", "RAM agent file holds no data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        use("FTS256K", "EETS4K", c.description);
        settings().start_address_set = 1;  // -j is never an agent's entry
        settings().start_address = 0x3800;
        EXPECT_EQ(run([] { return agent_load(); }), EINVAL);
        EXPECT_EQ(err, std::string("\nerror: ") + c.message + "\n");
        EXPECT_TRUE(writes().empty());
    }

    // A secured part keeps its RAM from the BDM, whatever -f says.
    use("FTS256K", "EETS4K", agent_keys({}));
    target().secured = 1;
    settings().force = 1;
    pod.clear_calls();
    EXPECT_EQ(run([] { return agent_load(); }), EIO);
    EXPECT_EQ(err, "\nerror: RAM agent load not possible - MCU secured\n");
    EXPECT_TRUE(pod.calls().empty());
}

TEST_F(AgentTest, AgentPathLookup) {
    // A plain name that is not readable from here is taken from the data directory.
    use("FTS256K", "EETS4K", "bdm_agent agent.s19\n");
    std::snprintf(settings().data_dir, sizeof settings().data_dir, "%s", dir.path().c_str());
    (void)agent_file();
    agent.install(pod);
    EXPECT_EQ(run([] { return agent_load(); }), 0) << err;
    EXPECT_NE(pod.calls_of("write_block 3800").size(), 0U);

    // A value with a '/' stands as it is, readable or not.
    use("FTS256K", "EETS4K", "bdm_agent missing/agent.s19\n");
    EXPECT_NE(run([] { return agent_load(); }), 0);
    EXPECT_NE(err.find("missing/agent.s19"), std::string::npos) << err;
    EXPECT_EQ(err.find(dir.path() + "/missing"), std::string::npos) << err;
}

TEST_F(AgentTest, RamRunLoadsInPiecesAndStartsAtTheEntry) {
    use("FTS256K");
    std::vector<uint8_t> program(600);
    for (size_t i = 0; i < program.size(); ++i) {
        program[i] = static_cast<uint8_t>(i);
    }
    std::string text;
    for (size_t at = 0; at < program.size(); at += 200) {
        text += srec_line('1', static_cast<uint16_t>(0x2000 + at),
                          std::vector<uint8_t>(program.begin() + static_cast<long>(at),
                                               program.begin() + static_cast<long>(at + 200)));
    }
    const std::string path = file("app.s19", text + srec_line('9', 0x2010));
    bdm_state().agent_loaded = true;
    settings().verbose = 1;
    ASSERT_EQ(run([&] { return bdm_ram_run(path.c_str()); }), 0) << err;
    EXPECT_EQ(pod.calls(), (Lines{"write_block 2000 256", "write_block 2100 256",
                                  "write_block 2200 88", "write_reg 0000 2010", "go"}));
    EXPECT_EQ(
        std::vector<uint8_t>(pod.memory().begin() + 0x2000, pod.memory().begin() + 0x2000 + 600),
        program);
    EXPECT_FALSE(bdm_state().agent_loaded) << "the image may have overwritten the agent";
    EXPECT_NE(out.find("RAM load: image file <" + path +
                       ">\nRAM load: image info <>\nRAM load: address range "
                       "<0x2000-0x2257> length <0x0258> entry <0x2010>\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("RAM run: image loaded and started from adrress <0x2010>\n"),
              std::string::npos);
}

TEST_F(AgentTest, RamRunEntries) {
    struct Case {
        const char* name;
        std::string text;
        bool jump;  // -j 0x2100
        int result;
        const char* start;  // the PC written, or the error
    };
    const std::string data = srec_line('1', 0x2000, {0x01, 0x02});
    const Case cases[] = {
        {"entry from the file", data + srec_line('9', 0x2000), false, 0, "2000"},
        {"-j overrides the file", data + srec_line('9', 0x2000), true, 0, "2100"},
        {"no termination, -j", data, true, 0, "2100"},
        {"no termination", data, false, EINVAL, "entry address not specified"},
        {"S9 0 outside RAM", data + srec_line('9', 0x0000), false, EINVAL,
         "entry address not specified"},
        {"S9 0 and -j", data + srec_line('9', 0x0000), true, 0, "2100"},
        {"no data records", srec_line('9', 0x2000), false, 0, "2000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        use("FTS256K");
        settings().start_address_set = c.jump ? 1 : 0;
        settings().start_address = 0x2100;
        FakePod fresh;
        const std::string path = file("app.s19", c.text);
        EXPECT_EQ(run([&] { return bdm_ram_run(path.c_str()); }), c.result);
        if (c.result == 0) {
            EXPECT_EQ(fresh.calls_of("write_reg"),
                      (Lines{std::string("write_reg 0000 ") + c.start}));
            EXPECT_EQ(fresh.calls().back(), "go");
            EXPECT_EQ(fresh.calls_of("write_block").size(),
                      c.text == srec_line('9', 0x2000) ? 0U : 1U);
        } else {
            EXPECT_EQ(err, std::string("\nerror: ") + c.start + "\n");
            EXPECT_TRUE(fresh.calls().empty()) << "nothing reaches the MCU";
        }
    }
}

TEST_F(AgentTest, RamRunRefusals) {
    use("FTS256K");
    // One byte beyond the end of RAM: the reader refuses it, nothing is written.
    const std::string beyond =
        file("beyond.s19", srec_line('1', 0x3FFE, {1, 2, 3}) + srec_line('9', 0x3FFE));
    EXPECT_EQ(run([&] { return bdm_ram_run(beyond.c_str()); }), EINVAL);
    EXPECT_NE(err.find("out of range"), std::string::npos) << err;
    EXPECT_TRUE(pod.calls().empty());

    // A secured part: the program cannot run, and the run fails saying so.
    target().secured = 1;
    const std::string app = file("app.s19", srec_line('1', 0x2000, {1}) + srec_line('9', 0x2000));
    EXPECT_EQ(run([&] { return bdm_ram_run(app.c_str()); }), EIO);
    EXPECT_EQ(err,
              "\nerror: RAM run: MCU secured (-f option forces loading and running the program)\n");
    EXPECT_TRUE(pod.calls().empty());
    settings().force = 1;
    EXPECT_EQ(run([&] { return bdm_ram_run(app.c_str()); }), 0);
    EXPECT_EQ(pod.calls().back(), "go");
}

}  // namespace
}  // namespace zelv::test
