// Every shipped description, named without a path as a user names it, runs a short session
// against the virtual part it describes (the TBDML pod: no terminal needed): a connect that
// identifies the part, and where the FLASH module is known (not on the HC12) an erase, a
// write and a comparison of the FLASH with the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_common.h"

namespace zelv::e2e {
namespace {

TEST(ShippedParts, EachDescriptionRunsASessionOnItsVirtualPart) {
    test::TempDir dir;
    // 0xC000 lies in the last page of every part, in the non-banked window of each family.
    const std::string flash = dir.file("flash.s19");
    test::write_file(flash, s_record('1', 0xC000, {0x12, 0x34, 0x56, 0x78}) + s_record('9', 0xC000));
    // The agents the "-agents" descriptions name, beside them as in the data directory.
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(ZELV_SOURCE_DIR) + "/data")) {
        if (entry.path().extension() == ".s19") {
            test::write_file(dir.file(entry.path().filename().string()),
                             test::read_file(entry.path().string()));
        }
    }
    unsigned parts = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(ZELV_SOURCE_DIR) + "/data")) {
        if (entry.path().extension() != ".dat") {
            continue;
        }
        ++parts;
        const std::string name = entry.path().stem().string();
        SCOPED_TRACE(name);
        std::vector<std::string> args = {"-i", "tbdml", "-t", name};
        const std::string text = test::read_file(entry.path().string());
        const bool hc12 = text.find("\nfamily HC12\n") != std::string::npos;
        if (!hc12) {
            args.insert(args.end(), {"-E", "-H", flash, "--verify-flash", flash});
        }
        // The description is found in the source tree's data/ through a copy of that name
        // in the current folder, as the installed program would find it in its data directory.
        test::write_file(dir.file(name), text);
        // The simulator knows each part by its description's name ("-agents" variants too).
        const std::string part = name.ends_with("-agents") ? name.substr(0, name.size() - 7) : name;
        std::vector<std::string> argv = {ZELV_SIM_BINARY, "--part", part, "--pod", "tbdml", "--",
                                         ZELV_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        const test::ProcessResult r = test::run_process(argv, {}, dir.path());
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // The HC12 has no part id; its connect reports the register and memory map instead.
        EXPECT_NE(r.out.find(hc12 ? "HC12 RAM size" : "part id"), std::string::npos) << r.out;
        if (!hc12) {
            EXPECT_NE(r.out.find("FLASH verify: ok\n"), std::string::npos) << r.out;
        }
    }
    EXPECT_GE(parts, 16U);
}

TEST(ShippedParts, ExampleDescriptionsFindTheirAgentsFromAnyFolder) {
    // The examples name their agents relative to their own folder; the run starts elsewhere.
    test::TempDir dir;
    const std::string examples = std::string(ZELV_SOURCE_DIR) + "/examples/";
    const std::string eeprom = dir.file("ee.s19");
    test::write_file(eeprom, s_record('1', 0x4100, {1, 2, 3, 4}));
    struct Run {
        std::vector<std::string> sim;
        std::vector<std::string> connection;
        std::vector<std::string> operations;
        int status;  // the lrae part is blank: the comparison runs (the agent was found), fails
    };
    const Run runs[] = {
        {{"--part", "dg128", "--boot", "lrae", "--osc", "16M"},
         {"-i", "lrae", "-p", "@PORT@", "-o", "16M", "-t", examples + "dg128-lrae.dat"},
         {"--verify-flash", examples + "blink_lrae.s19"},
         1},
        {{"--part", "dp256", "--pod", "bdm12pod"},
         {"-i", "bdm12pod", "-p", "@PORT@", "-o", "16M", "-t", examples + "dp256-bdm-agent.dat"},
         {"-U", "-C", eeprom},
         0},
    };
    for (const Run& run : runs) {
        std::vector<std::string> argv = {ZELV_SIM_BINARY};
        argv.insert(argv.end(), run.sim.begin(), run.sim.end());
        argv.insert(argv.end(), {"--", ZELV_BINARY});
        argv.insert(argv.end(), run.connection.begin(), run.connection.end());
        argv.insert(argv.end(), run.operations.begin(), run.operations.end());
        const test::ProcessResult r = test::run_process(argv, {}, dir.path());
        EXPECT_EQ(r.status, run.status) << r.err;
        EXPECT_NE(r.out.find("RAM load: agent file <" + examples + "../sim/native/"),
                  std::string::npos)
            << r.out << r.err;
    }
}

}  // namespace
}  // namespace zelv::e2e
