#include "devices/output_device_manager.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "devices/feeder_thread.h"

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

struct OutputDeviceManager::Feeder : FeederThread {};

/// One open device. Its address is the done listener given to the backend, so it never moves.
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
    int writeIndex = -1;                       // block last filled
    std::atomic<int64_t> written{0};           // blocks filled since opening
    int64_t sent = 0;                          // blocks handed to the card by the feeder
    uint32_t writesThisCycle = 0;
    bool blockThisCycle = false; // a block was started in this cycle (empty chunks start none)
    std::atomic<int64_t> queuedLatency{0}; // blocks, set by the done reports
    std::unique_ptr<Feeder> feeder;
};

OutputDeviceManager::OutputDeviceManager(AudioOut& out, Feeding feeding)
    : out_(out), feeding_(feeding) {}

OutputDeviceManager::~OutputDeviceManager() {
    closeAll();
}

void OutputDeviceManager::setTap(OutputTap tap) {
    std::lock_guard lock(mutex_);
    tap_ = std::move(tap);
}

void OutputDeviceManager::setFeederStart(std::function<void()> start) {
    std::lock_guard lock(mutex_);
    feederStart_ = std::move(start);
}

OutputDeviceManager::Device* OutputDeviceManager::find(int device) const {
    for (const auto& d : devices_)
        if (d->number == device) return d.get();
    return nullptr;
}

OutputDeviceManager::Device* OutputDeviceManager::findByHandle(AudioOut::Handle handle) const {
    for (const auto& d : devices_)
        if (d->handle == handle) return d.get();
    return nullptr;
}

OutputDeviceManager::Device* OutputDeviceManager::open(int device) {
    if (Device* d = find(device)) return d;
    auto d = std::make_unique<Device>(device);
    d->handle = out_.open(device, *d);
    if (d->handle == AudioOut::kNoHandle) return nullptr; // tried again at the next write
    if (feeding_ == Feeding::Threads) {
        try {
            d->feeder = std::make_unique<Feeder>();
            d->feeder->thread =
                std::thread(&OutputDeviceManager::feederLoop, this, d->handle, d->feeder.get());
        } catch (...) {
            out_.reset(d->handle);
            out_.close(d->handle);
            return nullptr;
        }
    }
    devices_.push_back(std::move(d));
    return devices_.back().get();
}

void OutputDeviceManager::close(std::size_t index) {
    Device& d = *devices_[index];
    out_.reset(d.handle);
    out_.close(d.handle);
    // The feeder ends by itself at its next turn, when it no longer finds the device.
    if (d.feeder) retired_.push_back(std::move(d.feeder));
    devices_.erase(devices_.begin() + static_cast<std::ptrdiff_t>(index));
}

void OutputDeviceManager::beginCycle() {
    std::lock_guard lock(mutex_);
    cycleOpen_ = true;
    for (auto& d : devices_) {
        d->writesThisCycle = 0;
        d->blockThisCycle = false;
    }
}

bool OutputDeviceManager::write(int code, const SampleChunk& chunk, int64_t* queuedLatency) {
    std::lock_guard lock(mutex_);
    if (!cycleOpen_) return false;
    const OutputTarget target = decodeOutputDeviceID(code);
    if (target.device < kWaveMapper) return false; // no such device (e.g. "no output")
    Device* d = open(target.device);
    if (d == nullptr) return false;
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
        if (state == kFilled || state == kQueued) return false; // ring full: chunk dropped
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
    std::lock_guard lock(mutex_);
    if (!cycleOpen_) return false;
    const OutputTarget target = decodeOutputDeviceID(code);
    Device* d = find(target.device);
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
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = devices_.size(); i-- > 0;)
            if (devices_[i]->writesThisCycle == 0) close(i);
        cycleOpen_ = false;
    }
    joinFinishedFeeders(false);
}

void OutputDeviceManager::closeAll() {
    {
        std::lock_guard lock(mutex_);
        while (!devices_.empty())
            close(devices_.size() - 1);
    }
    joinFinishedFeeders(true);
}

void OutputDeviceManager::joinFinishedFeeders(bool all) {
    std::vector<std::unique_ptr<Feeder>> ending;
    {
        std::lock_guard lock(mutex_);
        if (retired_.empty()) return;
        for (auto& f : retired_)
            if (all || f->finished.load(std::memory_order_acquire)) ending.push_back(std::move(f));
        std::erase(retired_, nullptr);
    }
    // Outside the lock: a feeder needs it to notice that its device is gone.
    for (auto& f : ending)
        if (f->thread.joinable()) f->thread.join();
}

void OutputDeviceManager::feed(Device& d) {
    const int64_t written = d.written.load(std::memory_order_relaxed);
    if (written <= d.sent) return;
    const int64_t count = std::min<int64_t>(written - d.sent, kRingBlocks);
    d.sent = written;
    int i = d.writeIndex - static_cast<int>(count) + 1;
    if (i < 0) i += kRingBlocks;
    for (int64_t k = 0; k < count; ++k, i = (i + 1) % kRingBlocks) {
        const int16_t* frames = d.block(i);
        const int bytes = d.byteLength[i];
        if (tap_)
            tap_(reinterpret_cast<const uint8_t*>(frames), static_cast<std::size_t>(bytes),
                 d.number);
        // Marked before queueing: the done report may come before queue() returns.
        d.state[i].store(kQueued, std::memory_order_relaxed);
        if (!out_.queue(d.handle, frames, bytes / kBytesPerFrame, static_cast<uint32_t>(i)))
            d.state[i].store(kFree, std::memory_order_relaxed); // skipped; the slot is reused
    }
}

void OutputDeviceManager::feedPending() {
    std::lock_guard lock(mutex_);
    if (cycleOpen_) return;
    for (auto& d : devices_)
        feed(*d);
}

void OutputDeviceManager::feederLoop(AudioOut::Handle handle, Feeder* feeder) {
    runFeeder(mutex_, feederStart_, *feeder, [&] {
        // Blocks are never queued while the engine is writing: each block is complete first.
        if (cycleOpen_) return true;
        Device* d = findByHandle(handle);
        if (d == nullptr) return false; // the device was closed
        feed(*d);
        return true;
    });
}

std::vector<DeviceListEntry> OutputDeviceManager::deviceList(int selected, bool wholeDevice) const {
    return fillOutputDeviceList(out_, selected, wholeDevice);
}

std::vector<int> OutputDeviceManager::openDevices() const {
    std::lock_guard lock(mutex_);
    std::vector<int> numbers;
    for (const auto& d : devices_)
        numbers.push_back(d->number);
    return numbers;
}

int OutputDeviceManager::runningFeeders() const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& d : devices_)
        if (d->feeder && !d->feeder->finished.load(std::memory_order_acquire)) ++n;
    for (const auto& f : retired_)
        if (!f->finished.load(std::memory_order_acquire)) ++n;
    return n;
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
