// Hostile numbers in every numeric key of an oscillator: the engine never plays a NaN or infinite
// sample, and once the key is set back the oscillator plays normally again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/oscillator.h"
#include "engine_fixture.h"
#include "modules/config_file.h"

namespace kv {
namespace {

using test::RecordingOutput;

// The module's keys whose saved value is a single number, with that value.
std::vector<std::pair<std::string, std::string>> numericKeys(const ModuleRegistry& registry) {
    std::vector<std::pair<std::string, std::string>> keys;
    std::istringstream lines(configurationText(registry));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq + 1 >= line.size()) continue;
        const std::string value = line.substr(eq + 1);
        char* end = nullptr;
        std::strtod(value.c_str(), &end);
        if (*end == '\0') keys.emplace_back(line.substr(0, eq), value);
    }
    return keys;
}

struct Hostile {
    EngineState state;
    RecordingOutput output;
    Engine engine{state, &output};
    ModuleRegistry registry{&engine};
    Module* osc = nullptr;

    Hostile() {
        osc = registry.addModule(Module_AudioOsc);
        engine.beginOffline();
    }
    // Runs `cycles` cycles; false when any sample sent to a device was not finite. `peak` gets the
    // largest magnitude seen.
    bool run(int cycles, double& peak) {
        bool finite = true;
        peak = 0;
        for (int c = 0; c < cycles; ++c) {
            engine.runCycle(nullptr);
            for (const RecordingOutput::Add& a : output.adds) {
                finite = finite && std::isfinite(a.value);
                if (std::isfinite(a.value)) peak = std::max(peak, std::fabs(a.value));
            }
        }
        return finite;
    }
};

TEST(NonFiniteValues, OscillatorKeysNeverPlayNonFiniteAndRecover) {
    Hostile probe;
    double peak = 0;
    ASSERT_TRUE(probe.run(50, peak));
    ASSERT_GT(peak, 1.0) << "a new oscillator should play";
    const auto keys = numericKeys(probe.registry);
    ASSERT_GE(keys.size(), 10u);

    for (const auto& [key, normal] : keys) {
        for (const char* bad : {"1e308", "-1e308", "nan", "inf", "-inf"}) {
            SCOPED_TRACE(key + "=" + bad);
            Hostile h;
            ASSERT_TRUE(setModuleKey(*h.osc, h.registry, key, bad));
            EXPECT_TRUE(h.run(20, peak));
            ASSERT_TRUE(setModuleKey(*h.osc, h.registry, key, normal));
            EXPECT_TRUE(h.run(50, peak));
            EXPECT_GT(peak, 1.0) << "the oscillator did not recover";
            const OscillatorState& st = h.osc->stateAs<OscillatorState>();
            for (int i = 0; i < st.count; ++i)
                EXPECT_TRUE(std::isfinite(st.phase(i)) && std::isfinite(st.jitter(i)));
        }
    }
}

} // namespace
} // namespace kv
