#pragma once
// The input devices a mouse backend could read: the event nodes udev marks as mice or touchpads,
// and whether this user may read each one (the permission diagnosis of mouse-check and the
// notice).
#include <functional>
#include <string>
#include <vector>

namespace kv::platform {

/// What udev says about one event node.
struct InputNodeProperties {
    bool mouse = false;    // ID_INPUT_MOUSE=1
    bool touchpad = false; // ID_INPUT_TOUCHPAD=1
    bool keyboard = false; // ID_INPUT_KEYBOARD=1: never read, even when also a mouse
    std::string name;      // the device's name, when known
};

/// A mouse or touchpad found.
struct InputDeviceInfo {
    std::string path; // the event node, e.g. /dev/input/event5
    std::string name;
    bool touchpad = false;
    bool readable = false; // this process may open it for reading
    bool operator==(const InputDeviceInfo&) const = default;
};

/// The udev properties of an event node (by path); false when udev knows nothing of it.
using InputNodeLookup = std::function<bool(const std::string& path, InputNodeProperties&)>;

/// The mice and touchpads among the `folder`'s event* nodes, in node-number order, each with
/// whether it is readable. Nodes that are keyboards, or that udev does not mark as a mouse or a
/// touchpad, are left out. Any thread.
std::vector<InputDeviceInfo> scanInputDevices(const std::string& folder,
                                              const InputNodeLookup& lookup);

/// udev's properties of a node, read through libudev when the build has it, else from udev's
/// database under /run/udev/data.
bool udevInputNodeProperties(const std::string& path, InputNodeProperties& properties);

/// The properties in one udev database file's text ("E:KEY=VALUE" lines).
InputNodeProperties parseUdevDatabase(const std::string& text);

/// How many of `devices` are readable.
int readableCount(const std::vector<InputDeviceInfo>& devices);

} // namespace kv::platform
