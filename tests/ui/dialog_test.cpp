#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QMenu>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "persistence/language.h"
#include "ui/button_box.h"
#include "ui/language_chooser.h"
#include "ui/theme.h"

using namespace kv::ui;

namespace {

/// Answers the next dialog the framework opens with `answer`, then forgets it.
void answerNext(std::function<void(QDialog&)> answer) {
    setDialogShownHook([answer](QDialog& d) {
        setDialogShownHook(nullptr);
        answer(d);
    });
}

TEST(ButtonBox, LabelsKeysDefaultAndEscape) {
    EXPECT_EQ(splitBarList("Yes | No"), (QStringList{"Yes", "No"}));
    EXPECT_EQ(splitBarList("a  |  b|c"), (QStringList{"a ", " b", "c"}));

    QString labels;
    bool secondIsDefault = false;
    answerNext([&](QDialog& d) {
        auto& box = static_cast<ButtonBoxDialog&>(d);
        for (auto* b : box.buttons())
            labels += b->text() + ";";
        secondIsDefault = box.buttons()[1]->isDefault() && !box.buttons()[0]->isDefault();
        QTest::keyClick(&d, Qt::Key_Escape);
    });
    EXPECT_EQ(buttonBox(nullptr, "Yes | No", "Yes|No", "No", "Sure?", "Question"), "No");
    EXPECT_EQ(labels, "Yes;No;");
    EXPECT_TRUE(secondIsDefault);

    answerNext([](QDialog& d) {
        QTest::mouseClick(static_cast<ButtonBoxDialog&>(d).buttons()[0], Qt::LeftButton);
    });
    EXPECT_EQ(buttonBox(nullptr, "Yes | No", "Yes|No", "No", "Sure?", "Question"), "Yes");
    // A button without a key returns the empty key.
    answerNext([](QDialog& d) { static_cast<ButtonBoxDialog&>(d).buttons()[2]->click(); });
    EXPECT_EQ(buttonBox(nullptr, "A|B|C", "a|b", "a", "", "Short keys"), "");
}

TEST(ButtonBox, LayoutRules) {
    // 6 units per character: easy numbers.
    auto measure = [](const QString& s, bool) { return 6.0 * s.size(); };
    const QStringList two{"Okay", "Cancel"};

    auto none = layoutButtonBox(two, "", "Caption", measure);
    EXPECT_EQ(none.textHeight, 0);
    EXPECT_EQ(none.height, 5 + 2 * 19);
    EXPECT_EQ(layoutButtonBox(two, " \r\n\t ", "C", measure).textHeight, 0);

    const auto longLine = layoutButtonBox(two, QString(500, 'x'), "C", measure);
    EXPECT_EQ(longLine.width, 360);

    // A short text with many buttons keeps 8 × 3 units.
    auto many = layoutButtonBox({"1", "2", "3", "4", "5"}, "Hi", "C", measure);
    EXPECT_EQ(many.textHeight, 24);
    EXPECT_EQ(many.height, 5 + 24 + 5 + 5 * 19);
    EXPECT_EQ(many.minimumHeight, 5 + 28 + 5 + 5 * 19);
    // A wide box with one line gets a golden-ratio text field.
    auto wide = layoutButtonBox({"Okay"}, QString(40, 'x'), "C", measure);
    EXPECT_EQ(wide.width, 6.0 * (40 + 9) + 10);
    EXPECT_EQ(wide.textHeight, static_cast<int>(wide.width / 1.618 - (19 + 5)));

    QString lines;
    for (int i = 0; i < 50; ++i)
        lines += "line\r\n";
    EXPECT_EQ(layoutButtonBox(two, lines, "C", measure).textHeight, 300);
}

TEST(ButtonBox, AShortTextGetsAFieldItsOwnSize) {
    ButtonBoxLayout l;
    l.textHeight = 179;
    l.height = 5 + 179 + 5 + 2 * 19;
    fitTextHeight(l, 40.2);
    EXPECT_EQ(l.textHeight, 41);
    EXPECT_EQ(l.height, 5 + 41 + 5 + 2 * 19);
    fitTextHeight(l, 12); // never below 28 units
    EXPECT_EQ(l.textHeight, 28);
    fitTextHeight(l, 300); // a text that needs more keeps what the layout gave
    EXPECT_EQ(l.textHeight, 28);

    // A question of one long line: the field holds the wrapped text without a wide empty band.
    const QString question = QStringLiteral(
        "When the Esc key is pressed, would you like me to minimise rather than stop the sound, "
        "keeping every module window where it stands?");
    ButtonBoxDialog box(nullptr, "Yes|No", "Yes|No", "No", question, "Caption", false);
    box.show();
    QApplication::processEvents();
    const int content = int(box.field()->document()->size().height());
    EXPECT_GE(box.field()->height(), content);
    EXPECT_LT(box.field()->height(), content + 3 * box.field()->fontMetrics().height());
}

TEST(ButtonBox, MinimumSizeAndResizing) {
    ButtonBoxDialog box(nullptr, "Okay", "Okay", "Okay", "Some\r\ntext\r\non\r\nfive\r\nlines",
                        "Caption", false);
    box.show();
    EXPECT_EQ(box.readyMarker(), kDialogReadyMarker);
    EXPECT_EQ(box.minimumWidth(), box.units().x(100));
    EXPECT_LT(box.minimumHeight(), box.height()); // the field may shrink to 28 units
    const QRect field = box.field()->geometry();
    const QRect button = box.buttons()[0]->geometry();
    box.resize(box.width() + 40, box.height() + 30);
    QApplication::processEvents();
    EXPECT_EQ(box.field()->geometry(), field.adjusted(0, 0, 40, 30));
    EXPECT_EQ(box.buttons()[0]->geometry(), button.translated(0, 30).adjusted(0, 0, 40, 0));
}

TEST(SystemErrorText, LastErrorAndCodes) {
    errno = 0;
    EXPECT_EQ(systemErrorText(0), "SUCCESS");
    errno = ENOENT;
    EXPECT_EQ(systemErrorText(0), "No such file or directory");
    EXPECT_EQ(systemErrorText(EACCES), "Permission denied");
}

TEST(Theme, UserColoursOrTheDesktopPalette) {
    kv::Settings s;
    s.colour(kv::UiColour::DialogBackground) = {1, 2, 3};
    QWidget coloured, plain;
    applyDialogColours(&coloured, Theme::fromSettings(s));
    EXPECT_EQ(coloured.palette().color(QPalette::Window), QColor(1, 2, 3));
    EXPECT_EQ(coloured.palette().color(QPalette::Base), editBackground());
    s.useWindowsColours = true;
    applyDialogColours(&plain, Theme::fromSettings(s));
    EXPECT_EQ(plain.palette().color(QPalette::Window), QPalette().color(QPalette::Window));
}

TEST(OwnerButton, StatesAndUnreadablePairs) {
    Dialog dialog;
    auto* a = new OwnerButton("A", &dialog);
    auto* b = new OwnerButton("B", &dialog);
    dialog.show();
    b->setDefault(true);
    // The default pair is black on black out of the box: the normal pair is used instead.
    EXPECT_EQ(b->currentState(), ButtonState::Normal);
    // Hovering makes a button hot; leaving makes it normal again.
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(a, &enter);
    EXPECT_TRUE(a->hot());
    EXPECT_EQ(a->currentState(), ButtonState::Focused);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(a, &leave);
    EXPECT_EQ(a->currentState(), ButtonState::Normal);
    b->setEnabled(false);
    EXPECT_EQ(b->currentState(), ButtonState::Disabled);
}

TEST(OwnerButton, LabelsStayClearOfTheRoundedEnds) {
    for (const QString& label : {QStringLiteral("Okay"), QStringLiteral("Check for updates"),
                                 QStringLiteral("Send Feedback")}) {
        OwnerButton b(label);
        const QSize size = b.sizeHint();
        const int free = size.width() - QFontMetrics(buttonFont(11.8)).horizontalAdvance(label);
        EXPECT_GE(free, int(size.height() / 1.5)) << label.toStdString();
    }
}

TEST(RichTextField, EditMenuOfAReadOnlyField) {
    RichTextField field;
    field.setReadOnly(true);
    field.setPlainText("Hello world");
    auto enabled = [&] {
        std::unique_ptr<QMenu> menu(field.createEditMenu());
        QStringList on;
        for (QAction* a : menu->actions())
            if (!a->isSeparator() && a->isEnabled()) on << a->text();
        return on;
    };
    EXPECT_EQ(enabled(), (QStringList{"Select All", "Save As"}));
    field.selectAll();
    EXPECT_EQ(enabled(), (QStringList{"Copy", "Select All", "Save As"}));
    field.setReadOnly(false);
    EXPECT_TRUE(enabled().contains("Cut"));
    EXPECT_TRUE(enabled().contains("Delete"));
}

TEST(RichTextField, SaveWritesCaptionAndTextAsUtf16) {
    QWidget owner;
    owner.setWindowTitle("Über");
    auto* field = new RichTextField(&owner);
    field->setPlainText("a\nb");
    const auto path = std::filesystem::temp_directory_path() / "kv_ui_save_test.txt";
    QString reason;
    ASSERT_TRUE(field->saveText(QString::fromStdString(path.string()), reason))
        << reason.toStdString();
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::u16string expected = u"\uFEFF\u00DCber\r\na\r\nb\r\n";
    EXPECT_EQ(bytes,
              std::string(reinterpret_cast<const char*>(expected.data()), expected.size() * 2));
    std::filesystem::remove(path);
    EXPECT_FALSE(field->saveText("/nonexistent-folder/x.txt", reason));
    EXPECT_FALSE(reason.isEmpty());
}

TEST(ValueBox, EmptyValueWarnsAndStaysOpenCancelKeepsValue) {
    bool stayedOpen = false, warned = false;
    answerNext([&](QDialog& d) {
        auto& box = static_cast<ValueBoxDialog&>(d);
        box.newValueField()->clear();
        answerNext([&](QDialog& warning) {
            warned = warning.windowTitle() == "Invalid value specified";
            warning.reject();
        });
        box.accept();
        stayedOpen = box.isVisible();
        box.reject();
    });
    QString value = "Oscillator 1";
    EXPECT_FALSE(valueBox(nullptr, "Name", value));
    EXPECT_TRUE(warned);
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(value, "Oscillator 1");

    answerNext([](QDialog& d) {
        auto& box = static_cast<ValueBoxDialog&>(d);
        box.newValueField()->setPlainText("Osc A");
        box.accept();
    });
    EXPECT_TRUE(valueBox(nullptr, "Name", value));
    EXPECT_EQ(value, "Osc A");
}

TEST(LanguageChooser, OffersTheLanguagesInOrderAndLoadsTheChoice) {
    {
        LanguageChooser chooser(nullptr, kv::kOfferedLanguageCodes);
        std::vector<int> ids;
        for (auto& [id, b] : chooser.languageButtons())
            ids.push_back(id);
        EXPECT_EQ(ids, (std::vector<int>{103, 100, 106, 105, 114, 113}));
        EXPECT_TRUE(chooser.languageButtons()[1].second->isDefault()); // English is current
        EXPECT_FALSE(chooser.chooseFile("/nonexistent/strings.txt"));
        EXPECT_FALSE(chooser.chooseFile(
            QString::fromStdString(std::filesystem::temp_directory_path().string()))); // a folder
        EXPECT_EQ(chooser.chosenLanguage(), -1);
    }
    answerNext(
        [](QDialog& d) { static_cast<LanguageChooser&>(d).languageButtons()[0].second->click(); });
    EXPECT_EQ(chooseLanguage(nullptr, kv::kOfferedLanguageCodes), 3);
    EXPECT_EQ(kv::languages().currentLanguage(), 3);
    EXPECT_EQ(kv::libraryString(38), "Start"); // German has no texts yet: English stays
    // Closing without a choice keeps the language and loads it again.
    answerNext([](QDialog& d) { d.reject(); });
    EXPECT_EQ(chooseLanguage(nullptr, kv::kOfferedLanguageCodes), -1);
    EXPECT_EQ(kv::languages().currentLanguage(), 3);
    // A strings file of the user's.
    const auto file = std::filesystem::temp_directory_path() / "kv_ui_strings_test.txt";
    std::ofstream(file, std::ios::binary) << "[Zone_Internal]\r\n[9]\tAdd A Thing\r\n";
    answerNext([&](QDialog& d) {
        EXPECT_TRUE(
            static_cast<LanguageChooser&>(d).chooseFile(QString::fromStdString(file.string())));
    });
    EXPECT_EQ(chooseLanguage(nullptr, kv::kOfferedLanguageCodes), kv::kLanguageStringsFile);
    EXPECT_EQ(kv::languages().currentLanguage(), kv::kLanguageStringsFile);
    EXPECT_EQ(kv::languageString(9), "Add A Thing");
    std::filesystem::remove(file);
    kv::languages().changeLanguage(0, "");
}

} // namespace
