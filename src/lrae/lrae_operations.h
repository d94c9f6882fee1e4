// The lrae entry of the interface operations table.
#pragma once

#include "base/interface_ops.h"

namespace zelv {

extern const InterfaceOps lrae_interface;

// -E (unsecure 0) and -F (unsecure 1) through the agent.
[[nodiscard]] int lrae_flash_erase(int unsecure);

}  // namespace zelv
