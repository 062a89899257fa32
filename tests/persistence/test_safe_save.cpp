// Saving over every kind of path, under another user's file, and while being killed: the target is
// old or new content, never damaged, and no temporary file stays behind.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "persistence/safe_save.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("kv_save_" + std::to_string(std::random_device{}()));
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::all, ec);
        fs::remove_all(path, ec);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    // Names of leftover temporary files.
    std::string temps() const {
        std::string found;
        for (const auto& e : fs::directory_iterator(path))
            if (e.path().filename().string().find(".kvsave-") != std::string::npos)
                found += e.path().filename().string() + " ";
        return found;
    }
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct PathCase {
    const char* kind;
    // Prepares the folder and returns the path to save to.
    std::function<std::string(TempDir&)> setUp;
    const char* reason; // nullptr: the save succeeds
    // Checks what the folder holds afterwards.
    std::function<void(TempDir&)> check;
};

TEST(SafeSave, RulesOverPathKinds) {
    const std::string fresh = "new content";
    const PathCase cases[] = {
        {"link to a file",
         [](TempDir& d) {
             put(d.file("real"), "old");
             fs::create_symlink("real", d.file("link"));
             return d.file("link");
         },
         nullptr,
         [&](TempDir& d) {
             EXPECT_TRUE(fs::is_symlink(d.file("link")));
             EXPECT_EQ(readAll(d.file("real")), fresh);
         }},
        {"dangling link",
         [](TempDir& d) {
             fs::create_symlink(d.file("later"), d.file("link"));
             return d.file("link");
         },
         nullptr,
         [&](TempDir& d) {
             EXPECT_TRUE(fs::is_symlink(d.file("link")));
             EXPECT_EQ(readAll(d.file("later")), fresh);
         }},
        {"link loop",
         [](TempDir& d) {
             fs::create_symlink("b", d.file("a"));
             fs::create_symlink("a", d.file("b"));
             return d.file("a");
         },
         "symbolic links",
         [](TempDir& d) {
             EXPECT_TRUE(fs::is_symlink(d.file("a")));
             EXPECT_TRUE(fs::is_symlink(d.file("b")));
         }},
        {"fifo",
         [](TempDir& d) {
             EXPECT_EQ(::mkfifo(d.file("pipe").c_str(), 0644), 0);
             return d.file("pipe");
         },
         "not a regular file; not replaced",
         [](TempDir& d) { EXPECT_TRUE(fs::is_fifo(d.file("pipe"))); }},
        {"link to a character device",
         [](TempDir& d) {
             fs::create_symlink("/dev/null", d.file("null"));
             return d.file("null");
         },
         "not a regular file; not replaced",
         [](TempDir&) { EXPECT_TRUE(fs::is_character_file("/dev/null")); }},
        {"directory",
         [](TempDir& d) {
             fs::create_directory(d.file("dir"));
             return d.file("dir");
         },
         "directory", [](TempDir& d) { EXPECT_TRUE(fs::is_empty(d.file("dir"))); }},
        {"read-only file",
         [](TempDir& d) {
             put(d.file("ro"), "old");
             fs::permissions(d.file("ro"), fs::perms::owner_read | fs::perms::group_read);
             return d.file("ro");
         },
         "read-only; not replaced", [](TempDir& d) { EXPECT_EQ(readAll(d.file("ro")), "old"); }},
        {"file with a second name",
         [](TempDir& d) {
             put(d.file("one"), "old content, longer than the new");
             fs::create_hard_link(d.file("one"), d.file("two"));
             return d.file("one");
         },
         nullptr,
         [&](TempDir& d) {
             EXPECT_EQ(readAll(d.file("one")), fresh);
             EXPECT_EQ(readAll(d.file("two")), fresh);
         }},
        {"file with its own mode and group",
         [](TempDir& d) {
             put(d.file("f"), "old");
             ::chmod(d.file("f").c_str(), 0640);
             if (::geteuid() == 0) {
                 EXPECT_EQ(::chown(d.file("f").c_str(), 0, 4321), 0);
             }
             return d.file("f");
         },
         nullptr,
         [&](TempDir& d) {
             struct stat st {};
             ASSERT_EQ(::stat(d.file("f").c_str(), &st), 0);
             EXPECT_EQ(readAll(d.file("f")), fresh);
             EXPECT_EQ(st.st_mode & 07777, 0640u);
             if (::geteuid() == 0) {
                 EXPECT_EQ(st.st_gid, 4321u);
             }
         }},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.kind);
        TempDir dir;
        const std::string path = c.setUp(dir);
        const SaveResult r = writeFileReplacing(path, fresh);
        if (c.reason) {
            EXPECT_FALSE(r);
            EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
        } else {
            EXPECT_TRUE(r) << r.reason;
        }
        EXPECT_EQ(r.reason.find(".kvsave-"), std::string::npos) << r.reason;
        c.check(dir);
        EXPECT_EQ(dir.temps(), "");
    }
}

// Another user's group-writable file in a shared folder: the new file could not carry its owner,
// so the content goes into the existing file, which keeps owner, group and mode.
TEST(SafeSave, AnotherUsersFileIsWrittenInPlace) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
    TempDir dir;
    ::chmod(dir.path.c_str(), 01777);
    const std::string path = dir.file("shared.kvc");
    put(path, "old content that is longer");
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
    ::chmod(path.c_str(), 0666);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        ::_exit(writeFileReplacing(path, "new") ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(readAll(path), "new");
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(dir.temps(), "");
}

// A process saving in a loop is killed at random moments (SIGTERM, SIGINT or SIGKILL): the file is
// always one whole version, and the next save leaves no temporary file.
TEST(SafeSave, KilledSavesLeaveOldOrNewAndNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir.file("patch.kvc");
    const std::string a(1 << 20, 'a'), b(3 << 19, 'b');
    ASSERT_TRUE(writeFileReplacing(path, a));
    std::mt19937 random(7);
    const int signals[] = {SIGTERM, SIGINT, SIGKILL};
    for (int round = 0; round < 24; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i)
                (void)writeFileReplacing(path, i % 2 ? a : b);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        const int sig = signals[round % 3];
        ::kill(child, sig);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), sig);
        const std::string now = readAll(path);
        EXPECT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
        // A killed save leaves its temporary file until the next save clears it; a child
        // signalled before it ever ran has not done so yet. Only this child's files count.
        if (sig != SIGKILL) {
            EXPECT_EQ(dir.temps().find(".kvsave-" + std::to_string(child) + "-"), std::string::npos)
                << "after signal " << sig << ": " << dir.temps();
        }
    }
    // Also those named as earlier versions named them, of processes that are gone.
    put(dir.file(".patch.kvc.tmp999999999-3"), "x");
    put(dir.file(".patch.kvc.tmp999999999"), "x");
    put(dir.file(".patch.kvc.tmpfile"), "kept: not a temporary name");
    ASSERT_TRUE(writeFileReplacing(path, a));
    EXPECT_EQ(dir.temps(), "");
    EXPECT_FALSE(fs::exists(dir.file(".patch.kvc.tmp999999999-3")));
    EXPECT_FALSE(fs::exists(dir.file(".patch.kvc.tmp999999999")));
    EXPECT_TRUE(fs::exists(dir.file(".patch.kvc.tmpfile")));
    EXPECT_EQ(readAll(path), a);
}

} // namespace
} // namespace kv
