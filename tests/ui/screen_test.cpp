// What the X server shows: the root window is painted one plain colour, a patch is loaded, and
// the pixels read back from the root window say where each window stands and that nothing is
// drawn (or takes a click) outside a window's shape. Runs with and without a window manager
// (scripts/screen-tests.sh); skipped without an X server.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "modules/module_registry.h"
#include "ui/main_window.h"
#include "ui/module_window/module_window.h"
#include "ui/origin_window.h"
#include "ui/theme.h"

namespace fs = std::filesystem;
using namespace kv;
using namespace kv::ui;

namespace {

const QColor kRoot(255, 0, 255); // no window of the program paints this colour

bool onX11() {
    return QGuiApplication::platformName() == QStringLiteral("xcb");
}

bool run(const QString& program, const QStringList& arguments) {
    if (QStandardPaths::findExecutable(program).isEmpty()) return false;
    QProcess p;
    p.start(program, arguments);
    return p.waitForFinished(5000) && p.exitCode() == 0;
}

/// The root window as the X server composes it.
QImage screenImage() {
    QTest::qWait(150); // let every window draw what it was asked to
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
        QImage::Format_RGB32);
}

bool isRoot(const QImage& image, QPoint p) {
    return image.rect().contains(p) && QColor(image.pixel(p)) == kRoot;
}

/// A main window on the silent sound output, in the screen's bottom-right corner, over a root
/// painted kRoot.
struct Screen {
    fs::path dir = fs::temp_directory_path() / ("kv_screen_" + std::to_string(::getpid()));
    EngineState state;
    SettingsStore settings{(dir / "kalvitrope.KVS").string()};
    std::unique_ptr<MainWindow> window;

    Screen() {
        fs::create_directories(dir);
        Settings& s = settings.values();
        s.programHasRunPreviously = s.programHasClosedPreviously = true;
        s.userHasEscapedPreviously = s.userHasMinimisedPreviously = true;
        s.loadLastAutoSaveOnStartup = false;
        s.checkVersionOnStartup = false;
    }
    bool open() {
        if (!run(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), kRoot.name()}))
            return false;
        MainWindowOptions options;
        options.audioApi = "null";
        options.desktopMouse = false;
        window = std::make_unique<MainWindow>(state, settings, options);
        window->show();
        if (!QTest::qWaitFor([&] { return window->windowReady() == kWindowReady; }, 5000))
            return false;
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        window->move(screen.right() - window->width() - 10,
                     screen.bottom() - window->height() - 10);
        return QTest::qWaitFor([&] { return window->isVisible(); }, 2000);
    }
    ~Screen() {
        window.reset();
        fs::remove_all(dir);
    }
};

struct Placed {
    const char* section;
    QPoint screenCentre;
    int showState;
};

/// Checks, from the screen's pixels, that `w` stands at `topLeft` and is drawn exactly within
/// its shape in its present show state. Points over `mainWindow` are not looked at.
void expectDrawnWithinShape(const QImage& image, const ModuleWindow& w, QPoint topLeft,
                            const QRect& mainWindow, const std::string& what) {
    const QRect v = w.visibleRect().translated(topLeft);
    const int cx = v.center().x(), cy = v.center().y();
    auto outside = [&](QPoint p, const char* where) {
        if (mainWindow.contains(p)) return;
        EXPECT_TRUE(isRoot(image, p))
            << what << ": " << where << " at " << p.x() << "," << p.y() << " is drawn";
    };
    auto inside = [&](QPoint p, const char* where) {
        EXPECT_FALSE(isRoot(image, p))
            << what << ": " << where << " at " << p.x() << "," << p.y() << " is not drawn";
    };
    inside({cx, v.top() + 1}, "top edge");
    inside({v.left() + 1, cy}, "left edge");
    inside({v.right() - 1, cy}, "right edge");
    inside({cx, v.bottom() - 1}, "bottom edge");
    outside({cx, v.top() - 3}, "above");
    outside({v.left() - 3, cy}, "left of it");
    outside({v.right() + 3, cy}, "right of it");
    outside({v.left() + 1, v.top() + 1}, "top-left rounded corner");
    outside({v.right() - 1, v.top() + 1}, "top-right rounded corner");
    outside({v.left() + 1, v.bottom() - 1}, "bottom-left rounded corner");
    if (v.bottom() + 6 < topLeft.y() + w.height())
        outside({cx, v.bottom() + 6}, "below the visible part");
}

TEST(Screen, ModuleWindowsStandWhereThePatchSaysAndAreDrawnOnlyWithinTheirShape) {
    if (!onX11()) GTEST_SKIP() << "no X server";
    Screen s;
    if (!s.open()) GTEST_SKIP() << "xsetroot is missing";
    MainWindow& main = *s.window;
    const QPoint origin = main.geometry().topLeft();
    const Placed placed[] = {{"Module_ControlModulator", {200, 330}, 10},
                             {"Module_AudioOsc", {560, 330}, 5},
                             {"Module_ControlSensor", {860, 250}, 3}};
    const fs::path patch = s.dir / "placed.kvc";
    {
        std::ofstream out(patch);
        out << "## Kalvitrope Configuration (KVC) [revision B] ##\n\n";
        for (const Placed& p : placed) {
            const QPoint relative = p.screenCentre - origin;
            out << "[" << p.section << "]\nName=" << p.section << "\nPosition=" << relative.x()
                << "," << relative.y() << "\nShowState=" << p.showState << "\n\n";
        }
    }
    QString error;
    ASSERT_TRUE(main.loadPatchFile(QString::fromStdString(patch.string()), error))
        << error.toStdString();
    const std::vector<ModuleWindow*> windows = main.moduleWindows().windows();
    ASSERT_EQ(windows.size(), 3u);
    QTest::qWait(300);

    // The main window's own rounded corners show the root too.
    for (int round = 0; round < 3; ++round) {
        const QImage image = screenImage();
        const QRect m = main.geometry();
        EXPECT_TRUE(isRoot(image, m.topLeft() + QPoint(1, 1))) << "main window corner";
        EXPECT_FALSE(isRoot(image, m.center()));
        for (ModuleWindow* w : windows) {
            const Module& module = w->module();
            const QPoint centre(int(module.positionX), int(module.positionY));
            const QPoint topLeft = origin + centre - QPoint(w->width() / 2, w->height() / 2);
            EXPECT_EQ(w->geometry().topLeft(), topLeft) << module.name;
            expectDrawnWithinShape(image, *w, topLeft, m,
                                   module.name + " in state " +
                                       std::to_string(module.showState.load()));
        }
        for (ModuleWindow* w : windows)
            w->cycleShowState(); // each window meets all three states
    }
    // Where the patch put them, relative to the main window: the stored positions stand.
    for (size_t i = 0; i < windows.size(); ++i)
        EXPECT_EQ(QPoint(int(windows[i]->module().positionX), int(windows[i]->module().positionY)),
                  placed[i].screenCentre - origin);
}

TEST(Screen, AModuleAddedByRightClickIsCentredAtTheClick) {
    if (!onX11()) GTEST_SKIP() << "no X server";
    Screen s;
    if (!s.open()) GTEST_SKIP() << "xsetroot is missing";
    MainWindow& main = *s.window;
    main.move(100, 300);
    QTest::qWait(200);
    const QPoint click = main.geometry().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, main.mapFromGlobal(click), click);
    // The menu's exec would wait for the user: close it as soon as it shows.
    QTimer::singleShot(200, [] {
        if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    });
    QApplication::sendEvent(&main, &event);
    Module* m = main.addModuleOfType(4);
    ASSERT_NE(m, nullptr);
    ModuleWindow* w = main.moduleWindows().windowOf(m);
    QTest::qWait(300);
    EXPECT_EQ(w->geometry().topLeft(), click - QPoint(w->width() / 2, w->height() / 2));
    const QImage image = screenImage();
    EXPECT_FALSE(isRoot(image, click));
}

/// A plain window that counts the presses that reach it.
class PressTarget : public QWidget {
  public:
    PressTarget() : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint) {
        setAutoFillBackground(true);
    }
    int presses = 0;

  protected:
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

bool click(QPoint p) {
    return run(QStringLiteral("xdotool"),
               {QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y()),
                QStringLiteral("click"), QStringLiteral("1")});
}

TEST(Screen, AClickOutsideAWindowsShapeReachesWhatLiesBelow) {
    if (!onX11()) GTEST_SKIP() << "no X server";
    Screen s;
    if (!s.open()) GTEST_SKIP() << "xsetroot is missing";
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        GTEST_SKIP() << "xdotool is missing";
    MainWindow& main = *s.window;
    PressTarget target;
    target.setGeometry(40, 40, 500, 500);
    target.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&target));
    Module* m = main.addModuleOfType(4);
    ASSERT_NE(m, nullptr);
    ModuleWindow* w = main.moduleWindows().windowOf(m);
    w->move(100, 100);
    QTest::qWait(300);
    const QRect r = w->geometry();
    // Inside the shape the window takes the press; just outside its rounded corner the press
    // goes to the window below.
    ASSERT_TRUE(click(r.topLeft() + QPoint(w->width() / 2, 8)));
    QTest::qWait(300);
    EXPECT_EQ(target.presses, 0);
    ASSERT_TRUE(click(r.topLeft() + QPoint(1, 1)));
    QTest::qWait(300);
    EXPECT_EQ(target.presses, 1) << "the corner took the click";
    // In the title-only state the rest of the rectangle lets clicks through too.
    w->applyShowState(kShowCollapsed);
    QTest::qWait(200);
    ASSERT_TRUE(click(r.topLeft() + QPoint(w->width() / 2, w->visibleRect().bottom() + 20)));
    QTest::qWait(300);
    EXPECT_EQ(target.presses, 2) << "the hidden part took the click";
}

TEST(Screen, ThirdLevelSubmenuIsPainted) {
    if (!onX11()) GTEST_SKIP() << "no X server";
    Screen s;
    if (!s.open()) GTEST_SKIP() << "xsetroot is missing";
    MainWindow& main = *s.window;
    std::unique_ptr<QMenu> menu(main.createProgramMenu(true));
    menu->popup(QPoint(20, 20));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(menu.get()));
    QMenu* level = menu.get();
    // Program menu → Presets → the second group.
    for (int index : {-1, 1}) {
        QAction* open = nullptr;
        int seen = 0;
        for (QAction* a : level->actions())
            if (a->menu() && (index < 0 ? a->text() == languageText(152) : seen++ == index))
                open = a;
        ASSERT_NE(open, nullptr);
        level->setActiveAction(open);
        QTest::keyClick(level, Qt::Key_Right);
        ASSERT_TRUE(QTest::qWaitFor([&] { return open->menu()->isVisible(); }, 2000));
        level = open->menu();
    }
    const QImage image = screenImage();
    const QRect r = level->geometry();
    int black = 0, total = 0;
    for (int y = r.top(); y <= r.bottom(); y += 2)
        for (int x = r.left(); x <= r.right(); x += 2, ++total)
            if (image.rect().contains(x, y) && (image.pixel(x, y) & 0xFFFFFF) == 0) ++black;
    EXPECT_LT(black, total / 4) << black << " of " << total << " pixels are black";
    menu->close();
}

TEST(Screen, TheOriginWindowShowsTheDesktopThroughIt) {
    if (!onX11()) GTEST_SKIP() << "no X server";
    Screen s;
    if (!s.open()) GTEST_SKIP() << "xsetroot is missing";
    s.window->hide();
    OriginWindowContext context;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    context.desktop = {screen.left(), screen.top(), screen.right(), screen.bottom()};
    context.originX = 100;
    context.originY = -50;
    auto* origin = OriginWindow::open(OriginMode::Show, context);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(origin));
    const QImage image = screenImage();
    const QPoint cross = origin->crossPoint();
    EXPECT_EQ(QColor(image.pixel(cross.x() + 200, cross.y())), QColor(255, 0, 0)) << "bar";
    EXPECT_EQ(QColor(image.pixel(cross.x(), cross.y() + 200)), QColor(255, 0, 0)) << "bar";
    EXPECT_TRUE(isRoot(image, cross + QPoint(200, 200))) << "the desktop is covered";
    EXPECT_TRUE(isRoot(image, QPoint(10, 10))) << "the desktop is covered";
    origin->close();
}

TEST(Screen, ChoosingTheOriginTakesAClickAnywhereWithoutACompositor) {
    if (!onX11()) GTEST_SKIP() << "no X server";
    Screen s;
    if (!s.open()) GTEST_SKIP() << "xsetroot is missing";
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        GTEST_SKIP() << "xdotool is missing";
    s.window->hide();
    OriginWindowContext context;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    context.desktop = {screen.left(), screen.top(), screen.right(), screen.bottom()};
    context.cursor = [](long& x, long& y) {
        const QPoint p = QCursor::pos();
        x = p.x();
        y = p.y();
        return true;
    };
    QPoint chosen(-1, -1);
    context.setOrigin = [&](long x, long y) { chosen = QPoint(int(x), int(y)); };
    auto* origin = OriginWindow::open(OriginMode::Choose, context);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(origin));
    QTest::qWait(200);
    // Only the cross is drawn, yet a press away from it, over the bare desktop, chooses.
    const QPoint at = screen.center() + QPoint(-300, 200);
    ASSERT_TRUE(click(at));
    ASSERT_TRUE(QTest::qWaitFor([&] { return origin->chosen(); }, 2000));
    EXPECT_EQ(chosen, at - screen.center());
    EXPECT_TRUE(isRoot(screenImage(), at + QPoint(40, -40)));
}

} // namespace
