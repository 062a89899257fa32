#pragma once
// The About box: the program's icon, name and version and a line about it, with Okay. It can be
// dragged by its body. User-interface thread.
#include <QPoint>

#include "ui/dialog.h"

class QPushButton;

namespace kv::ui {

class AboutBox final : public Dialog {
    Q_OBJECT
  public:
    explicit AboutBox(QWidget* owner);
    QPushButton* okayButton() const { return okay_; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    QPushButton* okay_;
    bool dragging_ = false;
    QPoint grip_; // the cursor's offset from the box's corner while dragging, pixels
};

} // namespace kv::ui
