// Installing into a temporary home and removing again: files, shortcuts, registry records, the
// installation log and the removal script (run for real with sh).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "install/install_log.h"
#include "install/installer.h"
#include "install/registry_edit.h"
#include "install/removal.h"
#include "install/startup_shortcut.h"
#include "persistence/language.h"
#include "persistence/text.h"

namespace fs = std::filesystem;
using namespace kv::install;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

namespace {

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeAll(const fs::path& p, std::string_view bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

/// A temporary home with its own XDG folders and a program file outside it; the process
/// environment points at it while the test runs.
class TempHome : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "kv-install-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
        home_ = root_ / "home";
        for (const char* sub : {".local/share", ".config", "tmp"})
            fs::create_directories(home_ / sub);
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "TMPDIR"}) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        }
        ::setenv("HOME", home_.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home_ / ".local/share").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home_ / ".config").c_str(), 1);
        ::setenv("TMPDIR", (home_ / "tmp").c_str(), 1);
        places_ = Places::from(home_.string(), "", "", (home_ / "tmp").string(), "");
        program_ = (root_ / "build" / "kalvitrope").string();
        writeAll(program_, "\x7f"
                           "ELF the program");
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_)
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        std::error_code ec;
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto it = fs::recursive_directory_iterator(root_, ec);
             it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_directory(ec) && !it->is_symlink(ec))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }

    /// Every path below the home folder (folders end with "/", links with "@").
    std::set<std::string> listing() const {
        std::set<std::string> out;
        for (auto it = fs::recursive_directory_iterator(home_);
             it != fs::recursive_directory_iterator(); ++it) {
            std::string p = fs::relative(it->path(), home_).string();
            if (it->is_symlink())
                p += "@";
            else if (it->is_directory())
                p += "/";
            out.insert(p);
        }
        return out;
    }

    InstallOutcome install(std::string folder, bool extended = true) {
        InstallChoices c;
        c.folderText = std::move(folder);
        c.extendedStartMenu = extended;
        c.iconPng = "PNG";
        return runInstall(program_, c, places_);
    }

    /// What the installed program does at its first start: its settings and autosave files.
    void firstRun(const InstallOutcome& outcome) {
        InstallerResult r;
        ASSERT_TRUE(parseInstallerResult(outcome.result, r));
        const std::string settings = logSettingsPlaces(r);
        writeAll(settings, "settings");
        writeAll(fs::path(settings).replace_filename("kalvitrope_AutoSave.KVC"), "patch");
    }

    /// Removes the installation at `folder` and runs the removal script to its end.
    RemovalReport removeAndRunScript(const std::string& folder) {
        const pid_t gone = ::fork(); // a process that has already ended: no waiting
        if (gone == 0) ::_exit(0);
        ::waitpid(gone, nullptr, 0);
        RemovalReport report =
            removeInstallation(folder + "kalvitrope", places_, gone,
                               [](const std::vector<std::string>&, std::string*) { return -1; });
        EXPECT_FALSE(report.scriptPath.empty()) << report.scriptError;
        const std::string command = "sh " + shellQuote(report.scriptPath) + " >/dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return report;
    }

    std::string registry() const { return kv::readTextFile(places_.registryFile()); }

    fs::path root_, home_;
    Places places_;
    std::string program_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(TempHome, InstallThenRemoveLeavesTheHomeAsItWas) {
    const std::string other = "SOFTWARE\\Other\\Product\\Path\tkept\r\n";
    writeAll(places_.registryFile(), kv::encodeUtf16Le(other));
    fs::create_directories(places_.autostart);
    const std::set<std::string> before = listing();
    const std::string folder = places_.defaultFolder();

    const InstallOutcome outcome = install(folder + "//");
    ASSERT_TRUE(outcome.installed) << outcome.error;
    EXPECT_EQ(outcome.result, folder + "|RunProgramAfterInstall");
    firstRun(outcome);
    EXPECT_EQ(readAll(folder + "kalvitrope"), "\x7f"
                                              "ELF the program");
    EXPECT_TRUE(fs::status(folder + "kalvitrope").permissions() == fs::perms(0755));
    const std::string menu = ".local/share/applications/Hollowmere Software/Kalvitrope 1.1/";
    for (const std::string& f :
         {std::string("Desktop/Kalvitrope.desktop"), menu + "Kalvitrope.desktop",
          menu + "Uninstall Kalvitrope.desktop", menu + "Kalvitrope - Local Help.desktop",
          menu + "Kalvitrope - Online Help.desktop", menu + "Visit the Kalvitrope forum.desktop"})
        EXPECT_TRUE(fs::is_regular_file(home_ / f)) << f;
    EXPECT_THAT(readAll(home_ / menu / "Visit the Kalvitrope forum.desktop"),
                HasSubstr("Type=Link\n"));
    const std::string target = folder + "kalvitrope";
    const std::string key =
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kalvitrope 1.1\\";
    EXPECT_EQ(registry(), other + "SOFTWARE\\Kalvitrope\\Kalvitrope\\1.1EXENameAndPath\t" + target +
                              "\r\nSOFTWARE\\Kalvitrope\\Kalvitrope\\1.1\t1.1\r\n" + key +
                              "DisplayName\tKalvitrope 1.1\r\n" + key + "UninstallString\t\"" +
                              target + "\" RemoveIt\r\n" + key + "DisplayIcon\t" + folder +
                              "Kalvitrope.png\r\n" + key + "Inno Setup: App Path\t" +
                              folder.substr(0, folder.size() - 1) + "\r\n" + key +
                              "Publisher\tHollowmere Software\r\n" + key +
                              "HelpLink\thttps://kalvitrope.org/\r\n");
    EXPECT_TRUE(isInstalledCopy(target, places_));
    std::string error; // the start-up launcher the preferences make goes with the rest
    ASSERT_TRUE(createStartupShortcut(places_, target, error)) << error;

    const RemovalReport report = removeAndRunScript(folder);
    EXPECT_TRUE(report.plan.skipped.empty());
    EXPECT_TRUE(report.notDeleted.empty());
    EXPECT_FALSE(report.serviceStopped);
    EXPECT_EQ(listing(), before);
    EXPECT_EQ(registry(), other);
}

TEST_F(TempHome, OnlyTheRecordedFolderCountsAsInstalled) {
    const std::string folder = places_.defaultFolder();
    const InstallOutcome outcome = install(folder);
    ASSERT_TRUE(outcome.installed) << outcome.error;
    firstRun(outcome);
    // A copy of the whole installation folder, log included, is not the installed copy.
    const fs::path copy = root_ / "copy";
    fs::copy(folder, copy, fs::copy_options::recursive);
    ASSERT_TRUE(fs::is_regular_file(copy / "Install_Log.txt"));
    EXPECT_FALSE(isInstalledCopy((copy / "kalvitrope").string(), places_));
    EXPECT_TRUE(isInstalledCopy(folder + "kalvitrope", places_));
    // The installed file by another spelling of its path, or through a link, still is.
    EXPECT_TRUE(isInstalledCopy(folder + "./kalvitrope", places_));
    fs::create_directory_symlink(fs::path(folder).parent_path(), root_ / "link");
    EXPECT_TRUE(isInstalledCopy((root_ / "link" / "kalvitrope").string(), places_));
    // Without a record nothing is installed, whatever lies beside the program.
    changeRegistryFile(places_.registryFile(), removalRegistryChange());
    EXPECT_FALSE(isInstalledCopy(folder + "kalvitrope", places_));
}

TEST_F(TempHome, RemovalLeavesWhatATamperedLogNamesOutsideTheInstallation) {
    const std::string folder = places_.defaultFolder();
    ASSERT_TRUE(install(folder, false).installed);
    const fs::path precious = home_ / "precious.txt";
    writeAll(precious, "keep me");
    writeAll(home_ / "secret/inside.txt", "keep me too");
    fs::create_directories(home_ / "Documents");
    fs::create_directory_symlink(home_ / "secret", folder + "out");
    fs::create_symlink(precious, folder + "alias");
    writeAll(folder + "a'b; touch PWNED; '", "x");
    const std::string log = folder + "Install_Log.txt";
    const std::vector<std::string> outside = {
        precious.string(),
        folder + "out/inside.txt",            // through a link out of the folder
        folder + "../../../precious.txt",     // climbing out
        (home_ / "Documents").string() + "/", // a folder of the user's
        folder + "$(touch PWNED)'/../../../../Documents/",
        places_.applications + "/other.desktop", // not one of the product's entries
        "relative/precious.txt",
    };
    for (const std::string& e : outside)
        ASSERT_TRUE(appendToLog(log, e));
    for (const std::string& e :
         {folder + "alias", folder + "a'b; touch PWNED; '", folder + "quote'$(touch PWNED)/"}) {
        ASSERT_TRUE(appendToLog(log, e));
    }
    fs::create_directories(folder + "quote'$(touch PWNED)");

    const RemovalReport report = removeAndRunScript(folder);
    EXPECT_EQ(report.plan.skipped, outside);
    EXPECT_EQ(readAll(precious), "keep me");
    EXPECT_EQ(readAll(home_ / "secret/inside.txt"), "keep me too");
    EXPECT_TRUE(fs::is_directory(home_ / "Documents"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder + "alias")));
    // Only the link out, which the log does not name, is left of the installation.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(folder))
        left.push_back(e.path().filename().string());
    EXPECT_THAT(left, ElementsAre("out"));
    for (const fs::path& where : {fs::path("/"), home_, home_ / "tmp", fs::current_path()})
        EXPECT_FALSE(fs::exists(where / "PWNED")) << where;
}

TEST_F(TempHome, InstallOverAnEarlierVersionTakesItsSettings) {
    const fs::path old = home_ / ".local/share/Kalvitrope 1.0/kalvitrope";
    writeAll(old, "old program");
    writeAll(old.parent_path() / "kalvitrope.KVS", "\xFF\xFEold settings");
    ASSERT_TRUE(changeRegistryFile(places_.registryFile(),
                                   {{{recordPathValue("1.0"), old.string()}}, {}, {}}));
    InstallPreparation prep = prepareInstall(places_);
    EXPECT_TRUE(prep.earlierInstalled);
    EXPECT_FALSE(prep.thisInstalledWithSettings);

    InstallChoices c;
    c.folderText = places_.defaultFolder();
    c.importSettings = true;
    c.runAfterInstall = false;
    const InstallOutcome first = runInstall(program_, c, places_);
    ASSERT_TRUE(first.installed);
    EXPECT_EQ(first.result, places_.defaultFolder() + "|NoKillSettingsFile");
    EXPECT_EQ(readAll(places_.defaultFolder() + "kalvitrope.KVS"), "\xFF\xFEold settings");
    EXPECT_TRUE(prepareInstall(places_).thisInstalledWithSettings);

    // Again over the same folder: the log keeps growing, the registry is rewritten in place.
    const auto entries = readLogFile(places_.defaultFolder() + "Install_Log.txt");
    c.keepSettings = true;
    c.importSettings = false;
    ASSERT_TRUE(runInstall(program_, c, places_).installed);
    const auto again = readLogFile(places_.defaultFolder() + "Install_Log.txt");
    ASSERT_GT(again.size(), entries.size());
    EXPECT_TRUE(std::equal(entries.begin(), entries.end(), again.begin()));
    EXPECT_EQ(kv::lookupKey(registry(), recordPathValue("1.0")), old.string());
    EXPECT_EQ(readAll(places_.defaultFolder() + "kalvitrope.KVS"), "\xFF\xFEold settings");

    // From the installed file itself: nothing to copy, the shortcuts are made all the same.
    fs::remove(places_.desktop + "/Kalvitrope.desktop");
    const InstallOutcome self = runInstall(places_.defaultFolder() + "kalvitrope", c, places_);
    EXPECT_TRUE(self.installed) << self.error;
    EXPECT_EQ(readAll(places_.defaultFolder() + "kalvitrope"), "\x7f"
                                                               "ELF the program");
    EXPECT_TRUE(fs::is_regular_file(places_.desktop + "/Kalvitrope.desktop"));
}

TEST_F(TempHome, AFolderThatCannotBeMadeGivesTheMessageAndLeavesNothing) {
    writeAll(home_ / "a-file", "x");
    std::vector<std::string> folders = {(home_ / "new/deeper" / std::string(300, 'x')).string(),
                                        (home_ / "a-file/sub").string()};
    if (::geteuid() != 0) { // the superuser writes anywhere
        fs::create_directories(home_ / "locked");
        fs::permissions(home_ / "locked", fs::perms(0555));
        folders.push_back((home_ / "locked/new/Kalvitrope").string());
    }
    const std::set<std::string> before = listing();
    for (const std::string& f : folders) {
        const InstallOutcome outcome = install(f);
        EXPECT_FALSE(outcome.installed) << f;
        EXPECT_TRUE(outcome.result.empty());
        EXPECT_THAT(outcome.error, HasSubstr(kv::libraryString(607))) << f;
        EXPECT_EQ(listing(), before) << f;
    }
    for (const char* typed : {"", "relative/folder", "/x/\nline", "/"})
        EXPECT_FALSE(install(typed).installed) << typed;
    EXPECT_EQ(listing(), before);
}

TEST(InstallFolder, TypedFoldersEndInExactlyOneSlash) {
    const Places places = Places::from("/home/u", "", "", "", "");
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/K///", "/opt/K/"}, {"  /opt/K ", "/opt/K/"}, {"~/K 1.1", "/home/u/K 1.1/"}};
    for (const auto& [typed, expected] : cases) {
        std::string folder, error;
        EXPECT_TRUE(installFolderFromText(typed, places, folder, error)) << typed;
        EXPECT_EQ(folder, expected);
    }
    // Folders that hold the user's own files are refused: removal works inside the folder.
    for (const char* broad : {"~", "/home/u/", "/home", "/", "/home/u/.local/share", "/tmp"}) {
        std::string folder, error;
        EXPECT_FALSE(installFolderFromText(broad, places, folder, error)) << broad;
        EXPECT_EQ(judgeLogEntry("/home/u/letter.txt", broad, places), EntryUse::Skip) << broad;
    }
    EXPECT_EQ(judgeLogEntry("/home/u/K/letter.txt", "/home/u/K", places), EntryUse::DeleteFile);
    EXPECT_EQ(places.defaultFolder(), "/home/u/.local/share/Kalvitrope 1.1/");
    EXPECT_EQ(Places::from("/home/u", "", "", "", "/home/u").desktop, "/home/u/Desktop");
    EXPECT_EQ(Places::from("/home/u", "/d", "/c", "", "/home/u/Bureau").desktop, "/home/u/Bureau");
}

TEST(InstallLog, LinesAreReadAfterTheMarkWhateverTheLineEnds) {
    const auto utf16 = [](std::string_view text) { return kv::encodeUtf16Le(text, true); };
    EXPECT_THAT(readLogEntries(utf16("\r\n/P/K/a.desktop\r\n/P/K/")),
                ElementsAre("/P/K/a.desktop", "/P/K/"));
    EXPECT_THAT(readLogEntries(utf16("\r/a\r\r/b/\r")), ElementsAre("/a", "/b/"));
    EXPECT_THAT(readLogEntries(utf16("\n/a\n\n/b")), ElementsAre("/a", "/b"));
    // The first two bytes are skipped whatever they are; an odd last byte is dropped.
    EXPECT_THAT(readLogEntries(std::string("XY/\0a\0x", 7)), ElementsAre("/a"));
    EXPECT_TRUE(readLogEntries("\xFF\xFE").empty());
}

TEST(InstallLog, AppendedEntriesFollowOneMark) {
    const fs::path dir = fs::temp_directory_path() / ("kv-log-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string log = (dir / "Install_Log.txt").string();
    ASSERT_TRUE(appendToLog(log, "/a/b"));
    ASSERT_TRUE(appendToLog(log, "/a/é/"));
    EXPECT_EQ(readAll(log), kv::encodeUtf16Le("\r\n/a/b\r\n/a/é/", true));
    fs::create_symlink(log, dir / "link");
    EXPECT_FALSE(appendToLog((dir / "link").string(), "/x"));
    fs::remove_all(dir);
}

TEST(Shortcuts, ExecLinesQuoteTheProgramPath) {
    const std::string entry =
        launcherEntry("K", "K", "/h/My \"K\" $1 100%/kalvitrope", "-DoHelp", "", true);
    EXPECT_THAT(entry,
                HasSubstr("\nExec=\"/h/My \\\\\"K\\\\\" \\\\$1 100%%/kalvitrope\" -DoHelp\n"));
    EXPECT_THAT(entry,
                HasSubstr("[Desktop Action Uninstall]\nName=Uninstall Kalvitrope\n"
                          "Exec=\"/h/My \\\\\"K\\\\\" \\\\$1 100%%/kalvitrope\" -RemoveIt\n"));
}

TEST(Service, AUnitIsStoppedAndDisabledOnlyWhenItExists) {
    struct Case {
        int status;
        const char* state;
        bool found;
        std::size_t calls;
    } cases[] = {{0, "loaded\n", true, 3},
                 {0, "not-found\n", false, 1},
                 {-1, "", false, 1},
                 {127, "", false, 1}};
    for (const Case& c : cases) {
        std::vector<std::string> calls;
        const bool found =
            stopUserService([&](const std::vector<std::string>& argv, std::string* out) {
                calls.push_back(argv.size() > 2 ? argv[2] : "");
                if (out) *out = c.state;
                return c.status;
            });
        EXPECT_EQ(found, c.found) << c.state;
        EXPECT_EQ(calls.size(), c.calls) << c.state;
        if (c.found) {
            EXPECT_THAT(calls, ElementsAre("show", "stop", "disable"));
        }
    }
}

} // namespace
