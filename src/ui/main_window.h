#pragma once
// The main window: the program's control centre. It owns the instrument (assembled in
// instrument/instrument.h on the sound system's devices and the desktop's mouse) and keeps only
// window behaviour: a frameless rounded window with its own caption buttons; it minimises to the
// system tray, closes with the autosave and the settings, and restores its placement from the
// settings. User-interface thread. Its members are defined by concern: main_window.cpp
// (construction, controls, engine buttons), main_window_commands.cpp (commands and menus),
// main_window_tray.cpp (tray, minimising, maximising, closing), main_window_files.cpp (patches,
// modules, gesture tapes) and main_window_mouse.cpp (dragging, shape, the desktop's mouse).
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <QPointer>
#include <QRect>
#include <QTimer>

#include "instrument/instrument.h"
#include "mouse/mouse_notice.h"
#include "ui/app_settings.h"
#include "ui/dialog.h"
#include "ui/module_window/window_drag.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QMenu;
class QSlider;
class QSystemTrayIcon;

namespace kv {
class Module;
} // namespace kv

namespace kv::ui {

class StatusDisplay;

class ModuleWindows;
class OnlineServices;
enum class OriginMode;

/// Command identifiers shared by buttons and menu items.
enum Command : int {
    kCmdAbout = 1003,
    kCmdStart = 1004,
    kCmdStop = 1005,
    kCmdStartAndHide = 1006,
    kCmdHelpButton = 1016,
    kCmdOptions = 1024,
    kCmdHelp = 1026,
    kCmdPreferences = 1027,
    kCmdMaximiseRestore = 1028,
    kCmdMinimise = 1029,
    kCmdMaximiseButton = 1032,
    kCmdPresets = 1033,
    kCmdAddModule = 1049,
    kCmdLoad = 1066,
    kCmdSave = 1067,
    kCmdClear = 1068,
    kCmdShareOnline = 1071,
    kCmdFastMouseStatus = 1072,
    kCmdSwapBuffers = 1073,
    kCmdIndicatorStyle = 1087,
    kCmdChooseOrigin = 1098,
    kCmdResetOrigin = 1099,
    kCmdShowOrigin = 1100,
    kCmdExit = 1209,
    kCmdClose = 1430,
    kCmdRecordTape = 1601,
    kCmdStopTape = 1602,
    kCmdReplayTape = 1603,
};

/// The value the window publishes once its start-up layout is complete.
inline constexpr int kWindowReady = 13950;

/// What start-up hands the window.
struct MainWindowOptions {
    bool autoStartOnly = false;
    bool autoStartAndHide = false;
    bool wrapMouseGiven = false, wrapMouse = false;
    bool makeNoSoundGiven = false, makeNoSound = false;
    /// Sound system; empty: the settings' choice.
    std::string audioApi;
    /// Use the desktop's mouse (hook and sampler); off in tests that must not move the pointer.
    bool desktopMouse = true;
};

/// Which part of the window a point is over (client pixels), for sizing from the window's edges.
enum class HitArea { Body, TopLeft, TopRight, BottomLeft, BottomRight, Top, Left, Bottom, Right };
/// The window's own hit test: corners within 27 pixels (Euclidean) of the client's corners,
/// then edges 7 pixels wide; while maximised nothing sizes.
HitArea hitTest(int x, int y, int width, int height, bool maximised);

/// Where the window goes: `saved` when it has a size and lies at least partly on one of
/// `screens`; else `size` centred in `primaryArea`.
QRect restoredPlacement(const QRect& saved, const std::vector<QRect>& screens,
                        const QRect& primaryArea, const QSize& size);

/// Runs the help box (until the user answers Okay), over `owner` or none.
void runHelpBox(QWidget* owner);

class MainWindow : public Dialog {
    Q_OBJECT
  public:
    MainWindow(EngineState& state, SettingsStore& settings, MainWindowOptions options = {});
    ~MainWindow() override;

    // ---- Commands --------------------------------------------------------------------------
    void command(int id);
    void startEngine();
    void stopEngine();
    void startAndHide();
    void escape();
    void minimiseWindow();
    void restoreWindow();
    void maximiseOrRestore();
    /// The settings changed (preferences confirmed): tray icon, window visibility, colours and
    /// labels follow them; `redraw` repaints the whole window.
    void settingsChanged(bool redraw);
    /// Closing: `exit` is the Exit command (no close-or-minimise question, never minimises).
    void closeWindow(bool exit);
    void showHelp();
    /// Loads a patch file; on failure the running patch stays and `error` says why.
    bool loadPatchFile(const QString& path, QString& error);
    /// Saves the patch; false with `error`.
    bool savePatchFile(const QString& path, QString& error);
    /// Loads a built-in preset by resource number; false (with a message) when not built in.
    bool loadPresetResource(int resource);
    /// Adds a module of `type` (0..34) as the add-module menu does; null (with a message) when
    /// none can be created.
    Module* addModuleOfType(int type);
    void clearAllModules();

    // ---- Gesture tapes ---------------------------------------------------------------------
    /// Starts recording a gesture tape into the tape folder: the patch is saved beside the tape
    /// and loaded afresh, and the engine (re)starts from its first sample, so that the take
    /// replays exactly from a new start. False with `error` when a file cannot be written.
    bool startTape(QString& error);
    /// Ends the take: the tape gets its end line and its name; a message says where it is.
    void stopTape();
    bool tapeRecording() const;
    /// The tape being (or last) recorded.
    std::string tapeFile() const;
    /// The folder tapes go to: the settings' gesture tape path, else the autosave's folder.
    std::string tapeFolder() const;
    /// Plays a recorded tape live: its patch (beside it, checked by its checksum) is loaded
    /// afresh and the engine restarts; the desktop's mouse, and the sound-card inputs the take
    /// recorded, are ignored until the tape ends or the engine stops. False with `error` naming the
    /// problem (and the line) when the tape cannot be played; nothing is changed then.
    bool replayTape(const std::string& path, QString& error);
    bool tapeReplaying() const { return instrument_->replaying(); }
    /// The "Recording gesture tape" indicator (visible while recording).
    QLabel* tapeIndicator() const { return tapeIndicator_; }

    // ---- Menus (the caller owns what is returned) ------------------------------------------
    QMenu* createProgramMenu(bool rightClick);
    QMenu* createAddModuleMenu();
    QMenu* createPresetsMenu();

    // ---- State -----------------------------------------------------------------------------
    /// The instrument the window plays.
    Instrument& instrument() { return *instrument_; }
    Engine& engine() { return instrument_->engine(); }
    ModuleRegistry& registry() { return instrument_->registry(); }
    ModuleWindows& moduleWindows() { return *moduleWindows_; }
    EngineState& engineState() { return state_; }
    SettingsStore& settings() { return settings_; }
    /// The version check and the feedback form.
    OnlineServices& online() { return *online_; }
    QPushButton* button(int id) const;
    QSlider* outputLatencySlider() const { return outputLatency_; }
    QSlider* inputLatencySlider() const { return inputLatency_; }
    QSlider* controlRateSlider() const { return controlRate_; }
    QLabel* latencyControlLabel() const { return latencyLabel_; }
    QListWidget* messageList() const { return messages_; }
    StatusDisplay* statusDisplay() const { return statusArea_; }
    /// Whether the sound system offered no output device at start-up (said in the message list
    /// and on the latency line).
    bool noSoundDevice() const { return noSoundDevice_; }
    static QString noSoundDeviceText();
    /// The mouse layer's shared state (metrics, hook state, preferences).
    MouseInput& mouseInput() { return instrument_->mouse(); }
    /// The tray icon while shown, else null.
    QSystemTrayIcon* trayIcon() const;
    bool trayShown() const;
    bool minimised() const { return minimised_; }
    /// kWindowReady once the start-up layout is complete (read by the status display's thread).
    int windowReady() const { return windowReady_.load(std::memory_order_relaxed); }
    /// Set once closing has finished (engine stopped, files written).
    bool finished() const { return finished_; }
    /// The autosave file this window writes on closing ("" when none).
    std::string autosaveFile() const;

  protected:
    void reject() override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

  private:
    void buildControls();
    void applyLabels();
    void applyShape();
    void layoutTimer();
    void welcome();
    /// Hands the status display its preferences (shown or not, style, speed, presentation).
    void applyStatusOptions();
    void setEngineButtons(bool running);
    void showTray(bool show);
    bool trayAvailable() const;
    void noteSliderChange(QLabel* label, const QString& text);
    void restoreLabels();
    void addMessage(const QString& text);
    /// Says what the instrument hears of the mouse in this session (nothing on X11) and offers
    /// to let it read the mice.
    void mouseNotice();
    /// After the rule that lets this session read the mice was installed: the device backend
    /// re-opens its mice, or the backend is made anew so that it can take over.
    void onMiceAllowed();
    void openOriginWindow(OriginMode mode);
    /// Starts following the cursor from a press on the window's body.
    void beginDrag();
    void endDrag();
    /// One step of a drag: moves the window (snapped) and carries the module windows.
    void followDrag();
    /// After a maximise or restore: places a maximised window on the work area and carries the
    /// module windows by the change of the window's top-left corner (`before`).
    void startFit(bool fromMinimised);
    void fit(QPoint before, bool fromMinimised);
    /// The recordings a loaded patch asks for start; a file that cannot be opened is told in a
    /// box.
    void syncRecordings();

    EngineState& state_;
    SettingsStore& settings_;
    MainWindowOptions options_;

    std::unique_ptr<Instrument> instrument_;
    QPointer<QWidget> originWindow_; // the origin cross while it shows
    std::unique_ptr<ModuleWindows> moduleWindows_;
    OnlineServices* online_ = nullptr; // a child of this window

    std::vector<uint32_t> controlRates_;
    QSlider* outputLatency_ = nullptr;
    QSlider* inputLatency_ = nullptr;
    QSlider* controlRate_ = nullptr;
    QLabel* latencyLabel_ = nullptr;
    QLabel* controlRateLabel_ = nullptr;
    QLabel* latencyTitle_ = nullptr;
    QLabel* latencyValue_ = nullptr;
    bool noSoundDevice_ = false;
    StatusDisplay* statusArea_ = nullptr;
    QString statusText_; // the mouse status texts last shown, kept over relabelling
    QWidget* strip_ = nullptr;
    QCheckBox* showStatus_ = nullptr;
    QListWidget* messages_ = nullptr;
    QLabel* title_ = nullptr;
    std::vector<std::pair<int, QPushButton*>> buttons_;
    QTimer labelTimer_;
    QTimer latencyTimer_;
    QTimer quitTimer_;
    QTimer dragTimer_; // 1 ms while the window is dragged
    WindowDrag drag_;
    Desktop dragDesktop_; // the screens as they were when the drag began
    QSystemTrayIcon* tray_ = nullptr;
    QLabel* tapeIndicator_ = nullptr;
    QTimer replayTimer_; // watches a replaying tape for its end
    /// Ends a replay: the module windows publish their sensor points again.
    void finishReplay();

    std::atomic<int> windowReady_{0};
    /// What the session lets the instrument hear of the mouse, taken when the notice is shown and
    /// after access was granted (the menus read it; taking it anew opens a display connection
    /// and scans the input devices).
    MouseHearing mouseHearing_;
    bool minimised_ = false;
    bool wasMaximised_ = false;
    bool exitRequested_ = false;
    bool closing_ = false;
    bool finished_ = false;
    bool helpOpen_ = false;
    bool menuOpen_ = false;
    bool placeAtPoint_ = false;
    QPoint placementPoint_;
    QRect savedRect_;
};

} // namespace kv::ui
