// The state file: the virtual MCU's memory kept between runs, so that a user can program the
// part in one run and read it back in the next, as with a board that stays powered.
//
// A small binary format, chosen over S-records because it holds every region byte for byte
// (erased bytes, registers and the per-block FPROT banks included) in one file, and because
// its layout section lets a run refuse a file saved for another part. Users look at the
// memory through zelvanor itself (-G, -B).
//
//   "ZELVSIM\n"                 8 bytes, magic
//   version                     2 bytes, big-endian; this is version 1
//   sections, each:             tag (4 ASCII bytes), length (4 bytes, big-endian), data
//     "PART"  profile name (text, informational)
//     "LAYO"  eight 4-byte big-endian numbers: family id, RAM, EEPROM and FLASH size,
//             FLASH block count, FLASH sector size, ppage_base, ppage_count
//     "REGS"  the register block (1 KB on HCS12, 2 KB on HCS12X) as a read shows it, FSTAT
//             and ESTAT of the selected banks included
//     "FPRT"  the four FPROT banks
//     "RAM ", "EEPR", "FLSH"  the memories; FLASH lowest page first
//     "FSEQ", "ESEQ"  the command state of the FLASH and EEPROM modules: the bank count,
//             then per bank its status and command registers, the sequence phase, whether
//             the command hangs, the latched word index (4 bytes) and data (2), the status
//             reads left until the command completes (4); optional (files saved before
//             they existed load with idle modules)
//     "END "  length 0, last
// Readers skip sections they do not know, so later devices can add their own state
// without a new version; a change to a known section needs one.
#pragma once

#include "mcu/virtual_mcu.h"

namespace zelv::sim {

inline constexpr unsigned kStateVersion = 1;

// Loads the memories, registers and module state from path into mcu, which must already be
// configured with the same layout. A missing file is no error: *loaded is then false and mcu is
// untouched. Returns 0, or an error number with a message (nothing is changed then).
[[nodiscard]] int state_load(const char* path, VirtualMcu& mcu, bool* loaded);

// Saves mcu to path (written to path.tmp and renamed, so a failed save keeps the old
// file). Returns 0 or an error number with a message.
[[nodiscard]] int state_save(const char* path, const char* part_name, VirtualMcu& mcu);

}  // namespace zelv::sim
