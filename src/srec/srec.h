// Motorola S-record files: one strict reader and one writer for every memory image.
#pragma once

#include <cstdint>
#include <cstdio>

namespace zelv {

// Maps an S-record address to an image offset (reading) or an image address to an S-record
// address (writing). A reading map's result at or above the image size means "outside".
using AddressMap = uint32_t (*)(uint32_t address);

// Reads an S-record file into a caller-owned image. Lines end in LF, CR LF or a lone CR;
// every record's checksum must match its bytes. Only bytes that data records carry are
// written, and never outside [0, image_size); a data record whose two ends do not map
// exactly its length apart is refused as out of range. map may be nullptr (the identity).
// Outputs are optional (nullptr):
//   info      receives the S0 text (set to "" once the file is open), info_size bytes,
//             with every byte that a terminal could act on replaced by '.' (it is shown)
//   raw_entry the termination record's address as it stands in the file
//   entry     that address passed through the map (range-checked unless 0)
//   lowest    lowest image offset written (image_size when none)
//   highest   highest image offset written, inclusive (0 when none)
// The entry outputs keep what the caller preset when the file has no termination record.
// Returns 0, EINVAL for any format or range error (reported with path and line), or the
// system's error when the file cannot be opened or closed.
[[nodiscard]] int srec_read(const char* path, char* info, unsigned info_size, uint8_t* image,
                            uint32_t image_size, uint32_t* raw_entry, uint32_t* entry,
                            uint32_t* lowest, uint32_t* highest, AddressMap map);

// Writes one record: "S", type, count, address, data, checksum, line feed, in one write.
// type is '0' to '9'. Returns 0 or the write's errno (reported).
[[nodiscard]] int srec_record(FILE* file, char type, uint32_t address, unsigned length,
                              const uint8_t* data);

// Writes length bytes of image data from image address start as an S-record file: an S0
// header, data records of record_size bytes (1 to 250), and a termination record with the
// entry address. map (nullptr for the identity) turns image addresses into record
// addresses; a record is split where the map is not contiguous (a page edge), so every
// byte keeps its address. With skip_erased, records whose bytes are all 0xFF are left out.
// data points at the byte of image address start. A record size of 0 or one too large for
// the chosen address width is refused (EINVAL) before the file is created. A regular file
// at path is replaced only once the new one is complete (see output_file.h): after a
// failure the old file stays as it was; devices and pipes are written directly.
[[nodiscard]] int srec_write(const char* path, const char* header, uint32_t start, unsigned length,
                             const uint8_t* data, uint32_t entry, AddressMap map, bool skip_erased,
                             unsigned record_size);

}  // namespace zelv
