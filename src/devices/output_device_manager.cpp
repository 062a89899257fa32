#include "devices/output_device_manager.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <chrono>
#include <new>
#include <thread>

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#include <sanitizer/rtsan_interface.h>
#endif
#endif

namespace kv {

using platform::AudioOut;

namespace {

constexpr double kSoftClipKnee = 26213.6; // 0.8 × 32767
constexpr double kEngineToPcm = 32.0;     // engine ±1024 is 16-bit full scale
constexpr double kPcmFullScale = 32767.0;

// Life of a ring block. A block is Filled by the engine, Queued by its feeder and Done when the
// card reports it; Filled and Queued blocks are not reused.
enum BlockState : uint8_t { kFree, kFilled, kQueued, kDone };

} // namespace

int16_t softClip(double x) {
    double y = x;
    if (x > kSoftClipKnee)
        y = kSoftClipKnee + std::sqrt(x - kSoftClipKnee);
    else if (x < -kSoftClipKnee)
        y = -kSoftClipKnee - std::sqrt(-x - kSoftClipKnee);
    if (std::isnan(y)) return 0;
    if (y >= 32767.0) return 32767;
    if (y <= -32768.0) return -32768;
    return static_cast<int16_t>(y); // truncates toward zero
}

/// One open device. Its address is the done listener given to the backend, so it never moves.
/// The engine fills blocks and publishes the written count at the end of each cycle; the feeder
/// queues published blocks only, so a block is complete (all writers mixed) before it is queued.
struct OutputDeviceManager::Device final : platform::AudioOutListener {
    explicit Device(int number) : number(number) {}

    /// Backend thread: the block has been played; the blocks filled after it are still queued.
    void blockDone(uint32_t blockId) noexcept override {
        if (blockId >= static_cast<uint32_t>(kRingBlocks)) return;
        queuedLatency.store(written.load(std::memory_order_relaxed) - stamps[blockId],
                            std::memory_order_relaxed);
        state[blockId].store(kDone, std::memory_order_release);
    }

    int16_t* block(int i) { return data.data() + static_cast<std::size_t>(i) * kBlockFrames * 2; }

    const int number; // −1 = default output
    AudioOut::Handle handle = AudioOut::kNoHandle;
    std::array<int16_t, static_cast<std::size_t>(kRingBlocks) * kBlockFrames * 2> data{};
    std::array<int32_t, kRingBlocks> byteLength{};
    std::array<std::atomic<uint8_t>, kRingBlocks> state{};
    std::array<int64_t, kRingBlocks> stamps{}; // written count when the block was filled
    // Engine thread.
    int writeIndex = -1;             // block last filled
    int32_t uses = 0;                // writes in this cycle
    bool blockThisCycle = false;     // a block was started in this cycle (empty chunks start none)
    std::atomic<int64_t> written{0}; // blocks filled since opening (block w is at (w − 1) % ring)
    std::atomic<int64_t> published{0};     // blocks of finished cycles: the feeder may queue them
    std::atomic<int64_t> queuedLatency{0}; // blocks, set by the done reports
    // Feeder.
    int64_t sent = 0; // blocks handed to the card
    std::thread feeder;
    std::atomic<bool> stopFeeder{false};
};

static_assert(OutputDeviceManager::kDeviceSlots == OpenOnUse<int>::kSlots);

// Manual mode opens and closes devices inside the cycle on purpose; the real-time checker is told.
#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#define KV_MANUAL_OPEN_SCOPE __rtsan::ScopedDisabler rtsanOff
#endif
#endif
#ifndef KV_MANUAL_OPEN_SCOPE
#define KV_MANUAL_OPEN_SCOPE
#endif

OutputDeviceManager::OutputDeviceManager(AudioOut& out, Feeding feeding)
    : out_(out), feeding_(feeding), open_(kWaveMapper),
      service_(feeding == Feeding::Threads, [this] { serviceWork(); }) {}

OutputDeviceManager::~OutputDeviceManager() {
    service_.stop();
    closeAll();
}

void OutputDeviceManager::setTap(OutputTap tap) {
    std::lock_guard lock(tapMutex_);
    tap_ = std::move(tap);
}

void OutputDeviceManager::setFeederStart(std::function<void()> start) {
    std::lock_guard lock(serviceMutex_);
    feederStart_ = std::move(start);
}

// --- Engine side --------------------------------------------------------------------------------

void OutputDeviceManager::beginCycle() {
    open_.beginCycle();
    open_.forEachInUse([](Device& d) { d.blockThisCycle = false; });
}

OutputDeviceManager::Device* OutputDeviceManager::take(int device) {
    if (Device* d = open_.take(device)) return d;
    if (feeding_ != Feeding::Manual) return nullptr;
    // A simulated clock has no deadline: the device asked for opens within the write, as the
    // service would open it, so that a rendering is the same on every run.
    KV_MANUAL_OPEN_SCOPE;
    serviceWork();
    return open_.find(device); // taken now, it counts as written in this cycle
}

bool OutputDeviceManager::write(int code, const SampleChunk& chunk, int64_t* queuedLatency) {
    if (!open_.cycleOpen()) return false;
    const OutputTarget target = decodeOutputDeviceID(code);
    if (target.device < kWaveMapper) return false; // no such device (e.g. "no output")
    Device* d = take(target.device);
    if (d == nullptr) return false; // not open yet, or beyond any device list
    if (queuedLatency != nullptr) *queuedLatency = d->queuedLatency.load(std::memory_order_relaxed);

    const int n = std::min(chunk.length(), kBlockFrames);
    if (n <= 0) return true;
    if (!d->blockThisCycle) {
        // First audio of this cycle: a new block. (Keyed on the block, not on the write count,
        // so that an empty chunk before it cannot make this write mix into a block already
        // handed to the card.)
        const int j = (d->writeIndex + 1) % kRingBlocks;
        const uint8_t state = d->state[j].load(std::memory_order_acquire);
        if (state == kFilled || state == kQueued) {
            // Ring full (the card is far behind): the chunk is dropped, but the device was
            // written to, so it stays open and keeps what it queued.
            return false;
        }
        d->writeIndex = j;
        const int64_t written = d->written.load(std::memory_order_relaxed) + 1;
        d->stamps[j] = written;
        d->written.store(written, std::memory_order_relaxed);
        d->byteLength[j] = n * kBytesPerFrame;
        d->state[j].store(kFilled, std::memory_order_relaxed);
        d->blockThisCycle = true;
        int16_t* frames = d->block(j);
        for (int i = 0; i < n; ++i) {
            const int16_t s = softClip(chunk.samples[i] * kEngineToPcm);
            frames[2 * i] = target.left ? s : 0;
            frames[2 * i + 1] = target.right ? s : 0;
        }
    } else {
        // Later writes mix into the block; it keeps the first write's length.
        int16_t* frames = d->block(d->writeIndex);
        for (int i = 0; i < n; ++i) {
            const double v = chunk.samples[i] * kEngineToPcm;
            if (target.left) frames[2 * i] = softClip(v + frames[2 * i]);
            if (target.right) frames[2 * i + 1] = softClip(v + frames[2 * i + 1]);
        }
    }
    return true;
}

bool OutputDeviceManager::readBack(int code, SampleChunk& out) {
    if (!open_.cycleOpen()) return false;
    const OutputTarget target = decodeOutputDeviceID(code);
    if (target.device < kWaveMapper) return false;
    Device* d = open_.held(target.device);
    if (d == nullptr) return false;
    std::fill(out.samples, out.samples + SampleChunk::kSlots, 0.0);
    if (d->blockThisCycle) {
        const int n = d->byteLength[d->writeIndex] / kBytesPerFrame;
        out.lengthByte = static_cast<int8_t>(n - SampleChunk::kBaseChunkLength);
        const double scale = target.bothChannels() ? 0.5 / kPcmFullScale : 1.0 / kPcmFullScale;
        const int16_t* frames = d->block(d->writeIndex);
        for (int i = 0; i < n; ++i) {
            if (target.left) out.samples[i] += frames[2 * i] * scale;
            if (target.right) out.samples[i] += frames[2 * i + 1] * scale;
        }
    }
    return true;
}

void OutputDeviceManager::endCycle() {
    // The blocks of this cycle become visible to the feeders of the devices that stay open.
    open_.forEachInUse([](Device& d) {
        if (d.uses > 0)
            d.published.store(d.written.load(std::memory_order_relaxed), std::memory_order_release);
    });
    open_.endCycle();
    if (feeding_ == Feeding::Manual) {
        KV_MANUAL_OPEN_SCOPE;
        serviceWork(); // closes the devices given up, now
    }
}

// --- Service side -------------------------------------------------------------------------------

std::unique_ptr<OutputDeviceManager::Device> OutputDeviceManager::openDevice(int number) {
    std::unique_ptr<Device> d;
    try {
        d = std::make_unique<Device>(number);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    d->handle = out_.open(number, *d);
    if (d->handle == AudioOut::kNoHandle) return nullptr; // tried again when asked again
    if (feeding_ == Feeding::Threads) {
        // Started before the device is shared: its feeder then never outlives it.
        try {
            d->feeder = std::thread(&OutputDeviceManager::feederLoop, this, d.get(), feederStart_);
        } catch (...) {
            closeDevice(*d);
            return nullptr;
        }
    }
    return d;
}

void OutputDeviceManager::closeDevice(Device& d) {
    if (d.feeder.joinable()) {
        d.stopFeeder.store(true, std::memory_order_release);
        d.feeder.join();
    }
    out_.reset(d.handle);
    out_.close(d.handle);
}

void OutputDeviceManager::serviceWork() {
    std::lock_guard lock(serviceMutex_);
    open_.service([this](int number) { return openDevice(number); },
                  [this](Device& d) { closeDevice(d); }, true);
}

void OutputDeviceManager::closeAll() {
    std::lock_guard lock(serviceMutex_);
    // The engine may call this within its cycle, which then stays open.
    const bool cycleOpen = open_.cycleOpen();
    open_.closeAll([this](Device& d) { closeDevice(d); });
    if (cycleOpen) open_.setCycleOpen();
}

// --- Feeders ------------------------------------------------------------------------------------

void OutputDeviceManager::feed(Device& d) {
    const int64_t published = d.published.load(std::memory_order_acquire);
    if (published <= d.sent) return;
    int64_t w = std::max(d.sent, published - kRingBlocks) + 1;
    d.sent = published;
    for (; w <= published; ++w) {
        const int i = static_cast<int>((w - 1) % kRingBlocks);
        const int16_t* frames = d.block(i);
        const int bytes = d.byteLength[i];
        if (tap_)
            tap_(reinterpret_cast<const uint8_t*>(frames), static_cast<std::size_t>(bytes),
                 d.number);
        // Marked before queueing: the done report may come before queue() returns.
        d.state[i].store(kQueued, std::memory_order_relaxed);
        if (!out_.queue(d.handle, frames, bytes / kBytesPerFrame, static_cast<uint32_t>(i)))
            d.state[i].store(kFree, std::memory_order_release); // skipped; the slot is reused
    }
}

void OutputDeviceManager::feedPending() {
    if (feeding_ != Feeding::Manual || open_.cycleOpen()) return;
    std::lock_guard lock(tapMutex_);
    open_.forEachInUse([this](Device& d) { feed(d); });
}

void OutputDeviceManager::feederLoop(Device* d, std::function<void()> start) {
    if (start) start();
    while (!d->stopFeeder.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard lock(tapMutex_);
        feed(*d);
    }
}

std::vector<DeviceListEntry> OutputDeviceManager::deviceList(int selected, bool wholeDevice) const {
    return fillOutputDeviceList(out_, selected, wholeDevice);
}

std::vector<int> OutputDeviceManager::openDevices() const {
    return open_.openDevices();
}

int OutputDeviceManager::runningFeeders() const {
    // Each device listed as open has its feeder: started before the device is listed, joined
    // just before it leaves the list.
    return feeding_ == Feeding::Threads ? static_cast<int>(open_.openDevices().size()) : 0;
}

std::vector<DeviceListEntry> fillOutputDeviceList(AudioOut& out, int selected, bool wholeDevice) {
    std::vector<DeviceListEntry> list;
    list.push_back({"", kNoDevice, false});
    auto addDevice = [&](int device, const std::string& name) {
        if (wholeDevice) {
            list.push_back({name, device, false});
        } else {
            list.push_back({name + " - (L+R)", device, false});
            list.push_back({name + " - (L)", device + kLeftOffset, false});
            list.push_back({name + " - (R)", device + kRightOffset, false});
        }
    };
    if (auto name = out.deviceName(kWaveMapper)) addDevice(kWaveMapper, *name);
    const int count = out.deviceCount();
    for (int n = 0; n < count; ++n)
        if (auto name = out.deviceName(n)) addDevice(n, *name);
    for (auto& entry : list)
        if (entry.value == selected) {
            entry.selected = true;
            break;
        }
    return list;
}

} // namespace kv
