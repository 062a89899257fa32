#include "instrument/instrument.h"
#include "platform/audio_in_rtaudio.h"
#include "platform/audio_in_scripted.h"
#include "platform/audio_out_rtaudio.h"
#include "platform/library_messages.h"
#include "platform/midi_in_rtmidi.h"
#include "platform/midi_in_scripted.h"
#include "platform/thread_priority.h"

namespace kv {

InstrumentBackends liveBackends(const std::string& api, const std::string& mouseBackend,
                                bool desktopMouse, std::string& unavailable) {
    return liveBackends(platform::makeAudioOut(api), api, mouseBackend, desktopMouse, unavailable);
}

InstrumentBackends liveBackends(std::unique_ptr<platform::AudioOut> audioOut,
                                const std::string& api, const std::string& mouseBackend,
                                bool desktopMouse, std::string& unavailable) {
    InstrumentBackends b;
    b.audioOut = std::move(audioOut);
    // MIDI keyboards and sound-card inputs of the same sound system; the silent one lists quiet
    // scripted inputs, so that its device lists can be shown and tried without any hardware.
    if (api == "null") {
        b.midiIn = std::make_unique<platform::ScriptedMidiIn>();
        b.audioIn = std::make_unique<platform::ScriptedAudioIn>();
    } else {
        {
            const platform::QuietStderr quiet; // RtMidi warns there when no JACK server runs
            b.midiIn = std::make_unique<platform::RtMidiInput>(api);
        }
        b.audioIn = std::make_unique<platform::RtAudioIn>(api);
    }
    if (desktopMouse) b.mouse = platform::makeMouseBackend(unavailable, mouseBackend);
    b.raisePriority = platform::raiseCurrentThreadPriority;
    return b;
}

} // namespace kv
