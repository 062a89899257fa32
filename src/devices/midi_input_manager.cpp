#include "devices/midi_input_manager.h"

#include <algorithm>
#include <cstring>

namespace kv {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
} // namespace

MidiInputTables::MidiInputTables() : controllers(new std::atomic<float>[kControllers]) {
    clear();
}

void MidiInputTables::clear() {
    for (auto& n : notes)
        n.store(0, rlx);
    for (int i = 0; i < kControllers; ++i)
        controllers[i].store(0.0f, rlx);
    lastControllerIndex.store(-1, rlx);
}

void MidiInputTables::apply(uint8_t status, uint8_t data1, uint8_t data2) {
    if (status < 0x80 || status >= 0xF0) return; // running status is not ours; system ignored
    const int key = data1 & 0x7F;
    int index = status * 128 + key;
    float value = data2;
    if (status < 0x90) {
        notes[(status - 0x80) * 128 + key].store(0, rlx);
    } else if (status < 0xA0) {
        notes[(status - 0x90) * 128 + key].store(data2, rlx);
    } else if (status >= 0xC0 && status < 0xE0) {
        index = status * 128;
        value = data1;
    } else if (status >= 0xE0) {
        index = status * 128;
    }
    controllers[index].store(value, rlx);
    lastControllerIndex.store(index, rlx);
}

/// One open port. Its address is the listener given to the backend, so it never moves.
struct MidiInputManager::Device final : platform::MidiInListener {
    explicit Device(int number) : number(number) {}
    void midiMessage(uint8_t status, uint8_t data1, uint8_t data2) noexcept override {
        tables.apply(status, data1, data2);
    }

    const int number;
    platform::MidiIn::Handle handle = platform::MidiIn::kNoHandle;
    int32_t uses = 0;
    MidiInputTables tables;
};

MidiInputManager::MidiInputManager(platform::MidiIn& in, Servicing servicing)
    : in_(in), service_(servicing == Servicing::Thread, [this] { serviceWork(); }) {
    wanted_.reserve(16);
    closing_.reserve(16);
}

MidiInputManager::~MidiInputManager() {
    service_.stop();
    closeAll();
    for (auto& d : closing_)
        in_.close(d->handle);
}

MidiInputManager::Device* MidiInputManager::find(int device) const {
    for (const auto& d : devices_)
        if (d->number == device) return d.get();
    return nullptr;
}

void MidiInputManager::beginCycle() {
    std::lock_guard lock(mutex_);
    cycleOpen_ = true;
    for (auto& d : devices_)
        d->uses = 0;
}

bool MidiInputManager::use(int device) {
    std::lock_guard lock(mutex_);
    if (!cycleOpen_) return false;
    if (Device* d = find(device)) {
        ++d->uses;
        return true;
    }
    if (std::find(wanted_.begin(), wanted_.end(), device) == wanted_.end()) {
        wanted_.push_back(device);
        service_.wake();
    }
    return false;
}

void MidiInputManager::endCycle() {
    std::lock_guard lock(mutex_);
    bool closed = false;
    for (std::size_t i = 0; i < devices_.size();) {
        if (devices_[i]->uses <= 0) {
            closing_.push_back(std::move(devices_[i]));
            devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(i));
            --count_;
            closed = true;
        } else {
            ++i;
        }
    }
    cycleOpen_ = false;
    if (closed) service_.wake();
}

void MidiInputManager::closeAll() {
    std::vector<std::unique_ptr<Device>> ending;
    {
        std::lock_guard lock(mutex_);
        ++epoch_;
        for (auto& d : devices_)
            ending.push_back(std::move(d));
        devices_.clear();
        count_ = 0;
        wanted_.clear();
        cycleOpen_ = false;
    }
    for (auto& d : ending)
        in_.close(d->handle);
}

void MidiInputManager::service() {
    service_.runNow();
}

void MidiInputManager::serviceWork() {
    std::vector<int> wanted;
    std::vector<std::unique_ptr<Device>> closing;
    uint64_t epoch;
    {
        std::lock_guard lock(mutex_);
        wanted = wanted_;
        closing.swap(closing_);
        closing_.reserve(16);
        epoch = epoch_;
    }
    for (auto& d : closing)
        in_.close(d->handle);
    closing.clear();
    for (int number : wanted) {
        auto d = std::make_unique<Device>(number);
        d->handle = in_.open(number, *d);
        if (d->handle != platform::MidiIn::kNoHandle) in_.start(d->handle);
        bool kept = false;
        {
            std::lock_guard lock(mutex_);
            std::erase(wanted_, number);
            if (d->handle != platform::MidiIn::kNoHandle && epoch == epoch_ && !find(number)) {
                d->uses = 1; // asked for in this cycle: not closed by its end
                devices_.push_back(std::move(d));
                ++count_;
                kept = true;
            }
        }
        if (!kept && d && d->handle != platform::MidiIn::kNoHandle) in_.close(d->handle);
    }
}

bool MidiInputManager::copyNotes(int device, uint8_t out[MidiInputTables::kNotes]) const {
    std::lock_guard lock(mutex_);
    const Device* d = find(device);
    if (!d) return false;
    for (int i = 0; i < MidiInputTables::kNotes; ++i)
        out[i] = d->tables.notes[static_cast<std::size_t>(i)].load(rlx);
    return true;
}

float MidiInputManager::getController(int device, int index) const {
    std::lock_guard lock(mutex_);
    const Device* d = find(device);
    if (!d) return 0.0f;
    return d->tables.controllers[static_cast<uint16_t>(index)].load(rlx);
}

int MidiInputManager::getLastControllerIndex(int device) const {
    std::lock_guard lock(mutex_);
    const Device* d = find(device);
    return d ? d->tables.lastControllerIndex.load(rlx) : -1;
}

std::vector<DeviceListEntry> MidiInputManager::deviceList(int selected) const {
    std::vector<DeviceListEntry> list;
    list.push_back({"", kNoDevice, false});
    const int count = in_.deviceCount();
    for (int n = 0; n < count; ++n)
        if (auto name = in_.deviceName(n)) list.push_back({*name, n, false});
    for (auto& entry : list)
        if (entry.value == selected) {
            entry.selected = true;
            break;
        }
    return list;
}

std::vector<int> MidiInputManager::openDevices() const {
    std::lock_guard lock(mutex_);
    std::vector<int> numbers;
    for (const auto& d : devices_)
        numbers.push_back(d->number);
    return numbers;
}

} // namespace kv
