#pragma once
// The start-up shortcut the preferences offer: a launcher in the desktop's autostart folder that
// starts the program when the user logs in. Two places count: the user's autostart folder and
// the system-wide one (/etc/xdg/autostart); the program only ever writes the user's.
#include <string>

#include "install/places.h"

namespace kv::install {

/// The shortcut's file name: the product name, a space and the version ("Kalvitrope 1.1.desktop").
std::string startupShortcutName();

/// The system-wide autostart folder.
inline constexpr std::string_view kSystemAutostart = "/etc/xdg/autostart";

/// Whether the shortcut exists in the user's or in the system-wide autostart folder.
/// `systemFolder` replaces the system-wide folder (tests).
bool startupShortcutExists(const Places& places, std::string_view systemFolder = kSystemAutostart);

/// Creates the shortcut in the user's autostart folder, starting `program` without arguments and
/// described by the product name. False with `error` when it cannot be written.
bool createStartupShortcut(const Places& places, const std::string& program, std::string& error);

/// Deletes the shortcut from both folders; a file that cannot be deleted (the system-wide one
/// needs the administrator) is left, and nothing is reported.
void deleteStartupShortcut(const Places& places, std::string_view systemFolder = kSystemAutostart);

} // namespace kv::install
