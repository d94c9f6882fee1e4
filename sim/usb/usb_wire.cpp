#include "usb/usb_wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

namespace zelv::sim {

int wire_send(int fd, const void* header, std::size_t header_size, const uint8_t* data,
              std::size_t length) {
    iovec parts[2] = {{const_cast<void*>(header), header_size},
                      {const_cast<uint8_t*>(data), length}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = length > 0 ? 2 : 1;
    for (;;) {
        const ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent >= 0) {
            return static_cast<std::size_t>(sent) == header_size + length ? 0 : EPROTO;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

int wire_receive(int fd, void* header, std::size_t header_size, uint8_t* data, std::size_t capacity,
                 std::size_t* length, int timeout_ms) {
    *length = 0;
    pollfd watch{fd, POLLIN, 0};
    for (;;) {
        const int ready = poll(&watch, 1, timeout_ms);
        if (ready > 0) {
            break;
        }
        if (ready == 0) {
            return ETIMEDOUT;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
    iovec parts[2] = {{header, header_size}, {data, capacity}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = capacity > 0 ? 2 : 1;
    ssize_t got = -1;
    do {
        got = recvmsg(fd, &message, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return errno == ECONNRESET ? EPIPE : errno;
    }
    if (got == 0) {
        return EPIPE;
    }
    const auto received = static_cast<std::size_t>(got);
    if (received < header_size || (message.msg_flags & MSG_TRUNC) != 0) {
        return EPROTO;
    }
    *length = received - header_size;
    return 0;
}

}  // namespace zelv::sim
