#include <gtest/gtest.h>

#include <QApplication>
#include <QFocusEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <filesystem>
#include <unistd.h>
#include <vector>

#include "ui/app_settings.h"
#include "ui/button_box.h"
#include "ui/colour_palette.h"

using namespace kv;
using namespace kv::ui;

TEST(ColourTriangle, CornersAndBrightnessFollowTheFormula) {
    // A 200 × 180 field: corners T (100, 25), L (25, 155), R (175, 155), all sides about 150.
    struct Case {
        int x, y, brightness;
        Colour expected;
    } cases[] = {
        {25, 155, 255, {255, 0, 0}},    {175, 155, 255, {0, 255, 0}},
        {100, 25, 255, {0, 0, 255}},    {100, 155, 255, {127, 127, 34}},
        {60, 100, 255, {144, 38, 110}}, {100, 155, 128, {191, 191, 144}},
        {60, 100, 384, {71, 19, 55}},   {25, 155, 384, {127, 0, 0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(triangleColour(c.x, c.y, 200, 180, c.brightness), c.expected)
            << c.x << "," << c.y << " at " << c.brightness;
    // The ends of the brightness slider: every pixel white at 0 and black at 511.
    for (auto [brightness, expected] :
         {std::pair{0, Colour{255, 255, 255}}, std::pair{511, Colour{0, 0, 0}}}) {
        const QImage image = colourTriangle(200, 180, brightness);
        ASSERT_EQ(image.size(), QSize(200, 180));
        for (QPoint p : {QPoint(25, 155), QPoint(100, 25), QPoint(100, 155), QPoint(0, 0)})
            EXPECT_EQ(image.pixel(p), qRgb(expected.red, expected.green, expected.blue))
                << brightness;
    }
    EXPECT_EQ(colourTriangle(200, 180, 255).pixel(175, 155), qRgb(0, 255, 0));
}

TEST(ColourPalette, ApplyIsEnabledExactlyWhileTheNewColourDiffers) {
    std::vector<Colour> handedBack;
    ColourPaletteDialog d(nullptr, {10, 20, 30}, [&](Colour c) { handedBack.push_back(c); });
    EXPECT_EQ(d.brightnessSlider()->value(), 255);
    EXPECT_EQ(d.hexField()->text(), QStringLiteral("0A141E"));
    EXPECT_EQ(d.decimalField(2)->text(), QStringLiteral("30"));
    EXPECT_FALSE(d.applyButton()->isEnabled());
    d.channelSlider(0)->setValue(11);
    d.poll();
    EXPECT_EQ(d.newColour(), (Colour{11, 20, 30}));
    EXPECT_EQ(d.decimalField(0)->text(), QStringLiteral("11"));
    EXPECT_EQ(d.hexField()->text(), QStringLiteral("0B141E"));
    EXPECT_EQ(d.newSwatch()->colour(), (Colour{11, 20, 30}));
    EXPECT_TRUE(d.applyButton()->isEnabled());
    d.applyButton()->click(); // the applied colour becomes the row's
    EXPECT_EQ(d.rowColour(), (Colour{11, 20, 30}));
    EXPECT_EQ(d.oldSwatch()->colour(), (Colour{11, 20, 30}));
    EXPECT_FALSE(d.applyButton()->isEnabled());
    d.channelSlider(0)->setValue(12);
    d.poll();
    EXPECT_TRUE(d.applyButton()->isEnabled());
    d.channelSlider(0)->setValue(11);
    d.poll();
    EXPECT_FALSE(d.applyButton()->isEnabled());
    d.okayButton()->click(); // nothing changed since Apply: nothing handed back
    EXPECT_EQ(handedBack, (std::vector<Colour>{{11, 20, 30}}));
}

TEST(ColourPalette, DecimalAndHexFieldsSetTheNewColour) {
    ColourPaletteDialog d(nullptr, {10, 20, 30}, nullptr);
    d.show();
    QLineEdit* red = d.decimalField(0);
    red->setFocus();
    red->selectAll();
    QTest::keyClicks(red, QStringLiteral("3x00"));
    EXPECT_EQ(red->text(), QStringLiteral("300")); // digits only
    EXPECT_EQ(d.newColour().red, 255);
    EXPECT_EQ(d.channelSlider(0)->value(), 255);
    EXPECT_EQ(d.hexField()->text(), QStringLiteral("FF141E"));
    QFocusEvent leave(QEvent::FocusOut);
    QApplication::sendEvent(red, &leave);
    EXPECT_EQ(red->text(), QStringLiteral("255"));
    red->selectAll();
    QTest::keyClick(red, Qt::Key_Backspace);
    EXPECT_EQ(d.newColour().red, 0);
    EXPECT_EQ(channelFromDecimal(QString()), 0);

    QLineEdit* hex = d.hexField();
    hex->setFocus();
    hex->selectAll();
    QTest::keyClicks(hex, QStringLiteral("ffG"));
    EXPECT_EQ(hex->text(), QStringLiteral("ff"));
    EXPECT_EQ(d.newColour(), (Colour{0, 0, 255}));
    EXPECT_EQ(d.channelSlider(2)->value(), 255);
    EXPECT_EQ(d.decimalField(1)->text(), QStringLiteral("0"));
    QApplication::sendEvent(hex, &leave);
    EXPECT_EQ(hex->text(), QStringLiteral("0000FF"));
}

TEST(ColourPalette, PressingAndDraggingOverTheFieldPicksTheColourShown) {
    ColourPaletteDialog d(nullptr, {10, 20, 30}, nullptr);
    d.show();
    ColourField* field = d.field();
    const QSize size = field->size();
    ASSERT_EQ(field->picture().size(), size);
    d.brightnessSlider()->setValue(300);
    d.poll();
    const QPoint at(size.width() / 3, size.height() / 2);
    QTest::mousePress(field, Qt::LeftButton, {}, at);
    EXPECT_EQ(d.newColour(), triangleColour(at.x(), at.y(), size.width(), size.height(), 300));
    EXPECT_EQ(d.channelSlider(1)->value(), d.newColour().green);
    const QPoint top(size.width() / 2, size.width() / 8);
    QMouseEvent drag(QEvent::MouseMove, QPointF(top), field->mapToGlobal(QPointF(top)),
                     Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(field, &drag);
    QTest::mouseRelease(field, Qt::LeftButton, {}, top);
    EXPECT_EQ(d.newColour(), triangleColour(top.x(), top.y(), size.width(), size.height(), 300));
    EXPECT_EQ(d.hexField()->text(), hexOfColour(d.newColour()));
}

TEST(ColourPalette, OkayHandsTheColourBackToTheVisualPreferencesRow) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("kv_palette_" + std::to_string(::getpid()));
    SettingsStore settings(file.string());
    const Colour stored = settings.values().colour(UiColour::DialogText);
    VisualPreferencesDialog visual(nullptr, settings, nullptr);
    visual.show();
    Colour before{};
    setDialogShownHook([&](QDialog& shown) {
        auto* palette = qobject_cast<ColourPaletteDialog*>(&shown);
        if (!palette) return shown.reject();
        before = palette->rowColour();
        palette->channelSlider(0)->setValue(0xAB);
        palette->poll();
        palette->okayButton()->click();
    });
    visual.row(UiColour::DialogText).swatch->click();
    setDialogShownHook(nullptr);
    EXPECT_EQ(before, stored);
    const Colour picked{0xAB, stored.green, stored.blue};
    EXPECT_EQ(visual.row(UiColour::DialogText).working, picked);
    EXPECT_EQ(visual.row(UiColour::DialogText).entry->text(), hexOfColour(picked));
    EXPECT_TRUE(visual.applyButton()->isEnabled());
    EXPECT_EQ(settings.values().colour(UiColour::DialogText), stored); // until Apply
    std::filesystem::remove(file);
}
