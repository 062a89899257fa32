#include "platform/midi_in_rtmidi.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "platform/backend_handles.h"

#ifdef KV_HAVE_RTMIDI
#include <RtMidi.h>
#endif

namespace kv::platform {

#ifdef KV_HAVE_RTMIDI

namespace {

// RtMidi's own messages (a server that went away, a port that vanished) are not the user's
// business here: a device that fails is simply not open. A lister notes that one came.
void quiet(RtMidiError::Type, const std::string&, void*) {}
void noteError(RtMidiError::Type, const std::string&, void* failed) {
    *static_cast<bool*>(failed) = true;
}

} // namespace

struct RtMidiInput::Impl {
    struct Lister {
        RtMidi::Api api;
        std::unique_ptr<::RtMidiIn> in;
    };
    struct Entry {
        RtMidi::Api api;
        unsigned port;
        std::string name;
    };
    struct Port {
        Handle handle = kNoHandle;
        std::unique_ptr<::RtMidiIn> in;
        MidiInListener* listener = nullptr;
        std::atomic<bool> started{false};

        static void callback(double, std::vector<unsigned char>* message, void* user) {
            auto* p = static_cast<Port*>(user);
            if (!message || message->empty() || !p->started.load(std::memory_order_acquire)) return;
            const auto& m = *message;
            p->listener->midiMessage(m[0], m.size() > 1 ? m[1] : 0, m.size() > 2 ? m[2] : 0);
        }

        // Stops the messages and waits for a callback in progress (any thread but the MIDI one):
        // the listener may go once this returns. RtMidi's cancelCallback cannot do it: it clears
        // the callback and its data while the MIDI thread may be between checking and calling
        // them (a call through null). Deleting the client closes the port, then closes the JACK
        // client (which waits for its process cycle) or joins the ALSA input thread.
        void shut() {
            started.store(false, std::memory_order_release);
            in.reset();
        }
        ~Port() { shut(); }
    };

    RtMidiInputOptions options;
    std::mutex mutex; // guards everything below
    std::vector<Lister> listers;
    std::vector<Entry> entries;
    OpenBackoff backoff;
    HandlePool<Port> ports;

    static std::unique_ptr<::RtMidiIn> make(RtMidi::Api api, const std::string& name) {
        try {
            auto in = std::make_unique<::RtMidiIn>(api, name);
            in->setErrorCallback(&quiet, nullptr);
            return in;
        } catch (const std::exception&) {
            return nullptr; // that MIDI system is not there
        }
    }

    // mutex held: the ports of every system, ALSA first.
    void refresh() {
        entries.clear();
        for (auto& l : listers) {
            try {
                const unsigned n = l.in->getPortCount();
                for (unsigned i = 0; i < n; ++i)
                    entries.push_back({l.api, i, l.in->getPortName(i)});
            } catch (const std::exception&) {
            }
        }
    }
};

RtMidiInput::RtMidiInput(std::string_view api, RtMidiInputOptions options)
    : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
    std::vector<RtMidi::Api> wanted;
    if (api == "alsa")
        wanted = {RtMidi::LINUX_ALSA};
    else if (api == "jack")
        wanted = {RtMidi::UNIX_JACK};
    else if (api != "null")
        wanted = {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK};
    std::vector<RtMidi::Api> compiled;
    RtMidi::getCompiledApi(compiled);
    for (RtMidi::Api a : wanted) {
        if (std::find(compiled.begin(), compiled.end(), a) == compiled.end()) continue;
        // Without the sequencer device the ALSA client cannot exist; asking would only print.
        if (a == RtMidi::LINUX_ALSA && ::access("/dev/snd/seq", F_OK) != 0) continue;
        auto in = Impl::make(a, impl_->options.clientName);
        if (!in) continue;
        // A system that does not answer the first listing (no JACK server) is left out for good,
        // so it is not asked, and its client library does not complain, again and again.
        bool failed = false;
        in->setErrorCallback(&noteError, &failed);
        try {
            in->getPortCount();
        } catch (const std::exception&) {
            failed = true;
        }
        in->setErrorCallback(&quiet, nullptr);
        if (!failed) impl_->listers.push_back({a, std::move(in)});
    }
}

RtMidiInput::~RtMidiInput() = default; // each port shuts as it goes

int RtMidiInput::deviceCount() {
    std::lock_guard lock(impl_->mutex);
    impl_->refresh();
    return static_cast<int>(impl_->entries.size());
}

std::optional<std::string> RtMidiInput::deviceName(int device) {
    std::lock_guard lock(impl_->mutex);
    if (device < 0 || device >= static_cast<int>(impl_->entries.size())) impl_->refresh();
    if (device < 0 || device >= static_cast<int>(impl_->entries.size())) return std::nullopt;
    return impl_->entries[static_cast<std::size_t>(device)].name;
}

MidiIn::Handle RtMidiInput::open(int device, MidiInListener& listener) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->listers.empty() || impl_->backoff.active(device)) return kNoHandle;
    impl_->refresh();
    if (device < 0 || device >= static_cast<int>(impl_->entries.size())) {
        impl_->backoff.failed(device);
        return kNoHandle;
    }
    const Impl::Entry entry = impl_->entries[static_cast<std::size_t>(device)];
    auto port = std::make_unique<Impl::Port>();
    port->listener = &listener;
    port->in = Impl::make(entry.api, impl_->options.clientName);
    bool opened = false;
    if (port->in) {
        try {
            port->in->ignoreTypes(true, true, true);
            port->in->setCallback(&Impl::Port::callback, port.get());
            // The port list of this new client, in case ports came or went meanwhile.
            const unsigned n = port->in->getPortCount();
            for (unsigned i = 0; i < n && !opened; ++i)
                if (port->in->getPortName(i) == entry.name) {
                    port->in->openPort(i, "input " + std::to_string(device));
                    opened = port->in->isPortOpen();
                }
        } catch (const std::exception&) {
            opened = false;
        }
    }
    if (!opened) {
        impl_->backoff.failed(device);
        return kNoHandle;
    }
    return impl_->ports.add(std::move(port));
}

void RtMidiInput::start(Handle handle) {
    std::lock_guard lock(impl_->mutex);
    if (Impl::Port* p = impl_->ports.find(handle))
        p->started.store(true, std::memory_order_release);
}

void RtMidiInput::close(Handle handle) {
    std::unique_ptr<Impl::Port> port;
    {
        std::lock_guard lock(impl_->mutex);
        port = impl_->ports.take(handle);
    }
    if (port) port->shut();
}

#else // no RtMidi in this build: no MIDI ports

struct RtMidiInput::Impl {};
RtMidiInput::RtMidiInput(std::string_view, RtMidiInputOptions) : impl_(std::make_unique<Impl>()) {}
RtMidiInput::~RtMidiInput() = default;
int RtMidiInput::deviceCount() {
    return 0;
}
std::optional<std::string> RtMidiInput::deviceName(int) {
    return std::nullopt;
}
MidiIn::Handle RtMidiInput::open(int, MidiInListener&) {
    return kNoHandle;
}
void RtMidiInput::start(Handle) {}
void RtMidiInput::close(Handle) {}

#endif

} // namespace kv::platform
