#pragma once
// The program's online services as the windows use them: the version check (quiet at start-up,
// or asked for from the About box) and the feedback form. Requests run on threads of their own;
// their answers are taken up here on the user-interface thread, so no window ever waits for the
// web site. User-interface thread.
#include <optional>
#include <string>

#include <QPointer>
#include <QTimer>

#include "online/http_client.h"
#include "online/online_task.h"
#include "ui/dialog.h"

class QLabel;

namespace kv::ui {

class SettingsStore;

class OnlineServices : public QObject {
    Q_OBJECT
  public:
    /// Messages show over the active modal dialog, else over `owner`.
    OnlineServices(SettingsStore& settings, QWidget* owner);

    /// Starts the version check on a thread of its own; `quiet` (at start-up) shows only news of
    /// updates. Ignored (false) while a check is running.
    bool checkVersion(bool quiet);
    bool checking() const { return check_.busy(); }

    /// A request to the site named by the settings, in the current language.
    online::HttpRequest request(std::string path, std::string userAgent) const;
    /// The site's update page, for the browser.
    QString updatePageUrl() const;

    /// The ClientIP the site reported at the last version check ("" before one).
    const std::string& clientIp() const { return clientIp_; }
    /// Set once a comment has reached the site.
    bool feedbackSent() const { return feedbackSent_; }
    void noteFeedbackSent() { feedbackSent_ = true; }
    /// Opens the feedback form (modal) over `owner`.
    void openFeedbackForm(QWidget* owner);

  signals:
    /// A version check has ended and its message (if any) has been answered.
    void versionCheckFinished(online::VersionAnswer answer);

  private:
    void takeVersionAnswer();
    QWidget* messageOwner() const;

    SettingsStore& settings_;
    QPointer<QWidget> owner_;
    online::OnlineTask check_;
    bool quiet_ = false;
    QTimer poll_; // while a check runs
    std::string clientIp_;
    bool feedbackSent_ = false;
};

/// The feedback form: a field of up to kFeedbackFieldLimit characters, the characters left and
/// the send button. Sending runs on a thread of its own; the form closes once the site has the
/// comment and stays open (with a message) when it does not.
class FeedbackDialog : public Dialog {
    Q_OBJECT
  public:
    FeedbackDialog(QWidget* owner, OnlineServices& services);
    RichTextField* field() const { return field_; }
    QLabel* remainingLabel() const { return remaining_; }
    QPushButton* sendButton() const { return send_; }
    /// Sends the field's text (the send button).
    void send();

  private:
    void textChanged();
    void takeAnswer();

    OnlineServices& services_;
    RichTextField* field_;
    QLabel* remaining_;
    QPushButton* send_;
    online::OnlineTask task_;
    QTimer poll_;
};

} // namespace kv::ui
