// The permission diagnosis: which mice and touchpads this user can read, from a folder of nodes
// some of which the user may not read; the udev database text; the rule that grants the access.
#include <gtest/gtest.h>

#include "common/bound_user.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "mouse/mice_rule.h"
#include "platform/input_devices.h"

namespace kv::platform {
namespace {

namespace fs = std::filesystem;

TEST(InputDevices, ScanTellsReadableMiceFromUnreadableAndLeavesKeyboardsOut) {
    const fs::path folder = fs::temp_directory_path() / ("kv-input-" + std::to_string(getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    ::chmod(folder.c_str(), 0755);
    struct Node {
        const char* name;
        mode_t mode;
        InputNodeProperties properties;
    };
    const Node nodes[] = {
        {"event10", 0644, {true, false, false, "USB Optical Mouse"}},
        {"event2", 0600, {true, false, false, "Logitech G502"}},
        {"event3", 0644, {false, true, false, "SYNA Touchpad"}},
        {"event4", 0644, {false, false, true, "AT Keyboard"}},
        {"event5", 0644, {true, false, true, "Gaming Mouse Keyboard"}}, // macro keys: never
        {"event6", 0644, {false, false, false, "Power Button"}},
        {"mouse0", 0644, {true, false, false, "legacy node"}},
        {"event7", 0644, {}}, // udev knows nothing of it
    };
    std::map<std::string, InputNodeProperties> udev;
    for (const Node& n : nodes) {
        const fs::path p = folder / n.name;
        ::close(::open(p.c_str(), O_CREAT | O_WRONLY, 0600));
        ::chmod(p.c_str(), n.mode);
        if (std::string(n.name) != "event7") udev[p.string()] = n.properties;
    }
    const std::string listed = kv::test::asBoundUser([&] {
        std::string out;
        for (const InputDeviceInfo& d :
             scanInputDevices(folder.string(), [&](const std::string&path, auto&p) {
                 const auto it = udev.find(path);
                 if (it == udev.end()) return false;
                 p = it->second;
                 return true;
             }))
            out += fs::path(d.path).filename().string() + " " + d.name + (d.touchpad ? " T" : "") +
                   (d.readable ? " readable\n" : " not readable\n");
        return out;
    });
    EXPECT_EQ(listed, "event2 Logitech G502 not readable\n"
                      "event3 SYNA Touchpad T readable\n"
                      "event10 USB Optical Mouse readable\n");
    fs::remove_all(folder);
    EXPECT_TRUE(scanInputDevices(folder.string(), [](auto&, auto&) { return true; }).empty());
}

TEST(InputDevices, UdevDatabaseText) {
    const InputNodeProperties p = parseUdevDatabase("S:input/by-id/usb-Logitech-event-mouse\n"
                                                    "I:4205114\n"
                                                    "E:ID_INPUT=1\n"
                                                    "E:ID_INPUT_MOUSE=1\n"
                                                    "E:ID_MODEL=USB_Receiver\n"
                                                    "E:ID_INPUT_KEYBOARD=1\n"
                                                    "G:seat\n");
    EXPECT_TRUE(p.mouse);
    EXPECT_FALSE(p.touchpad);
    EXPECT_TRUE(p.keyboard);
    EXPECT_EQ(p.name, "USB_Receiver");
    EXPECT_FALSE(parseUdevDatabase("E:ID_INPUT_MOUSE=0\nE:ID_INPUT_TOUCHPAD=1\n").mouse);
}

TEST(InputDevices, TheRuleGrantsMiceAndTouchpadsToTheSeatOnly) {
    const std::string rule = kv::miceRuleText();
    // Each rule line grants uaccess only to a mouse or a touchpad that is not a keyboard.
    int grants = 0;
    for (std::size_t at = 0, end; at < rule.size(); at = end + 1) {
        end = rule.find('\n', at);
        const std::string line = rule.substr(at, end - at);
        if (line.empty() || line[0] == '#') continue;
        ++grants;
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
        EXPECT_NE(line.find("ENV{ID_INPUT_KEYBOARD}!=\"1\""), std::string::npos) << line;
        EXPECT_TRUE(line.find("ENV{ID_INPUT_MOUSE}==\"1\"") != std::string::npos ||
                    line.find("ENV{ID_INPUT_TOUCHPAD}==\"1\"") != std::string::npos)
            << line;
        EXPECT_EQ(line.find("GROUP"), std::string::npos) << line;
        EXPECT_EQ(line.find("MODE"), std::string::npos) << line;
    }
    EXPECT_EQ(grants, 2);
    // The opt-in copy shipped with the sources is the same rule.
    std::ifstream shipped(KV_SOURCE_DIR "/packaging/61-kalvitrope-mice.rules");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(shipped), {}), rule);
    // And the README's one command for users without pkexec is the program's.
    std::ifstream readme(KV_SOURCE_DIR "/README.md");
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(readme), {}).find(allowMiceShellLine()),
              std::string::npos);
    // Applied after the rules that mark mice, before the seat rules apply uaccess.
    const std::string name = fs::path(kMiceRulePath).filename().string();
    EXPECT_GT(name, "60-input-id.rules");
    EXPECT_LT(name, "73-seat-late.rules");
    // The rule file is an argument of a fixed script, never part of the script's text.
    const auto argv = allowMiceCommand("/tmp/x'; rm -rf / #");
    ASSERT_EQ(argv.size(), 6u);
    EXPECT_EQ(argv[0], "pkexec");
    EXPECT_EQ(argv[3].find("/tmp/x"), std::string::npos);
    EXPECT_EQ(argv[5], "/tmp/x'; rm -rf / #");
}

} // namespace
} // namespace kv::platform
