#include "app/install_steps.h"

#include <QProcess>
#include <cstdio>

#include "app/integrity.h"
#include "install/installer.h"
#include "install/removal.h"
#include "persistence/paths.h"
#include "ui/app_settings.h"
#include "ui/button_box.h"
#include "ui/installer_dialog.h"

namespace kv::app {

namespace {

void tell(const std::string& message) {
    std::fprintf(stderr, "kalvitrope: %s\n", message.c_str());
    ui::informBox(nullptr, QString::fromStdString(message), QStringLiteral("Kalvitrope"));
}

} // namespace

int installProgram(ui::SettingsStore& store, const EngineState& state) {
    const std::string self = ownProgramPath();
    const install::Places places = install::Places::fromEnvironment();
    if (self.empty() || places.home.empty()) {
        tell(self.empty() ? "The program file cannot be found: nothing was installed."
                          : "No home folder is known (HOME is not set): nothing was installed.");
        return 1;
    }
    const std::string result = ui::runInstaller(self, places);
    install::InstallerResult r;
    if (!install::parseInstallerResult(result, r)) return 0;
    const std::string settingsFile = install::logSettingsPlaces(r);
    if (!r.keepSettings) {
        // The stored paths are relative to this program's folder; the installed copy reads
        // them relative to its own.
        ui::SettingsStore installed(settingsFile);
        installed.values() = store.values();
        const PathEnvironment here = PathEnvironment::current();
        PathEnvironment there = here;
        there.programFolder = r.folder.substr(0, r.folder.size() - 1);
        Settings& v = installed.values();
        for (std::string* path : {&v.waveWriterPath, &v.kvcPath, &v.kvcFolderPath, &v.autoSavePath,
                                  &v.languageStringsFilePath})
            if (!path->empty()) *path = shortenPath(expandPath(*path, here), there);
        installed.save(state);
    }
    if (r.runProgram &&
        !QProcess::startDetached(QString::fromStdString(r.program), {QStringLiteral("-NoInstall")},
                                 QString::fromStdString(r.folder)))
        tell("The installed program could not be started: " + r.program);
    return 0;
}

int removeProgram() {
    const std::string self = ownProgramPath();
    const install::Places places = install::Places::fromEnvironment();
    if (!self.empty() && isSystemCopy(self)) {
        tell("This copy of Kalvitrope (" + self +
             ") was installed for the whole system (by the package manager, or into a folder "
             "you cannot write to): it does not remove itself, and nothing was removed. Remove "
             "it with the package manager that installed it (for example: sudo apt remove "
             "kalvitrope).");
        return 1;
    }
    if (self.empty() || !install::isInstalledCopy(self, places)) {
        tell("This copy of Kalvitrope (" + self +
             ") is not an installed copy: nothing was removed. To remove the installed copy, "
             "start it with -RemoveIt or use its Uninstall menu entry.");
        return 1;
    }
    return ui::runRemover(self, places);
}

} // namespace kv::app
