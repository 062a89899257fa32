#include "app/install_prompt.h"

#include <filesystem>
#include <system_error>

#include "persistence/text.h"
#include "platform/registry_file.h"

namespace kv::app {

namespace {

std::string canonical(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
    return ec ? path : p.string();
}

std::string valuePath(std::string_view name) {
    return std::string(kInstallRecordKey) + "\\" + std::string(name);
}

} // namespace

InstallQuestion installQuestion(std::string_view registryText, const std::string& ownPath) {
    const std::string installed =
        platform::registryValue(registryText, valuePath(kInstalledPathValue));
    if (isBlank(installed)) return InstallQuestion::Install;
    if (canonical(installed) == canonical(ownPath)) return InstallQuestion::None;
    const std::string version =
        platform::registryValue(registryText, valuePath(kInstalledVersionValue));
    return isBlank(version) ? InstallQuestion::InstallVersion : InstallQuestion::Reinstall;
}

} // namespace kv::app
