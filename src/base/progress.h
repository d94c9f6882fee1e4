// The 50-column progress bar every long transfer shows, and its size/time/rate summary.
//
// Calling order: progress_start, progress_step any number of times with non-decreasing done
// values, progress_end with the start time progress_start returned. Only one bar is open at
// a time. Drawn only while `verbose` is set; no marks while `debug` is set.
#pragma once

#include <cstdint>

namespace zelv {

// Prints the label and the opening bracket; returns the start time (also when quiet).
[[nodiscard]] uint64_t progress_start(const char* label);

// Advances the bar to done/total (total must not be 0). Never draws past 50 columns.
void progress_step(uint32_t done, uint32_t total);

// Closes the bar; with a label, prints "<label> size <..> time <..> rate <..>".
void progress_end(uint64_t start, const char* label, uint32_t size);

}  // namespace zelv
