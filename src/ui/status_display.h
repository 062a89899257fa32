#pragma once
// The main window's mouse status display: the speed and distance texts, and below them either the
// old-style indicators (a compass and sixteen sliders) or the 3D indicator. The mouse status
// thread computes what to show and publishes it in atomics; the window's thread shows it.
#include <QLabel>
#include <QOpenGLWidget>
#include <QTimer>
#include <QWidget>
#include <array>
#include <atomic>
#include <memory>

#include "mouse/indicator_renderer.h"
#include "mouse/status_indicators.h"

class QProgressBar;
class QSlider;
class QStackedLayout;

namespace kv {
struct MouseMetrics;
class MouseInput;
struct Settings;
struct Colour;
} // namespace kv

namespace kv::ui {

/// What the display shows, set by the window (user-interface thread) and read by both threads.
struct StatusDisplayOptions {
    std::atomic<bool> show{true};  // "Show mouse-status indicator items"
    std::atomic<bool> use3D{true}; // the 3D indicator instead of the old-style ones
    std::atomic<bool> fast{true};  // a 3D frame on every pass instead of every second one
    std::atomic<bool> swapBuffers{
        true};                          // draw on screen; off: draw off screen and show the picture
    std::atomic<bool> minimised{false}; // the window is minimised: nothing is drawn
};

/// The 3D indicator drawn straight into the window's GL surface. User-interface thread.
class IndicatorView : public QOpenGLWidget {
  public:
    IndicatorView(const MouseMetrics& metrics, const StatusDisplayOptions& options,
                  IndicatorState& state, QWidget* parent);
    void setColours(const IndicatorColours& c);
    /// Whether the context passed its self-test (false before the first paint).
    bool works() const { return works_; }

  protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;

  private:
    const MouseMetrics& metrics_;
    const StatusDisplayOptions& options_;
    IndicatorColours colours_;
    IndicatorState& state_; // shared with the off-screen picture, so switching keeps it
    bool works_ = false;
};

/// Whether status pass `pass` draws a 3D frame: every second pass (every pass in fast mode)
/// while the cursor moves; once the cursor has stood still for a second (`stillPasses` of 10 ms),
/// one pass in ten, so an idle program draws ten frames a second. Mouse status thread.
bool indicatorFrameDue(std::uint64_t pass, bool fast, int stillPasses);

class StatusDisplay : public QWidget {
  public:
    StatusDisplay(MouseInput& mouse, QWidget* parent);
    ~StatusDisplay() override;

    StatusDisplayOptions& options() { return options_; }
    /// The speed and distance lines. User-interface thread.
    void setTexts(const QString& text);
    /// Shows the 3D view, the old-style indicators or neither, after the options. User-interface
    /// thread.
    void applyOptions();
    /// The colours of the 3D view, and the compass's text colour (0xRRGGBB; its background is
    /// the dialog background). User-interface thread.
    void setColours(const IndicatorColours& c, std::uint32_t dialogText);
    /// The compass's side: a sixth of the window's outer width. User-interface thread.
    void setCompassSide(int side);

    /// One pass of the mouse status thread, after the sampler: publishes the indicator positions
    /// and the direction, marks a 3D frame due, asks the window's thread to show them (at most one
    /// request outstanding) and serves the resize hand-shake. `stop` ends a rebuild wait.
    void statusPass(const std::atomic<bool>& stop);

    /// The on-screen 3D view; null where the platform has no GL windows (then the 3D indicator
    /// is always drawn off screen).
    IndicatorView* view() const { return view_; }
    QLabel* compass() const { return compass_; }
    QWidget* oldStyle() const { return oldStyle_; }
    QLabel* picture() const { return picture_; }
    QSlider* slider(int control) const;
    QProgressBar* speedBar() const { return speedBar_; }
    StatusRebuild& rebuild() { return rebuild_; }
    /// 3D frames drawn so far (either presentation). User-interface thread.
    long framesDrawn() const { return framesDrawn_; }
    /// 3D frames the status passes asked for so far (several asked before the window's thread
    /// gets to them make one drawing).
    long framesAsked() const { return framesAsked_.load(std::memory_order_relaxed); }

  protected:
    void resizeEvent(QResizeEvent* e) override;

  private:
    void refresh();
    void drawPicture();
    void redrawCompass(double theta);

    MouseInput& mouse_;
    StatusDisplayOptions options_;
    IndicatorColours colours_;
    std::uint32_t dialogText_ = 0;
    QLabel* text_ = nullptr;
    QWidget* indicators_ = nullptr;
    QStackedLayout* stack_ = nullptr;
    QWidget* oldStyle_ = nullptr;
    QLabel* compass_ = nullptr;
    std::array<QWidget*, kOldStyleControls> controls_{};
    QProgressBar* speedBar_ = nullptr;
    IndicatorState indicatorState_;
    IndicatorView* view_ = nullptr;
    QLabel* picture_ = nullptr;
    struct Offscreen;
    std::unique_ptr<Offscreen> offscreen_;
    CompassPicture compassPicture_;
    double compassTheta_ = -1;
    int compassSide_ = 40;
    long framesDrawn_ = 0;

    // Published by the mouse status thread.
    std::array<std::atomic<int>, kOldStyleControls> positions_{};
    std::atomic<double> theta_{0};
    std::atomic<bool> frameDue_{false}, refreshPending_{false};
    std::atomic<long> framesAsked_{0};
    std::uint64_t passes_ = 0; // mouse status thread only
    int stillPasses_ = 0;      // passes since the cursor last moved (mouse status thread)
    double lastX_ = 0, lastY_ = 0, lastDistance_ = 0;

    StatusRebuild rebuild_;
    QTimer rebuildTimer_;
};

/// The indicator colours from the settings' colour preferences.
IndicatorColours indicatorColours(const Settings& s);
/// A colour preference as 0xRRGGBB.
std::uint32_t colourWord(const Colour& c);

} // namespace kv::ui
