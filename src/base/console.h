// Console output, the wall clock and the millisecond wait shared by every subsystem.
//
// Standard output carries the banner, status lines and progress bars (only while `verbose`
// is set) and trace lines (only while `debug` is set); errors go to standard error through
// report_error, whatever -q says.
#pragma once

#include <cstdint>
#include <string>

namespace zelv {

#define ZELV_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Writes "\nerror: " and the formatted message to standard error. The line feed in front
// keeps an error off an unfinished progress bar or status line. Messages carry their own
// final line feed. Returns the character count of the formatted part.
int report_error(const char* format, ...) ZELV_PRINTF(1, 2);

// Writes "warning: " and the formatted message to standard error, whatever -q says: a
// warning is about what the run will do, and the run goes on.
void report_warning(const char* format, ...) ZELV_PRINTF(1, 2);

// Writes "hint: " and the formatted message to standard error: the line that follows an
// error already reported, saying what gets the user further.
void report_hint(const char* format, ...) ZELV_PRINTF(1, 2);

// Prints to standard output while `verbose` is set.
void print_info(const char* format, ...) ZELV_PRINTF(1, 2);

// Prints to standard output whatever `verbose` says (skip notices, the serial monitor's
// identification lines).
void print_always(const char* format, ...) ZELV_PRINTF(1, 2);

// Prints to standard output while `debug` is set.
void print_debug(const char* format, ...) ZELV_PRINTF(1, 2);

// Replaces, in place, every byte of a NUL-terminated text that a terminal could act on by
// '.': control characters (ESC among them), DEL, and bytes 0x80 and above (which include the
// C1 controls). Texts read from files (S-record headers, target descriptions) pass through
// here before they are shown, so that a file cannot send escape sequences to the terminal.
void make_printable(char* text);

// A copy of text with the same replacements; the original stays as it is. May throw
// std::bad_alloc.
[[nodiscard]] std::string printable(const char* text);

// Flushes standard output (the progress bar flushes after every piece it draws).
void console_flush();

// True when standard output is a terminal; the progress bar draws differently on one.
[[nodiscard]] bool console_is_terminal();

// Test seam: -1 asks isatty again (the default), 0 or 1 pretends standard output is a
// pipe or a terminal.
void console_set_terminal(int mode);

// Wall clock in milliseconds (time of day: seconds * 1000 + microseconds / 1000).
[[nodiscard]] uint64_t clock_ms();

// Waits the given number of milliseconds; a wait interrupted by a signal goes on.
void sleep_ms(unsigned long ms);

}  // namespace zelv
