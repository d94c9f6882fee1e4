#include "base/progress.h"

#include <cstdio>

#include "base/console.h"
#include "base/settings.h"

namespace zelv {
namespace {

constexpr int kColumns = 50;
constexpr int kSteps = 100;

// Percent steps already drawn, 0 to 100; one bar is open at a time.
int steps_drawn = 0;

}  // namespace

uint64_t progress_start(const char* label) {
    steps_drawn = 0;
    if (settings().verbose) {
        if (console_is_terminal()) {
            // Draw the empty bar, then back up to just behind the "[".
            std::printf("%s [%*s]", label, kColumns, "");
            for (int i = 0; i < kColumns + 1; ++i) {
                std::putchar('\b');
            }
        } else {
            std::printf("%s [", label);
        }
        console_flush();
    }
    return clock_ms();
}

void progress_step(uint32_t done, uint32_t total) {
    if (total == 0) {
        return;
    }
    // Per mille of done, rounded half up to whole percent; a caller that overshoots its
    // total must not draw past the closing bracket.
    const uint64_t per_mille = static_cast<uint64_t>(done) * 1000U / total;
    uint64_t target = (per_mille + 5) / 10;
    if (target > kSteps) {
        target = kSteps;
    }
    const bool draw = settings().verbose && !settings().debug;
    const bool terminal = draw && console_is_terminal();
    while (static_cast<uint64_t>(steps_drawn) < target) {
        if (draw) {
            // A terminal shows "-" for an odd percentage and turns it into "#" at the next
            // even one; a pipe gets one "#" per two percent.
            if (terminal) {
                std::fputs(steps_drawn % 2 == 0 ? "-" : "\b#", stdout);
            } else if (steps_drawn % 2 == 1) {
                std::putchar('#');
            }
            console_flush();
        }
        ++steps_drawn;
    }
}

void progress_end(uint64_t start, const char* label, uint32_t size) {
    const uint64_t now = clock_ms();
    if (!settings().verbose) {
        return;
    }
    std::fputs("]\n", stdout);
    console_flush();
    if (label == nullptr) {
        return;
    }
    const uint64_t elapsed = now - start;
    const uint64_t hundredths_total = (elapsed + 5) / 10;
    const auto seconds = static_cast<unsigned>((elapsed + 5) / 1000);
    const auto hundredths = static_cast<unsigned>(hundredths_total % 100);
    // The rate is computed in 32 bits as the summary has always shown it.
    const uint32_t scaled = size * 100U;
    const auto rate = hundredths_total >= 1 ? static_cast<unsigned>(scaled / hundredths_total) : 0U;
    std::printf("%s size <%u B> time <%u.%02u s> rate <%u B/s>\n", label, size, seconds, hundredths,
                rate);
    console_flush();
}

}  // namespace zelv
