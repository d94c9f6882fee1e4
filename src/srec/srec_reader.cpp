// The strict S-record reader: one line at a time into a fixed buffer, no allocation, and no
// byte written outside the caller's image whatever the file holds.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "base/console.h"
#include "srec/preloaded.h"
#include "srec/record_format.h"
#include "srec/srec.h"

namespace zelv {
namespace {

// At most 527 characters of a line and the terminating NUL. The longest valid record (S3
// with count 0xFF) is 514 characters, so a full buffer always means an overlong line.
constexpr unsigned line_buffer_size = 528;
// Count 0xFF less two address bytes and the checksum leaves 252 data bytes, plus the NUL
// that makes an S0 record's data a string.
constexpr unsigned data_buffer_size = 256;

// Termination and count records carry an address and nothing else.
bool exact_count(char type) {
    return type == '5' || type == '7' || type == '8' || type == '9';
}

// Hex digit by the C locale's classification; -1 for anything else (NUL included).
int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// A line of the file as read: its characters (NUL bytes included) and their count.
struct Line {
    char text[line_buffer_size];
    unsigned length = 0;
};

// Walks the hex pairs of one line; never looks past the characters that were read.
class PairCursor {
public:
    explicit PairCursor(const Line& line, unsigned position) : line_(line), pos_(position) {}

    bool next(uint8_t& value) {
        if (pos_ + 1 >= line_.length) {
            return false;
        }
        const int high = hex_digit(line_.text[pos_]);
        const int low = hex_digit(line_.text[pos_ + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        value = static_cast<uint8_t>((high << 4) | low);
        pos_ += 2;
        return true;
    }

    // The checksum pair must be followed by the end of the line or its line end (a line
    // feed or a carriage return, which the line reader only keeps as the line's end).
    [[nodiscard]] bool at_line_end() const {
        if (pos_ >= line_.length) {
            return true;
        }
        const char c = line_.text[pos_];
        return c == '\n' || c == '\r';
    }

private:
    const Line& line_;
    unsigned pos_;
};

// Reads one line of up to 527 characters, its line end kept when it fits. A line ends in a
// line feed, a carriage return and line feed, or a lone carriage return (old Mac files), so
// that no record hides behind a carriage return. The characters are counted here, so that a
// NUL byte in the file is one more invalid character rather than a hidden end of line.
// Returns false at end of file or on a read error, with nothing read.
bool read_line(FILE* file, Line& line) {
    line.length = 0;
    while (line.length < line_buffer_size - 1) {
        const int c = std::getc(file);
        if (c == EOF) {
            break;
        }
        line.text[line.length++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
        if (c == '\r') {
            const int next = std::getc(file);
            if (next == '\n' && line.length < line_buffer_size - 1) {
                line.text[line.length++] = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file);
            }
            break;
        }
    }
    line.text[line.length] = '\0';
    return line.length > 0;
}

uint32_t apply(AddressMap map, uint32_t address) {
    return map != nullptr ? map(address) : address;
}

struct ReadState {
    const char* path;
    char* info;
    unsigned info_size;
    uint8_t* image;
    uint32_t image_size;
    uint32_t* raw_entry;
    uint32_t* entry;
    uint32_t* lowest;
    uint32_t* highest;
    AddressMap map;
    SrecFile* sink = nullptr;  // when set, data records are kept here instead of placed
    unsigned line_number = 0;
    bool done = false;  // a termination record ends the file
};

// Places one data record of `length` bytes at S-record address `address` into the image.
// Returns 0 or EINVAL (reported with path and line).
int place(const ReadState& s, uint32_t address, const uint8_t* data, unsigned length,
          unsigned line_number) {
    // A record without data bytes names no image byte: it neither writes nor moves the span
    // (its "last" address would lie before its first).
    if (length == 0) {
        return 0;
    }
    const uint32_t first = apply(s.map, address);
    const uint32_t last = apply(s.map, address + length - 1u);
    // Only the two ends pass through the map, so they must also be exactly the record's
    // length apart: a record that straddles the edge of a mapped window would otherwise land
    // at the wrong place or past the image end.
    if (first >= s.image_size || last >= s.image_size || last < first ||
        last - first != length - 1u) {
        report_error("%s:%u: data block address <0x%lX> out of range\n", s.path, line_number,
                     static_cast<unsigned long>(address));
        return EINVAL;
    }
    std::memcpy(s.image + first, data, length);
    if (s.lowest != nullptr && first < *s.lowest) {
        *s.lowest = first;
    }
    if (s.highest != nullptr && last > *s.highest) {
        *s.highest = last;
    }
    return 0;
}

// The termination record's address: kept as it stands and, mapped, range-checked.
int take_entry(const ReadState& s, uint32_t address, unsigned line_number) {
    int result = 0;
    if (s.raw_entry != nullptr) {
        *s.raw_entry = address;
    }
    if (s.entry != nullptr) {
        const uint32_t mapped = apply(s.map, address);
        // Address 0 stands for "no entry point" and is never refused.
        if (address != 0 && mapped >= s.image_size) {
            report_error("%s:%u: entry address <0x%lX> out of range\n", s.path, line_number,
                         static_cast<unsigned long>(address));
            result = EINVAL;
        }
        *s.entry = mapped;
    }
    return result;
}

// Judges one line and applies it. Returns 0 or EINVAL (reported).
int take_line(ReadState& s, const Line& line) {
    const auto invalid = [&]() {
        report_error("%s:%u: invalid S-record\n", s.path, s.line_number);
        return EINVAL;
    };

    if (line.length < 2 || line.text[0] != 'S') {
        return invalid();
    }
    const char type = line.text[1];
    const unsigned width = srec_address_bytes(type);
    if (width == 0) {
        return invalid();
    }

    PairCursor cursor(line, 2);
    uint8_t count = 0;
    if (!cursor.next(count)) {
        return invalid();
    }
    if (exact_count(type) ? count != width + 1 : count <= width) {
        return invalid();
    }

    // The checksum is the one's complement of the low byte of the sum of the count, address
    // and data bytes.
    unsigned sum = count;
    uint32_t address = 0;
    for (unsigned i = 0; i < width; ++i) {
        uint8_t byte = 0;
        if (!cursor.next(byte)) {
            return invalid();
        }
        address = (address << 8) | byte;
        sum += byte;
    }

    uint8_t data[data_buffer_size];
    const unsigned length = count - width - 1u;  // at most 252
    for (unsigned i = 0; i < length; ++i) {
        if (!cursor.next(data[i])) {
            return invalid();
        }
        sum += data[i];
    }
    uint8_t checksum = 0;
    if (!cursor.next(checksum) || !cursor.at_line_end()) {
        return invalid();
    }
    // A corrupted record must not be programmed as if it were right.
    if (checksum != (~sum & 0xFFu)) {
        report_error("%s:%u: S-record checksum error\n", s.path, s.line_number);
        return EINVAL;
    }

    switch (type) {
        case '0':
            data[length] = 0;
            if (s.info != nullptr && s.info_size > 0) {
                const std::size_t text = std::strlen(reinterpret_cast<const char*>(data));
                const std::size_t copied = text < s.info_size - 1 ? text : s.info_size - 1;
                std::memcpy(s.info, data, copied);
                s.info[copied] = '\0';
                // The header text is only ever shown, on the user's terminal.
                make_printable(s.info);
            }
            return 0;
        case '1':
        case '2':
        case '3':
            if (s.sink != nullptr) {
                try {
                    s.sink->records.push_back(
                        SrecRecord{address, s.line_number, std::vector<uint8_t>(data, data + length)});
                } catch (const std::bad_alloc&) {
                    report_error("not enough memory\n");
                    return ENOMEM;
                }
                return 0;
            }
            return place(s, address, data, length, s.line_number);
        case '5':
            return 0;
        default:  // '7', '8', '9'
            s.done = true;
            if (s.sink != nullptr) {
                s.sink->has_entry = true;
                s.sink->entry = address;
                s.sink->entry_line = s.line_number;
                return 0;
            }
            return take_entry(s, address, s.line_number);
    }
}

// Reads the whole file through the line reader into s; returns 0 or an errno value
// (reported).
int read_file(ReadState& s) {
    FILE* file = std::fopen(s.path, "r");
    if (file == nullptr) {
        const int error = errno;
        report_error("unable to open %s (%s)\n", s.path, std::strerror(error));
        return error;
    }
    // The outputs change only once the file is open.
    if (s.info != nullptr && s.info_size > 0) {
        s.info[0] = '\0';
    }
    if (s.lowest != nullptr) {
        *s.lowest = s.image_size;
    }
    if (s.highest != nullptr) {
        *s.highest = 0;
    }
    int result = 0;
    Line line;
    while (!s.done) {
        if (!read_line(file, line)) {
            // A read error must not pass for the end of the file: the image would be
            // taken as complete with its tail missing.
            if (std::ferror(file)) {
                const int error = errno != 0 ? errno : EIO;
                report_error("cannot read file %s (%s)\n", s.path, std::strerror(error));
                result = error;
            }
            break;
        }
        ++s.line_number;
        if (line.length == line_buffer_size - 1) {
            report_error("%s:%u: S-record line too long\n", s.path, s.line_number);
            result = EINVAL;
            break;
        }
        result = take_line(s, line);
        if (result != 0) {
            break;
        }
    }
    if (std::fclose(file) != 0) {
        const int error = errno;
        report_error("cannot close file %s (%s)\n", s.path, std::strerror(error));
        result = error;
    }
    return result;
}

}  // namespace

int srec_load(const char* path, SrecFile* file) {
    file->path = path;
    file->info[0] = '\0';
    ReadState s{path, file->info, sizeof file->info, nullptr, 0, nullptr, nullptr, nullptr,
                nullptr, nullptr};
    s.sink = file;
    return read_file(s);
}

int srec_read(const char* path, char* info, unsigned info_size, uint8_t* image, uint32_t image_size,
              uint32_t* raw_entry, uint32_t* entry, uint32_t* lowest, uint32_t* highest,
              AddressMap map) {
    ReadState s{path, info, info_size, image, image_size, raw_entry, entry, lowest, highest, map};
    // A file the run has read before its first operation is not read again: the operation
    // takes what was read and checked then.
    if (const SrecFile* loaded = srec_preloaded_find(path); loaded != nullptr) {
        if (lowest != nullptr) {
            *lowest = image_size;
        }
        if (highest != nullptr) {
            *highest = 0;
        }
        if (info != nullptr && info_size > 0) {
            std::snprintf(info, info_size, "%s", loaded->info);
        }
        for (const SrecRecord& record : loaded->records) {
            if (const int result = place(s, record.address, record.data.data(),
                                         static_cast<unsigned>(record.data.size()), record.line);
                result != 0) {
                return result;
            }
        }
        return loaded->has_entry ? take_entry(s, loaded->entry, loaded->entry_line) : 0;
    }
    return read_file(s);
}

}  // namespace zelv
