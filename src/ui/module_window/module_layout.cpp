#include "ui/module_window/module_layout.h"

#include <cmath>

#include "persistence/language.h"

namespace kv::ui {
namespace {

std::string label(int id) {
    if (id < 0 || id > 1023) return {};
    return languageString(id);
}

/// Builds the items of one window while the running y grows.
class Builder {
  public:
    Builder(int j, WindowLayout& out) : j_(j), out_(out) {}

    int j() const { return j_; }
    int y = 24;

    LayoutItem& add(int id, ItemClass cls, UnitRect r, const ControlDef* c = nullptr) {
        LayoutItem item;
        item.id = id;
        item.cls = cls;
        item.rect = r;
        item.control = c;
        out_.items.push_back(std::move(item));
        return out_.items.back();
    }
    LayoutItem& addText(int id, ItemClass cls, UnitRect r, int textId, const ControlDef* c) {
        LayoutItem& item = add(id, cls, r, c);
        item.textId = textId;
        item.text = label(textId);
        return item;
    }
    /// A caption of the full width, 9 high, when its text is not empty; y + 10 then.
    void captionRow(int id, int textId, const ControlDef* c) {
        if (label(textId).empty()) return;
        addText(id, ItemClass::Caption, {7, y, j_ - 14, 9}, textId, c);
        y += 10;
    }
    void listRow(int id, const ControlDef* c, int width) {
        add(id, ItemClass::List, {7, y, width, kListHeight}, c);
        y += 13;
    }
    void helpButton(int id, const ControlDef* c) {
        LayoutItem& h = add(id, ItemClass::SmallButton, {j_ - 21, y - 2, 14, 18}, c);
        h.text = "?";
    }

  private:
    int j_;
    WindowLayout& out_;
};

void placeControl(Builder& b, const ControlDef& c, const DialogUnits& units) {
    if (c.slot < 0 || c.slot >= kSlotsPerKind) return;
    const int i = c.slot;
    const int j = b.j();
    const int full = j - 14;
    switch (c.kind) {
    case ControlKind::InputSlider: {
        const bool hasCaption = !label(c.captionId).empty();
        b.add(kIdSourceList + i, ItemClass::List, {7, b.y, full, kListHeight}, &c);
        if (hasCaption) {
            b.y += 13;
            b.addText(kIdSliderCaption + i, ItemClass::Caption, {7, b.y, full, 9}, c.captionId, &c);
            b.y += 10;
        } else {
            // Shown only as the value display, in place of the source list.
            b.addText(kIdSliderCaption + i, ItemClass::Caption, {7, b.y, full, 12}, c.captionId, &c)
                .hidden = true;
            b.y += 13;
        }
        const int w = c.hasVelocity ? j / 2 - 10 : full;
        b.add(kIdValueSlider + i, ItemClass::Slider, {7, b.y, w, 11}, &c);
        b.add(kIdSensitivitySlider + i, ItemClass::Slider, {7, b.y, w, 11}, &c);
        if (c.hasVelocity)
            b.add(kIdVelocitySlider + i, ItemClass::Slider, {j / 2 + 3, b.y, j / 2 - 10, 11}, &c);
        b.y += 12;
        if (!c.optionKey.empty()) {
            b.addText(kIdOptionCheckBox + i, ItemClass::CheckBox, {7, b.y, j - 10, 10}, 100, &c);
            b.y += 11;
        }
        break;
    }
    case ControlKind::SimpleSlider:
        b.captionRow(kIdSimpleCaption + i, c.captionId, &c);
        b.add(kIdSimpleSlider + i, ItemClass::Slider, {7, b.y, full, 11}, &c);
        b.y += 12;
        break;
    case ControlKind::SoundOutput:
        b.listRow(kIdOutputList + i, &c, full);
        b.captionRow(kIdOutputCaption + i, c.captionId, &c);
        break;
    case ControlKind::SoundInput:
        b.listRow(kIdInputList + i, &c, full);
        b.captionRow(kIdInputCaption + i, c.captionId, &c);
        break;
    case ControlKind::ControlInput:
        b.listRow(kIdControlInputList + i, &c, full);
        b.captionRow(kIdControlInputCaption + i, c.captionId, &c);
        break;
    case ControlKind::MIDIInput:
        b.listRow(kIdMidiList + i, &c, full);
        b.captionRow(kIdMidiCaption + i, c.captionId, &c);
        break;
    case ControlKind::Frequency:
        if (c.hasSource()) b.listRow(kIdFrequencyList + i, &c, full);
        b.captionRow(kIdFrequencyCaption + i, c.captionId, &c);
        b.add(kIdFrequencyBase + i, ItemClass::Slider, {7, b.y, full, 11}, &c);
        if (!c.sensitivityKey.empty())
            b.add(kIdFrequencySensitivity + i, ItemClass::Slider, {7, b.y, full, 11}, &c);
        b.y += 12;
        b.captionRow(kIdFrequencySecondCaption + i, c.multiplierCaptionId, &c);
        b.add(kIdFrequencyMultiplier + i, ItemClass::Slider, {7, b.y, full, 11}, &c);
        b.y += 12;
        break;
    case ControlKind::CheckBox: {
        const bool help = c.helpId != 1023;
        b.addText(kIdCheckBox + i, ItemClass::CheckBox, {7, b.y, help ? j - 26 : j - 10, 10},
                  c.captionId, &c);
        if (help) {
            b.helpButton(kIdCheckBoxHelp + i, &c);
            b.y += 13;
        } else {
            b.y += 11;
        }
        break;
    }
    case ControlKind::ModulationEffect:
        b.add(kIdEffectList + i, ItemClass::List, {7, b.y, j - 30, kListHeight}, &c);
        b.helpButton(kIdEffectHelp + i, &c);
        b.y += 13;
        b.captionRow(kIdEffectCaption + i, c.captionId, &c);
        break;
    case ControlKind::OutputMode:
        b.add(kIdOutputModeList + i, ItemClass::List, {7, b.y, j - 30, kListHeight}, &c);
        b.helpButton(kIdOutputModeHelp + i, &c);
        b.y += 13;
        b.captionRow(kIdOutputModeCaption + i, c.captionId, &c);
        break;
    case ControlKind::MIDISliders:
        b.addText(kIdLearnButton + i, ItemClass::PushButton, {7, b.y, j - 55, 14}, 490, &c);
        b.addText(kIdRemoveButton + i, ItemClass::PushButton, {j - 42, b.y, 14, 14}, 492, &c);
        b.helpButton(kIdMidiSlidersHelp + i, &c);
        b.y += 13;
        b.add(kIdMidiSliderList + i, ItemClass::ListView, {7, b.y, full, 100}, &c);
        b.y += 101;
        b.captionRow(kIdMidiSlidersCaption + i, c.captionId, &c);
        break;
    case ControlKind::Sequence:
        b.add(kIdSequenceText + i, ItemClass::MultiLineEdit, {7, b.y, full, 78}, &c);
        b.y += 79;
        if (!label(c.captionId).empty())
            b.addText(kIdSequenceCaption + i, ItemClass::Caption, {7, b.y, j - 28, 9}, c.captionId,
                      &c);
        b.helpButton(kIdSequenceHelp + i, &c);
        b.y += 13;
        break;
    case ControlKind::WaveWriter: {
        b.add(kIdWavePath + i, ItemClass::LineEdit, {7, b.y, j - 30, 12}, &c);
        LayoutItem& browse =
            b.add(kIdWaveBrowse + i, ItemClass::SmallButton, {j - 21, b.y - 2, 14, 18}, &c);
        browse.text = "E";
        b.y += 13;
        b.addText(kIdWavePathCaption + i, ItemClass::Caption, {7, b.y, full, 9}, 143, &c);
        b.y += 10;
        b.addText(kIdWaveAppend + i, ItemClass::CheckBox, {7, b.y, full, 10}, 151, &c);
        b.y += 11;
        const int w = (j - 20) / 2;
        b.addText(kIdWaveRecording + i, ItemClass::RadioButton, {7, b.y, w, 15}, 144, &c);
        b.addText(kIdWaveStopped + i, ItemClass::RadioButton, {7 + w + 13, b.y, w, 15}, 145, &c);
        b.y += 16;
        if (!label(c.captionId).empty()) {
            b.addText(kIdWaveCaption + i, ItemClass::Caption, {7, b.y, j - 28, 9}, c.captionId, &c);
            b.y += 10;
        }
        break;
    }
    case ControlKind::Analyser:
        b.add(kIdAnalyserPicture + i, ItemClass::Picture, {7, b.y, full, 100}, &c);
        if (!label(c.captionId).empty()) {
            b.addText(kIdAnalyserCaption + i, ItemClass::Caption, {7, b.y + 101, j - 28, 9},
                      c.captionId, &c);
            b.y += 111;
        } else {
            b.y += 101;
        }
        b.listRow(kIdAnalyserModeList + i, &c, full);
        break;
    case ControlKind::Sensor: {
        // Square on screen: as many vertical units as the width's pixels need.
        const int height = static_cast<int>(full * units.x / units.y);
        b.add(kIdSensorPicture + i, ItemClass::Picture, {7, b.y, full, height}, &c);
        b.y += height + 1;
        if (!label(c.captionId).empty()) {
            b.addText(kIdSensorCaption + i, ItemClass::Caption, {7, b.y, j - 28, 9}, c.captionId,
                      &c);
            b.y += 10;
        }
        break;
    }
    case ControlKind::ProportionFlipper:
        b.add(kIdFlipperUpper + i, ItemClass::Slider, {7, b.y, full, 11}, &c);
        b.y += 12;
        b.captionRow(kIdFlipperCaption + i, c.captionId, &c);
        b.add(kIdFlipperLower + i, ItemClass::Slider, {7, b.y, full, 11}, &c);
        b.y += 12;
        break;
    }
}

} // namespace

const LayoutItem* WindowLayout::find(int id) const {
    for (const LayoutItem& item : items)
        if (item.id == id) return &item;
    return nullptr;
}

int windowWidthUnits(int type) {
    if (type == Module_AudioOutputAnalyser) return 240;
    if (type == Module_ControlSensor) return 90;
    return 160;
}

WindowLayout layoutModuleWindow(int type, const DialogUnits& units) {
    WindowLayout out;
    const int j = windowWidthUnits(type);
    out.width = j;
    Builder b(j, out);
    b.add(kIdName, ItemClass::Caption, {20, 5, j - 40, 19});
    b.add(kIdRenameButton, ItemClass::SmallButton, {6, 5, 14, 18}).text = "E";
    b.add(kIdCloseButton, ItemClass::SmallButton, {j - 20, 5, 14, 18}).text = "X";
    b.add(kIdLevelBar1, ItemClass::LevelBar, {7, 25, j - 14, 10}).hidden = true;
    b.add(kIdLevelBar2, ItemClass::LevelBar, {7, 36, j - 14, 10}).hidden = true;
    for (const ControlDef& c : typeControls(type))
        placeControl(b, c, units);
    out.height = b.y + 3;
    return out;
}

int unitsToPixelsX(int units, const DialogUnits& du) {
    return static_cast<int>(std::lround(units * du.x));
}

int unitsToPixelsY(int units, const DialogUnits& du) {
    return static_cast<int>(std::lround(units * du.y));
}

} // namespace kv::ui
