#pragma once
// The layout of a module window, computed from its type's definition: every item with its id,
// class, rectangle (dialog units of the window's font) and initial visibility. Pure computation,
// no widgets; the window builds its controls from it.
#include <string>
#include <vector>

#include "modules/catalogue.h"

namespace kv::ui {

/// Pixels per dialog unit, horizontally and vertically (from the window font's average character
/// width / 4 and height / 8).
struct DialogUnits {
    double x = 1.5;
    double y = 1.625;
};

enum class ItemClass {
    List,          // drop-down list (selection only)
    Slider,        // horizontal slider without tick marks
    Caption,       // centred static text
    CheckBox,      // automatic check box
    SmallButton,   // "E", "X", "?" buttons drawn by the program
    PushButton,    // ordinary push button
    RadioButton,   // push-like radio button
    LevelBar,      // smooth progress bar, 0..1000
    ListView,      // report view (MIDI sliders)
    Picture,       // bitmap picture (analyser, sensor)
    LineEdit,      // single-line path field
    MultiLineEdit, // sequence text
};

/// Id bases of the items; slot i of a control has base + i.
enum ItemId : int {
    kIdSourceList = 100,
    kIdSliderCaption = 200,
    kIdValueSlider = 300,
    kIdSensitivitySlider = 400,
    kIdVelocitySlider = 500,
    kIdSimpleSlider = 600,
    kIdSimpleCaption = 700,
    kIdOutputList = 800,
    kIdOutputCaption = 900,
    kIdControlInputList = 1000,
    kIdControlInputCaption = 1100,
    kIdFrequencyList = 1200,
    kIdFrequencyCaption = 1300,
    kIdFrequencySecondCaption = 1400,
    kIdFrequencyBase = 1500,
    kIdFrequencyMultiplier = 1600,
    kIdFrequencySensitivity = 1700,
    kIdCheckBox = 1800,
    kIdMidiList = 1900,
    kIdMidiCaption = 2000,
    kIdLearnButton = 2100,
    kIdRemoveButton = 2300,
    kIdMidiSlidersHelp = 2400,
    kIdMidiSliderList = 2500,
    kIdMidiSlidersCaption = 2600,
    kIdSequenceCaption = 2700,
    kIdSequenceText = 2800,
    kIdSequenceHelp = 2900,
    kIdWavePath = 3000,
    kIdWavePathCaption = 3100,
    kIdWaveBrowse = 3200,
    kIdWaveCaption = 3300,
    kIdWaveAppend = 3400,
    kIdWaveRecording = 3500,
    kIdWaveStopped = 3600,
    kIdAnalyserPicture = 3700,
    kIdAnalyserCaption = 3800,
    kIdAnalyserModeList = 3900,
    kIdSensorPicture = 4000,
    kIdSensorCaption = 4100,
    kIdFlipperLower = 4200,
    kIdFlipperCaption = 4300,
    kIdFlipperUpper = 4400,
    kIdEffectList = 4500,
    kIdEffectCaption = 4600,
    kIdEffectHelp = 4700,
    kIdInputList = 4800,
    kIdInputCaption = 4900,
    kIdOptionCheckBox = 5000,
    kIdCheckBoxHelp = 5100,
    kIdOutputModeList = 5200,
    kIdOutputModeCaption = 5300,
    kIdOutputModeHelp = 5400,
    kIdName = 5500,
    kIdRenameButton = 5600,
    kIdCloseButton = 5700,
    kIdLevelBar1 = 5800,
    kIdLevelBar2 = 5900,
};

/// A rectangle in dialog units.
struct UnitRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const UnitRect&) const = default;
};

struct LayoutItem {
    int id = 0;
    ItemClass cls = ItemClass::Caption;
    UnitRect rect;
    bool hidden = false;
    std::string text;                    // initial text (captions, buttons, check boxes)
    int textId = -1;                     // language string of the text, -1 = fixed or none
    const ControlDef* control = nullptr; // null for header items
};

struct WindowLayout {
    int width = 160;               // J, units
    int height = 0;                // units
    std::vector<LayoutItem> items; // creation order: the window's control-id list

    const LayoutItem* find(int id) const;
};

/// Closed height of a drop-down list (its row steps 13 units).
constexpr int kListHeight = 12;

/// Window width J of a type: 240 for the output analyser, 90 for the sensor, else 160.
int windowWidthUnits(int type);

/// Lays out a window of `type` with the current language's captions. `units` matter only for the
/// sensor picture, kept square on screen.
WindowLayout layoutModuleWindow(int type, const DialogUnits& units);

/// Dialog units to pixels (rounded to the nearest pixel).
int unitsToPixelsX(int units, const DialogUnits& du);
int unitsToPixelsY(int units, const DialogUnits& du);

} // namespace kv::ui
