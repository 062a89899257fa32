#include "ui/preferences_about.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include "persistence/settings.h"
#include "ui/online.h"
#include "ui/program_icon.h"
#include "ui/theme.h"

namespace kv::ui {

AboutBox::AboutBox(QWidget* owner, OnlineServices* online) : Dialog(owner) {
    setWindowTitle(libraryText(41));
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setPixmap(programIcon().pixmap(48, 48));
    top->addWidget(icon);
    auto* name = new QLabel(
        QStringLiteral("%1 %2").arg(
            QString::fromUtf8(kSettingsProgramName.data(), qsizetype(kSettingsProgramName.size())),
            QString::fromUtf8(kSettingsProgramVersion.data(),
                              qsizetype(kSettingsProgramVersion.size()))),
        this);
    QFont big = name->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    name->setFont(big);
    top->addWidget(name, 1);
    layout->addLayout(top);
    auto* text = new QLabel(languageText(44), this);
    text->setWordWrap(true);
    layout->addWidget(text);
    site_ =
        new QLabel(QStringLiteral("<a href=\"%1\">%1</a>").arg(QLatin1String(kWebSiteUrl)), this);
    site_->setTextFormat(Qt::RichText);
    site_->setOpenExternalLinks(true);
    site_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    layout->addWidget(site_);
    okay_ = new OwnerButton(libraryText(0), this);
    okay_->setDefault(true);
    connect(okay_, &QPushButton::clicked, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(okay_);
    if (online) {
        feedback_ = new OwnerButton(languageText(481), this);
        connect(feedback_, &QPushButton::clicked, this,
                [this, online] { online->openFeedbackForm(this); });
        check_ = new OwnerButton(languageText(310), this);
        // A second request while the check runs is ignored.
        connect(check_, &QPushButton::clicked, this, [online] { online->checkVersion(false); });
        row->addWidget(feedback_);
        row->addWidget(check_);
    }
    layout->addLayout(row);
    adjustSize();
    markReady();
}

void AboutBox::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return Dialog::mousePressEvent(event);
    dragging_ = true;
    grip_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void AboutBox::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton))
        move(event->globalPosition().toPoint() - grip_);
    else
        Dialog::mouseMoveEvent(event);
}

void AboutBox::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragging_ = false;
    Dialog::mouseReleaseEvent(event);
}

} // namespace kv::ui
