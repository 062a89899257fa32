#pragma once
// A small web site on 127.0.0.1 (an ephemeral port) for the client's tests: each connection's
// request is read up to its empty line and recorded, and the test's handler decides the answer:
// pieces of bytes sent with pauses between them, then the connection closed (or held open until
// the client gives up).
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kv::test {

struct Reply {
    std::vector<std::string> pieces; // sent one after another
    int pauseMs = 0;                 // between pieces
    bool hold = false;               // keep the connection open until the client closes it
    std::size_t repeatLast = 0;      // send the last piece this many more times (large bodies)
};

class TestServer {
  public:
    using Handler = std::function<Reply(const std::string& request)>;

    explicit TestServer(Handler handler) : handler_(std::move(handler)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 16);
        socklen_t size = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~TestServer() {
        stop_.store(true);
        thread_.join();
        ::close(listen_);
    }

    int port() const { return port_; }
    /// "127.0.0.1:PORT": the site host setting that reaches this server.
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    bool readable(int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    void run() {
        while (!stop_.load()) {
            if (!readable(listen_, 20)) continue;
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            serve(fd);
            ::close(fd);
        }
    }

    void serve(int fd) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && readable(fd, 2000)) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            request.append(buffer, std::size_t(n));
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        const Reply reply = handler_(request);
        for (std::size_t i = 0; i < reply.pieces.size(); ++i) {
            const std::size_t times = i + 1 == reply.pieces.size() ? reply.repeatLast + 1 : 1;
            for (std::size_t t = 0; t < times; ++t)
                if (!sendAll(fd, reply.pieces[i])) return;
            if (reply.pauseMs > 0 && i + 1 < reply.pieces.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(reply.pauseMs));
        }
        if (reply.hold)
            while (!stop_.load())
                if (readable(fd, 20) && ::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }

    static bool sendAll(int fd, const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false; // the client has gone
            sent += std::size_t(n);
        }
        return true;
    }

    Handler handler_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

/// The path of a recorded request ("" when it has no request line).
inline std::string requestPath(const std::string& request) {
    const std::size_t start = request.find(' ');
    const std::size_t end = request.find(' ', start + 1);
    if (start == std::string::npos || end == std::string::npos) return {};
    return request.substr(start + 1, end - start - 1);
}

/// A complete answer with `status` ("200 OK") and `body`.
inline std::string answer(const std::string& status, const std::string& body,
                          const std::string& headers = {}) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/html\r\n" + headers +
           "Connection: close\r\n\r\n" + body;
}

} // namespace kv::test
