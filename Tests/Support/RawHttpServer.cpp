#include "Support/RawHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace norvel::test {

bool RawHttpServer::Connection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        if (stopping_.load()) {
            return false;
        }
        pollfd entry{fd_, POLLOUT, 0};
        if (::poll(&entry, 1, 50) <= 0) {
            continue;
        }
        ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

bool RawHttpServer::Connection::pause(std::chrono::milliseconds duration) {
    auto until = std::chrono::steady_clock::now() + duration;
    while (!stopping_.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !stopping_.load();
}

RawHttpServer::RawHttpServer(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        throw std::runtime_error("the raw test server has no socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener_);
        throw std::runtime_error("the raw test server could not bind to 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

RawHttpServer::~RawHttpServer() {
    stopping_.store(true);
    acceptor_.join();
    for (auto& connection : connections_) {
        connection.join();
    }
    ::close(listener_);
}

std::string RawHttpServer::endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> RawHttpServer::requestHeads() const {
    std::lock_guard lock(mutex_);
    return requestHeads_;
}

void RawHttpServer::acceptLoop() {
    while (!stopping_.load()) {
        pollfd entry{listener_, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) {
            continue;
        }
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard lock(mutex_);
        connections_.emplace_back([this, fd] { serve(fd); });
    }
}

void RawHttpServer::serve(int fd) {
    Connection connection(fd, stopping_);
    char block[4096];
    while (!stopping_.load() && connection.requestHead_.find("\r\n\r\n") == std::string::npos) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) {
            continue;
        }
        ssize_t count = ::recv(fd, block, sizeof block, 0);
        if (count <= 0) {
            break;
        }
        connection.requestHead_.append(block, static_cast<std::size_t>(count));
    }
    {
        std::lock_guard lock(mutex_);
        requestHeads_.push_back(connection.requestHead_);
    }
    if (!stopping_.load()) {
        handler_(connection);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

}  // namespace norvel::test
