#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "install/install_log.h"
#include "ui/button_box.h"
#include "ui/installer_dialog.h"

namespace fs = std::filesystem;
using namespace kv::ui;

namespace {

/// A temporary home and a program file beside it; removed afterwards.
struct Home {
    fs::path root;
    kv::install::Places places;
    std::string program;
    Home() {
        std::string pattern = (fs::temp_directory_path() / "kv-installer-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        fs::create_directories(root / "home/.local/share");
        places = kv::install::Places::from((root / "home").string(), "", "", root.string(), "");
        program = (root / "kalvitrope").string();
        std::ofstream(program) << "program";
    }
    ~Home() { fs::remove_all(root); }
};

/// Answers the next framework box by pressing the button with `key`.
void pressNext(const QString& label) {
    setDialogShownHook([label](QDialog& d) {
        setDialogShownHook(nullptr);
        for (auto* b : static_cast<ButtonBoxDialog&>(d).buttons())
            if (b->text() == label) b->click();
    });
}

TEST(InstallerDialog, ChoicesDecideWhatIsInstalledAndQuittingAsksFirst) {
    Home home;
    InstallerDialog dialog(nullptr, home.program, home.places);
    EXPECT_EQ(dialog.folderField()->toPlainText().toStdString(), home.places.defaultFolder());
    for (int id : {300, 310, 320, 350})
        ASSERT_TRUE(dialog.box(id) && dialog.box(id)->isChecked()) << id;
    for (int id : {330, 340, 360, 370, 390})
        EXPECT_EQ(dialog.box(id), nullptr) << id; // nothing recorded, nothing to offer
    dialog.box(300)->setChecked(false);
    EXPECT_FALSE(dialog.box(310)->isEnabled());

    dialog.show();
    pressNext(QObject::tr("No"));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_TRUE(dialog.isVisible());

    const std::string folder = (home.root / "home/K").string() + "/";
    dialog.folderField()->setPlainText(QString::fromStdString(folder + "//"));
    dialog.box(320)->setChecked(false);
    pressNext(libraryText(0)); // the completion message
    dialog.install();
    EXPECT_EQ(dialog.result(), folder + "|RunProgramAfterInstall");
    EXPECT_TRUE(fs::is_regular_file(folder + "kalvitrope"));
    EXPECT_FALSE(fs::exists(home.places.desktop));
    EXPECT_FALSE(fs::exists(home.places.applications));
}

TEST(RemoverDialog, ListsTheLogEntriesItLeavesAlone) {
    Home home;
    const std::string folder = (home.root / "home/K/").string();
    fs::create_directories(folder);
    kv::install::appendToLog(folder + "Install_Log.txt", folder + "a.desktop");
    kv::install::appendToLog(folder + "Install_Log.txt", "/etc/passwd");
    RemoverDialog dialog(folder + "kalvitrope", home.places);
    EXPECT_EQ(dialog.windowTitle(), libraryText(618));
    ASSERT_EQ(dialog.preview().skipped, std::vector<std::string>{"/etc/passwd"});
    bool listed = false;
    for (auto* field : dialog.findChildren<RichTextField*>())
        listed |= field->toPlainText() == QStringLiteral("/etc/passwd");
    EXPECT_TRUE(listed);
}

} // namespace
