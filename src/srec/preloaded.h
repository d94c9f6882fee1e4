// S-record files read once, before the run touches the target, and kept for the run.
//
// The driver reads every file of the command line (FLASH, EEPROM and RAM images) before the
// interface opens, so that a missing, corrupted or misplaced file stops the run before
// anything is erased. The operations later ask srec_read for the same path and are served
// from here: the file is read from disk once, and what was checked is what gets programmed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelv {

// One data record as it stood in the file: its address, its line (for the messages) and
// its bytes.
struct SrecRecord {
    uint32_t address = 0;
    unsigned line = 0;
    std::vector<uint8_t> data;
};

// A whole file, syntax and checksums checked, no address map applied yet.
struct SrecFile {
    std::string path;
    char info[256] = {};     // the S0 text, made printable
    bool has_entry = false;  // a termination record was read
    uint32_t entry = 0;      // its address as it stands in the file
    unsigned entry_line = 0;
    std::vector<SrecRecord> records;
};

// Reads `path` whole into `file`: the reader's syntax and checksum checks with its messages
// (path and line), nothing placed. Returns 0 or an errno value (reported).
[[nodiscard]] int srec_load(const char* path, SrecFile* file);

// Reads `path` into the run's store unless it is there already (a file named twice is read
// once). Returns 0 or an errno value (reported); *file points at the stored file.
[[nodiscard]] int srec_preload(const char* path, const SrecFile** file);

// The stored file of that path, nullptr when it was not preloaded.
[[nodiscard]] const SrecFile* srec_preloaded_find(const char* path);

// Empties the store (the end of a run).
void srec_preloaded_clear();

}  // namespace zelv
