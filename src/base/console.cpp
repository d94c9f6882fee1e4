#include "base/console.h"

#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "base/settings.h"

namespace zelv {
namespace {

int terminal_mode = -1;

void vprint(const char* format, va_list args) {
    std::vfprintf(stdout, format, args);
}

}  // namespace

int report_error(const char* format, ...) {
    // Whatever stands on standard output so far belongs before the error.
    std::fflush(stdout);
    std::fputs("\nerror: ", stderr);
    va_list args;
    va_start(args, format);
    const int count = std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
    return count;
}

void report_warning(const char* format, ...) {
    std::fflush(stdout);
    std::fputs("warning: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

void report_hint(const char* format, ...) {
    std::fputs("hint: ", stderr);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

void print_info(const char* format, ...) {
    if (!settings().verbose) {
        return;
    }
    va_list args;
    va_start(args, format);
    vprint(format, args);
    va_end(args);
}

void print_always(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprint(format, args);
    va_end(args);
}

void print_debug(const char* format, ...) {
    if (!settings().debug) {
        return;
    }
    va_list args;
    va_start(args, format);
    vprint(format, args);
    va_end(args);
}

void make_printable(char* text) {
    for (; *text != '\0'; ++text) {
        const auto byte = static_cast<unsigned char>(*text);
        if (byte < 0x20 || byte >= 0x7F) {
            *text = '.';
        }
    }
}

std::string printable(const char* text) {
    std::string copy(text);
    make_printable(copy.data());
    return copy;
}

void console_flush() {
    std::fflush(stdout);
}

bool console_is_terminal() {
    // Asked once per run: the progress bar wants the answer on every step, and standard
    // output does not change what it is while the program runs.
    static const bool stdout_is_terminal = isatty(fileno(stdout)) != 0;
    if (terminal_mode >= 0) {
        return terminal_mode != 0;
    }
    return stdout_is_terminal;
}

void console_set_terminal(int mode) {
    terminal_mode = mode;
}

uint64_t clock_ms() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000U + static_cast<uint64_t>(now.tv_usec) / 1000U;
}

void sleep_ms(unsigned long ms) {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(ms / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    // Linux select leaves the time not slept in the record, so a restart after a signal
    // waits only for the rest.
    while (select(0, nullptr, nullptr, nullptr, &timeout) < 0 && errno == EINTR) {
    }
}

}  // namespace zelv
