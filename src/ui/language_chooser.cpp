#include "ui/language_chooser.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QStyle>

#include "persistence/language.h"
#include "persistence/paths.h"
#include "ui/button_box.h"
#include "ui/program_icon.h"

namespace kv::ui {

namespace {

/// A button showing one picture normally and another while it has the keyboard focus.
class PictureButton : public QPushButton {
  public:
    PictureButton(QIcon normal, QIcon focused, QWidget* parent)
        : QPushButton(parent), normal_(std::move(normal)), focused_(std::move(focused)) {
        setIcon(normal_);
    }

  protected:
    void focusInEvent(QFocusEvent* e) override {
        setIcon(focused_);
        QPushButton::focusInEvent(e);
    }
    void focusOutEvent(QFocusEvent* e) override {
        setIcon(normal_);
        QPushButton::focusOutEvent(e);
    }

  private:
    QIcon normal_, focused_;
};

} // namespace

LanguageChooser::LanguageChooser(QWidget* owner, std::string_view offeredCodes)
    : Dialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                        Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("Kalvitrope"));
    setWindowIcon(programIcon());
    setModal(true);
    const LanguageTables& tables = languages();
    const int current = tables.currentLanguage();
    double y = 2;
    QWidget* focus = nullptr;
    for (int i : parseLanguageCodes(offeredCodes)) {
        auto* prompt = new QLabel(QString::fromStdString(tables.languagePrompt(i)), this);
        prompt->setAlignment(Qt::AlignCenter);
        prompt->setGeometry(units_.x(2), units_.y(y + 5), units_.x(128), units_.y(16));
        auto* b = new OwnerButton(QString::fromStdString(tables.languageName(i)), this);
        b->setAutoDefault(false);
        b->setGeometry(units_.x(130), units_.y(y), units_.x(58), units_.y(14));
        connect(b, &QPushButton::clicked, this, [this, i] {
            chosen_ = i;
            accept();
        });
        buttons_.emplace_back(100 + i, b);
        if (i == current) {
            b->setDefault(true);
            focus = b;
        }
        y += 16;
    }
    const QStyle* st = style();
    fileButton_ = new PictureButton(st->standardIcon(QStyle::SP_FileIcon),
                                    st->standardIcon(QStyle::SP_DialogOpenButton), this);
    fileButton_->setGeometry(units_.x(139), units_.y(y), units_.x(40), units_.y(25));
    fileButton_->setIconSize(QSize(units_.y(16), units_.y(16)));
    connect(fileButton_, &QPushButton::clicked, this, [this] {
        hide();
        const QString path =
            QFileDialog::getOpenFileName(nullptr, libraryText(17), QString(),
                                         QStringLiteral("Text Files (*.txt);;All Files (*)"));
        show();
        if (!path.isEmpty()) chooseFile(path);
    });
    if (current == kLanguageStringsFile) {
        fileButton_->setDefault(true);
        focus = fileButton_;
    }
    resize(units_.x(190), units_.y(y + 27));
    setGeometry(placeDialog(size(), nullptr, owner));
    if (focus) focus->setFocus();
    markReady();
}

bool LanguageChooser::chooseFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || info.isDir()) return false;
    stringsFile_ = shortenPath(info.absoluteFilePath().toStdString());
    chosen_ = kLanguageStringsFile;
    accept();
    return true;
}

int chooseLanguage(QWidget* owner, std::string_view offeredCodes) {
    LanguageChooser chooser(owner, offeredCodes);
    runDialog(chooser);
    const int chosen = chooser.chosenLanguage();
    if (chosen < 0 || !languages().changeLanguage(chosen, chooser.stringsFile()))
        languages().loadCurrentLanguage();
    return chosen;
}

} // namespace kv::ui
