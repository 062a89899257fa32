#include "ui/online.h"

#include <QApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>

#include "persistence/language.h"
#include "persistence/text.h"
#include "ui/app_settings.h"
#include "ui/button_box.h"

namespace kv::ui {

namespace {

/// How often a running request is looked at, ms.
constexpr int kPollMs = 40;

std::string libraryString(int id) {
    return languages().library(id);
}

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

} // namespace

OnlineServices::OnlineServices(SettingsStore& settings, QWidget* owner)
    : QObject(owner), settings_(settings), owner_(owner) {
    poll_.setInterval(kPollMs);
    connect(&poll_, &QTimer::timeout, this, &OnlineServices::takeVersionAnswer);
}

online::HttpRequest OnlineServices::request(std::string path, std::string userAgent) const {
    online::HttpRequest r;
    const std::string& host = settings_.values().onlineSiteHost;
    r.siteHost = isBlank(host) ? std::string(online::kDefaultSiteHost) : host;
    r.path = std::move(path);
    r.userAgent = std::move(userAgent);
    r.language = std::string(online::acceptLanguage(languages().currentLanguage()));
    r.followRedirect = true;
    return r;
}

QString OnlineServices::updatePageUrl() const {
    const std::string host = request({}, {}).siteHost;
    const auto site = online::parseSiteHost(host);
    if (!site) return {};
    return fromUtf8(online::siteUrl(*site, online::kUpdatePagePath));
}

bool OnlineServices::checkVersion(bool quiet) {
    if (!check_.start(
            request(std::string(online::kVersionCheckPath), online::systemVersionCheckUserAgent())))
        return false;
    quiet_ = quiet;
    poll_.start();
    return true;
}

QWidget* OnlineServices::messageOwner() const {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    return owner_.data();
}

void OnlineServices::takeVersionAnswer() {
    const std::optional<std::string> answer = check_.take();
    if (!answer) return;
    poll_.stop();
    const online::VersionCheckOutcome out =
        online::interpretVersionCheck(*answer, quiet_, libraryString);
    if (!out.clientIp.empty()) clientIp_ = out.clientIp;
    if (out.show) {
        const QString text = fromUtf8(out.message);
        if (out.answer == online::VersionAnswer::UpdatesAvailable) {
            const QString key = buttonBox(messageOwner(), libraryText(0) + "|" + libraryText(3),
                                          QStringLiteral("Okay|Visit"), QStringLiteral("Okay"),
                                          text, libraryText(out.caption));
            const QString url = updatePageUrl();
            if (key == QStringLiteral("Visit") && !url.isEmpty())
                QDesktopServices::openUrl(QUrl(url));
        } else {
            informBox(messageOwner(), text, libraryText(out.caption));
        }
    }
    emit versionCheckFinished(out.answer);
}

void OnlineServices::openFeedbackForm(QWidget* owner) {
    FeedbackDialog form(owner, *this);
    runDialog(form);
}

FeedbackDialog::FeedbackDialog(QWidget* owner, OnlineServices& services)
    : Dialog(owner), services_(services) {
    setWindowTitle(libraryText(7));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(libraryText(9), this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    field_ = new RichTextField(this);
    field_->setAcceptRichText(false);
    field_->setMinimumSize(units_.x(220), units_.y(80));
    layout->addWidget(field_, 1);
    remaining_ = new QLabel(this);
    layout->addWidget(remaining_);
    auto* note = new QLabel(libraryText(10), this);
    note->setWordWrap(true);
    layout->addWidget(note);
    send_ = new OwnerButton(libraryText(8), this);
    send_->setDefault(true);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(send_);
    layout->addLayout(row);
    connect(send_, &QPushButton::clicked, this, &FeedbackDialog::send);
    connect(field_, &QTextEdit::textChanged, this, &FeedbackDialog::textChanged);
    poll_.setInterval(kPollMs);
    connect(&poll_, &QTimer::timeout, this, &FeedbackDialog::takeAnswer);
    textChanged();
    adjustSize();
    setGeometry(placeDialog(size(), nullptr, owner));
    field_->setFocus();
    markReady();
}

void FeedbackDialog::textChanged() {
    QString text = field_->toPlainText();
    if (text.size() > online::kFeedbackFieldLimit) {
        // The field takes no more: what was typed or pasted beyond the limit is dropped.
        const QSignalBlocker block(field_);
        text.truncate(online::kFeedbackFieldLimit);
        if (text.back().isHighSurrogate()) text.chop(1);
        field_->setPlainText(text);
        field_->moveCursor(QTextCursor::End);
    }
    remaining_->setText(fromUtf8(
        formatPattern(languages().library(14), {long(online::kFeedbackFieldLimit - text.size())})));
}

void FeedbackDialog::send() {
    if (task_.busy()) return;
    const std::string comment = field_->toPlainText().toStdString();
    task_.start(services_.request(online::feedbackPath(comment), std::string(online::kUserAgent)));
    send_->setEnabled(false);
    poll_.start();
}

void FeedbackDialog::takeAnswer() {
    const std::optional<std::string> answer = task_.take();
    if (!answer) return;
    poll_.stop();
    send_->setEnabled(true);
    const online::FeedbackOutcome out = online::interpretFeedback(*answer, libraryString);
    informBox(this, fromUtf8(out.message), libraryText(out.caption));
    if (!out.sent) return;
    services_.noteFeedbackSent();
    accept();
}

} // namespace kv::ui
