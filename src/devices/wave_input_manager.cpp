#include "devices/wave_input_manager.h"

#include <algorithm>
#include <cstring>

#include "persistence/language.h"
#include <chrono>
#include <system_error>

namespace kv {

using platform::AudioIn;

namespace {
constexpr auto rlx = std::memory_order_relaxed;
// A ring slot: not handed to the card, in the card's queue, or filled and back with us.
enum SlotState : uint8_t { kIdle, kQueued, kDone };
constexpr int kAlreadyInUseString = 126;
} // namespace

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
    // Feeder bookkeeping (the feeder's own; the manual feeder's under the manager's lock).
    bool first = true;
    uint64_t seen = 0;
    int position = 0;
    std::thread feeder;
    std::atomic<bool> stopFeeder{false};
};

WaveInputManager::WaveInputManager(AudioIn& in, Servicing servicing)
    : in_(in), threaded_(servicing == Servicing::Thread),
      service_(threaded_, [this] { serviceWork(); }) {}

WaveInputManager::~WaveInputManager() {
    service_.stop();
    closeAll();
    for (auto& d : open_.closing())
        closeDevice(*d);
}

void WaveInputManager::setMessageSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(mutex_);
    messageSink_ = std::move(sink);
}

void WaveInputManager::setFeederStart(std::function<void()> start) {
    std::lock_guard lock(mutex_);
    feederStart_ = std::move(start);
}

WaveInputManager::Device* WaveInputManager::find(int device) const {
    return open_.find(device);
}

void WaveInputManager::beginCycle() {
    std::lock_guard lock(mutex_);
    open_.beginCycle();
}

bool WaveInputManager::use(int device) {
    std::lock_guard lock(mutex_);
    bool askedNow = false;
    const bool open = open_.use(device, askedNow);
    if (askedNow) service_.wake();
    return open;
}

void WaveInputManager::endCycle() {
    std::lock_guard lock(mutex_);
    if (open_.endCycle()) service_.wake();
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
    std::vector<std::unique_ptr<Device>> ending;
    {
        std::lock_guard lock(mutex_);
        ending = open_.takeAll();
    }
    for (auto& d : ending)
        closeDevice(*d);
}

bool WaveInputManager::read(int device, uint64_t& cursor, int16_t newer[kBlockSamples],
                            int16_t older[kBlockSamples], int desiredLatencyMs) {
    std::lock_guard lock(mutex_);
    open_.setCycleOpen();
    Device* d = find(device);
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
    std::lock_guard lock(mutex_);
    if (open_.cycleOpen()) return;
    for (auto& d : open_.devices())
        feed(*d);
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
    service_.runNow();
}

void WaveInputManager::serviceWork() {
    OpenOnUse<Device>::Work work;
    std::function<void(const std::string&)> sink;
    std::function<void()> start;
    {
        std::lock_guard lock(mutex_);
        work = open_.takeWork();
        sink = messageSink_;
        start = feederStart_;
    }
    for (auto& d : work.closing)
        closeDevice(*d);
    work.closing.clear();
    for (int number : work.wanted) {
        auto d = std::make_unique<Device>(number);
        AudioIn::OpenError error = AudioIn::OpenError::None;
        d->handle = in_.open(number, *d, error);
        if (d->handle == AudioIn::kNoHandle && error == AudioIn::OpenError::Busy && sink)
            sink(languageString(kAlreadyInUseString));
        const AudioIn::Handle handle = d->handle;
        if (handle != AudioIn::kNoHandle && threaded_) {
            // Started before the device is shared: its feeder then never outlives it.
            try {
                Device* raw = d.get();
                d->feeder = std::thread([this, raw, start] { feederLoop(raw, start); });
            } catch (const std::system_error&) {
                closeDevice(*d);
                continue; // asked for again at the next use
            }
        }
        bool kept = false;
        {
            std::lock_guard lock(mutex_);
            kept = open_.keep(number, handle != AudioIn::kNoHandle, d, work.epoch);
        }
        if (!kept && handle != AudioIn::kNoHandle) closeDevice(*d);
    }
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
    std::lock_guard lock(mutex_);
    std::vector<int> numbers;
    for (const auto& d : open_.devices())
        numbers.push_back(d->number);
    return numbers;
}

uint64_t WaveInputManager::completedCount(int device) const {
    std::lock_guard lock(mutex_);
    const Device* d = find(device);
    return d ? d->completed.load(rlx) : 0;
}

} // namespace kv
