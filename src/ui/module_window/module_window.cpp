#include "ui/module_window/module_window.h"
#include "ui/module_window/window_drag.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImage>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTreeWidget>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "devices/midi_input_manager.h"
#include "devices/output_device_manager.h"
#include "devices/wav_writer.h"
#include "devices/wave_input_manager.h"
#include "engine/analyser.h"
#include "engine/midi_sources.h"
#include "persistence/language.h"
#include "ui/module_window/module_colours.h"
#include "ui/module_window/slider_scale.h"

namespace kv::ui {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr int kNoDeviceCode = -555;
constexpr uint8_t kNoChoice = 213;

bool g_dragging = false;
QPoint g_lastCursor(-100000, -100000);

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

/// The window font: the desktop's sans font at 8 points; for the languages that need it, a font
/// with Cyrillic and CJK coverage.
QFont windowFont() {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (languages().unicodeFont()) {
        for (const char* family : {"Noto Sans CJK SC", "Noto Sans CJK JP", "Noto Sans"}) {
            if (QFontDatabase::hasFamily(family)) {
                f.setFamily(family);
                break;
            }
        }
    }
    f.setPointSize(8);
    return f;
}

DialogUnits measureUnits(const QFont& f) {
    const QFontMetricsF fm(f);
    DialogUnits du;
    du.x = fm.averageCharWidth() / 4.0;
    du.y = fm.height() / 8.0;
    if (du.x <= 0) du.x = 1.5;
    if (du.y <= 0) du.y = 1.625;
    return du;
}

void setSliderQuietly(QSlider* s, const SliderScale& scale, double value) {
    if (!s) return;
    const QSignalBlocker block(s);
    s->setRange(scale.minimum, scale.maximum);
    s->setValue(scale.position(value));
}

uint32_t argb(const QColor& c) {
    return 0xFF000000u | (static_cast<uint32_t>(c.red()) << 16) |
           (static_cast<uint32_t>(c.green()) << 8) | static_cast<uint32_t>(c.blue());
}

QImage imageOf(const AnalyserPicture& p) {
    if (p.width <= 0 || p.height <= 0) return {};
    QImage img(p.width, p.height, QImage::Format_ARGB32);
    for (int y = 0; y < p.height; ++y)
        std::copy_n(p.pixels.data() + static_cast<std::size_t>(y) * p.width, p.width,
                    reinterpret_cast<uint32_t*>(img.scanLine(y)));
    return img;
}

double meanAbs(const std::vector<double>& v) {
    if (v.empty()) return 0;
    double s = 0;
    for (double x : v)
        s += std::fabs(x);
    return s / static_cast<double>(v.size());
}

} // namespace

double midiSliderDisplayValue(double value, bool reversed) {
    if (!reversed) return value;
    const double spread = (value - 64) * 2;
    return spread * (spread < 0 ? 0.9921875 : 1.007936507936508);
}

namespace {

QString midiValueText(const MidiControllerEntry& entry) {
    char text[32];
    std::snprintf(
        text, sizeof text, "%g",
        midiSliderDisplayValue(entry.value.load(kRelaxed), entry.reversed.load(kRelaxed)));
    return QString::fromLatin1(text);
}

} // namespace

int levelCurve(double a) {
    return static_cast<int>(std::pow(a, 0.22513840152839812) * 225.7336949024907 -
                            369.083421576697);
}

std::pair<int, int> levelBars(int type, const LevelInputs& in) {
    if (!typeInfo(type).audio) {
        double a = meanAbs(in.primary);
        double b = meanAbs(in.velocity);
        if (type == Module_ControlSensor) {
            a *= 3;
            b = std::fabs(in.secondRowPrimary) * 127.0 / 1000.0;
        }
        return {levelCurve(a), static_cast<int>(b * 7.874015748031496)};
    }
    double u = in.accumulated;
    if (in.accumulatorVoices > 0) u /= 0.5 * in.accumulatorVoices + 0.5;
    if (type == Module_AudioOsc || type == Module_AudioMutedPluck)
        return {levelCurve(in.frequency), static_cast<int>(u)};
    return {static_cast<int>(u), static_cast<int>(u)};
}

ModuleColours ModuleColours::from(const Settings& settings) {
    auto q = [&](UiColour c) {
        const Colour& v = settings.colour(c);
        return QColor(v.red, v.green, v.blue);
    };
    ModuleColours m;
    m.dialogBackground = q(UiColour::DialogBackground);
    m.dialogText = q(UiColour::DialogText);
    m.moduleBackground = q(UiColour::ModuleBackground);
    m.moduleText = q(UiColour::ModuleText);
    m.dropdownBackground = q(UiColour::ModuleDropdownBackground);
    m.dropdownText = q(UiColour::ModuleDropdownText);
    m.progressBackground = q(UiColour::ProgressBarBackground);
    m.progressForeground = q(UiColour::ProgressBarForeground);
    return m;
}

ModuleColours& moduleColours() {
    static ModuleColours colours = ModuleColours::from(Settings{});
    return colours;
}

void setModuleColours(const Settings& settings) {
    moduleColours() = ModuleColours::from(settings);
}

// --- Building ------------------------------------------------------------------------------------

ModuleWindow::ModuleWindow(Module& module, ModuleWindowHost& host, QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::FramelessWindowHint | Qt::Tool), module_(module),
      host_(host) {
    setFont(windowFont());
    units_ = measureUnits(font());
    layout_ = layoutModuleWindow(module_.type(), units_);
    setWindowTitle(qs(module_.name));
    setMouseTracking(true);
    build();
    placeCentre(storedCentre() + host_.clientOrigin());
    refresh();
    applyValuesToControls();
    const uint8_t loaded = module_.showState.load(kRelaxed);
    module_.showState.store(kShowFull, kRelaxed);
    if (loaded == kShowCollapsed) applyShowState(kShowCompact);
    applyShowState(loaded);
    updateMask();
    placeAtStoredCentre(); // the visible part, now known, has to be reachable
    publishSensorPoint();

    connect(&controlTimer_, &QTimer::timeout, this, &ModuleWindow::pollControls);
    connect(&levelTimer_, &QTimer::timeout, this, &ModuleWindow::updateLevels);
    connect(&pictureTimer_, &QTimer::timeout, this, &ModuleWindow::updatePictures);
    connect(&dragTimer_, &QTimer::timeout, this, [this] {
        if (!g_dragging) {
            dragTimer_.stop();
            return;
        }
        const QPoint cursor = QCursor::pos();
        if (cursor == g_lastCursor) return;
        g_lastCursor = cursor;
        QPoint target = cursor - pressPoint_;
        displacement_ = {}; // the user places it: where it goes is what the module keeps
        if (host_.snapToScreenEdges()) {
            const EdgeRect r{target.x(), target.y(), target.x() + width(), target.y() + height()};
            const EdgeRect snapped = snapCandidate(r, {width(), height()}, {}, currentDesktop());
            target = {snapped.left, snapped.top};
        }
        move(target);
        update();
    });
    connect(&sensorTimer_, &QTimer::timeout, this,
            [this] { pointSensorAt(mapFromGlobal(QCursor::pos())); });
    controlTimer_.start(10);
    levelTimer_.start(33);
    for (const ControlDef& c : module_.controls())
        if (c.kind == ControlKind::Analyser) pictureTimer_.start(33);
}

ModuleWindow::~ModuleWindow() {
    if (dragTimer_.isActive()) g_dragging = false;
}

void ModuleWindow::shutDown() {
    if (dragTimer_.isActive()) g_dragging = false;
    for (QTimer* t : {&controlTimer_, &pictureTimer_, &levelTimer_, &dragTimer_, &sensorTimer_})
        t->stop();
    for (auto& [key, timer] : restoreTimers_)
        timer->stop();
    setEnabled(false);
}

QRect ModuleWindow::pixelRect(const UnitRect& r) const {
    return QRect(unitsToPixelsX(r.x, units_), unitsToPixelsY(r.y, units_),
                 unitsToPixelsX(r.width, units_), unitsToPixelsY(r.height, units_));
}

std::string ModuleWindow::labelOf(int id) const {
    if (id < 0 || id > 1023) return {};
    return languageString(id);
}

void ModuleWindow::applyColours() {
    const ModuleColours& c = moduleColours();
    QPalette pal = palette();
    pal.setColor(QPalette::Window, c.moduleBackground);
    pal.setColor(QPalette::WindowText, c.moduleText);
    pal.setColor(QPalette::Base, c.dropdownBackground);
    pal.setColor(QPalette::Text, c.dropdownText);
    pal.setColor(QPalette::Button, c.dropdownBackground);
    pal.setColor(QPalette::ButtonText, c.dropdownText);
    setPalette(pal);
    setAutoFillBackground(true);
    update();
}

void ModuleWindow::build() {
    applyColours();
    resize(unitsToPixelsX(layout_.width, units_), unitsToPixelsY(layout_.height, units_));
    for (const LayoutItem& item : layout_.items) {
        QWidget* w = createItem(item);
        w->setGeometry(pixelRect(item.rect));
        w->setVisible(!item.hidden);
        widgets_[item.id] = w;
        if (item.id < kIdName) createdIds_.push_back(item.id);
    }
    connectControls();
}

QWidget* ModuleWindow::createItem(const LayoutItem& item) {
    const ModuleColours& colours = moduleColours();
    switch (item.cls) {
    case ItemClass::List: {
        auto* w = new QComboBox(this);
        w->setEditable(false);
        return w;
    }
    case ItemClass::Slider: {
        auto* w = new QSlider(Qt::Horizontal, this);
        w->setTickPosition(QSlider::NoTicks);
        return w;
    }
    case ItemClass::Caption: {
        auto* w = new QLabel(qs(item.text), this);
        w->setAlignment(Qt::AlignCenter);
        return w;
    }
    case ItemClass::CheckBox:
        return new QCheckBox(qs(item.text), this);
    case ItemClass::SmallButton:
    case ItemClass::PushButton:
        return new QPushButton(qs(item.text), this);
    case ItemClass::RadioButton: {
        auto* w = new QPushButton(qs(item.text), this);
        w->setCheckable(true);
        w->setAutoExclusive(true);
        return w;
    }
    case ItemClass::LevelBar: {
        auto* w = new QProgressBar(this);
        w->setRange(0, 1000);
        w->setValue(0);
        w->setTextVisible(false);
        QPalette p = w->palette();
        p.setColor(QPalette::Highlight, colours.progressForeground);
        p.setColor(QPalette::Base, colours.progressBackground);
        p.setColor(QPalette::Window, colours.progressBackground);
        w->setPalette(p);
        return w;
    }
    case ItemClass::ListView: {
        auto* w = new QTreeWidget(this);
        w->setRootIsDecorated(false);
        w->setSelectionMode(QAbstractItemView::SingleSelection);
        w->setSelectionBehavior(QAbstractItemView::SelectRows);
        w->setColumnCount(4);
        w->header()->setSectionsClickable(false);
        w->installEventFilter(this);
        w->viewport()->installEventFilter(this);
        return w;
    }
    case ItemClass::Picture: {
        auto* w = new QLabel(this);
        w->setAttribute(Qt::WA_TransparentForMouseEvents);
        return w;
    }
    case ItemClass::LineEdit:
        return new QLineEdit(this);
    case ItemClass::MultiLineEdit: {
        auto* w = new QPlainTextEdit(this);
        w->setLineWrapMode(QPlainTextEdit::NoWrap);
        w->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        w->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        return w;
    }
    }
    return new QWidget(this);
}

QWidget* ModuleWindow::control(int id) const {
    const auto it = widgets_.find(id);
    return it == widgets_.end() ? nullptr : it->second;
}

// --- Lists ---------------------------------------------------------------------------------------

void ModuleWindow::fillSourceList(QComboBox* list, const ControlDef& def, int selector) {
    if (!list) return;
    const QSignalBlocker block(list);
    list->clear();
    int selected = -1;
    for (const ListEntry& e :
         host_.registry().sourceListEntries(def, host_.registry().allowMouseAsAudio())) {
        if (selected < 0 && e.value == selector) selected = list->count();
        list->addItem(qs(e.text), e.value);
    }
    list->setCurrentIndex(selected);
}

void ModuleWindow::fillDeviceList(QComboBox* list, const std::vector<ListEntry>& entries,
                                  int code) {
    if (!list) return;
    const QSignalBlocker block(list);
    list->clear();
    int selected = -1;
    for (const ListEntry& e : entries) {
        if (selected < 0 && e.value == code) selected = list->count();
        list->addItem(qs(e.text), e.value);
    }
    list->setCurrentIndex(selected);
}

void ModuleWindow::fillChoiceList(QComboBox* list, int firstString, int count, int choice) {
    if (!list) return;
    const QSignalBlocker block(list);
    list->clear();
    for (int k = 0; k < count; ++k)
        list->addItem(qs(labelOf(firstString + k)), k);
    list->setCurrentIndex(choice >= 0 && choice < count ? choice : -1);
}

void ModuleWindow::refresh() {
    setWindowTitle(qs(module_.name));
    if (auto* name = controlAs<QLabel>(kIdName)) name->setText(qs(module_.name));
    for (const LayoutItem& item : layout_.items) {
        if (item.textId < 0) continue;
        QWidget* w = control(item.id);
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (!restoreTimers_.count(item.id) || !restoreTimers_[item.id]->isActive())
                label->setText(qs(labelOf(item.textId)));
        } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
            box->setText(qs(labelOf(item.textId)));
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            button->setText(qs(labelOf(item.textId)));
        }
    }
    for (int i = 0; i < kSlotsPerKind; ++i) {
        if (const ControlDef* d = module_.inputSliders[i].def)
            fillSourceList(controlAs<QComboBox>(kIdSourceList + i), *d,
                           module_.inputSliders[i].source.load(kRelaxed));
        if (const ControlDef* d = module_.controlInputs[i].def)
            fillSourceList(controlAs<QComboBox>(kIdControlInputList + i), *d,
                           module_.controlInputs[i].source.load(kRelaxed));
        if (const ControlDef* d = module_.frequencies[i].def; d && d->hasSource())
            fillSourceList(controlAs<QComboBox>(kIdFrequencyList + i), *d,
                           module_.frequencies[i].source.load(kRelaxed));
        if (module_.soundOutputs[i].def)
            fillDeviceList(controlAs<QComboBox>(kIdOutputList + i),
                           host_.outputDeviceList(ModuleRegistry::isRecordedOutput(module_, i)),
                           module_.soundOutputs[i].code.load(kRelaxed));
        if (module_.soundInputs[i].def)
            fillDeviceList(controlAs<QComboBox>(kIdInputList + i), host_.inputDeviceList(),
                           module_.soundInputs[i].code.load(kRelaxed));
        if (module_.midiInputs[i].def)
            fillDeviceList(controlAs<QComboBox>(kIdMidiList + i), host_.midiDeviceList(),
                           module_.midiInputs[i].code.load(kRelaxed));
        if (module_.analysers[i].def)
            fillChoiceList(controlAs<QComboBox>(kIdAnalyserModeList + i), 288, 2,
                           module_.analysers[i].mode.load(kRelaxed));
        if (module_.modulationEffects[i].def)
            fillChoiceList(controlAs<QComboBox>(kIdEffectList + i), 79, 2,
                           module_.modulationEffects[i].choice.load(kRelaxed));
        if (module_.outputModes[i].def)
            fillChoiceList(controlAs<QComboBox>(kIdOutputModeList + i), 440, 8,
                           module_.outputModes[i].choice.load(kRelaxed));
    }
    // The selections read back: a source the list no longer offers becomes none.
    auto readBack = [&](int id, std::atomic<int>& selector) {
        auto* list = controlAs<QComboBox>(id);
        if (!list || selector.load(kRelaxed) == kMouseRowBase) return; // "Direction" stays
        const int now = list->currentIndex() < 0 ? kSourceNone : list->currentData().toInt();
        if (now != selector.load(kRelaxed)) edit(selector, now);
    };
    for (int i = 0; i < kSlotsPerKind; ++i) {
        if (module_.inputSliders[i].def)
            readBack(kIdSourceList + i, module_.inputSliders[i].source);
        if (module_.controlInputs[i].def)
            readBack(kIdControlInputList + i, module_.controlInputs[i].source);
        if (module_.frequencies[i].def && module_.frequencies[i].def->hasSource())
            readBack(kIdFrequencyList + i, module_.frequencies[i].source);
    }
    // Device codes that the lists do not offer are dropped by the registry's refresh, which knows
    // the devices present; a list here may not know them all.
    if (module_.hasMidiSliders) rebuildMidiList();
    applySourceVisibility();
}

// --- Values --------------------------------------------------------------------------------------

void ModuleWindow::applyValuesToControls() {
    applying_ = true;
    for (int i = 0; i < kSlotsPerKind; ++i) {
        InputSliderSlot& in = module_.inputSliders[i];
        if (in.def) {
            const bool longMode = !in.def->optionKey.empty() && in.option.load(kRelaxed);
            setSliderQuietly(controlAs<QSlider>(kIdValueSlider + i),
                             inputValueScale(*in.def, longMode), in.manual.load(kRelaxed));
            setSliderQuietly(controlAs<QSlider>(kIdSensitivitySlider + i),
                             sensitivityScale(*in.def), in.sensitivity.load(kRelaxed));
            setSliderQuietly(controlAs<QSlider>(kIdVelocitySlider + i), velocityScale(),
                             in.velocitySensitivity.load(kRelaxed));
            if (auto* box = controlAs<QCheckBox>(kIdOptionCheckBox + i)) {
                const QSignalBlocker block(box);
                box->setChecked(in.option.load(kRelaxed));
            }
            if (labelOf(in.def->captionId).empty())
                if (QWidget* cap = control(kIdSliderCaption + i)) cap->hide();
        }
        if (const ControlDef* d = module_.simpleSliders[i].def)
            setSliderQuietly(controlAs<QSlider>(kIdSimpleSlider + i), tenthsScale(*d),
                             module_.simpleSliders[i].value.load(kRelaxed));
        if (const ControlDef* d = module_.frequencies[i].def) {
            setSliderQuietly(controlAs<QSlider>(kIdFrequencyBase + i), frequencyBaseScale(*d),
                             module_.frequencies[i].base.load(kRelaxed));
            setSliderQuietly(controlAs<QSlider>(kIdFrequencyMultiplier + i),
                             frequencyMultiplierScale(*d),
                             module_.frequencies[i].multiplier.load(kRelaxed));
            setSliderQuietly(controlAs<QSlider>(kIdFrequencySensitivity + i), sensitivityScale(*d),
                             module_.frequencies[i].sensitivity.load(kRelaxed));
        }
        if (const ControlDef* d = module_.flippers[i].def) {
            setSliderQuietly(controlAs<QSlider>(kIdFlipperUpper + i), tenthsScale(*d),
                             module_.flippers[i].upper.load(kRelaxed));
            setSliderQuietly(controlAs<QSlider>(kIdFlipperLower + i), tenthsScale(*d),
                             module_.flippers[i].lower.load(kRelaxed));
        }
        if (module_.checkBoxes[i].def)
            if (auto* box = controlAs<QCheckBox>(kIdCheckBox + i)) {
                const QSignalBlocker block(box);
                box->setChecked(module_.checkBoxes[i].state.load(kRelaxed));
            }
        WaveWriterSlot& ww = module_.waveWriters[i];
        if (ww.def) {
            if (auto* path = controlAs<QLineEdit>(kIdWavePath + i)) {
                const QSignalBlocker block(path);
                path->setText(qs(ww.path));
            }
            if (auto* box = controlAs<QCheckBox>(kIdWaveAppend + i)) {
                const QSignalBlocker block(box);
                box->setChecked(ww.append.load(kRelaxed));
            }
            // A patch saved while recording records again.
            const bool recording = ww.recording.exchange(false, kRelaxed);
            if (auto* b = controlAs<QPushButton>(kIdWaveStopped + i)) b->setChecked(true);
            if (recording) startRecording(i);
        }
        if (module_.analysers[i].def && module_.state &&
            module_.type() == Module_AudioOutputAnalyser) {
            const QRect r = pixelRect(layout_.find(kIdAnalyserPicture + i)->rect);
            module_.stateAs<AnalyserState>().requestClear(r.width(), r.height());
            QImage blank(r.size(), QImage::Format_ARGB32);
            blank.fill(Qt::black);
            controlAs<QLabel>(kIdAnalyserPicture + i)->setPixmap(QPixmap::fromImage(blank));
        }
        if (module_.sensors[i].def) {
            lastDrawnAngle_.erase(i);
            drawSensor(i);
        }
    }
    if (module_.hasSequence) {
        for (const LayoutItem& item : layout_.items)
            if (item.cls == ItemClass::MultiLineEdit)
                if (auto* edit = controlAs<QPlainTextEdit>(item.id)) {
                    std::string text;
                    {
                        std::lock_guard lock(module_.sequence.mutex);
                        text = module_.sequence.text;
                    }
                    const QSignalBlocker block(edit);
                    edit->setPlainText(qs(text));
                }
    }
    if (module_.hasMidiSliders) rebuildMidiList();
    // Nothing to display for values that were set, not moved.
    for (const auto& [id, widget] : widgets_)
        if (auto* s = qobject_cast<QSlider*>(widget)) lastPos_[id] = s->value();
    applying_ = false;
}

void ModuleWindow::applySourceVisibility() {
    if (module_.showState.load(kRelaxed) != kShowFull) return;
    for (int i = 0; i < kSlotsPerKind; ++i) {
        if (module_.inputSliders[i].def) {
            const bool manual = module_.inputSliders[i].source.load(kRelaxed) == kSourceManual;
            if (QWidget* w = control(kIdValueSlider + i)) w->setVisible(manual);
            if (QWidget* w = control(kIdSensitivitySlider + i)) w->setVisible(!manual);
        }
        const ControlDef* f = module_.frequencies[i].def;
        if (f && f->hasSource()) {
            const bool manual = module_.frequencies[i].source.load(kRelaxed) == kSourceManual;
            for (int id :
                 {kIdFrequencyBase + i, kIdFrequencyMultiplier + i, kIdFrequencySecondCaption + i})
                if (QWidget* w = control(id)) w->setVisible(manual);
            if (QWidget* w = control(kIdFrequencySensitivity + i)) w->setVisible(!manual);
        } else if (f) {
            if (QWidget* w = control(kIdFrequencySensitivity + i)) w->hide();
        }
    }
}

void ModuleWindow::showDisplay(int captionId, const std::string& text, int timerKey) {
    auto* caption = controlAs<QLabel>(captionId);
    if (!caption) return;
    caption->setText(qs(text));
    const int slot = captionId - kIdSliderCaption;
    const bool hiddenCaption = captionId >= kIdSliderCaption && captionId < kIdValueSlider &&
                               module_.inputSliders[slot].def &&
                               labelOf(module_.inputSliders[slot].def->captionId).empty();
    if (hiddenCaption && module_.showState.load(kRelaxed) == kShowFull) {
        caption->show();
        if (QWidget* list = control(kIdSourceList + slot)) list->hide();
    }
    QTimer*& timer = restoreTimers_[timerKey];
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, captionId] { restoreCaption(captionId); });
    }
    timer->start(1000);
}

void ModuleWindow::restoreCaption(int captionId) {
    const LayoutItem* item = layout_.find(captionId);
    auto* caption = controlAs<QLabel>(captionId);
    if (!item || !caption) return;
    caption->setText(qs(labelOf(item->textId)));
    const int slot = captionId - kIdSliderCaption;
    if (captionId >= kIdSliderCaption && captionId < kIdValueSlider &&
        module_.inputSliders[slot].def &&
        labelOf(module_.inputSliders[slot].def->captionId).empty() &&
        module_.showState.load(kRelaxed) == kShowFull) {
        caption->hide();
        if (QWidget* list = control(kIdSourceList + slot)) list->show();
    }
}

void ModuleWindow::pollControls() {
    // A slider counts as moved when its position differs from the one last seen.
    auto read = [&](int id, const SliderScale& scale, double& value) -> bool {
        auto* s = controlAs<QSlider>(id);
        if (!s) return false;
        const int p = s->value();
        const auto it = lastPos_.find(id);
        if (it != lastPos_.end() && it->second == p) return false;
        lastPos_[id] = p;
        value = scale.value(p);
        return true;
    };
    for (int i = 0; i < kSlotsPerKind; ++i) {
        InputSliderSlot& in = module_.inputSliders[i];
        if (!in.def) continue;
        const int caption = kIdSliderCaption + i;
        const bool longMode = !in.def->optionKey.empty() && in.option.load(kRelaxed);
        double v = 0;
        if (read(kIdValueSlider + i, inputValueScale(*in.def, longMode), v)) {
            edit(in.manual, v);
            showDisplay(caption, valueDisplay(v, in.def->decimals, in.unitText), caption);
        }
        if (read(kIdSensitivitySlider + i, sensitivityScale(*in.def), v)) {
            edit(in.sensitivity, v);
            showDisplay(caption, formatLong(labelOf(115), static_cast<long>(v)), caption);
        }
        if (read(kIdVelocitySlider + i, velocityScale(), v)) {
            edit(in.velocitySensitivity, v);
            showDisplay(caption, formatLong(labelOf(241), static_cast<long>(v)), caption);
        }
    }
    for (int i = 0; i < kSlotsPerKind; ++i) {
        SimpleSliderSlot& s = module_.simpleSliders[i];
        if (!s.def) continue;
        double v = 0;
        if (read(kIdSimpleSlider + i, tenthsScale(*s.def), v)) {
            edit(s.value, v);
            showDisplay(kIdSimpleCaption + i,
                        valueDisplay(v, s.def->decimals, resolveText(s.def->unit)),
                        kIdSimpleCaption + i);
        }
    }
    for (int i = 0; i < kSlotsPerKind; ++i) {
        FrequencySlot& f = module_.frequencies[i];
        if (!f.def) continue;
        double base = 0, mult = 0;
        const bool b = read(kIdFrequencyBase + i, frequencyBaseScale(*f.def), base);
        const bool m = read(kIdFrequencyMultiplier + i, frequencyMultiplierScale(*f.def), mult);
        if (b) edit(f.base, base);
        if (m) edit(f.multiplier, mult);
        if (b || m)
            showDisplay(kIdFrequencyCaption + i,
                        formatDouble(labelOf(f.def->fineMode ? 240 : 37),
                                     f.base.load(kRelaxed) * f.multiplier.load(kRelaxed)),
                        kIdFrequencyCaption + i);
        double sens = 0;
        if (!f.def->sensitivityKey.empty() &&
            read(kIdFrequencySensitivity + i, sensitivityScale(*f.def), sens)) {
            edit(f.sensitivity, sens);
            showDisplay(kIdFrequencyCaption + i, formatLong(labelOf(115), static_cast<long>(sens)),
                        kIdFrequencySensitivity + i);
        }
    }
    if (module_.hasMidiSliders) updateMidiValues();
    if (module_.state && module_.type() == Module_ControlMIDIControllerInput &&
        module_.stateAs<MidiControllerState>().refreshWanted.exchange(false, kRelaxed))
        host_.requestRefreshAll();
    if (module_.hasSequence && module_.sequence.takePendingRecord()) {
        std::string text;
        {
            std::lock_guard lock(module_.sequence.mutex);
            text = module_.sequence.text;
        }
        for (const LayoutItem& item : layout_.items)
            if (auto* edit = qobject_cast<QPlainTextEdit*>(control(item.id))) {
                const QSignalBlocker block(edit);
                edit->setPlainText(qs(text));
                edit->moveCursor(QTextCursor::End);
            }
    }
    for (int i = 0; i < kSlotsPerKind; ++i)
        if (module_.sensors[i].def) drawSensor(i);
    for (int i = 0; i < kSlotsPerKind; ++i) {
        FlipperSlot& f = module_.flippers[i];
        if (!f.def) continue;
        double up = 0, low = 0;
        const std::string unit = resolveText(f.def->unit);
        if (read(kIdFlipperUpper + i, tenthsScale(*f.def), up)) {
            edit(f.upper, up);
            showDisplay(kIdFlipperCaption + i, valueDisplay(up, f.def->decimals, unit),
                        kIdFlipperCaption + i);
        }
        if (read(kIdFlipperLower + i, tenthsScale(*f.def), low)) {
            edit(f.lower, low);
            showDisplay(kIdFlipperCaption + i, valueDisplay(low, f.def->decimals, unit),
                        kIdFlipperCaption + i);
        }
    }
}

// --- Controls that act when used -----------------------------------------------------------------

void ModuleWindow::connectControls() {
    for (int i = 0; i < kSlotsPerKind; ++i) {
        auto onSource = [this](int id, std::atomic<int>* selector) {
            auto* list = controlAs<QComboBox>(id);
            if (!list) return;
            connect(list, &QComboBox::activated, this, [this, list, selector](int index) {
                edit(*selector, index < 0 ? kSourceNone : list->itemData(index).toInt());
                applySourceVisibility();
            });
        };
        if (module_.inputSliders[i].def)
            onSource(kIdSourceList + i, &module_.inputSliders[i].source);
        if (module_.controlInputs[i].def)
            onSource(kIdControlInputList + i, &module_.controlInputs[i].source);
        if (module_.frequencies[i].def)
            onSource(kIdFrequencyList + i, &module_.frequencies[i].source);
        auto onDevice = [this](int id, std::atomic<int>* code) {
            auto* list = controlAs<QComboBox>(id);
            if (!list) return;
            connect(list, &QComboBox::currentIndexChanged, this, [this, list, code](int index) {
                edit(*code, index < 0 ? kNoDeviceCode : list->itemData(index).toInt());
            });
        };
        if (module_.soundOutputs[i].def) onDevice(kIdOutputList + i, &module_.soundOutputs[i].code);
        if (module_.soundInputs[i].def) onDevice(kIdInputList + i, &module_.soundInputs[i].code);
        if (module_.midiInputs[i].def) onDevice(kIdMidiList + i, &module_.midiInputs[i].code);
        auto onChoice = [this](int id, std::atomic<uint8_t>* choice, bool analyser, int slot) {
            auto* list = controlAs<QComboBox>(id);
            if (!list) return;
            connect(
                list, &QComboBox::currentIndexChanged, this,
                [this, list, choice, analyser, slot](int index) {
                    edit(*choice, index < 0 ? kNoChoice
                                            : static_cast<uint8_t>(list->itemData(index).toInt()));
                    if (analyser && module_.state && module_.type() == Module_AudioOutputAnalyser) {
                        const QRect r = pixelRect(layout_.find(kIdAnalyserPicture + slot)->rect);
                        module_.stateAs<AnalyserState>().requestClear(r.width(), r.height());
                    }
                });
        };
        if (module_.analysers[i].def)
            onChoice(kIdAnalyserModeList + i, &module_.analysers[i].mode, true, i);
        if (module_.modulationEffects[i].def)
            onChoice(kIdEffectList + i, &module_.modulationEffects[i].choice, false, i);
        if (module_.outputModes[i].def)
            onChoice(kIdOutputModeList + i, &module_.outputModes[i].choice, false, i);
        if (auto* box = controlAs<QCheckBox>(kIdCheckBox + i))
            connect(box, &QCheckBox::toggled, this,
                    [this, i](bool on) { edit(module_.checkBoxes[i].state, on); });
        if (auto* box = controlAs<QCheckBox>(kIdOptionCheckBox + i))
            connect(box, &QCheckBox::toggled, this, [this, i](bool on) { onOptionToggled(i, on); });
        // Wave writer: path, append, browse, recording and stopped.
        if (auto* path = controlAs<QLineEdit>(kIdWavePath + i))
            connect(path, &QLineEdit::textChanged, this, [this, i](const QString& text) {
                module_.waveWriters[i].path = text.toStdString();
            });
        if (auto* box = controlAs<QCheckBox>(kIdWaveAppend + i))
            connect(box, &QCheckBox::toggled, this,
                    [this, i](bool on) { edit(module_.waveWriters[i].append, on); });
        if (auto* b = controlAs<QPushButton>(kIdWaveBrowse + i))
            connect(b, &QPushButton::clicked, this, [this, i] {
                const QString file = QFileDialog::getSaveFileName(
                    this, QString(), qs(module_.waveWriters[i].path), "WAV (*.wav);;* (*)");
                if (!file.isEmpty())
                    if (auto* path = controlAs<QLineEdit>(kIdWavePath + i)) path->setText(file);
            });
        if (auto* b = controlAs<QPushButton>(kIdWaveRecording + i))
            connect(b, &QPushButton::clicked, this, [this, i] { startRecording(i); });
        if (auto* b = controlAs<QPushButton>(kIdWaveStopped + i))
            connect(b, &QPushButton::clicked, this, [this, i] {
                host_.stopRecording(module_, i);
                module_.waveWriters[i].recording.store(false, kRelaxed);
            });
        // Help buttons.
        auto help = [this](int id, std::function<std::pair<std::string, std::string>()> texts) {
            if (auto* b = controlAs<QPushButton>(id))
                connect(b, &QPushButton::clicked, this, [this, texts] {
                    const auto [title, text] = texts();
                    QMessageBox box(QMessageBox::NoIcon, qs(title), qs(text), QMessageBox::NoButton,
                                    this);
                    box.addButton(qs(labelOf(495)), QMessageBox::AcceptRole);
                    box.exec();
                });
        };
        if (const ControlDef* d = module_.checkBoxes[i].def)
            help(kIdCheckBoxHelp + i, [this, d] {
                return std::pair{labelOf(d->captionId), labelOf(d->helpId)};
            });
        help(kIdSequenceHelp + i, [this] { return std::pair{labelOf(263), labelOf(264)}; });
        help(kIdEffectHelp + i, [this] { return std::pair{labelOf(497), labelOf(498)}; });
        help(kIdOutputModeHelp + i, [this] { return std::pair{labelOf(500), labelOf(501)}; });
        help(kIdMidiSlidersHelp + i, [this] {
            return std::pair{std::string("Kalvitrope"), labelOf(496)};
        });
        // Sequence text: upper case, handed to the engine on every edit.
        if (auto* edit = controlAs<QPlainTextEdit>(kIdSequenceText + i))
            connect(edit, &QPlainTextEdit::textChanged, this, [this, edit] {
                QString text = edit->toPlainText();
                const QString upper = text.toUpper();
                if (upper != text) {
                    const QSignalBlocker block(edit);
                    QTextCursor cursor = edit->textCursor();
                    const int at = cursor.position();
                    edit->setPlainText(upper);
                    cursor.setPosition(std::min(at, static_cast<int>(upper.size())));
                    edit->setTextCursor(cursor);
                }
                module_.sequence.setText(upper.toStdString());
                // The engine takes the text when it can: a tape cannot place it exactly.
                if (ModuleEdits* e = host_.edits()) e->notTaped();
            });
        // MIDI sliders.
        if (auto* b = controlAs<QPushButton>(kIdLearnButton + i))
            connect(b, &QPushButton::clicked, this, [this, b] {
                if (const int refused = host_.toggleLearning(module_)) {
                    QMessageBox::information(this, qs(module_.name), qs(labelOf(refused)));
                    return;
                }
                const bool learning =
                    module_.state && module_.type() == Module_ControlMIDIControllerInput &&
                    module_.stateAs<MidiControllerState>().learning.load(kRelaxed);
                b->setText(qs(labelOf(learning ? 491 : 490)));
            });
        if (auto* b = controlAs<QPushButton>(kIdRemoveButton + i))
            connect(b, &QPushButton::clicked, this, [this, i] {
                auto* list = controlAs<QTreeWidget>(kIdMidiSliderList + i);
                QTreeWidgetItem* line = list ? list->currentItem() : nullptr;
                if (!line) {
                    QMessageBox::information(this, qs(module_.name), qs(labelOf(234)));
                    return;
                }
                const int slot = line->data(0, Qt::UserRole).toInt();
                if (slot >= 0 && slot < 128) edit(module_.midiControllers[slot].controller, -1);
                host_.requestRefreshAll();
            });
    }
    if (auto* b = controlAs<QPushButton>(kIdCloseButton))
        connect(b, &QPushButton::clicked, this, [this] { host_.requestDelete(module_); });
    if (auto* b = controlAs<QPushButton>(kIdRenameButton))
        connect(b, &QPushButton::clicked, this, [this] {
            bool ok = false;
            const QString name = QInputDialog::getText(this, qs(module_.name), qs(labelOf(11)),
                                                       QLineEdit::Normal, qs(module_.name), &ok);
            if (ok) rename(name.toStdString());
        });
}

void ModuleWindow::onOptionToggled(int slot, bool on) {
    InputSliderSlot& in = module_.inputSliders[slot];
    auto* s = controlAs<QSlider>(kIdValueSlider + slot);
    if (!in.def || !s || applying_) return;
    const double v = in.manual.load(kRelaxed);
    edit(in.option, on);
    {
        const QSignalBlocker block(s);
        s->setValue(optionSwitchPosition(*in.def, v, on));
    }
    // A value beyond the normal range is clipped to it as the position is read back.
    lastPos_[kIdValueSlider + slot] = s->value();
    edit(in.manual, inputValueScale(*in.def, on).value(s->value()));
}

void ModuleWindow::invertMidiSign(QTreeWidget* list) {
    QTreeWidgetItem* line = list->currentItem();
    if (!line) {
        QMessageBox::information(this, qs(module_.name), qs(labelOf(234)));
        return;
    }
    const int slot = line->data(0, Qt::UserRole).toInt();
    if (slot < 0 || slot >= 128) return;
    auto& entry = module_.midiControllers[slot];
    const bool reversed = !entry.reversed.load(kRelaxed);
    edit(entry.reversed, reversed);
    line->setText(3, reversed ? "+ / -" : "+");
    line->setText(2, midiValueText(entry));
}

bool ModuleWindow::eventFilter(QObject* watched, QEvent* event) {
    auto* list = qobject_cast<QTreeWidget*>(watched);
    if (!list && watched && watched->parent()) list = qobject_cast<QTreeWidget*>(watched->parent());
    if (list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Space) {
            invertMidiSign(list);
            return true;
        }
        if (key == Qt::Key_Delete) {
            for (const auto& [id, w] : widgets_)
                if (w == list)
                    if (auto* remove =
                            controlAs<QPushButton>(id - kIdMidiSliderList + kIdRemoveButton))
                        remove->click();
            return true;
        }
    }
    if (list && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
        if (QTreeWidgetItem* line =
                list->itemAt(static_cast<QMouseEvent*>(event)->position().toPoint()))
            list->setCurrentItem(line);
        invertMidiSign(list);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void ModuleWindow::updateMidiValues() {
    for (const LayoutItem& item : layout_.items) {
        auto* list = qobject_cast<QTreeWidget*>(control(item.id));
        if (!list) continue;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* line = list->topLevelItem(i);
            const int slot = line->data(0, Qt::UserRole).toInt();
            if (slot < 0 || slot >= 128) continue;
            const double v = module_.midiControllers[slot].value.load(kRelaxed);
            if (v == lastMidiValue_[slot]) continue;
            lastMidiValue_[slot] = v;
            line->setText(2, midiValueText(module_.midiControllers[slot]));
        }
    }
}

void ModuleWindow::rebuildMidiList() {
    // Learned sliders get their rows (and forgotten ones lose them) before the lines are made;
    // the other windows' source lists then follow.
    if (host_.registry().syncMidiSliderRows(module_))
        QTimer::singleShot(0, this, [this] { host_.requestRefreshAll(); });
    for (const LayoutItem& item : layout_.items) {
        auto* list = qobject_cast<QTreeWidget*>(control(item.id));
        if (!list) continue;
        list->clear();
        list->setHeaderLabels(
            {qs(labelOf(487)), qs(labelOf(488)), qs(labelOf(489)), qs(labelOf(493))});
        const int widths[] = {50, 55, 50, 40};
        for (int c = 0; c < 4; ++c)
            list->setColumnWidth(c, widths[c]);
        for (int slot = 0; slot < 128; ++slot) {
            const int controller = module_.midiControllers[slot].controller.load(kRelaxed);
            if (controller < 0) continue;
            auto* line = new QTreeWidgetItem(list);
            line->setText(0, QString::number(slot + 1));
            line->setData(0, Qt::UserRole, slot);
            line->setText(1, QString::number(controller));
            line->setText(3, module_.midiControllers[slot].reversed.load(kRelaxed) ? "+ / -" : "+");
            line->setText(2, midiValueText(module_.midiControllers[slot]));
            lastMidiValue_[slot] = module_.midiControllers[slot].value.load(kRelaxed);
            for (int c = 0; c < 3; ++c)
                line->setTextAlignment(c, Qt::AlignRight);
            line->setTextAlignment(3, Qt::AlignCenter);
        }
    }
}

void ModuleWindow::startRecording(int slot) {
    const bool recording = host_.startRecording(module_, slot);
    if (auto* b = controlAs<QPushButton>(kIdWaveRecording + slot)) b->setChecked(recording);
    if (auto* b = controlAs<QPushButton>(kIdWaveStopped + slot)) b->setChecked(!recording);
}

void ModuleWindow::rename(const std::string& name) {
    const std::string old = module_.name;
    host_.registry().renameModule(&module_, name);
    if (ModuleEdits* e = host_.edits()) e->renamed(old, name);
    setWindowTitle(qs(name));
    if (auto* label = controlAs<QLabel>(kIdName)) label->setText(qs(name));
    host_.requestRefreshAll();
}

// --- Pictures and levels -------------------------------------------------------------------------

QPoint ModuleWindow::sensorPoint() const {
    for (int i = 0; i < kSlotsPerKind; ++i)
        if (const LayoutItem* item = layout_.find(kIdSensorPicture + i)) {
            const QRect r = pixelRect(item->rect);
            return r.topLeft() + QPoint(r.width() / 2, r.height() / 2);
        }
    return QPoint(width() / 2, height() / 2);
}

void ModuleWindow::pointSensorAt(QPoint cursor) {
    const QPoint p = sensorPoint();
    const double a = std::atan2(static_cast<double>(p.y() - cursor.y()),
                                static_cast<double>(p.x() - cursor.x()));
    for (auto& s : module_.sensors)
        if (s.def) edit(s.value, a);
    for (int i = 0; i < kSlotsPerKind; ++i)
        if (module_.sensors[i].def) drawSensor(i);
}

void ModuleWindow::drawSensor(int slot) {
    auto* picture = controlAs<QLabel>(kIdSensorPicture + slot);
    if (!picture) return;
    const double a = module_.sensors[slot].value.load(kRelaxed);
    const auto last = lastDrawnAngle_.find(slot);
    if (last != lastDrawnAngle_.end() && last->second == a) return;
    lastDrawnAngle_[slot] = a;
    const QRect r = pixelRect(layout_.find(kIdSensorPicture + slot)->rect);
    const ModuleColours& c = moduleColours();
    AnalyserPicture pic;
    pic.resize(r.width(), r.height());
    pic.fill(argb(c.moduleBackground));
    const double w = r.width(), h = r.height(), cx = w / 2, cy = h / 2;
    auto e = [&](double radius, double angle) {
        return std::pair{cx + radius * w * std::cos(angle), cy + radius * h * std::sin(angle)};
    };
    auto line = [&](std::pair<double, double> p, std::pair<double, double> q, uint32_t colour) {
        pic.blendLine(p.first, p.second, q.first, q.second, colour);
    };
    constexpr double pi = std::numbers::pi;
    const uint32_t text = argb(c.dialogText);
    const uint32_t back = argb(QColor((c.dialogText.red() + c.dialogBackground.red()) / 2,
                                      (c.dialogText.green() + c.dialogBackground.green()) / 2,
                                      (c.dialogText.blue() + c.dialogBackground.blue()) / 2));
    line(e(0.5, a), e(0.05, a + pi / 2), text);
    line(e(0.5, a), e(0.05, a - pi / 2), text);
    const auto q = e(0.45, a + 0.3);
    line(q, {q.first + w / 20, q.second}, text);
    line(q, {q.first - w / 20, q.second}, text);
    line(q, {q.first, q.second + h / 20}, text);
    line(q, {q.first, q.second - h / 20}, text);
    line(e(0.5, a + pi), e(0.05, a + pi / 2), back);
    line(e(0.5, a + pi), e(0.05, a - pi / 2), back);
    const auto m = e(0.45, a + 0.3 + pi);
    line(m, {m.first + w / 20, m.second}, text);
    line(m, {m.first - w / 20, m.second}, text);
    picture->setPixmap(QPixmap::fromImage(imageOf(pic)));
}

void ModuleWindow::updatePictures() {
    if (module_.type() != Module_AudioOutputAnalyser || !module_.state) return;
    const AnalyserPicture& p = module_.stateAs<AnalyserState>().latest();
    const QImage img = imageOf(p);
    if (img.isNull()) return;
    for (int i = 0; i < kSlotsPerKind; ++i)
        if (auto* picture = controlAs<QLabel>(kIdAnalyserPicture + i))
            picture->setPixmap(QPixmap::fromImage(img));
}

void ModuleWindow::updateLevels() {
    if (module_.showState.load(kRelaxed) != kShowCompact) return;
    const std::optional<LevelInputs> in = host_.levels(module_);
    if (!in) return;
    const auto [bar1, bar2] = levelBars(module_.type(), *in);
    if (bar1 != lastBar1_)
        if (auto* bar = controlAs<QProgressBar>(kIdLevelBar1))
            bar->setValue(std::clamp(bar1, 0, 1000));
    if (bar2 != lastBar2_)
        if (auto* bar = controlAs<QProgressBar>(kIdLevelBar2))
            bar->setValue(std::clamp(bar2, 0, 1000));
    lastBar1_ = bar1;
    lastBar2_ = bar2;
}

std::optional<LevelInputs> takePublishedLevels(const Module& module) {
    LevelInputs in;
    if (module.type() == Module_AudioOutputAnalyser) {
        // The analyser measures what its output device plays, in its own working storage.
        if (!module.state) return std::nullopt;
        in.accumulated = static_cast<AnalyserState&>(*module.state).takePeak();
        in.accumulatorVoices = 1;
        return in;
    }
    PublishedLevels& p = module.levels;
    if (!p.published.load(kRelaxed)) return std::nullopt;
    const int n = std::clamp(p.voices.load(kRelaxed), 0, kVoices);
    if (module.info().audio) {
        for (int k = 0; k < n; ++k)
            in.accumulated += p.take(k);
        in.accumulatorVoices = n;
        in.frequency = p.frequency.load(kRelaxed);
        return in;
    }
    in.primary.resize(static_cast<std::size_t>(n));
    in.velocity.resize(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        in.primary[static_cast<std::size_t>(k)] = p.primary[k].load(kRelaxed);
        in.velocity[static_cast<std::size_t>(k)] = p.velocity[k].load(kRelaxed);
    }
    in.secondRowPrimary = p.secondRowPrimary.load(kRelaxed);
    return in;
}

// --- Show states, shape and painting
// --------------------------------------------------------------

QRect ModuleWindow::visibleRect() const {
    const uint8_t s = module_.showState.load(kRelaxed);
    int h = height();
    if (s == kShowCompact) h = static_cast<int>((22 + 24) * units_.y) + 12;
    if (s == kShowCollapsed) h = static_cast<int>(24 * units_.y) + 8;
    return QRect(0, 0, width(), std::min(h, height()));
}

void ModuleWindow::updateMask() {
    const QRect r = visibleRect();
    QPainterPath path;
    path.addRoundedRect(QRectF(0, 0, r.width() + 1, r.height() + 1), 15, 15);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
    update();
}

void ModuleWindow::applyShowState(int state) {
    const uint8_t old = module_.showState.load(kRelaxed);
    const uint8_t now = static_cast<uint8_t>(state);
    if (now == kShowCompact && old != kShowCompact && old != kShowCollapsed) {
        visibleBeforeCompact_.clear();
        for (int id : createdIds_) {
            QWidget* w = control(id);
            visibleBeforeCompact_[id] = w->isVisibleTo(this);
            w->hide();
        }
    }
    module_.showState.store(now, kRelaxed);
    if (now == kShowCompact) {
        control(kIdLevelBar1)->show();
        control(kIdLevelBar2)->show();
        lastBar1_ = lastBar2_ = -1;
    } else if (now == kShowCollapsed) {
        control(kIdLevelBar1)->hide();
        control(kIdLevelBar2)->hide();
    } else if (now == kShowFull) {
        control(kIdLevelBar1)->hide();
        control(kIdLevelBar2)->hide();
        for (const auto& [id, visible] : visibleBeforeCompact_)
            control(id)->setVisible(visible);
        visibleBeforeCompact_.clear();
        applySourceVisibility();
        for (int i = 0; i < kSlotsPerKind; ++i)
            if (module_.inputSliders[i].def) restoreCaption(kIdSliderCaption + i);
    } else {
        return; // stored only
    }
    updateMask();
}

void ModuleWindow::cycleShowState() {
    const uint8_t s = module_.showState.load(kRelaxed);
    applyShowState(s == kShowFull ? kShowCompact : s == kShowCompact ? kShowCollapsed : kShowFull);
}

void ModuleWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const ModuleColours& c = moduleColours();
    const QRect r = visibleRect();
    p.fillRect(r, c.moduleBackground);
    const double weights[] = {0.7, 0.5, 0.3, 0.1};
    for (int k = 0; k < 4; ++k) {
        p.setPen(blendColour(c.dialogText, c.moduleBackground, weights[k]));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(r).adjusted(k + 0.5, k + 0.5, -k - 0.5, -k - 0.5), 15, 15);
    }
}

// --- Position and dragging -----------------------------------------------------------------------

QPoint ModuleWindow::storedCentre() const {
    return QPoint(static_cast<int>(module_.positionX), static_cast<int>(module_.positionY));
}

void ModuleWindow::placeCentre(QPoint screenCentre) {
    move(screenCentre - QPoint(width() / 2, height() / 2));
}

void ModuleWindow::placeAtStoredCentre() {
    std::vector<QRect> screens;
    for (QScreen* screen : QGuiApplication::screens())
        screens.push_back(screen->geometry());
    const QPoint stored = storedCentre() + host_.clientOrigin() - QPoint(width() / 2, height() / 2);
    const QPoint shift = reachableShift(visibleRect().translated(stored), screens);
    displacement_ = shift;
    move(stored + shift);
}

void ModuleWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    const QPoint origin = host_.clientOrigin();
    const QPoint centre = pos() + QPoint(width() / 2, height() / 2) - origin - displacement_;
    if (module_.positionX != centre.x() || module_.positionY != centre.y()) {
        module_.positionX = centre.x();
        module_.positionY = centre.y();
    }
    publishSensorPoint();
}

void ModuleWindow::publishSensorPoint(bool always) {
    if (module_.type() != Module_ControlSensor) return;
    const QPoint p = pos() + sensorPoint() - host_.clientOrigin();
    if (!always && p == publishedSensorPoint_) return;
    publishedSensorPoint_ = p;
    if (ModuleEdits* e = host_.edits()) {
        e->storeSensorPoint(module_, p.x(), p.y());
    } else {
        module_.sensorPointX.store(p.x(), kRelaxed);
        module_.sensorPointY.store(p.y(), kRelaxed);
    }
}

void ModuleWindows::republishSensorPoints() {
    for (ModuleWindow* w : windows())
        w->publishSensorPoint(true);
}

bool ModuleWindow::dragInProgress() {
    return g_dragging;
}

void ModuleWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    const QPoint global = event->globalPosition().toPoint();
    if (host_.windowsUnder(global) >= 2 && g_dragging) return;
    pressPoint_ = event->position().toPoint();
    for (int i = 0; i < kSlotsPerKind; ++i)
        if (const LayoutItem* item = layout_.find(kIdSensorPicture + i))
            if (pixelRect(item->rect).contains(pressPoint_)) {
                pointSensorAt(pressPoint_);
                sensorTimer_.start(10);
                return;
            }
    g_dragging = true;
    g_lastCursor = global;
    dragTimer_.start(10);
}

void ModuleWindow::stopDrag() {
    dragTimer_.stop();
    sensorTimer_.stop();
    g_dragging = false;
}

void ModuleWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) stopDrag();
    QWidget::mouseReleaseEvent(event);
}

void ModuleWindow::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() == Qt::NoButton && (dragTimer_.isActive() || sensorTimer_.isActive()))
        stopDrag();
    QWidget::mouseMoveEvent(event);
}

void ModuleWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) cycleShowState();
}

void ModuleWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        cycleShowState();
        return;
    }
    QWidget::keyPressEvent(event);
}

// --- The windows of a registry
// --------------------------------------------------------------------

ModuleWindows::ModuleWindows(ModuleRegistry& registry, QWidget* owner)
    : registry_(registry), owner_(owner) {}

ModuleWindows::~ModuleWindows() {
    closeAll();
}

ModuleWindow* ModuleWindows::open(Module& module) {
    if (ModuleWindow* w = windowOf(&module)) return w;
    auto* w = new ModuleWindow(module, *this, owner_);
    windows_[&module] = w;
    w->show();
    return w;
}

void ModuleWindows::openAll() {
    registry_.forEachInListOrder([&](Module& m) { open(m); });
}

ModuleWindow* ModuleWindows::windowOf(const Module* module) const {
    const auto it = windows_.find(module);
    return it == windows_.end() ? nullptr : it->second;
}

std::vector<ModuleWindow*> ModuleWindows::windows() const {
    std::vector<ModuleWindow*> out;
    registry_.forEachInListOrder([&](Module& m) {
        if (ModuleWindow* w = windowOf(&m)) out.push_back(w);
    });
    return out;
}

void ModuleWindows::closeAll() {
    if (edits_) edits_->flush(); // the modules go next
    for (auto& [module, window] : windows_)
        delete window;
    windows_.clear();
}

void ModuleWindows::setDeviceManagers(const OutputDeviceManager* output,
                                      const WaveInputManager* waveInput,
                                      const MidiInputManager* midiInput) {
    output_ = output;
    waveInput_ = waveInput;
    midiInput_ = midiInput;
}

namespace {
std::vector<ListEntry> entriesOf(const std::vector<DeviceListEntry>& list) {
    std::vector<ListEntry> out;
    out.reserve(list.size());
    for (const DeviceListEntry& e : list)
        out.push_back({e.text, e.value});
    return out;
}
} // namespace

std::vector<ListEntry> ModuleWindows::outputDeviceList(bool wholeDevice) {
    if (!output_) return ModuleWindowHost::outputDeviceList(wholeDevice);
    return entriesOf(output_->deviceList(kNoDeviceCode, wholeDevice));
}

std::vector<ListEntry> ModuleWindows::inputDeviceList() {
    if (!waveInput_) return ModuleWindowHost::inputDeviceList();
    return entriesOf(waveInput_->deviceList(kNoDeviceCode));
}

std::vector<ListEntry> ModuleWindows::midiDeviceList() {
    if (!midiInput_) return ModuleWindowHost::midiDeviceList();
    return entriesOf(midiInput_->deviceList(kNoDeviceCode));
}

int ModuleWindows::toggleLearning(Module& module) {
    if (!engineState_ || !module.state || module.type() != Module_ControlMIDIControllerInput)
        return kLearnRefusedString;
    // The engine learns controllers at samples of its own: a tape cannot place them.
    if (edits_) edits_->notTaped();
    return toggleLearn(module, *engineState_);
}

bool ModuleWindows::startRecording(Module& module, int control) {
    if (!waveWriters_) return false;
    using R = WaveWriterList::StartResult;
    R result = waveWriters_->start(module, control);
    if (result == R::EmptyPath) {
        const QString file = QFileDialog::getSaveFileName(windowOf(&module), QString(), QString(),
                                                          "WAV (*.wav);;* (*)");
        if (file.isEmpty()) return false;
        module.waveWriters[control].path = file.toStdString();
        if (ModuleWindow* w = windowOf(&module))
            if (auto* path = w->controlAs<QLineEdit>(kIdWavePath + control)) {
                const QSignalBlocker block(path);
                path->setText(file);
            }
        result = waveWriters_->start(module, control);
    }
    if (result == R::OpenFailed) {
        QMessageBox::warning(windowOf(&module), qs(WaveWriterList::openFailedCaption()),
                             qs(WaveWriterList::openFailedText()));
        return false;
    }
    return result == R::Started || result == R::AlreadyRecording;
}

void ModuleWindows::stopRecording(Module& module, int control) {
    if (waveWriters_) waveWriters_->stop(module, control);
}

void ModuleWindows::requestDelete(Module& module) {
    if (beforeDelete_) beforeDelete_();
    if (edits_) edits_->flush(); // no held edit may outlive its module
    if (waveWriters_) waveWriters_->stopModule(module);
    if (ModuleWindow* w = windowOf(&module)) {
        windows_.erase(&module);
        w->shutDown();
        w->hide();
        w->deleteLater(); // the close button's handler is still running
    }
    registry_.removeModule(&module);
    requestRefreshAll();
}

void ModuleWindows::requestRefreshAll() {
    registry_.refreshSelectors();
    for (ModuleWindow* w : windows())
        w->refresh();
}

QPoint ModuleWindows::clientOrigin() const {
    return owner_ ? owner_->geometry().topLeft() : QPoint();
}

void ModuleWindows::placeAll() {
    for (const auto& [module, window] : windows_)
        window->placeAtStoredCentre();
}

int ModuleWindows::windowsUnder(QPoint screenPoint) {
    int n = 0;
    for (const auto& [module, window] : windows_) {
        const QRect r = window->visibleRect().translated(window->pos());
        if (window->isVisible() && r.contains(screenPoint)) ++n;
    }
    return n;
}

} // namespace kv::ui
