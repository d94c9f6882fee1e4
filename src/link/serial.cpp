#include "link/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "base/console.h"

namespace zelv {
namespace {

struct BaudEntry {
    uint64_t rate;
    speed_t speed;
};

// The rates every host and pod here agree on; nothing faster than 115200.
constexpr BaudEntry kBaudTable[] = {
    {50, B50},       {75, B75},         {110, B110},   {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200},
};

// A line that says it is ready and then moves nothing (a hung-up device reading end of
// file, a pseudo-terminal short of buffer space) would otherwise be polled flat out until
// the time-out; a short pause keeps the wait cheap without changing its outcome.
constexpr unsigned kRetryPauseMs = 5;

// The kernel's "no such ioctl" inside drivers; some versions let it reach user space.
constexpr int ENOIOCTLCMD_VALUE = 515;

int report_system(const SerialPort* port, const char* what, int error) {
    report_error("unable to %s %s (%s)\n", what, port->name, std::strerror(error));
    return error;
}

void pause_before_retry(unsigned left_ms) {
    const unsigned pause = std::min(kRetryPauseMs, left_ms);
    if (pause > 0) {
        sleep_ms(pause);
    }
}

// The exact-count loop of serial_read (into `in`) and serial_write (from `out`).
int transfer(SerialPort* port, bool writing, uint8_t* in, const uint8_t* out, std::size_t* length,
             unsigned timeout_ms) {
    const char* verb = writing ? "write" : "read";
    const std::size_t wanted = *length;
    *length = 0;
    if (wanted == 0) {
        return 0;
    }
    // poll skips negative descriptors, so a closed port would just sit out the time-out.
    if (port->descriptor < 0) {
        return report_system(port, verb, EBADF);
    }

    SerialTimeout timeout;
    while (*length < wanted) {
        unsigned left_ms = 0;
        int result = serial_timeout_step(&timeout, timeout_ms, serial_clock_now, &left_ms);
        if (result == 0) {
            pollfd watch{};
            watch.fd = port->descriptor;
            watch.events = writing ? POLLOUT : POLLIN;
            const int ready =
                poll(&watch, 1, static_cast<int>(std::min<unsigned>(left_ms, INT_MAX)));
            if (ready < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                return report_system(port, verb, errno);
            }
            if (ready == 0) {
                result = ETIMEDOUT;
            } else if ((watch.revents & POLLNVAL) != 0) {
                return report_system(port, verb, EBADF);
            }
        }
        if (result == ETIMEDOUT) {
            // Readers scan for replies and word their own time-out; a write that cannot get
            // out is this layer's failure to tell.
            return writing ? report_system(port, verb, ETIMEDOUT) : ETIMEDOUT;
        }

        const std::size_t missing = wanted - *length;
        const ssize_t moved = writing ? write(port->descriptor, out + *length, missing)
                                      : read(port->descriptor, in + *length, missing);
        if (moved < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                pause_before_retry(left_ms);
                continue;
            }
            return report_system(port, verb, errno);
        }
        if (moved == 0) {
            // End of file: the device may come back, so the time-out decides.
            pause_before_retry(left_ms);
            continue;
        }
        *length += static_cast<std::size_t>(moved);
    }
    return 0;
}

// TIOCMIWAIT has no time-out of its own: a one-shot timer's signal ends it with EINTR. The
// wait is cut into slices, so that an edge that came between reading CTS and starting the
// wait (the driver counts only later ones) costs a slice at most.
constexpr long kWaitSliceNs = 10'000'000;

extern "C" void on_wait_timer(int) {}

struct WaitTimer {
    bool ready = false;
    timer_t timer{};
};

WaitTimer wait_timer;

int arm_wait_timer(long nanoseconds) {
    if (!wait_timer.ready) {
        struct sigaction action {};
        action.sa_handler = on_wait_timer;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the signal must end the wait
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGRTMIN;
        if (sigaction(SIGRTMIN, &action, nullptr) != 0 ||
            timer_create(CLOCK_MONOTONIC, &event, &wait_timer.timer) != 0) {
            return errno;
        }
        wait_timer.ready = true;
    }
    itimerspec when{};
    when.it_value.tv_sec = nanoseconds / 1'000'000'000;
    when.it_value.tv_nsec = nanoseconds % 1'000'000'000;
    return timer_settime(wait_timer.timer, 0, &when, nullptr) != 0 ? errno : 0;
}

void disarm_wait_timer() {
    const itimerspec off{};
    (void)timer_settime(wait_timer.timer, 0, &off, nullptr);
}

int read_cts(SerialPort* port, int* value) {
    int bits = 0;
    if (ioctl(port->descriptor, TIOCMGET, &bits) < 0) {
        const int error = errno;
        report_error("unable to get CTS state for %s (%s)\n", port->name, std::strerror(error));
        return error;
    }
    *value = (bits & TIOCM_CTS) != 0 ? 1 : 0;
    return 0;
}

// The driver's answer to a request it does not have.
bool refused_request(int error) {
    return error == EINVAL || error == ENOTTY || error == ENOSYS || error == EOPNOTSUPP ||
           error == ENOIOCTLCMD_VALUE;
}

int64_t microseconds_of(const SerialTime& time) {
    return time.seconds * 1000000 + time.microseconds;
}

}  // namespace

SerialTime serial_clock_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return SerialTime{static_cast<int64_t>(now.tv_sec), static_cast<int64_t>(now.tv_nsec / 1000)};
}

int serial_timeout_step(SerialTimeout* state, unsigned timeout_ms, SerialClock clock,
                        unsigned* left_ms) {
    if (!state->started) {
        state->started = true;
        state->start = clock();
        *left_ms = timeout_ms;
        return 0;
    }
    SerialTime now = clock();
    if (microseconds_of(now) < microseconds_of(state->start)) {
        state->start = now;
        now = clock();
    }
    const int64_t elapsed_us = microseconds_of(now) - microseconds_of(state->start);
    const int64_t elapsed_ms = elapsed_us > 0 ? elapsed_us / 1000 : 0;
    if (static_cast<int64_t>(timeout_ms) <= elapsed_ms) {
        *left_ms = 0;
        return ETIMEDOUT;
    }
    *left_ms = static_cast<unsigned>(static_cast<int64_t>(timeout_ms) - elapsed_ms);
    return 0;
}

int serial_open(SerialPort* port, const char* path) {
    if (path == nullptr) {
        path = "";
    }
    std::snprintf(port->name, sizeof port->name, "%s", path);
    port->cts_wait = 0;
    // Non-blocking for its whole life: every wait is a poll with a time-out.
    port->descriptor = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (port->descriptor < 0) {
        const int error = errno;
        report_error("unable to open %s (%s)\n", path, std::strerror(error));
        return error;
    }
    return 0;
}

int serial_close(SerialPort* port) {
    if (port->descriptor == -1) {
        return EINVAL;
    }
    int result = 0;
    if (close(port->descriptor) < 0) {
        result = report_system(port, "close", errno);
    }
    port->descriptor = -1;
    port->name[0] = '\0';
    port->cts_wait = 0;
    return result;
}

int serial_set_settings(SerialPort* port, const SerialSettings* settings) {
    termios attributes{};
    if (tcgetattr(port->descriptor, &attributes) < 0) {
        const int error = errno;
        report_error("unable to get %s settings (%s)\n", port->name, std::strerror(error));
        return error;
    }

    const auto* entry =
        std::find_if(std::begin(kBaudTable), std::end(kBaudTable),
                     [&](const BaudEntry& e) { return e.rate == settings->baud_rate; });
    if (entry == std::end(kBaudTable)) {
        report_error("invalid baud rate: %lu\n", static_cast<unsigned long>(settings->baud_rate));
        return EINVAL;
    }

    cfsetispeed(&attributes, entry->speed);
    cfsetospeed(&attributes, entry->speed);
    cfmakeraw(&attributes);

    // Whatever cfmakeraw left of line editing, translation and flow control goes too: the
    // pods and monitors speak binary.
    attributes.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                               ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
    attributes.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL | ONOCR | ONLRET);
    attributes.c_lflag &=
        ~static_cast<tcflag_t>(ECHOKE | ECHOE | ECHOK | ECHO | ECHONL | ECHOPRT | ECHOCTL | ISIG |
                               ICANON | IEXTEN | TOSTOP | FLUSHO | PENDIN | NOFLSH);
    attributes.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    attributes.c_cflag |= CREAD | CLOCAL | HUPCL;

    switch (settings->data_bits) {
        case kData6:
            attributes.c_cflag |= CS6;
            break;
        case kData7:
            attributes.c_cflag |= CS7;
            break;
        case kData8:
            attributes.c_cflag |= CS8;
            break;
        default:
            attributes.c_cflag |= CS5;
            break;
    }
    if (settings->parity == kParityEven) {
        attributes.c_cflag |= PARENB;
    } else if (settings->parity == kParityOdd) {
        attributes.c_cflag |= PARENB | PARODD;
    }
    if (settings->stop_bits == kStop2) {
        attributes.c_cflag |= CSTOPB;
    }
    if (settings->flow_control == kFlowHardware) {
        attributes.c_cflag |= CRTSCTS;
    }

    if (tcsetattr(port->descriptor, TCSANOW, &attributes) < 0) {
        const int error = errno;
        report_error("unable to set %s settings (%s)\n", port->name, std::strerror(error));
        return error;
    }
    // Half of a 10-bit byte time: late by that much, a CTS edge costs a handshake of a
    // millisecond or more only a few percent.
    port->poll_us = static_cast<unsigned>(5'000'000 / settings->baud_rate);
    return 0;
}

int serial_read(SerialPort* port, uint8_t* buffer, std::size_t* length, unsigned timeout_ms) {
    return transfer(port, false, buffer, nullptr, length, timeout_ms);
}

int serial_write(SerialPort* port, const uint8_t* data, std::size_t* length, unsigned timeout_ms) {
    return transfer(port, true, nullptr, data, length, timeout_ms);
}

int serial_discard(SerialPort* port, unsigned quiet_ms, unsigned limit_ms, std::size_t* count) {
    *count = 0;
    if (port->descriptor < 0) {
        return report_system(port, "read", EBADF);
    }
    SerialTimeout limit;
    for (;;) {
        unsigned left_ms = 0;
        if (serial_timeout_step(&limit, limit_ms, serial_clock_now, &left_ms) != 0) {
            return 0;  // still talking: what was thrown away is counted, the caller judges
        }
        pollfd watch{};
        watch.fd = port->descriptor;
        watch.events = POLLIN;
        const int ready =
            poll(&watch, 1, static_cast<int>(std::min(quiet_ms, left_ms)));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return report_system(port, "read", errno);
        }
        if (ready == 0 || (watch.revents & POLLIN) == 0) {
            return 0;
        }
        uint8_t scrap[256];
        const ssize_t moved = read(port->descriptor, scrap, sizeof scrap);
        if (moved < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            // A hung-up peer (EIO on a pseudo-terminal) has nothing waiting either.
            return errno == EIO ? 0 : report_system(port, "read", errno);
        }
        if (moved == 0) {
            return 0;
        }
        *count += static_cast<std::size_t>(moved);
    }
}

int serial_modem_line(SerialPort* port, int request, int* value) {
    if (request == kSetRts) {
        int bits = TIOCM_RTS;
        const unsigned long operation = *value != 0 ? TIOCMBIS : TIOCMBIC;
        if (ioctl(port->descriptor, operation, &bits) < 0) {
            const int error = errno;
            report_error("unable to set RTS state for %s (%s)\n", port->name, std::strerror(error));
            return error;
        }
        return 0;
    }
    if (request == kGetCts) {
        return read_cts(port, value);
    }
    return EINVAL;
}

int serial_wait_cts(SerialPort* port, int wanted, unsigned timeout_ms) {
    SerialTimeout timeout;
    for (;;) {
        int cts = 0;
        int result = read_cts(port, &cts);
        if (result != 0) {
            return result;
        }
        if (cts == wanted) {
            return 0;
        }
        unsigned left_ms = 0;
        if (serial_timeout_step(&timeout, timeout_ms, serial_clock_now, &left_ms) != 0) {
            return ETIMEDOUT;
        }
        if (port->cts_wait >= 0) {
            const long slice = std::min<long>(kWaitSliceNs, static_cast<long>(left_ms) * 1'000'000);
            if ((result = arm_wait_timer(slice)) != 0) {
                return report_system(port, "wait for CTS on", result);
            }
            const int waited = ioctl(port->descriptor, TIOCMIWAIT, TIOCM_CTS);
            const int error = errno;
            disarm_wait_timer();
            if (waited == 0) {
                port->cts_wait = 1;
            } else if (error == EINTR) {
                continue;
            } else if (port->cts_wait == 0 && refused_request(error)) {
                port->cts_wait = -1;  // this driver cannot wait: poll from now on
            } else {
                return report_system(port, "wait for CTS on", error);
            }
            continue;
        }
        const timespec pause{0, static_cast<long>(std::max(port->poll_us, 1U)) * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace zelv
