#include "persistence/safe_save.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kv {

namespace {

constexpr const char* kTempMarker = ".kvsave-";

// ---- Temporary files removed on SIGINT/SIGTERM ------------------------------------------------
// A fixed table, so that the handler only reads plain memory and calls unlink().

constexpr int kSlots = 32;
char slotPath[kSlots][PATH_MAX];
std::atomic<int> slotState[kSlots]; // 0 free, 1 being filled, 2 holds a path

struct sigaction previousAction[2];
constexpr int kSignals[2] = {SIGINT, SIGTERM};

extern "C" void onTerminatingSignal(int sig, siginfo_t* info, void* context) {
    const int saved = errno;
    removeUnfinishedSaves();
    errno = saved;
    const int i = sig == SIGINT ? 0 : 1;
    const struct sigaction& prev = previousAction[i];
    if (prev.sa_flags & SA_SIGINFO) {
        if (prev.sa_sigaction) prev.sa_sigaction(sig, info, context);
    } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
        prev.sa_handler(sig);
    } else {
        // Die of the signal as the program would have without us.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
    }
}

void installSignalCleanup() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int i = 0; i < 2; ++i) {
            struct sigaction current {};
            if (::sigaction(kSignals[i], nullptr, &current) != 0) continue;
            if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) continue;
            previousAction[i] = current;
            struct sigaction ours {};
            ours.sa_sigaction = &onTerminatingSignal;
            ours.sa_flags = SA_SIGINFO | SA_RESTART;
            sigemptyset(&ours.sa_mask);
            ::sigaction(kSignals[i], &ours, nullptr);
        }
    });
}

int registerTemp(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (slotState[i].compare_exchange_strong(expected, 1)) {
            std::memcpy(slotPath[i], path.c_str(), path.size() + 1);
            slotState[i].store(2);
            return i;
        }
    }
    return -1; // more saves at once than slots: still saved, only not cleaned on a signal
}

void unregisterTemp(int slot) {
    if (slot >= 0) slotState[slot].store(0);
}

// ---- Paths ------------------------------------------------------------------------------------

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links to the file that gets the content; it need not exist. 0 or an errno.
int resolveLinks(const std::string& path, std::string& resolved) {
    resolved = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(resolved.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
        if (!S_ISLNK(st.st_mode)) return 0;
        if (hops >= 40) return ELOOP;
        std::vector<char> buffer(PATH_MAX + 1);
        const ssize_t n = ::readlink(resolved.c_str(), buffer.data(), PATH_MAX);
        if (n < 0) return errno;
        const std::string link(buffer.data(), static_cast<std::size_t>(n));
        resolved = link.front() == '/' ? link : folderOf(resolved) + "/" + link;
    }
}

// Removes temporary files of `name` in `folder` whose writing process is gone.
void removeStaleTemps(const std::string& folder, const std::string& name) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    const std::string prefix = "." + name + kTempMarker;
    // Earlier versions wrote ".NAME.tmpPID-N" (patches) and ".NAME.tmpPID" (WAV renders).
    const std::string oldPrefix = "." + name + ".tmp";
    while (const dirent* e = ::readdir(dir)) {
        const std::string entry = e->d_name;
        const bool current = entry.compare(0, prefix.size(), prefix) == 0;
        if (!current && entry.compare(0, oldPrefix.size(), oldPrefix) != 0) continue;
        const char* digits = entry.c_str() + (current ? prefix.size() : oldPrefix.size());
        if (*digits < '0' || *digits > '9') continue;
        char* end = nullptr;
        const long pid = std::strtol(digits, &end, 10);
        if (pid <= 0 || pid == ::getpid()) continue;
        if (*end != '-' && !(*end == '\0' && !current)) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlink((folder + "/" + entry).c_str());
    }
    ::closedir(dir);
}

bool writeAll(int fd, const char* data, std::size_t size, int64_t offset) {
    while (size > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        if (offset >= 0) offset += n;
    }
    return true;
}

void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}

} // namespace

void removeUnfinishedSaves() {
    for (int i = 0; i < kSlots; ++i)
        if (slotState[i].load() == 2) ::unlink(slotPath[i]);
}

SafeSave::~SafeSave() {
    abandon();
}

SaveResult SafeSave::fail(SaveStatus status, int error, std::string_view what) {
    abandon();
    SaveResult r;
    r.status = status;
    r.reason = what.empty() ? std::string(std::strerror(error)) : std::string(what);
    return r;
}

void SafeSave::abandon() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        ::unlink(temp_.c_str());
    }
    unregisterTemp(slot_);
    slot_ = -1;
}

SaveResult SafeSave::open(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    abandon();
    error_ = 0;
    written_ = 0;
    if (path.empty()) return fail(SaveStatus::CannotCreate, 0, "no file name");
    if (const int e = resolveLinks(path, target_)) return fail(SaveStatus::CannotCreate, e);

    struct stat st {};
    exists_ = ::stat(target_.c_str(), &st) == 0;
    if (exists_) {
        if (S_ISDIR(st.st_mode)) return fail(SaveStatus::CannotCreate, EISDIR);
        if (!S_ISREG(st.st_mode))
            return fail(SaveStatus::CannotCreate, 0, "not a regular file; not replaced");
        if ((st.st_mode & 0222) == 0 || ::access(target_.c_str(), W_OK) != 0)
            return fail(SaveStatus::CannotCreate, 0, "read-only; not replaced");
        mode_ = st.st_mode & 07777;
        linked_ = st.st_nlink > 1;
        uid_ = st.st_uid;
        gid_ = st.st_gid;
    }

    installSignalCleanup();
    const std::string folder = folderOf(target_);
    const std::string name = nameOf(target_);
    removeStaleTemps(folder, name);
    int error = 0;
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temp_ = folder + "/." + name + kTempMarker + std::to_string(::getpid()) + "-" +
                std::to_string(counter++);
        slot_ = registerTemp(temp_);
        // An existing file's content must not be readable by others even for a moment.
        fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, exists_ ? 0600 : 0666);
        if (fd_ < 0) {
            error = errno;
            unregisterTemp(slot_);
            slot_ = -1;
            if (error != EEXIST) break;
        }
    }
    if (fd_ < 0) return fail(SaveStatus::CannotCreate, error);
    return {};
}

void SafeSave::write(const void* data, std::size_t size) {
    if (fd_ < 0 || error_ != 0 || size == 0) return;
    if (!writeAll(fd_, static_cast<const char*>(data), size, -1))
        error_ = errno;
    else
        written_ += size;
}

void SafeSave::writeAt(uint64_t offset, const void* data, std::size_t size) {
    if (fd_ < 0 || error_ != 0 || size == 0) return;
    if (!writeAll(fd_, static_cast<const char*>(data), size, static_cast<int64_t>(offset)))
        error_ = errno;
}

SaveResult SafeSave::commit() {
    if (fd_ < 0) return fail(SaveStatus::WriteFailed, EBADF);
    if (error_ != 0) return fail(SaveStatus::WriteFailed, error_);
    if (::fsync(fd_) != 0) return fail(SaveStatus::WriteFailed, errno);

    // A file with several names (hard links) keeps them all only when written in place.
    if (exists_ && linked_) return writeInPlace();
    if (exists_) {
        struct stat mine {};
        if (::fstat(fd_, &mine) != 0) return fail(SaveStatus::WriteFailed, errno);
        if (mine.st_uid != uid_ || mine.st_gid != gid_) {
            if (::fchown(fd_, uid_, gid_) != 0) return writeInPlace();
        }
        // After the owner: changing it clears the set-id bits.
        if (::fchmod(fd_, mode_) != 0) return fail(SaveStatus::WriteFailed, errno);
    }
    if (::close(fd_) != 0) {
        const int e = errno;
        fd_ = -1;
        ::unlink(temp_.c_str());
        return fail(SaveStatus::WriteFailed, e);
    }
    fd_ = -1;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        const int e = errno;
        ::unlink(temp_.c_str());
        return fail(SaveStatus::WriteFailed, e);
    }
    unregisterTemp(slot_);
    slot_ = -1;
    syncFolder(folderOf(target_));
    return {};
}

// The new file cannot carry the old owner or group, or the file has other names: copy the complete
// content, already on disk in the temporary file, into the existing file, which keeps its owner,
// group, mode and names.
SaveResult SafeSave::writeInPlace() {
    const int out = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) return fail(SaveStatus::WriteFailed, errno);
    std::vector<char> buffer(1 << 16);
    uint64_t done = 0;
    int error = 0;
    while (done < written_ && error == 0) {
        const ssize_t n = ::pread(fd_, buffer.data(), buffer.size(), static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(n), static_cast<int64_t>(done)))
            error = errno;
        done += static_cast<uint64_t>(n);
    }
    if (error == 0 && ::ftruncate(out, static_cast<off_t>(written_)) != 0) error = errno;
    if (error == 0 && ::fsync(out) != 0) error = errno;
    if (::close(out) != 0 && error == 0) error = errno;
    if (error == 0) {
        abandon(); // the temporary copy is no longer needed
        return {};
    }
    if (done == 0) return fail(SaveStatus::WriteFailed, error);
    // The old content is partly overwritten: keep the complete new content beside the target.
    const std::string kept = target_ + ".new";
    ::close(fd_);
    fd_ = -1;
    if (::rename(temp_.c_str(), kept.c_str()) == 0) {
        unregisterTemp(slot_);
        slot_ = -1;
        return fail(SaveStatus::WriteFailed, 0,
                    std::string(std::strerror(error)) + "; the new content is in " + kept);
    }
    ::unlink(temp_.c_str());
    return fail(SaveStatus::WriteFailed, error);
}

SaveResult writeFileReplacing(const std::string& path, std::string_view bytes) {
    SafeSave save;
    if (SaveResult r = save.open(path); !r) return r;
    save.write(bytes.data(), bytes.size());
    return save.commit();
}

} // namespace kv
