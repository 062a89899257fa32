#pragma once
// Saving a file without ever damaging what is there: every file the program writes (patches, the
// autosave, settings, WAV renders and recordings) goes through here.
//
// The rules:
// - The new content is written under a temporary name in the target's folder and renamed over the
//   target only once it is complete and on disk, so a crash or a failure leaves the old file.
// - A symbolic link is written through: the link stays, the file it names gets the content (a
//   dangling link creates that file; a loop is refused).
// - A target that exists and is not a regular file (directory, device, pipe, socket) is refused
//   and nothing is written; so is a read-only file.
// - The file keeps its mode, owner and group. When the new file cannot get the old owner or group
//   (another user's file in a shared folder), or the file has other names (hard links), the
//   complete new content is copied into the existing file instead.
// - The temporary file is removed on every failure and, for saves in progress, on SIGINT and
//   SIGTERM; temporary files left by a process that no longer runs are removed by the next save
//   of the same target.
// - Failure reasons name the problem, never the temporary file; callers add the target's name.
//
// Threads: any thread, one SafeSave object per thread at a time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

enum class SaveStatus {
    Saved,
    CannotCreate, // the file could not be opened for writing (language strings 149, 150)
    WriteFailed,  // writing or replacing failed (language strings 156, 157)
};

/// Outcome of a save: the status and, on failure, the reason ("read-only; not replaced", a
/// strerror text, ...).
struct SaveResult {
    SaveStatus status = SaveStatus::Saved;
    std::string reason;
    explicit operator bool() const { return status == SaveStatus::Saved; }
};

/// A file being saved piece by piece (a WAV render): open(), write() and writeAt() as often as
/// needed, then commit(). Destroying it uncommitted removes the temporary file and leaves the
/// target as it was.
class SafeSave {
  public:
    SafeSave() = default;
    ~SafeSave();
    SafeSave(const SafeSave&) = delete;
    SafeSave& operator=(const SafeSave&) = delete;

    /// Checks the target and creates the temporary file.
    SaveResult open(const std::string& path);
    /// Appends bytes. A failure is remembered and reported by commit().
    void write(const void* data, std::size_t size);
    /// Overwrites bytes already written at `offset` (a header completed at the end).
    void writeAt(uint64_t offset, const void* data, std::size_t size);
    /// Puts the content in place of the target.
    SaveResult commit();
    /// Drops the temporary file; the target stays as it was.
    void abandon();

  private:
    SaveResult fail(SaveStatus status, int error, std::string_view what = {});
    SaveResult writeInPlace();

    std::string target_; // the file that gets the content (links resolved)
    std::string temp_;
    int fd_ = -1;
    int slot_ = -1; // entry in the signal-cleanup table
    int error_ = 0; // first write error
    uint64_t written_ = 0;
    bool exists_ = false; // target existed when opened
    bool linked_ = false; // and had more than one name (hard links)
    unsigned mode_ = 0;
    unsigned uid_ = 0;
    unsigned gid_ = 0;
};

/// Writes `bytes` to `path` as a whole under the rules above.
SaveResult writeFileReplacing(const std::string& path, std::string_view bytes);

/// Removes the temporary files of saves in progress. Async-signal-safe: for a signal handler of
/// the program's own that ends the process.
void removeUnfinishedSaves();

} // namespace kv
