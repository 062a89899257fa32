#pragma once
// The About box: the program's icon, name and version, a line about it and a link to the web
// site, with Okay, "Send
// Feedback" and "Check for updates". It can be dragged by its body. User-interface thread.
#include <QPoint>

#include "ui/dialog.h"

class QLabel;
class QPushButton;

namespace kv::ui {

class OnlineServices;

/// The product's web site, linked from the About box.
inline constexpr const char* kWebSiteUrl = "https://kalvitrope.org/";

class AboutBox final : public Dialog {
    Q_OBJECT
  public:
    /// Without `online` the box offers no feedback form and no version check.
    explicit AboutBox(QWidget* owner, OnlineServices* online = nullptr);
    QPushButton* okayButton() const { return okay_; }
    /// Null without online services.
    QPushButton* feedbackButton() const { return feedback_; }
    QPushButton* checkButton() const { return check_; }
    QLabel* siteLink() const { return site_; }

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    QPushButton* okay_;
    QPushButton* feedback_ = nullptr;
    QPushButton* check_ = nullptr;
    QLabel* site_ = nullptr;
    bool dragging_ = false;
    QPoint grip_; // the cursor's offset from the box's corner while dragging, pixels
};

} // namespace kv::ui
