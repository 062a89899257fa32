#pragma once
// The open-on-use book-keeping of the device managers (inputs and outputs). The engine names the
// devices its modules use in each cycle; a device not open yet is asked for and opened later by the
// manager's service thread; a device no module named in a cycle is given up at the end of that
// cycle and closed by the service thread. The engine's side takes no lock, allocates nothing and
// never waits: it asks through a flag per device number, takes opened devices from an atomic
// hand-over slot and hands given-up devices back through a single-producer, single-consumer ring.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace kv {

/// `Device` has `int32_t uses` (uses in this cycle, engine thread only).
template <class Device> class OpenOnUse {
  public:
    /// Device numbers `firstNumber` up to `firstNumber` + kSlots − 1 can be opened.
    static constexpr int kSlots = 128;

    explicit OpenOnUse(int firstNumber)
        : first_(firstNumber), slots_(std::make_unique<Slot[]>(kSlots)) {
        openOrder_.reserve(kSlots); // noting an opened device then never allocates or fails
    }
    OpenOnUse(const OpenOnUse&) = delete;
    OpenOnUse& operator=(const OpenOnUse&) = delete;

    // --- Engine thread (never waits, allocates or locks) ----------------------------------------

    /// The open device `number`, or null. Takes a device the service has just opened, so that
    /// it can be read at once; such a device counts as used in this cycle.
    Device* find(int number) {
        const int slot = number - first_;
        if (slot < 0 || slot >= kSlots) return nullptr;
        if (Device* d = engineDevice_[slot]) return d;
        if (slots_[slot].ready.load(std::memory_order_acquire) == nullptr) return nullptr;
        Device* d = slots_[slot].ready.exchange(nullptr, std::memory_order_seq_cst);
        if (d != nullptr) adopt(slot, d);
        return d;
    }

    /// The device `number` the engine holds, or null; never takes one from the service.
    Device* held(int number) const {
        const int slot = number - first_;
        return slot >= 0 && slot < kSlots ? engineDevice_[slot] : nullptr;
    }

    /// Calls `f(Device&)` for every device the engine holds (taken from the service).
    template <class F> void forEachInUse(F&& f) {
        for (int i = 0; i < adoptedCount_; ++i)
            f(*engineDevice_[adopted_[i]]);
    }

    /// Any thread (a hint for the manual feeder): a cycle is open.
    bool cycleOpen() const { return cycleOpen_.load(std::memory_order_relaxed); }
    void setCycleOpen() { cycleOpen_.store(true, std::memory_order_relaxed); }

    /// Opens the cycle; every device's use count back to 0.
    void beginCycle() {
        setCycleOpen();
        ++cycle_;
        for (int i = 0; i < adoptedCount_; ++i)
            engineDevice_[adopted_[i]]->uses = 0;
    }
    /// Counts a use of device `number`: true when it is open. Otherwise it is asked for (the
    /// service opens it) and false. False also when no cycle is open.
    bool use(int number) { return take(number) != nullptr; }
    /// As use, giving the open device (null when use would give false).
    Device* take(int number) {
        if (!cycleOpen()) return nullptr;
        const int slot = number - first_;
        if (slot < 0 || slot >= kSlots) return nullptr; // beyond any device list
        if (Device* d = find(number)) {
            ++d->uses;
            return d;
        }
        if (!isAsked_[slot]) {
            isAsked_[slot] = true;
            asked_[askedCount_++] = slot;
        }
        askedInCycle_[slot] = cycle_;
        Slot& s = slots_[slot];
        if (!s.wanted.load(std::memory_order_relaxed)) {
            s.wanted.store(true, std::memory_order_seq_cst);
            requests_.store(true, std::memory_order_release);
        }
        return nullptr;
    }
    /// Gives up every device not used in this cycle and stops asking for devices no longer
    /// named; ends the cycle.
    void endCycle() {
        int kept = 0;
        for (int i = 0; i < adoptedCount_; ++i) {
            const int slot = adopted_[i];
            if (engineDevice_[slot]->uses <= 0) {
                engineDevice_[slot] = nullptr;
                retire(slot);
            } else {
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
        cycleOpen_.store(false, std::memory_order_relaxed);
    }

    // --- Service side: the service thread, or any thread while the engine is stopped; the
    // caller serialises these calls (the manager's service lock). ---------------------------

    /// Closes the devices given up, then opens every device asked for: `open(number)` returns
    /// the opened device or null, `close(Device&)` closes one. Does nothing when `onlyIfAsked`
    /// and nothing was asked for or given up since the last pass.
    template <class Open, class Close> void service(Open&& open, Close&& close, bool onlyIfAsked) {
        if (!requests_.exchange(false, std::memory_order_acq_rel) && onlyIfAsked) return;
        // Closings first: a device given up and asked for again is closed before it reopens.
        drainClosing(close);
        for (int slot = 0; slot < kSlots; ++slot) {
            Slot& s = slots_[slot];
            if (live_[slot] != nullptr || !s.wanted.load(std::memory_order_seq_cst)) continue;
            std::unique_ptr<Device> opened = open(first_ + slot);
            if (!opened) {
                s.wanted.store(false, std::memory_order_relaxed); // the next use asks again
                continue;
            }
            Device* d = opened.get();
            {
                std::lock_guard lock(listMutex_);
                live_[slot] = std::move(opened);
                openOrder_.push_back(first_ + slot);
            }
            s.ready.store(d, std::memory_order_seq_cst);
            // Given up while it was opening: close it, unless the engine has taken it meanwhile.
            if (!s.wanted.load(std::memory_order_seq_cst))
                if (s.ready.exchange(nullptr, std::memory_order_seq_cst) != nullptr)
                    closeSlot(slot, close);
        }
    }

    /// Gives up and closes every device and forgets what was asked for. The engine's side is
    /// reset too, so the engine must be stopped or be the caller.
    template <class Close> void closeAll(Close&& close) {
        for (int i = 0; i < adoptedCount_; ++i)
            engineDevice_[adopted_[i]] = nullptr;
        adoptedCount_ = 0;
        askedCount_ = 0;
        isAsked_.fill(false);
        cycleOpen_.store(false, std::memory_order_relaxed);
        for (int slot = 0; slot < kSlots; ++slot) {
            slots_[slot].wanted.store(false, std::memory_order_relaxed);
            slots_[slot].ready.store(nullptr, std::memory_order_relaxed);
        }
        closingTail_.store(closingHead_.load(std::memory_order_acquire), std::memory_order_relaxed);
        requests_.store(false, std::memory_order_relaxed);
        for (int slot = 0; slot < kSlots; ++slot)
            if (live_[slot] != nullptr) closeSlot(slot, close);
    }

    /// Calls `f(Device&)` for every open device, in order of slot. Service side.
    template <class F> void forEachOpen(F&& f) {
        for (auto& d : live_)
            if (d != nullptr) f(*d);
    }

    // --- Any thread -----------------------------------------------------------------------------

    /// The numbers of the devices open at the driver, in order of opening.
    std::vector<int> openDevices() const {
        std::lock_guard lock(listMutex_);
        return openOrder_;
    }
    /// `f(const Device*)` with the open device `number` (null when not open), which stays open
    /// while `f` runs; returns what `f` returns.
    template <class F> auto withOpen(int number, F&& f) const {
        std::lock_guard lock(listMutex_);
        const int slot = number - first_;
        const Device* d = slot >= 0 && slot < kSlots ? live_[slot].get() : nullptr;
        return f(d);
    }

  private:
    /// What the engine and the service share about one device number.
    struct Slot {
        std::atomic<bool> wanted{false};     // the engine asks for this device
        std::atomic<Device*> ready{nullptr}; // opened by the service, not yet taken by the engine
    };

    void adopt(int slot, Device* d) {
        d->uses = 1; // asked for in this cycle: not given up by its end
        engineDevice_[slot] = d;
        adopted_[adoptedCount_++] = slot;
        if (isAsked_[slot]) {
            isAsked_[slot] = false;
            *std::find(asked_.begin(), asked_.begin() + askedCount_, slot) =
                asked_[askedCount_ - 1];
            --askedCount_;
        }
        slots_[slot].wanted.store(false, std::memory_order_relaxed);
    }
    // Hands the device of `slot` to the service for closing (at most one per slot is open).
    void retire(int slot) {
        const uint32_t head = closingHead_.load(std::memory_order_relaxed);
        closing_[head % kSlots] = slot;
        closingHead_.store(head + 1, std::memory_order_release);
        requests_.store(true, std::memory_order_release);
    }
    void cancel(int slot) {
        Slot& s = slots_[slot];
        // Against the service's publish-then-check: one of the two takes a device opened
        // meanwhile.
        s.wanted.store(false, std::memory_order_seq_cst);
        if (s.ready.exchange(nullptr, std::memory_order_seq_cst) != nullptr) retire(slot);
    }

    template <class Close> void drainClosing(Close& close) {
        uint32_t tail = closingTail_.load(std::memory_order_relaxed);
        const uint32_t head = closingHead_.load(std::memory_order_acquire);
        for (; tail != head; ++tail)
            closeSlot(closing_[tail % kSlots], close);
        closingTail_.store(tail, std::memory_order_release);
    }
    template <class Close> void closeSlot(int slot, Close& close) {
        close(*live_[slot]);
        std::unique_ptr<Device> gone;
        {
            std::lock_guard lock(listMutex_);
            gone = std::move(live_[slot]);
            std::erase(openOrder_, first_ + slot);
        }
    }

    const int first_;

    // Engine thread only.
    std::atomic<bool> cycleOpen_{false};
    std::array<Device*, kSlots> engineDevice_{}; // taken devices, by slot
    std::array<int, kSlots> adopted_{};          // their slots, in order of taking
    int adoptedCount_ = 0;
    std::array<int, kSlots> asked_{}; // slots asked for and not taken yet
    int askedCount_ = 0;
    std::array<bool, kSlots> isAsked_{};
    std::array<uint64_t, kSlots> askedInCycle_{}; // last cycle that asked for each slot
    uint64_t cycle_ = 0;

    // Shared, lock-free and preallocated.
    std::unique_ptr<Slot[]> slots_;
    std::array<int, kSlots> closing_{};    // slots handed over for closing
    std::atomic<uint32_t> closingHead_{0}; // written by the engine
    std::atomic<uint32_t> closingTail_{0}; // written by the service side
    std::atomic<bool> requests_{false};    // the engine asked for or gave up something

    // Service side; written under listMutex_, which other threads read under.
    mutable std::mutex listMutex_;
    std::array<std::unique_ptr<Device>, kSlots> live_; // devices open at the driver, by slot
    std::vector<int> openOrder_;
};

} // namespace kv
