#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "persistence/paths.h"

using namespace kv;
namespace fs = std::filesystem;

namespace {

PathEnvironment testEnv() {
    PathEnvironment env;
    env.programFolder = "/opt/Kalvitrope";
    env.variables = {{"HOME", "/home/x"},
                     {"XDG_CONFIG_HOME", "/home/x/.config"},
                     {"TMPDIR", "/tmp/"},
                     {"PATH", "/usr/bin"}};
    return env;
}

} // namespace

TEST(CanonicalPath, DotAndDotDotSteps) {
    EXPECT_EQ(canonicalPath("C:\\A\\.\\B\\..\\C"), "C:\\A\\C");
    EXPECT_EQ(canonicalPath("\\a\\.\\.\\b"), "\\a\\b");
    EXPECT_EQ(canonicalPath("\\a\\b\\..\\..\\..\\c"), "\\c"); // the root's parent is the root
    EXPECT_EQ(canonicalPath("\\..\\x"), "\\x");
    EXPECT_EQ(canonicalPath("\\a\\.."), "\\");
    EXPECT_EQ(canonicalPath("\\a\\..b\\c"), "\\a\\..b\\c"); // a name that begins with ".."
    EXPECT_EQ(canonicalPath("..\\..\\x"), "..\\..\\x");     // relative climbs stay
    EXPECT_EQ(canonicalPath("a\\..\\x"), "a\\..\\x");
    EXPECT_EQ(canonicalPath("\\\\server\\share\\d\\..\\f"), "\\\\server\\share\\f");
    EXPECT_EQ(canonicalPath(""), "");
}

TEST(ShortenPath, RelativeToTheProgramFolder) {
    PathEnvironment env = testEnv();
    EXPECT_EQ(shortenPath("/opt/Kalvitrope/Presets/a.kvc", env), "Presets\\a.kvc");
    EXPECT_EQ(shortenPath("/opt/Kalvitrope", env), "");
    EXPECT_EQ(shortenPath("/opt/Kalvitrope/", env), "");
    EXPECT_EQ(shortenPath("/opt/Kalvi2/c.wav", env), "..\\Kalvi2\\c.wav");
    EXPECT_EQ(shortenPath("/opt/Kalvitrope2/c.wav", env), "..\\Kalvitrope2\\c.wav");
    EXPECT_EQ(shortenPath("/opt/kalvitrope/a", env), "..\\kalvitrope\\a"); // names are exact
    EXPECT_EQ(shortenPath("/opt/Kalvitrope/./x/../b.kvc", env), "b.kvc");
    env.programFolder = "/usr/lib/kalvitrope/bin";
    EXPECT_EQ(shortenPath("/usr/share/k/p.kvc", env), "..\\..\\..\\share\\k\\p.kvc");
    EXPECT_EQ(shortenPath("", env), "");
}

TEST(ShortenPath, VariablesNetworkAndAbsolutePaths) {
    PathEnvironment env = testEnv();
    // Sharing only the root with the program folder: the first matching variable of the list.
    EXPECT_EQ(shortenPath("/home/x/.config/k/s.txt", env), "%XDG_CONFIG_HOME%\\k\\s.txt");
    EXPECT_EQ(shortenPath("/home/x/music/a.wav", env), "%HOME%\\music\\a.wav");
    EXPECT_EQ(shortenPath("/home/x", env), "%HOME%");
    EXPECT_EQ(shortenPath("/tmp/r.wav", env), "%TMPDIR%r.wav");
    EXPECT_EQ(shortenPath("/home/xy/a", env), "\\home\\xy\\a"); // not under /home/x
    EXPECT_EQ(shortenPath("/srv/a", env), "\\srv\\a");
    EXPECT_EQ(shortenPath("//server/share/f", env), "\\\\server\\share\\f");

    env.variables.insert(env.variables.begin(), {"appdata", "/home/x/.config"});
    EXPECT_EQ(shortenPath("/home/x/.config/k", env), "%APPDATA%\\k"); // earlier in the list
    env.variables = {{"HOME", "/"}};
    EXPECT_EQ(shortenPath("/srv/a", env), "\\srv\\a"); // the root stands for nothing

    // Stored forms shorten to themselves.
    env = testEnv();
    for (const char* stored : {"Presets\\a.kvc", "..\\x\\y", "%HOME%\\m", "\\srv\\a", "%NOVAR%\\q"})
        EXPECT_EQ(shortenPath(stored, env), stored);
}

TEST(ExpandPath, StoredFormsBecomeNativePaths) {
    PathEnvironment env = testEnv();
    EXPECT_EQ(expandPath("Presets\\a.kvc", env), "/opt/Kalvitrope/Presets/a.kvc");
    EXPECT_EQ(expandPath("..\\Kalvi2\\c.wav", env), "/opt/Kalvitrope/../Kalvi2/c.wav");
    EXPECT_EQ(expandPath("%NOVAR%\\x", env), "/opt/Kalvitrope/%NOVAR%/x");
    EXPECT_EQ(expandPath("%home%\\m", env), "/home/x/m");
    EXPECT_EQ(expandPath("%TMPDIR%r.wav", env), "/tmp/r.wav");
    EXPECT_EQ(expandPath("50%%HOME%", env), "/opt/Kalvitrope/50%/home/x");
    EXPECT_EQ(expandPath("\\srv\\a", env), "/srv/a");
    EXPECT_EQ(expandPath("/srv/a", env), "/srv/a");
    EXPECT_EQ(expandPath("\\\\server\\share\\f", env), "//server/share/f");
    EXPECT_EQ(expandPath("", env), "/opt/Kalvitrope/");
    env.variables.push_back({"EVIL", "%HOME%"}); // inserted values are not expanded again
    EXPECT_EQ(expandPath("%EVIL%\\a", env), "/opt/Kalvitrope/%HOME%/a");
}

TEST(PortablePaths, EveryShortenedPathNamesTheSameFile) {
    fs::path root =
        fs::temp_directory_path() / ("kv_paths_" + std::to_string(std::random_device{}()));
    fs::path program = root / "apps" / "Kalvitrope";
    fs::path home = root / "home";
    std::vector<fs::path> files = {program / "Presets" / "a.kvc",
                                   program / "b.wav",
                                   root / "apps" / "Kalvi2" / "c.wav",
                                   home / "music" / "d.wav",
                                   home / ".config" / "Kalvitrope" / "s.txt",
                                   root / "e.txt"};
    for (const fs::path& f : files) {
        fs::create_directories(f.parent_path());
        std::ofstream(f) << "x";
    }
    PathEnvironment env;
    env.programFolder = program.string();
    env.variables = {{"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / ".config").string()}};
    for (const fs::path& f : files) {
        std::string stored = shortenPath(f.string(), env);
        EXPECT_EQ(stored.find('/'), std::string::npos) << stored;
        EXPECT_TRUE(fs::equivalent(expandPath(stored, env), f)) << f << " -> " << stored;
        EXPECT_EQ(shortenPath(stored, env), stored);
    }
    EXPECT_TRUE(fs::equivalent(expandPath(shortenPath(program.string(), env), env), program));
    fs::remove_all(root);
}

TEST(PortablePaths, ProcessEnvironment) {
    PathEnvironment env = PathEnvironment::current();
    ASSERT_FALSE(env.programFolder.empty());
    EXPECT_EQ(env.programFolder[0], '/');
    EXPECT_TRUE(fs::is_directory(env.programFolder));
    std::string here = env.programFolder + "/some/file.kvc";
    EXPECT_EQ(shortenPath(here), "some\\file.kvc");
    EXPECT_EQ(expandPath("some\\file.kvc"), here);
}
