#pragma once
// The dialog framework: the dialog base every non-module window derives from, the owner-drawn
// rounded push button, the dark-green rich-text field with its edit menu, placement and the
// stacking rule of dialogs built in code. User-interface thread.
#include <QDialog>
#include <QPushButton>
#include <QRect>
#include <QTextEdit>

#include "ui/theme.h"

class QMenu;

namespace kv::ui {

/// Marks a dialog whose start-up layout is complete (its minimum size is then its initial size).
inline constexpr int kDialogReadyMarker = 13950;

/// A push button painted by the program: a rounded outline with three blended rings, the
/// colour pair of its state, and a hover highlight that follows the mouse.
class OwnerButton : public QPushButton {
    Q_OBJECT
  public:
    explicit OwnerButton(const QString& text, QWidget* parent = nullptr,
                         PaletteChoice palette = PaletteChoice::Dialog);
    /// The state last painted (the hover handling compares against it).
    ButtonState paintedState() const { return painted_; }
    bool hot() const { return hot_; }
    /// The state the button would be painted in now.
    ButtonState currentState() const;
    /// Wide enough for the label in the hot (largest) font with the rounded ends clear of it.
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;

  private:
    PaletteChoice palette_;
    ButtonState painted_ = ButtonState::Normal;
    bool hot_ = false;
};

/// A rich-text field in the edit colours with the right-click edit menu (Undo, Cut, Copy, Paste,
/// Delete, Select All, Save As). Save As writes the owner's caption and the text to a UTF-16 file.
class RichTextField : public QTextEdit {
    Q_OBJECT
  public:
    explicit RichTextField(QWidget* parent = nullptr);
    /// The edit menu as it would open now (the caller owns it).
    QMenu* createEditMenu();
    /// Writes the caption of the window, CR LF, the text and CR LF to `path` as UTF-16
    /// little-endian with a byte-order mark, replacing any file there. False with `reason`.
    bool saveText(const QString& path, QString& reason) const;
    /// Asks for a file name and saves; a failure is shown in a message box.
    void saveAs();

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
};

/// The system's text for error `code` (an errno value); 0 means the calling thread's last error,
/// and "SUCCESS" when that is 0 too.
QString systemErrorText(int code);

/// The rectangle of `size` centred on the owner's rectangle, else on `centre`, else on the work
/// area of the primary screen (vertically half a caption lower).
QRect placeDialog(QSize size, const QPoint* centre, const QWidget* owner);

/// The dialog base: dialog font and units, the user's colours, the program's icon, and a minimum
/// size equal to the size the dialog had when its layout was complete.
class Dialog : public QDialog {
    Q_OBJECT
  public:
    explicit Dialog(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    const DialogScale& units() const { return units_; }
    /// Records the current size as the smallest the user may make it and sets the ready marker.
    void markReady();
    int readyMarker() const { return ready_; }
    QSize initialSize() const { return initial_; }

  protected:
    DialogScale units_;
    int ready_ = 0;
    QSize initial_;
};

/// Places the controls of a dialog built in code: each takes the left margin as x, the dialog
/// width less both margins as width and the running offset as y; the offset then grows by the
/// control's height plus the gap (nothing for a height of 0). Sizes in dialog units.
class StackLayout {
  public:
    StackLayout(const DialogScale& units, double widthUnits, double margin, double gap,
                double start)
        : units_(units), width_(widthUnits), margin_(margin), gap_(gap), offset_(start) {}
    /// Places `w` across the dialog, `height` units high.
    void add(QWidget* w, double height);
    /// Places `w` at its own x and width; the offset grows by `advance`.
    void addAt(QWidget* w, double x, double width, double height, double advance);
    double offset() const { return offset_; }

  private:
    DialogScale units_;
    double width_, margin_, gap_, offset_;
};

} // namespace kv::ui
