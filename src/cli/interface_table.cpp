#include "cli/interface_table.h"

#include <cstring>

#include "bdm/bdm_interface.h"
#include "lrae/lrae_operations.h"
#include "sm/sm_operations.h"

namespace zelv {
namespace {

constexpr const InterfaceOps* kInterfaces[] = {&tbdml_interface, &bdm12pod_interface,
                                               &lrae_interface, &sm_interface};

const InterfaceOps* extra_entry = nullptr;

}  // namespace

void interface_set_extra(const InterfaceOps* entry) {
    extra_entry = entry;
}

const InterfaceOps* interface_find(const char* name) {
    if (extra_entry != nullptr && std::strcmp(extra_entry->name, name) == 0) {
        return extra_entry;
    }
    for (const InterfaceOps* entry : kInterfaces) {
        if (std::strcmp(entry->name, name) == 0) {
            return entry;
        }
    }
    return nullptr;
}

}  // namespace zelv
