#include "bdm/bdm_nvm.h"

#include <cerrno>

#include "bdm/bdm_state.h"
#include "base/console.h"

namespace zelv {
namespace {

constexpr uint64_t kWaitLimitMs = 999;  // more than this and the command has timed out

}  // namespace

int nvm_wait(uint16_t status_register, const char* module) {
    const BdmPod& pod = active_pod();
    uint64_t start = clock_ms();
    uint8_t status = 0;
    for (;;) {
        // The status read after the deadline decides: a single slow reply (a loaded host, a
        // slow adapter) must not fail a command that has in fact completed.
        const uint64_t now = clock_ms();
        if (now < start) {
            start = now;  // the clock was set back: count from here
        }
        const bool last = now - start > kWaitLimitMs;
        if (const int result = pod.read_byte(status_register, &status); result != 0) {
            return result;
        }
        if ((status & (nvm::kCcif | nvm::kPviol | nvm::kAccerr)) != 0 || last) {
            break;
        }
    }
    if ((status & nvm::kPviol) != 0) {
        report_error("%s protection violation (PVIOL bit set)\n", module);
        return EIO;
    }
    if ((status & nvm::kAccerr) != 0) {
        report_error("%s access error (ACCERR bit set)\n", module);
        return EIO;
    }
    if ((status & nvm::kCcif) != 0) {
        return 0;
    }
    report_error("%s operation timed out\n", module);
    return ETIMEDOUT;
}

}  // namespace zelv
