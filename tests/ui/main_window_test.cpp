#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "app/exit_on_signal.h"
#include "devices/gesture_tape.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "modules/catalogue.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "persistence/text.h"
#include "persistence/values.h"
#include "ui/button_box.h"
#include "ui/main_window.h"
#include "ui/module_window/module_window.h"
#include "ui/origin_window.h"
#include "ui/preferences_dialog.h"

namespace fs = std::filesystem;
using namespace kv;
using namespace kv::ui;

namespace {

/// A main window on the silent sound output, without the desktop's mouse, with its settings
/// file in a folder of its own. The first-run questions are marked as answered.
struct Fixture {
    fs::path dir = fs::temp_directory_path() / ("kv_mainwindow_" + std::to_string(::getpid()) +
                                                "_" + std::to_string(counter++));
    EngineState state;
    SettingsStore settings{(dir / "kalvitrope.KVS").string()};
    std::unique_ptr<MainWindow> window;
    static inline int counter = 0;

    explicit Fixture(bool answered = true) {
        fs::create_directories(dir);
        Settings& s = settings.values();
        s.programHasRunPreviously = true;
        s.programHasClosedPreviously = answered;
        s.userHasEscapedPreviously = answered;
        s.userHasMinimisedPreviously = answered;
        s.loadLastAutoSaveOnStartup = false;
        s.checkVersionOnStartup = false; // no request to the real web site
    }
    MainWindow& open() {
        MainWindowOptions options;
        options.audioApi = "null";
        options.desktopMouse = false;
        window = std::make_unique<MainWindow>(state, settings, options);
        window->show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->windowReady() == kWindowReady; }, 5000));
        return *window;
    }
    ~Fixture() {
        setDialogShownHook(nullptr);
        window.reset();
        fs::remove_all(dir);
    }
};

bool waitRunning(EngineState& state, bool running) {
    return QTest::qWaitFor([&] { return state.runningFlag.load() == running; }, 5000);
}

/// Answers the next button box with the key of the button labelled `label`.
void answerNext(const QString& label, QString* question = nullptr) {
    setDialogShownHook([label, question](QDialog& d) {
        setDialogShownHook(nullptr);
        auto& box = static_cast<ButtonBoxDialog&>(d);
        if (question) *question = box.windowTitle();
        for (auto* b : box.buttons())
            if (b->text() == label) return b->click();
        d.reject();
    });
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(MainWindow, StartStopAndStartAndHideByButtons) {
    Fixture f;
    MainWindow& w = f.open();
    EXPECT_TRUE(w.button(kCmdStart)->isEnabled());
    EXPECT_FALSE(w.button(kCmdStop)->isEnabled());
    QTest::mouseClick(w.button(kCmdStart), Qt::LeftButton);
    EXPECT_TRUE(waitRunning(f.state, true));
    EXPECT_FALSE(w.button(kCmdStart)->isEnabled());
    EXPECT_EQ(w.button(kCmdStartAndHide)->text(), "Hide");
    QTest::mouseClick(w.button(kCmdStop), Qt::LeftButton);
    EXPECT_TRUE(waitRunning(f.state, false));
    EXPECT_EQ(w.button(kCmdStartAndHide)->text(), "Start && Hide");

    w.button(kCmdStartAndHide)->click(); // the button is hidden until the preferences show it
    EXPECT_TRUE(waitRunning(f.state, true));
    EXPECT_FALSE(w.isVisible());
    // Start & Hide while running only hides.
    w.show();
    w.button(kCmdStartAndHide)->click();
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(f.state.runningFlag.load());
    w.stopEngine();
    EXPECT_TRUE(waitRunning(f.state, false));
}

TEST(MainWindow, StartAndStopLeaveNoHighlightOnAnotherButton) {
    Fixture f;
    MainWindow& w = f.open();
    // The pointer is nowhere near: the focus (which paints a button hot) must not wander down
    // the tab chain to Help when the focused Start or Stop is disabled.
    QCursor::setPos(w.geometry().bottomRight() + QPoint(50, 50));
    for (const auto& [press, other] : {std::pair{kCmdStart, kCmdStop}, {kCmdStop, kCmdStart}}) {
        w.button(press)->setFocus();
        if (press == kCmdStart)
            w.startEngine();
        else
            w.stopEngine();
        QWidget* focused = w.focusWidget();
        EXPECT_TRUE(focused == nullptr || focused == &w)
            << press << " gave the focus to " << focused->objectName().toStdString() << " "
            << focused->metaObject()->className();
    }
    EXPECT_TRUE(waitRunning(f.state, false));
}

TEST(MainWindow, NoSoundDeviceIsSaidInTheMessagesAndOnTheLatencyLine) {
    Fixture f;
    MainWindowOptions options;
    options.audioApi = "alsa"; // no sound cards on a test machine
    options.desktopMouse = false;
    MainWindow w(f.state, f.settings, options);
    if (!w.noSoundDevice()) GTEST_SKIP() << "this machine has a sound device";
    w.show();
    QStringList lines;
    for (int i = 0; i < w.messageList()->count(); ++i)
        lines << w.messageList()->item(i)->text();
    EXPECT_TRUE(lines.contains(MainWindow::noSoundDeviceText())) << lines.join('|').toStdString();
    QTest::qWait(400);
    bool said = false;
    for (QLabel* l : w.findChildren<QLabel*>())
        said = said || l->text() == QStringLiteral("no sound device");
    EXPECT_TRUE(said);
}

TEST(MainWindow, SlidersReachTheEngineState) {
    Fixture f;
    MainWindow& w = f.open();
    EXPECT_EQ(w.outputLatencySlider()->value(), 36);
    w.outputLatencySlider()->setValue(120);
    EXPECT_EQ(f.state.settings.desiredOutputLatency.load(), 120);
    EXPECT_EQ(w.latencyControlLabel()->text(), "Sound Output latency: 120 milliseconds");
    w.inputLatencySlider()->setValue(1); // below the range
    EXPECT_EQ(f.state.settings.desiredInputLatency.load(), 2);
    QTest::keyClick(w.controlRateSlider(), Qt::Key_Left);
    const double rate = f.state.settings.controlRate.load();
    EXPECT_LT(rate, 4000.0);
    EXPECT_EQ(48000 % static_cast<int>(rate), 0);
    EXPECT_EQ(f.settings.values().controlDataSampleRate, rate);
    // The labels return after a second.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return w.latencyControlLabel()->text() == "Latency Control"; }, 3000));
}

TEST(MainWindow, ControlRateSnapsToADivisorOf48000) {
    Fixture f;
    f.settings.values().controlDataSampleRate = 3000.5; // 48000 div 15 = 3200
    f.open();
    EXPECT_EQ(f.state.settings.controlRate.load(), 3200.0);
}

TEST(MainWindow, AddModuleMenuCreatesEveryType) {
    Fixture f;
    MainWindow& w = f.open();
    std::unique_ptr<QMenu> menu(w.createAddModuleMenu());
    int items = 0;
    for (QAction* group : menu->actions()) {
        if (!group->menu()) continue;
        for (QAction* a : group->menu()->actions()) {
            a->trigger();
            ++items;
        }
    }
    EXPECT_EQ(items, kTypeCount);
    for (int type = 0; type < kTypeCount; ++type)
        EXPECT_EQ(w.registry().count(type), 1) << type;
    EXPECT_EQ(w.moduleWindows().windows().size(), std::size_t(kTypeCount)); // one window each
    // Added from the button's menu: placed on the middle of the placement strip, below the
    // buttons and sliders, in the window's client coordinates.
    Module* first = w.registry().modules(0).front();
    EXPECT_GT(first->positionX, w.width() / 4);
    EXPECT_LT(first->positionX, w.width() * 3 / 4);
    EXPECT_GT(first->positionY, w.height() / 2);
    // The last item clears every module.
    menu->actions().back()->trigger();
    EXPECT_EQ(w.registry().totalCount(), 0);
    EXPECT_TRUE(w.moduleWindows().windows().empty());
}

TEST(MainWindow, PresetsMenuAndLoading) {
    Fixture f;
    MainWindow& w = f.open();
    std::unique_ptr<QMenu> menu(w.createPresetsMenu());
    QStringList groups;
    for (QAction* a : menu->actions())
        if (a->menu()) groups << a->text();
    EXPECT_EQ(groups, (QStringList{"Mouse based", "Modulation based", "MIDI-keyboard based",
                                   "Neuron based", "Sequence based", "Microphone based"}));
    EXPECT_EQ(menu->actions().back()->text(), "Get and share configurations Online");
    // Every preset built in loads from its item; the others are greyed.
    for (QAction* group : menu->actions()) {
        if (!group->menu()) continue;
        for (QAction* a : group->menu()->actions()) {
            if (!a->isEnabled()) continue;
            w.clearAllModules();
            a->trigger();
            EXPECT_GT(w.registry().totalCount(), 0) << a->text().toStdString();
        }
    }

    ASSERT_TRUE(w.loadPresetResource(900));
    const int modules = w.registry().totalCount();
    EXPECT_GT(modules, 0);
    EXPECT_EQ(int(w.moduleWindows().windows().size()), modules);
    // A preset that is not built in is reported and the running patch stays.
    answerNext("Okay");
    EXPECT_FALSE(w.loadPresetResource(12345));
    EXPECT_EQ(w.registry().totalCount(), modules);
    // So does a patch file that cannot be read, while the engine runs on.
    w.startEngine();
    QString error;
    EXPECT_FALSE(w.loadPatchFile((f.dir / "missing.kvc").c_str(), error));
    EXPECT_TRUE(error.contains("missing.kvc"));
    EXPECT_EQ(w.registry().totalCount(), modules);
    EXPECT_TRUE(waitRunning(f.state, true));
    // A saved patch loads back, and the engine is running again afterwards.
    const QString path = QString::fromStdString((f.dir / "p.kvc").string());
    ASSERT_TRUE(w.savePatchFile(path, error)) << error.toStdString();
    w.clearAllModules();
    ASSERT_TRUE(w.loadPatchFile(path, error)) << error.toStdString();
    EXPECT_EQ(w.registry().totalCount(), modules);
    EXPECT_TRUE(waitRunning(f.state, true));
    w.stopEngine();
}

TEST(MainWindow, RecordingsFollowTheLoadedPatchAndFinishBeforeModulesGo) {
    Fixture f;
    MainWindow& w = f.open();
    Module* writer = w.addModuleOfType(Module_AudioWaveWriter);
    ASSERT_NE(writer, nullptr);
    const fs::path wav = f.dir / "take.wav";
    ASSERT_TRUE(setModuleKey(*writer, w.registry(), "FilePath", wav.string()));
    ASSERT_TRUE(setModuleKey(*writer, w.registry(), "IsRecording", "1"));
    const QString patch = QString::fromStdString((f.dir / "rec.kvc").string());
    QString error;
    ASSERT_TRUE(w.savePatchFile(patch, error)) << error.toStdString();
    ASSERT_TRUE(w.loadPatchFile(patch, error)) << error.toStdString();
    ASSERT_TRUE(fs::exists(wav)); // recording into a new file with its header
    w.startEngine();
    ASSERT_TRUE(waitRunning(f.state, true));
    QTest::qWait(100);
    w.clearAllModules(); // the file is finished: the header holds the data size
    const std::string bytes = readFile(wav);
    ASSERT_GE(bytes.size(), 44u);
    uint32_t dataSize = 0;
    std::memcpy(&dataSize, bytes.data() + 40, 4);
    EXPECT_EQ(dataSize, bytes.size() - 44);
    w.stopEngine();
}

TEST(MainWindow, ClosingStopsTheEngineAndWritesAutosaveAndSettings) {
    Fixture f;
    MainWindow& w = f.open();
    w.loadPresetResource(900);
    w.startEngine();
    ASSERT_TRUE(waitRunning(f.state, true));
    w.outputLatencySlider()->setValue(77);
    w.move(100, 120);
    w.command(kCmdClose);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.finished(); }, 5000));
    EXPECT_FALSE(f.state.runningFlag.load());
    const fs::path autosave = f.dir / "kalvitrope_AutoSave.KVC";
    ASSERT_EQ(w.autosaveFile(), autosave.string());
    const std::string patch = decodeText(readFile(autosave));
    EXPECT_NE(patch.find("[revision B]"), std::string::npos);
    EXPECT_NE(patch.find("[Module_"), std::string::npos);
    const std::string settings = decodeText(readFile(f.dir / "kalvitrope.KVS"));
    EXPECT_NE(lookupKey(settings, "Preferences.DesiredOutputLatency"), "");
    EXPECT_EQ(lookupKey(settings, "Preferences.DesiredOutputLatency"), "77");
    EXPECT_TRUE(parseFlag(lookupKey(settings, "ProgramHasRunPreviously")));
    // No temporary files stay behind.
    int files = 0;
    for ([[maybe_unused]] auto& e : fs::directory_iterator(f.dir))
        ++files;
    EXPECT_EQ(files, 2);
}

TEST(MainWindow, FirstCloseAsksAndNoMinimisesUntilExit) {
    Fixture f(false);
    MainWindow& w = f.open();
    QString question;
    answerNext("No", &question);
    w.command(kCmdClose);
    EXPECT_EQ(question, "Close or Minimise?");
    EXPECT_TRUE(f.settings.values().minimiseOnClose);
    EXPECT_TRUE(w.minimised());
    EXPECT_FALSE(w.finished());
    w.restoreWindow();
    w.command(kCmdClose); // no second question
    EXPECT_TRUE(w.minimised());
    w.command(kCmdExit);
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.finished(); }, 5000));
}

TEST(MainWindow, FirstRunWelcomesUntilTheUserGetsOnWithIt) {
    Fixture f;
    f.settings.values().programHasRunPreviously = false;
    // The mouse example twice (its two patches in turn), then "Okay".
    int welcomes = 0, others = 0;
    std::vector<std::string> loaded; // a module name of the patch in place at each welcome
    setDialogShownHook([&](QDialog& d) {
        auto& box = static_cast<ButtonBoxDialog&>(d);
        if (box.windowTitle() != "Welcome to Kalvitrope") {
            ++others;
            d.reject();
            return;
        }
        ++welcomes;
        std::string names;
        for (const Module* m : f.window->registry().modules(Module_AudioOsc))
            names += m->name + ";";
        loaded.push_back(names);
        box.buttons()[welcomes < 3 ? 0 : 4]->click();
    });
    MainWindow& w = f.open();
    EXPECT_TRUE(QTest::qWaitFor([&] { return welcomes >= 3; }, 5000));
    EXPECT_EQ(others, 0);
    EXPECT_EQ(loaded, (std::vector<std::string>{"", "Mouse theremin;", "Wheel organ;"}));
    EXPECT_TRUE(f.settings.values().programHasRunPreviously);
    EXPECT_TRUE(waitRunning(f.state, true)); // an example starts the engine
    w.stopEngine();
    EXPECT_TRUE(waitRunning(f.state, false));
}

TEST(MainWindow, FirstEscapeAsks) {
    {
        Fixture f(false);
        MainWindow& w = f.open();
        w.startEngine();
        ASSERT_TRUE(waitRunning(f.state, true));
        answerNext("No");
        QTest::keyClick(&w, Qt::Key_Escape);
        EXPECT_TRUE(f.settings.values().userHasEscapedPreviously);
        EXPECT_FALSE(f.settings.values().minimiseOnEsc);
        EXPECT_TRUE(waitRunning(f.state, false)); // Escape stops the sound
        EXPECT_FALSE(w.minimised());
    }
    {
        Fixture f(false);
        f.settings.values().userHasMinimisedPreviously = true;
        MainWindow& w = f.open();
        answerNext("Yes");
        QTest::keyClick(&w, Qt::Key_Escape);
        EXPECT_TRUE(f.settings.values().minimiseOnEsc);
        EXPECT_TRUE(w.minimised());
    }
}

TEST(MainWindow, ProgramMenuItemsFollowTheState) {
    Fixture f;
    MainWindow& w = f.open();
    auto item = [&](QMenu& m, const QString& text) -> QAction* {
        for (QAction* a : m.actions())
            if (a->text() == text) return a;
        return nullptr;
    };
    std::unique_ptr<QMenu> menu(w.createProgramMenu(true));
    ASSERT_NE(item(*menu, "Add A Module"), nullptr);
    EXPECT_TRUE(item(*menu, "Start")->isEnabled());
    EXPECT_FALSE(item(*menu, "Stop")->isEnabled());
    EXPECT_EQ(menu->actions().back()->text(), "Exit");
    w.startEngine();
    menu.reset(w.createProgramMenu(false));
    EXPECT_EQ(item(*menu, "Add A Module"), nullptr);
    EXPECT_FALSE(item(*menu, "Start")->isEnabled());
    EXPECT_TRUE(item(*menu, "Stop")->isEnabled());
    item(*menu, "Stop")->trigger();
    EXPECT_TRUE(waitRunning(f.state, false));

    // The mouse-status items name what they do; the origin reset is there only when needed.
    QMenu* status = item(*menu, "Mouse status options")->menu();
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->actions()[0]->text(), "Disable fast mouse status wheel");
    status->actions()[0]->trigger();
    EXPECT_FALSE(f.settings.values().doFastMouseStatus);
    QMenu* origin = item(*menu, "Mouse position origin")->menu();
    EXPECT_EQ(origin->actions().size(), 2);
    f.settings.values().mouseOriginX = 5;
    menu.reset(w.createProgramMenu(false));
    EXPECT_EQ(item(*menu, "Mouse position origin")->menu()->actions().size(), 3);
    // The reset takes effect at once and confirms itself with a cross that closes by itself.
    item(*item(*menu, "Mouse position origin")->menu(), "Reset origin to default position")
        ->trigger();
    EXPECT_EQ(f.settings.values().mouseOriginX, 0);
    QPointer<OriginWindow> cross;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (auto* o = qobject_cast<OriginWindow*>(top); o && o->isVisible()) cross = o;
    ASSERT_TRUE(cross);
    EXPECT_EQ(cross->crossColour(), QColor(0, 255, 0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !cross || !cross->isVisible(); }, 2000));
    f.settings.values().showMouseStatus = false;
    menu.reset(w.createProgramMenu(false));
    EXPECT_EQ(item(*menu, "Mouse status options"), nullptr);
}

TEST(MainWindow, HitTestCornersEdgesAndMaximised) {
    EXPECT_EQ(hitTest(18, 18, 400, 300, false), HitArea::TopLeft); // 25.5 px away
    EXPECT_EQ(hitTest(26, 0, 400, 300, false), HitArea::TopLeft);
    EXPECT_EQ(hitTest(27, 1, 400, 300, false), HitArea::Top);
    EXPECT_EQ(hitTest(390, 295, 400, 300, false), HitArea::BottomRight);
    EXPECT_EQ(hitTest(200, 295, 400, 300, false), HitArea::Bottom);
    EXPECT_EQ(hitTest(395, 150, 400, 300, false), HitArea::Right);
    EXPECT_EQ(hitTest(3, 150, 400, 300, false), HitArea::Left);
    EXPECT_EQ(hitTest(200, 150, 400, 300, false), HitArea::Body);
    EXPECT_EQ(hitTest(3, 3, 400, 300, true), HitArea::Body);
}

TEST(MainWindow, ImpossiblePlacementGoesToThePrimaryScreen) {
    const std::vector<QRect> screens{QRect(0, 0, 1280, 1024)};
    const QRect area(0, 0, 1280, 1000);
    const QSize size(400, 300);
    const QRect centred(440, 350, 400, 300);
    EXPECT_EQ(restoredPlacement(QRect(100, 100, 500, 400), screens, area, size),
              QRect(100, 100, 500, 400));
    EXPECT_EQ(restoredPlacement(QRect(5000, 5000, 500, 400), screens, area, size), centred);
    EXPECT_EQ(restoredPlacement(QRect(QPoint(300, 300), QPoint(100, 100)), screens, area, size),
              centred);

    Fixture f;
    Settings& s = f.settings.values();
    s.windowLeft = -9000;
    s.windowTop = -9000;
    s.windowRight = -8500;
    s.windowBottom = -8600;
    MainWindow& w = f.open();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_TRUE(screen.intersects(w.geometry()));
}

TEST(MainWindow, MinimisingWithoutATrayNeverHides) {
    if (QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "a tray is present";
    Fixture f(false);
    f.settings.values().systemTrayIconEnabled = true;
    f.settings.values().hideWindowWhenMinimised = true;
    MainWindow& w = f.open();
    bool asked = false;
    setDialogShownHook([&](QDialog& d) {
        asked = true;
        d.reject();
    });
    w.minimiseWindow();
    QTest::qWait(50);
    EXPECT_FALSE(asked);
    EXPECT_FALSE(f.settings.values().userHasMinimisedPreviously);
    EXPECT_TRUE(w.minimised());
    EXPECT_FALSE(w.trayShown());
    EXPECT_FALSE(w.isHidden());
}

/// A tray host on the test's X server for the tray tests.
class TrayHost {
  public:
    TrayHost() {
        if (QSystemTrayIcon::isSystemTrayAvailable() || qgetenv("DISPLAY").isEmpty()) return;
        process_.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                  "--width", "100", "--height", "24"});
        if (!process_.waitForStarted(3000)) return;
        (void)QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000);
    }
    ~TrayHost() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            process_.waitForFinished(3000);
        }
    }

  private:
    QProcess process_;
};

TEST(MainWindow, CommandLineSoundAndWrapHoldForTheRunOnly) {
    Fixture f;
    f.settings.values().makeNoSound = false;
    MainWindowOptions options;
    options.audioApi = "null";
    options.desktopMouse = false;
    options.makeNoSoundGiven = options.makeNoSound = true;
    MainWindow w(f.state, f.settings, options);
    EXPECT_TRUE(f.state.settings.makeNoSound.load());
    EXPECT_FALSE(f.settings.values().makeNoSound); // the stored preference is untouched
}

TEST(MainWindow, MinimisingToTheTray) {
    TrayHost host;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) GTEST_SKIP() << "no tray host (trayer)";
    Fixture f(false);
    MainWindow& w = f.open();
    QString question;
    answerNext("Yes", &question);
    w.minimiseWindow();
    EXPECT_EQ(question, "Minimise to the System Tray?");
    const Settings& s = f.settings.values();
    EXPECT_TRUE(s.systemTrayIconEnabled && s.hideWindowWhenMinimised &&
                s.systemTrayOnlyWhenMinimised);
    EXPECT_TRUE(w.trayShown());
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.isHidden(); }, 2000));
    // The tray icon brings the window back and goes away (only shown while minimised).
    emit w.trayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(w.minimised());
    EXPECT_FALSE(w.trayShown());
    EXPECT_TRUE(w.isVisible());
    // A tray shown always follows the settings at once.
    f.settings.values().systemTrayOnlyWhenMinimised = false;
    w.settingsChanged(false);
    EXPECT_TRUE(w.trayShown());
    f.settings.values().systemTrayIconEnabled = false;
    w.settingsChanged(false);
    EXPECT_FALSE(w.trayShown());
}

/// Drags the main window by `offset` from a press on its body, with the real pointer; returns
/// false when the press did not start a drag.
bool dragWindow(MainWindow& w, QPoint offset) {
    const QPoint body(w.width() / 2, 12); // between the title and the caption buttons
    const QPoint start = w.mapToGlobal(body);
    QCursor::setPos(start);
    QTest::qWait(20);
    QTest::mousePress(&w, Qt::LeftButton, {}, body);
    if (!w.engineState().dragging.load()) return false;
    QCursor::setPos(start + offset);
    const bool moved = QTest::qWaitFor([&] { return QCursor::pos() == start + offset; }, 1000);
    QTest::qWait(50);
    QTest::mouseRelease(&w, Qt::LeftButton, {}, body + offset);
    return moved && !w.engineState().dragging.load();
}

TEST(MainWindow, DraggingCarriesModuleWindowsAndSnapsAtTheEdges) {
    Fixture f;
    MainWindow& w = f.open();
    ModuleWindow* a = w.moduleWindows().windowOf(w.addModuleOfType(0));
    ModuleWindow* b = w.moduleWindows().windowOf(w.addModuleOfType(5));
    ASSERT_TRUE(a && b);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const struct {
        int left;         // where the drag would put the window's left edge
        int expectedLeft; // where it ends up: snapped when strictly closer than 20
    } cases[] = {
        {300, 300}, {screen.left() + 19, screen.left()}, {screen.left() + 20, screen.left() + 20}};
    for (const auto& c : cases) {
        w.move(200, 200);
        QTest::qWait(50);
        const QPoint before = w.pos(), aBefore = a->pos(), bBefore = b->pos();
        const QPoint offset(c.left - before.x(), 40);
        ASSERT_TRUE(dragWindow(w, offset)) << c.left;
        EXPECT_EQ(w.pos(), QPoint(c.expectedLeft, before.y() + 40)) << c.left;
        // The module windows follow the pointer, not the snapped window.
        EXPECT_EQ(a->pos(), aBefore + offset) << c.left;
        EXPECT_EQ(b->pos(), bBefore + offset) << c.left;
    }
    // Without the lock nothing snaps.
    f.settings.values().lockWindowToScreenEdges = false;
    w.move(200, 200);
    QTest::qWait(50);
    ASSERT_TRUE(dragWindow(w, {screen.left() + 5 - 200, 0}));
    EXPECT_EQ(w.pos().x(), screen.left() + 5);
}

TEST(MainWindow, MaximisingFillsTheWorkAreaAndCarriesModuleWindows) {
    Fixture f;
    MainWindow& w = f.open();
    ModuleWindow* a = w.moduleWindows().windowOf(w.addModuleOfType(0));
    ASSERT_NE(a, nullptr);
    w.move(150, 120);
    QTest::qWait(50);
    const QPoint before = w.pos(), aBefore = a->pos();
    w.maximiseOrRestore();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.geometry() == area; }, 2000));
    EXPECT_EQ(a->pos(), aBefore + (w.pos() - before));
}

} // namespace

TEST(MainWindow, AColourChosenInThePreferencesRepaintsOpenModuleWindows) {
    Fixture f;
    MainWindow& w = f.open();
    std::unique_ptr<QMenu> menu(w.createAddModuleMenu());
    menu->actions().front()->menu()->actions().front()->trigger();
    ASSERT_FALSE(w.moduleWindows().windows().empty());
    ModuleWindow* module = w.moduleWindows().windows().front();
    module->show();
    const QColor odd(1, 2, 3);
    auto oddPixels = [&] {
        const QImage image = module->grab().toImage();
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                n += image.pixelColor(x, y) == odd;
        return n;
    };
    EXPECT_EQ(oddPixels(), 0);
    // Preferences → Visual preferences → a new module background → Okay; then Cancel on the
    // Preferences dialog keeps what the colour dialog stored.
    setDialogShownHook([](QDialog& d) {
        if (auto* visual = qobject_cast<VisualPreferencesDialog*>(&d)) {
            visual->setWorkingColour(UiColour::ModuleBackground, {1, 2, 3});
            visual->okayButton()->click();
        } else if (auto* prefs = qobject_cast<PreferencesDialog*>(&d)) {
            prefs->visualButton()->click();
            prefs->cancelButton()->click();
        } else {
            d.reject();
        }
    });
    w.command(kCmdPreferences);
    setDialogShownHook(nullptr);
    EXPECT_EQ(f.settings.values().colour(UiColour::ModuleBackground), (Colour{1, 2, 3}));
    EXPECT_GT(oddPixels(), 100);
    SettingsStore stored(f.settings.path());
    stored.load();
    EXPECT_EQ(stored.values().colour(UiColour::ModuleBackground), (Colour{1, 2, 3}));
}

TEST(MainWindow, TheStatusDisplayTellsTheMouseSpeedAndDistance) {
    Fixture f;
    MainWindowOptions options;
    options.audioApi = "null"; // the desktop's mouse (or none without a display) drives the texts
    f.window = std::make_unique<MainWindow>(f.state, f.settings, options);
    f.window->show();
    auto statusText = [&] {
        for (QLabel* label : f.window->findChildren<QLabel*>())
            if (label->text().startsWith("Your mouse is ")) return label->text();
        return QString();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !statusText().isEmpty(); }, 3000));
    EXPECT_TRUE(statusText().contains(" pixels per second.\nYour mouse has travelled a total of "))
        << statusText().toStdString();
    f.window->settingsChanged(false); // relabelling keeps the texts
    EXPECT_FALSE(statusText().isEmpty());
}

TEST(MainWindow, GestureTapeRecordsFromTheMenusIntoItsFolder) {
    Fixture f;
    f.settings.values().gestureTapePath = (f.dir / "tapes").string();
    MainWindow& w = f.open();
    ASSERT_NE(w.loadPresetResource(900), false);
    auto tapeMenu = [&](QMenu& menu) -> QMenu* {
        for (QAction* a : menu.actions())
            if (a->text() == "Gesture tape") return a->menu();
        return nullptr;
    };
    std::unique_ptr<QMenu> menu(w.createProgramMenu(false)); // as the tray shows it
    QMenu* tapes = tapeMenu(*menu);
    ASSERT_NE(tapes, nullptr);
    ASSERT_EQ(tapes->actions().size(), 3);
    EXPECT_EQ(tapes->actions()[2]->text(), "Replay gesture tape...");
    EXPECT_EQ(tapes->actions()[1]->text(), "Stop");
    EXPECT_FALSE(tapes->actions()[1]->isEnabled());
    EXPECT_EQ(tapes->actions()[0]->text(), "Record gesture tape");
    tapes->actions()[0]->trigger();

    // Recording starts the engine and shows the indicator until the take stops.
    ASSERT_TRUE(w.tapeRecording());
    EXPECT_TRUE(waitRunning(f.state, true));
    EXPECT_TRUE(w.tapeIndicator()->isVisible());
    const fs::path tape = w.tapeFile();
    EXPECT_EQ(tape.parent_path(), f.dir / "tapes");
    EXPECT_TRUE(fs::exists(tape.string() + ".part"));
    QTest::qWait(200);
    menu.reset(w.createProgramMenu(true));
    tapes = tapeMenu(*menu);
    EXPECT_FALSE(tapes->actions()[0]->isEnabled());
    tapes->actions()[1]->trigger();
    EXPECT_FALSE(w.tapeRecording());
    EXPECT_FALSE(w.tapeIndicator()->isVisible());

    // The tape names the patch saved beside it by its checksum and closes with its end line.
    const std::string text = readFile(tape);
    fs::path patch = tape;
    patch.replace_extension(".kvc");
    std::string patchText, reason;
    ASSERT_TRUE(readConfigurationFile(patch.string(), patchText, reason)) << reason;
    char sum[17];
    std::snprintf(sum, sizeof sum, "%016llx",
                  static_cast<unsigned long long>(patchChecksum(patchText)));
    EXPECT_NE(text.find("\n0 tape 1 \"" + patch.filename().string() + "\" " + sum + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n0 rate "), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex("\n[1-9][0-9]+ end\n$"))) << text;

    QString error;
    // The tape replays live on its own patch, with the desktop's mouse muted until its end.
    ASSERT_TRUE(w.replayTape(tape.string(), error)) << error.toStdString();
    EXPECT_TRUE(w.tapeReplaying());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.tapeReplaying(); }, 5000));
    EXPECT_TRUE(waitRunning(f.state, true));
    // A changed patch beside it, or a tape that is not one, is refused naming the file and line.
    std::ofstream(patch, std::ios::binary) << "## h ##\r\n[Module_AudioOsc]\r\nName=Other\r\n";
    EXPECT_FALSE(w.replayTape(tape.string(), error));
    EXPECT_NE(error.toStdString().find(" line 2: its patch"), std::string::npos)
        << error.toStdString();
    const fs::path plain = f.dir / "plain.kvtape";
    std::ofstream(plain) << "0 cursor 1 1\n";
    EXPECT_FALSE(w.replayTape(plain.string(), error));
    EXPECT_NE(error.toStdString().find("not a gesture tape"), std::string::npos);
    EXPECT_FALSE(w.tapeReplaying());

    // Stopping the engine ends a take too: a tape is one run of the engine.
    ASSERT_TRUE(w.startTape(error)) << error.toStdString();
    w.stopEngine();
    EXPECT_FALSE(w.tapeRecording());
    EXPECT_TRUE(fs::exists(w.tapeFile()));

    // A module deleted, or every module cleared, ends a replay: it held their live values.
    for (bool clear : {false, true}) {
        ASSERT_TRUE(w.replayTape(w.tapeFile(), error)) << error.toStdString();
        ASSERT_FALSE(w.registry().modules(Module_AudioOsc).empty());
        if (clear)
            w.clearAllModules();
        else
            w.moduleWindows().requestDelete(*w.registry().modules(Module_AudioOsc).front());
        EXPECT_FALSE(w.tapeReplaying()) << clear;
    }
}

TEST(MainWindow, ASignalEndsTheProgramAsExitDoesWhateverBoxIsOpen) {
    // Each opener runs a box modally on the window, as the About command, the version check's
    // notice and the welcome box do; the signal comes while it is shown.
    const std::vector<std::function<void(MainWindow&)>> openers = {
        [](MainWindow& w) { w.command(kCmdAbout); },
        [](MainWindow& w) {
            buttonBox(&w, "Okay|Visit", "Okay|Visit", "Okay", "A newer version", "Update");
        },
        [](MainWindow& w) {
            std::unique_ptr<QMenu> menu(w.createProgramMenu(true));
            QTimer::singleShot(0, [] { ::raise(SIGTERM); });
            menu->exec(QPoint(10, 10));
        },
    };
    for (std::size_t i = 0; i < openers.size(); ++i) {
        Fixture f;
        MainWindow& w = f.open();
        w.addModuleOfType(Module_AudioOsc);
        kv::app::ExitOnSignal exitOnSignal(w);
        ASSERT_TRUE(exitOnSignal.active());
        bool shown = false;
        setDialogShownHook([&](QDialog&) {
            shown = true;
            ::raise(i == 1 ? SIGHUP : SIGTERM);
        });
        // Should the box stay, the test closes it rather than hang.
        bool stayed = false;
        QTimer rescue;
        rescue.setSingleShot(true);
        QObject::connect(&rescue, &QTimer::timeout, [&] {
            stayed = true;
            if (QWidget* p = QApplication::activePopupWidget()) p->close();
            if (QWidget* m = QApplication::activeModalWidget(); m && m != &w) m->close();
        });
        rescue.start(30000);
        openers[i](w);
        rescue.stop();
        EXPECT_FALSE(stayed) << i;
        EXPECT_TRUE(shown || i == 2) << i;
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.finished(); }, 10000)) << i;
        // As Exit: the patch in the autosave and the settings written.
        const std::string autosave = readTextFile((f.dir / "kalvitrope_AutoSave.KVC").string());
        EXPECT_NE(autosave.find("[Module_AudioOsc]"), std::string::npos) << i;
        EXPECT_TRUE(fs::is_regular_file(f.dir / "kalvitrope.KVS")) << i;
        // Boxes opened on the way out take their Esc answer at once.
        EXPECT_EQ(buttonBox(&w, "Yes|No", "Yes|No", "No", "Still there?", "Question"), "No");
        setDialogsDeclined(false);
    }
}
