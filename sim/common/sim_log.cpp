#include "common/sim_log.h"

#include <cstdarg>
#include <cstdio>

namespace zelv::sim {

namespace {
bool quiet_messages = false;
}

void sim_error(const char* format, ...) {
    if (quiet_messages) {
        return;
    }
    std::fputs("zelvanor-sim: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void sim_set_quiet(bool quiet) {
    quiet_messages = quiet;
}

}  // namespace zelv::sim
