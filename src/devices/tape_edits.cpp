#include "devices/tape_edits.h"

#include <map>
#include <mutex>

#include "devices/gesture_tape.h"
#include "engine/sensor_neuron.h"
#include "modules/module_registry.h"
#include "persistence/text.h"

namespace kv {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
} // namespace

std::string quotedWord(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

double loadLive(const LiveValueRef& ref) {
    switch (ref.type) {
    case LiveValueRef::Real:
        return static_cast<std::atomic<double>*>(ref.address)->load(rlx);
    case LiveValueRef::Integer:
        return static_cast<std::atomic<int>*>(ref.address)->load(rlx);
    case LiveValueRef::Flag:
        return static_cast<std::atomic<bool>*>(ref.address)->load(rlx) ? 1 : 0;
    case LiveValueRef::Byte:
        return static_cast<std::atomic<uint8_t>*>(ref.address)->load(rlx);
    case LiveValueRef::Long:
        return static_cast<double>(static_cast<std::atomic<long>*>(ref.address)->load(rlx));
    }
    return 0;
}

void storeLive(const LiveValueRef& ref, double value) {
    switch (ref.type) {
    case LiveValueRef::Real:
        static_cast<std::atomic<double>*>(ref.address)->store(value, rlx);
        break;
    case LiveValueRef::Integer:
        static_cast<std::atomic<int>*>(ref.address)->store(static_cast<int>(value), rlx);
        break;
    case LiveValueRef::Flag:
        static_cast<std::atomic<bool>*>(ref.address)->store(value != 0, rlx);
        break;
    case LiveValueRef::Byte:
        static_cast<std::atomic<uint8_t>*>(ref.address)->store(static_cast<uint8_t>(value), rlx);
        break;
    case LiveValueRef::Long:
        static_cast<std::atomic<long>*>(ref.address)->store(static_cast<long>(value), rlx);
        break;
    }
}

ModuleEdits::ModuleEdits() : ring_(new Held[kCapacity]) {}

void ModuleEdits::store(Module& m, std::atomic<double>& live, double value) {
    edit(m, {LiveValueRef::Real, &live}, value);
}

void ModuleEdits::store(Module& m, std::atomic<int>& live, int value) {
    edit(m, {LiveValueRef::Integer, &live}, value);
}

void ModuleEdits::store(Module& m, std::atomic<bool>& live, bool value) {
    edit(m, {LiveValueRef::Flag, &live}, value ? 1 : 0);
}

void ModuleEdits::store(Module& m, std::atomic<uint8_t>& live, uint8_t value) {
    edit(m, {LiveValueRef::Byte, &live}, value);
}

void ModuleEdits::edit(Module& m, LiveValueRef ref, double value) {
    if (!holding_.load(rlx)) {
        storeLive(ref, value);
        return;
    }
    // The lines are made against the values the engine will have when this edit applies, held
    // edits before it included.
    bool exact = true;
    const std::vector<KeySetting> settings =
        keySettingsFor(m, *registry_, ref.address, value, exact, &pending_);
    pending_[ref.address] = value;
    Held h{{ref, value}, {}, 0, false};
    if (!settings.empty()) {
        std::string lines;
        for (const KeySetting& s : settings)
            lines += "set " + quotedWord(m.name) + " " + s.key + " " + quotedWord(s.value) + "\n";
        h.text = nextText_++;
        h.hasText = true;
        writer_->queueText(h.text, std::move(lines));
    }
    // A set line names the first module of that name: another module of the same name is not
    // reached by it.
    if (!exact || settings.empty() || !firstOfItsName(m))
        inexact_.store(inexact_.load(rlx) + 1, rlx);
    hold(h);
}

void ModuleEdits::storeSensorPoint(Module& m, long x, long y) {
    if (sensorsFromTape_) return; // a replaying tape places the sensors
    const LiveValueRef rx{LiveValueRef::Long, &m.sensorPointX},
        ry{LiveValueRef::Long, &m.sensorPointY};
    if (!holding_.load(rlx)) {
        storeLive(rx, static_cast<double>(x));
        storeLive(ry, static_cast<double>(y));
        return;
    }
    // Without a window, a sensor's point follows from its stored position: the line gives the
    // position that puts the point where the window has it.
    const SensorPointOffset offset = sensorPointOffset();
    Held h{{rx, static_cast<double>(x)}, {ry, static_cast<double>(y)}, nextText_++, true};
    writer_->queueText(
        h.text,
        "set " + quotedWord(m.name) + " Position " +
            quotedWord(std::to_string(x - offset.dx) + "," + std::to_string(y - offset.dy)) + "\n");
    if (!firstOfItsName(m)) inexact_.store(inexact_.load(rlx) + 1, rlx);
    hold(h);
}

bool ModuleEdits::firstOfItsName(const Module& m) const {
    const Module* first = nullptr;
    registry_->forEachInListOrder([&](Module& other) {
        if (!first && equalsIgnoreCase(other.name, m.name)) first = &other;
    });
    return first == &m;
}

void ModuleEdits::renamed(const std::string& oldName, const std::string& newName) {
    if (!holding_.load(rlx)) return;
    Held h{{{LiveValueRef::Real, nullptr}, 0}, {}, nextText_++, true};
    writer_->queueText(h.text,
                       "set " + quotedWord(oldName) + " Name " + quotedWord(newName) + "\n");
    // A file trims a name's blanks: later lines would name a module the replay does not have.
    if (trim(newName, " \t") != newName) inexact_.store(inexact_.load(rlx) + 1, rlx);
    hold(h);
}

void ModuleEdits::notTaped() {
    if (holding_.load(rlx)) inexact_.store(inexact_.load(rlx) + 1, rlx);
}

void ModuleEdits::hold(const Held& h) {
    const uint32_t tail = tail_.load(rlx);
    if (tail - head_.load(std::memory_order_acquire) >= kCapacity) {
        // The engine has not taken edits for a long while: the held ones are applied here, in
        // order, then this one, so nothing of the user's is lost; the tape cannot place them.
        std::lock_guard lock(consumer_);
        const uint32_t held = tail_.load(rlx) - head_.load(rlx);
        drain(0, false);
        if (h.store.ref.address) storeLive(h.store.ref, h.store.value);
        if (h.second.ref.address) storeLive(h.second.ref, h.second.value);
        inexact_.store(inexact_.load(rlx) + held + 1, rlx);
        return;
    }
    ring_[tail % kCapacity] = h;
    tail_.store(tail + 1, std::memory_order_release);
}

void ModuleEdits::beginTake(const ModuleRegistry& registry, GestureTapeWriter& writer) {
    std::lock_guard lock(consumer_);
    registry_ = &registry;
    writer_ = &writer;
    pending_.clear();
    inexact_.store(0, rlx);
    holding_.store(true, rlx);
}

void ModuleEdits::endTake() {
    std::lock_guard lock(consumer_);
    drain(0, false);
    holding_.store(false, rlx);
    writer_ = nullptr;
}

void ModuleEdits::flush() {
    std::lock_guard lock(consumer_);
    const uint32_t held = tail_.load(rlx) - head_.load(rlx);
    drain(0, false);
    if (held > 0) inexact_.store(inexact_.load(rlx) + held, rlx);
}

void ModuleEdits::drain(uint64_t sample, bool toTape) {
    uint32_t head = head_.load(rlx);
    const uint32_t tail = tail_.load(std::memory_order_acquire);
    for (; head != tail; ++head) {
        const Held& h = ring_[head % kCapacity];
        if (h.store.ref.address) storeLive(h.store.ref, h.store.value);
        if (h.second.ref.address) storeLive(h.second.ref, h.second.value);
        if (toTape && h.hasText)
            writer_->push({sample, TapeEvent::Set, static_cast<int32_t>(h.text)});
    }
    head_.store(head, std::memory_order_release);
}

void ModuleEdits::applyHeld(uint64_t sample) noexcept {
    if (!holding_.load(rlx)) return;
    if (tail_.load(rlx) == head_.load(rlx)) return;
    if (!consumer_.try_lock()) return;
    if (holding_.load(rlx)) drain(sample, true);
    consumer_.unlock();
}

bool resolveTapeSets(ModuleRegistry& registry, const std::vector<TapeSetLine>& lines,
                     std::vector<TapeEvent>& events, std::vector<LiveStore>& stores,
                     std::string& error) {
    std::map<void*, LiveStore> original; // every live value touched, as it was
    std::map<Module*, std::string> names;
    registry.forEachInListOrder([&](Module& m) { names[&m] = m.name; });
    auto putBack = [&] {
        for (const auto& [address, s] : original)
            storeLive(s.ref, s.value);
        for (const auto& [m, name] : names)
            if (m->name != name) registry.renameModule(m, name);
    };
    for (const TapeSetLine& l : lines) {
        const std::string where = "line " + std::to_string(l.line) + ": ";
        Module* module = nullptr;
        registry.forEachInListOrder([&](Module& m) {
            if (!module && equalsIgnoreCase(m.name, l.module)) module = &m;
        });
        if (!module || !hasModuleKey(*module, l.key)) {
            error = where + (module ? "module '" + l.module + "' has no key '" + l.key + "'"
                                    : "no module named '" + l.module + "' in the patch");
            putBack();
            return false;
        }
        if (equalsIgnoreCase(l.key, "Position")) {
            // A sensor's position gives its point, which the player sets at the line's sample;
            // the places of other modules make no sound.
            if (module->type() != Module_ControlSensor) continue;
            const long x = module->positionX, y = module->positionY;
            setModuleKey(*module, registry, l.key, l.value);
            const SensorPointOffset offset = sensorPointOffset();
            const LiveValueRef rx{LiveValueRef::Long, &module->sensorPointX};
            const LiveValueRef ry{LiveValueRef::Long, &module->sensorPointY};
            events.push_back({l.sample, TapeEvent::Set, static_cast<int32_t>(stores.size()), 2});
            stores.push_back({rx, static_cast<double>(module->positionX + offset.dx)});
            stores.push_back({ry, static_cast<double>(module->positionY + offset.dy)});
            module->positionX = x;
            module->positionY = y;
            continue;
        }
        const std::vector<LiveValueRef> refs = liveValuesOfKey(*module, l.key);
        const bool rename = equalsIgnoreCase(l.key, "Name");
        if (refs.empty() && !rename) {
            error = where + "'" + l.key +
                    "' edits are not played live; render the tape with kalvitrope-cli";
            putBack();
            return false;
        }
        for (const LiveValueRef& r : refs)
            original.try_emplace(r.address, LiveStore{r, loadLive(r)});
        setModuleKey(*module, registry, l.key, l.value);
        TapeEvent e{l.sample, TapeEvent::Set, static_cast<int32_t>(stores.size()),
                    static_cast<int32_t>(refs.size())};
        for (const LiveValueRef& r : refs)
            stores.push_back({r, loadLive(r)});
        events.push_back(e);
    }
    putBack();
    return true;
}

} // namespace kv
