#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/install_prompt.h"
#include "app/integrity.h"
#include "persistence/text.h"
#include "ui/app_settings.h"

namespace fs = std::filesystem;
using kv::app::InstallQuestion;

namespace {

struct TempDir {
    fs::path path = fs::temp_directory_path() /
                    ("kv_ui_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    TempDir() { fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
    static inline int counter = 0;
};

std::string record(const std::string& installedPath, const std::string& version) {
    std::string text = "SOFTWARE\\Kalvitrope\\Kalvitrope\\1.1EXENameAndPath\t" + installedPath;
    text += "\r\nSOFTWARE\\Kalvitrope\\Kalvitrope\\1.1\t" + version + "\r\n";
    return text;
}

TEST(InstallPrompt, QuestionFromTheInstallationRecord) {
    TempDir dir;
    const std::string self = (dir.path / "kalvitrope").string();
    const std::string other = (dir.path / "elsewhere" / "kalvitrope").string();
    std::ofstream(self) << "x";
    EXPECT_EQ(kv::app::installQuestion("", self), InstallQuestion::Install);
    EXPECT_EQ(kv::app::installQuestion(record("  ", "1.1"), self), InstallQuestion::Install);
    EXPECT_EQ(kv::app::installQuestion(record(self, "1.1"), self), InstallQuestion::None);
    // The same file by another spelling of its path is still the installed copy.
    EXPECT_EQ(kv::app::installQuestion(record((dir.path / "." / "kalvitrope").string(), ""), self),
              InstallQuestion::None);
    EXPECT_EQ(kv::app::installQuestion(record(other, ""), self), InstallQuestion::InstallVersion);
    EXPECT_EQ(kv::app::installQuestion(record(other, "1.1"), self), InstallQuestion::Reinstall);
    // Letter case counts in file names here.
    std::string upper = self;
    upper.back() = 'E';
    EXPECT_EQ(kv::app::installQuestion(record(upper, "1.1"), self), InstallQuestion::Reinstall);
}

TEST(Integrity, OwnFileIsIntactAndDamageIsFound) {
    std::string reason;
    const std::string self = kv::app::ownProgramPath();
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(kv::app::checkProgramFile(self, reason)) << reason;

    TempDir dir;
    std::ifstream in(self, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    auto write = [&](const std::string& name, const std::string& content) {
        const std::string p = (dir.path / name).string();
        std::ofstream(p, std::ios::binary) << content;
        return p;
    };
    // Cut short: the section-header table lies at the end of the file.
    EXPECT_FALSE(
        kv::app::checkProgramFile(write("short", bytes.substr(0, bytes.size() - 100)), reason));
    EXPECT_NE(reason.find("shorter"), std::string::npos) << reason;
    std::string bad = bytes;
    bad[1] = 'X';
    EXPECT_FALSE(kv::app::checkProgramFile(write("magic", bad), reason));
    EXPECT_FALSE(kv::app::checkProgramFile(write("tiny", bytes.substr(0, 20)), reason));
    EXPECT_FALSE(kv::app::checkProgramFile((dir.path / "missing").string(), reason));
    EXPECT_FALSE(kv::app::checkProgramFile(dir.path.string(), reason));
}

TEST(Startup, WithoutADisplayTheProgramSaysSoAndExits2) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    p.setProcessEnvironment(env);
    p.start(KV_APP_PATH, {"-NoInstall"});
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
    EXPECT_TRUE(err.contains("X11 display")) << err.toStdString();
    EXPECT_TRUE(err.contains("kalvitrope-cli")) << err.toStdString();
    EXPECT_EQ(err.count('\n'), 0);
}

TEST(Startup, HelpAndVersionAnswerOnTheConsoleWithoutADisplay) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("LANG", "C");
    struct Case {
        QString arg, expected;
    };
    for (const Case& c : {Case{"--version", "kalvitrope (Kalvitrope v1.1)\n"},
                          Case{"--help", "Language xx\n"}, Case{"--help", "--version\n"}}) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(KV_APP_PATH, {c.arg});
        ASSERT_TRUE(p.waitForFinished(20000));
        EXPECT_EQ(p.exitCode(), 0) << c.arg.toStdString();
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        EXPECT_TRUE(out.contains(c.expected)) << out.toStdString();
        EXPECT_FALSE(out.contains('\r')) << c.arg.toStdString();
    }
}

/// A copy of the desktop program in a folder of its own, with a home of its own (HOME and the
/// XDG folders) and another folder to start it from. Needs an X server and xdotool.
struct CopiedProgram {
    TempDir dir;
    fs::path folder = dir.path / "program", home = dir.path / "home",
             elsewhere = dir.path / "elsewhere";
    fs::path program = folder / "kalvitrope";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();

    CopiedProgram() {
        for (const fs::path& p : {folder, home / ".config", home / ".local/share", elsewhere})
            fs::create_directories(p);
        fs::copy_file(KV_APP_PATH, program);
        env.insert("HOME", QString::fromStdString(home.string()));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString((home / ".config").string()));
        env.insert("XDG_DATA_HOME", QString::fromStdString((home / ".local/share").string()));
        env.remove("QT_QPA_PLATFORM");
    }
    /// Settings beside the program: English, no version check, no installation question.
    kv::ui::SettingsStore settings{(folder / "kalvitrope.KVS").string()};
    bool saveSettings() {
        settings.values().checkVersionOnStartup = false;
        settings.values().doNotAskAboutInstallation = true;
        return settings.save();
    }
    static bool usable() {
        if (qgetenv("DISPLAY").isEmpty()) return false;
        QProcess xdotool;
        xdotool.start("xdotool", {"version"});
        return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
    }
    void start(QProcess& p, const QStringList& args) {
        p.setWorkingDirectory(QString::fromStdString(elsewhere.string()));
        p.setProcessEnvironment(env);
        p.start(QString::fromStdString(program.string()), args);
    }
    /// Waits until a window titled `title` is shown.
    static bool waitForWindow(const QString& title) {
        QProcess search;
        search.start("xdotool", {"search", "--sync", "--onlyvisible", "--name", title});
        if (search.waitForFinished(60000)) return search.exitCode() == 0;
        search.kill();
        search.waitForFinished();
        return false;
    }
};

TEST(Startup, FromAnotherFolderTheAutosaveIsTheProgramFoldersAndSigtermEndsAsExitQuietly) {
    if (!CopiedProgram::usable()) GTEST_SKIP() << "needs an X server and xdotool";
    CopiedProgram c;
    // The settings beside the program name the autosave relative to the program folder; the
    // first run opens the welcome box, which is still open when the signal comes.
    c.settings.values().autoSavePath = "kalvitrope_AutoSave.KVC";
    ASSERT_TRUE(c.saveSettings());
    const fs::path autosave = c.folder / "kalvitrope_AutoSave.KVC";
    fs::copy_file(fs::path(KV_SOURCE_DIR) / "resources/presets/preset_205.kvc", autosave);
    const std::string patch = kv::readTextFile(autosave.string());
    const std::size_t open = patch.find("[Module_");
    ASSERT_NE(open, std::string::npos);
    const std::string section = patch.substr(open, patch.find(']', open) - open + 1);

    // No JACK server to be found: the sound libraries look further and would say so.
    c.env.insert("JACK_DEFAULT_SERVER", QString("kv-none-%1").arg(::getpid()));
    QProcess p;
    c.start(p, {});
    ASSERT_TRUE(CopiedProgram::waitForWindow("Welcome to Kalvitrope"))
        << p.readAllStandardError().toStdString();
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    // The patch was loaded at start and written back on the way out, in the program folder.
    EXPECT_NE(kv::readTextFile(autosave.string()).find(section), std::string::npos) << section;
    EXPECT_TRUE(fs::is_empty(c.elsewhere));
    kv::ui::SettingsStore after(c.settings.path());
    after.load();
    EXPECT_TRUE(after.values().programHasRunPreviously); // saved on the way out
    // The libraries' own lines stay off the standard error stream without -Debug.
    const std::string err = p.readAllStandardError().toStdString();
    for (const char* noise : {"ALSA lib", "JACK server", "jack server", "Cannot connect"})
        EXPECT_EQ(err.find(noise), std::string::npos) << err;
}

TEST(Startup, ACopyOfTheInstallationFolderRemovesNothing) {
    if (!CopiedProgram::usable()) GTEST_SKIP() << "needs an X server and xdotool";
    CopiedProgram c;
    c.settings.values().programHasRunPreviously = true;
    ASSERT_TRUE(c.saveSettings());
    // The installation record names another folder; the log beside the copy names a launcher.
    const fs::path launcher = c.home / ".local/share/applications/Kalvitrope.desktop";
    fs::create_directories(launcher.parent_path());
    std::ofstream(launcher) << "[Desktop Entry]\n";
    const fs::path registry = c.home / ".local/share/Kalvitrope/registry.kvs";
    fs::create_directories(registry.parent_path());
    std::ofstream(registry, std::ios::binary)
        << kv::encodeUtf16Le(record((c.dir.path / "installed/kalvitrope").string(), "1.1"));
    std::ofstream(c.folder / "Install_Log.txt", std::ios::binary)
        << kv::encodeUtf16Le("\r\n" + launcher.string());

    QProcess p;
    c.start(p, {"-RemoveIt"});
    // It says so on the standard error stream and in a box, and removes nothing.
    ASSERT_TRUE(CopiedProgram::waitForWindow("Kalvitrope"));
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    const std::string err = p.readAllStandardError().toStdString();
    EXPECT_NE(err.find("not an installed copy"), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(launcher));
    EXPECT_TRUE(fs::exists(c.folder / "Install_Log.txt"));
    EXPECT_NE(kv::readTextFile(registry.string()).find("1.1EXENameAndPath"), std::string::npos);
}

} // namespace
