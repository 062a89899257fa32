#include "ui/status_display.h"

#include <algorithm>

#include <QGridLayout>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QProgressBar>
#include <QResizeEvent>
#include <QSlider>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "mouse/mouse_input.h"
#include "persistence/settings.h"

namespace kv::ui {

namespace {

constexpr auto rlx = std::memory_order_relaxed;

platform::DesktopRect desktopOf(MouseInput& mouse) {
    const auto d = mouse.desktop();
    return {d.left, d.top, d.right, d.bottom};
}

Rgb rgb(const Colour& c) {
    return {c.red, c.green, c.blue};
}

std::uint32_t word(Rgb c) {
    return std::uint32_t(c.r) << 16 | std::uint32_t(c.g) << 8 | c.b;
}

// A compatibility-profile context: the indicator draws with the fixed pipeline and GLU.
QSurfaceFormat indicatorFormat() {
    QSurfaceFormat f;
    f.setRenderableType(QSurfaceFormat::OpenGL);
    f.setProfile(QSurfaceFormat::CompatibilityProfile);
    f.setVersion(2, 1);
    f.setDepthBufferSize(24);
    return f;
}

} // namespace

std::uint32_t colourWord(const Colour& c) {
    return word(rgb(c));
}

IndicatorColours indicatorColours(const Settings& s) {
    IndicatorColours c;
    c.dialogBackground = rgb(s.colour(UiColour::DialogBackground));
    c.moduleBackground = rgb(s.colour(UiColour::ModuleBackground));
    c.moduleText = rgb(s.colour(UiColour::ModuleText));
    c.buttonFocusedBackground = rgb(s.colour(UiColour::ButtonFocusedBackground));
    c.buttonDisabledText = rgb(s.colour(UiColour::ButtonDisabledText));
    c.progressBarForeground = rgb(s.colour(UiColour::ProgressBarForeground));
    c.progressBarBackground = rgb(s.colour(UiColour::ProgressBarBackground));
    c.moduleDropdownBackground = rgb(s.colour(UiColour::ModuleDropdownBackground));
    return c;
}

// ---- the on-screen 3D view ----

IndicatorView::IndicatorView(const MouseMetrics& metrics, const StatusDisplayOptions& options,
                             IndicatorState& state, QWidget* parent)
    : QOpenGLWidget(parent), metrics_(metrics), options_(options), state_(state) {
    setFormat(indicatorFormat());
}

void IndicatorView::setColours(const IndicatorColours& c) {
    colours_ = c;
    if (!isValid()) return;
    makeCurrent();
    prepareIndicatorContext(width(), height(), colours_.dialogBackground);
    doneCurrent();
    update();
}

void IndicatorView::initializeGL() {
    const int w = width() * devicePixelRatio(), h = height() * devicePixelRatio();
    prepareIndicatorContext(w, h, colours_.dialogBackground);
    // A context that cannot draw keeps the background rather than showing garbage.
    works_ = indicatorContextWorks(w, h, colours_.dialogBackground, Rgb{0, 0, 0}) &&
             context() == QOpenGLContext::currentContext();
}

void IndicatorView::resizeGL(int w, int h) {
    prepareIndicatorContext(w, h, colours_.dialogBackground);
}

void IndicatorView::paintGL() {
    const int w = width() * devicePixelRatio(), h = height() * devicePixelRatio();
    if (!works_) {
        prepareIndicatorContext(w, h, colours_.dialogBackground);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        return;
    }
    drawIndicatorFrame(state_, indicatorInputs(metrics_, options_.fast.load(rlx)), colours_, w, h);
}

// ---- the off-screen picture ("bitmap buffers") ----

struct StatusDisplay::Offscreen {
    QOffscreenSurface surface;
    QOpenGLContext context;
    std::unique_ptr<QOpenGLFramebufferObject> fbo;
    bool works = false, failed = false;
    QImage image;
};

// ---- the display ----

StatusDisplay::StatusDisplay(MouseInput& mouse, QWidget* parent) : QWidget(parent), mouse_(mouse) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(2, 2, 2, 2);
    outer->setSpacing(2);
    text_ = new QLabel(this);
    text_->setAlignment(Qt::AlignCenter);
    text_->setWordWrap(true);
    outer->addWidget(text_);

    indicators_ = new QWidget(this);
    stack_ = new QStackedLayout(indicators_);
    stack_->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(indicators_, 1);

    // Old-style: the compass at the left, the sixteen controls in a grid of four columns.
    oldStyle_ = new QWidget(indicators_);
    auto* grid = new QGridLayout(oldStyle_);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(2);
    compass_ = new QLabel(oldStyle_);
    compass_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    grid->addWidget(compass_, 0, 0, 4, 1);
    const auto ranges = oldStyleRanges(desktopOf(mouse_));
    for (int i = 0; i < kOldStyleControls; ++i) {
        QWidget* control = nullptr;
        if (i == kIndicatorSpeed) {
            speedBar_ = new QProgressBar(oldStyle_);
            speedBar_->setTextVisible(false);
            speedBar_->setMaximumHeight(12);
            control = speedBar_;
        } else {
            auto* s = new QSlider(Qt::Horizontal, oldStyle_);
            s->setEnabled(false); // an indicator, not an input
            control = s;
        }
        controls_[std::size_t(i)] = control;
        grid->addWidget(control, i / 4, 1 + i % 4);
    }
    for (int i = 0; i < kOldStyleControls; ++i) {
        if (i == kIndicatorSpeed)
            speedBar_->setRange(ranges[std::size_t(i)].minimum, ranges[std::size_t(i)].maximum);
        else
            slider(i)->setRange(ranges[std::size_t(i)].minimum, ranges[std::size_t(i)].maximum);
    }
    stack_->addWidget(oldStyle_);

    // Qt's off-screen platform has no GL windows: there the 3D indicator is drawn off screen.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        view_ = new IndicatorView(mouse_.metrics, options_, indicatorState_, indicators_);
        stack_->addWidget(view_);
    }
    picture_ = new QLabel(indicators_);
    picture_->setAlignment(Qt::AlignCenter);
    picture_->setMinimumSize(1, 1);
    stack_->addWidget(picture_);

    // The resize hand-shake: the thread acknowledges at the end of its pass, this timer then
    // hands it the new size.
    rebuildTimer_.setInterval(10);
    connect(&rebuildTimer_, &QTimer::timeout, this, [this] {
        if (rebuild_.complete(indicators_->width(), indicators_->height())) rebuildTimer_.stop();
    });
    applyOptions();
}

StatusDisplay::~StatusDisplay() = default;

QSlider* StatusDisplay::slider(int control) const {
    return control == kIndicatorSpeed ? nullptr
                                      : static_cast<QSlider*>(controls_[std::size_t(control)]);
}

void StatusDisplay::setTexts(const QString& text) {
    text_->setText(text);
}

void StatusDisplay::applyOptions() {
    const bool show = options_.show.load(rlx);
    indicators_->setVisible(show);
    if (!show) return;
    if (!options_.use3D.load(rlx))
        stack_->setCurrentWidget(oldStyle_);
    else
        stack_->setCurrentWidget(
            view_ && options_.swapBuffers.load(rlx) ? static_cast<QWidget*>(view_) : picture_);
    compassTheta_ = -1; // draw the compass again when it shows next
}

void StatusDisplay::setColours(const IndicatorColours& c, std::uint32_t dialogText) {
    colours_ = c;
    dialogText_ = dialogText;
    if (view_) view_->setColours(c);
    if (offscreen_) offscreen_->fbo.reset(); // prepared again with the new background
    compassTheta_ = -1;
    redrawCompass(theta_.load(rlx));
}

void StatusDisplay::setCompassSide(int side) {
    compassSide_ = std::max(side, 1);
    compass_->setFixedSize(compassSide_, compassSide_);
    compassTheta_ = -1;
    redrawCompass(theta_.load(rlx));
}

void StatusDisplay::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    rebuild_.request();
    rebuildTimer_.start();
}

bool indicatorFrameDue(std::uint64_t pass, bool fast, int stillPasses) {
    constexpr int kStillAfter = 100; // passes: one second
    if (stillPasses >= kStillAfter) return pass % 10 == 0;
    return fast || pass % 2 == 0;
}

void StatusDisplay::statusPass(const std::atomic<bool>& stop) {
    const bool show = options_.show.load(rlx), use3D = options_.use3D.load(rlx);
    const bool minimised = options_.minimised.load(rlx);
    if (show && !use3D) {
        const auto p = oldStylePositions(mouse_.metrics, desktopOf(mouse_));
        for (int i = 0; i < kOldStyleControls; ++i)
            positions_[std::size_t(i)].store(p[std::size_t(i)], rlx);
    }
    theta_.store(mouse_.metrics.theta.load(rlx), rlx);
    // The cursor stands still when its position and the distance travelled stay the same.
    const IndicatorInputs in = indicatorInputs(mouse_.metrics, false);
    const bool still = in.horizontalPosition == lastX_ && in.verticalPosition == lastY_ &&
                       in.totalDistance == lastDistance_;
    stillPasses_ = still ? std::min(stillPasses_ + 1, 1 << 20) : 0;
    lastX_ = in.horizontalPosition;
    lastY_ = in.verticalPosition;
    lastDistance_ = in.totalDistance;
    if (show && use3D && !minimised &&
        indicatorFrameDue(passes_, options_.fast.load(rlx), stillPasses_)) {
        frameDue_.store(true, rlx);
        framesAsked_.fetch_add(1, rlx);
    }
    ++passes_;
    if (show && !minimised && !refreshPending_.exchange(true, std::memory_order_acq_rel))
        QMetaObject::invokeMethod(
            this, [this] { refresh(); }, Qt::QueuedConnection);
    rebuild_.acknowledgeAndWait(stop);
}

void StatusDisplay::refresh() {
    refreshPending_.store(false, std::memory_order_release);
    if (!options_.show.load(rlx)) return;
    if (!options_.use3D.load(rlx)) {
        for (int i = 0; i < kOldStyleControls; ++i) {
            const int v = positions_[std::size_t(i)].load(rlx);
            if (i == kIndicatorSpeed)
                speedBar_->setValue(std::clamp(v, speedBar_->minimum(), speedBar_->maximum()));
            else
                slider(i)->setValue(v);
        }
        const double theta = theta_.load(rlx);
        if (theta != compassTheta_) redrawCompass(theta);
        return;
    }
    if (!frameDue_.exchange(false, rlx)) return;
    if (view_ && options_.swapBuffers.load(rlx))
        view_->update();
    else
        drawPicture();
    ++framesDrawn_;
}

void StatusDisplay::redrawCompass(double theta) {
    compassTheta_ = theta;
    drawCompass(compassPicture_, compassSide_, compassSide_, theta, word(colours_.dialogBackground),
                dialogText_);
    const QImage image(reinterpret_cast<const uchar*>(compassPicture_.pixels.data()),
                       compassPicture_.width, compassPicture_.height, QImage::Format_RGB32);
    compass_->setPixmap(QPixmap::fromImage(image.copy()));
}

void StatusDisplay::drawPicture() {
    const int w = std::max(picture_->width(), 1), h = std::max(picture_->height(), 1);
    if (!offscreen_) {
        offscreen_ = std::make_unique<Offscreen>();
        offscreen_->surface.setFormat(indicatorFormat());
        offscreen_->surface.create();
        offscreen_->context.setFormat(indicatorFormat());
        offscreen_->failed = !offscreen_->context.create();
    }
    Offscreen& o = *offscreen_;
    if (o.failed || !o.context.makeCurrent(&o.surface)) return;
    if (!o.fbo || o.fbo->size() != QSize(w, h)) {
        o.fbo = std::make_unique<QOpenGLFramebufferObject>(
            w, h, QOpenGLFramebufferObject::CombinedDepthStencil);
        o.fbo->bind();
        prepareIndicatorContext(w, h, colours_.dialogBackground);
        o.works = indicatorContextWorks(w, h, colours_.dialogBackground, Rgb{0, 0, 0});
        o.image = QImage(w, h, QImage::Format_RGB32);
    }
    o.fbo->bind();
    if (o.works) {
        drawIndicatorFrame(indicatorState_,
                           indicatorInputs(mouse_.metrics, options_.fast.load(rlx)), colours_, w,
                           h);
        // The frame comes back bottom row first, as blue, green, red, alpha bytes.
        readIndicatorPixels(w, h, o.image.bits());
    } else {
        o.image.fill(QColor(colours_.dialogBackground.r, colours_.dialogBackground.g,
                            colours_.dialogBackground.b));
    }
    o.fbo->release();
    o.context.doneCurrent();
    picture_->setPixmap(QPixmap::fromImage(o.works ? o.image.mirrored() : o.image));
}

} // namespace kv::ui
