#include "bdm/bdm_interface.h"

#include "bdm/bdm_connect.h"
#include "bdm/bdm_operations.h"
#include "bdm/bdm_state.h"
#include "pod/bdm12pod.h"
#include "pod/tbdml.h"

namespace zelv {
namespace {

int bdm12pod_interface_open() {
    bdm_select_pod(&bdm12pod_pod);
    return bdm_open();
}

int tbdml_interface_open() {
    bdm_select_pod(&tbdml_pod);
    return bdm_open();
}

}  // namespace

int bdm_close() {
    return active_pod().pod_close();
}

int bdm_reserved() {
    return 0;
}

constinit const InterfaceOps tbdml_interface =
    bdm_interface_entry("tbdml", tbdml_interface_open, "oY");

constinit const InterfaceOps bdm12pod_interface =
    bdm_interface_entry("bdm12pod", bdm12pod_interface_open, "pbo");

}  // namespace zelv
