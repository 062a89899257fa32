#include "devices/gesture_tape.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "devices/midi_input_manager.h"
#include "devices/wave_input_manager.h"
#include "engine/audio_input.h"
#include "modules/control_table.h"
#include "modules/module_controls.h"
#include "mouse/mouse_input.h"

namespace kv {

namespace {
constexpr auto rlx = std::memory_order_relaxed;
constexpr const char* kButtonNames[] = {"left", "middle", "right", "x1", "x2"};
} // namespace

std::string tapeInputFileName(const std::string& tapePath, int device) {
    std::string name = tapePath.substr(tapePath.rfind('/') + 1);
    if (name.size() > kTapeExtension.size() &&
        name.compare(name.size() - kTapeExtension.size(), kTapeExtension.size(), kTapeExtension) ==
            0)
        name.resize(name.size() - kTapeExtension.size());
    return name + " input " + (device == -1 ? std::string("default") : std::to_string(device)) +
           ".wav";
}

std::string tapeLine(const TapeEvent& e, const std::string& tapePath) {
    char line[96];
    const auto s = static_cast<unsigned long long>(e.sample);
    switch (e.kind) {
    case TapeEvent::Cursor:
        std::snprintf(line, sizeof line, "%llu cursor %d %d\n", s, e.a, e.b);
        break;
    case TapeEvent::Button:
        std::snprintf(line, sizeof line, "%llu button %s %s\n", s,
                      kButtonNames[std::clamp(e.a, 0, 4)], e.b ? "down" : "up");
        break;
    case TapeEvent::Wheel:
        std::snprintf(line, sizeof line, "%llu wheel %s %d\n", s, e.b ? "horizontal" : "vertical",
                      e.a);
        break;
    case TapeEvent::Midi:
        std::snprintf(line, sizeof line, "%llu midi %d %02x %02x %02x\n", s, e.a, e.b & 0xFF,
                      e.c & 0xFF, e.d & 0xFF);
        break;
    case TapeEvent::AudioIn: {
        // Where the read begins in the file, in samples: 192 per read.
        std::snprintf(line, sizeof line, " %lld %d\n", static_cast<long long>(e.b) * 192, e.c);
        return std::to_string(s) + " audioin " + std::to_string(e.a) + " " +
               quotedWord(tapeInputFileName(tapePath, e.a)) + line;
    }
    case TapeEvent::Set:
        return {};
    case TapeEvent::Rate:
        std::snprintf(line, sizeof line, "%llu rate %d\n", s, e.a);
        break;
    }
    return line;
}

uint64_t patchChecksum(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    const std::size_t eol = text.find('\n');
    text = eol == std::string_view::npos ? std::string_view{} : text.substr(eol + 1);
    uint64_t h = 14695981039346656037ull;
    for (char c : text) {
        if (c == '\r') continue;
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return h;
}

std::string tapeHeaderText(const TapeHeader& h) {
    char numbers[160];
    std::string text = "# Kalvitrope gesture tape: replay with kalvitrope-cli render --patch " +
                       quotedWord(h.patchFile) + " --script TAPE --out FILE.wav\n";
    std::snprintf(numbers, sizeof numbers, "0 tape %d ", kTapeVersion);
    text += numbers + quotedWord(h.patchFile);
    std::snprintf(numbers, sizeof numbers,
                  " %016llx\n0 desktop %ld %ld %ld %ld\n0 origin %ld %ld\n0 rate %ld\n",
                  static_cast<unsigned long long>(h.checksum), h.left, h.top, h.right, h.bottom,
                  h.originX, h.originY, h.rate);
    return text + numbers;
}

std::string tapePartPath(const std::string& tapePath) {
    return tapePath + ".part";
}

// ---------------------------------------------------------------------------------------------
// Writer

GestureTapeWriter::GestureTapeWriter() : ring_(new TapeEvent[kCapacity]) {}

GestureTapeWriter::~GestureTapeWriter() {
    if (recording()) {
        std::string unused;
        stop(0, unused);
    }
}

bool GestureTapeWriter::start(const std::string& path, const std::string& headerText,
                              std::string& error) {
    if (recording() || thread_.running()) {
        error = "a gesture tape is already recording";
        return false;
    }
    const std::string part = tapePartPath(path);
    fd_ = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = std::strerror(errno);
        return false;
    }
    path_ = path;
    error_ = 0;
    lastSample_ = 0;
    {
        std::lock_guard lock(textMutex_);
        texts_.clear();
    }
    lost_.store(0, rlx);
    head_.store(0, rlx);
    tail_.store(0, rlx);
    if (!writeAll(headerText)) {
        error = std::strerror(error_);
        ::close(fd_);
        fd_ = -1;
        ::unlink(part.c_str());
        return false;
    }
    recording_.store(true, std::memory_order_release);
    thread_.start([this] { drain(); });
    return true;
}

void GestureTapeWriter::push(const TapeEvent& e) noexcept {
    if (!recording_.load(rlx)) return;
    const uint32_t tail = tail_.load(rlx);
    if (tail - head_.load(std::memory_order_acquire) >= kCapacity) {
        lost_.store(lost_.load(rlx) + 1, rlx);
        return;
    }
    ring_[tail % kCapacity] = e;
    tail_.store(tail + 1, std::memory_order_release);
}

void GestureTapeWriter::queueText(uint32_t number, std::string lines) {
    std::lock_guard lock(textMutex_);
    texts_.push_back({number, std::move(lines)});
}

void GestureTapeWriter::appendSetLines(const TapeEvent& e) {
    std::string text;
    {
        std::lock_guard lock(textMutex_);
        // Texts of events the queue lost are passed over.
        while (!texts_.empty() && texts_.front().number != static_cast<uint32_t>(e.a))
            texts_.pop_front();
        if (texts_.empty()) return;
        text = std::move(texts_.front().lines);
        texts_.pop_front();
    }
    const std::string time = std::to_string(e.sample) + " ";
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t eol = std::min(text.find('\n', at), text.size());
        lines_ += time;
        lines_.append(text, at, eol - at);
        lines_ += '\n';
        at = eol + 1;
    }
}

bool GestureTapeWriter::writeAll(std::string_view bytes) {
    while (!bytes.empty() && error_ == 0) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno != EINTR) error_ = errno;
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return error_ == 0;
}

bool GestureTapeWriter::drain() {
    lines_.clear();
    uint32_t head = head_.load(rlx);
    const uint32_t tail = tail_.load(std::memory_order_acquire);
    for (; head != tail; ++head) {
        const TapeEvent& e = ring_[head % kCapacity];
        if (e.kind == TapeEvent::Set)
            appendSetLines(e);
        else
            lines_ += tapeLine(e, path_);
        lastSample_ = std::max(lastSample_, e.sample);
    }
    head_.store(head, std::memory_order_release);
    return writeAll(lines_);
}

bool GestureTapeWriter::stop(uint64_t endSample, std::string& error,
                             std::vector<TapeEvent> closing) {
    if (!thread_.running()) {
        error = "no gesture tape is recording";
        return false;
    }
    recording_.store(false, std::memory_order_release);
    thread_.stop();
    drain();
    // An event of the engine's last cycle may lie beyond the end the caller saw.
    endSample = std::max(endSample, lastSample_);
    for (TapeEvent& e : closing) {
        e.sample = endSample;
        writeAll(tapeLine(e, path_));
    }
    writeAll(std::to_string(endSample) + " end\n");
    if (error_ == 0 && ::fsync(fd_) != 0) error_ = errno;
    if (::close(fd_) != 0 && error_ == 0) error_ = errno;
    fd_ = -1;
    const std::string part = tapePartPath(path_);
    if (error_ == 0 && std::rename(part.c_str(), path_.c_str()) != 0) error_ = errno;
    if (error_ != 0) {
        error = std::strerror(error_);
        return false;
    }
    // The rename is durable once the folder is.
    const std::size_t slash = path_.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Recorder

void GestureTapeRecorder::begin() {
    nextPass_ = mouse_.consumedPasses();
    vertical_ = mouse_.hook.verticalDeltas.load(rlx);
    horizontal_ = mouse_.hook.horizontalDeltas.load(rlx);
    std::fill(std::begin(down_), std::end(down_), false);
    endSample_.store(0, rlx);
    lostPasses_.store(0, rlx);
    if (midi_) midi_->setDeferred(true);
}

void GestureTapeRecorder::end() {
    if (midi_) midi_->setDeferred(false);
}

uint64_t GestureTapeRecorder::beforeSample(uint64_t sample) {
    if (edits_) edits_->applyHeld(sample);
    // At a rate of 0 there are no control samples, but edits and rate changes still come.
    if (sample + 1 > endSample_.load(rlx)) endSample_.store(sample + 1, rlx);
    return kNoSample;
}

void GestureTapeRecorder::beforeMouseRows(uint64_t sample) {
    if (edits_) edits_->applyHeld(sample);
}

void GestureTapeRecorder::rateTaken(uint64_t sample, double rate) {
    if (rate == rate_) return;
    rate_ = rate;
    writer_.push({sample, TapeEvent::Rate, static_cast<int32_t>(std::lround(rate))});
}

void GestureTapeRecorder::midiSink(void* self, int device, uint8_t status, uint8_t data1,
                                   uint8_t data2) {
    auto& r = *static_cast<GestureTapeRecorder*>(self);
    r.writer_.push({r.sample_, TapeEvent::Midi, device, status, data1, data2});
}

void GestureTapeRecorder::controlSample(uint64_t sample) {
    sample_ = sample;
    // Sampler passes the mouse rows took in since the previous control sample: their wheel
    // deltas, then their cursor.
    const uint64_t passes = mouse_.consumedPasses();
    if (passes - nextPass_ > static_cast<uint64_t>(MouseInput::kPassLog)) {
        lostPasses_.store(lostPasses_.load(rlx) + (passes - nextPass_ - MouseInput::kPassLog), rlx);
        nextPass_ = passes - MouseInput::kPassLog;
    }
    auto wheel = [&](int64_t& recorded, int64_t now, int32_t horizontal) {
        // The hook takes a delta as a signed 16-bit number: large sums go in several lines.
        while (recorded != now) {
            const int64_t step = std::clamp<int64_t>(now - recorded, -32768, 32767);
            writer_.push({sample, TapeEvent::Wheel, static_cast<int32_t>(step), horizontal});
            recorded += step;
        }
    };
    for (; nextPass_ < passes; ++nextPass_) {
        const MouseInput::PassReading p = mouse_.passReading(nextPass_);
        wheel(vertical_, p.verticalDeltas, 0);
        wheel(horizontal_, p.horizontalDeltas, 1);
        writer_.push(
            {sample, TapeEvent::Cursor, static_cast<int32_t>(p.x), static_cast<int32_t>(p.y)});
    }
    for (int b = 0; b < kMouseButtons; ++b) {
        const bool held = mouse_.consumedButton(b);
        if (held == down_[b]) continue;
        down_[b] = held;
        writer_.push({sample, TapeEvent::Button, b, held ? 1 : 0});
    }
    if (midi_) midi_->applyHeld(&midiSink, this);
    endSample_.store(sample + 1, rlx);
}

void GestureTapePlayer::load(std::vector<TapeEvent> events, uint64_t endSample,
                             const platform::DesktopRect& desktop, std::vector<LiveStore> stores,
                             std::atomic<double>* controlRate) {
    events_.clear();
    edits_.clear();
    for (const TapeEvent& e : events)
        (e.kind == TapeEvent::Set || e.kind == TapeEvent::Rate ? edits_ : events_).push_back(e);
    std::stable_sort(edits_.begin(), edits_.end(),
                     [](const TapeEvent& a, const TapeEvent& b) { return a.sample < b.sample; });
    next_ = 0;
    nextEdit_ = 0;
    input_.clear();
    nextInput_ = 0;
    inputModules_.clear();
    stores_ = std::move(stores);
    controlRate_ = controlRate;
    end_ = endSample;
    started_ = false;
    desktop_ = desktop;
    x_ = (desktop.left + desktop.right) / 2;
    y_ = (desktop.top + desktop.bottom) / 2;
    finished_.store(false, rlx);
}

void GestureTapePlayer::loadInput(std::vector<TapeInputDelivery> deliveries,
                                  std::vector<Module*> modules) {
    input_ = std::move(deliveries);
    nextInput_ = 0;
    inputModules_ = std::move(modules);
}

void deliverTapeInput(const TapeInputDelivery& d, const std::vector<Module*>& modules) {
    for (Module* m : modules) {
        if (!m->state || AudioInputControls{*m}.inputDeviceId().code.load(rlx) != d.device)
            continue;
        appendCapturedAudio(m->stateAs<AudioInputState>(), d.samples,
                            d.samples + WaveInputManager::kBlockSamples);
    }
}

bool GestureTapePlayer::cursorPosition(long& x, long& y) {
    x = x_;
    y = y_;
    return true;
}

void GestureTapePlayer::warpCursor(long x, long y) {
    x_ = x;
    y_ = y;
}

uint64_t GestureTapePlayer::beforeSample(uint64_t sample) {
    if (finished_.load(rlx)) return kNoSample;
    if (!started_) {
        started_ = true;
        base_ = sample;
    }
    const uint64_t now = sample - base_;
    for (; nextEdit_ < edits_.size() && edits_[nextEdit_].sample <= now; ++nextEdit_) {
        const TapeEvent& e = edits_[nextEdit_];
        if (e.kind == TapeEvent::Rate) {
            if (controlRate_) controlRate_->store(e.a, rlx);
            continue;
        }
        const auto first = static_cast<std::size_t>(e.a);
        for (std::size_t i = first; i < first + static_cast<std::size_t>(e.b) && i < stores_.size();
             ++i)
            storeLive(stores_[i].ref, stores_[i].value);
    }
    for (; nextInput_ < input_.size() && input_[nextInput_].sample <= now; ++nextInput_)
        deliverTapeInput(input_[nextInput_], inputModules_);
    checkFinished(now);
    uint64_t next = kNoSample;
    if (nextEdit_ < edits_.size()) next = base_ + edits_[nextEdit_].sample;
    if (nextInput_ < input_.size()) next = std::min(next, base_ + input_[nextInput_].sample);
    return next;
}

void GestureTapePlayer::checkFinished(uint64_t now) {
    if (next_ == events_.size() && nextEdit_ == edits_.size() && nextInput_ == input_.size() &&
        now + 1 >= end_)
        finished_.store(true, std::memory_order_release);
}

void GestureTapePlayer::beforeMouseRows(uint64_t sample) {
    if (finished_.load(rlx)) return;
    if (!started_) {
        started_ = true;
        base_ = sample;
    }
    const uint64_t now = sample - base_;
    for (; next_ < events_.size() && events_[next_].sample <= now; ++next_) {
        const TapeEvent& e = events_[next_];
        switch (e.kind) {
        case TapeEvent::Cursor:
            x_ = e.a;
            y_ = e.b;
            mouse_.noteCursor(x_, y_);
            sampler_.pass(*this);
            break;
        case TapeEvent::Button: {
            static constexpr HookMessage kDown[] = {HookMessage::LeftDown, HookMessage::MiddleDown,
                                                    HookMessage::RightDown, HookMessage::XDown,
                                                    HookMessage::XDown};
            static constexpr HookMessage kUp[] = {HookMessage::LeftUp, HookMessage::MiddleUp,
                                                  HookMessage::RightUp, HookMessage::XUp,
                                                  HookMessage::XUp};
            const int b = std::clamp(e.a, 0, 4);
            mouse_.hook.applyEvent(e.b ? kDown[b] : kUp[b], static_cast<int16_t>(b == 3   ? 1
                                                                                 : b == 4 ? 2
                                                                                          : 0));
            break;
        }
        case TapeEvent::Wheel:
            mouse_.hook.applyEvent(e.b ? HookMessage::HWheel : HookMessage::Wheel,
                                   static_cast<int16_t>(e.a));
            break;
        case TapeEvent::Midi:
            if (midi_)
                midi_->inject(e.a, static_cast<uint8_t>(e.b), static_cast<uint8_t>(e.c),
                              static_cast<uint8_t>(e.d));
            break;
        case TapeEvent::AudioIn:
            break; // recorded input is rendered offline only
        case TapeEvent::Set:
        case TapeEvent::Rate:
            break;
        }
    }
    checkFinished(now);
}

void resetMouseForTake(MouseInput& mouse, ControlTable& table) {
    for (int i = 0; i < kMetricSources; ++i)
        mouse.metrics.set(i, 0.0);
    mouse.metrics.theta.store(0.0, rlx);
    mouse.metrics.totalDistance.store(0.0, rlx);
    for (auto* w : {&mouse.hook.vertical, &mouse.hook.verticalPrevious, &mouse.hook.horizontal,
                    &mouse.hook.horizontalPrevious})
        w->store(0.0, rlx);
    mouse.resetConsumed();
    for (int r = kMouseRowBase; r < kRowCount; ++r) {
        ControlRow& row = table.rows[r];
        row = ControlRow{};
        row.voiceCount = 1;
        std::fill(std::begin(row.noteId), std::end(row.noteId), static_cast<uint8_t>(r));
        std::fill(std::begin(row.velocity), std::end(row.velocity), 127.0);
        std::fill(std::begin(row.velocitySmoothed), std::end(row.velocitySmoothed), 127.0);
    }
}

} // namespace kv
