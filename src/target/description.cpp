// placeholder: implementation pending
#include "target/description.h"
namespace zelv {
int description_load() { return 0; }
void description_free() {}
const char* description_get(const char*, bool) { return nullptr; }
const char* description_next(const char*) { return nullptr; }
int description_number(const char*, uint32_t* out, uint32_t d) { *out = d; return 0; }
}  // namespace zelv
