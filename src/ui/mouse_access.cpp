#include "ui/mouse_access.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "install/removal.h"
#include "mouse/mice_rule.h"
#include "platform/mouse_libinput.h"
#include "ui/button_box.h"

namespace kv::ui {

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

const QString kCaption = QStringLiteral("Kalvitrope: the mouse");

} // namespace

MouseHearing currentMouseHearing(const std::string& setting, platform::MouseBackend* inUse) {
    const platform::MouseSessionReport r = platform::diagnoseMouseSession(setting);
    MouseHearing h;
    h.session = r.session;
    h.deviceSupport = platform::deviceMouseSupported();
    h.miceFound = static_cast<int>(r.devices.size());
    h.miceReadable = platform::readableCount(r.devices);
    // What is heard now is the running backend's, not what a new choice would be.
    if (dynamic_cast<platform::DeviceMouse*>(inUse)) {
        h.backend = MouseBackendKind::Devices;
    } else if (inUse && r.haveXDisplay) {
        h.backend = MouseBackendKind::X11;
        h.xwaylandOnly = r.session == SessionType::Wayland;
    }
    return h;
}

bool showMouseNotice(QWidget* owner, const MouseHearing& hearing) {
    const std::string notice = mouseNoticeText(hearing);
    if (notice.empty()) return false;
    if (!canAllowReadingMice(hearing)) {
        informBox(owner, text(notice), kCaption);
        return false;
    }
    const QString chosen =
        buttonBox(owner, QStringLiteral("Okay|") + QString::fromUtf8(kAllowMiceCommand),
                  QStringLiteral("ok|allow"), QStringLiteral("ok"), text(notice), kCaption);
    return chosen == QStringLiteral("allow") && allowReadingMice(owner);
}

bool allowReadingMice(QWidget* owner) {
    // The rule goes through a file of this user's that only the installing command reads.
    const std::string folder = std::filesystem::temp_directory_path().string();
    std::string path = folder + "/kalvitrope-mice-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        informBox(owner, QStringLiteral("The rule could not be written to %1.").arg(text(folder)),
                  kCaption);
        return false;
    }
    const std::string rule = miceRuleText();
    const bool written = ::write(fd, rule.data(), rule.size()) == ssize_t(rule.size());
    ::close(fd);
    const int status = written ? install::runCommand(allowMiceCommand(path), nullptr) : -1;
    ::unlink(path.c_str());
    if (status == 0) return true;
    QString why;
    if (status == 126)
        why = QStringLiteral("The administrator's password was not given, so nothing changed.");
    else if (status == 127 || status < 0)
        why = QStringLiteral("pkexec is not available here. Run this in a terminal instead:\n\n") +
              text(allowMiceShellLine());
    else
        why = QStringLiteral("Installing the rule failed (status %1). Run this in a terminal "
                             "instead:\n\n")
                  .arg(status) +
              text(allowMiceShellLine());
    informBox(owner, why, kCaption);
    return false;
}

bool mouseAccessGranted(platform::MouseBackend& inUse) {
    if (auto* devices = dynamic_cast<platform::DeviceMouse*>(&inUse)) {
        devices->reopen();
        return true;
    }
    return false;
}

void offerMiceRuleRemoval(QWidget* owner) {
    if (!install::miceRuleInstalled(kMiceRulePath)) return;
    if (!askYesNo(owner,
                  QStringLiteral("Kalvitrope installed a rule that lets the person at this "
                                 "computer read mice and touchpads (%1). Take it away too? "
                                 "This asks for the administrator's password.")
                      .arg(QString::fromUtf8(kMiceRulePath)),
                  kCaption))
        return;
    if (!install::removeMiceRule(kMiceRulePath))
        informBox(owner,
                  QStringLiteral("The rule is still there. To take it away, run in a terminal:\n\n"
                                 "sudo rm %1 && sudo udevadm control --reload")
                      .arg(QString::fromUtf8(kMiceRulePath)),
                  kCaption);
}

} // namespace kv::ui
