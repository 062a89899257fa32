#include "app/command_line.h"

#include "persistence/language.h"
#include "persistence/text.h"
#include "persistence/values.h"

namespace kv::app {

namespace {

/// The argument without one leading "-".
std::string_view optionName(std::string_view arg) {
    if (!arg.empty() && arg.front() == '-') arg.remove_prefix(1);
    return arg;
}

} // namespace

StartupFlags parseCommandLine(std::span<const std::string> args) {
    StartupFlags f;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view name = optionName(args[i]);
        const bool hasNext = i + 1 < args.size();
        const std::string_view next = hasNext ? std::string_view(args[i + 1]) : std::string_view();
        auto is = [&](std::string_view option) { return equalsIgnoreCase(name, option); };
        if (is("DoInstall")) {
            f.install = true;
            f.skipInstallPrompt = true;
        } else if (is("NoInstall")) {
            f.skipInstallPrompt = true;
        } else if (is("RemoveIt")) {
            f.removeRequest = true;
            f.skipInstallPrompt = true;
        } else if (is("DoRemove")) {
            f.removeNow = true;
            f.skipInstallPrompt = true;
        } else if (is("DoHelp") || is("Help")) {
            f.help = true;
        } else if (is("AutoStartOnly")) {
            f.autoStartOnly = true;
        } else if (is("AutoStartAndHide")) {
            f.autoStartAndHide = true;
        } else if (is("MakeNoSound")) {
            f.makeNoSoundGiven = true;
            f.makeNoSound = hasNext ? parseFlag(next) : true;
        } else if (is("WrapMouse")) {
            f.wrapMouseGiven = true;
            f.wrapMouse = hasNext ? parseFlag(next) : true;
        } else if (is("Debug")) {
            f.debug = true;
        } else if (is("Language")) {
            if (!hasNext) continue;
            if (utf8Length(next) > 2) {
                f.language = kLanguageStringsFile;
                f.languageFile = std::string(next);
            } else if (const int index = languageIndex(next); index >= 0) {
                f.language = index;
            }
        } else if (is("SettingsFolderPath")) {
            if (hasNext && utf8Length(next) > 2) f.settingsFolder = std::string(next);
        }
    }
    return f;
}

} // namespace kv::app
