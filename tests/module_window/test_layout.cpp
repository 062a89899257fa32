// Module window layouts against rectangles worked out by hand from the definitions.
#include <gtest/gtest.h>

#include "ui/module_window/module_layout.h"

namespace kv::ui {
namespace {

struct Expected {
    int type;
    int id;
    UnitRect rect;
    bool hidden;
};

TEST(ModuleLayout, RectanglesOfChosenItems) {
    const DialogUnits du{1.5, 1.625};
    const Expected cases[] = {
        // Header, at the sensor's width of 90 units.
        {Module_ControlSensor, kIdName, {20, 5, 50, 19}, false},
        {Module_ControlSensor, kIdCloseButton, {70, 5, 14, 18}, false},
        {Module_ControlSensor, kIdLevelBar2, {7, 36, 76, 10}, true},
        // Square picture: 76 units wide = 114 px, 114 / 1.625 = 70.15 units high.
        {Module_ControlSensor, kIdSensorPicture, {7, 24, 76, 70}, false},
        {Module_ControlSensor, kIdCheckBox, {7, 95, 80, 10}, false},
        // Control input: list, caption, value and sensitivity sliders on one place.
        {Module_ControlInput, kIdSourceList, {7, 24, 146, kListHeight}, false},
        {Module_ControlInput, kIdSliderCaption, {7, 37, 146, 9}, false},
        {Module_ControlInput, kIdValueSlider, {7, 47, 146, 11}, false},
        {Module_ControlInput, kIdSensitivitySlider, {7, 47, 146, 11}, false},
        // Neuron: five captioned sliders (35 units each), then dendrites without caption (25).
        {Module_ControlNeuron, kIdSourceList + 5, {7, 199, 146, kListHeight}, false},
        {Module_ControlNeuron, kIdSliderCaption + 5, {7, 199, 146, 12}, true},
        {Module_ControlNeuron, kIdValueSlider + 5, {7, 212, 146, 11}, false},
        {Module_ControlNeuron, kIdSourceList + 9, {7, 299, 146, kListHeight}, false},
        {Module_ControlNeuron, kIdCheckBox, {7, 334, 150, 10}, false},
        // Velocity slider beside the value slider.
        {Module_ControlPolyphonicator, kIdValueSlider, {7, 47, 70, 11}, false},
        {Module_ControlPolyphonicator, kIdVelocitySlider, {83, 47, 70, 11}, false},
        // Wave writer.
        {Module_AudioWaveWriter, kIdWavePath, {7, 47, 130, 12}, false},
        {Module_AudioWaveWriter, kIdWaveBrowse, {139, 45, 14, 18}, false},
        {Module_AudioWaveWriter, kIdWaveAppend, {7, 70, 146, 10}, false},
        {Module_AudioWaveWriter, kIdWaveRecording, {7, 81, 70, 15}, false},
        {Module_AudioWaveWriter, kIdWaveStopped, {90, 81, 70, 15}, false},
        // Output analyser, 240 wide.
        {Module_AudioOutputAnalyser, kIdAnalyserPicture, {7, 47, 226, 100}, false},
        {Module_AudioOutputAnalyser, kIdAnalyserModeList, {7, 148, 226, kListHeight}, false},
    };
    for (const Expected& e : cases) {
        const WindowLayout layout = layoutModuleWindow(e.type, du);
        const LayoutItem* item = layout.find(e.id);
        ASSERT_NE(item, nullptr) << "type " << e.type << " id " << e.id;
        EXPECT_EQ(item->rect, e.rect)
            << "type " << e.type << " id " << e.id << ": " << item->rect.x << "," << item->rect.y
            << "," << item->rect.width << "," << item->rect.height;
        EXPECT_EQ(item->hidden, e.hidden) << "type " << e.type << " id " << e.id;
    }
}

TEST(ModuleLayout, WidthsHeightsAndAbsentItems) {
    const DialogUnits du{1.5, 1.625};
    const struct {
        int type, width, height;
    } sizes[] = {{Module_ControlInput, 160, 62},
                 {Module_ControlSensor, 90, 109},
                 {Module_ControlNeuron, 160, 348},
                 {Module_AudioWaveWriter, 160, 100},
                 {Module_AudioOutputAnalyser, 240, 164}};
    for (const auto& s : sizes) {
        const WindowLayout layout = layoutModuleWindow(s.type, du);
        EXPECT_EQ(layout.width, s.width) << s.type;
        EXPECT_EQ(layout.height, s.height) << s.type;
    }
    // Without a caption text there is no caption item; ids are unique in every window.
    EXPECT_EQ(layoutModuleWindow(Module_ControlSensor, du).find(kIdSensorCaption), nullptr);
    for (int type = 0; type < kTypeCount; ++type) {
        const WindowLayout layout = layoutModuleWindow(type, du);
        EXPECT_LE(layout.items.size(), 112u);
        for (std::size_t a = 0; a < layout.items.size(); ++a)
            for (std::size_t b = a + 1; b < layout.items.size(); ++b)
                EXPECT_NE(layout.items[a].id, layout.items[b].id) << type;
    }
    // A square pixel grid keeps the sensor picture as high as it is wide.
    EXPECT_EQ(layoutModuleWindow(Module_ControlSensor, {2.0, 2.0}).find(kIdSensorPicture)->rect,
              (UnitRect{7, 24, 76, 76}));
    EXPECT_EQ(unitsToPixelsX(160, du), 240);
    EXPECT_EQ(unitsToPixelsY(62, du), 101);
}

TEST(ModuleLayout, TextsComeFromTheLanguageStrings) {
    const WindowLayout layout = layoutModuleWindow(Module_ControlInput, {});
    EXPECT_EQ(layout.find(kIdSliderCaption)->text, "Modular control signal (input)");
    const WindowLayout env = layoutModuleWindow(Module_ControlNoteEnvelope, {});
    EXPECT_EQ(env.find(kIdOptionCheckBox + 1)->text, "Long interval mode");
    EXPECT_EQ(layoutModuleWindow(Module_AudioWaveWriter, {}).find(kIdWaveRecording)->text,
              "Recording");
}

} // namespace
} // namespace kv::ui
