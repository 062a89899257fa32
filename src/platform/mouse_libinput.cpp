#include "platform/mouse_libinput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "mouse/desktop_pointer.h"
#include "mouse/mouse_hook.h"
#include "platform/mouse_x11.h"

#ifdef KV_HAVE_LIBINPUT
#include <libinput.h>
#include <libudev.h>
#include <linux/input-event-codes.h>
#endif

namespace kv::platform {

namespace {

// A command's standard output (the desktop's settings tools), empty when it cannot run.
std::string commandOutput(const char* command) {
    std::string out;
    if (FILE* p = popen(command, "r")) {
        char buffer[256];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0 && out.size() < 4096;)
            out.append(buffer, n);
        pclose(p);
    }
    return out;
}

bool desktopIs(const char* name) {
    const char* d = std::getenv("XDG_CURRENT_DESKTOP");
    return d && std::string(d).find(name) != std::string::npos;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The desktop's acceleration for a device: GNOME's gsettings, Plasma's kcminputrc, else none.
PointerAccel desktopAccel(const PointerDeviceId& id, bool touchpad) {
    if (desktopIs("GNOME")) {
        const std::string schema = touchpad ? "org.gnome.desktop.peripherals.touchpad"
                                            : "org.gnome.desktop.peripherals.mouse";
        return gnomePointerAccel(
            commandOutput(("gsettings get " + schema + " accel-profile 2>/dev/null").c_str()),
            commandOutput(("gsettings get " + schema + " speed 2>/dev/null").c_str()));
    }
    if (desktopIs("KDE")) {
        const char* config = std::getenv("XDG_CONFIG_HOME");
        const char* home = std::getenv("HOME");
        const std::string folder = config && *config == '/' ? config
                                   : home                   ? std::string(home) + "/.config"
                                                            : std::string();
        if (!folder.empty()) return plasmaPointerAccel(fileText(folder + "/kcminputrc"), id);
    }
    return {};
}

// Hyprland's request socket, when this is a Hyprland session: empty otherwise.
std::string hyprlandSocket() {
    const char* signature = std::getenv("HYPRLAND_INSTANCE_SIGNATURE");
    if (!signature || !*signature || std::strchr(signature, '/')) return {};
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    for (const std::string& folder :
         {runtime && *runtime ? std::string(runtime) + "/hypr/" : "", std::string("/tmp/hypr/")}) {
        const std::string path = folder + signature + "/.socket.sock";
        if (!folder.empty() && access(path.c_str(), W_OK) == 0) return path;
    }
    return {};
}

// Asks Hyprland where the pointer is (it tells any client of the session). At most 20 ms.
bool hyprlandCursor(const std::string& socketPath, long& x, long& y) {
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path) return false;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const timeval limit{0, 20000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    std::string reply;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        write(fd, "cursorpos", 9) == 9) {
        char buffer[64];
        for (ssize_t n; reply.size() < 256 && (n = read(fd, buffer, sizeof buffer)) > 0;)
            reply.append(buffer, std::size_t(n));
    }
    close(fd);
    return parseHyprlandCursorPos(reply, x, y);
}

} // namespace

#ifdef KV_HAVE_LIBINPUT

static_assert(input_code::kLeft == BTN_LEFT && input_code::kRight == BTN_RIGHT &&
              input_code::kMiddle == BTN_MIDDLE && input_code::kSide == BTN_SIDE &&
              input_code::kExtra == BTN_EXTRA && input_code::kForward == BTN_FORWARD &&
              input_code::kBack == BTN_BACK && input_code::kTask == BTN_TASK);

bool deviceMouseSupported() {
    return true;
}

namespace {

// Opens for reading only: libinput never writes to a mouse, and the device is never grabbed.
int openRestricted(const char* path, int flags, void*) {
    const int fd = ::open(path, (flags & ~O_ACCMODE) | O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

void closeRestricted(int fd, void*) {
    ::close(fd);
}

const libinput_interface kInterface = {openRestricted, closeRestricted};

bool udevFlag(udev_device* d, const char* key) {
    const char* v = udev_device_get_property_value(d, key);
    return v && v[0] == '1' && v[1] == 0;
}

} // namespace

struct DeviceMouse::Context {
    udev* u = nullptr;
    udev_monitor* monitor = nullptr;
    libinput* li = nullptr;
    struct Open {
        std::string path;
        libinput_device* device;
    };
    std::vector<Open> open; // device thread only
    ~Context() {
        for (Open& o : open)
            libinput_device_unref(o.device);
        if (li) libinput_unref(li);
        if (monitor) udev_monitor_unref(monitor);
        if (u) udev_unref(u);
    }
};

#else

bool deviceMouseSupported() {
    return false;
}
struct DeviceMouse::Context {};

#endif

DeviceMouse::DeviceMouse(std::unique_ptr<MouseBackend> pointer, std::string folder)
    : pointer_(std::move(pointer)), folder_(std::move(folder)), hyprland_(hyprlandSocket()) {
    if (pointer_) feed_.setDesktop(pointer_->desktop());
    const DesktopRect r = feed_.desktop();
    feed_.place((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

DeviceMouse::~DeviceMouse() {
    removeHook();
}

void DeviceMouse::wake(char why) {
    if (wakePipe_[1] >= 0) (void)!write(wakePipe_[1], &why, 1);
}

void DeviceMouse::removeHook() {
    if (thread_.joinable()) {
        stop_.store(true, std::memory_order_relaxed);
        wake('q');
        thread_.join();
    }
    context_.reset();
    for (int& fd : wakePipe_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void DeviceMouse::reopen() {
    wake('r');
}

std::vector<DeviceMouse::Device> DeviceMouse::devices() const {
    std::lock_guard lock(devicesMutex_);
    return devices_;
}

bool DeviceMouse::cursorPosition(long& x, long& y) {
    long tx = 0, ty = 0;
    const bool devicesMoved = feed_.takeMoved();
    // The compositor's own answer is always current; XWayland's only while it follows the mice.
    const bool known =
        (!hyprland_.empty() && hyprlandCursor(hyprland_, tx, ty)) ||
        (pointer_ && pointer_->cursorPosition(tx, ty) && anchor_.fresh(tx, ty, devicesMoved));
    feed_.samplerPass(known, tx, ty, x, y);
    return true;
}

void DeviceMouse::warpCursor(long x, long y) {
    feed_.place(x, y);
    if (pointer_) {
        pointer_->warpCursor(x, y);
        // The warp is not a movement of the user's: the next poll starts from here.
        long px = 0, py = 0;
        if (pointer_->cursorPosition(px, py)) anchor_.fresh(px, py, true);
    }
}

DesktopRect DeviceMouse::desktop() {
    if (!pointer_) return feed_.desktop();
    const DesktopRect r = pointer_->desktop();
    feed_.setDesktop(r);
    return r;
}

#ifdef KV_HAVE_LIBINPUT

bool DeviceMouse::installHook(MouseHookState& hook, std::string& error) {
    removeHook();
    auto c = std::make_unique<Context>();
    c->u = udev_new();
    if (!c->u) {
        error = "cannot talk to udev";
        return false;
    }
    c->li = libinput_path_create_context(&kInterface, nullptr);
    if (!c->li) {
        error = "cannot start libinput";
        return false;
    }
    c->monitor = udev_monitor_new_from_netlink(c->u, "udev");
    if (c->monitor) {
        udev_monitor_filter_add_match_subsystem_devtype(c->monitor, "input", nullptr);
        if (udev_monitor_enable_receiving(c->monitor) < 0) {
            udev_monitor_unref(c->monitor);
            c->monitor = nullptr; // no hot-plugging, but the mice there now still play
        }
    }
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = "cannot create the device thread's wake-up pipe";
        return false;
    }
    context_ = std::move(c);
    feed_.resetWheels();
    events_.store(0, std::memory_order_relaxed);
    stop_.store(false, std::memory_order_relaxed);
    thread_ = std::thread([this, &hook] { loop(hook, *context_); });
    return true;
}

void DeviceMouse::loop(MouseHookState& hook, Context& c) {
    // Opens `path` when it is a readable mouse or touchpad not open yet, with the desktop's
    // acceleration; records what was found either way.
    auto consider = [&](const std::string& path, const InputNodeProperties& p) {
        if (p.keyboard || !(p.mouse || p.touchpad)) return;
        for (const Context::Open& o : c.open)
            if (o.path == path) return;
        Device d{{path, p.name, p.touchpad, access(path.c_str(), R_OK) == 0}, false};
        if (d.info.readable) {
            if (libinput_device* dev = libinput_path_add_device(c.li, path.c_str())) {
                libinput_device_ref(dev);
                c.open.push_back({path, dev});
                d.open = true;
                d.info.name = libinput_device_get_name(dev);
                const PointerAccel a =
                    desktopAccel({libinput_device_get_id_vendor(dev),
                                  libinput_device_get_id_product(dev), d.info.name},
                                 p.touchpad);
                if (libinput_device_config_accel_is_available(dev)) {
                    if (a.profile == AccelProfile::Flat)
                        libinput_device_config_accel_set_profile(
                            dev, LIBINPUT_CONFIG_ACCEL_PROFILE_FLAT);
                    else if (a.profile == AccelProfile::Adaptive)
                        libinput_device_config_accel_set_profile(
                            dev, LIBINPUT_CONFIG_ACCEL_PROFILE_ADAPTIVE);
                    if (a.speed) libinput_device_config_accel_set_speed(dev, *a.speed);
                }
            }
        }
        std::lock_guard lock(devicesMutex_);
        std::erase_if(devices_, [&](const Device& e) { return e.info.path == path; });
        devices_.push_back(d);
    };
    auto scan = [&] {
        for (const InputDeviceInfo& d : scanInputDevices(folder_, udevInputNodeProperties)) {
            InputNodeProperties p;
            p.mouse = !d.touchpad;
            p.touchpad = d.touchpad;
            p.name = d.name;
            consider(d.path, p);
        }
    };
    auto drop = [&](const std::string& path) {
        std::erase_if(c.open, [&](const Context::Open& o) {
            if (o.path != path) return false;
            libinput_path_remove_device(o.device);
            libinput_device_unref(o.device);
            return true;
        });
        std::lock_guard lock(devicesMutex_);
        std::erase_if(devices_, [&](const Device& e) { return e.info.path == path; });
    };
    scan();
    const int monitorFd = c.monitor ? udev_monitor_get_fd(c.monitor) : -1;
    pollfd fds[3] = {
        {libinput_get_fd(c.li), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}, {monitorFd, POLLIN, 0}};
    while (!stop_.load(std::memory_order_relaxed)) {
        libinput_dispatch(c.li);
        while (libinput_event* ev = libinput_get_event(c.li)) {
            libinput_event_pointer* p = libinput_event_get_pointer_event(ev);
            DeviceEvent e;
            bool have = p != nullptr;
            switch (libinput_event_get_type(ev)) {
            case LIBINPUT_EVENT_POINTER_MOTION:
                e.kind = DeviceEvent::Motion;
                e.dx = libinput_event_pointer_get_dx(p);
                e.dy = libinput_event_pointer_get_dy(p);
                break;
            case LIBINPUT_EVENT_POINTER_MOTION_ABSOLUTE: { // a tablet or a virtual machine's
                const DesktopRect r = feed_.desktop();
                feed_.place(r.left + long(libinput_event_pointer_get_absolute_x_transformed(
                                         p, uint32_t(r.right - r.left + 1))),
                            r.top + long(libinput_event_pointer_get_absolute_y_transformed(
                                        p, uint32_t(r.bottom - r.top + 1))));
                have = false;
                break;
            }
            case LIBINPUT_EVENT_POINTER_BUTTON:
                e.kind = DeviceEvent::Button;
                e.code = libinput_event_pointer_get_button(p);
                e.pressed =
                    libinput_event_pointer_get_button_state(p) == LIBINPUT_BUTTON_STATE_PRESSED;
                break;
            case LIBINPUT_EVENT_POINTER_SCROLL_WHEEL:
                for (auto axis : {LIBINPUT_POINTER_AXIS_SCROLL_VERTICAL,
                                  LIBINPUT_POINTER_AXIS_SCROLL_HORIZONTAL}) {
                    if (!libinput_event_pointer_has_axis(p, axis)) continue;
                    e.kind = axis == LIBINPUT_POINTER_AXIS_SCROLL_VERTICAL
                                 ? DeviceEvent::VerticalWheel
                                 : DeviceEvent::HorizontalWheel;
                    e.v120 = libinput_event_pointer_get_scroll_value_v120(p, axis);
                    feed_.feed(e, hook);
                }
                have = false;
                break;
            default:
                have = false;
                break;
            }
            if (have) {
                e.timeUs = libinput_event_pointer_get_time_usec(p);
                feed_.feed(e, hook);
            }
            events_.store(events_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            libinput_event_destroy(ev);
        }
        if (poll(fds, monitorFd >= 0 ? 3 : 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents) {
            char why[16];
            bool rescan = false;
            for (ssize_t n; (n = read(wakePipe_[0], why, sizeof why)) > 0;)
                for (ssize_t i = 0; i < n; ++i)
                    rescan |= why[i] == 'r';
            if (stop_.load(std::memory_order_relaxed)) break;
            if (rescan) scan();
        }
        if (monitorFd >= 0 && fds[2].revents) {
            while (udev_device* d = udev_monitor_receive_device(c.monitor)) {
                const char* node = udev_device_get_devnode(d);
                const char* action = udev_device_get_action(d);
                const std::string path = node ? node : "";
                if (path.rfind(folder_ + "/event", 0) == 0 && action) {
                    if (std::string(action) == "remove") {
                        drop(path);
                    } else { // "add", or "change" (access granted, properties updated)
                        InputNodeProperties p;
                        p.mouse = udevFlag(d, "ID_INPUT_MOUSE");
                        p.touchpad = udevFlag(d, "ID_INPUT_TOUCHPAD");
                        p.keyboard = udevFlag(d, "ID_INPUT_KEYBOARD");
                        consider(path, p);
                    }
                }
                udev_device_unref(d);
            }
        }
        if (fds[0].revents & (POLLERR | POLLHUP)) break;
    }
}

#else

bool DeviceMouse::installHook(MouseHookState&, std::string& error) {
    error = "this build cannot read the input devices (no libinput)";
    return false;
}

void DeviceMouse::loop(MouseHookState&, Context&) {}

#endif

} // namespace kv::platform
