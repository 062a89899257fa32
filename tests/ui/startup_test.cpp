#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/install_prompt.h"
#include "app/integrity.h"

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

} // namespace
