// The table that lists the interfaces: the driver finds the entry that -i names here. The
// contract each entry fills in is the interface operations table (base/interface_ops.h).
#pragma once

#include "base/interface_ops.h"

namespace zelv {

// Finds the entry with exactly this name, or nullptr.
[[nodiscard]] const InterfaceOps* interface_find(const char* name);

// Test seam: an extra entry that interface_find sees before the built-in ones, so the driver
// can be run against a recording interface. nullptr removes it.
void interface_set_extra(const InterfaceOps* entry);

}  // namespace zelv
