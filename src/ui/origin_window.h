#pragma once
// The origin window: a transparent window over the whole desktop that draws a large cross through
// the mouse origin and labels it with its offset from the desktop centre. It shows the origin,
// lets the user choose it with a click, or confirms a reset.
#include <QColor>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>

#include "mouse/mouse_backend.h"

namespace kv {
struct MouseHookState;
}

namespace kv::ui {

enum class OriginMode {
    Choose, ///< the cross follows the cursor until a press chooses the origin
    Show,   ///< the cross stays at the current origin until a click or key
    Reset,  ///< the cross stays at the (just reset) origin and closes by itself
};

/// What the origin window needs from the rest of the program.
struct OriginWindowContext {
    platform::DesktopRect desktop;
    long originX = 0, originY = 0; ///< current offsets from the desktop centre, pixels, y down
    /// Reads the cursor in screen pixels; false when it cannot be read. User-interface thread.
    std::function<bool(long& x, long& y)> cursor;
    /// Stores newly chosen offsets (pixels, y down). User-interface thread.
    std::function<void(long x, long y)> setOrigin;
    /// Press counts of the desktop's buttons, watched so a press anywhere counts; may be null.
    const MouseHookState* hook = nullptr;
};

/// The origin window; it deletes itself when it closes. User-interface thread.
class OriginWindow final : public QWidget {
    Q_OBJECT
  public:
    /// How long the window stays after a reset or after choosing, milliseconds.
    static constexpr int kCloseDelayMs = 800;

    OriginWindow(OriginMode mode, OriginWindowContext context);
    /// Opens a window in `mode` and shows it.
    static OriginWindow* open(OriginMode mode, OriginWindowContext context);

    QPoint crossPoint() const { return cross_; }
    bool chosen() const { return chosen_; }
    /// The label: the offset from the desktop centre, y counted upward, e.g. "(100, 50)".
    QString labelText() const;
    /// Green after a reset; red while choosing or showing, blue once chosen.
    QColor crossColour() const;

    /// A button press on the window (`synthetic` when it comes from a press seen elsewhere on the
    /// desktop): chooses the origin while choosing; a real press otherwise closes the window.
    void buttonDown(bool synthetic);

  protected:
    void paintEvent(QPaintEvent*) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void mousePressEvent(QMouseEvent*) override;
    void keyPressEvent(QKeyEvent*) override;

  private:
    void follow();
    /// Takes the keyboard, and the pointer while choosing; called until the server grants them.
    void tryGrabs();
    void releaseGrabs(bool keyboardToo);
    /// The window's shape: the two bars and the label box (window pixels), set as its mask.
    void reshape();
    /// The label's background box for a cross at `at` (window pixels).
    QRect labelBox(QPoint at) const;
    static QFont labelFont();
    void watch();
    void closeSoon(int ms);
    QPoint centre() const;

    bool static_;
    bool autoClose_;
    bool chosen_ = false;
    OriginWindowContext context_;
    QPoint cross_;
    std::array<uint64_t, 5> snapshot_{};
    QTimer followTimer_;
    QTimer watchTimer_;
    QTimer closeTimer_;
    QTimer grabTimer_; // until the server grants the grabs
    int grabTries_ = 0;
    bool mouseGrabbed_ = false, keyboardGrabbed_ = false;
};

} // namespace kv::ui
