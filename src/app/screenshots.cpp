// kalvitrope-screenshots: pictures of the desktop program's windows for review and CI. Starts
// the main window (silent sound output, without the desktop's mouse and without touching any
// settings file) with a patch or preset, and writes PNG pictures of the window, its menus, the
// help box, the language chooser, the feedback form and every message box into a folder.
// With --desktop it writes instead what the X server shows: the whole screen, read back from the
// root window, at first start, with the starter preset, each demonstration and example patch, a
// module added by right-click, every module type full and compact, menus and submenus open and
// the origin window.
//   kalvitrope-screenshots [--patch FILE | --preset NAME] [--out DIR]
//   kalvitrope-screenshots --desktop [--out DIR]
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QSlider>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/install_prompt.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "install/install_log.h"
#include "install/registry_edit.h"
#include "modules/catalogue.h"
#include "modules/module_registry.h"
#include "modules/presets.h"
#include "mouse/mouse_input.h"
#include "mouse/mouse_metrics.h"
#include "persistence/language.h"
#include "persistence/settings.h"
#include "ui/button_box.h"
#include "ui/colour_palette.h"
#include "ui/installer_dialog.h"
#include "ui/language_chooser.h"
#include "ui/main_window.h"
#include "ui/module_window/module_window.h"
#include "ui/online.h"
#include "ui/origin_window.h"
#include "ui/preferences_about.h"
#include "ui/preferences_dialog.h"
#include "ui/program_icon.h"
#include "ui/status_display.h"

namespace {

using namespace kv;
using namespace kv::ui;

QDir outDir;
int failures = 0;

void settle(int ms = 50) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void picture(QWidget& w, const QString& name) {
    settle();
    const QString path = outDir.filePath(name + ".png");
    if (!w.grab().save(path)) {
        std::fprintf(stderr, "kalvitrope-screenshots: cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// The status display in both styles while the cursor circles, and 30 frames of the 3D indicator
// following that gesture (indicator_motion_00.png …).
void statusPictures(MainWindow& window) {
    StatusDisplay& status = *window.statusDisplay();
    MouseInput& mouse = window.mouseInput();
    const platform::DesktopRect desktop{0, 0, 1279, 1023};
    SamplerState sampler;
    startSampler(sampler, desktop, 840, 512);
    const std::atomic<bool> stop{false};
    int pass = 0;
    // The passes run on a thread of their own, as the mouse status thread's do, while this
    // thread shows what they publish.
    auto circle = [&](int passes) {
        std::atomic<bool> done{false};
        std::thread passer([&] {
            for (int i = 0; i < passes; ++i, ++pass) {
                const double a = pass * 2 * 3.14159265358979 / 50;
                SamplerInput in;
                in.x = 640 + std::lround(200 * std::cos(a));
                in.y = 512 + std::lround(200 * std::sin(a));
                in.desktop = desktop;
                in.wrap = false;
                samplerPass(sampler, in, mouse.hook, mouse.metrics);
                status.statusPass(stop);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            done = true;
        });
        while (!done)
            settle(5);
        passer.join();
        settle(20);
    };
    StatusDisplayOptions& o = status.options();
    o.show = true;
    o.use3D = false;
    status.applyOptions();
    circle(40);
    picture(window, "status_old_style");
    o.use3D = true;
    o.swapBuffers = true;
    status.applyOptions();
    circle(20);
    for (int frame = 0; frame < 30; ++frame) {
        circle(2);
        const QString path =
            outDir.filePath(QString("indicator_motion_%1.png").arg(frame, 2, 10, QChar('0')));
        if (status.view()->grabFramebuffer().save(path))
            std::printf("%s\n", qPrintable(path));
        else
            ++failures;
    }
    picture(window, "status_3d");
    o.swapBuffers = false;
    status.applyOptions();
    circle(20);
    picture(window, "status_3d_picture");
}

void menuPicture(QMenu* menu, QPoint at, const QString& name) {
    menu->popup(at);
    picture(*menu, name);
    menu->close();
    delete menu;
}

void boxPicture(QWidget* owner, const QString& labels, const QString& keys, const QString& text,
                const QString& caption, const QString& name) {
    ButtonBoxDialog box(owner, labels, keys, keys.section(QLatin1Char('|'), -1), text, caption,
                        false);
    box.show();
    picture(box, name);
    box.close();
}

// ---- the whole screen, as the X server composes it ----

/// The root window's pixels: what the display shows, every window and shape included.
void screenPicture(const QString& name, int wait = 300) {
    settle(wait);
    const QString path = outDir.filePath(name + ".png");
    if (!QGuiApplication::primaryScreen()->grabWindow(0).save(path)) {
        std::fprintf(stderr, "kalvitrope-screenshots: cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

/// Opens `menu` at `at` and then, level by level, the submenus whose titles are given.
void menuChainPicture(QMenu* menu, QPoint at, const QStringList& path, const QString& name) {
    menu->popup(at);
    settle(200);
    QMenu* level = menu;
    for (const QString& title : path) {
        QAction* open = nullptr;
        for (QAction* a : level->actions())
            if (a->menu() && a->text().remove(QLatin1Char('&')) == title) open = a;
        if (!open) break;
        level->setActiveAction(open);
        open->menu()->popup(level->geometry().topLeft() +
                            QPoint(level->width() - 4, level->actionGeometry(open).top()));
        settle(200);
        level = open->menu();
    }
    screenPicture(name);
    menu->close();
    delete menu;
}

int desktopPictures() {
    // A plain blue root, set while this program is connected (an X server that resets when its
    // last client leaves would forget a colour set before): anything black is the program's.
    QProcess::execute(QStringLiteral("xsetroot"),
                      {QStringLiteral("-solid"), QStringLiteral("#3a6ea5")});
    EngineState state;
    SettingsStore settings; // in memory: no settings file is read or written
    Settings& s = settings.values();
    s.programHasClosedPreviously = true;
    s.programHasRunPreviously = false; // the first start's welcome
    s.checkVersionOnStartup = false;
    s.loadLastAutoSaveOnStartup = false;
    MainWindowOptions options;
    options.audioApi = "null";
    options.desktopMouse = false;
    // The first start: the welcome box over the main window, taken and answered "Okay".
    setDialogShownHook([](QDialog& box) {
        screenPicture(QStringLiteral("desktop_first_start"), 600);
        QTimer::singleShot(0, &box, [&box] {
            if (auto* b = qobject_cast<ButtonBoxDialog*>(&box))
                b->done(int(b->buttons().size()) + 15); // the last button: "Just get on with it"
            else
                box.reject();
        });
    });
    MainWindow window(state, settings, options);
    window.show();
    settle(1000);
    setDialogShownHook(nullptr);
    screenPicture(QStringLiteral("desktop_main_window"));

    for (const PresetInfo& p : presetTable()) {
        if (p.submenu != kPresetsExamples && p.submenu != kPresetsDemonstration) continue;
        if (!presetAvailable(p) || !window.loadPresetResource(p.resource)) {
            std::fprintf(stderr, "kalvitrope-screenshots: preset %d did not load\n", p.resource);
            ++failures;
            continue;
        }
        screenPicture(p.resource == 900 ? QStringLiteral("desktop_starter_preset")
                                        : QStringLiteral("desktop_preset_%1").arg(p.resource),
                      500);
    }

    // A module added from the right-click menu at (900, 330) on the screen.
    window.clearAllModules();
    const QPoint click(900, 330);
    if (window.geometry().contains(click)) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, window.mapFromGlobal(click), click);
        QTimer::singleShot(300, [] {
            if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
        });
        QApplication::sendEvent(&window, &event);
        window.addModuleOfType(Module_AudioOsc);
        screenPicture(QStringLiteral("desktop_right_click_module"));
    }

    // Every module type on the desktop, full and then compact, at the placement strip.
    for (int type = 0; type < kTypeCount; ++type) {
        window.clearAllModules();
        Module* m = window.addModuleOfType(type);
        if (!m) continue;
        const QString name = QStringLiteral("desktop_module_%1").arg(type, 2, 10, QChar('0'));
        screenPicture(name + QStringLiteral("_full"), 200);
        if (ModuleWindow* w = window.moduleWindows().windowOf(m)) w->applyShowState(kShowCompact);
        screenPicture(name + QStringLiteral("_compact"), 200);
        if (ModuleWindow* w = window.moduleWindows().windowOf(m)) w->applyShowState(kShowCollapsed);
        screenPicture(name + QStringLiteral("_title"), 200);
    }

    // Menus and submenus, over the starter preset.
    window.loadPresetResource(900);
    const QPoint at = window.geometry().topLeft() + QPoint(60, 60);
    menuChainPicture(window.createProgramMenu(true), at, {},
                     QStringLiteral("desktop_menu_program"));
    menuChainPicture(window.createProgramMenu(true), at,
                     {languageText(152), languageText(kPresetsModulation)},
                     QStringLiteral("desktop_menu_program_presets_modulation"));
    menuChainPicture(window.createProgramMenu(true), at, {languageText(9), languageText(301)},
                     QStringLiteral("desktop_menu_program_add_module"));
    menuChainPicture(window.createAddModuleMenu(), at, {languageText(303)},
                     QStringLiteral("desktop_menu_add_module_audio_source"));
    menuChainPicture(window.createPresetsMenu(), at, {languageText(kPresetsMouse)},
                     QStringLiteral("desktop_menu_presets_mouse"));

    // The origin window over the whole screen.
    {
        OriginWindowContext context;
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        context.desktop = {screen.left(), screen.top(), screen.right(), screen.bottom()};
        context.originX = 120;
        context.originY = -80;
        OriginWindow* origin = OriginWindow::open(OriginMode::Show, context);
        screenPicture(QStringLiteral("desktop_origin_window"), 400);
        origin->close();
        settle(100);
    }
    window.clearAllModules();
    window.engine().stopAndWait();
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    // Answered before the application needs a display.
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf(
                "usage: %s [--patch FILE | --preset NAME] [--out DIR]\n"
                "       %s --desktop [--out DIR]\n\n"
                "Writes PNG pictures of the desktop program's windows, menus and boxes with\n"
                "the patch or preset into DIR (default build/screenshots); with --desktop\n"
                "instead what the X server shows, the whole screen read back from the root\n"
                "window. Needs an X display.\n",
                argv[0], argv[0]);
            return 0;
        }
        if (a == "--version") {
            std::printf("kalvitrope-screenshots (Kalvitrope v%s)\n",
                        std::string(kSettingsProgramVersion).c_str());
            return 0;
        }
    }
    QApplication app(argc, argv);
    QApplication::setWindowIcon(programIcon());
    std::string patch, preset, out = "build/screenshots";
    bool desktop = false;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--desktop")
            desktop = true;
        else
            rest.push_back(argv[i]);
    argc = int(rest.size());
    argv = rest.data();
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--patch")
            patch = argv[i + 1];
        else if (option == "--preset")
            preset = argv[i + 1];
        else if (option == "--out")
            out = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: %s [--patch FILE | --preset NAME] [--out DIR]\n", argv[0]);
            return 2;
        }
    }
    if (argc % 2 == 0) {
        std::fprintf(stderr, "usage: %s [--patch FILE | --preset NAME] [--out DIR]\n", argv[0]);
        return 2;
    }
    languages().initLanguages({});
    QDir().mkpath(QString::fromStdString(out));
    outDir = QDir(QString::fromStdString(out));
    if (desktop) return desktopPictures();

    EngineState state;
    SettingsStore settings; // in memory: no settings file is read or written
    settings.values().programHasClosedPreviously = true;
    settings.values().programHasRunPreviously = true;
    settings.values().checkVersionOnStartup = false; // no request to the web site
    MainWindowOptions options;
    options.audioApi = "null";
    options.desktopMouse = false;
    MainWindow window(state, settings, options);
    window.show();
    settle(200);
    if (!patch.empty()) {
        QString error;
        if (!window.loadPatchFile(QString::fromStdString(patch), error)) {
            std::fprintf(stderr, "kalvitrope-screenshots: %s\n", qPrintable(error));
            return 1;
        }
    } else if (!preset.empty()) {
        const PresetInfo* p = findPreset(preset);
        if (!p || !window.loadPresetResource(p->resource)) {
            std::fprintf(stderr, "kalvitrope-screenshots: no built-in preset '%s'\n",
                         preset.c_str());
            return 1;
        }
    }
    window.startEngine();
    picture(window, "main_window");

    const QPoint at = window.geometry().topLeft() + QPoint(40, 40);
    menuPicture(window.createProgramMenu(true), at, "menu_program");
    menuPicture(window.createAddModuleMenu(), at, "menu_add_module");
    QMenu* add = window.createAddModuleMenu();
    add->popup(at);
    settle();
    const auto groups = add->actions();
    for (int g = 0; g < 5 && g < groups.size(); ++g)
        if (QMenu* sub = groups[g]->menu())
            menuPicture(sub, at + QPoint(200, 0), QString("menu_add_module_%1").arg(g + 1));
    add->close();
    menuPicture(window.createPresetsMenu(), at, "menu_presets");

    const QString okay = libraryText(0);
    boxPicture(&window, languageText(36), "CommandLine|HelpCentre|Forum|Tutorial|Okay",
               libraryText(kLibraryHelpText), libraryText(40), "box_help");
    boxPicture(&window, okay, "Okay", languageText(16), libraryText(40), "box_command_line");
    for (auto [q, name] : {std::pair{app::InstallQuestion::Install, "box_install"},
                           std::pair{app::InstallQuestion::InstallVersion, "box_install_version"},
                           std::pair{app::InstallQuestion::Reinstall, "box_reinstall"}})
        boxPicture(nullptr, libraryText(app::kInstallButtonLabels), "Install|Run|Cancel",
                   libraryText(int(q)), "Kalvitrope", name);
    boxPicture(&window, "Yes|No", "Yes|No", languageText(321), languageText(322),
               "box_close_or_minimise");
    boxPicture(&window, "Yes|No", "Yes|No", languageText(323), languageText(324), "box_escape");
    boxPicture(&window, "Yes|No", "Yes|No", languageText(317), languageText(318),
               "box_minimise_to_tray");
    boxPicture(&window, languageText(249), "Mouse|Modulation|MIDI|Tutorial|Okay", languageText(250),
               languageText(248), "box_welcome");
    boxPicture(&window, okay, "Okay", libraryText(22), libraryText(23), "box_invalid_value");
    {
        ValueBoxDialog box(&window, "Name", "Oscillator 1", nullptr);
        box.show();
        picture(box, "box_value");
        box.close();
    }
    {
        LanguageChooser chooser(&window, kOfferedLanguageCodes);
        chooser.show();
        picture(chooser, "language_chooser");
        chooser.close();
    }
    {
        PreferencesDialog preferences(&window, window.settings(), nullptr);
        preferences.show();
        picture(preferences, "preferences");
        TrayOptionsDialog tray(&window, window.settings(), nullptr);
        tray.show();
        picture(tray, "preferences_tray");
        VisualPreferencesDialog visual(&window, window.settings(), nullptr);
        visual.show();
        picture(visual, "preferences_visual");
        ColourPaletteDialog palette(
            &visual, window.settings().values().colour(UiColour::ModuleBackground), nullptr);
        palette.channelSlider(0)->setValue(200);
        palette.poll();
        palette.show();
        picture(palette, "preferences_colour_palette");
        AboutBox about(&window, &window.online());
        about.show();
        picture(about, "about");
        FeedbackDialog feedback(&window, window.online());
        feedback.field()->setPlainText(QStringLiteral("The mouse wheel makes a lovely filter."));
        feedback.show();
        picture(feedback, "feedback");
    }
    for (auto [mode, name] : {std::pair{OriginMode::Show, "origin_show"},
                              std::pair{OriginMode::Reset, "origin_reset"}}) {
        OriginWindowContext context;
        context.desktop = {0, 0, 639, 479};
        context.originX = 60;
        context.originY = -40;
        OriginWindow origin(mode, context);
        origin.setAttribute(Qt::WA_DeleteOnClose, false);
        origin.show();
        picture(origin, name);
        origin.hide();
    }
    statusPictures(window);
    {
        // The installer and remover in a home of their own, with an earlier version recorded
        // and a log entry outside the installation, so every optional part shows.
        QTemporaryDir home;
        const std::string root = home.path().toStdString();
        const install::Places places = install::Places::from(root, "", "", root, "");
        install::changeRegistryFile(
            places.registryFile(),
            {{{install::recordPathValue("1.0"), root + "/old/kalvitrope"}}, {}, {}});
        InstallBackdrop backdrop;
        backdrop.show();
        settle(400);
        picture(backdrop, "installer_backdrop");
        InstallerDialog installer(&backdrop, root + "/kalvitrope", places);
        installer.show();
        picture(installer, "installer");
        installer.hide();
        backdrop.hide();
        const std::string folder = places.defaultFolder();
        QDir().mkpath(QString::fromStdString(folder));
        install::appendToLog(folder + "Install_Log.txt", folder + "kalvitrope.KVS");
        install::appendToLog(folder + "Install_Log.txt", root + "/Documents/letter.txt");
        RemoverDialog remover(folder + "kalvitrope", places);
        remover.show();
        picture(remover, "remover");
        remover.hide();
    }
    window.stopEngine();
    window.engine().stopAndWait();
    return failures == 0 ? 0 : 1;
}
