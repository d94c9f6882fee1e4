// The S-record writer: a header, fixed-size data records and a termination record, with one
// address width for the whole file.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/console.h"
#include "srec/output_file.h"
#include "srec/record_format.h"
#include "srec/srec.h"

namespace zelv {
namespace {

constexpr unsigned line_buffer_size = 528;
// The count byte covers address, data and checksum, so a record's data bytes are bounded by
// 255 less the address bytes and one.
constexpr unsigned max_count = 0xFF;
// Header texts longer than an S0 record can carry are cut.
constexpr unsigned max_header = max_count - 2 - 1;

char* put_hex(char* out, unsigned value, unsigned digits) {
    static constexpr char hex[] = "0123456789ABCDEF";
    for (unsigned i = digits; i > 0; --i) {
        out[i - 1] = hex[value & 0xFu];
        value >>= 4;
    }
    return out + digits;
}

uint32_t apply(AddressMap map, uint32_t address) {
    return map != nullptr ? map(address) : address;
}

struct RecordTypes {
    char data;
    char termination;
    unsigned width;
};

// One width for the whole file, from the address just past the last data byte: up to
// 0x10000 two bytes, up to 0x1000000 three, beyond that four. For the linear maps that
// address is map(start) + length; the highest mapped address is taken instead, without
// wrapping, so that a paged or wrapping map cannot yield addresses too wide for the chosen
// type.
RecordTypes choose_types(uint32_t start, unsigned length, AddressMap map) {
    uint64_t end = apply(map, start);
    if (length > 0) {
        uint32_t highest = 0;
        for (unsigned i = 0; i < length; ++i) {
            const uint32_t address = apply(map, start + i);
            if (address > highest) {
                highest = address;
            }
        }
        end = uint64_t{highest} + 1;
    }
    if (end <= 0x10000) {
        return {'1', '9', 2};
    }
    if (end <= 0x1000000) {
        return {'2', '8', 3};
    }
    return {'3', '7', 4};
}

bool all_erased(const uint8_t* data, unsigned length) {
    for (unsigned i = 0; i < length; ++i) {
        if (data[i] != 0xFF) {
            return false;
        }
    }
    return true;
}

// Writes one chunk as one record, or as several where the map is not contiguous inside it
// (a paged map jumps at a page edge): only a record's first address passes through the map,
// so a record spanning the jump would put its tail at addresses that mean something else.
int write_chunk(FILE* file, char type, uint32_t image_address, unsigned length, const uint8_t* data,
                AddressMap map) {
    unsigned done = 0;
    while (done < length) {
        const uint32_t address = apply(map, image_address + done);
        unsigned run = 1;
        while (done + run < length &&
               uint64_t{apply(map, image_address + done + run)} == uint64_t{address} + run) {
            ++run;
        }
        const int result = srec_record(file, type, address, run, data + done);
        if (result != 0) {
            return result;
        }
        done += run;
    }
    return 0;
}

}  // namespace

int srec_record(FILE* file, char type, uint32_t address, unsigned length, const uint8_t* data) {
    const unsigned width = srec_address_bytes(type);
    if (width == 0) {
        report_error("invalid S-record type: S%c\n", type);
        return EINVAL;
    }
    if (length > max_count - width - 1) {
        report_error("invalid S-record size: %u\n", length);
        return EINVAL;
    }
    if (width < 4 && address >> (8 * width) != 0) {
        report_error("S-record address <0x%lX> does not fit an S%c record\n",
                     static_cast<unsigned long>(address), type);
        return EINVAL;
    }

    const unsigned count = width + length + 1;
    unsigned sum = count;
    for (unsigned i = 0; i < width; ++i) {
        sum += (address >> (8 * i)) & 0xFFu;
    }

    char line[line_buffer_size];
    char* out = line;
    *out++ = 'S';
    *out++ = type;
    out = put_hex(out, count, 2);
    out = put_hex(out, address, 2 * width);
    for (unsigned i = 0; i < length; ++i) {
        out = put_hex(out, data[i], 2);
        sum += data[i];
    }
    out = put_hex(out, ~sum & 0xFFu, 2);
    *out++ = '\n';

    const auto size = static_cast<std::size_t>(out - line);
    errno = 0;
    if (std::fwrite(line, 1, size, file) != size) {
        const int error = errno != 0 ? errno : EIO;
        report_error("cannot write file (%s)\n", std::strerror(error));
        return error;
    }
    return 0;
}

int srec_write(const char* path, const char* header, uint32_t start, unsigned length,
               const uint8_t* data, uint32_t entry, AddressMap map, bool skip_erased,
               unsigned record_size) {
    const RecordTypes types = choose_types(start, length, map);
    // Refused before the file is touched: 0 would never advance, and a larger size than
    // the count byte allows would make unreadable records.
    if (record_size == 0 || record_size > max_count - types.width - 1) {
        report_error("invalid S-record size: %u\n", record_size);
        return EINVAL;
    }

    // The file replaces an existing one only once it is complete.
    OutputFile output;
    if (const int opened = output.open(path); opened != 0) {
        return opened;
    }
    FILE* file = output.stream();

    if (header == nullptr) {
        header = "";
    }
    const std::size_t header_length = std::strlen(header);
    int result =
        srec_record(file, '0', 0,
                    static_cast<unsigned>(header_length < max_header ? header_length : max_header),
                    reinterpret_cast<const uint8_t*>(header));

    // Chunks stay at start + a multiple of the record size whether or not earlier ones
    // were left out, so a file always has the same record boundaries.
    for (unsigned offset = 0; result == 0 && offset < length;) {
        const unsigned chunk = length - offset < record_size ? length - offset : record_size;
        if (!skip_erased || !all_erased(data + offset, chunk)) {
            result = write_chunk(file, types.data, start + offset, chunk, data + offset, map);
        }
        offset += chunk;
    }
    if (result == 0) {
        result = srec_record(file, types.termination, entry, 0, nullptr);
    }

    if (result != 0) {
        output.discard();
        return result;
    }
    return output.commit();
}

}  // namespace zelv
