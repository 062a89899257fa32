#pragma once
// The colour palette: a colour picker for one interface colour, built around a triangle whose
// corners are red (bottom left), green (bottom right) and blue (top), darkened or lightened by a
// brightness slider. The new colour is picked from the triangle or set with red, green and blue
// sliders, decimal fields or a hexadecimal field. User-interface thread.
#include <QImage>
#include <QWidget>
#include <array>
#include <functional>

#include "persistence/settings.h"
#include "ui/preferences_dialog.h"

class QLineEdit;
class QSlider;
class QTimer;

namespace kv::ui {

/// Brightness slider positions: 0 is white, 255 leaves the colours alone, 511 is black.
inline constexpr int kBrightnessMaximum = 511;
inline constexpr int kBrightnessNeutral = 255;

/// The colour of pixel (`x`, `y`) of a `width` × `height` colour triangle at `brightness`
/// (0..511). Pure: needs no display.
Colour triangleColour(int x, int y, int width, int height, int brightness);
/// The whole triangle picture, `width` × `height` pixels.
QImage colourTriangle(int width, int height, int brightness);
/// The channel a decimal field's text gives: digits only, above 255 counts as 255, empty as 0.
uint8_t channelFromDecimal(const QString& text);

/// A picture filled with one colour.
class Swatch : public QWidget {
    Q_OBJECT
  public:
    explicit Swatch(QWidget* parent = nullptr);
    void setColour(Colour c);
    Colour colour() const { return colour_; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    Colour colour_;
};

/// The field showing the triangle; it is drawn again whenever its size or the brightness changes.
class ColourField : public QWidget {
    Q_OBJECT
  public:
    explicit ColourField(QWidget* parent = nullptr);
    void setBrightness(int brightness);
    const QImage& picture() const { return picture_; }
    /// The colour drawn at `at` (field pixels); false when `at` lies outside the field.
    bool colourAt(QPoint at, Colour& colour) const;

  signals:
    /// The left button went down over the field at `at` (field pixels).
    void pressed(QPoint at);
    /// The mouse moved with the left button held to `at`.
    void dragged(QPoint at);

  protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    void redraw();
    int brightness_ = kBrightnessNeutral;
    QImage picture_;
};

/// The colour palette for one row of the visual preferences. Apply hands the new colour to
/// `applied` (the row takes it as its working colour) and becomes the row's colour here.
class ColourPaletteDialog final : public ApplyDialog {
    Q_OBJECT
  public:
    ColourPaletteDialog(QWidget* owner, Colour rowColour, std::function<void(Colour)> applied);

    Colour rowColour() const { return row_; }
    Colour newColour() const { return new_; }
    Colour prospectiveColour() const { return prospective_; }
    ColourField* field() const { return field_; }
    QSlider* brightnessSlider() const { return brightness_; }
    /// Red, green and blue.
    QSlider* channelSlider(int channel) const { return sliders_[size_t(channel)]; }
    QLineEdit* decimalField(int channel) const { return decimals_[size_t(channel)]; }
    QLineEdit* hexField() const { return hex_; }
    Swatch* oldSwatch() const { return oldSwatch_; }
    Swatch* newSwatch() const { return newSwatch_; }
    Swatch* prospectiveSwatch() const { return prospectiveSwatch_; }

    /// The work of the 10 ms timer: follows the brightness and channel sliders and the cursor
    /// over the field, and enables Apply exactly while the new colour differs from the row's.
    void poll();

  protected:
    bool differs() const override;
    void store() override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    void pick(QPoint at);
    void decimalEdited(int channel);
    void hexEdited();
    /// Shows the new colour everywhere except in the control it came from.
    void showNewColour(const QObject* source);
    std::function<void(Colour)> applied_;
    Colour row_, new_, prospective_;
    ColourField* field_;
    QSlider* brightness_;
    std::array<QSlider*, 3> sliders_{};
    std::array<QLineEdit*, 3> decimals_{};
    QLineEdit* hex_;
    Swatch* oldSwatch_;
    Swatch* newSwatch_;
    Swatch* prospectiveSwatch_;
    QTimer* timer_;
    int lastBrightness_ = kBrightnessNeutral;
    std::array<int, 3> lastChannels_{};
    QPoint lastCursor_{-1, -1};
    bool pressedInField_ = false;
};

} // namespace kv::ui
