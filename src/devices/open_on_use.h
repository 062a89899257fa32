#pragma once
// The open-on-use book-keeping of the input managers. The engine names the devices its modules
// use in each cycle; a device not open yet is asked for and opened later by the manager's service
// thread; a device no module named in a cycle is given up at the end of that cycle and closed
// by the service thread. Not locked: every call is made with the manager's lock held.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace kv {

/// `Device` has `const int number` (the device number) and `int32_t uses` (uses this cycle).
template <class Device> class OpenOnUse {
  public:
    OpenOnUse() {
        wanted_.reserve(16);
        closing_.reserve(16);
    }

    /// The open device `number`, or null.
    Device* find(int number) const {
        for (const auto& d : devices_)
            if (d->number == number) return d.get();
        return nullptr;
    }
    /// The open devices in order of opening.
    const std::vector<std::unique_ptr<Device>>& devices() const { return devices_; }

    bool cycleOpen() const { return cycleOpen_; }
    void setCycleOpen() { cycleOpen_ = true; }

    /// Opens the cycle; every device's use count back to 0.
    void beginCycle() {
        cycleOpen_ = true;
        for (auto& d : devices_)
            d->uses = 0;
    }
    /// Counts a use of device `number`: true when it is open. Otherwise it is asked for, and
    /// `askedNow` is set when that is new (the service thread has work). False when no cycle is
    /// open.
    bool use(int number, bool& askedNow) {
        askedNow = false;
        if (!cycleOpen_) return false;
        if (Device* d = find(number)) {
            ++d->uses;
            return true;
        }
        if (std::find(wanted_.begin(), wanted_.end(), number) == wanted_.end()) {
            wanted_.push_back(number);
            askedNow = true;
        }
        return false;
    }
    /// Gives up every device not used in this cycle and ends the cycle. True when one was given
    /// up (the service thread has work).
    bool endCycle() {
        bool closed = false;
        for (std::size_t i = 0; i < devices_.size();) {
            if (devices_[i]->uses <= 0) {
                closing_.push_back(std::move(devices_[i]));
                devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(i));
                closed = true;
            } else {
                ++i;
            }
        }
        cycleOpen_ = false;
        return closed;
    }
    /// Gives up every device and forgets what was asked for; a device being opened meanwhile is
    /// not kept (see `keep`). Hands the open devices over, for the caller to close.
    std::vector<std::unique_ptr<Device>> takeAll() {
        ++epoch_;
        std::vector<std::unique_ptr<Device>> ending = std::move(devices_);
        devices_.clear();
        wanted_.clear();
        cycleOpen_ = false;
        return ending;
    }

    /// What the service thread has to do, taken in one go.
    struct Work {
        std::vector<int> wanted;                      // to open
        std::vector<std::unique_ptr<Device>> closing; // to close
        uint64_t epoch = 0;                           // for `keep`
    };
    Work takeWork() {
        Work work;
        work.wanted = wanted_;
        work.closing.swap(closing_);
        closing_.reserve(16);
        work.epoch = epoch_;
        return work;
    }
    /// The service thread has tried to open `number` (`opened` tells if it did). No longer
    /// asked for. Keeps `device` as open, counted as used in this cycle, unless every device
    /// was given up since `epoch` or the number is already open; true when kept (then `device`
    /// is null).
    bool keep(int number, bool opened, std::unique_ptr<Device>& device, uint64_t epoch) {
        std::erase(wanted_, number);
        if (!opened || epoch != epoch_ || find(number)) return false;
        device->uses = 1; // asked for in this cycle: not closed by its end
        devices_.push_back(std::move(device));
        return true;
    }
    /// Devices given up but not closed yet (at shutdown).
    const std::vector<std::unique_ptr<Device>>& closing() const { return closing_; }

  private:
    bool cycleOpen_ = false;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<int> wanted_;                      // devices asked for, not open yet
    std::vector<std::unique_ptr<Device>> closing_; // given up, still to be closed
    uint64_t epoch_ = 0;                           // changes with takeAll
};

} // namespace kv
