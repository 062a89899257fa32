#include "devices/wave_input_manager.h"

#include <algorithm>
#include <cstring>

#include "persistence/language.h"
#include <chrono>
#include <new>
#include <system_error>

namespace kv {

using platform::AudioIn;

namespace {
constexpr auto rlx = std::memory_order_relaxed;
// A ring slot: not handed to the card, in the card's queue, or filled and back with us.
enum SlotState : uint8_t { kIdle, kQueued, kDone };
constexpr int kAlreadyInUseString = 126;
} // namespace

static_assert(WaveInputManager::kDeviceSlots == OpenOnUse<int>::kSlots);

/// One open input. Its address is the listener given to the backend, so it never moves.
struct WaveInputManager::Device final : platform::AudioInListener {
    explicit Device(int number) : number(number) {}

    /// Backend thread: block `blockId` is full.
    void blockFilled(uint32_t blockId) noexcept override {
        if (blockId >= static_cast<uint32_t>(kRingBlocks)) return;
        state[blockId].store(kDone, rlx);
        lastIndex.store(static_cast<int32_t>(blockId), rlx);
        completed.fetch_add(1, std::memory_order_release);
    }

    int16_t* block(int i) { return data.data() + static_cast<std::size_t>(i) * kBlockSamples; }

    const int number;
    AudioIn::Handle handle = AudioIn::kNoHandle;
    int32_t uses = 0;
    std::array<int16_t, static_cast<std::size_t>(kRingBlocks) * kBlockSamples> data{};
    std::array<std::atomic<uint8_t>, kRingBlocks> state{};
    std::atomic<uint64_t> completed{0};
    std::atomic<int32_t> lastIndex{0};
    // Feeder bookkeeping (its feeder thread's own, or the manual feeder's).
    bool first = true;
    uint64_t seen = 0;
    int position = 0;
    std::thread feeder;
    std::atomic<bool> stopFeeder{false};
};

WaveInputManager::WaveInputManager(AudioIn& in, Servicing servicing)
    : in_(in), threaded_(servicing == Servicing::Thread), open_(AudioIn::kDefaultDevice),
      service_(threaded_, [this] { serviceWork(true); }) {}

WaveInputManager::~WaveInputManager() {
    service_.stop();
    closeAll();
}

void WaveInputManager::setMessageSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(serviceMutex_);
    messageSink_ = std::move(sink);
}

void WaveInputManager::setFeederStart(std::function<void()> start) {
    std::lock_guard lock(serviceMutex_);
    feederStart_ = std::move(start);
}

void WaveInputManager::beginCycle() {
    open_.beginCycle();
}

bool WaveInputManager::use(int device) {
    return open_.use(device);
}

void WaveInputManager::endCycle() {
    open_.endCycle();
}

void WaveInputManager::closeDevice(Device& d) {
    if (d.feeder.joinable()) {
        d.stopFeeder.store(true, std::memory_order_release);
        d.feeder.join();
    }
    in_.reset(d.handle);
    in_.close(d.handle);
}

void WaveInputManager::closeAll() {
    std::lock_guard lock(serviceMutex_);
    open_.closeAll([this](Device& d) { closeDevice(d); });
}

bool WaveInputManager::read(int device, uint64_t& cursor, int16_t newer[kBlockSamples],
                            int16_t older[kBlockSamples], int desiredLatencyMs) {
    open_.setCycleOpen();
    Device* d = open_.find(device);
    if (!d) return false;
    const uint64_t completed = d->completed.load(std::memory_order_acquire);
    int32_t n = static_cast<int32_t>(static_cast<uint32_t>(completed - cursor));
    if (n < 0 || n > kRingBlocks) {
        cursor = completed;
        n = 0;
    }
    // Nothing unread is nothing to give, even with no latency asked for: the slot after the last
    // filled one is the card's current (or oldest) block, not new audio.
    if (n == 0 || 2 * n < desiredLatencyMs) return false;
    cursor += static_cast<uint64_t>(std::min(n, 2));
    int i = d->lastIndex.load(rlx) - n + 1;
    if (i < 0) i += kRingBlocks;
    const int j = i == 0 ? kRingBlocks - 1 : i - 1;
    std::memcpy(newer, d->block(i), sizeof(int16_t) * kBlockSamples);
    std::memcpy(older, d->block(j), sizeof(int16_t) * kBlockSamples);
    return true;
}

// One feeder turn for `d` (its feeder thread, or feedPending with the lock held).
void WaveInputManager::feed(Device& d) {
    if (d.first) {
        for (int i = 0; i < kRingBlocks; ++i) {
            d.state[i].store(kQueued, rlx);
            if (!in_.add(d.handle, d.block(i), kBlockSamples, static_cast<uint32_t>(i)))
                d.state[i].store(kIdle, rlx);
        }
        in_.start(d.handle);
        d.first = false;
        d.seen = d.completed.load(std::memory_order_acquire);
        return;
    }
    const uint64_t completed = d.completed.load(std::memory_order_acquire);
    if (completed <= d.seen) return;
    d.seen = completed;
    for (int k = 0; k < kFeedStride; ++k) {
        const int i = (d.position + k) % kRingBlocks;
        if (d.state[i].load(rlx) == kQueued) continue; // still with the card
        d.state[i].store(kQueued, rlx);
        if (!in_.add(d.handle, d.block(i), kBlockSamples, static_cast<uint32_t>(i)))
            d.state[i].store(kIdle, rlx);
    }
    d.position = (d.position + kFeedStride) % kRingBlocks;
}

void WaveInputManager::feedPending() {
    if (open_.cycleOpen()) return;
    std::lock_guard lock(serviceMutex_);
    open_.forEachOpen([this](Device& d) { feed(d); });
}

// A feeder takes no lock: it hands back to the card blocks already filled, which the card fills
// again only after every other queued block (about 2 s later), while the engine reads the newest
// one or two; the device is closed only after its feeder has been stopped.
void WaveInputManager::feederLoop(Device* d, std::function<void()> start) {
    if (start) start();
    while (!d->stopFeeder.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        feed(*d);
    }
}

void WaveInputManager::service() {
    serviceWork(false);
}

// The service side of opening: the driver and the feeder thread, away from the engine. `busy`
// counts the devices another program holds.
std::unique_ptr<WaveInputManager::Device> WaveInputManager::openDevice(int number, int& busy) {
    std::unique_ptr<Device> d;
    try {
        d = std::make_unique<Device>(number);
    } catch (const std::bad_alloc&) {
        return nullptr; // tried again at the next use
    }
    AudioIn::OpenError error = AudioIn::OpenError::None;
    d->handle = in_.open(number, *d, error);
    if (d->handle == AudioIn::kNoHandle) {
        if (error == AudioIn::OpenError::Busy) ++busy;
        return nullptr;
    }
    if (threaded_) {
        // Started before the device is shared: its feeder then never outlives it.
        try {
            Device* raw = d.get();
            d->feeder = std::thread([this, raw, start = feederStart_] { feederLoop(raw, start); });
        } catch (const std::system_error&) {
            closeDevice(*d);
            return nullptr;
        }
    }
    return d;
}

void WaveInputManager::serviceWork(bool onlyIfAsked) {
    int busy = 0;
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard lock(serviceMutex_);
        sink = messageSink_;
        open_.service([this, &busy](int number) { return openDevice(number, busy); },
                      [this](Device& d) { closeDevice(d); }, onlyIfAsked);
    }
    // Outside the pass: the sink may wait for the user, and closeAll must not wait with it.
    if (sink)
        for (; busy > 0; --busy)
            sink(languageString(kAlreadyInUseString));
}

std::vector<DeviceListEntry> WaveInputManager::deviceList(int selected) const {
    std::vector<DeviceListEntry> list;
    list.push_back({"", kNoDevice, false});
    if (auto name = in_.deviceName(AudioIn::kDefaultDevice))
        list.push_back({*name, AudioIn::kDefaultDevice, selected == AudioIn::kDefaultDevice});
    const int count = in_.deviceCount();
    for (int n = 0; n < count; ++n)
        if (auto name = in_.deviceName(n)) list.push_back({*name, n, selected == n});
    return list;
}

std::vector<int> WaveInputManager::openDevices() const {
    return open_.openDevices();
}

uint64_t WaveInputManager::completedCount(int device) const {
    return open_.withOpen(device,
                          [](const Device* d) { return d ? d->completed.load(rlx) : uint64_t{0}; });
}

} // namespace kv
