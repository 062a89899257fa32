// Slider scales, value displays and module windows editing their modules.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "devices/audio_out_capture.h"
#include "devices/gesture_tape.h"
#include "devices/output_device_manager.h"
#include "devices/wav_writer.h"
#include "engine/engine.h"
#include "modules/module_registry.h"
#include "ui/module_window/module_window.h"
#include "ui/module_window/slider_scale.h"

namespace kv::ui {
namespace {

ControlDef slider(ControlKind kind, long min, long max, int decimals) {
    ControlDef c;
    c.kind = kind;
    c.minimum = min;
    c.maximum = max;
    c.decimals = decimals;
    return c;
}

TEST(SliderScales, RangesAndValuesBothWays) {
    const ControlDef tenths = slider(ControlKind::InputSlider, -100, 100, 1);
    const ControlDef whole = slider(ControlKind::InputSlider, 0, 1000, 0);
    ControlDef fine = slider(ControlKind::Frequency, 0, 0, 0);
    fine.fineMode = true;
    const ControlDef coarse = slider(ControlKind::Frequency, 0, 0, 0);
    ControlDef signedSens = whole;
    signedSens.signedSensitivity = true;
    const struct {
        SliderScale scale;
        int min, max;
        int position;
        double value;
    } cases[] = {
        {inputValueScale(tenths, false), -1000, 1000, 125, 12.5},
        {inputValueScale(tenths, false), -1000, 1000, -1000, -100},
        {inputValueScale(tenths, true), -1000, 1000, 1000, 1000},
        {inputValueScale(whole, false), 0, 1000, 1000, 1000},
        {inputValueScale(whole, true), 0, 1000, 250, 2500},
        {sensitivityScale(whole), 0, 1000, 0, 0},
        {sensitivityScale(signedSens), -1000, 1000, -1000, -1000},
        {velocityScale(), 0, 1000, 1000, 1000},
        {tenthsScale(slider(ControlKind::SimpleSlider, 0, 2000, 0)), 0, 20000, 20000, 2000},
        {frequencyBaseScale(fine), 0, 1000, 29, 0.29},
        {frequencyBaseScale(coarse), 0, 600, 44, 4.4},
        {frequencyMultiplierScale(fine), 1, 1000, 1, 0.1},
        {frequencyMultiplierScale(coarse), 1, 400, 400, 400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.scale.minimum, c.min);
        EXPECT_EQ(c.scale.maximum, c.max);
        EXPECT_DOUBLE_EQ(c.scale.value(c.position), c.value);
        EXPECT_EQ(c.scale.position(c.value), c.position) << c.value;
    }
    // Positions from values are truncated toward zero.
    EXPECT_EQ(inputValueScale(tenths, false).position(-12.57), -125);
    EXPECT_EQ(inputValueScale(whole, true).position(2509), 250);
}

TEST(SliderScales, OptionBoxAndDisplays) {
    const ControlDef whole = slider(ControlKind::InputSlider, 0, 1000, 0);
    const ControlDef tenths = slider(ControlKind::InputSlider, 0, 100, 1);
    EXPECT_EQ(optionSwitchPosition(whole, 2505, true), 251); // half up
    EXPECT_EQ(optionSwitchPosition(whole, 2500, false), 2500);
    EXPECT_EQ(optionSwitchPosition(tenths, 12.5, true), 13);
    EXPECT_EQ(optionSwitchPosition(tenths, 12.5, false), 125);
    EXPECT_EQ(valueDisplay(12.5, 1, "%"), "12.5 %");
    EXPECT_EQ(valueDisplay(-3, 0, "ms"), "-3 ms");
    EXPECT_EQ(formatLong("Sensitivity of Control: %ld %%", -1000),
              "Sensitivity of Control: -1000 %");
    EXPECT_EQ(formatDouble("%.3f Hertz", 440), "440.000 Hertz");
    // A strings file cannot smuggle conversions into the formatting.
    EXPECT_EQ(formatLong("%s %n %ld %ld", 7), "%s %n 7 %ld");
}

TEST(LevelBars, CurvesOfControlAndAudioModules) {
    EXPECT_EQ(levelCurve(10), 10);
    EXPECT_EQ(levelCurve(1000), 700);
    LevelInputs osc;
    osc.frequency = 1000;
    osc.accumulated = 600;
    osc.accumulatorVoices = 1;
    EXPECT_EQ(levelBars(Module_AudioOsc, osc), std::make_pair(700, 600));
    EXPECT_EQ(levelBars(Module_AudioEcho, osc), std::make_pair(600, 600));
    osc.accumulatorVoices = 3; // u / (0.5 m + 0.5)
    EXPECT_EQ(levelBars(Module_AudioEcho, osc).second, 300);
    LevelInputs control;
    control.primary = {10, -10};
    control.velocity = {127, 0};
    EXPECT_EQ(levelBars(Module_ControlGain, control), std::make_pair(10, 500));
    control.secondRowPrimary = -1000;
    EXPECT_EQ(levelBars(Module_ControlSensor, control).second, 1000);
}

TEST(LevelBars, FiguresFromWhatTheEnginePublishes) {
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    engine.beginOffline();
    Module* osc = registry.addModule(Module_AudioOsc); // default amplitude: peaks at 500
    osc->frequencies[0].source = kSourceManual;
    osc->frequencies[0].base = 10;
    osc->frequencies[0].multiplier = 100;
    Module* input = registry.addModule(Module_ControlInput);
    input->inputSliders[0].source = kSourceManual;
    input->inputSliders[0].manual = 100;     // full scale, velocity 127
    EXPECT_FALSE(takePublishedLevels(*osc)); // nothing published yet
    osc->showState = kShowCompact;
    input->showState = kShowCompact;
    for (int c = 0; c < 500; ++c)
        engine.runCycle(nullptr);

    const auto oscBars = levelBars(Module_AudioOsc, *takePublishedLevels(*osc));
    EXPECT_EQ(oscBars.first, 700);
    EXPECT_NEAR(oscBars.second, 500, 1);
    EXPECT_EQ(levelBars(Module_AudioOsc, *takePublishedLevels(*osc)).second, 0); // taken
    EXPECT_EQ(levelBars(Module_ControlInput, *takePublishedLevels(*input)),
              std::make_pair(700, 1000));
}

/// Windows over a registry with a stopped engine; levels can be fed in.
struct Windows : ::testing::Test {
    struct Host : ModuleWindows {
        using ModuleWindows::ModuleWindows;
        std::optional<LevelInputs> fed;
        std::optional<LevelInputs> levels(const Module&) override { return fed; }
    };
    EngineState state;
    Engine engine{state};
    ModuleRegistry registry{&engine};
    Host host{registry};

    ModuleWindow* add(int type) {
        Module* m = registry.addModule(type);
        return m ? host.open(*m) : nullptr;
    }
    static void waitMs(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    static int indexOf(QComboBox* list, int value) {
        for (int i = 0; i < list->count(); ++i)
            if (list->itemData(i).toInt() == value) return i;
        return -1;
    }
    static void choose(QComboBox* list, int value) {
        const int i = indexOf(list, value);
        list->setCurrentIndex(i);
        emit list->activated(i);
    }
};

TEST_F(Windows, MovedSliderSetsTheValueAndShowsItForASecond) {
    ModuleWindow* w = add(Module_ControlInput);
    ASSERT_NE(w, nullptr);
    auto* s = w->controlAs<QSlider>(kIdValueSlider);
    auto* caption = w->controlAs<QLabel>(kIdSliderCaption);
    EXPECT_EQ(s->minimum(), -1000);
    EXPECT_EQ(s->maximum(), 1000);
    s->setValue(125);
    w->pollControls();
    EXPECT_EQ(w->module().inputSliders[0].manual.load(), 12.5);
    EXPECT_EQ(caption->text().toStdString(), "12.5 %");
    waitMs(1150);
    EXPECT_EQ(caption->text().toStdString(), "Modular control signal (input)");
    // A sensitivity slider move shows the sensitivity.
    w->controlAs<QSlider>(kIdSensitivitySlider)->setValue(-250);
    w->pollControls();
    EXPECT_EQ(w->module().inputSliders[0].sensitivity.load(), -250);
    EXPECT_EQ(caption->text().toStdString(), "Sensitivity of Control: -250 %");
}

TEST_F(Windows, AmplitudeSliderReachesTheSound) {
    ModuleWindow* w = add(Module_AudioOsc);
    const int row = w->module().outputRow;
    auto peak = [&](int amplitudePosition) {
        w->controlAs<QSlider>(kIdValueSlider)->setValue(amplitudePosition);
        w->pollControls();
        engine.beginOffline();
        double p = 0;
        for (int cycle = 0; cycle < 20; ++cycle) {
            engine.runCycle(nullptr);
            p = std::max(p, std::fabs(state.table.rows[row].primary[0]));
        }
        return p;
    };
    EXPECT_EQ(peak(0), 0.0);
    EXPECT_GT(peak(100), 100.0);
}

TEST_F(Windows, LongIntervalModeWidensAndClipsTheRange) {
    ModuleWindow* w = add(Module_ControlSequence);
    auto* s = w->controlAs<QSlider>(kIdValueSlider + 1); // note length, 0..1000 ms
    auto* box = w->controlAs<QCheckBox>(kIdOptionCheckBox + 1);
    InputSliderSlot& slot = w->module().inputSliders[1];
    box->setChecked(true);
    s->setValue(250);
    w->pollControls();
    EXPECT_EQ(slot.manual.load(), 2500);
    box->setChecked(false);
    EXPECT_EQ(slot.manual.load(), 1000);
    EXPECT_EQ(s->value(), 1000);
}

TEST_F(Windows, SourceChoiceSwitchesTheVisibleSlider) {
    ModuleWindow* w = add(Module_AudioOsc);
    auto* list = w->controlAs<QComboBox>(kIdSourceList);
    QWidget* value = w->control(kIdValueSlider);
    QWidget* sens = w->control(kIdSensitivitySlider);
    EXPECT_TRUE(value->isVisibleTo(w));
    EXPECT_FALSE(sens->isVisibleTo(w));
    choose(list, 131);
    EXPECT_EQ(w->module().inputSliders[0].source.load(), 131);
    EXPECT_FALSE(value->isVisibleTo(w));
    EXPECT_TRUE(sens->isVisibleTo(w));
    // In the compact state the change shows when the window is full again.
    w->applyShowState(kShowCompact);
    choose(list, kSourceManual);
    EXPECT_FALSE(value->isVisibleTo(w));
    w->applyShowState(kShowFull);
    EXPECT_TRUE(value->isVisibleTo(w));
    EXPECT_FALSE(sens->isVisibleTo(w));
    // "Direction", which no list offers, survives a refresh; an unlisted row does not.
    w->module().inputSliders[0].source = kMouseRowBase;
    w->module().inputSliders[1].source = 77;
    host.requestRefreshAll();
    EXPECT_EQ(w->module().inputSliders[0].source.load(), kMouseRowBase);
    EXPECT_EQ(w->module().inputSliders[1].source.load(), kSourceNone);
    EXPECT_EQ(list->currentIndex(), -1);
}

TEST_F(Windows, RenameAndDeleteReachTheOtherWindowsLists) {
    ModuleWindow* gain = add(Module_ControlGain);
    ModuleWindow* osc = add(Module_AudioOsc);
    auto* list = osc->controlAs<QComboBox>(kIdSourceList + 1);
    const int row = gain->module().outputRow;
    choose(list, row);
    gain->rename("Loud");
    EXPECT_EQ(list->itemText(indexOf(list, row)).toStdString(), "Loud");
    EXPECT_EQ(list->currentData().toInt(), row);
    host.requestDelete(gain->module());
    EXPECT_EQ(indexOf(list, row), -1);
    EXPECT_EQ(osc->module().inputSliders[1].source.load(), kSourceNone);
    EXPECT_EQ(host.windows().size(), 1u);
}

TEST_F(Windows, ShowStatesHideAndRestoreTheControls) {
    ModuleWindow* w = add(Module_ControlNeuron);
    std::vector<bool> before;
    for (const LayoutItem& item : w->layout().items)
        before.push_back(w->control(item.id)->isVisibleTo(w));
    const int full = w->visibleRect().height();
    w->cycleShowState();
    EXPECT_EQ(w->module().showState.load(), kShowCompact);
    EXPECT_TRUE(w->control(kIdLevelBar1)->isVisibleTo(w));
    EXPECT_FALSE(w->control(kIdSourceList)->isVisibleTo(w));
    EXPECT_LT(w->visibleRect().height(), full);
    w->cycleShowState();
    EXPECT_FALSE(w->control(kIdLevelBar1)->isVisibleTo(w));
    EXPECT_EQ(w->visibleRect().height(), static_cast<int>(24 * w->units().y) + 8);
    w->cycleShowState();
    std::vector<bool> after;
    for (const LayoutItem& item : w->layout().items)
        after.push_back(w->control(item.id)->isVisibleTo(w));
    EXPECT_EQ(after, before);
    EXPECT_EQ(w->visibleRect().height(), full);

    // Loaded collapsed: a double click then brings the full state.
    Module* m = registry.addModule(Module_ControlGain);
    m->showState = kShowCollapsed;
    ModuleWindow* loaded = host.open(*m);
    EXPECT_EQ(m->showState.load(), kShowCollapsed);
    EXPECT_FALSE(loaded->control(kIdSourceList)->isVisibleTo(loaded));
    loaded->cycleShowState();
    EXPECT_EQ(m->showState.load(), kShowFull);
    EXPECT_TRUE(loaded->control(kIdSourceList)->isVisibleTo(loaded));
}

TEST_F(Windows, CompactBarsFollowThePublishedLevels) {
    ModuleWindow* w = add(Module_AudioOsc);
    auto* bar1 = w->controlAs<QProgressBar>(kIdLevelBar1);
    auto* bar2 = w->controlAs<QProgressBar>(kIdLevelBar2);
    host.fed = LevelInputs{};
    host.fed->frequency = 10;
    host.fed->accumulated = 400;
    host.fed->accumulatorVoices = 1;
    w->updateLevels(); // full state: nothing
    EXPECT_EQ(bar1->value(), 0);
    w->applyShowState(kShowCompact);
    w->updateLevels();
    EXPECT_EQ(bar1->value(), 10);
    EXPECT_EQ(bar2->value(), 400);
    host.fed->frequency = 1000;
    w->updateLevels();
    EXPECT_EQ(bar1->value(), 700);
}

TEST_F(Windows, SensorDirectionPointsAwayFromTheCursor) {
    ModuleWindow* w = add(Module_ControlSensor);
    const QPoint p = w->sensorPoint();
    w->pointSensorAt(p - QPoint(30, 0)); // cursor to the left
    EXPECT_DOUBLE_EQ(w->module().sensors[0].value.load(), 0.0);
    w->pointSensorAt(p - QPoint(0, 30)); // cursor above: the arrow points down
    EXPECT_DOUBLE_EQ(w->module().sensors[0].value.load(), std::numbers::pi / 2);
    const QRect picture = w->control(kIdSensorPicture)->geometry();
    EXPECT_EQ(p, picture.topLeft() + QPoint(picture.width() / 2, picture.height() / 2));
    // The engine measures from the same point, in main-window client coordinates.
    w->move(300, 200);
    EXPECT_EQ(w->module().sensorPointX.load(), 300 + p.x());
    EXPECT_EQ(w->module().sensorPointY.load(), 200 + p.y());
}

TEST_F(Windows, DeviceAndChoiceListsWriteTheirCodes) {
    ModuleWindow* w = add(Module_AudioOsc);
    auto* out = w->controlAs<QComboBox>(kIdOutputList);
    ASSERT_EQ(out->count(), 1); // the host lists no device: only the empty entry
    EXPECT_EQ(w->module().soundOutputs[0].code.load(), -1); // kept: the registry decides
    out->setCurrentIndex(0);
    EXPECT_EQ(w->module().soundOutputs[0].code.load(), -555);
    ModuleWindow* env = add(Module_ControlNoteEnvelope);
    auto* modes = env->controlAs<QComboBox>(kIdOutputModeList);
    EXPECT_EQ(modes->count(), 8);
    modes->setCurrentIndex(3);
    EXPECT_EQ(env->module().outputModes[0].choice.load(), 3);
    modes->setCurrentIndex(-1);
    EXPECT_EQ(env->module().outputModes[0].choice.load(), 213);

    // With the device manager's list: per-channel entries, whole devices for a recorded output.
    CaptureAudioOut capture(2);
    OutputDeviceManager manager(capture, OutputDeviceManager::Feeding::Manual);
    host.setDeviceManagers(&manager, nullptr, nullptr);
    ModuleWindow* osc = add(Module_AudioOsc);
    ModuleWindow* writer = add(Module_AudioWaveWriter);
    auto* oscList = osc->controlAs<QComboBox>(kIdOutputList);
    auto* writerList = writer->controlAs<QComboBox>(kIdOutputList);
    EXPECT_EQ(oscList->currentData().toInt(), -1);
    EXPECT_GE(indexOf(oscList, 201), 0);
    EXPECT_EQ(indexOf(writerList, 201), -1);
    EXPECT_GE(indexOf(writerList, 1), 0);
}

TEST_F(Windows, MidiSliderListSignAndRemoval) {
    Module* m = registry.addModule(Module_ControlMIDIControllerInput);
    m->midiControllers[3].controller = 7;
    ModuleWindow* w = host.open(*m);
    auto* list = w->controlAs<QTreeWidget>(kIdMidiSliderList);
    ASSERT_EQ(list->topLevelItemCount(), 1);
    QTreeWidgetItem* line = list->topLevelItem(0);
    EXPECT_EQ(line->text(0).toStdString(), "4");
    EXPECT_EQ(line->text(1).toStdString(), "7");
    EXPECT_EQ(line->text(3).toStdString(), "+");
    EXPECT_EQ(line->text(2).toStdString(), "0");
    m->midiControllers[3].value = 127; // as the engine reads it from the device
    w->pollControls();
    EXPECT_EQ(line->text(2).toStdString(), "127");
    list->setCurrentItem(line);
    QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier);
    QApplication::sendEvent(list, &space);
    EXPECT_TRUE(m->midiControllers[3].reversed.load());
    EXPECT_EQ(list->topLevelItem(0)->text(3).toStdString(), "+ / -");
    for (const auto& [raw, shown] : {std::pair{127.0, "127"}, {64.0, "0"}, {0.0, "-127"}}) {
        m->midiControllers[3].value = raw;
        w->pollControls();
        EXPECT_EQ(line->text(2).toStdString(), shown) << raw;
    }
    // The slider has a row of its own, offered to the other windows; removing it releases it.
    ModuleWindow* osc = add(Module_AudioOsc);
    auto* sources = osc->controlAs<QComboBox>(kIdSourceList);
    int row = -1;
    for (int r = 0; r < kModuleRows; ++r)
        if (registry.row(r).owner == m) row = r;
    ASSERT_GE(row, 0);
    EXPECT_EQ(registry.row(row).subIndex, 3);
    EXPECT_EQ(registry.row(row).label, "Slider 4");
    EXPECT_GE(indexOf(sources, row), 0);
    w->controlAs<QPushButton>(kIdRemoveButton)->click();
    EXPECT_EQ(m->midiControllers[3].controller.load(), -1);
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_EQ(registry.row(row).owner, nullptr);
    waitMs(20); // the other windows' refresh
    EXPECT_EQ(indexOf(sources, row), -1);
}

TEST_F(Windows, WaveWriterButtonsRecordIntoThePath) {
    WaveWriterList writers;
    host.setWaveWriters(&writers);
    ModuleWindow* w = add(Module_AudioWaveWriter);
    QTemporaryDir dir;
    const QString file = dir.filePath("take.wav");
    w->controlAs<QLineEdit>(kIdWavePath)->setText(file);
    EXPECT_EQ(w->module().waveWriters[0].path, file.toStdString());
    auto* recording = w->controlAs<QPushButton>(kIdWaveRecording);
    recording->click();
    EXPECT_TRUE(writers.isRecording(w->module()));
    EXPECT_TRUE(recording->isChecked());
    w->controlAs<QPushButton>(kIdWaveStopped)->click();
    EXPECT_FALSE(writers.isRecording(w->module()));
    EXPECT_FALSE(w->module().waveWriters[0].recording.load());
    EXPECT_EQ(QFileInfo(file).size(), 44);
    // A module saved while recording records again when its window is built.
    Module* again = registry.addModule(Module_AudioWaveWriter);
    again->waveWriters[0].path = dir.filePath("again.wav").toStdString();
    again->waveWriters[0].recording = true;
    host.open(*again);
    EXPECT_TRUE(writers.isRecording(*again));
    host.requestDelete(*again); // deleting stops it
    EXPECT_FALSE(writers.isRecording(*again));
}

TEST_F(Windows, LearningIsRefusedWhileTheEngineIsStopped) {
    ModuleWindow* w = add(Module_ControlMIDIControllerInput);
    host.setEngineState(&state);
    state.stopFlag = true;
    EXPECT_EQ(host.toggleLearning(w->module()), 235);
    state.stopFlag = false;
    EXPECT_EQ(host.toggleLearning(w->module()), 0);
}

TEST_F(Windows, EditsDuringATakeWaitForTheEngineAndGoOnTheTape) {
    ModuleEdits edits;
    host.setEdits(&edits);
    ModuleWindow* osc = add(Module_AudioOsc);
    ModuleWindow* seq = add(Module_ControlSequence);
    Module& m = osc->module();
    const std::string name = m.name;
    QTemporaryDir dir;
    const std::string tape = dir.filePath("t.kvtape").toStdString();
    GestureTapeWriter writer;
    std::string error;
    ASSERT_TRUE(writer.start(tape, "", error)) << error;
    edits.beginTake(registry, writer);

    const double before = m.inputSliders[0].manual.load();
    osc->controlAs<QSlider>(kIdValueSlider)->setValue(333);
    osc->pollControls();
    choose(osc->controlAs<QComboBox>(kIdSourceList + 1), 131);
    osc->rename("Lead");
    osc->controlAs<QComboBox>(kIdOutputList)->setCurrentIndex(0);
    seq->controlAs<QPlainTextEdit>(kIdSequenceText)->setPlainText("C4");
    // Held until the engine takes them at a sample, then stored as the window asked.
    EXPECT_EQ(m.inputSliders[0].manual.load(), before);
    EXPECT_NE(m.inputSliders[1].source.load(), 131);
    edits.applyHeld(960);
    const double amplitude = m.inputSliders[0].manual.load();
    EXPECT_NE(amplitude, before);
    EXPECT_EQ(m.inputSliders[1].source.load(), 131);
    EXPECT_EQ(m.soundOutputs[0].code.load(), -555);
    EXPECT_EQ(edits.inexact(), 1u); // the sequence text
    // Removing a module applies what is held first: no held edit outlives its module.
    osc->controlAs<QSlider>(kIdValueSlider)->setValue(0);
    osc->pollControls();
    host.requestDelete(seq->module());
    EXPECT_NE(m.inputSliders[0].manual.load(), amplitude);
    EXPECT_EQ(edits.inexact(), 2u);
    edits.endTake();
    ASSERT_TRUE(writer.stop(961, error)) << error;
    std::ifstream in(tape);
    std::stringstream text;
    text << in.rdbuf();
    char exact[40];
    std::snprintf(exact, sizeof exact, "%.17g", amplitude);
    EXPECT_EQ(text.str(), "960 set \"" + name + "\" AmplitudeValue \"" + exact + "\"\n960 set \"" +
                              name + "\" NoiseControl \"" + registry.sourceName(131) +
                              "\"\n960 set \"" + name +
                              "\" Name \"Lead\"\n960 set \"Lead\" OutputDeviceID \"-555 (L+R)\"\n"
                              "961 end\n");
    // Without a take, edits are stored at once.
    osc->controlAs<QSlider>(kIdValueSlider)->setValue(333);
    osc->pollControls();
    EXPECT_EQ(m.inputSliders[0].manual.load(), amplitude);
}

} // namespace
} // namespace kv::ui
