#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace norvel::test {

// A bare HTTP server on 127.0.0.1 for answers that no ordinary server library sends: a head
// that drips in one header at a time, a flood of header fields, a body without end. The
// request head of each connection is read, then the handler writes whatever bytes it likes
// and the connection is closed when it returns.
class RawHttpServer {
public:
    class Connection {
    public:
        // The request line and headers as received.
        const std::string& requestHead() const { return requestHead_; }
        // False once the client has gone or the server stops.
        bool send(std::string_view bytes);
        // Waits unless the server stops; false when it does.
        bool pause(std::chrono::milliseconds duration);

    private:
        friend class RawHttpServer;
        Connection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
        int fd_;
        const std::atomic<bool>& stopping_;
        std::string requestHead_;
    };

    using Handler = std::function<void(Connection&)>;

    explicit RawHttpServer(Handler handler);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    // http://127.0.0.1:PORT
    std::string endpoint() const;
    // The request heads received so far.
    std::vector<std::string> requestHeads() const;

private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requestHeads_;
    std::vector<std::thread> connections_;
    std::thread acceptor_;
};

}  // namespace norvel::test
