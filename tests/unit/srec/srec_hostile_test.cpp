// Hostile input: whatever a file holds, the reader writes only inside the image, keeps its
// outputs consistent, and reports exactly one known message when it refuses the file.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "fakes/run_state.h"
#include "srec/srec.h"
#include "srec_test_util.h"

namespace zelv::test {
namespace {

// Scatters addresses over a small image: both ends of a record can land inside it without
// lying next to each other.
uint32_t scatter_to_offset(uint32_t a) {
    return (a * 2654435761u) >> 26;
}

struct Config {
    const char* name;
    AddressMap map;
    uint32_t image_size;
    std::vector<std::string> seeds;  // valid records near the edges of the window
};

std::vector<uint8_t> bytes(unsigned count, uint8_t first) {
    std::vector<uint8_t> out(count);
    for (unsigned i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>(first + 3 * i);
    }
    return out;
}

// The checksum pair for the hex pairs of a record's body (count, address, data); false when
// the body is not all hex pairs.
bool checksum_for(const std::string& body, std::string* pair) {
    if (body.size() % 2 != 0) {
        return false;
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i < body.size(); i += 2) {
        const std::string digits = body.substr(i, 2);
        if (digits.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
            return false;
        }
        sum += static_cast<unsigned>(std::stoul(digits, nullptr, 16));
    }
    static constexpr char hex[] = "0123456789ABCDEF";
    const unsigned checksum = ~sum & 0xFFu;
    *pair = {hex[checksum >> 4], hex[checksum & 0xFu]};
    return true;
}

// "S", the type and the body, with the right checksum and a line feed appended: a record
// that gets past the checksum and reaches the size and range checks.
std::string checksummed(const std::string& start) {
    std::string pair;
    if (!checksum_for(start.substr(2), &pair)) {
        ADD_FAILURE() << "not a record body: " << start;
    }
    return start + pair + "\n";
}

// A mutated line with its last pair replaced by the checksum of the pairs before it, as a
// forger (or a tool that recomputes checksums) would leave it; unchanged when that is not
// possible.
std::string with_fixed_checksum(const std::string& line) {
    std::string pair;
    if (line.size() >= 6 && checksum_for(line.substr(2, line.size() - 4), &pair)) {
        return line.substr(0, line.size() - 2) + pair;
    }
    return line;
}

std::vector<Config> configs() {
    return {
        {"identity",
         nullptr,
         0x40,
         {record('1', 0x00, bytes(16, 1)), record('1', 0x30, bytes(16, 2)),
          record('2', 0x3F, bytes(1, 3)), record('3', 0x20, bytes(32, 4)),
          record('0', 0, bytes(20, 0x41)), record('9', 0x10, {}), record('5', 3, {})}},
        {"non-banked window",
         nb_to_offset,
         0x40,
         {record('1', 0x4000, bytes(16, 1)), record('1', 0x4030, bytes(16, 2)),
          record('2', 0x403F, bytes(1, 3)), record('8', 0x4000, {}), record('7', 0x3FFF, {})}},
        {"pages",
         ppage_to_offset,
         0x8000,
         {record('2', 0x30BFF0, bytes(16, 1)), record('2', 0x318000, bytes(64, 2)),
          record('3', 0x31BFFF, bytes(1, 3)), record('8', 0x308000, {})}},
        {"scattered", scatter_to_offset, 0x40, {record('1', 0x1234, bytes(8, 1))}},
    };
}

// An image with canary bytes on both sides; the reader gets only the middle.
class GuardedImage {
public:
    GuardedImage(uint32_t size, uint8_t fill) : size_(size), fill_(fill) {
        buffer_.resize(guard + size + guard);
        for (std::size_t i = 0; i < buffer_.size(); ++i) {
            buffer_[i] = canary(i);
        }
        std::fill_n(image(), size, fill);
    }

    uint8_t* image() { return buffer_.data() + guard; }

    [[nodiscard]] bool guards_intact() const {
        for (std::size_t i = 0; i < guard; ++i) {
            if (buffer_[i] != canary(i) ||
                buffer_[guard + size_ + i] != canary(guard + size_ + i)) {
                return false;
            }
        }
        return true;
    }

    // Bytes outside [lowest, highest] must still hold the preset.
    [[nodiscard]] bool untouched_outside(uint32_t lowest, uint32_t highest) const {
        for (uint32_t i = 0; i < size_; ++i) {
            if ((i < lowest || i > highest) && buffer_[guard + i] != fill_) {
                return false;
            }
        }
        return true;
    }

private:
    static constexpr std::size_t guard = 512;
    static uint8_t canary(std::size_t i) { return static_cast<uint8_t>(0xA5 ^ (i * 7)); }

    std::vector<uint8_t> buffer_;
    uint32_t size_;
    uint8_t fill_;
};

class SrecHostile : public testing::Test {
protected:
    void SetUp() override { reset_run_state(); }

    // Reads `content` with every output given and checks what must hold for any input.
    void check(const std::string& content, const Config& config) {
        SCOPED_TRACE(testing::Message() << config.name << " input: " << printable(content));
        const std::string path = dir.file("hostile.s19");
        write_file(path, content);
        GuardedImage guarded(config.image_size, 0x5C);
        char info[256];
        uint32_t raw = unset;
        uint32_t entry = unset;
        uint32_t lowest = unset;
        uint32_t highest = unset;
        testing::internal::CaptureStderr();
        const int result =
            srec_read(path.c_str(), info, sizeof info, guarded.image(), config.image_size, &raw,
                      &entry, &lowest, &highest, config.map);
        const std::string error = testing::internal::GetCapturedStderr();

        ASSERT_TRUE(guarded.guards_intact());
        ASSERT_TRUE(result == 0 || result == EINVAL) << result;
        ASSERT_LT(strnlen(info, sizeof info), sizeof info);
        const bool nothing = lowest == config.image_size && highest == 0;
        ASSERT_TRUE(nothing || (lowest <= highest && highest < config.image_size))
            << lowest << " " << highest;
        ASSERT_TRUE(guarded.untouched_outside(nothing ? 1 : lowest, nothing ? 0 : highest));
        if (result == 0) {
            ASSERT_EQ(error, "");
        } else {
            static const std::regex one_message(
                "\nerror: [^\n]*:[0-9]+: (invalid S-record|S-record line too long|"
                "S-record checksum error|"
                "data block address <0x[0-9A-F]+> out of range|"
                "entry address <0x[0-9A-F]+> out of range)\n");
            ASSERT_TRUE(std::regex_match(error, one_message)) << error;
        }
        ++runs;
        accepted += result == 0 ? 1 : 0;
    }

    static std::string printable(const std::string& text) {
        std::string out;
        for (char c : text.substr(0, 200)) {
            if (c >= ' ' && c <= '~') {
                out += c;
            } else {
                out += "\\x" + std::string(1, "0123456789ABCDEF"[(c >> 4) & 0xF]) +
                       "0123456789ABCDEF"[c & 0xF];
            }
        }
        return out;
    }

    TempDir dir;
    unsigned runs = 0;
    unsigned accepted = 0;
};

TEST_F(SrecHostile, HandMadeInputs) {
    const std::vector<std::string> inputs = {
        "",
        "\n\n\n",
        std::string(527, 'S'),
        "S1" + std::string(100000, 'F') + "\n",
        std::string(4096, '\0'),
        std::string("S1050000\0\0\0\0\n", 13),
        "S3FF00000000" + std::string(480, 'A') + "\n",        // count 0xFF, data short
        "S3FF00000000" + std::string(498, 'A') + "\n",        // count 0xFF, one pair short
        checksummed("S1FF0000" + std::string(504, '1')),      // 252 bytes at address 0
        checksummed("S2FFFFFFFF" + std::string(502, '7')),    // 251 bytes at the top of S2
        checksummed("S3FFFFFFFFF0" + std::string(500, '7')),  // 250 bytes wrapping past 2^32
        "S1FF0000" + std::string(504, '1') + "00\n",          // the same with a bad checksum
        "S3FF000000" + std::string(504, '2') + "00\n",        // misaligned in the address
        "S0FF0000" + std::string(504, '0') + "00\n",          // 252 NUL info bytes
        "S10" + std::string(1, '\0'),
        "S105000",
        "S1050000AAB",
        "S1\r\n",
        "S9\r",
        "S1050000AABB95\rS1050000AABB95",
        "S7FF00000000" + std::string(500, 'F') + "\n",
        "S00300\n",
        "S0030000FC\nS0030000FC\n",
        "S1030000FC\nS2040000FFFC\nS3050000FFFFFC\n",
    };
    for (const Config& config : configs()) {
        for (const std::string& input : inputs) {
            check(input, config);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

TEST_F(SrecHostile, RandomGarbage) {
    std::mt19937 engine(0x5EC0DE);
    const auto random = [&engine](uint32_t bound) {
        return static_cast<uint32_t>(engine() % bound);
    };
    static constexpr char alphabet[] = "S0123456789ABCDEFabcdef\r\n \0Sx";
    for (const Config& config : configs()) {
        for (int round = 0; round < 150; ++round) {
            std::string input;
            const uint32_t length = random(round % 10 == 0 ? 3000 : 200);
            for (uint32_t i = 0; i < length; ++i) {
                // Half the inputs are any bytes, half the characters of records.
                input += round % 2 == 0 ? static_cast<char>(random(256))
                                        : alphabet[random(sizeof alphabet - 1)];
            }
            if (round % 3 == 0) {
                input = "S" + std::string(1, "0123456789"[random(10)]) + input;
            }
            check(input, config);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
}

// Valid records with a few mutations each: a changed, inserted or deleted character, a cut,
// another count byte, repeated or appended pieces, half of them with the checksum made to
// match again. Most are refused; the rest must load without touching anything outside what
// they report.
TEST_F(SrecHostile, MutatedRecords) {
    std::mt19937 engine(20240611);
    const auto random = [&engine](uint32_t bound) {
        return static_cast<uint32_t>(engine() % bound);
    };
    static constexpr char interesting[] = "0123456789ABCDEFabcdefSG \r\n\0";
    for (const Config& config : configs()) {
        for (int round = 0; round < 700; ++round) {
            std::string content;
            const uint32_t lines = 1 + random(3);
            for (uint32_t l = 0; l < lines; ++l) {
                std::string line = config.seeds[random(static_cast<uint32_t>(config.seeds.size()))];
                const uint32_t mutations = l + 1 == lines ? 1 + random(3) : random(2);
                for (uint32_t m = 0; m < mutations && !line.empty(); ++m) {
                    const auto at = random(static_cast<uint32_t>(line.size()));
                    const char c = random(4) == 0 ? static_cast<char>(random(256))
                                                  : interesting[random(sizeof interesting - 1)];
                    switch (random(7)) {
                        case 0:
                            line[at] = c;
                            break;
                        case 1:
                            line.insert(line.begin() + at, c);
                            break;
                        case 2:
                            line.erase(at, 1);
                            break;
                        case 3:
                            line.resize(at);
                            break;
                        case 4:
                            if (line.size() > 3) {
                                static constexpr char hex[] = "0123456789ABCDEF";
                                line[2] = hex[random(16)];
                                line[3] = hex[random(16)];
                            }
                            break;
                        case 5:
                            line += line.substr(at);
                            break;
                        default:
                            line.insert(at, std::string(random(600), c));
                            break;
                    }
                }
                if (random(2) == 0) {
                    line = with_fixed_checksum(line);
                }
                content += line + (random(8) == 0 ? "\r\n" : "\n");
            }
            check(content, config);
            if (HasFatalFailure()) {
                return;
            }
        }
    }
    // The mutations must leave some files loadable, or the loop tests only refusals.
    EXPECT_GT(accepted, runs / 20);
}

}  // namespace
}  // namespace zelv::test
