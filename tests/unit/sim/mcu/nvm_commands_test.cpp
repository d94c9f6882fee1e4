// The FLASH and EEPROM modules at register level: the sequences a BDM host issues (word
// program through the page window, mass erase and erase verify of every block, the EEPROM's
// commands, the security byte), the broken sequences the silicon refuses with ACCERR or
// PVIOL, the clock divider, security across resets, the injected command faults, and the
// command state in the state file.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "fakes/run_state.h"
#include "faults/faults.h"
#include "sim/sim_test_util.h"
#include "program/state_file.h"
#include "test_support.h"

namespace zelv::sim::test {
namespace {

constexpr uint8_t kErrorsOrDone = nvm::kCcif | nvm::kPviol | nvm::kAccerr;
constexpr unsigned kPollLimit = 100;  // stands for the host's one-second limit

// Drives the registers the way the BDM host does: byte and word accesses of the local map,
// nothing else.
class RegisterHost {
public:
    explicit RegisterHost(VirtualMcu& mcu) : mcu_(mcu) {}

    // A connect: reset into special mode, the description's init bytes (the EEPROM back to
    // 0x4000, where the start-up code of a running part puts it), then the clock dividers.
    void connect() {
        mcu_.reset(true);
        mcu_.write_byte(reg::kInitee, 0x41);
        mcu_.write_byte(reg::kFclkdiv, 0x49);
        mcu_.write_byte(reg::kEclkdiv, 0x49);
    }

    // Reads the status register until CCIF, PVIOL or ACCERR shows, at most kPollLimit times.
    uint8_t wait(uint16_t status_register) {
        polls = 0;
        uint8_t status = 0;
        do {
            status = mcu_.read_byte(status_register);
            ++polls;
        } while ((status & kErrorsOrDone) == 0 && polls < kPollLimit);
        return status;
    }

    void select(uint8_t block, uint8_t page) {
        mcu_.write_byte(reg::kFcnfg, block);
        mcu_.write_byte(reg::kPpage, page);
    }

    uint8_t flash_program_word(uint16_t address, uint16_t value) {
        mcu_.write_word(address, value);
        mcu_.write_byte(reg::kFcmd, nvm::kWordProgram);
        mcu_.write_byte(reg::kFstat, nvm::kCbeif);
        return wait(reg::kFstat);
    }

    // Mass erase or erase verify of every block, with the write that opens the command to
    // all blocks sent to open_all (FTSTMOD, or FSEC as the unmended sequence had it). Returns
    // each block's FSTAT after its wait (erase verify: read once more, for BLANK).
    std::vector<uint8_t> flash_all_blocks(uint8_t command, uint16_t open_all) {
        const uint32_t blocks = mcu_.layout().flash_block_count;
        if (blocks > 1) {
            mcu_.write_byte(reg::kFcnfg, 0);
            mcu_.write_byte(open_all, 0x10);
        }
        if (command == nvm::kMassErase) {
            mcu_.write_byte(reg::kFprot, 0xFF);
        }
        mcu_.write_byte(reg::kFstat, 0x30);
        mcu_.write_word(reg::kFdata, 0);
        mcu_.write_word(reg::kFaddr, 0);
        mcu_.write_byte(reg::kFcmd, command);
        mcu_.write_byte(reg::kFstat, nvm::kCbeif);
        if (blocks > 1) {
            mcu_.write_byte(open_all, 0x00);
        }
        std::vector<uint8_t> results;
        for (uint32_t b = 0; b < blocks; ++b) {
            if (blocks > 1) {
                mcu_.write_byte(reg::kFcnfg, static_cast<uint8_t>(b));
            }
            uint8_t status = wait(reg::kFstat);
            if (command == nvm::kEraseVerify) {
                status = mcu_.read_byte(reg::kFstat);
            }
            results.push_back(status);
        }
        return results;
    }

    uint8_t eeprom_command(uint8_t command) {
        mcu_.write_byte(reg::kEcmd, command);
        mcu_.write_byte(reg::kEstat, nvm::kCbeif);
        return wait(reg::kEstat);
    }

    uint8_t eeprom_program_word(uint16_t address, uint16_t value) {
        mcu_.write_word(address, value);
        return eeprom_command(nvm::kWordProgram);
    }

    // Mass erase (with EPROT opened first) or erase verify, latched through EDATA/EADDR.
    uint8_t eeprom_whole(uint8_t command) {
        if (command == nvm::kMassErase) {
            mcu_.write_byte(reg::kEprot, 0xFF);
        }
        mcu_.write_byte(reg::kEstat, 0x30);
        mcu_.write_word(reg::kEdata, 0);
        mcu_.write_word(reg::kEaddr, 0);
        const uint8_t status = eeprom_command(command);
        return command == nvm::kEraseVerify ? mcu_.read_byte(reg::kEstat) : status;
    }

    unsigned polls = 0;

private:
    VirtualMcu& mcu_;
};

class NvmCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        zelv::test::reset_run_state();
        sim_set_quiet(true);
    }
    void TearDown() override { sim_set_quiet(false); }

    // The dp256 profile, connected: blocks 0-3 = pages 0x3C-0x3F, 0x38-0x3B, 0x34-0x37,
    // 0x30-0x33; 4 KB EEPROM at 0x4000.
    void connect(const char* part = "dp256") {
        configure_part(mcu, part);
        host.connect();
    }

    // Programs one word into every block through the page window.
    void program_every_block() {
        const McuLayout& l = mcu.layout();
        const uint32_t pages_per_block = l.ppage_count / l.flash_block_count;
        for (uint32_t b = 0; b < l.flash_block_count; ++b) {
            const auto page =
                static_cast<uint8_t>(l.ppage_base + l.ppage_count - 1 - b * pages_per_block - 1);
            host.select(static_cast<uint8_t>(b), page);
            ASSERT_EQ(host.flash_program_word(0x8100, 0x1234), nvm::kIdle) << "block " << b;
        }
    }

    bool block_blank(uint32_t block) const {
        const McuLayout& l = mcu.layout();
        const uint32_t size = l.flash_size / l.flash_block_count;
        const uint32_t start = (l.flash_block_count - 1 - block) * size;
        for (uint32_t o = start; o < start + size; ++o) {
            if (mcu.flash()[o] != 0xFF) {
                return false;
            }
        }
        return true;
    }

    VirtualMcu mcu;
    RegisterHost host{mcu};
};

TEST_F(NvmCommandsTest, WordProgramThroughThePageWindowWaitsForCcif) {
    connect();
    host.select(2, 0x35);
    EXPECT_EQ(host.flash_program_word(0x8ABC, 0x0FF0), nvm::kIdle);
    EXPECT_EQ(host.polls, nvm::kDefaultBusyPolls + 1) << "busy reads, then the completed one";
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x35, 0x0ABC)], 0x0F);
    EXPECT_EQ(mcu.flash()[flash_at(mcu, 0x35, 0x0ABD)], 0xF0);
    EXPECT_EQ(mcu.read_byte(0x8ABC), 0x0F);

    // Programming over a programmed word only clears more bits, as the cells do; the
    // host's verify has to catch it.
    EXPECT_EQ(host.flash_program_word(0x8ABC, 0xF00F), nvm::kIdle);
    EXPECT_EQ(mcu.read_word(0x8ABC), 0x0000);

    // The fixed page at 0xC000 is block 0's: it needs FCNFG 0.
    EXPECT_EQ(host.flash_program_word(0xC000, 0x5555), nvm::kIdle | nvm::kAccerr);
    mcu.write_byte(reg::kFstat, 0x30);
    mcu.write_byte(reg::kFcnfg, 0);
    EXPECT_EQ(host.flash_program_word(0xC000, 0x5555), nvm::kIdle);
    EXPECT_EQ(mcu.read_word(0xC000), 0x5555);
}

TEST_F(NvmCommandsTest, WrallAtFtstmodErasesAndVerifiesEveryBlock) {
    for (const char* part : {"dp256", "dg128", "xdp512"}) {
        SCOPED_TRACE(part);
        connect(part);
        program_every_block();
        const uint32_t blocks = mcu.layout().flash_block_count;
        const std::vector<uint8_t> erased = host.flash_all_blocks(nvm::kMassErase, reg::kFtstmod);
        EXPECT_EQ(erased, std::vector<uint8_t>(blocks, nvm::kIdle));
        for (uint32_t b = 0; b < blocks; ++b) {
            EXPECT_TRUE(block_blank(b)) << "block " << b;
        }
        const std::vector<uint8_t> verified =
            host.flash_all_blocks(nvm::kEraseVerify, reg::kFtstmod);
        EXPECT_EQ(verified, std::vector<uint8_t>(blocks, nvm::kIdle | nvm::kBlank));
        EXPECT_EQ(mcu.read_byte(reg::kFtstmod), 0x00);
    }
}

TEST_F(NvmCommandsTest, TheWriteToFsecLeavesTheOtherBlocksProgrammed) {
    connect();
    program_every_block();
    const std::vector<uint8_t> erased = host.flash_all_blocks(nvm::kMassErase, reg::kFsec);
    // Every block's FSTAT reads complete: blocks 1-3 never had a command. A host that
    // trusted this would report the part erased.
    EXPECT_EQ(erased, std::vector<uint8_t>(4, nvm::kIdle));
    EXPECT_TRUE(block_blank(0));
    for (uint32_t b = 1; b < 4; ++b) {
        EXPECT_FALSE(block_blank(b)) << "block " << b;
    }
    EXPECT_EQ(mcu.read_byte(reg::kFsec), 0xFF) << "FSEC took no write";

    // Erase verify the same way checks block 0 alone; the others show no BLANK.
    const std::vector<uint8_t> verified = host.flash_all_blocks(nvm::kEraseVerify, reg::kFsec);
    EXPECT_EQ(verified[0], nvm::kIdle | nvm::kBlank);
    EXPECT_EQ(verified[1], nvm::kIdle);
}

TEST_F(NvmCommandsTest, BrokenSequencesSetAccerrAndChangeNothing) {
    struct Case {
        const char* what;
        std::function<void(VirtualMcu&)> steps;
        uint8_t flags;  // PVIOL or ACCERR expected in FSTAT
    };
    const auto write_word = [](VirtualMcu& m) { m.write_word(0x8100, 0x0000); };
    const auto command = [](VirtualMcu& m, uint8_t c) { m.write_byte(reg::kFcmd, c); };
    const auto launch = [](VirtualMcu& m) { m.write_byte(reg::kFstat, nvm::kCbeif); };
    const Case cases[] = {
        {"command without array write",
         [&](VirtualMcu& m) {
             command(m, nvm::kWordProgram);
             launch(m);
         },
         nvm::kAccerr},
        {"second array write",
         [&](VirtualMcu& m) {
             write_word(m);
             m.write_word(0x8102, 0x0000);
             command(m, nvm::kWordProgram);
             launch(m);
         },
         nvm::kAccerr},
        {"launch without command",
         [&](VirtualMcu& m) {
             write_word(m);
             launch(m);
         },
         nvm::kAccerr},
        {"second command",
         [&](VirtualMcu& m) {
             write_word(m);
             command(m, nvm::kWordProgram);
             command(m, nvm::kWordProgram);
             launch(m);
         },
         nvm::kAccerr},
        {"unknown command",
         [&](VirtualMcu& m) {
             write_word(m);
             command(m, 0x60);  // sector modify is the EEPROM's
             launch(m);
         },
         nvm::kAccerr},
        {"byte write into FLASH",
         [&](VirtualMcu& m) {
             m.write_byte(0x8100, 0x00);
             command(m, nvm::kWordProgram);
             launch(m);
         },
         nvm::kAccerr},
        {"odd address",
         [&](VirtualMcu& m) {
             m.write_word(0x8101, 0x0000);
             command(m, nvm::kWordProgram);
             launch(m);
         },
         nvm::kAccerr},
        {"block not selected",
         [&](VirtualMcu& m) {
             m.write_byte(reg::kFcnfg, 1);  // page 0x3D is block 0's
             write_word(m);
             command(m, nvm::kWordProgram);
             launch(m);
         },
         nvm::kAccerr},
        {"FCNFG written between array write and command",
         [&](VirtualMcu& m) {
             write_word(m);
             m.write_byte(reg::kFcnfg, 0);
             command(m, nvm::kWordProgram);
             launch(m);
         },
         nvm::kAccerr},
        {"aborted by writing 0 to CBEIF",
         [&](VirtualMcu& m) {
             write_word(m);
             command(m, nvm::kWordProgram);
             m.write_byte(reg::kFstat, 0x00);
             launch(m);
         },
         nvm::kAccerr},
        {"protected high area",
         [&](VirtualMcu& m) {
             m.write_byte(reg::kFprot, 0xC7);  // top 2 KB of block 0
             m.write_byte(reg::kPpage, 0x3F);
             m.write_word(0xBF00, 0x0000);
             command(m, nvm::kWordProgram);
             launch(m);
         },
         nvm::kPviol},
        {"mass erase of a partly protected block",
         [&](VirtualMcu& m) {
             m.write_byte(reg::kFprot, 0xFB);  // low area 4 KB
             write_word(m);
             command(m, nvm::kMassErase);
             launch(m);
         },
         nvm::kPviol},
        {"sector erase in a protected area",
         [&](VirtualMcu& m) {
             m.write_byte(reg::kFprot, 0x7F);  // FPOPEN clear: the whole block
             write_word(m);
             command(m, nvm::kSectorErase);
             launch(m);
         },
         nvm::kPviol},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        connect();
        host.select(0, 0x3D);
        const std::vector<uint8_t> before = mcu.flash();
        c.steps(mcu);
        EXPECT_EQ(host.wait(reg::kFstat), nvm::kIdle | c.flags);
        EXPECT_TRUE(mcu.flash() == before) << "the array changed";

        // The flag, in the bank that saw it, blocks every sequence until 0x30 clears it;
        // then the part programs again.
        const uint8_t bank = mcu.read_byte(reg::kFcnfg);
        mcu.write_byte(reg::kPpage, bank == 0 ? 0x3D : 0x39);
        EXPECT_NE(host.flash_program_word(0x8200, 0x0000) & c.flags, 0);
        EXPECT_EQ(mcu.read_word(0x8200), 0xFFFF);
        mcu.write_byte(reg::kFstat, 0x30);
        EXPECT_EQ(mcu.read_byte(reg::kFstat), nvm::kIdle);
        mcu.write_byte(reg::kFprot, 0xFF);
        EXPECT_EQ(host.flash_program_word(0x8200, 0x0000), nvm::kIdle);
        EXPECT_EQ(mcu.read_word(0x8200), 0x0000);
    }
}

TEST_F(NvmCommandsTest, AnArrayWriteWhileACommandRunsIsAnAccessError) {
    connect();
    host.select(0, 0x3D);
    mcu.write_word(0x8100, 0x1111);
    mcu.write_byte(reg::kFcmd, nvm::kWordProgram);
    mcu.write_byte(reg::kFstat, nvm::kCbeif);
    EXPECT_EQ(mcu.read_byte(reg::kFstat), 0x00) << "busy: CBEIF and CCIF clear";
    mcu.write_word(0x8102, 0x2222);
    EXPECT_EQ(host.wait(reg::kFstat), nvm::kAccerr) << "flagged while still busy";
    EXPECT_EQ(host.polls, 1u) << "a host stops polling at the flag";
    EXPECT_EQ(mcu.read_byte(reg::kFstat), nvm::kIdle | nvm::kAccerr);
    EXPECT_EQ(mcu.read_word(0x8100), 0x1111) << "the running command still completed";
    EXPECT_EQ(mcu.read_word(0x8102), 0xFFFF);
}

TEST_F(NvmCommandsTest, ClockDividerIsWriteOnceAndNeededForEveryCommand) {
    configure_part(mcu, "dp256");
    mcu.reset(true);
    EXPECT_EQ(mcu.read_byte(reg::kFclkdiv), 0x00);
    // Without a divider neither an array write nor a latch through FADDR/FDATA runs.
    host.select(0, 0x3D);
    EXPECT_EQ(host.flash_program_word(0x8100, 0x0000), nvm::kIdle | nvm::kAccerr);
    mcu.write_byte(reg::kFstat, 0x30);
    EXPECT_EQ(host.flash_all_blocks(nvm::kEraseVerify, reg::kFtstmod)[0],
              nvm::kIdle | nvm::kAccerr);
    EXPECT_EQ(host.eeprom_program_word(0x4000, 0x0000), nvm::kIdle | nvm::kAccerr);

    mcu.write_byte(reg::kFclkdiv, 0x49);
    EXPECT_EQ(mcu.read_byte(reg::kFclkdiv), 0xC9);
    mcu.write_byte(reg::kFclkdiv, 0x0A);
    EXPECT_EQ(mcu.read_byte(reg::kFclkdiv), 0xC9) << "write-once";
    host.select(0, 0x3D);
    mcu.write_byte(reg::kFstat, 0x30);
    EXPECT_EQ(host.flash_program_word(0x8100, 0x0000), nvm::kIdle);
    // The EEPROM has a divider of its own.
    mcu.write_byte(reg::kEstat, 0x30);
    EXPECT_EQ(host.eeprom_program_word(0x4000, 0x0000), nvm::kIdle | nvm::kAccerr);
    mcu.reset(true);
    EXPECT_EQ(mcu.read_byte(reg::kFclkdiv), 0x00) << "a reset unloads it";
}

TEST_F(NvmCommandsTest, EepromCommandsAsTheHostIssuesThem) {
    connect();  // 4 KB at 0x4000
    EXPECT_EQ(host.eeprom_program_word(0x4100, 0xA55A), nvm::kIdle);
    EXPECT_EQ(mcu.read_word(0x4100), 0xA55A);
    EXPECT_EQ(host.eeprom_whole(nvm::kEraseVerify), nvm::kIdle);  // BLANK clear

    // Sector erase takes the aligned 4 bytes; sector modify erases them and programs a word.
    EXPECT_EQ(host.eeprom_program_word(0x4104, 0x0001), nvm::kIdle);
    EXPECT_EQ(host.eeprom_program_word(0x4106, 0x0002), nvm::kIdle);
    mcu.write_word(0x4106, 0xFFFF);
    EXPECT_EQ(host.eeprom_command(nvm::kSectorErase), nvm::kIdle);
    EXPECT_EQ(mcu.read_word(0x4104), 0xFFFF);
    EXPECT_EQ(mcu.read_word(0x4106), 0xFFFF);
    EXPECT_EQ(mcu.read_word(0x4100), 0xA55A);
    mcu.write_word(0x4100, 0x1234);
    EXPECT_EQ(host.eeprom_command(nvm::kSectorModify), nvm::kIdle);
    EXPECT_EQ(mcu.read_word(0x4100), 0x1234);

    // The protection byte at the end - 3, programmed with its neighbour kept, takes effect
    // at the next reset.
    EXPECT_EQ(host.eeprom_program_word(0x4FFC, 0xFFF3), nvm::kIdle);
    EXPECT_EQ(mcu.read_byte(reg::kEprot), 0xFF);
    mcu.reset(false);
    EXPECT_EQ(mcu.read_byte(reg::kEprot), 0xF3);
    mcu.write_byte(reg::kEclkdiv, 0x49);
    EXPECT_EQ(host.eeprom_program_word(0x4F00, 0x0000), nvm::kIdle | nvm::kPviol);
    mcu.write_byte(reg::kEstat, 0x30);
    EXPECT_EQ(host.eeprom_program_word(0x4EFE, 0x0000), nvm::kIdle);
    mcu.write_byte(reg::kEprot, 0xFF);  // normal mode: protection cannot be lifted
    EXPECT_EQ(mcu.read_byte(reg::kEprot), 0xF3);
    mcu.write_word(0x4000, 0x0000);  // and EADDR/EDATA take no writes: an array write
    EXPECT_EQ(host.eeprom_command(nvm::kMassErase), nvm::kIdle | nvm::kPviol);

    // In special mode the host opens EPROT before its mass erase.
    host.connect();
    EXPECT_EQ(host.eeprom_whole(nvm::kMassErase), nvm::kIdle);
    EXPECT_EQ(host.eeprom_whole(nvm::kEraseVerify), nvm::kIdle | nvm::kBlank);
    EXPECT_TRUE(mcu.eeprom_module().erased());

    // A byte write into the EEPROM, or an odd one, is an access error.
    mcu.write_byte(0x4200, 0x00);
    EXPECT_EQ(host.eeprom_command(nvm::kWordProgram), nvm::kIdle | nvm::kAccerr | nvm::kBlank)
        << "BLANK stays until the next command runs";
}

TEST_F(NvmCommandsTest, Hcs12xProgramsThroughItsPagesAndEepromWindow) {
    connect("xdp512");  // blocks of 8 pages from 0xF8 down; EEPROM pages 0xFE-0xFF
    host.select(3, 0xE0);
    EXPECT_EQ(host.flash_program_word(0x8000, 0xBEEF), nvm::kIdle);
    EXPECT_EQ(mcu.flash()[0], 0xBE);
    mcu.write_byte(reg::kFcnfg, 0);
    EXPECT_EQ(host.flash_program_word(0xFF0E, 0xFFFE), nvm::kIdle);
    EXPECT_EQ(host.eeprom_program_word(0x0C00, 0x1357), nvm::kIdle);
    EXPECT_EQ(mcu.eeprom()[0x400], 0x13);
    mcu.reset(false);
    EXPECT_FALSE(mcu.secured());
}

TEST_F(NvmCommandsTest, ResetLoadsEveryBlocksProtectionByte) {
    configure_part(mcu, "dp256");
    const uint32_t field = flash_at(mcu, 0x3F, 0x3F00);
    mcu.flash()[field + 0x0D] = 0xC7;  // block 0
    mcu.flash()[field + 0x0C] = 0xFE;
    mcu.flash()[field + 0x0B] = 0x7F;
    mcu.flash()[field + 0x0A] = 0xDF;  // block 3
    mcu.reset(true);
    const uint8_t expected[4] = {0xC7, 0xFE, 0x7F, 0xDF};
    for (uint8_t b = 0; b < 4; ++b) {
        mcu.write_byte(reg::kFcnfg, b);
        EXPECT_EQ(mcu.read_byte(reg::kFprot), expected[b]) << "block " << int{b};
    }
}

TEST_F(NvmCommandsTest, SecurityFollowsTheSecurityByteAcrossResets) {
    struct Case {
        uint8_t byte;
        bool secured;
    };
    for (const Case c : {Case{0xFE, false}, Case{0x7E, false}, Case{0x02, false}, Case{0xFD, true},
                         Case{0xFF, true}, Case{0x00, true}, Case{0x01, true}}) {
        configure_part(mcu, "dg128");
        mcu.flash()[flash_at(mcu, 0x3F, 0x3F0F)] = c.byte;
        mcu.flash()[0] = 0x00;  // not blank
        mcu.reset(true);
        EXPECT_EQ(mcu.secured(), c.secured) << std::hex << int{c.byte};
        EXPECT_EQ(mcu.read_byte(reg::kFsec), c.byte);
    }

    // Securing, then unsecuring as the host does it.
    connect();
    mcu.write_byte(reg::kFcnfg, 0);
    EXPECT_EQ(host.flash_program_word(0xFF0E, 0xFFFD), nvm::kIdle);
    EXPECT_FALSE(mcu.secured()) << "FSEC changes only at reset";
    host.connect();
    EXPECT_TRUE(mcu.secured());
    EXPECT_EQ(mcu.read_byte(reg::kFsec), 0xFD);
    // A secured part takes mass erase and erase verify, nothing else.
    host.select(0, 0x3C);
    EXPECT_EQ(host.flash_program_word(0x8000, 0x0000), nvm::kIdle | nvm::kAccerr);
    mcu.write_byte(reg::kFstat, 0x30);
    EXPECT_EQ(host.eeprom_program_word(0x4000, 0x0000), nvm::kIdle | nvm::kAccerr);
    mcu.write_byte(reg::kEstat, 0x30);
    EXPECT_EQ(host.eeprom_whole(nvm::kMassErase), nvm::kIdle);
    EXPECT_EQ(host.flash_all_blocks(nvm::kMassErase, reg::kFtstmod),
              std::vector<uint8_t>(4, nvm::kIdle));

    // Blank after a reset into special mode: unsecured until the next reset, long enough
    // to program the security byte.
    host.connect();
    EXPECT_TRUE(mcu.unsecured_blank());
    EXPECT_FALSE(mcu.secured());
    EXPECT_EQ(mcu.read_byte(reg::kFsec), 0xFF);
    EXPECT_EQ(host.flash_program_word(0xFF0E, 0xFF7E), nvm::kIdle);
    mcu.reset(false);
    EXPECT_FALSE(mcu.unsecured_blank());
    EXPECT_FALSE(mcu.secured());
    EXPECT_EQ(mcu.read_byte(reg::kFsec), 0x7E);

    // An erased part reset into normal mode stays secured.
    host.connect();
    EXPECT_EQ(host.flash_all_blocks(nvm::kMassErase, reg::kFtstmod),
              std::vector<uint8_t>(4, nvm::kIdle));
    mcu.reset(false);
    EXPECT_TRUE(mcu.secured());
    // Security keeps a host out, not the part's own program.
    mcu.write_byte(reg::kFclkdiv, 0x49);
    mcu.write_byte(reg::kFcnfg, 1);
    mcu.write_byte(reg::kPpage, 0x38);
    EXPECT_EQ(host.flash_program_word(0x8000, 0x0000), nvm::kIdle);
}

TEST_F(NvmCommandsTest, InjectedFaultsHangOrRefuseCommands) {
    struct Case {
        const char* fault;
        unsigned first_polls;  // status reads until the first command completes
        uint8_t first;
        uint8_t second;
    };
    const Case cases[] = {
        {"flash-hang", kPollLimit, 0x00, nvm::kAccerr},  // written while it runs
        {"flash-hang:0x20,after=1", 3, nvm::kIdle, 0x00},
        {"flash-pviol:0x20", 1, nvm::kIdle | nvm::kPviol, nvm::kIdle | nvm::kPviol},
        {"flash-accerr,after=1", 3, nvm::kIdle, nvm::kIdle | nvm::kAccerr},
        {"flash-accerr:0x41", 3, nvm::kIdle, nvm::kIdle},  // another command
        {"nvm-busy:0", 1, nvm::kIdle, nvm::kIdle},
        {"nvm-busy:7", 8, nvm::kIdle, nvm::kIdle},
        {"eeprom-hang", 3, nvm::kIdle, nvm::kIdle},  // the other module
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        FaultSet faults;
        ASSERT_EQ(parse_fault(c.fault, &faults), 0);
        connect();
        mcu.set_nvm_faults(faults.nvm);
        host.select(1, 0x38);
        EXPECT_EQ(host.flash_program_word(0x8000, 0x0000), c.first);
        EXPECT_EQ(host.polls, c.first_polls);
        mcu.write_byte(reg::kFstat, 0x30);
        EXPECT_EQ(host.flash_program_word(0x8002, 0x0000), c.second);
        const bool first_ran = c.first == nvm::kIdle;
        EXPECT_EQ(mcu.read_word(0x8000), first_ran ? 0x0000 : 0xFFFF);
    }

    FaultSet faults;
    ASSERT_EQ(parse_fault("eeprom-pviol:0x41", &faults), 0);
    ASSERT_EQ(parse_fault("eeprom-hang:0x05", &faults), 0);
    connect();
    mcu.set_nvm_faults(faults.nvm);
    EXPECT_EQ(host.eeprom_whole(nvm::kMassErase), nvm::kIdle | nvm::kPviol);
    mcu.write_byte(reg::kEstat, 0x30);
    EXPECT_EQ(host.eeprom_program_word(0x4000, 0x0000), nvm::kIdle);
    EXPECT_EQ(host.eeprom_whole(nvm::kEraseVerify) & nvm::kCcif, 0);
    host.connect();  // a reset ends a hung command
    EXPECT_EQ(mcu.read_byte(reg::kEstat), nvm::kIdle);

    for (const char* bad : {"flash-hang:0x20:1", "flash-oops", "nvm-busy", "nvm-busy:x",
                            "eeprom-pviol:0x100", "nvm-busy:3,after=1"}) {
        EXPECT_EQ(parse_fault(bad, &faults), EINVAL) << bad;
    }
}

// A weak byte fails silently on both paths to the array: the host's register sequence and
// the resident firmware's own programming complete without an error, the neighbour in the
// same word programs, the weak byte keeps its bits, and an erase still reaches it.
TEST_F(NvmCommandsTest, WeakByteProgramsSilentlyToNothing) {
    FaultSet faults;
    ASSERT_EQ(parse_fault("weak-flash:0x100AB", &faults), 0);  // page 0x34, offset 0xAB
    ASSERT_EQ(faults.weak_flash, std::vector<uint32_t>{0x100AB});
    connect();
    ASSERT_EQ(mcu.add_weak_byte(Region::kFlash, 0x100AB), 0);
    EXPECT_EQ(mcu.add_weak_byte(Region::kFlash, static_cast<uint32_t>(mcu.flash().size())), EINVAL);

    host.select(2, 0x34);
    EXPECT_EQ(host.flash_program_word(0x80AA, 0x1200), nvm::kIdle);
    EXPECT_EQ(mcu.read_word(0x80AA), 0x12FF);

    EXPECT_EQ(mcu.program_flash_word(flash_at(mcu, 0x34, 0xAA), 0x0000), NvmStatus::kNotErased);
    EXPECT_EQ(mcu.erase_flash_sector(flash_at(mcu, 0x34, 0)), NvmStatus::kOk);
    EXPECT_EQ(mcu.read_word(0x80AA), 0xFFFF);
    EXPECT_EQ(mcu.program_flash_word(flash_at(mcu, 0x34, 0xAA), 0x3400), NvmStatus::kOk);
    EXPECT_EQ(mcu.read_word(0x80AA), 0x34FF);
    EXPECT_EQ(mcu.program_flash_word(flash_at(mcu, 0x34, 0xAC), 0x5678), NvmStatus::kOk);
    EXPECT_EQ(mcu.read_word(0x80AC), 0x5678);

    for (const char* bad :
         {"weak-flash", "weak-flash:x", "weak-flash:1:2", "weak-flash:1,after=1"}) {
        EXPECT_EQ(parse_fault(bad, &faults), EINVAL) << bad;
    }
}

TEST_F(NvmCommandsTest, StateFileKeepsTheCommandState) {
    zelv::test::TempDir dir;
    const std::string path = dir.file("board.sim");
    connect();
    host.select(0, 0x3D);
    mcu.write_word(0x8100, 0x4242);
    mcu.write_byte(reg::kFcmd, nvm::kWordProgram);
    mcu.write_byte(reg::kFstat, nvm::kCbeif);  // launched, not yet polled
    mcu.write_byte(reg::kEstat, nvm::kCbeif);  // nothing to launch: no effect
    ASSERT_EQ(state_save(path.c_str(), "dp256", mcu), 0);

    VirtualMcu again;
    configure_part(again, "dp256");
    bool loaded = false;
    ASSERT_EQ(state_load(path.c_str(), again, &loaded), 0);
    EXPECT_EQ(again.read_byte(reg::kFclkdiv), 0xC9);
    EXPECT_EQ(again.read_byte(reg::kFcnfg), 0);
    EXPECT_EQ(again.read_word(0x8100), 0xFFFF) << "the command is still running";
    RegisterHost other(again);
    EXPECT_EQ(other.wait(reg::kFstat), nvm::kIdle);
    EXPECT_EQ(again.read_word(0x8100), 0x4242);

    // A file saved before the command state was kept loads with idle modules.
    std::string content = zelv::test::read_file(path);
    for (const char* tag : {"FSEQ", "ESEQ"}) {
        const size_t at = content.find(tag);
        ASSERT_NE(at, std::string::npos);
        const auto length = static_cast<size_t>((static_cast<uint8_t>(content[at + 6]) << 8) |
                                                static_cast<uint8_t>(content[at + 7]));
        content.erase(at, 8 + length);
    }
    const std::string old = dir.file("old.sim");
    zelv::test::write_file(old, content);
    VirtualMcu older;
    configure_part(older, "dp256");
    ASSERT_EQ(state_load(old.c_str(), older, &loaded), 0);
    EXPECT_EQ(older.read_byte(reg::kFstat), nvm::kIdle);
    EXPECT_EQ(older.read_byte(reg::kFclkdiv), 0xC9);
    EXPECT_EQ(older.read_word(0x8100), 0xFFFF);

    // Command state for another number of banks is refused, and nothing is loaded.
    std::string broken = zelv::test::read_file(path);
    broken[broken.find("FSEQ") + 8] = 2;
    zelv::test::write_file(old, broken);
    EXPECT_EQ(state_load(old.c_str(), older, &loaded), EINVAL);
    EXPECT_FALSE(loaded);
    EXPECT_EQ(older.read_byte(reg::kFstat), nvm::kIdle);
}

}  // namespace
}  // namespace zelv::sim::test
