// The block engine against the per-sample reference: every built-in preset with its gesture, and
// generated patches (random types, wiring with feedback and self-reads, control rates, script
// events, set lines, modules added and removed while playing), must play the same frames on
// every output device and leave the same control table at every probed sample.
//
// A longer run: KV_DIFF_PATCHES=5000 KV_DIFF_SEED=1 build/release/tests/test_cli
//     --gtest_filter='BlockEngine.*'
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <sstream>

#include "cli/preset_gestures.h"
#include "cli/session.h"
#include "instrument/script.h"
#include "modules/module_registry.h"
#include "persistence/language.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

struct Played {
    std::vector<int16_t> frames[10]; // devices −1..8
    std::vector<uint64_t> tables;    // a digest of the control table at every probed sample
};

uint64_t digest(const ControlTable& t) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&](const void* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            h = (h ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
    };
    for (const ControlRow& r : t.rows) {
        mix(&r.voiceCount, 1);
        const std::size_t n = r.voiceCount > kVoices ? kVoices : r.voiceCount;
        mix(r.noteId, n);
        mix(r.primary, n * 8);
        mix(r.primarySmoothed, n * 8);
        mix(r.velocity, n * 8);
        mix(r.velocitySmoothed, n * 8);
        mix(r.meterPeak, n * 8);
    }
    return h;
}

// Plays `samples` samples; `setUp` builds the patch and returns the script's text, `betweenCycles`
// (may be empty) changes the patch before a cycle.
Played play(bool block, uint64_t samples,
            const std::function<std::string(cli::OfflineSession&)>& setUp,
            const std::function<void(cli::OfflineSession&, int cycle)>& betweenCycles = {},
            const std::string& soundFolder = {}) {
    Played out;
    cli::OfflineSession session;
    session.engine().setBlockEvaluation(block);
    const std::string text = setUp(session);
    Script script;
    std::string error;
    EXPECT_TRUE(parseScript(text, script, error)) << error;
    if (!soundFolder.empty()) findSoundFilesBeside(script, soundFolder);
    EXPECT_TRUE(session.useScript(script, error)) << error;
    session.capture().setSink([&](int device, const int16_t* frames, int64_t count) {
        out.frames[device + 1].insert(out.frames[device + 1].end(), frames, frames + 2 * count);
    });
    session.onSampleEvery = 97;
    session.onSample = [&](uint64_t s) {
        if (s % 97 == 0) out.tables.push_back(digest(session.state().table));
    };
    int cycle = 0;
    session.run([&] {
        if (betweenCycles) betweenCycles(session, cycle);
        ++cycle;
        return session.engine().sampleCounter() >= samples;
    });
    session.capture().setSink(nullptr);
    return out;
}

// Where two plays part: empty when they are the same.
std::string firstDifference(const Played& a, const Played& b) {
    for (int d = 0; d < 10; ++d) {
        const auto& x = a.frames[d];
        const auto& y = b.frames[d];
        if (x == y) continue;
        std::size_t i = 0;
        while (i < x.size() && i < y.size() && x[i] == y[i])
            ++i;
        return "device " + std::to_string(d - 1) + " differs from frame " + std::to_string(i / 2) +
               " (" + std::to_string(x.size() / 2) + " and " + std::to_string(y.size() / 2) +
               " frames)";
    }
    for (std::size_t i = 0; i < a.tables.size() || i < b.tables.size(); ++i)
        if (i >= a.tables.size() || i >= b.tables.size() || a.tables[i] != b.tables[i])
            return "control table differs at sample " + std::to_string(i * 97);
    return {};
}

class BlockEngine : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { languages().initLanguages({}); }
};

TEST_F(BlockEngine, EveryPresetPlaysTheSameWithItsGesture) {
    const fs::path dir = fs::temp_directory_path() / ("kv_block_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    test::writeVoiceWav((dir / "voice.wav").string()); // the voice a preset's own script names
    for (const PresetInfo& p : presetTable()) {
        if (!presetAvailable(p)) continue;
        auto setUp = [&](cli::OfflineSession& s) {
            std::string error;
            EXPECT_TRUE(s.loadPatch({"", std::to_string(p.resource)}, error)) << error;
            return test::presetScript(p, dir);
        };
        const uint64_t samples = 3 * 48000;
        const Played blocks = play(true, samples, setUp, {}, dir.string());
        const Played reference = play(false, samples, setUp, {}, dir.string());
        EXPECT_GE(blocks.frames[0].size(), 2 * samples * 9 / 10) << "preset " << p.resource;
        EXPECT_EQ(firstDifference(blocks, reference), "") << "preset " << p.resource;
    }
    fs::remove_all(dir);
}

// A random patch of `seed`: its modules, their wiring and settings, and a script with events at
// random samples.
struct Generated {
    uint32_t seed;
    uint64_t samples = 9600;

    std::string setUp(cli::OfflineSession& s) const {
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        ModuleRegistry& reg = s.registry();
        const int count = 1 + pick(14);
        for (int i = 0; i < count; ++i) {
            // Mostly oscillators, which are evaluated in blocks, among every other type.
            int type = pick(3) ? Module_AudioOsc : pick(kTypeCount);
            if (type == Module_AudioWaveWriter) type = Module_AudioOsc;
            reg.createModule(type, "M" + std::to_string(i), ModuleRegistry::outputLabels(type), "");
        }
        for (int type = 0; type < kTypeCount; ++type)
            for (Module* m : reg.modules(type))
                wire(*m, reg, rng);
        const double rates[] = {0, 100, 1000, 4000, 4000, 48000};
        s.state().settings.controlRate.store(rates[pick(6)]);

        std::ostringstream script;
        for (int e = 0; e < 12; ++e) {
            const uint64_t at = rng() % samples;
            switch (pick(6)) {
            case 0:
                script << at << " midi 0 90 " << std::hex << 40 + pick(40) << " 7F" << std::dec
                       << '\n';
                break;
            case 1:
                script << at << " midi 0 80 " << std::hex << 40 + pick(40) << " 00" << std::dec
                       << '\n';
                break;
            case 2:
                script << at << " cursor " << pick(1920) << ' ' << pick(1080) << '\n';
                break;
            case 3:
                script << at << " rate " << rates[pick(6)] << '\n';
                break;
            default: {
                const std::string line = setLine(reg, rng);
                if (!line.empty()) script << at << ' ' << line << '\n';
            }
            }
        }
        return script.str();
    }

    // Sources: manual values, none, any module's row (its own too) or a mouse row.
    static int anyRow(const ModuleRegistry& reg, std::mt19937& rng) {
        std::vector<int> rows;
        for (int type = 0; type < kTypeCount; ++type)
            for (Module* m : reg.modules(type))
                for (int r : {m->outputRow, m->secondOutputRow})
                    if (r >= 0 && r < kModuleRows) rows.push_back(r);
        if (rows.empty() || rng() % 4 == 0)
            return kMouseRowBase + static_cast<int>(rng() % kMouseRowCount);
        return rows[rng() % rows.size()];
    }

    static void wire(Module& m, const ModuleRegistry& reg, std::mt19937& rng) {
        std::uniform_real_distribution<double> unit(0, 1);
        for (InputSliderSlot& in : m.inputSliders) {
            if (!in.def) continue;
            const double u = unit(rng);
            in.source = u < 0.5 ? kSourceManual : u < 0.6 ? kSourceNone : anyRow(reg, rng);
            in.manual = in.def->minimum + unit(rng) * (in.def->maximum - in.def->minimum);
            in.sensitivity = unit(rng) * 200;
        }
        for (ControlInputSlot& in : m.controlInputs)
            if (in.def) in.source = rng() % 5 ? anyRow(reg, rng) : kSourceNone;
        for (FrequencySlot& f : m.frequencies) {
            if (!f.def) continue;
            f.source = rng() % 2 ? kSourceManual : anyRow(reg, rng);
            f.base = 20 + unit(rng) * 2000;
            f.multiplier = rng() % 4 ? 1.0 : unit(rng) * 3;
        }
        for (DeviceSlot& out : m.soundOutputs)
            if (out.def) out.code = rng() % 5 ? -1 : (rng() % 2 ? -555 : 100);
        for (DeviceSlot& in : m.midiInputs)
            if (in.def) in.code = 0;
        for (CheckBoxSlot& c : m.checkBoxes)
            if (c.def) c.state = rng() % 2;
        // Half the oscillators play the plain sine: no waveform, ramp, phase or steps.
        if (m.type() == Module_AudioOsc && rng() % 2)
            for (int k : {2, 3, 4, 5}) {
                m.inputSliders[k].source = kSourceManual;
                m.inputSliders[k].manual = 0.0;
            }
    }

    // "set" of a manual value or a source of a random module.
    static std::string setLine(const ModuleRegistry& reg, std::mt19937& rng) {
        std::vector<Module*> all;
        for (int type = 0; type < kTypeCount; ++type)
            for (Module* m : reg.modules(type))
                all.push_back(m);
        Module& m = *all[rng() % all.size()];
        for (const InputSliderSlot& in : m.inputSliders) {
            if (!in.def || in.def->valueKey.empty() || in.def->sourceKey.empty()) continue;
            std::ostringstream line;
            line << "set \"" << m.name << "\" ";
            if (rng() % 2)
                line << in.def->valueKey << ' ' << in.def->minimum + rng() % 1000;
            else
                line << in.def->sourceKey << " \"" << reg.sourceName(anyRow(reg, rng)) << '"';
            return line.str();
        }
        return {};
    }

    // Between cycles now and then: an oscillator comes, or one that came goes.
    void change(cli::OfflineSession& s, int cycle) const {
        std::mt19937 rng(seed * 7919u + static_cast<uint32_t>(cycle));
        if (cycle == 0 || rng() % 16) return;
        ModuleRegistry& reg = s.registry();
        if (rng() % 2) {
            Module* m = reg.createModule(Module_AudioOsc, "N" + std::to_string(cycle),
                                         ModuleRegistry::outputLabels(Module_AudioOsc), "");
            if (m) wire(*m, reg, rng);
        } else {
            // Only those that came so: the script's set lines name the others.
            std::vector<Module*> added;
            for (Module* m : reg.modules(Module_AudioOsc))
                if (m->name[0] == 'N') added.push_back(m);
            if (!added.empty()) reg.removeModule(added[rng() % added.size()]);
        }
    }
};

TEST_F(BlockEngine, GeneratedPatchesPlayTheSame) {
    const char* many = std::getenv("KV_DIFF_PATCHES");
    const char* first = std::getenv("KV_DIFF_SEED");
    const int patches = many ? std::atoi(many) : 200;
    const uint32_t seed0 = first ? static_cast<uint32_t>(std::strtoul(first, nullptr, 10)) : 1;
    for (int i = 0; i < patches; ++i) {
        const Generated g{seed0 + static_cast<uint32_t>(i)};
        auto setUp = [&](cli::OfflineSession& s) { return g.setUp(s); };
        auto change = [&](cli::OfflineSession& s, int cycle) { g.change(s, cycle); };
        const Played blocks = play(true, g.samples, setUp, change);
        const Played reference = play(false, g.samples, setUp, change);
        const std::string diff = firstDifference(blocks, reference);
        ASSERT_EQ(diff, "") << "replay with KV_DIFF_SEED=" << g.seed << " KV_DIFF_PATCHES=1";
    }
}

} // namespace
} // namespace kv
