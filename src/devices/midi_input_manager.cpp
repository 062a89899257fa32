#include "devices/midi_input_manager.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kv {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
} // namespace

static_assert(MidiInputManager::kDeviceSlots == OpenOnUse<int>::kSlots);

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
    : in_(in), open_(0), service_(servicing == Servicing::Thread, [this] { serviceWork(true); }) {}

MidiInputManager::~MidiInputManager() {
    service_.stop();
    closeAll();
}

void MidiInputManager::beginCycle() {
    open_.beginCycle();
}

bool MidiInputManager::use(int device) {
    return open_.use(device);
}

void MidiInputManager::endCycle() {
    open_.endCycle();
}

void MidiInputManager::closeAll() {
    std::lock_guard lock(serviceMutex_);
    open_.closeAll([this](Device& d) { in_.close(d.handle); });
}

void MidiInputManager::service() {
    serviceWork(false);
}

void MidiInputManager::openBeforeStart(std::span<const int> devices) {
    // The engine's end-of-cycle asking, then a service pass: the engine takes the opened
    // devices at its first read.
    open_.beginCycle();
    for (int device : devices)
        open_.use(device);
    open_.endCycle();
    serviceWork(false);
}

// Opening allocates the tables (a quarter megabyte) and waits for the driver: never the engine.
void MidiInputManager::serviceWork(bool onlyIfAsked) {
    std::lock_guard lock(serviceMutex_);
    auto open = [this](int number) -> std::unique_ptr<Device> {
        std::unique_ptr<Device> d;
        try {
            d = std::make_unique<Device>(number, deferred_);
        } catch (const std::bad_alloc&) {
            return nullptr; // tried again at the next use
        }
        d->handle = in_.open(number, *d);
        if (d->handle == platform::MidiIn::kNoHandle) return nullptr;
        in_.start(d->handle);
        return d;
    };
    open_.service(
        open, [this](Device& d) { in_.close(d.handle); }, onlyIfAsked);
}

void MidiInputManager::applyHeld(HeldSink sink, void* context) {
    open_.forEachInUse([&](Device& d) {
        uint32_t head = d.heldHead.load(rlx);
        const uint32_t tail = d.heldTail.load(std::memory_order_acquire);
        for (; head != tail; ++head) {
            const uint32_t m = d.held[head % kHeld];
            const auto status = static_cast<uint8_t>(m >> 16), data1 = static_cast<uint8_t>(m >> 8),
                       data2 = static_cast<uint8_t>(m);
            d.tables.apply(status, data1, data2);
            if (sink) sink(context, d.number, status, data1, data2);
        }
        d.heldHead.store(head, std::memory_order_release);
    });
}

bool MidiInputManager::inject(int device, uint8_t status, uint8_t data1, uint8_t data2) {
    Device* d = open_.find(device);
    if (d) d->tables.apply(status, data1, data2);
    return d != nullptr;
}

bool MidiInputManager::copyNotes(int device, uint8_t out[MidiInputTables::kNotes]) {
    const Device* d = open_.find(device);
    if (!d) return false;
    for (int i = 0; i < MidiInputTables::kNotes; ++i)
        out[i] = d->tables.notes[static_cast<std::size_t>(i)].load(rlx);
    return true;
}

float MidiInputManager::getController(int device, int index) {
    const Device* d = open_.find(device);
    if (!d) return 0.0f;
    return d->tables.controllers[static_cast<uint16_t>(index)].load(rlx);
}

int MidiInputManager::getLastControllerIndex(int device) {
    const Device* d = open_.find(device);
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
    return open_.openDevices();
}

} // namespace kv
