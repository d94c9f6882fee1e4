// The files of the command line, read and checked before the interface opens.
//
// A loader must not touch a board until it knows the command line can be carried out: a
// missing or corrupted file, or one that does not fit where its operation puts it, must stop
// the run before an earlier operation has erased anything. Every file is read once into the
// run's store (srec/preloaded.h), where the operations find it again.
#pragma once

#include "base/interface_ops.h"

namespace zelv {

// Before open: reads every input file (syntax and checksums), places each FLASH image in the
// selected address format and lets the interface check it against its resident program,
// lets the interface place each RAM image where it knows the RAM window already, and checks that the folder of every output file can be written. Returns 0 or the first
// failure's errno value (reported).
[[nodiscard]] int preread_before_open(int argc, char** argv, const InterfaceOps& entry);

// After open, before the first operation: refuses EEPROM and RAM operations whose window the
// connection found off or hidden, and places every EEPROM image in the EEPROM window.
// Returns 0 or EINVAL (reported).
[[nodiscard]] int preread_after_open(int argc, char** argv);

// Forgets the files (the end of the run).
void preread_end();

}  // namespace zelv
