// kalvitrope-screenshots: pictures of the desktop program's windows for review and CI. Starts
// the main window (silent sound output, without the desktop's mouse and without touching any
// settings file) with a patch or preset, and writes PNG pictures of the window, its menus, the
// help box, the language chooser, the feedback form and every message box into a folder.
//   kalvitrope-screenshots [--patch FILE | --preset NAME] [--out DIR]
#include <QApplication>
#include <QDir>
#include <QMenu>
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
#include "modules/module_registry.h"
#include "mouse/mouse_input.h"
#include "mouse/mouse_metrics.h"
#include "persistence/language.h"
#include "persistence/presets.h"
#include "ui/button_box.h"
#include "ui/colour_palette.h"
#include "ui/installer_dialog.h"
#include "ui/language_chooser.h"
#include "ui/main_window.h"
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

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setWindowIcon(programIcon());
    std::string patch, preset, out = "build/screenshots";
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
