#include "platform/input_devices.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifdef KV_HAVE_LIBINPUT
#include <libudev.h>
#endif

namespace kv::platform {

namespace {

// The number after "event" (event12 -> 12); -1 for other names.
long eventNumber(const std::string& name) {
    if (name.rfind("event", 0) != 0 || name.size() == 5) return -1;
    long n = 0;
    for (std::size_t i = 5; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 1000000) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

} // namespace

std::vector<InputDeviceInfo> scanInputDevices(const std::string& folder,
                                              const InputNodeLookup& lookup) {
    std::vector<std::pair<long, std::string>> nodes;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const long n = eventNumber(entry->d_name);
            if (n >= 0) nodes.emplace_back(n, entry->d_name);
        }
        closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<InputDeviceInfo> found;
    for (const auto& [number, name] : nodes) {
        const std::string path = folder + "/" + name;
        InputNodeProperties p;
        if (!lookup(path, p) || p.keyboard || !(p.mouse || p.touchpad)) continue;
        // access() answers for this process's real user, and honours the access lists that
        // udev's uaccess gives the active session.
        found.push_back({path, p.name, p.touchpad, access(path.c_str(), R_OK) == 0});
    }
    return found;
}

InputNodeProperties parseUdevDatabase(const std::string& text) {
    InputNodeProperties p;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("E:", 0) != 0) continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(2, eq - 2), value = line.substr(eq + 1);
        if (key == "ID_INPUT_MOUSE")
            p.mouse = value == "1";
        else if (key == "ID_INPUT_TOUCHPAD")
            p.touchpad = value == "1";
        else if (key == "ID_INPUT_KEYBOARD")
            p.keyboard = value == "1";
        else if (key == "NAME" && p.name.empty())
            p.name = value;
        else if (key == "ID_MODEL" && p.name.empty())
            p.name = value;
    }
    if (p.name.size() >= 2 && p.name.front() == '"' && p.name.back() == '"')
        p.name = p.name.substr(1, p.name.size() - 2);
    return p;
}

bool udevInputNodeProperties(const std::string& path, InputNodeProperties& properties) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
#ifdef KV_HAVE_LIBINPUT
    if (udev* u = udev_new()) {
        bool known = false;
        if (udev_device* d = udev_device_new_from_devnum(u, 'c', st.st_rdev)) {
            auto has = [d](const char* key) {
                const char* v = udev_device_get_property_value(d, key);
                return v && std::string(v) == "1";
            };
            properties.mouse = has("ID_INPUT_MOUSE");
            properties.touchpad = has("ID_INPUT_TOUCHPAD");
            properties.keyboard = has("ID_INPUT_KEYBOARD");
            if (udev_device* parent = udev_device_get_parent(d))
                if (const char* name = udev_device_get_sysattr_value(parent, "name"))
                    properties.name = name;
            known = udev_device_get_is_initialized(d) > 0;
            udev_device_unref(d);
        }
        udev_unref(u);
        if (known) return true;
    }
#endif
    std::ifstream db("/run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" +
                     std::to_string(minor(st.st_rdev)));
    if (!db) return false;
    std::stringstream text;
    text << db.rdbuf();
    properties = parseUdevDatabase(text.str());
    return true;
}

int readableCount(const std::vector<InputDeviceInfo>& devices) {
    return static_cast<int>(
        std::count_if(devices.begin(), devices.end(), [](const auto& d) { return d.readable; }));
}

} // namespace kv::platform
