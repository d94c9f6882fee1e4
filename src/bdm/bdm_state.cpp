#include "bdm/bdm_state.h"

namespace zelv {
namespace {

BdmEngineState the_state;

}  // namespace

BdmEngineState& bdm_state() {
    return the_state;
}

void bdm_select_pod(const BdmPod* pod) {
    the_state.pod = pod;
}

const BdmPod& active_pod() {
    return *the_state.pod;
}

void bdm_state_reset() {
    the_state = BdmEngineState{};
}

}  // namespace zelv
