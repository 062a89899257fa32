#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "ui/app_settings.h"
#include "ui/preferences_about.h"
#include "ui/preferences_dialog.h"

namespace fs = std::filesystem;
using namespace kv;
using namespace kv::ui;

namespace {

/// Settings kept in a file of their own, counting the settings-changed notices.
struct Store {
    fs::path file = fs::temp_directory_path() /
                    ("kv_prefs_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    SettingsStore settings{file.string()};
    int changes = 0;
    bool redrawn = false;
    SettingsChanged changed = [this](bool redraw) {
        ++changes;
        redrawn = redrawn || redraw;
    };
    ~Store() { fs::remove(file); }
    Settings stored() {
        SettingsStore fresh(file.string());
        fresh.load();
        return fresh.values();
    }
    static inline int counter = 0;
};

} // namespace

TEST(PreferencesDialog, ApplyFollowsRealChangesAndOkaySavesTheFile) {
    Store s;
    s.settings.values().checkVersionOnStartup = true;
    PreferencesDialog d(nullptr, s.settings, s.changed);
    ASSERT_EQ(d.boxes().size(), 7u);
    QCheckBox* check = d.boxes()[1].box;
    EXPECT_TRUE(check->isChecked());
    EXPECT_FALSE(d.applyButton()->isEnabled());
    check->setChecked(true); // no change
    EXPECT_FALSE(d.applyButton()->isEnabled());
    check->setChecked(false);
    EXPECT_TRUE(d.applyButton()->isEnabled());
    check->setChecked(true); // back to the stored value: Apply stays as the first change left it
    EXPECT_TRUE(d.applyButton()->isEnabled());
    check->setChecked(false);
    d.okayButton()->click();
    EXPECT_FALSE(s.settings.values().checkVersionOnStartup);
    EXPECT_FALSE(s.stored().checkVersionOnStartup);
    EXPECT_EQ(s.changes, 1);
}

TEST(PreferencesDialog, CancelLeavesTheSettingsAsAnEarlierApplyLeftThem) {
    Store s;
    PreferencesDialog d(nullptr, s.settings, s.changed);
    QCheckBox* wrap = d.boxes()[0].box;
    QCheckBox* realtime = d.boxes()[3].box;
    const bool wrapBefore = wrap->isChecked(), realtimeBefore = realtime->isChecked();
    wrap->setChecked(!wrapBefore);
    d.applyButton()->click();
    EXPECT_FALSE(d.applyButton()->isEnabled());
    realtime->setChecked(!realtimeBefore);
    d.cancelButton()->click();
    EXPECT_EQ(s.settings.values().wrapMouseCursorAtScreenEdges, !wrapBefore);
    EXPECT_EQ(s.settings.values().realtimePriorityForMainThread, realtimeBefore);
    EXPECT_EQ(s.stored().realtimePriorityForMainThread, realtimeBefore);
}

TEST(TrayOptionsDialog, TheTrayDetailsNeedTheIconAndKeepTheirValues) {
    Store s;
    s.settings.values().systemTrayIconEnabled = false;
    s.settings.values().systemTrayOnlyWhenMinimised = true;
    s.settings.values().hideWindowWhenMinimised = true;
    TrayOptionsDialog d(nullptr, s.settings, s.changed);
    EXPECT_FALSE(d.box(1)->isEnabled());
    EXPECT_FALSE(d.box(2)->isEnabled());
    EXPECT_TRUE(d.box(1)->isChecked());
    d.box(0)->setChecked(true);
    EXPECT_TRUE(d.box(1)->isEnabled());
    EXPECT_TRUE(d.applyButton()->isEnabled());
    d.box(5)->setChecked(true);
    d.okayButton()->click();
    EXPECT_TRUE(s.settings.values().systemTrayIconEnabled);
    EXPECT_TRUE(s.settings.values().minimiseOnEsc);
    EXPECT_TRUE(s.settings.values().hideWindowWhenMinimised);
    EXPECT_TRUE(s.stored().minimiseOnEsc);
    EXPECT_EQ(s.changes, 1);
}

TEST(VisualPreferences, HexEntriesKeepHexDigitsAndPadWithLeadingZeros) {
    struct Case {
        const char* typed;
        const char* kept;
        Colour colour;
    } cases[] = {
        {"ff", "ff", {0, 0, 255}},
        {"12345G", "12345", {0x01, 0x23, 0x45}},
        {"aBc123", "aBc123", {0xAB, 0xC1, 0x23}},
        {"#x", "", {0, 0, 0}},
    };
    for (const Case& c : cases) {
        QString kept;
        EXPECT_EQ(colourFromHex(QString::fromLatin1(c.typed), &kept), c.colour) << c.typed;
        EXPECT_EQ(kept, QString::fromLatin1(c.kept)) << c.typed;
    }
    EXPECT_EQ(hexOfColour({0x0A, 0xFF, 0x00}), QStringLiteral("0AFF00"));
}

TEST(VisualPreferences, ATypedColourIsTakenAtOnceAndStoredOnOkay) {
    Store s;
    VisualPreferencesDialog d(nullptr, s.settings, s.changed);
    d.show();
    EXPECT_EQ(d.row(UiColour::ButtonDefaultBackground).entry, nullptr); // not shown
    QLineEdit* entry = d.row(UiColour::ModuleBackground).entry;
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->text(), hexOfColour(s.settings.values().colour(UiColour::ModuleBackground)));
    entry->setFocus();
    entry->selectAll();
    QTest::keyClicks(entry, QStringLiteral("fGf"));
    EXPECT_EQ(entry->text(), QStringLiteral("ff"));
    EXPECT_EQ(d.row(UiColour::ModuleBackground).working, (Colour{0, 0, 255}));
    EXPECT_TRUE(d.applyButton()->isEnabled());
    QFocusEvent leave(QEvent::FocusOut); // leaving rewrites the short entry
    QApplication::sendEvent(entry, &leave);
    EXPECT_EQ(entry->text(), QStringLiteral("0000FF"));
    EXPECT_NE(s.settings.values().colour(UiColour::ModuleBackground), (Colour{0, 0, 255}));
    d.okayButton()->click();
    EXPECT_EQ(s.settings.values().colour(UiColour::ModuleBackground), (Colour{0, 0, 255}));
    EXPECT_EQ(s.stored().colour(UiColour::ModuleBackground), (Colour{0, 0, 255}));
    EXPECT_TRUE(s.redrawn);
}

TEST(AboutBox, NamesTheProgramAndVersionAndOkayCloses) {
    AboutBox box(nullptr);
    QStringList texts;
    for (QLabel* label : box.findChildren<QLabel*>())
        texts << label->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Kalvitrope 1.1"))) << texts.join('|').toStdString();
    // The web site, as a link the browser opens.
    ASSERT_NE(box.siteLink(), nullptr);
    EXPECT_TRUE(box.siteLink()->text().contains(QLatin1String(kWebSiteUrl)));
    EXPECT_TRUE(box.siteLink()->openExternalLinks());
    box.show();
    box.okayButton()->click();
    EXPECT_EQ(box.result(), QDialog::Accepted);
}

TEST(PreferencesDialog, TheStartupBoxMakesAndRemovesTheAutostartLauncher) {
    Store s;
    const fs::path config =
        fs::temp_directory_path() / ("kv_autostart_" + std::to_string(::getpid()));
    const char* was = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = was ? was : "";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const fs::path launcher = config / "autostart" / "Kalvitrope 1.1.desktop";
    {
        PreferencesDialog d(nullptr, s.settings, s.changed);
        EXPECT_FALSE(d.startupBox()->isChecked());
        d.startupBox()->setChecked(true);
        EXPECT_TRUE(d.applyButton()->isEnabled());
        d.applyButton()->click();
        ASSERT_TRUE(fs::exists(launcher));
        std::ifstream in(launcher);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        EXPECT_NE(text.find("Name=Kalvitrope\n"), std::string::npos) << text;
        EXPECT_NE(text.find("Exec="), std::string::npos) << text;
    }
    {
        PreferencesDialog d(nullptr, s.settings, s.changed);
        EXPECT_TRUE(d.startupBox()->isChecked()); // read back from the folder
        d.startupBox()->setChecked(false);
        d.okayButton()->click();
        EXPECT_FALSE(fs::exists(launcher));
    }
    if (was)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(config);
}
