#pragma once
// Test helper: file permissions as an ordinary user meets them, also when the tests run as root.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace kv::test {

// Runs `checks` as a user that file permissions bind: the test's own, or the nobody user when
// the test runs as root (whom a read-only folder does not stop). Returns what `checks` returns.
inline std::string asBoundUser(const std::function<std::string()>& checks) {
    if (::geteuid() != 0) return checks();
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        const std::string r = checks();
        [[maybe_unused]] const auto n = ::write(fds[1], r.data(), r.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, std::size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "could not run as nobody";
}

} // namespace kv::test
