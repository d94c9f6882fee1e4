// placeholder: implementation pending
#include "target/target_model.h"
namespace zelv {
namespace { TargetModel model; }
TargetModel& target() { return model; }
int target_model_build() { return 0; }
}  // namespace zelv
