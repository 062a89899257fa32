#pragma once
// The window of one module: a frameless top-level window laid out from the module's definition,
// whose controls edit the module's live values. It polls its sliders every 10 ms and writes what
// they show into the module; lists, check boxes and buttons act when used. It reads from the
// engine only what the engine publishes for display (analyser pictures, levels).
//
// Threads: everything here runs on the user-interface thread.
#include <QPoint>
#include <QTimer>
#include <QWidget>
#include <array>
#include <climits>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "devices/tape_edits.h"
#include "modules/module_registry.h"
#include "ui/module_window/module_layout.h"

class QComboBox;
class QLabel;
class QSlider;
class QTreeWidget;

namespace kv {
class OutputDeviceManager;
class WaveInputManager;
class MidiInputManager;
class WaveWriterList;
struct EngineState;
} // namespace kv

namespace kv::ui {

class ModuleWindow;

/// What the compact state's level bars are computed from, as the engine publishes it.
struct LevelInputs {
    std::vector<double> primary;  // |primary| per voice of the first output row
    std::vector<double> velocity; // |velocity| per voice
    double secondRowPrimary = 0;  // control sensor: voice 0 of its second row
    double accumulated = 0;       // audio: the sum of the level accumulators (taken and reset)
    int accumulatorVoices = 0;    // audio: how many accumulators were summed (m)
    double frequency = 0;         // oscillator / muted pluck: the played frequency (Hz)
};

/// Bar 1's curve: maps 10 to 10 and 1000 to 700 (truncated; negative for tiny values).
int levelCurve(double a);
/// The two bars (0..1000) of a module of `type` in the compact state.
std::pair<int, int> levelBars(int type, const LevelInputs& in);

/// The levels the engine published for `module`'s compact window; taking them restarts the
/// module's level accumulators from 0. nullopt while the engine has published nothing for it.
/// User-interface thread.
std::optional<LevelInputs> takePublishedLevels(const Module& module);

/// The "Value" column of a MIDI slider line: the controller value (0..127) as is, or, for a
/// reversed (signed) slider, spread to −127..127 around 64.
double midiSliderDisplayValue(double value, bool reversed);

/// What a module window needs from its owner (the main window).
class ModuleWindowHost {
  public:
    virtual ~ModuleWindowHost() = default;
    virtual ModuleRegistry& registry() = 0;
    /// Device lists as the device managers fill them (first entry "" with −555).
    virtual std::vector<ListEntry> outputDeviceList(bool wholeDevice) {
        (void)wholeDevice;
        return {{"", -555}};
    }
    virtual std::vector<ListEntry> inputDeviceList() { return {{"", -555}}; }
    virtual std::vector<ListEntry> midiDeviceList() { return {{"", -555}}; }
    /// Delete this module (close button). The host destroys the window.
    virtual void requestDelete(Module& module) = 0;
    /// Refresh every module window (after a rename, a deletion, a learned MIDI slider).
    virtual void requestRefreshAll() = 0;
    /// How many module windows contain this screen point.
    virtual int windowsUnder(QPoint screenPoint) { return screenPoint.isNull() ? 0 : 1; }
    /// The main window's client origin on the screen (module positions are relative to it).
    virtual QPoint clientOrigin() const { return {}; }
    /// Whether a dragged module window snaps its edges to the screen and work-area edges.
    virtual bool snapToScreenEdges() const { return false; }
    /// The wave writer's "Recording" button: starts recording control `control` of `module`.
    /// Returns the new recording state. The default has no recorder: nothing records.
    virtual bool startRecording(Module& module, int control) {
        (void)control;
        (void)module;
        return false;
    }
    /// The "Stopped" button, and deleting a recording module.
    virtual void stopRecording(Module& module, int control) {
        (void)module;
        (void)control;
    }
    /// The learn button of a MIDI controller input module: 0 when learning was switched, else the
    /// language string that says why not (the engine is stopped).
    virtual int toggleLearning(Module& module) {
        (void)module;
        return 235;
    }
    /// The engine's published levels for the compact state (taken: accumulators restart from 0);
    /// nullopt when none are published.
    virtual std::optional<LevelInputs> levels(const Module& module) {
        return takePublishedLevels(module);
    }
    /// The path the window's edits of live values take to the engine (null: stored at once).
    virtual ModuleEdits* edits() { return nullptr; }
};

/// Show states, stored in the module as a byte.
enum ShowState : uint8_t { kShowFull = 10, kShowCompact = 5, kShowCollapsed = 3 };

class ModuleWindow : public QWidget {
    Q_OBJECT
  public:
    /// Builds the window from the module's definition, centred on the module's stored position,
    /// applies the module's values and starts the timers. `owner` is the main window (may be null).
    ModuleWindow(Module& module, ModuleWindowHost& host, QWidget* owner = nullptr);
    ~ModuleWindow() override;

    Module& module() { return module_; }
    /// Stops every timer: the module is about to go; the window is deleted later.
    void shutDown();
    const WindowLayout& layout() const { return layout_; }
    const DialogUnits& units() const { return units_; }
    QWidget* control(int id) const;
    template <class W> W* controlAs(int id) const { return qobject_cast<W*>(control(id)); }

    /// Slider ranges and positions, check boxes, lists, fields and pictures from the module.
    void applyValuesToControls();
    /// Name, captions, every list refilled from the registry and the host, visibility re-applied.
    void refresh();
    /// Takes the module colours in use now (after the user changed them) and repaints.
    void applyColours();
    /// 10, 5 or 3 change what is visible; any other value is only stored.
    void applyShowState(int state);
    /// The double-click / Esc cycle: full → compact → collapsed → full.
    void cycleShowState();
    /// The part of the window that is visible in the current show state (client pixels).
    QRect visibleRect() const;
    /// The module's new name (the rename dialog's result); asks for a refresh of all windows.
    void rename(const std::string& name);
    /// Moves the window so that its centre lies at `screenCentre`; stores the position.
    void placeCentre(QPoint screenCentre);
    /// Places the window at its stored centre relative to the host's client origin, moved in
    /// when its visible part would fall off the screens (the stored position is kept).
    void placeAtStoredCentre();
    /// How far the window stands from its stored place because it was moved onto the screens
    /// (pixels; null when it stands where the module says).
    QPoint displacement() const { return displacement_; }
    /// The window centre in main-window client coordinates, as stored in the module.
    QPoint storedCentre() const;

    /// The control timer's work (every 10 ms): sliders into the module, value displays, pending
    /// sequence notes, sensor pictures.
    void pollControls();
    /// The level timer's work (every 33 ms, compact state only).
    void updateLevels();
    /// The picture timer's work (every 33 ms): analyser pictures from the engine.
    void updatePictures();
    /// The sensor point in client pixels: the centre of the direction picture.
    QPoint sensorPoint() const;
    /// The sensor point into the module, in main-window client coordinates, through the
    /// windows' edit path; only when it moved unless `always`.
    void publishSensorPoint(bool always = false);
    /// Sets the direction from a cursor position in client pixels (the direction drag).
    void pointSensorAt(QPoint clientCursor);

    /// Whether a module window is being dragged (one flag for the whole program).
    static bool dragInProgress();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void build();
    QWidget* createItem(const LayoutItem& item);
    QRect pixelRect(const UnitRect& r) const;
    void updateMask();
    void applySourceVisibility();
    void fillSourceList(QComboBox* list, const ControlDef& def, int selector);
    void fillDeviceList(QComboBox* list, const std::vector<ListEntry>& entries, int code);
    void fillChoiceList(QComboBox* list, int firstString, int count, int choice);
    void showDisplay(int captionId, const std::string& text, int timerKey);
    void restoreCaption(int captionId);
    void connectControls();
    void onOptionToggled(int slot, bool on);
    void drawSensor(int slot);
    void rebuildMidiList();
    /// Control timer: each MIDI slider line's "Value" column, where the value changed.
    void updateMidiValues();
    /// Space or a right click on the MIDI slider list: the selected slider's polarity reversed.
    void invertMidiSign(QTreeWidget* list);
    void stopDrag();
    /// Starts recording wave writer `slot`; the two buttons show the outcome.
    void startRecording(int slot);
    std::string labelOf(int id) const;

    Module& module_;
    QPoint publishedSensorPoint_{INT_MIN, INT_MIN};
    ModuleWindowHost& host_;
    WindowLayout layout_;
    DialogUnits units_;
    std::map<int, QWidget*> widgets_;
    std::vector<int> createdIds_; // definition controls, creation order
    std::map<int, bool> visibleBeforeCompact_;
    std::map<int, int> lastPos_; // slider positions last seen, by id
    std::map<int, QTimer*> restoreTimers_;
    std::map<int, double> lastDrawnAngle_;
    QTimer controlTimer_, pictureTimer_, levelTimer_, dragTimer_, sensorTimer_;
    QPoint pressPoint_;
    QPoint displacement_; // screen place minus stored place, while moved in to stay reachable
    int lastBar1_ = -1, lastBar2_ = -1;
    /// Controller value last shown per MIDI slider slot (NaN: not shown yet).
    std::array<double, 128> lastMidiValue_ = makeUnshownMidiValues();
    static std::array<double, 128> makeUnshownMidiValues() {
        std::array<double, 128> a;
        a.fill(std::numeric_limits<double>::quiet_NaN());
        return a;
    }
    bool applying_ = false;
    /// Stores a live value of the module as the user's edit (through the host's edit path).
    template <class T, class V> void edit(std::atomic<T>& live, V value) {
        if (ModuleEdits* e = host_.edits())
            e->store(module_, live, static_cast<T>(value));
        else
            live.store(static_cast<T>(value), std::memory_order_relaxed);
    }
};

/// The module windows of a registry, as the main window keeps them: one window per module, the
/// host side of deletion, refreshing and counting windows under a point.
class ModuleWindows : public ModuleWindowHost {
  public:
    explicit ModuleWindows(ModuleRegistry& registry, QWidget* owner = nullptr);
    ~ModuleWindows() override;

    /// A window for every module that has none yet (after creating modules or loading).
    void openAll();
    ModuleWindow* open(Module& module);
    ModuleWindow* windowOf(const Module* module) const;
    std::vector<ModuleWindow*> windows() const;
    /// Closes every window (before the modules are cleared) and applies the edits still held.
    void closeAll();

    /// The device managers whose lists the windows show (any may be null: an empty list).
    void setDeviceManagers(const OutputDeviceManager* output, const WaveInputManager* waveInput,
                           const MidiInputManager* midiInput);
    /// The engine state that MIDI learning asks whether the engine runs (null: it never does).
    void setEngineState(const EngineState* state) { engineState_ = state; }
    /// The recorder of the wave writers (null: nothing records).
    void setWaveWriters(WaveWriterList* writers) { waveWriters_ = writers; }
    /// The edit path of the windows (null: edits are stored at once).
    void setEdits(ModuleEdits* edits) { edits_ = edits; }
    ModuleEdits* edits() override { return edits_; }
    /// Called before a window's delete button removes its module (a gesture tape playing live
    /// must let go of it first).
    void setBeforeDelete(std::function<void()> f) { beforeDelete_ = std::move(f); }
    /// Every sensor window tells its point again (after a replay placed the sensors).
    void republishSensorPoints();

    ModuleRegistry& registry() override { return registry_; }
    std::vector<ListEntry> outputDeviceList(bool wholeDevice) override;
    std::vector<ListEntry> inputDeviceList() override;
    std::vector<ListEntry> midiDeviceList() override;
    void requestDelete(Module& module) override;
    void requestRefreshAll() override;
    int windowsUnder(QPoint screenPoint) override;
    /// The owner's top-left corner on the screen (the main window is frameless: its client area
    /// is the whole window); (0, 0) without an owner.
    QPoint clientOrigin() const override;
    /// Every window back at its stored place relative to the owner (after the owner was placed).
    void placeAll();
    /// Dragged windows snap to the screen edges while `*lock` is set (the user's preference,
    /// owned by the caller and outliving this list); null: they never snap.
    void setEdgeLock(const bool* lock) { edgeLock_ = lock; }
    bool snapToScreenEdges() const override { return edgeLock_ && *edgeLock_; }
    int toggleLearning(Module& module) override;
    bool startRecording(Module& module, int control) override;
    void stopRecording(Module& module, int control) override;

  private:
    ModuleRegistry& registry_;
    QWidget* owner_;
    const OutputDeviceManager* output_ = nullptr;
    const WaveInputManager* waveInput_ = nullptr;
    const MidiInputManager* midiInput_ = nullptr;
    const EngineState* engineState_ = nullptr;
    WaveWriterList* waveWriters_ = nullptr;
    ModuleEdits* edits_ = nullptr;
    std::function<void()> beforeDelete_;
    const bool* edgeLock_ = nullptr;
    std::map<const Module*, ModuleWindow*> windows_;
};

} // namespace kv::ui
