#include "usb/usb_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/sim_log.h"
#include "usb/usb_wire.h"

namespace zelv::sim {

namespace {

int system_error(const char* what) {
    const int error = errno;
    sim_error("%s (%s)\n", what, std::strerror(error));
    return error;
}

}  // namespace

UsbServer::~UsbServer() {
    for (const int fd : connections_) {
        close(fd);
    }
    if (listener_ >= 0) {
        close(listener_);
        unlink(path_.c_str());
    }
    if (!folder_.empty()) {
        rmdir(folder_.c_str());
    }
}

int UsbServer::listen() {
    try {
        const char* tmp = std::getenv("TMPDIR");
        std::string folder =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zelvanor-sim-usb-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            return system_error("cannot create the USB bus folder");
        }
        folder_ = folder;
        path_ = folder_ + "/bus";
        buffer_.resize(kUsbWireMaxData);
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) {
        sim_error("the USB bus socket's path is too long: %s\n", path_.c_str());
        return ENAMETOOLONG;
    }
    std::strcpy(address.sun_path, path_.c_str());
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0) {
        return system_error("cannot create the USB bus socket");
    }
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0) {
        const int error = system_error("cannot listen on the USB bus socket");
        close(listener_);
        listener_ = -1;
        return error;
    }
    return 0;
}

void UsbServer::trace_transfer(const char* what, const uint8_t* out, std::size_t out_length,
                               int result, const std::vector<uint8_t>& in) {
    if (trace_ == nullptr) {
        return;
    }
    std::fprintf(trace_, "usb %s", what);
    for (std::size_t i = 0; i < out_length; ++i) {
        std::fprintf(trace_, " %02X", out[i]);
    }
    if (result < 0) {
        std::fprintf(trace_, " -> %s\n", std::strerror(-result));
    } else {
        std::fprintf(trace_, " -> %d", result);
        for (const uint8_t byte : in) {
            std::fprintf(trace_, " %02X", byte);
        }
        std::fputc('\n', trace_);
    }
    std::fflush(trace_);
}

bool UsbServer::serve(int fd) {
    UsbWireRequest request;
    std::size_t length = 0;
    if (wire_receive(fd, &request, sizeof request, buffer_.data(), buffer_.size(), &length, 0) !=
            0 ||
        request.magic != kUsbWireMagic) {
        return false;
    }
    const uint64_t arrived = link_clock_ns();
    const uint8_t* out = buffer_.data();
    UsbWireReply reply;
    data_.clear();
    char what[64];
    switch (request.kind) {
        case kWireHello:
            ++opened_;
            std::snprintf(what, sizeof what, "open %03u/%03u", request.bus, request.device);
            break;
        case kWireControl: {
            const bool in = (request.request_type & 0x80) != 0;
            if (request.length > kUsbWireMaxData || (!in && length != request.length) ||
                (in && length != 0)) {
                return false;
            }
            UsbSetup setup{request.request_type, request.request, request.value, request.index,
                           static_cast<uint16_t>(request.length)};
            if (!in) {
                data_.assign(out, out + length);
            }
            reply.result = model_.control(setup, &data_);
            std::snprintf(what, sizeof what, "control %02X %02X %04X %04X %u", setup.request_type,
                          setup.request, setup.value, setup.index, setup.length);
            break;
        }
        case kWireBulkOut:
            data_.assign(out, out + length);
            reply.result = model_.bulk_out(request.endpoint, data_);
            std::snprintf(what, sizeof what, "bulk-out %02X", request.endpoint);
            break;
        case kWireBulkIn:
            if (request.length > kUsbWireMaxData) {
                return false;
            }
            reply.result = model_.bulk_in(request.endpoint, request.length, &data_);
            std::snprintf(what, sizeof what, "bulk-in %02X %u", request.endpoint, request.length);
            break;
        default:
            return false;
    }
    // The host never gets more than it asked for, and a failure carries no data.
    const bool reads = request.kind == kWireBulkIn ||
                       (request.kind == kWireControl && (request.request_type & 0x80) != 0);
    if (reply.result < 0) {
        data_.clear();
    } else if (reads) {
        data_.resize(std::min<std::size_t>(data_.size(), request.length));
        reply.result = static_cast<int32_t>(data_.size());
    } else {
        reply.result = static_cast<int32_t>(std::min<std::size_t>(
            static_cast<std::size_t>(reply.result), request.kind == kWireHello ? 0 : length));
    }
    if (!reads) {
        data_.clear();
    }
    trace_transfer(what, out, length, reply.result, data_);
    reply.length = static_cast<uint32_t>(data_.size());
    if (pacing_.paced && request.kind != kWireHello) {
        const uint64_t due = arrived + uint64_t{pacing_.usb_latency_us} * 1000;
        const timespec at{static_cast<time_t>(due / 1'000'000'000),
                          static_cast<long>(due % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        if (counts_ != nullptr) {
            link_note_delivery(counts_, due, link_clock_ns(), true);
            ++counts_->transfers;
            counts_->bytes_to_device += request.kind == kWireBulkIn ? 0 : length;
            counts_->bytes_to_host += data_.size();
            counts_->bound_ns += uint64_t{pacing_.usb_latency_us} * 1000;
        }
    }
    return wire_send(fd, &reply, sizeof reply, data_.data(), data_.size()) == 0;
}

int UsbServer::pump(int timeout_ms, int wake_fd, bool* woken) {
    try {
        std::vector<pollfd> fds;
        fds.push_back({listener_, POLLIN, 0});
        for (const int fd : connections_) {
            fds.push_back({fd, POLLIN, 0});
        }
        fds.push_back({wake_fd, POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), timeout_ms);
        if (ready < 0) {
            return errno == EINTR ? 0 : system_error("cannot wait for the USB bus");
        }
        if (wake_fd >= 0 && (fds.back().revents & POLLIN) != 0) {
            *woken = true;
        }
        std::vector<int> keep;
        for (size_t i = 0; i < connections_.size(); ++i) {
            const short events = fds[i + 1].revents;
            if (events == 0 || ((events & POLLIN) != 0 && serve(connections_[i]))) {
                keep.push_back(connections_[i]);
            } else {
                close(connections_[i]);  // gone, or talking nonsense
            }
        }
        connections_ = keep;
        if ((fds[0].revents & POLLIN) != 0) {
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections_.push_back(fd);
            } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                return system_error("cannot accept a USB bus connection");
            }
        }
        return 0;
    } catch (const std::bad_alloc&) {
        sim_error("not enough memory\n");
        return ENOMEM;
    }
}

}  // namespace zelv::sim
