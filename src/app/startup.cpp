#include "app/startup.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/command_line.h"
#include "app/exit_on_signal.h"
#include "app/install_prompt.h"
#include "app/install_steps.h"
#include "app/integrity.h"
#include "engine/engine_state.h"
#include "persistence/language.h"
#include "persistence/paths.h"
#include "persistence/settings.h"
#include "platform/library_messages.h"
#include "platform/registry_file.h"
#include "ui/app_settings.h"
#include "ui/button_box.h"
#include "ui/language_chooser.h"
#include "ui/main_window.h"

namespace kv::app {

namespace {

QString text(const char* s) {
    return QString::fromUtf8(s);
}

/// Tells the user in a box and on the standard error stream.
void tell(const QString& message, const QString& caption) {
    std::fprintf(stderr, "kalvitrope: %s\n", message.toLocal8Bit().constData());
    ui::informBox(nullptr, message, caption);
}

} // namespace

std::string consoleAnswer(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--version") return "kalvitrope (Kalvitrope v1.1)\n";
        if (arg != "--help") continue;
        // The program's own option list (in the desktop's language), then the console options.
        LanguageTables& tables = languages();
        tables.initLanguages(args);
        std::string options = languageString(16);
        std::erase(options, '\r');
        return "usage: kalvitrope [OPTION]...\n\n" + options +
               "\n\nDebug\n    Show the sound libraries' own messages on the standard error "
               "stream.\n\n--help\n    Show this text and exit.\n\n--version\n    Show the "
               "program's version and exit.\n";
    }
    return {};
}

int runProgram(const std::vector<std::string>& args) {
    LanguageTables& tables = languages();
    tables.initLanguages(args);
    EngineState state;

    // Settings, then the language: the command line's, else the settings file's, else the
    // desktop's, offered for confirmation when there is no usable settings file.
    ui::SettingsStore store(defaultSettingsPath(settingsFolderFromCommandLine(args)));
    const SettingsLoadResult loaded = store.load();
    ui::Theme::setCurrent(ui::Theme::fromSettings(store.values()));
    StartupLanguageInputs in;
    in.args = args;
    in.settingsRead = !loaded.wantsLanguageChoice();
    in.settingsLanguage = languageFromChoice(store.values().languageChoice);
    in.settingsStringsFile = store.values().languageStringsFilePath;
    auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string_view(value ? value : "");
    };
    in.lcAll = env("LC_ALL");
    in.lcMessages = env("LC_MESSAGES");
    in.lang = env("LANG");
    const StartupLanguage language = chooseStartupLanguage(in);
    tables.applyStartupLanguage(language);
    if (language.askUser) ui::chooseLanguage(nullptr, kOfferedLanguageCodes);

    const StartupFlags flags = parseCommandLine(args);
    platform::showSoundLibraryMessages(flags.debug);

    if (flags.help) {
        ui::runHelpBox(nullptr);
        return 0;
    }

    bool install = flags.install;
    // A system copy (the package manager's, or in a folder this user cannot write) is not
    // offered for installation: it is already installed, by someone else.
    if (!flags.skipInstallPrompt && !store.values().doNotAskAboutInstallation &&
        !isSystemCopy(ownProgramPath())) {
        const InstallQuestion q = installQuestion(
            platform::readRegistryText(platform::registryFilePath()), ownProgramPath());
        if (q != InstallQuestion::None) {
            const QString key = ui::buttonBox(
                nullptr, ui::libraryText(kInstallButtonLabels),
                QString::fromUtf8(kInstallButtonKeys.data(), qsizetype(kInstallButtonKeys.size())),
                text("Cancel"), ui::libraryText(int(q)), text("Kalvitrope"));
            if (key == text("Cancel")) return 0;
            if (key == text("Install")) install = true;
        }
    }
    if (install) return installProgram(store, state);
    // A per-user installation needs no elevation: a removal request removes at once.
    if (flags.removeRequest || flags.removeNow) return removeProgram();

    // Normal run: a settings file exists from the first run on.
    store.save(state);
    std::string reason;
    const std::string self = ownProgramPath();
    if (self.empty() || !checkProgramFile(self, reason)) {
        if (self.empty()) reason = "The program file cannot be found.";
        tell(QString::fromStdString(reason) +
                 text(" Kalvitrope does not run from a damaged copy; please install it again."),
             ui::libraryText(12));
        return 1;
    }

    ui::MainWindowOptions options;
    options.autoStartOnly = flags.autoStartOnly;
    options.autoStartAndHide = flags.autoStartAndHide;
    options.wrapMouseGiven = flags.wrapMouseGiven;
    options.wrapMouse = flags.wrapMouse;
    options.makeNoSoundGiven = flags.makeNoSoundGiven;
    options.makeNoSound = flags.makeNoSound;
    ui::MainWindow window(state, store, options);
    ExitOnSignal exitOnSignal(window);
    if (!flags.autoStartAndHide) window.show();
    window.exec();
    return 0;
}

} // namespace kv::app
