#include "ui/installer_dialog.h"

#include <QApplication>
#include <QBuffer>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>
#include <cmath>
#include <cstdio>
#include <unistd.h>

#include "persistence/language.h"
#include "persistence/text.h"
#include "ui/button_box.h"
#include "ui/mouse_access.h"
#include "ui/program_icon.h"

namespace kv::ui {

namespace {

QString product() {
    return QString::fromUtf8(install::kProductName.data(), qsizetype(install::kProductName.size()));
}

QString fromStd(const std::string& s) {
    return QString::fromStdString(s);
}

/// A library string with its "\r\n" line breaks as the widgets show them.
QString lines(int id) {
    return libraryText(id).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

std::string iconPng() {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    programIcon().pixmap(128, 128).toImage().save(&buffer, "PNG");
    return bytes.toStdString();
}

constexpr Qt::WindowFlags kPopupFlags = Qt::Dialog | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                                        Qt::WindowStaysOnTopHint;

} // namespace

// ---- Installer ----------------------------------------------------------------------------

InstallerDialog::InstallerDialog(QWidget* owner, std::string runningProgram, install::Places places)
    : Dialog(owner, kPopupFlags), program_(std::move(runningProgram)), places_(std::move(places)),
      prep_(install::prepareInstall(places_)) {
    setWindowTitle(libraryText(600));
    setModal(true);
    StackLayout stack(units_, 240, 4, 3, 4);
    stack.add(new QLabel(libraryText(601), this), 8);
    folder_ = new RichTextField(this);
    folder_->setAcceptRichText(false);
    QFont big = folder_->font();
    big.setPointSizeF(14.0);
    folder_->setFont(big);
    folder_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    folder_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    folder_->setLineWrapMode(QTextEdit::NoWrap);
    folder_->document()->setDocumentMargin(3);
    folder_->setPlainText(fromStd(places_.defaultFolder()));
    folder_->selectAll();
    connect(folder_, &QTextEdit::textChanged, this, [this] {
        if (folder_->toPlainText().size() > 259) {
            QTextCursor c = folder_->textCursor();
            folder_->setPlainText(folder_->toPlainText().left(259));
            c.movePosition(QTextCursor::End);
            folder_->setTextCursor(c);
        }
    });
    folder_->installEventFilter(this);
    stack.add(folder_, 11);
    auto check = [&](int id, int label, bool checked, double height) {
        QString text = lines(label);
        if (height > 20) { // two lines: broken at the space nearest the middle
            const int middle = int(text.size() / 2);
            const int before = int(text.lastIndexOf(QLatin1Char(' '), middle));
            const int after = int(text.indexOf(QLatin1Char(' '), middle));
            const int at = before < 0  ? after
                           : after < 0 ? before
                                       : (middle - before <= after - middle ? before : after);
            if (at > 0) text[at] = QLatin1Char('\n');
        }
        auto* b = new QCheckBox(text, this);
        b->setObjectName(QString::number(id));
        b->setChecked(checked);
        stack.add(b, height);
        return b;
    };
    startMenu_ = check(300, 603, true, 10);
    extended_ = check(310, 613, true, 10);
    connect(startMenu_, &QCheckBox::toggled, extended_, &QWidget::setEnabled);
    desktop_ = check(320, 602, true, 10);
    // Quick Launch has no counterpart on the desktop; shortcuts are made for this user only
    // (no elevation), and there are no runtime libraries to copy: those boxes are not shown.
    if (prep_.thisInstalledWithSettings) keep_ = check(360, 632, true, 22);
    if (prep_.earlierInstalled) import_ = check(390, 635, true, 22);
    run_ = check(350, 604, true, 10);
    auto* go = new OwnerButton(libraryText(606), this);
    go->setObjectName(QStringLiteral("1000"));
    go->setDefault(true);
    stack.add(go, 14);
    connect(go, &QPushButton::clicked, this, &InstallerDialog::install);
    resize(units_.x(240), units_.y(stack.offset()));
    setGeometry(placeDialog(size(), nullptr, owner));
    folder_->setFocus();
    markReady();
}

QCheckBox* InstallerDialog::box(int id) const {
    return findChild<QCheckBox*>(QString::number(id));
}

void InstallerDialog::install() {
    setWindowTitle(libraryText(636));
    setEnabled(false);
    QApplication::processEvents();
    install::InstallChoices c;
    c.folderText = folder_->toPlainText().toStdString();
    c.startMenu = startMenu_->isChecked();
    c.extendedStartMenu = c.startMenu && extended_->isChecked();
    c.desktop = desktop_->isChecked();
    c.keepSettings = keep_ && keep_->isChecked();
    c.importSettings = import_ && import_->isChecked();
    c.runAfterInstall = run_->isChecked();
    c.iconPng = iconPng();
    const install::InstallOutcome outcome = install::runInstall(program_, c, places_);
    for (const std::string& e : outcome.folderErrors)
        informBox(this, fromStd(e).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                  product());
    setWindowTitle(libraryText(600));
    setEnabled(true);
    if (!outcome.installed) {
        std::fprintf(stderr, "kalvitrope: %s\n", outcome.error.c_str());
        informBox(this, fromStd(outcome.error), product());
        folder_->setPlainText(fromStd(places_.defaultFolder()));
        folder_->selectAll();
        return;
    }
    informBox(this, libraryText(608), libraryText(609));
    result_ = outcome.result;
    accept();
}

bool InstallerDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == folder_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            install();
            return true;
        }
    }
    return Dialog::eventFilter(watched, event);
}

void InstallerDialog::reject() {
    const QString key = buttonBox(this, tr("Yes") + "|" + tr("No") + "|" + tr("Cancel"),
                                  QStringLiteral("Yes|No|Cancel"), QStringLiteral("Cancel"),
                                  libraryText(610), product());
    if (key == QStringLiteral("Yes")) QDialog::reject();
}

// ---- Backdrop -----------------------------------------------------------------------------

InstallBackdrop::InstallBackdrop() : QWidget(nullptr, Qt::FramelessWindowHint) {
    const QRect screen = QGuiApplication::primaryScreen()
                             ? QGuiApplication::primaryScreen()->geometry()
                             : QRect(0, 0, 1024, 768);
    setGeometry(screen);
    label_ = new QLabel(languageText(170), this);
    label_->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    label_->setGeometry(20, screen.height() - 80, 400, 60);
    rendered_ = QImage(screen.size(), QImage::Format_RGB32);
    if (rendered_.isNull()) {
        // Without memory for the picture the installation goes on over a plain backdrop.
        informBox(nullptr, languageText(169) + " 1\n" + languageText(172), product());
        label_->clear();
    } else {
        // The picture: a gradient with a spiral, painted line by line off the user-interface
        // thread.
        worker_ = std::thread([this] {
            const int w = rendered_.width(), h = rendered_.height();
            for (int y = 0; y < h && !stop_.load(std::memory_order_relaxed); ++y) {
                auto* line = reinterpret_cast<QRgb*>(rendered_.scanLine(y));
                for (int x = 0; x < w; ++x) {
                    const double dx = x - w / 2.0, dy = y - h / 2.0;
                    const double r = std::sqrt(dx * dx + dy * dy);
                    const double a = std::atan2(dy, dx);
                    const double arm = 0.5 + 0.5 * std::sin(a * 3 + r / 40.0);
                    const int base = 40 + 80 * y / std::max(1, h);
                    line[x] = qRgb(int(10 + 30 * arm), int(base + 60 * arm), int(30 + 20 * arm));
                }
                percent_.store((y + 1) * 100 / h, std::memory_order_relaxed);
            }
        });
    }
    connect(&timer_, &QTimer::timeout, this, &InstallBackdrop::tick);
    timer_.start(30);
}

InstallBackdrop::~InstallBackdrop() {
    stop_.store(true, std::memory_order_relaxed);
    if (worker_.joinable()) worker_.join();
}

void InstallBackdrop::tick() {
    green_ += step_;
    if (green_ >= 249 || green_ <= 5) {
        green_ = std::clamp(green_, 5, 249);
        step_ = -step_;
    }
    const int percent = percent_.load(std::memory_order_relaxed);
    if (picture_.isNull() && worker_.joinable()) {
        label_->setText(languageText(170) + "\n\n" +
                        fromStd(formatPattern(languageString(171), {long(percent)})));
        if (percent >= 100 && worker_.joinable()) {
            worker_.join();
            picture_ = rendered_;
            label_->clear();
        }
    }
    update();
}

void InstallBackdrop::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (picture_.isNull())
        p.fillRect(rect(), QColor(10, 40, 30));
    else
        p.drawImage(0, 0, picture_);
    QFont font(QFontDatabase::families().contains(QStringLiteral("Times New Roman"))
                   ? QStringLiteral("Times New Roman")
                   : QStringLiteral("Helvetica"),
               24);
    p.setFont(font);
    const QString title = QStringLiteral("Installation");
    const QString name = product() + QStringLiteral(" 1.1");
    const int lineHeight = QFontMetrics(font).height();
    const QRect titleRect(0, height() / 6, width(), lineHeight);
    const QRect nameRect = titleRect.translated(0, lineHeight * 3 / 2);
    p.setPen(Qt::white);
    p.drawText(titleRect, Qt::AlignCenter, title);
    p.setPen(Qt::black);
    p.drawText(nameRect.translated(2, 2), Qt::AlignCenter, name);
    p.setPen(QColor(255, green_, 64));
    p.drawText(nameRect, Qt::AlignCenter, name);
}

std::string runInstaller(const std::string& runningProgram, const install::Places& places) {
    InstallBackdrop backdrop;
    backdrop.show();
    backdrop.setEnabled(false);
    InstallerDialog dialog(&backdrop, runningProgram, places);
    runDialog(dialog);
    return dialog.result();
}

// ---- Remover ------------------------------------------------------------------------------

RemoverDialog::RemoverDialog(std::string programPath, install::Places places)
    : Dialog(nullptr, kPopupFlags), program_(std::move(programPath)), places_(std::move(places)),
      preview_(install::planRemoval(program_, places_)) {
    setWindowTitle(libraryText(618));
    setWindowIcon(programIcon());
    setModal(true);
    StackLayout stack(units_, 250, 4, 4, 4);
    auto* prompt = new QLabel(libraryText(619), this);
    prompt->setAlignment(Qt::AlignCenter);
    stack.add(prompt, 16);
    if (!preview_.skipped.empty()) {
        // Entries of the log that lie outside the installation are never deleted: say which.
        auto* note = new QLabel(
            tr("These entries of the installation log lie outside the installation folder "
               "and will be left alone:"),
            this);
        note->setWordWrap(true);
        stack.add(note, 16);
        auto* list = new RichTextField(this);
        list->setReadOnly(true);
        list->setLineWrapMode(QTextEdit::NoWrap);
        QStringList entries;
        for (const std::string& e : preview_.skipped)
            entries << fromStd(e);
        list->setPlainText(entries.join(QLatin1Char('\n')));
        stack.add(list, 40);
    }
    auto* go = new OwnerButton(lines(620), this);
    go->setObjectName(QStringLiteral("1000"));
    go->setDefault(true);
    stack.add(go, 43);
    connect(go, &QPushButton::clicked, this, [this] {
        if (remove()) accept();
    });
    resize(units_.x(250), units_.y(stack.offset()));
    setGeometry(placeDialog(size(), nullptr, nullptr));
    go->setFocus();
    markReady();
}

bool RemoverDialog::remove() {
    offerMiceRuleRemoval(this); // the system-wide rule outlives the program otherwise
    setWindowTitle(libraryText(638));
    setEnabled(false);
    QApplication::processEvents();
    const install::RemovalReport report =
        install::removeInstallation(program_, places_, long(::getpid()));
    for (const std::string& e : report.plan.skipped)
        std::fprintf(stderr, "kalvitrope: left alone (outside the installation): %s\n", e.c_str());
    for (const std::string& e : report.notDeleted)
        std::fprintf(stderr, "kalvitrope: could not delete %s\n", e.c_str());
    bool started = false;
    if (report.scriptPath.empty()) {
        informBox(this, libraryText(621) + "\n\n" + fromStd(report.scriptError), product());
    } else {
        started = install::startRemovalScript(report.scriptPath);
        if (!started) informBox(this, libraryText(621), product());
    }
    setEnabled(true);
    return started || report.scriptPath.empty();
}

int runRemover(const std::string& programPath, const install::Places& places) {
    RemoverDialog dialog(programPath, places);
    runDialog(dialog);
    return 0;
}

} // namespace kv::ui
