#pragma once
// A sound-card stand-in for the device tests: records what is queued and reports blocks done
// only when the test says so.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/audio_out.h"

namespace kv::test {

class FakeAudioOut : public platform::AudioOut {
  public:
    struct Queued {
        Handle handle;
        uint32_t blockId;
        std::vector<int16_t> frames; // copied when queued
    };

    int deviceCount() override { return static_cast<int>(names.size()); }
    std::optional<std::string> deviceName(int device) override {
        auto it = readable.find(device);
        if (it != readable.end() && !it->second) return std::nullopt;
        if (device == kDefaultDevice) return mapperName;
        if (device < 0 || device >= deviceCount()) return std::nullopt;
        return names[static_cast<std::size_t>(device)];
    }
    Handle open(int device, platform::AudioOutListener& listener) override {
        opening.fetch_add(1);
        while (holdOpens.load()) // a slow sound server
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard lock(mutex);
        ++opens;
        if (failOpen) return kNoHandle;
        const Handle h = next++;
        listeners[h] = &listener;
        devices[h] = device;
        return h;
    }
    bool queue(Handle handle, const int16_t* frames, int frameCount, uint32_t blockId) override {
        std::lock_guard lock(mutex);
        if (failQueue) return false;
        if (!listeners.contains(handle)) ++queuesToClosed;
        queued.push_back({handle, blockId, std::vector<int16_t>(frames, frames + 2 * frameCount)});
        return true;
    }
    void reset(Handle) override {
        std::lock_guard lock(mutex);
        ++resets;
    }
    void close(Handle handle) override {
        std::lock_guard lock(mutex);
        ++closes;
        listeners.erase(handle);
        devices.erase(handle);
    }

    /// Reports block `blockId` of `handle` played.
    void done(Handle handle, uint32_t blockId) {
        std::lock_guard lock(mutex);
        listeners.at(handle)->blockDone(blockId);
    }
    /// Reports every queued block played, as a card would; blocks of closed handles are dropped.
    std::size_t playQueued() {
        std::lock_guard lock(mutex);
        for (const auto& q : queued)
            if (auto it = listeners.find(q.handle); it != listeners.end())
                it->second->blockDone(q.blockId);
        return std::exchange(queued, {}).size();
    }
    std::vector<Queued> takeQueued() {
        std::lock_guard lock(mutex);
        return std::exchange(queued, {});
    }
    std::size_t queuedCount() {
        std::lock_guard lock(mutex);
        return queued.size();
    }

    std::mutex mutex;
    std::string mapperName = "Mapper";
    std::vector<std::string> names{"Card A", "Card B"};
    std::map<int, bool> readable; // device -> name readable (default yes)
    std::map<Handle, platform::AudioOutListener*> listeners;
    std::map<Handle, int> devices;
    std::vector<Queued> queued;
    std::atomic<bool> failOpen{false};
    std::atomic<bool> failQueue{false};
    // Counters a test may read while the manager's threads run.
    std::atomic<int> opens{0}, closes{0}, resets{0};
    std::atomic<int> queuesToClosed{0}; // queue calls for a handle already closed
    std::atomic<bool> holdOpens{false}; // open waits while set
    std::atomic<int> opening{0};        // open calls begun
    Handle next = 1;
};

} // namespace kv::test
