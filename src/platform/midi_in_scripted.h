#pragma once
// A MIDI input without hardware, for the headless tool and tests: `deviceCount` numbered ports
// that deliver what `send` gives them. Messages sent to a port before it is opened and started
// wait and arrive at start, so a script's first event is never lost. Any thread.
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "devices/midi_in.h"

namespace kv::platform {

class ScriptedMidiIn final : public MidiIn {
  public:
    explicit ScriptedMidiIn(int deviceCount = 16) : count_(deviceCount) {}

    /// Ports whose open fails (tests).
    void setFailing(int device, bool failing) {
        std::lock_guard lock(mutex_);
        if (failing)
            failing_.insert(device);
        else
            failing_.erase(device);
    }

    /// Delivers a message to port `device` on the calling thread (or keeps it until the port is
    /// started). False when no such port exists.
    bool send(int device, uint8_t status, uint8_t data1, uint8_t data2) {
        std::lock_guard lock(mutex_);
        if (device < 0 || device >= count_) return false;
        bool delivered = false;
        for (auto& [h, port] : ports_)
            if (port.device == device && port.started) {
                port.listener->midiMessage(status, data1, data2);
                delivered = true;
            }
        if (!delivered) waiting_[device].emplace_back(status, data1, data2);
        return true;
    }

    int opens() const {
        std::lock_guard lock(mutex_);
        return opens_;
    }

    int deviceCount() override { return count_; }
    std::optional<std::string> deviceName(int device) override {
        if (device < 0 || device >= count_) return std::nullopt;
        return "Scripted MIDI " + std::to_string(device);
    }
    Handle open(int device, MidiInListener& listener) override {
        std::lock_guard lock(mutex_);
        ++opens_;
        if (device < 0 || device >= count_ || failing_.count(device)) return kNoHandle;
        const Handle h = next_++;
        ports_[h] = Port{device, &listener, false};
        return h;
    }
    void start(Handle handle) override {
        std::lock_guard lock(mutex_);
        auto it = ports_.find(handle);
        if (it == ports_.end()) return;
        it->second.started = true;
        auto& waiting = waiting_[it->second.device];
        for (auto [s, d1, d2] : waiting)
            it->second.listener->midiMessage(s, d1, d2);
        waiting.clear();
    }
    void close(Handle handle) override {
        std::lock_guard lock(mutex_);
        ports_.erase(handle);
    }

  private:
    struct Port {
        int device = 0;
        MidiInListener* listener = nullptr;
        bool started = false;
    };
    const int count_;
    mutable std::mutex mutex_;
    std::map<Handle, Port> ports_;
    std::map<int, std::deque<std::tuple<uint8_t, uint8_t, uint8_t>>> waiting_;
    std::set<int> failing_;
    Handle next_ = 1;
    int opens_ = 0;
};

} // namespace kv::platform
