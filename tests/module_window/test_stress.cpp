// Thirty module windows change their sliders, sources and texts every 10 ms, and compact ones
// show levels, while the real-time engine evaluates the modules. Unsynchronised access shows up
// under ThreadSanitizer.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QSlider>
#include <gtest/gtest.h>
#include <random>

#include "engine/engine.h"
#include "ui/module_window/module_window.h"

namespace kv::ui {
namespace {

TEST(ModuleWindowStress, ThirtyWindowsEditWhileTheEngineRuns) {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    ModuleWindows windows{registry};
    const int types[] = {Module_AudioOsc,      Module_ControlGain,
                         Module_ControlInput,  Module_ControlModulator,
                         Module_AudioEcho,     Module_ControlSequence,
                         Module_ControlNeuron, Module_AudioDistortion,
                         Module_ControlRange,  Module_AudioOutputAnalyser,
                         Module_AudioLowPass,  Module_AudioMultiDelay};
    for (int k = 0; k < 30; ++k)
        ASSERT_NE(registry.addModule(types[k % std::size(types)]), nullptr);
    // A MIDI slider module whose value column follows what the engine reads.
    Module* sliders = registry.addModule(Module_ControlMIDIControllerInput);
    ASSERT_NE(sliders, nullptr);
    sliders->midiControllers[0].controller = 7;
    sliders->midiInputs[0].code = 0;
    windows.openAll();
    ASSERT_EQ(windows.windows().size(), 31u);
    // Every third window is compact: its level bars read what the engine publishes.
    for (size_t k = 0; k < windows.windows().size(); k += 3)
        windows.windows()[k]->applyShowState(kShowCompact);
    engine.start();

    std::mt19937 rng(11);
    QElapsedTimer clock;
    clock.start();
    long edits = 0;
    while (clock.elapsed() < 2000) {
        for (ModuleWindow* w : windows.windows()) {
            for (const LayoutItem& item : w->layout().items) {
                QWidget* c = w->control(item.id);
                if (auto* s = qobject_cast<QSlider*>(c)) {
                    s->setValue(s->minimum() +
                                static_cast<int>(rng() % (s->maximum() - s->minimum() + 1)));
                } else if (auto* list = qobject_cast<QComboBox*>(c); list && list->count() > 0) {
                    const int i = static_cast<int>(rng() % list->count());
                    list->setCurrentIndex(i);
                    emit list->activated(i);
                } else if (auto* text = qobject_cast<QPlainTextEdit*>(c); text && rng() % 8 == 0) {
                    text->setPlainText(rng() % 2 ? "c d e f g" : "a4 b4 c5");
                }
                ++edits;
            }
        }
        const qint64 next = clock.elapsed() + 10;
        while (clock.elapsed() < next)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        for (ModuleWindow* w : windows.windows())
            w->updateLevels();
        windows.requestRefreshAll();
    }
    engine.stopAndWait();
    EXPECT_GT(edits, 1000);
    EXPECT_GT(engine.sampleCounter(), 0u);
}

} // namespace
} // namespace kv::ui
