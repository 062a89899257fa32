#include "ui/colour_palette.h"

#include <QCursor>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace kv::ui {

// ---- The triangle ----

namespace {

double distance(double ax, double ay, double bx, double by) {
    return std::hypot(ax - bx, ay - by);
}

/// 255 less `255 × d / side`; what falls outside 0..255 is dark.
double nearness(double d, double side) {
    const double v = side > 0 ? 255.0 - 255.0 * d / side : 0.0;
    return v < 0.0 || v > 255.0 ? 0.0 : v;
}

/// Lightens towards white below the neutral position and darkens towards black above it:
/// v − v × (s − 256) / 255 from 256 up, v + (255 − v) × (255 − s) / 255 up to 255, written so
/// that the ends come out exactly black and white.
double brightened(double v, int brightness) {
    if (brightness >= 256) return v * (kBrightnessMaximum - brightness) / 255.0;
    return 255.0 - (255.0 - v) * brightness / 255.0;
}

} // namespace

Colour triangleColour(int x, int y, int width, int height, int brightness) {
    const int inset = width / 8;
    const double tx = width / 2, ty = inset;
    const double lx = inset, ly = height - inset;
    const double rx = width - inset, ry = height - inset;
    const double tl = distance(tx, ty, lx, ly);
    const double tr = distance(tx, ty, rx, ry);
    const double lr = distance(lx, ly, rx, ry);
    const double red = nearness(distance(x, y, lx, ly), std::max(tl, lr));
    const double green = nearness(distance(x, y, rx, ry), std::max(tr, lr));
    const double blue = nearness(distance(x, y, tx, ty), tl);
    brightness = std::clamp(brightness, 0, kBrightnessMaximum);
    return {uint8_t(brightened(red, brightness)), uint8_t(brightened(green, brightness)),
            uint8_t(brightened(blue, brightness))};
}

QImage colourTriangle(int width, int height, int brightness) {
    QImage image(std::max(width, 0), std::max(height, 0), QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const Colour c = triangleColour(x, y, width, height, brightness);
            line[x] = qRgb(c.red, c.green, c.blue);
        }
    }
    return image;
}

uint8_t channelFromDecimal(const QString& text) {
    int value = 0;
    for (QChar c : text)
        if (c >= u'0' && c <= u'9') value = std::min(value * 10 + (c.unicode() - u'0'), 255);
    return uint8_t(value);
}

// ---- Swatch ----

Swatch::Swatch(QWidget* parent) : QWidget(parent) {}

void Swatch::setColour(Colour c) {
    colour_ = c;
    update();
}

void Swatch::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), toQColor(colour_));
    p.setPen(Qt::gray);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

// ---- Colour field ----

ColourField::ColourField(QWidget* parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setCursor(Qt::CrossCursor);
}

void ColourField::setBrightness(int brightness) {
    if (brightness == brightness_) return;
    brightness_ = brightness;
    redraw();
}

bool ColourField::colourAt(QPoint at, Colour& colour) const {
    // The colour comes from the picture this field drew rather than from the screen: reading
    // the screen back is not possible on every display server (Wayland refuses it, a virtual
    // X server shows nothing), and the picture holds exactly what is shown.
    if (!picture_.rect().contains(at)) return false;
    const QRgb rgb = picture_.pixel(at);
    colour = {uint8_t(qRed(rgb)), uint8_t(qGreen(rgb)), uint8_t(qBlue(rgb))};
    return true;
}

void ColourField::redraw() {
    picture_ = colourTriangle(width(), height(), brightness_);
    update();
}

void ColourField::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(0, 0, picture_);
}

void ColourField::resizeEvent(QResizeEvent*) {
    redraw();
}

void ColourField::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit pressed(event->position().toPoint());
}

void ColourField::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) emit dragged(event->position().toPoint());
}

// ---- The dialog ----

ColourPaletteDialog::ColourPaletteDialog(QWidget* owner, Colour rowColour,
                                         std::function<void(Colour)> applied)
    : ApplyDialog(owner, languageText(173)), applied_(std::move(applied)), row_(rowColour),
      new_(rowColour) {
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    layout->addLayout(top, 1);

    // The field starts with the triangle's sides equally long, so that its three corners show
    // pure red, green and blue.
    field_ = new ColourField(this);
    const int fieldWidth = units().x(150);
    field_->setMinimumSize(
        fieldWidth, fieldWidth / 4 + int(std::lround(fieldWidth * 0.75 * std::sqrt(3.0) / 2)));
    top->addWidget(field_, 1);
    connect(field_, &ColourField::pressed, this, [this](QPoint at) {
        pressedInField_ = true;
        pick(at);
    });
    connect(field_, &ColourField::dragged, this, [this](QPoint at) {
        if (pressedInField_) pick(at);
    });

    brightness_ = new QSlider(Qt::Vertical, this);
    brightness_->setRange(0, kBrightnessMaximum);
    brightness_->setValue(kBrightnessNeutral);
    brightness_->setInvertedAppearance(true); // white at the top, black at the bottom
    brightness_->setInvertedControls(true);
    top->addWidget(brightness_);

    // The controls on the right keep their distance from the right edge; the field takes
    // whatever the dialog grows by.
    auto* grid = new QGridLayout;
    top->addLayout(grid);
    int line = 0;
    auto label = [&](int text) { grid->addWidget(new QLabel(languageText(text), this), line, 0); };
    for (auto [text, swatch] : {std::pair{174, &oldSwatch_}, std::pair{175, &newSwatch_},
                                std::pair{176, &prospectiveSwatch_}}) {
        label(text);
        *swatch = new Swatch(this);
        (*swatch)->setFixedSize(units().x(40), units().y(12));
        grid->addWidget(*swatch, line++, 1, 1, 2, Qt::AlignLeft);
    }
    const std::array<uint8_t, 3> channels{new_.red, new_.green, new_.blue};
    for (int i = 0; i < 3; ++i) {
        label(177 + i);
        auto* slider = new QSlider(Qt::Horizontal, this);
        slider->setRange(0, 255);
        slider->setValue(channels[size_t(i)]);
        slider->setMinimumWidth(units().x(80));
        grid->addWidget(slider, line, 1);
        auto* decimal = new QLineEdit(QString::number(channels[size_t(i)]), this);
        decimal->setMaxLength(6);
        decimal->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), decimal));
        decimal->setFixedWidth(units().x(24));
        decimal->installEventFilter(this);
        grid->addWidget(decimal, line++, 2);
        sliders_[size_t(i)] = slider;
        decimals_[size_t(i)] = decimal;
        lastChannels_[size_t(i)] = channels[size_t(i)];
        connect(decimal, &QLineEdit::textEdited, this, [this, i] { decimalEdited(i); });
    }
    label(180);
    hex_ = new QLineEdit(hexOfColour(new_), this);
    hex_->setMaxLength(12);
    hex_->installEventFilter(this);
    grid->addWidget(hex_, line++, 1, 1, 2);
    connect(hex_, &QLineEdit::textEdited, this, &ColourPaletteDialog::hexEdited);
    grid->setRowStretch(line, 1);

    layout->addWidget(buttonRow());
    oldSwatch_->setColour(row_);
    newSwatch_->setColour(new_);
    prospectiveSwatch_->setColour(new_);
    prospective_ = new_;

    timer_ = new QTimer(this);
    timer_->setInterval(10);
    connect(timer_, &QTimer::timeout, this, &ColourPaletteDialog::poll);
    timer_->start();
    adjustSize();
    markReady();
}

void ColourPaletteDialog::poll() {
    if (brightness_->value() != lastBrightness_) {
        lastBrightness_ = brightness_->value();
        field_->setBrightness(lastBrightness_);
    }
    const QPoint cursor = QCursor::pos();
    if (cursor != lastCursor_) {
        lastCursor_ = cursor;
        if (field_->colourAt(field_->mapFromGlobal(cursor), prospective_))
            prospectiveSwatch_->setColour(prospective_);
    }
    for (size_t i = 0; i < 3; ++i) {
        const int value = sliders_[i]->value();
        if (value == lastChannels_[i]) continue;
        lastChannels_[i] = value;
        uint8_t* channel[] = {&new_.red, &new_.green, &new_.blue};
        *channel[i] = uint8_t(value);
        showNewColour(sliders_[i]);
    }
    applyButton()->setEnabled(new_ != row_);
}

void ColourPaletteDialog::pick(QPoint at) {
    Colour c;
    if (!field_->colourAt(at, c)) return;
    new_ = c;
    showNewColour(nullptr);
}

void ColourPaletteDialog::showNewColour(const QObject* source) {
    newSwatch_->setColour(new_);
    const std::array<uint8_t, 3> channels{new_.red, new_.green, new_.blue};
    for (size_t i = 0; i < 3; ++i) {
        if (sliders_[i] != source) sliders_[i]->setValue(channels[i]);
        lastChannels_[i] = channels[i];
        if (decimals_[i] != source) decimals_[i]->setText(QString::number(channels[i]));
    }
    if (hex_ != source) hex_->setText(hexOfColour(new_));
    applyButton()->setEnabled(new_ != row_);
}

void ColourPaletteDialog::decimalEdited(int channel) {
    uint8_t* channels[] = {&new_.red, &new_.green, &new_.blue};
    *channels[channel] = channelFromDecimal(decimals_[size_t(channel)]->text());
    showNewColour(decimals_[size_t(channel)]);
}

void ColourPaletteDialog::hexEdited() {
    QString cleaned;
    const Colour c = colourFromHex(hex_->text(), &cleaned);
    if (cleaned != hex_->text()) {
        const int cursor = hex_->cursorPosition();
        hex_->setText(cleaned);
        hex_->setCursorPosition(std::min(cursor, int(cleaned.size())));
    }
    if (c == new_) return;
    new_ = c;
    showNewColour(hex_);
}

bool ColourPaletteDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut) {
        // Leaving a field shows what it stands for: the clamped number, the full six digits.
        const std::array<uint8_t, 3> channels{new_.red, new_.green, new_.blue};
        for (size_t i = 0; i < 3; ++i)
            if (watched == decimals_[i]) decimals_[i]->setText(QString::number(channels[i]));
        if (watched == hex_ && hex_->text().size() != 6) hex_->setText(hexOfColour(new_));
    }
    return ApplyDialog::eventFilter(watched, event);
}

void ColourPaletteDialog::mousePressEvent(QMouseEvent* event) {
    // A press beside the field ends picking by dragging.
    pressedInField_ = false;
    ApplyDialog::mousePressEvent(event);
}

bool ColourPaletteDialog::differs() const {
    return new_ != row_;
}

void ColourPaletteDialog::store() {
    // Okay without a change hands nothing back, so the row's dialog sees no change either.
    if (new_ == row_) return;
    row_ = new_;
    oldSwatch_->setColour(row_);
    if (applied_) applied_(row_);
}

} // namespace kv::ui
