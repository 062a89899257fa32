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
    Device(int number, const std::atomic<bool>& deferred) : number(number), deferred(deferred) {}
    void midiMessage(uint8_t status, uint8_t data1, uint8_t data2) noexcept override {
        if (deferred.load(rlx)) {
            // Single producer (this callback), single consumer (the engine's applyHeld).
            const uint32_t tail = heldTail.load(rlx);
            if (tail - heldHead.load(std::memory_order_acquire) < kHeld) {
                held[tail % kHeld] = uint32_t(status) << 16 | uint32_t(data1) << 8 | data2;
                heldTail.store(tail + 1, std::memory_order_release);
                return;
            }
        }
        tables.apply(status, data1, data2);
    }

    const int number;
    const std::atomic<bool>& deferred;
    uint32_t held[kHeld] = {};
    std::atomic<uint32_t> heldHead{0}, heldTail{0};
    platform::MidiIn::Handle handle = platform::MidiIn::kNoHandle;
    int32_t uses = 0;
    MidiInputTables tables;
};

MidiInputManager::MidiInputManager(platform::MidiIn& in, Servicing servicing)
    : in_(in), service_(servicing == Servicing::Thread, [this] { serviceWork(); }) {}

MidiInputManager::~MidiInputManager() {
    service_.stop();
    closeAll();
    for (auto& d : open_.closing())
        in_.close(d->handle);
}

MidiInputManager::Device* MidiInputManager::find(int device) const {
    return open_.find(device);
}

void MidiInputManager::beginCycle() {
    std::lock_guard lock(mutex_);
    open_.beginCycle();
}

bool MidiInputManager::use(int device) {
    std::lock_guard lock(mutex_);
    bool askedNow = false;
    const bool open = open_.use(device, askedNow);
    if (askedNow) service_.wake();
    return open;
}

void MidiInputManager::endCycle() {
    std::lock_guard lock(mutex_);
    if (open_.endCycle()) service_.wake();
}

void MidiInputManager::closeAll() {
    std::vector<std::unique_ptr<Device>> ending;
    {
        std::lock_guard lock(mutex_);
        ending = open_.takeAll();
    }
    for (auto& d : ending)
        in_.close(d->handle);
}

void MidiInputManager::service() {
    service_.runNow();
}

void MidiInputManager::serviceWork() {
    OpenOnUse<Device>::Work work;
    {
        std::lock_guard lock(mutex_);
        work = open_.takeWork();
    }
    for (auto& d : work.closing)
        in_.close(d->handle);
    work.closing.clear();
    for (int number : work.wanted) {
        auto d = std::make_unique<Device>(number, deferred_);
        d->handle = in_.open(number, *d);
        const bool opened = d->handle != platform::MidiIn::kNoHandle;
        if (opened) in_.start(d->handle);
        bool kept = false;
        {
            std::lock_guard lock(mutex_);
            kept = open_.keep(number, opened, d, work.epoch);
        }
        if (!kept && opened) in_.close(d->handle);
    }
}

void MidiInputManager::applyHeld(HeldSink sink, void* context) {
    std::lock_guard lock(mutex_);
    for (const auto& d : open_.devices()) {
        uint32_t head = d->heldHead.load(rlx);
        const uint32_t tail = d->heldTail.load(std::memory_order_acquire);
        for (; head != tail; ++head) {
            const uint32_t m = d->held[head % kHeld];
            const auto status = static_cast<uint8_t>(m >> 16), data1 = static_cast<uint8_t>(m >> 8),
                       data2 = static_cast<uint8_t>(m);
            d->tables.apply(status, data1, data2);
            if (sink) sink(context, d->number, status, data1, data2);
        }
        d->heldHead.store(head, std::memory_order_release);
    }
}

bool MidiInputManager::inject(int device, uint8_t status, uint8_t data1, uint8_t data2) {
    std::lock_guard lock(mutex_);
    Device* d = find(device);
    if (d) d->tables.apply(status, data1, data2);
    return d != nullptr;
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
    for (const auto& d : open_.devices())
        numbers.push_back(d->number);
    return numbers;
}

} // namespace kv
