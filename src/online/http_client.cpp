#include "online/http_client.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "persistence/text.h"

namespace kv::online {

namespace {

using Clock = std::chrono::steady_clock;

/// How long a wait lasts at most before the cancel flag is looked at again, ms.
constexpr int kCancelSliceMs = 50;

std::string systemText(int code) {
    return std::strerror(code);
}

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ < 0) return;
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

/// Waits until `fd` is ready for `events`, the deadline passes or the request is cancelled.
/// 0 when ready, else an errno value (ETIMEDOUT, ECANCELED or poll's own).
int waitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) return ECANCELED;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ETIMEDOUT;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, int(std::min<long long>(left, kCancelSliceMs)));
        if (n > 0) return 0;
        if (n < 0 && errno != EINTR) return errno;
    }
}

/// Connects to the first address of the site that accepts, within the deadline. The socket, or
/// -1 with `error` set.
int connectTo(const SiteAddress& site, Clock::time_point deadline, const std::atomic<bool>* cancel,
              std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(site.host.c_str(), site.port.c_str(), &hints, &found);
    if (rc != 0) {
        error = "Error: " + std::string(rc == EAI_SYSTEM ? systemText(errno) : gai_strerror(rc));
        return -1;
    }
    int lastError = ECONNREFUSED;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int result = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (result == EINPROGRESS) {
            result = waitFor(fd, POLLOUT, deadline, cancel);
            if (result == 0) {
                socklen_t size = sizeof result;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size) != 0) result = errno;
            }
        }
        if (result == 0) {
            ::freeaddrinfo(found);
            return fd;
        }
        ::close(fd);
        lastError = result;
        if (result == ETIMEDOUT || result == ECANCELED) break;
    }
    ::freeaddrinfo(found);
    error = "Error: " + systemText(lastError);
    return -1;
}

/// The number of bytes the whole answer has once its headers are in, when they give a
/// Content-Length; 0 while unknown.
std::size_t expectedLength(std::string_view received) {
    const std::size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos) return 0;
    const std::string_view headers = received.substr(0, end + 2);
    constexpr std::string_view kKey = "\r\nContent-Length:";
    const std::size_t at = findIgnoreCase(headers, kKey);
    if (at == std::string_view::npos) return 0;
    std::string_view value = headers.substr(at + kKey.size());
    value = trim(value.substr(0, value.find("\r\n")), " \t");
    if (value.empty() || value.size() > 9) return 0;
    std::size_t length = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return 0;
        length = length * 10 + std::size_t(c - '0');
    }
    return end + 4 + length;
}

/// One request without redirects: the answer's bytes, or an error text in `error`.
std::string exchange(const SiteAddress& site, const HttpRequest& request, std::string_view path,
                     std::string& error) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(request.timeoutMs);
    const int fd = connectTo(site, deadline, request.cancel, error);
    if (fd < 0) return {};
    Socket socket(fd);

    const std::string bytes =
        requestBytes(path, site.hostHeader, request.userAgent, request.language);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += std::size_t(n);
            continue;
        }
        int reason = errno;
        if (reason == EINTR) continue;
        if (reason == EAGAIN || reason == EWOULDBLOCK)
            reason = waitFor(fd, POLLOUT, deadline, request.cancel);
        if (reason != 0) {
            error = "Error: " + systemText(reason);
            return {};
        }
    }

    // TCP may deliver the answer in pieces: read until the site closes the connection, the
    // answer is complete or the limit is reached.
    std::string received;
    received.reserve(4096);
    char buffer[4096];
    int reason = 0;
    while (received.size() < kResponseLimit) {
        const std::size_t want = std::min(sizeof buffer, kResponseLimit - received.size());
        const ssize_t n = ::recv(fd, buffer, want, 0);
        if (n > 0) {
            received.append(buffer, std::size_t(n));
            const std::size_t expected = expectedLength(received);
            if (expected != 0 && received.size() >= expected) break;
            continue;
        }
        if (n == 0) break; // the site closed the connection
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            reason = waitFor(fd, POLLIN, deadline, request.cancel);
            if (reason == 0) continue;
        } else {
            reason = errno;
        }
        break;
    }
    // What arrived before a time-out or a reset is the answer; nothing at all is an error.
    if (received.empty()) {
        error = "Error " + (reason != 0 ? systemText(reason)
                                        : std::string("The server closed the "
                                                      "connection without answering."));
        return {};
    }
    return received;
}

} // namespace

std::string httpGet(const HttpRequest& request) {
    std::string path = isBlank(request.path) ? std::string("/") : request.path;
    if (path.size() >= kPathLimit) return {};
    const std::optional<SiteAddress> site = parseSiteHost(request.siteHost);
    if (!site)
        return "Error: the site host \"" + sanitizeUtf8(request.siteHost) + "\" is not valid.";

    std::string error;
    std::string answer = exchange(*site, request, path, error);
    if (answer.empty()) return error;
    if (request.followRedirect) {
        if (const std::optional<std::string> next = redirectPath(answer, *site)) {
            if (next->size() >= kPathLimit) return {};
            answer = exchange(*site, request, *next, error);
            if (answer.empty()) return error;
        }
    }
    return sanitizeUtf8(answer);
}

std::string systemVersionCheckUserAgent() {
    utsname name{};
    if (::uname(&name) != 0) return std::string(kUserAgent);
    return versionCheckUserAgent(name.release);
}

} // namespace kv::online
