#include "install/install_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "persistence/text.h"

namespace kv::install {

namespace {

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

} // namespace

bool appendToLog(const std::string& logPath, std::string_view entry, std::string* reason) {
    auto fail = [&](int error) {
        if (reason) *reason = std::strerror(error);
        return false;
    };
    const int fd =
        ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail(EINVAL);
    }
    std::string bytes;
    if (st.st_size == 0) bytes = "\xFF\xFE";
    bytes += encodeUtf16Le("\r\n" + std::string(entry), false);
    const bool ok = writeAll(fd, bytes);
    const int error = errno;
    if (::close(fd) != 0 || !ok) return fail(ok ? errno : error);
    return true;
}

std::vector<std::string> readLogEntries(std::string_view bytes) {
    std::vector<std::string> entries;
    if (bytes.size() <= 2) return entries;
    bytes.remove_prefix(2);
    std::u16string line;
    auto finish = [&] {
        if (!line.empty()) entries.push_back(utf16ToUtf8(line));
        line.clear();
    };
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char16_t unit = char16_t(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8));
        if (unit == u'\r' || unit == u'\n')
            finish();
        else
            line.push_back(unit);
    }
    finish();
    return entries;
}

std::vector<std::string> readLogFile(const std::string& logPath, bool* found) {
    if (found) *found = false;
    const int fd = ::open(logPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return {};
    }
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < kMaxLogSize) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.append(buffer, std::size_t(n));
    }
    ::close(fd);
    if (bytes.size() > kMaxLogSize) bytes.resize(kMaxLogSize);
    if (found) *found = true;
    return readLogEntries(bytes);
}

} // namespace kv::install
