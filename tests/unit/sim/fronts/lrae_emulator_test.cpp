// The virtual LRAE boot loader and agent, driven byte by byte as the host drives them over
// the line model: synchronisation through the divisors, the RAM load, the agent's commands
// on the virtual FLASH, and every fault.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "fakes/run_state.h"
#include "fronts/lrae_boot_loader.h"
#include "common/port_server.h"
#include "fronts/sci_line.h"
#include "sim/sim_test_util.h"
#include "srec/srec.h"

namespace zelv::sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(SimSciLine, RatesCloseEnoughCarryEveryByte) {
    for (const auto& [tx, rx] : {std::pair<uint64_t, uint64_t>{38400, 38461},
                                 {38461, 38400},
                                 {57600, 55555},
                                 {38400, 39062}}) {
        for (unsigned value = 0; value < 256; ++value) {
            const std::vector<SciByte> got = sci_transfer(static_cast<uint8_t>(value), tx, rx);
            ASSERT_EQ(got.size(), 1U) << tx << " " << rx << " " << value;
            EXPECT_EQ(got[0].value, value);
            EXPECT_FALSE(got[0].framing_error);
        }
    }
}

TEST(SimSciLine, MismatchedRatesGarbleOrLoseBytes) {
    // A receiver at half the rate: every start sample of 0x55 finds a one, nothing arrives.
    EXPECT_TRUE(sci_transfer(0x55, 76800, 38400).empty());
    // At twice the rate 0xFF is seen shifted by one bit, and 0x00 without its stop bit.
    std::vector<SciByte> got = sci_transfer(0xFF, 19200, 38400);
    ASSERT_EQ(got.size(), 1U);
    EXPECT_EQ(got[0].value, 0xFE);
    EXPECT_FALSE(got[0].framing_error);
    got = sci_transfer(0x00, 19200, 38400);
    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(got[0].framing_error);
    Bytes host;
    sci_to_host(0x00, 19200, 38400, &host);
    EXPECT_EQ(host.front(), 0x00) << "a terminal reads a framing error as 0x00";
    // 8.5 % off: some bytes come through wrong.
    unsigned wrong = 0;
    for (unsigned value = 0; value < 256; ++value) {
        got = sci_transfer(static_cast<uint8_t>(value), 115200, 125000);
        wrong += got.size() != 1 || got[0].value != value || got[0].framing_error ? 1U : 0U;
    }
    EXPECT_GT(wrong, 100U);
}

TEST(SimSciLine, SeesTheRateTheHostSetOnItsSideOfThePseudoTerminal) {
    Pty pty;
    ASSERT_EQ(pty_open(&pty), 0);
    const int host = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    for (const auto& [speed, rate] :
         {std::pair<speed_t, uint64_t>{B9600, 9600}, {B38400, 38400}, {B115200, 115200}}) {
        termios settings{};
        ASSERT_EQ(tcgetattr(host, &settings), 0);
        cfsetispeed(&settings, speed);
        cfsetospeed(&settings, speed);
        ASSERT_EQ(tcsetattr(host, TCSANOW, &settings), 0);
        EXPECT_EQ(pty_line_rate(pty.slave), rate);
    }
    close(host);
    pty_close(&pty);
    EXPECT_EQ(pty_line_rate(-1), 0U);
}

class LraeEmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        sim_set_quiet(true);
    }
    void TearDown() override { sim_set_quiet(false); }

    void start(const char* part, const LraeFaults& faults = {}, bool protect = true,
               uint64_t osc = 16000000) {
        configure_part(mcu, part);
        ASSERT_TRUE(LraeBootLoader::install(mcu, protect));
        loader = std::make_unique<LraeBootLoader>(mcu, faults, osc, [this] { return host_rate; });
    }

    Bytes send(const Bytes& bytes) {
        Reply reply;
        for (const uint8_t byte : bytes) {
            loader->receive(byte, reply);
        }
        return reply.bytes;
    }

    // Probes until the answer; returns how many probes went unanswered (16 when none).
    unsigned synchronise() {
        for (unsigned probe = 0; probe < 16; ++probe) {
            const Bytes answer = send({0x55});
            if (answer == Bytes{0xAA}) {
                return probe;
            }
            EXPECT_TRUE(answer.empty()) << "probe " << probe;
        }
        return 16;
    }

    // A RAM load: entry, length, the bytes, their checksum (wrong by `off`).
    Bytes load(uint16_t entry, const Bytes& data, uint8_t off = 0) {
        Bytes bytes = {static_cast<uint8_t>(entry >> 8), static_cast<uint8_t>(entry),
                       static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
        bytes.insert(bytes.end(), data.begin(), data.end());
        uint8_t sum = 0;
        for (const uint8_t byte : bytes) {
            sum = static_cast<uint8_t>(sum + byte);
        }
        bytes.push_back(static_cast<uint8_t>(sum + off));
        return send(bytes);
    }

    // Synchronises and starts the agent with a 16 MHz oscillator.
    void start_agent() {
        ASSERT_EQ(synchronise(), 5U);
        ASSERT_EQ(load(lrae::kAgentEntry, LraeAgentEmulator::image()), Bytes{0x80});
        ASSERT_TRUE(loader->agent_running());
        ASSERT_EQ(send({0x3E, 0x80}), Bytes{0x00});
    }

    // A frame with its length and checksum.
    Bytes frame(uint8_t command, const Bytes& parameters) {
        Bytes bytes = {command, static_cast<uint8_t>(parameters.size() + 3)};
        bytes.insert(bytes.end(), parameters.begin(), parameters.end());
        uint8_t sum = 0;
        for (const uint8_t byte : bytes) {
            sum = static_cast<uint8_t>(sum + byte);
        }
        bytes.push_back(sum);
        return send(bytes);
    }

    Bytes write(uint8_t block, uint8_t page, uint16_t address, const Bytes& data, uint8_t off = 0) {
        Bytes answer =
            frame(0x0B, {block, page, static_cast<uint8_t>(address >> 8),
                         static_cast<uint8_t>(address), 0x00, static_cast<uint8_t>(data.size())});
        uint8_t sum = off;
        for (const uint8_t byte : data) {
            sum = static_cast<uint8_t>(sum + byte);
        }
        Bytes with_sum = data;
        with_sum.push_back(sum);
        const Bytes result = send(with_sum);
        answer.insert(answer.end(), result.begin(), result.end());
        return answer;
    }

    uint32_t boot_offset() const { return flash_at(mcu, 0x3E, 0); }

    VirtualMcu mcu;
    uint64_t host_rate = 38400;
    std::unique_ptr<LraeBootLoader> loader;
};

TEST_F(LraeEmulatorTest, SynchronisesAfterTryingTheDivisorsInOrder) {
    struct Case {
        uint64_t host;
        uint64_t osc;
        unsigned unanswered;
    };
    const Case cases[] = {
        {38400, 16000000, 5},    // divisor 13: 38461
        {19200, 16000000, 6},    // divisor 26
        {57600, 16000000, 3},    // divisor 9: 55555, 3.6 % off and still read right
        {38400, 5000000, 2},     // divisor 4: 39062
        {38400, 1228800, 0},     // divisor 1
        {115200, 16000000, 16},  // nothing near
    };
    for (const Case& c : cases) {
        host_rate = c.host;
        start("dg128", {}, true, c.osc);
        EXPECT_EQ(synchronise(), c.unanswered) << c.host << " " << c.osc;
    }
    LraeFaults deaf;
    deaf.deaf_probes = 10;
    host_rate = 38400;
    start("dg128", deaf);
    EXPECT_EQ(synchronise(), 15U) << "ten unheard, five at wrong divisors";
}

TEST_F(LraeEmulatorTest, RamLoadStoresFromTheEntryAndStartsTheProgram) {
    start("dg128");
    ASSERT_EQ(synchronise(), 5U);
    EXPECT_EQ(load(0x3000, {0x11, 0x22, 0x33}), Bytes{0x80});
    EXPECT_EQ(mcu.read_byte(0x3000), 0x11);
    EXPECT_EQ(mcu.read_byte(0x3002), 0x33);
    EXPECT_FALSE(loader->agent_running());
    // The program runs; the boot loader no longer listens.
    EXPECT_TRUE(send({0x55, 0x55}).empty());
}

TEST_F(LraeEmulatorTest, LoadFaultsAndAWrongChecksum) {
    struct Case {
        LraeFaults faults;
        uint8_t off;
        Bytes answer;
    };
    LraeFaults noise;
    noise.noise_at = 5;  // the first byte after the header
    LraeFaults ack;
    ack.load_ack_wrong = true;
    ack.load_ack = 0x42;
    LraeFaults silent;
    silent.load_silent = true;
    const Case cases[] = {
        {{}, 1, {0x81}},
        {noise, 0, {0x81}},
        {ack, 0, {0x42}},
        {silent, 0, {}},
    };
    for (const Case& c : cases) {
        start("dg128", c.faults);
        ASSERT_EQ(synchronise(), 5U);
        EXPECT_EQ(load(lrae::kAgentEntry, LraeAgentEmulator::image(), c.off), c.answer);
        EXPECT_FALSE(loader->agent_running());
        EXPECT_TRUE(send({0x3E, 0x80}).empty());
    }
}

TEST_F(LraeEmulatorTest, RunsOnlyWithItsVectorAndCodeInPlace) {
    start("dg128");
    EXPECT_TRUE(loader->running());
    const uint32_t last = (mcu.layout().ppage_count - 1) * kPageSize;
    mcu.flash()[last + 0x3FFE] = 0xC0;  // another reset vector
    LraeBootLoader elsewhere(mcu, {}, 16000000, [] { return uint64_t{38400}; });
    EXPECT_FALSE(elsewhere.running());
    mcu.flash()[last + 0x3FFE] = 0x40;
    mcu.flash()[boot_offset() + 0x7FF] = 0x00;  // a damaged boot loader
    LraeBootLoader damaged(mcu, {}, 16000000, [] { return uint64_t{38400}; });
    EXPECT_FALSE(damaged.running());
    Reply reply;
    damaged.receive(0x55, reply);
    EXPECT_TRUE(reply.bytes.empty());
    EXPECT_FALSE(LraeBootLoader::install(mcu, true)) << "only into a blank part";
}

TEST_F(LraeEmulatorTest, InstallProtectsTheBootLoaderWhereTheLowAreaReachesIt) {
    start("dg128");
    EXPECT_TRUE(mcu.flash_protected(boot_offset()));
    EXPECT_TRUE(mcu.flash_protected(boot_offset() + 0x7FE));
    EXPECT_FALSE(mcu.flash_protected(boot_offset() + 0x800));
    EXPECT_EQ(mcu.read_register(reg::kFsec), 0xFE) << "unsecured";

    start("dg128", {}, false);
    EXPECT_FALSE(mcu.flash_protected(boot_offset()));

    // The HCS12X low area lies in page 0xFE; the boot loader in 0xFD stays open.
    start("xdp512");
    EXPECT_FALSE(mcu.flash_protected(flash_at(mcu, 0xFD, 0)));
    EXPECT_EQ(mcu.read_byte(0x4000), 0xCF);
    EXPECT_TRUE(loader->running());
}

TEST_F(LraeEmulatorTest, EepromMovesOutOfTheBootLoadersWay) {
    const PartProfile* dp256 = find_part_profile("dp256");
    McuConfig config;
    ASSERT_EQ(part_config(*dp256, dp256->layout, &config), 0);
    ASSERT_EQ(config.resets.initee & 0xF8, 0x40) << "the monitor's placement at 0x4000";
    LraeBootLoader::place_eeprom(dp256->layout, &config.resets);
    EXPECT_EQ(config.resets.initee, 0x01);
    ASSERT_EQ(mcu.configure(config), 0);
    ASSERT_TRUE(LraeBootLoader::install(mcu, true));
    EXPECT_EQ(mcu.read_byte(0x4000), 0xCF);

    const PartProfile* dg128 = find_part_profile("dg128");
    ASSERT_EQ(part_config(*dg128, dg128->layout, &config), 0);
    const uint8_t placed = config.resets.initee;
    LraeBootLoader::place_eeprom(dg128->layout, &config.resets);
    EXPECT_EQ(config.resets.initee, placed);
}

TEST_F(LraeEmulatorTest, AgentTakesTheOscillatorAndSetsTheFlashClock) {
    start("dg128");
    start_agent();
    EXPECT_EQ(mcu.read_register(reg::kFclkdiv), 0xC9) << "16 MHz / 8 / 10: 200 kHz";

    struct Case {
        Bytes khz;
        Bytes answer;
    };
    const Case cases[] = {
        {{0x00, 0x64}, {0x01}},  // 100 kHz: no divider reaches 150 kHz
        {{0x00, 0x00}, {0x01}},
        {{0x00, 0x96}, {0x00}},  // 150 kHz
    };
    for (const Case& c : cases) {
        start("dg128");
        ASSERT_EQ(synchronise(), 5U);
        ASSERT_EQ(load(lrae::kAgentEntry, LraeAgentEmulator::image()), Bytes{0x80});
        EXPECT_EQ(send(c.khz), c.answer);
    }
}

TEST_F(LraeEmulatorTest, AgentFramesAreCheckedBeforeTheyRun) {
    start("dg128");
    start_agent();
    EXPECT_EQ(send({0x07, 0x05, 0x01, 0x38, 0x00}), Bytes{0x55}) << "wrong checksum";
    EXPECT_EQ(send({0x07, 0x02}), Bytes{0x55}) << "length below 3";
    EXPECT_EQ(frame(0x42, {}), Bytes{0x01}) << "unknown command";
    EXPECT_EQ(frame(0x07, {0x01}), Bytes{0x01}) << "one parameter short";
    EXPECT_EQ(frame(0x0A, {0x00, 0x3F, 0x80, 0x00, 0x20}), Bytes{0x01}) << "half a page";
    EXPECT_EQ(frame(0x08, {0x01, 0x38}), (Bytes{0x00, 0x00})) << "still in step";
}

TEST_F(LraeEmulatorTest, AgentErasesLikeTheHardware) {
    start("dg128");
    start_agent();
    const uint32_t block1 = flash_at(mcu, 0x38, 0);
    mcu.flash()[block1 + 0x100] = 0x00;
    EXPECT_EQ(frame(0x08, {0x01, 0x38}), (Bytes{0x00, 0x03}));
    EXPECT_EQ(frame(0x07, {0x01, 0x38}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(mcu.flash()[block1 + 0x100], 0xFF);
    EXPECT_EQ(frame(0x08, {0x01, 0x38}), (Bytes{0x00, 0x00}));
    // Block 1's command with a page of block 0, and a block the part does not have.
    EXPECT_EQ(frame(0x07, {0x01, 0x3C}), (Bytes{0x00, 0x01}));
    EXPECT_EQ(frame(0x07, {0x02, 0x38}), (Bytes{0x00, 0x01}));
    // Block 0 holds the protected boot loader: no mass erase, no sector erase over it.
    EXPECT_EQ(frame(0x07, {0x00, 0x3C}), (Bytes{0x00, 0x02}));
    EXPECT_EQ(frame(0x09, {0x00, 0x3E, 0x80, 0x00}), (Bytes{0x00, 0x02}));
    EXPECT_EQ(mcu.read_byte(0x4000), 0xCF);
    // A sector next to it, through the window, and the vectors' sector through the
    // fixed page.
    mcu.flash()[boot_offset() + 0x800] = 0x12;
    EXPECT_EQ(frame(0x09, {0x00, 0x3E, 0x88, 0x00}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(mcu.flash()[boot_offset() + 0x800], 0xFF);
    EXPECT_EQ(frame(0x09, {0x00, 0x3F, 0xFE, 0x00}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(mcu.read_byte(0xFFFE), 0xFF);

    // Unprotected, the mass erase takes the boot loader too.
    start("dg128", {}, false);
    start_agent();
    EXPECT_EQ(frame(0x07, {0x00, 0x3C}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(mcu.read_byte(0x4000), 0xFF);
}

TEST_F(LraeEmulatorTest, AgentStreamsPagesWithTheirChecksum) {
    start("dg128");
    start_agent();
    const Bytes answer = frame(0x0A, {0x00, 0x3E, 0x80, 0x00, 0x40});
    ASSERT_EQ(answer.size(), 1U + 0x4000 + 1);
    EXPECT_EQ(answer[0], 0x00);
    uint8_t sum = 0;
    for (uint32_t i = 0; i < 0x4000; ++i) {
        ASSERT_EQ(answer[1 + i], mcu.flash()[boot_offset() + i]) << i;
        sum = static_cast<uint8_t>(sum + answer[1 + i]);
    }
    EXPECT_EQ(answer.back(), sum);
}

TEST_F(LraeEmulatorTest, AgentProgramsWordsOfErasedFlash) {
    start("dg128");
    start_agent();
    const uint32_t page3c = flash_at(mcu, 0x3C, 0);
    EXPECT_EQ(write(0, 0x3C, 0x8010, {0x12, 0x34, 0x56, 0x78}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(mcu.flash()[page3c + 0x10], 0x12);
    EXPECT_EQ(mcu.flash()[page3c + 0x13], 0x78);
    EXPECT_EQ(write(0, 0x3C, 0x8010, {0xFF, 0x00}), (Bytes{0x00, 0x04})) << "not erased";
    EXPECT_EQ(write(0, 0x3C, 0x8021, {0x00, 0x00}), (Bytes{0x00, 0x01})) << "odd address";
    EXPECT_EQ(write(0, 0x3C, 0x8020, {0x00, 0x00, 0x00}), (Bytes{0x00, 0x01})) << "odd count";
    EXPECT_EQ(write(1, 0x3C, 0x8020, {0x00, 0x00}), (Bytes{0x00, 0x01})) << "other block";
    EXPECT_EQ(write(0, 0x3E, 0x8000, {0x00, 0x00}), (Bytes{0x00, 0x02})) << "boot loader";
    EXPECT_EQ(write(0, 0x3C, 0x8020, {0x00, 0x00}, 1), (Bytes{0x00, 0x55})) << "checksum";
    EXPECT_EQ(mcu.flash()[page3c + 0x20], 0xFF);
    // Through the fixed page 0xC000-0xFFFF, whatever page was selected.
    EXPECT_EQ(write(0, 0x3C, 0xE000, {0xAB, 0xCD}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x3F, 0x2000)], 0xAB);
    // The security word is programmed already: the part comes unsecured.
    EXPECT_EQ(write(0, 0x3F, 0xFF0E, {0xFF, 0xFE}), (Bytes{0x00, 0x04}));
}

TEST_F(LraeEmulatorTest, AgentFaults) {
    LraeFaults faults;
    faults.results.push_back({0x09, 0x07, 1});
    faults.frame_acks.push_back({0x08, 0x55, 0});
    faults.bad_page_checksum = true;
    faults.bad_page_checksum_after = 1;
    start("dg128", faults);
    start_agent();
    EXPECT_EQ(frame(0x09, {0x00, 0x3C, 0x80, 0x00}), (Bytes{0x00, 0x00}));
    EXPECT_EQ(frame(0x09, {0x00, 0x3C, 0x82, 0x00}), (Bytes{0x00, 0x07}));
    EXPECT_EQ(frame(0x08, {0x01, 0x38}), Bytes{0x55});
    Bytes page = frame(0x0A, {0x00, 0x3C, 0x80, 0x00, 0x40});
    EXPECT_EQ(page.back(), 0x00) << "the first page is right: 16384 x 0xFF";
    page = frame(0x0A, {0x00, 0x3C, 0x80, 0x00, 0x40});
    EXPECT_EQ(page.back(), 0x01);

    LraeFaults silence;
    silence.page_silence = true;
    silence.page_silence_bytes = 100;
    start("dg128", silence);
    start_agent();
    EXPECT_EQ(frame(0x0A, {0x00, 0x3C, 0x80, 0x00, 0x40}).size(), 101U);
    EXPECT_TRUE(frame(0x08, {0x01, 0x38}).empty()) << "the agent hangs";

    LraeFaults osc;
    osc.osc_answer_wrong = true;
    osc.osc_answer = 0x01;
    start("dg128", osc);
    ASSERT_EQ(synchronise(), 5U);
    ASSERT_EQ(load(lrae::kAgentEntry, LraeAgentEmulator::image()), Bytes{0x80});
    EXPECT_EQ(send({0x3E, 0x80}), Bytes{0x01});
}

TEST_F(LraeEmulatorTest, ShippedAgentFileIsTheAgent) {
    const std::string path = std::string(ZELV_SOURCE_DIR) + "/sim/native/zelvanor-sim-lrae-agent.s19";
    std::vector<uint8_t> ram(0x800, 0xFF);  // 0x3800-0x3FFF
    uint32_t entry = 0xFFFFFFFFU;
    uint32_t lowest = 0;
    uint32_t highest = 0;
    ASSERT_EQ(
        srec_read(path.c_str(), nullptr, 0, ram.data(), static_cast<uint32_t>(ram.size()), &entry,
                  nullptr, &lowest, &highest, [](uint32_t address) { return address - 0x3800U; }),
        0);
    const Bytes agent = LraeAgentEmulator::image();
    EXPECT_EQ(entry, lrae::kAgentEntry);
    EXPECT_EQ(lowest, 0U);
    ASSERT_EQ(highest + 1, agent.size());
    EXPECT_TRUE(std::equal(agent.begin(), agent.end(), ram.begin()));
}

TEST(SimFaults, ParsesTheLraeFaults) {
    sim_set_quiet(true);
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"deaf:15", true},
        {"load-ack:0x81", true},
        {"load-silent", true},
        {"noise:5", true},
        {"frame-ack:0x0A:0x55", true},
        {"result:0x0B:0x55,after=2", true},
        {"page-checksum", true},
        {"page-checksum,after=1", true},
        {"page-silent", true},
        {"page-silent:100,after=3", true},
        {"osc-answer:0x01", true},
        {"deaf", false},
        {"deaf:3,after=1", false},
        {"load-ack:0x100", false},
        {"noise:0", false},
        {"frame-ack:0x0A", false},
        {"page-silent:0x4000", false},
        {"osc-answer", false},
    };
    for (const Case& c : cases) {
        FaultSet faults;
        EXPECT_EQ(parse_fault(c.text, &faults), c.valid ? 0 : EINVAL) << c.text;
    }
    FaultSet faults;
    ASSERT_EQ(parse_fault("page-silent:100,after=3", &faults), 0);
    ASSERT_EQ(parse_fault("result:0x0B:0x55,after=2", &faults), 0);
    EXPECT_TRUE(faults.lrae.page_silence);
    EXPECT_EQ(faults.lrae.page_silence_bytes, 100U);
    EXPECT_EQ(faults.lrae.page_silence_after, 3U);
    ASSERT_EQ(faults.lrae.results.size(), 1U);
    EXPECT_EQ(faults.lrae.results[0].command, 0x0B);
    EXPECT_EQ(faults.lrae.results[0].value, 0x55);
    EXPECT_EQ(faults.lrae.results[0].after, 2U);
    sim_set_quiet(false);
}

}  // namespace
}  // namespace zelv::sim::test
