#pragma once
// Dragging the main window: the step that follows the cursor, the snapping of the window's
// visible edges to the screen edges, and carrying the module windows along. The computation is
// pure; the screen geometry comes from the desktop (Qt's available geometry is the X11 work area,
// _NET_WORKAREA).
#include <QPoint>
#include <QRect>
#include <optional>
#include <vector>

namespace kv::ui {

class ModuleWindows;

/// A rectangle with inclusive-exclusive edges as the platform gives them (left, top, right,
/// bottom in screen pixels).
struct EdgeRect {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const EdgeRect&) const = default;
    EdgeRect moved(int dx, int dy) const { return {left + dx, top + dy, right + dx, bottom + dy}; }
};

/// The parts of a window rectangle around its client area (a frameless window has none).
struct WindowFrame {
    int frameX = 0;  // sizing frame width
    int frameY = 0;  // sizing frame height
    int caption = 0; // caption height
};

/// Edges closer than this snap (strictly closer: at exactly this distance nothing snaps).
constexpr int kSnapDistance = 20;

/// Snaps the window rectangle's visible client edges to `reference`: right, then left, then top,
/// then bottom; each shift moves the whole rectangle.
EdgeRect snapTo(EdgeRect window, const WindowFrame& frame, const EdgeRect& reference);

/// The desktop the snapping looks at.
struct Desktop {
    EdgeRect workArea;      // of the primary monitor
    EdgeRect primaryScreen; // (0, 0, width − 1, height − 1)
    int monitors = 1;
    EdgeRect virtualScreen; // left, top, left + width − 1, top + height − 1
};

/// The desktop as Qt sees it now. User-interface thread.
Desktop currentDesktop();

/// Snaps a candidate rectangle: to the work area (or to the primary screen when the candidate's
/// centre lies outside it), then, with several monitors, to the virtual screen. `startSize` is
/// the window's size at the start of the drag (its integer halves locate the centre).
EdgeRect snapCandidate(const EdgeRect& candidate, QPoint startSize, const WindowFrame& frame,
                       const Desktop& desktop);

/// The drag that follows the cursor. One per main window; the caller polls the cursor.
class WindowDrag {
  public:
    /// A press on the main window's body (not while minimised or maximised).
    void begin(QPoint cursor, const EdgeRect& window);
    /// Release, or a move without a button: the drag ends.
    void end();
    bool active() const { return active_; }

    struct Step {
        EdgeRect window; // where the main window goes (snapped when `lock`)
        QPoint carry;    // how far the module windows move: the cursor's movement
    };
    /// The cursor is at `cursor`: nullopt when the drag is not active or the cursor has not
    /// moved since the last step.
    std::optional<Step> follow(QPoint cursor, bool lock, const WindowFrame& frame,
                               const Desktop& desktop);

  private:
    bool active_ = false;
    QPoint startCursor_;
    EdgeRect startWindow_;
    QPoint lastCursor_{0, 0};
    QPoint lastOffset_{0, 0};
};

/// How far a window whose visible part covers `visible` (screen pixels) must move to lie wholly
/// on one of `screens`: null when it already does; otherwise it goes onto the screen it overlaps
/// most (the nearest one when it overlaps none), its top-left corner first when it is larger.
QPoint reachableShift(const QRect& visible, const std::vector<QRect>& screens);

/// Moves every module window by (dx, dy), keeping its size: the modules that own a row with
/// sub-index 0 and those of the terminal table, each once.
void carryModuleWindows(ModuleWindows& windows, QPoint step);

} // namespace kv::ui
