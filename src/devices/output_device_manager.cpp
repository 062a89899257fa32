#include "devices/output_device_manager.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <chrono>
#include <new>

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
    Device(int number, int slot) : number(number), slot(slot) {}

    /// Backend thread: the block has been played; the blocks filled after it are still queued.
    void blockDone(uint32_t blockId) noexcept override {
        if (blockId >= static_cast<uint32_t>(kRingBlocks)) return;
        queuedLatency.store(written.load(std::memory_order_relaxed) - stamps[blockId],
                            std::memory_order_relaxed);
        state[blockId].store(kDone, std::memory_order_release);
    }

    int16_t* block(int i) { return data.data() + static_cast<std::size_t>(i) * kBlockFrames * 2; }

    const int number; // −1 = default output
    const int slot;
    AudioOut::Handle handle = AudioOut::kNoHandle;
    std::array<int16_t, static_cast<std::size_t>(kRingBlocks) * kBlockFrames * 2> data{};
    std::array<int32_t, kRingBlocks> byteLength{};
    std::array<std::atomic<uint8_t>, kRingBlocks> state{};
    std::array<int64_t, kRingBlocks> stamps{}; // written count when the block was filled
    // Engine thread.
    int writeIndex = -1; // block last filled
    uint32_t writesThisCycle = 0;
    bool blockThisCycle = false;     // a block was started in this cycle (empty chunks start none)
    std::atomic<int64_t> written{0}; // blocks filled since opening (block w is at (w − 1) % ring)
    std::atomic<int64_t> published{0};     // blocks of finished cycles: the feeder may queue them
    std::atomic<int64_t> queuedLatency{0}; // blocks, set by the done reports
    // Feeder.
    int64_t sent = 0; // blocks handed to the card
    std::thread feeder;
    std::atomic<bool> stopFeeder{false};
};

/// What the engine and the service thread share about one device number.
struct OutputDeviceManager::Slot {
    std::atomic<bool> wanted{false};     // the engine asks for this device to be opened
    std::atomic<Device*> ready{nullptr}; // opened by the service, not yet taken by the engine
};

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
    : out_(out), feeding_(feeding), slots_(std::make_unique<Slot[]>(kDeviceSlots)) {
    if (feeding_ == Feeding::Threads) service_ = std::thread([this] { serviceLoop(); });
}

OutputDeviceManager::~OutputDeviceManager() {
    {
        std::lock_guard lock(wakeMutex_);
        stopping_ = true;
    }
    wakeUp_.notify_one();
    if (service_.joinable()) service_.join();
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
    cycleOpen_ = true;
    ++cycle_;
    for (int i = 0; i < adoptedCount_; ++i) {
        Device* d = engineDevice_[adopted_[i]];
        d->writesThisCycle = 0;
        d->blockThisCycle = false;
    }
}

void OutputDeviceManager::adopt(int slot, Device* d) {
    engineDevice_[slot] = d;
    adopted_[adoptedCount_++] = slot;
}

OutputDeviceManager::Device* OutputDeviceManager::take(int slot) {
    if (feeding_ == Feeding::Manual) {
        // A simulated clock has no deadline: the device opens within the write, as the service
        // would open it, so that a rendering is the same on every run.
        KV_MANUAL_OPEN_SCOPE;
        Device* d = openDevice(slot);
        if (d != nullptr) adopt(slot, d);
        return d;
    }
    Slot& s = slots_[slot];
    if (s.ready.load(std::memory_order_acquire) != nullptr) {
        if (Device* d = s.ready.exchange(nullptr, std::memory_order_seq_cst)) {
            s.wanted.store(false, std::memory_order_relaxed);
            if (isAsked_[slot]) {
                isAsked_[slot] = false;
                *std::find(asked_.begin(), asked_.begin() + askedCount_, slot) =
                    asked_[askedCount_ - 1];
                --askedCount_;
            }
            adopt(slot, d);
            return d;
        }
    }
    if (!isAsked_[slot]) {
        isAsked_[slot] = true;
        asked_[askedCount_++] = slot;
    }
    askedInCycle_[slot] = cycle_;
    if (!s.wanted.load(std::memory_order_relaxed)) {
        s.wanted.store(true, std::memory_order_seq_cst);
        requests_.store(true, std::memory_order_release);
    }
    return nullptr;
}

void OutputDeviceManager::retire(Device* d) {
    if (feeding_ == Feeding::Manual) {
        KV_MANUAL_OPEN_SCOPE;
        closeDevice(d);
        return;
    }
    const uint32_t head = closingHead_.load(std::memory_order_relaxed);
    closing_[head % kDeviceSlots] = d;
    closingHead_.store(head + 1, std::memory_order_release);
    requests_.store(true, std::memory_order_release);
}

void OutputDeviceManager::cancel(int slot) {
    Slot& s = slots_[slot];
    // Against the service's publish-then-check: one of the two takes a device opened meanwhile.
    s.wanted.store(false, std::memory_order_seq_cst);
    if (Device* d = s.ready.exchange(nullptr, std::memory_order_seq_cst)) retire(d);
}

bool OutputDeviceManager::write(int code, const SampleChunk& chunk, int64_t* queuedLatency) {
    if (!cycleOpen_) return false;
    const OutputTarget target = decodeOutputDeviceID(code);
    if (target.device < kWaveMapper) return false; // no such device (e.g. "no output")
    const int slot = target.device + 1;
    if (slot >= kDeviceSlots) return false; // beyond any device list
    Device* d = engineDevice_[slot];
    if (d == nullptr && (d = take(slot)) == nullptr) return false;
    if (queuedLatency != nullptr) *queuedLatency = d->queuedLatency.load(std::memory_order_relaxed);

    const int n = std::min(chunk.length(), kBlockFrames);
    if (n <= 0) {
        ++d->writesThisCycle;
        return true;
    }
    if (!d->blockThisCycle) {
        // First audio of this cycle: a new block. (Keyed on the block, not on the write count,
        // so that an empty chunk before it cannot make this write mix into a block already
        // handed to the card.)
        const int j = (d->writeIndex + 1) % kRingBlocks;
        const uint8_t state = d->state[j].load(std::memory_order_acquire);
        if (state == kFilled || state == kQueued) {
            // Ring full (the card is far behind): the chunk is dropped, but the device was
            // written to, so it stays open and keeps what it queued.
            ++d->writesThisCycle;
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
    ++d->writesThisCycle;
    return true;
}

bool OutputDeviceManager::readBack(int code, SampleChunk& out) {
    if (!cycleOpen_) return false;
    const OutputTarget target = decodeOutputDeviceID(code);
    if (target.device < kWaveMapper || target.device + 1 >= kDeviceSlots) return false;
    Device* d = engineDevice_[target.device + 1];
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
    int kept = 0;
    for (int i = 0; i < adoptedCount_; ++i) {
        const int slot = adopted_[i];
        Device* d = engineDevice_[slot];
        if (d->writesThisCycle == 0) {
            engineDevice_[slot] = nullptr;
            retire(d);
        } else {
            d->published.store(d->written.load(std::memory_order_relaxed),
                               std::memory_order_release);
            adopted_[kept++] = slot; // keeps the order of opening
        }
    }
    adoptedCount_ = kept;
    for (int i = askedCount_; i-- > 0;) {
        const int slot = asked_[i];
        if (askedInCycle_[slot] == cycle_) continue;
        cancel(slot); // no longer named by any module
        isAsked_[slot] = false;
        asked_[i] = asked_[--askedCount_];
    }
    cycleOpen_ = false;
}

// --- Service side -------------------------------------------------------------------------------

OutputDeviceManager::Device* OutputDeviceManager::openDevice(int slot) {
    std::unique_ptr<Device> d;
    try {
        d = std::make_unique<Device>(slot - 1, slot);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    d->handle = out_.open(d->number, *d);
    if (d->handle == AudioOut::kNoHandle) return nullptr; // tried again when asked again
    try {
        if (feeding_ == Feeding::Threads)
            d->feeder = std::thread(&OutputDeviceManager::feederLoop, this, d.get(), feederStart_);
        std::lock_guard lock(listMutex_);
        openOrder_.push_back(d->number);
        if (d->feeder.joinable()) ++feeders_;
    } catch (...) {
        if (d->feeder.joinable()) {
            d->stopFeeder.store(true, std::memory_order_release);
            d->feeder.join();
        }
        out_.reset(d->handle);
        out_.close(d->handle);
        return nullptr;
    }
    live_[slot] = d.get();
    return d.release();
}

void OutputDeviceManager::closeDevice(Device* d) {
    const bool hadFeeder = d->feeder.joinable();
    if (hadFeeder) {
        d->stopFeeder.store(true, std::memory_order_release);
        d->feeder.join();
    }
    out_.reset(d->handle);
    out_.close(d->handle);
    {
        std::lock_guard lock(listMutex_);
        if (auto it = std::find(openOrder_.begin(), openOrder_.end(), d->number);
            it != openOrder_.end())
            openOrder_.erase(it);
        if (hadFeeder) --feeders_;
    }
    live_[d->slot] = nullptr;
    delete d;
}

void OutputDeviceManager::drainClosing() {
    uint32_t tail = closingTail_.load(std::memory_order_relaxed);
    const uint32_t head = closingHead_.load(std::memory_order_acquire);
    for (; tail != head; ++tail)
        closeDevice(closing_[tail % kDeviceSlots]);
    closingTail_.store(tail, std::memory_order_release);
}

void OutputDeviceManager::serviceWork() {
    std::lock_guard lock(serviceMutex_);
    // Closings first: a device given up and asked for again is closed before it is reopened.
    drainClosing();
    for (int slot = 0; slot < kDeviceSlots; ++slot) {
        Slot& s = slots_[slot];
        if (live_[slot] != nullptr || !s.wanted.load(std::memory_order_seq_cst)) continue;
        Device* d = openDevice(slot);
        if (d == nullptr) {
            s.wanted.store(false, std::memory_order_relaxed); // the engine's next write asks again
            continue;
        }
        s.ready.store(d, std::memory_order_seq_cst);
        // Given up while it was opening: close it, unless the engine has taken it meanwhile.
        if (!s.wanted.load(std::memory_order_seq_cst))
            if (Device* back = s.ready.exchange(nullptr, std::memory_order_seq_cst))
                closeDevice(back);
    }
}

void OutputDeviceManager::serviceLoop() {
    std::unique_lock lock(wakeMutex_);
    while (!stopping_) {
        // The engine only sets flags (it never waits on a lock or wakes a thread): look every
        // 2 ms, about one cycle.
        wakeUp_.wait_for(lock, std::chrono::milliseconds(2), [this] { return stopping_; });
        if (stopping_) break;
        if (!requests_.exchange(false, std::memory_order_acq_rel)) continue;
        lock.unlock();
        serviceWork();
        lock.lock();
    }
}

void OutputDeviceManager::closeAll() {
    std::lock_guard lock(serviceMutex_);
    for (int i = 0; i < adoptedCount_; ++i) {
        const int slot = adopted_[i];
        closeDevice(engineDevice_[slot]);
        engineDevice_[slot] = nullptr;
    }
    adoptedCount_ = 0;
    askedCount_ = 0;
    isAsked_.fill(false);
    for (int slot = 0; slot < kDeviceSlots; ++slot) {
        Slot& s = slots_[slot];
        s.wanted.store(false, std::memory_order_seq_cst);
        if (Device* d = s.ready.exchange(nullptr, std::memory_order_seq_cst)) closeDevice(d);
    }
    drainClosing();
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
    if (feeding_ != Feeding::Manual || cycleOpen_) return;
    std::lock_guard lock(tapMutex_);
    for (int i = 0; i < adoptedCount_; ++i)
        feed(*engineDevice_[adopted_[i]]);
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
    std::lock_guard lock(listMutex_);
    return openOrder_;
}

int OutputDeviceManager::runningFeeders() const {
    std::lock_guard lock(listMutex_);
    return feeders_;
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
