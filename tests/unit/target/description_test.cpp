// Loading and querying target descriptions.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/settings.h"
#include "fakes/run_state.h"
#include "target/description.h"

namespace zelv {
namespace {

using test::TempDir;

class DescriptionTest : public testing::Test {
protected:
    void SetUp() override { test::reset_run_state(); }
    void TearDown() override { test::reset_run_state(); }

    // Loads text and returns the value of key as a number, or the error.
    int number(const std::string& text, const char* key, uint32_t* out) {
        EXPECT_EQ(test::load_description_text(dir, text), 0);
        testing::internal::CaptureStderr();
        const int result = description_number(key, out, 77);
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    TempDir dir;
    std::string err;
};

TEST_F(DescriptionTest, NumbersAndTheirMalformedForms) {
    struct Case {
        std::string line;
        int result;
        uint32_t value;
    };
    const Case cases[] = {
        {"ram_size 0x1000", 0, 4096},
        {"   ram_size\t\t4096", 0, 4096},
        {"\tram_size 010000\r", 0, 4096},
        {"ram_size 0x1000 ", EINVAL, 77},  // a trailing blank is part of the value
        {"ram_size 0x1000   # 8 KB", 0, 4096},  // a comment after a number and white space
        {"ram_size 0x1000# RAM", EINVAL, 77},   // without the white space it is not one
        {"ram_size 12abc", EINVAL, 77},
        {"ram_size", 0, 0},  // a key alone has an empty value: 0
        {"ram_size 0xFFFFFFFF", 0, 0xFFFFFFFF},
        {"ram_size 4294967295", 0, 0xFFFFFFFF},
        // Never cut or wrapped: a value past 32 bits or with a minus sign is malformed.
        {"ram_size 0x123456789", EINVAL, 77},
        {"ram_size 4294967296", EINVAL, 77},
        {"ram_size 99999999999999999999999", EINVAL, 77},
        {"ram_size -1", EINVAL, 77},
        {"ram_size -0", EINVAL, 77},
        {"ram_size -0x10", EINVAL, 77},
        {"ram_size +16", 0, 16},
        {"# ram_size 5", 0, 77},  // a comment line: the key is absent
        {"ram_size\xa0"
         "5",
         0, 77},  // 0xA0 is not white space: another key
    };
    for (const Case& c : cases) {
        uint32_t value = 0;
        EXPECT_EQ(number(c.line + "\n", "ram_size", &value), c.result) << c.line;
        EXPECT_EQ(value, c.value) << c.line;
        EXPECT_EQ(err, c.result == 0 ? ""
                                     : "\nerror: " + dir.file("target.dat") +
                                           ":1: invalid value for target description "
                                           "parameter ram_size\n")
            << c.line;
    }
}

TEST_F(DescriptionTest, ValuesKeepTheirTextAndRepeatedKeysWalkInFileOrder) {
    ASSERT_EQ(test::load_description_text(dir,
                                          "# board file\n"
                                          "\n"
                                          "info  My board # rev B  \r\n"
                                          "bdm_init_byte 0x3C 0x80\n"
                                          "flash_module\n"
                                          "bdm_init_byte 0x13C 0x180\n"
                                          "Info other\n"),
              0);
    EXPECT_STREQ(description_get("info", true), "My board # rev B  ");
    EXPECT_STREQ(description_get("flash_module", true), "");
    EXPECT_EQ(description_get("INFO", true), nullptr);

    EXPECT_STREQ(description_get("bdm_init_byte", true), "0x3C 0x80");
    EXPECT_STREQ(description_get("bdm_init_byte", true), "0x3C 0x80");
    EXPECT_EQ(description_get(nullptr, true), nullptr);
    EXPECT_STREQ(description_get("bdm_init_byte", false), "0x3C 0x80");
    EXPECT_STREQ(description_next("bdm_init_byte"), "0x13C 0x180");
    EXPECT_EQ(description_next("bdm_init_byte"), nullptr);
    EXPECT_EQ(description_next("info"), nullptr) << "the cursor stays past the end";
}

// A line longer than one read is still one line: its tail never becomes a line of its own.
TEST_F(DescriptionTest, LongLinesStayOneLine) {
    const std::string value(300, 'v');
    ASSERT_EQ(test::load_description_text(dir, "info " + value + "\nmcu m\n"), 0);
    EXPECT_EQ(std::string(description_get("info", true)), value);
    EXPECT_EQ(description_get(std::string(50, 'v').c_str(), true), nullptr);
    EXPECT_STREQ(description_get("mcu", true), "m");

    // A key hidden at column 256 of a comment or of a long value sets nothing.
    struct Case {
        const char* name;
        std::string line;
    };
    const Case cases[] = {
        {"comment", "#" + std::string(254, ' ') + "eeprom_size 0"},
        {"comment, key at 511", "#" + std::string(509, '-') + "eeprom_size 0"},
        {"info value", "info " + std::string(250, 'x') + "eeprom_size 0"},
        {"very long line", "info " + std::string(100000, 'x') + " eeprom_size 0"},
    };
    for (const Case& c : cases) {
        description_free();
        ASSERT_EQ(test::load_description_text(dir, c.line + "\nflash_module FTS128K\n"), 0)
            << c.name;
        EXPECT_EQ(description_get("eeprom_size", true), nullptr) << c.name;
        EXPECT_STREQ(description_get("flash_module", true), "FTS128K") << c.name;
    }
}

// A description is read to at most 1 MiB: a device that never ends, or a wrong file, is
// refused instead of being read for ever.
TEST_F(DescriptionTest, SizeBound) {
    const std::size_t limit = std::size_t{1} << 20;
    std::string text = "info at the limit\n";
    text += "#" + std::string(limit - text.size() - 2, '-') + "\n";
    ASSERT_EQ(text.size(), limit);
    EXPECT_EQ(test::load_description_text(dir, text), 0);
    EXPECT_STREQ(description_get("info", true), "at the limit");

    struct Case {
        std::string path;
        std::string content;  // written to path when not empty
    };
    const Case cases[] = {
        {dir.file("big.dat"), text + "x"},
        {dir.file("one-line.dat"), std::string(limit + 1, 'k')},
        {"/dev/zero", ""},
    };
    for (const Case& c : cases) {
        if (!c.content.empty()) {
            test::write_file(c.path, c.content);
        } else if (access(c.path.c_str(), R_OK) != 0) {
            continue;  // no such device here
        }
        description_free();
        settings().target = c.path.c_str();
        testing::internal::CaptureStderr();
        EXPECT_EQ(description_load(), EINVAL) << c.path;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "\nerror: target description file " + c.path + " too large\n");
    }
}

TEST_F(DescriptionTest, EmptyFileLoadsAsAnEmptyList) {
    ASSERT_EQ(test::load_description_text(dir, ""), 0);
    EXPECT_EQ(description_get("info", true), nullptr);
}

TEST_F(DescriptionTest, PathChoice) {
    test::write_file(dir.file("board"), "info from the current folder\n");
    test::write_file(dir.file("board.dat"), "info from the data folder\n");
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);

    // A readable file of that name in the current folder wins.
    settings().target = "board";
    std::strncpy(settings().data_dir, dir.path().c_str(), kDataDirSize - 1);
    EXPECT_EQ(description_load(), 0);
    EXPECT_STREQ(description_get("info", true), "from the current folder");

    // Otherwise the data folder's name.dat.
    description_free();
    ASSERT_EQ(unlink("board"), 0);
    EXPECT_EQ(description_load(), 0);
    EXPECT_STREQ(description_get("info", true), "from the data folder");

    // A name with a "/" is a path, never looked up in the data folder.
    description_free();
    settings().target = "./board";
    testing::internal::CaptureStderr();
    EXPECT_EQ(description_load(), ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: cannot open target description file ./board (No such file or "
              "directory)\n");
    ASSERT_EQ(chdir(previous), 0);
}

TEST_F(DescriptionTest, DefaultDataFolderAndOverlongPaths) {
    settings().target = "no-such-board";
    testing::internal::CaptureStderr();
    EXPECT_EQ(description_load(), ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: cannot open target description file "
              "/usr/local/share/zelvanor/no-such-board.dat (No such file or directory)\n"
              "hint: no file no-such-board in the current folder, and no such description in "
              "/usr/local/share/zelvanor; -t also takes a path to a description file\n");

    // A path longer than 256 characters is refused whole, never cut to another file's name.
    const std::string name(240, 'n');
    settings().target = name.c_str();
    testing::internal::CaptureStderr();
    EXPECT_EQ(description_load(), ENAMETOOLONG);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: cannot open target description file /usr/local/share/zelvanor/" + name +
                  ".dat (File name too long)\nhint: no file " + name +
                  " in the current folder, and no such description in /usr/local/share/zelvanor; "
                  "-t also takes a path to a description file\n");
}

TEST_F(DescriptionTest, FilesNamedInADescriptionResolveBesideIt) {
    // board/desc.dat names agent.s19, which sits beside it; the current folder is elsewhere.
    ASSERT_EQ(mkdir(dir.file("board").c_str(), 0700), 0);
    test::write_file(dir.file("board/desc.dat"), "info x\n");
    test::write_file(dir.file("board/agent.s19"), "S9030000FC\n");
    const std::string description = dir.file("board/desc.dat");
    settings().target = description.c_str();
    std::strncpy(settings().data_dir, "/no/data", kDataDirSize - 1);
    ASSERT_EQ(description_load(), 0);
    struct Case {
        const char* name;
        std::string expected;
    };
    const Case cases[] = {
        {"agent.s19", dir.file("board/agent.s19")},         // beside the description
        {"../board/agent.s19", dir.file("board/../board/agent.s19")},
        {"missing.s19", "/no/data/missing.s19"},             // else the data directory
        {"sub/missing.s19", "sub/missing.s19"},              // a path stays a path
        {"/abs/agent.s19", "/abs/agent.s19"},
    };
    for (const Case& c : cases) {
        std::string path;
        EXPECT_EQ(description_file_path(c.name, &path), 0) << c.name;
        EXPECT_EQ(path, c.expected) << c.name;
    }
}

TEST_F(DescriptionTest, UnreadableFileIsReported) {
    settings().target = dir.path().c_str();  // a folder opens, but cannot be read
    testing::internal::CaptureStderr();
    EXPECT_EQ(description_load(), EISDIR);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\nerror: cannot read target description file " + dir.path() + " (Is a directory)\n");
}

}  // namespace
}  // namespace zelv
