#include "ui/main_window.h"
#include "engine/engine_settings.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QScreen>
#include <QSlider>
#include <QUrl>
#include <QVBoxLayout>
#include <chrono>
#include <cmath>
#include <span>

#include "devices/wave_input_manager.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "modules/module_registry.h"
#include "modules/presets.h"
#include "mouse/mouse_input.h"
#include "persistence/language.h"
#include "persistence/paths.h"
#include "persistence/text.h"
#include "platform/library_messages.h"
#include "ui/button_box.h"
#include "ui/main_window_parts.h"
#include "ui/module_window/module_colours.h"
#include "ui/module_window/module_window.h"
#include "ui/online.h"
#include "ui/preferences_about.h"
#include "ui/program_icon.h"
#include "ui/status_display.h"
#include "ui/status_text.h"

namespace kv::ui {

QRect restoredPlacement(const QRect& saved, const std::vector<QRect>& screens,
                        const QRect& primaryArea, const QSize& size) {
    if (saved.width() > 0 && saved.height() > 0) {
        for (const QRect& s : screens)
            if (s.intersects(saved)) return saved;
    }
    return QRect(primaryArea.left() + (primaryArea.width() - size.width()) / 2,
                 primaryArea.top() + (primaryArea.height() - size.height()) / 2, size.width(),
                 size.height());
}

void runHelpBox(QWidget* owner) {
    for (;;) {
        const QString key = buttonBox(
            owner, languageText(36), QStringLiteral("CommandLine|HelpCentre|Forum|Tutorial|Okay"),
            QStringLiteral("Okay"), libraryText(kLibraryHelpText), libraryText(40));
        if (key == QStringLiteral("CommandLine"))
            buttonBox(owner, libraryText(0), QStringLiteral("Okay"), QStringLiteral("Okay"),
                      languageText(16), libraryText(40));
        else if (key == QStringLiteral("HelpCentre"))
            QDesktopServices::openUrl(QUrl(kHelpCentreUrl));
        else if (key == QStringLiteral("Forum"))
            QDesktopServices::openUrl(QUrl(kForumUrl));
        else if (key == QStringLiteral("Tutorial"))
            QDesktopServices::openUrl(QUrl(kTutorialsUrl));
        else
            return;
    }
}

MainWindow::MainWindow(EngineState& state, SettingsStore& settings, MainWindowOptions options)
    : Dialog(nullptr, Qt::Window | Qt::FramelessWindowHint), state_(state), settings_(settings),
      options_(std::move(options)) {
    setWindowTitle(QStringLiteral("Kalvitrope"));
    setWindowIcon(programIcon());
    Settings& s = settings_.values();
    applySettings(s, state_);
    // MakeNoSound and WrapMouse on the command line hold for this run only; the stored
    // preferences stay as they are.
    state_.settings.makeNoSound.store(options_.makeNoSoundGiven && options_.makeNoSound);

    // The instrument, on the sound system's devices and the desktop's mouse.
    const std::string api = options_.audioApi.empty() ? s.audioApi : options_.audioApi;
    std::string noMouse;
    instrument_ = std::make_unique<Instrument>(
        liveBackends(api, s.mouseBackend, options_.desktopMouse, noMouse), &state_);
    Instrument& instrument = *instrument_;
    instrument.onMessage = [this](const std::string& text) { addMessage(fromStd(text)); };
    // Another program holds an input device: told in a box on the window's thread. The device
    // service does not wait for it, so closing the window never waits on an unread box.
    instrument.waveInputs().setMessageSink([this](const std::string& text) {
        QMetaObject::invokeMethod(
            this, [this, text] { informBox(this, fromStd(text), QStringLiteral("Error")); },
            Qt::QueuedConnection);
    });
    MouseInput& mouse = instrument.mouse();
    mouse.settings.wrapAtScreenEdges.store(
        options_.wrapMouseGiven ? options_.wrapMouse : s.wrapMouseCursorAtScreenEdges);
    mouse.settings.showMouseStatus.store(s.showMouseStatus);
    mouse.settings.originX.store(s.mouseOriginX);
    mouse.settings.originY.store(s.mouseOriginY);
    replayTimer_.setInterval(50);
    connect(&replayTimer_, &QTimer::timeout, this, [this] {
        if (instrument_->replayFinished()) finishReplay();
    });
    // The module windows let go of the modules before a patch replaces them and open again
    // after it; the recordings the patch asks for start then.
    instrument.beforeModulesChange = [this] { moduleWindows_->closeAll(); };
    instrument.afterModulesChange = [this] {
        moduleWindows_->openAll();
        syncRecordings();
    };
    setModuleColours(s); // before any module window is built
    moduleWindows_ = std::make_unique<ModuleWindows>(instrument.registry(), this);
    moduleWindows_->setEdgeLock(&settings_.values().lockWindowToScreenEdges);
    moduleWindows_->setDeviceManagers(&instrument.outputs(), &instrument.waveInputs(),
                                      &instrument.midiInputs());
    moduleWindows_->setEngineState(&state_);
    moduleWindows_->setWaveWriters(&instrument.waveWriters());
    moduleWindows_->setEdits(&instrument.edits());
    // A tape playing live holds the live values of its patch's modules; a take's tape cannot
    // say that a module went.
    moduleWindows_->setBeforeDelete([this] {
        finishReplay();
        if (tapeRecording()) instrument_->edits().notTaped();
    });

    buildControls();
    applyLabels();
    if (!noMouse.empty()) addMessage(fromStd(noMouse));
    noSoundDevice_ = instrument.audioOut().deviceCount() == 0;
    if (noSoundDevice_) addMessage(noSoundDeviceText());

    // Sounding on start.
    if (options_.autoStartOnly) {
        startEngine();
    } else if (s.startSoundingOnStartup && !options_.autoStartAndHide) {
        startEngine();
    } else if (options_.autoStartAndHide) {
        startAndHide();
        QTimer::singleShot(0, this, [this] { hide(); });
    }
    if (s.systemTrayIconEnabled && !s.systemTrayOnlyWhenMinimised) showTray(true);

    connect(&labelTimer_, &QTimer::timeout, this, &MainWindow::restoreLabels);
    labelTimer_.setSingleShot(true);
    connect(&latencyTimer_, &QTimer::timeout, this, [this] {
        // Without a sound device there is no latency to tell: the line says why instead of 0.
        latencyValue_->setText(noSoundDevice_
                                   ? QStringLiteral("no sound device")
                                   : QString::number(std::lround(state_.smoothedLatency.load())));
    });
    latencyTimer_.start(250);
    connect(&dragTimer_, &QTimer::timeout, this, &MainWindow::followDrag);
    connect(&quitTimer_, &QTimer::timeout, this, [this] {
        if (instrument_->running()) return;
        quitTimer_.stop();
        instrument_->engine().stopAndWait();
        finished_ = true;
        done(0);
    });
    QTimer::singleShot(10, this, &MainWindow::layoutTimer);
    online_ = new OnlineServices(settings_, this);
    if (!s.programHasRunPreviously) {
        s.programHasRunPreviously = true;
        QTimer::singleShot(10, this, &MainWindow::welcome);
    } else if (s.checkVersionOnStartup) {
        online_->checkVersion(true);
    }
    if (MouseSamplerThread* sampling = instrument.samplerThread()) {
        // The status texts follow the sampler on its own thread; only changed texts travel to
        // this window, queued, so the status thread never waits on it.
        // The instrument, not the pointer that owns it: the thread runs until the instrument's
        // destruction has stopped it.
        sampling->afterPause = [this, in = instrument_.get(),
                                ticker = StatusTextTicker()]() mutable {
            statusArea_->statusPass(in->samplerThread()->stopping());
            const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
            if (!ticker.pass(in->sampler().state().statusDistance,
                             in->mouse().metrics.totalDistance.load(std::memory_order_relaxed),
                             now))
                return;
            QMetaObject::invokeMethod(
                this,
                [this, text = ticker.speedLine() + QLatin1Char('\n') + ticker.distanceLine()] {
                    statusText_ = text;
                    statusArea_->setTexts(text);
                },
                Qt::QueuedConnection);
        };
        sampling->start();
    }
    if (!instrument.hookInstalled()) instrument.installHook();
    if (instrument.pointer()) QTimer::singleShot(0, this, &MainWindow::mouseNotice);
}

MainWindow::~MainWindow() {
    if (!instrument_) return;
    stopTape();
    finishReplay();
    instrument_->engine().stopAndWait();
    moduleWindows_.reset(); // windows before their modules
    instrument_.reset();
}

void MainWindow::buildControls() {
    auto addButton = [this](int id, QWidget* parent) {
        auto* b = new OwnerButton(QString(), parent);
        b->setAutoDefault(false);
        b->setMinimumHeight(units_.y(14));
        buttons_.emplace_back(id, b);
        connect(b, &QPushButton::clicked, this, [this, id] { command(id); });
        return b;
    };
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(units_.x(8), units_.y(4), units_.x(8), units_.y(6));
    outer->setSpacing(units_.y(3));

    // Own caption: title and the minimise, maximise and close buttons.
    auto* caption = new QHBoxLayout;
    title_ = new QLabel(QStringLiteral("Kalvitrope v1.1"), this);
    caption->addWidget(title_, 1);
    tapeIndicator_ = new QLabel(QStringLiteral("\u25CF Recording gesture tape"), this);
    tapeIndicator_->setStyleSheet(QStringLiteral("color: #d01010; font-weight: bold"));
    tapeIndicator_->hide();
    caption->addWidget(tapeIndicator_);
    for (auto [id, text] : {std::pair{kCmdMinimise, "--"}, std::pair{kCmdMaximiseButton, "|_|"},
                            std::pair{kCmdClose, "X"}}) {
        QPushButton* b = addButton(id, this);
        b->setText(QString::fromLatin1(text));
        b->setFixedWidth(units_.x(22));
    }
    for (int i = 0; i < 3; ++i)
        caption->addWidget(buttons_[i].second);
    outer->addLayout(caption);

    auto* grid = new QGridLayout;
    grid->setSpacing(units_.x(3));
    const int rows[3][4] = {{kCmdStart, kCmdStop, kCmdStartAndHide, kCmdHelpButton},
                            {kCmdAddModule, kCmdPresets, kCmdLoad, kCmdSave},
                            {kCmdOptions, kCmdAbout, 0, 0}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            if (rows[r][c]) grid->addWidget(addButton(rows[r][c], this), r, c);
    outer->addLayout(grid);
    button(kCmdStop)->setEnabled(false);
    button(kCmdStartAndHide)->hide();
    button(kCmdStart)->setDefault(true);

    // Latency and control-rate sliders.
    const Settings& s = settings_.values();
    latencyLabel_ = new QLabel(this);
    outer->addWidget(latencyLabel_);
    outputLatency_ = new QSlider(Qt::Horizontal, this);
    outputLatency_->setRange(0, 512);
    outputLatency_->setValue(static_cast<int>(std::clamp<long>(s.desiredOutputLatency, 0, 512)));
    inputLatency_ = new QSlider(Qt::Horizontal, this);
    inputLatency_->setRange(2, 512);
    inputLatency_->setValue(static_cast<int>(std::clamp<long>(s.desiredInputLatency, 2, 512)));
    outer->addWidget(outputLatency_);
    outer->addWidget(inputLatency_);
    auto* latencyRow = new QHBoxLayout;
    latencyTitle_ = new QLabel(this);
    latencyValue_ = new QLabel(QStringLiteral("0"), this);
    latencyRow->addWidget(latencyTitle_, 1);
    latencyRow->addWidget(latencyValue_);
    outer->addLayout(latencyRow);
    controlRateLabel_ = new QLabel(this);
    outer->addWidget(controlRateLabel_);
    controlRate_ = new QSlider(Qt::Horizontal, this);
    double configured = s.controlDataSampleRate;
    if (configured != 0) configured = 48000 / static_cast<long>(48000 / configured);
    const int index = buildControlRates(controlRates_, configured);
    controlRate_->setRange(0, static_cast<int>(controlRates_.size()) - 1);
    controlRate_->setValue(index >= 0 ? index : 0);
    state_.settings.controlRate.store(controlRates_[std::size_t(controlRate_->value())]);
    outer->addWidget(controlRate_);

    connect(outputLatency_, &QSlider::valueChanged, this, [this](int ms) {
        state_.settings.desiredOutputLatency.store(ms, std::memory_order_relaxed);
        settings_.values().desiredOutputLatency = ms;
        noteSliderChange(latencyLabel_, languageText(508) + " " +
                                            fromStd(formatPattern(languageString(94), {long(ms)})));
    });
    connect(inputLatency_, &QSlider::valueChanged, this, [this](int ms) {
        state_.settings.desiredInputLatency.store(ms, std::memory_order_relaxed);
        settings_.values().desiredInputLatency = ms;
        noteSliderChange(latencyLabel_, languageText(507) + " " +
                                            fromStd(formatPattern(languageString(94), {long(ms)})));
    });
    connect(controlRate_, &QSlider::valueChanged, this, [this](int i) {
        const double rate = controlRates_[std::size_t(i)];
        state_.settings.controlRate.store(rate, std::memory_order_relaxed);
        settings_.values().controlDataSampleRate = rate;
        noteSliderChange(controlRateLabel_, fromStd(formatPattern(languageString(37), {rate})));
    });

    showStatus_ = new QCheckBox(this);
    showStatus_->setChecked(s.showMouseStatus);
    connect(showStatus_, &QCheckBox::toggled, this, [this](bool on) {
        settings_.values().showMouseStatus = on;
        applyStatusOptions();
        settings_.save(state_, this);
    });
    outer->addWidget(showStatus_);
    statusArea_ = new StatusDisplay(instrument_->mouse(), this);
    // Tall enough that the 3D indicator, whose scene is about as wide as high, shows at a size one
    // can read rather than as a small wheel in a flat strip.
    statusArea_->setMinimumHeight(units_.y(120));
    statusArea_->setColours(indicatorColours(s), colourWord(s.colour(UiColour::DialogText)));
    applyStatusOptions();
    outer->addWidget(statusArea_, 1);
    // The invisible strip whose centre is where new module windows go.
    strip_ = new QWidget(this);
    strip_->setFixedHeight(1);
    outer->addWidget(strip_);
    messages_ = new QListWidget(this);
    messages_->setMaximumHeight(units_.y(24));
    outer->addWidget(messages_);

    resize(units_.x(240), units_.y(250));
}

void MainWindow::applyLabels() {
    const std::pair<int, QString> labels[] = {
        {kCmdStart, libraryText(38)},      {kCmdStop, libraryText(39)},
        {kCmdAddModule, languageText(9)},  {kCmdOptions, languageText(52)},
        {kCmdAbout, libraryText(41)},      {kCmdLoad, libraryText(35)},
        {kCmdSave, libraryText(36)},       {kCmdPresets, languageText(152)},
        {kCmdHelpButton, libraryText(40)},
    };
    for (const auto& [id, text] : labels)
        if (QPushButton* b = button(id)) b->setText(text);
    button(kCmdStartAndHide)
        ->setText(languageText(instrument_->engine().running() ? 4 : 5).replace("&&", "&&"));
    latencyTitle_->setText(languageText(92));
    showStatus_->setText(languageText(109));
    statusArea_->setTexts(statusText_.isEmpty() ? languageText(40) : statusText_);
    restoreLabels();
}

void MainWindow::restoreLabels() {
    latencyLabel_->setText(languageText(93));
    controlRateLabel_->setText(languageText(410));
}

void MainWindow::noteSliderChange(QLabel* label, const QString& text) {
    label->setText(text);
    labelTimer_.start(1000);
}

QString MainWindow::noSoundDeviceText() {
    return QStringLiteral("No sound output device was found: nothing will be heard. Check that "
                          "the sound system (PipeWire, PulseAudio, JACK or ALSA) is running, then "
                          "start Kalvitrope again.");
}

void MainWindow::addMessage(const QString& text) {
    messages_->addItem(text);
}

QPushButton* MainWindow::button(int id) const {
    for (const auto& [key, b] : buttons_)
        if (key == id) return b;
    return nullptr;
}

void MainWindow::layoutTimer() {
    markReady();
    const Settings& s = settings_.values();
    if (s.windowTop != s.windowBottom) {
        const QRect saved(QPoint(int(s.windowLeft), int(s.windowTop)),
                          QPoint(int(s.windowRight) - 1, int(s.windowBottom) - 1));
        std::vector<QRect> screens;
        for (QScreen* screen : QGuiApplication::screens())
            screens.push_back(screen->geometry());
        QScreen* primary = QGuiApplication::primaryScreen();
        const QRect area = primary ? primary->availableGeometry() : QRect(0, 0, 1024, 768);
        const QRect placed = restoredPlacement(saved, screens, area, size());
        setGeometry(QRect(placed.topLeft(), placed.size().expandedTo(minimumSize())));
    }
    const std::string autosave = autosaveFile();
    if (shouldLoadAutosaveAtStart(autosave, s.loadLastAutoSaveOnStartup)) {
        QString error;
        if (!loadPatchFile(fromStd(autosave), error)) addMessage(error);
    }
    if (s.windowState & 1) showMaximized();
    statusArea_->setCompassSide(frameGeometry().width() / 6);
    windowReady_.store(kWindowReady, std::memory_order_relaxed);
    if (s.minimiseOnStartup) QTimer::singleShot(1, this, &MainWindow::minimiseWindow);
}

void MainWindow::applyStatusOptions() {
    const Settings& s = settings_.values();
    StatusDisplayOptions& o = statusArea_->options();
    o.show.store(s.showMouseStatus);
    o.use3D.store(s.use3DMouseStatus);
    o.fast.store(s.doFastMouseStatus);
    o.swapBuffers.store(s.openGLUseSwapBuffers);
    // The sampler pauses a little less while the indicators follow it.
    instrument_->mouse().settings.showMouseStatus.store(s.showMouseStatus);
    statusArea_->applyOptions();
}

void MainWindow::welcome() {
    // The first run offers example patches until the user gets on with it.
    showStatus_->setChecked(false);
    std::size_t mouse = 0, modulation = 0, midi = 0;
    for (;;) {
        const QString key = buttonBox(this, languageText(249),
                                      QStringLiteral("Mouse|Modulation|MIDI|Tutorial|Okay"),
                                      QStringLiteral("Okay"), languageText(250), languageText(248));
        auto play = [this](std::span<const int> resources, std::size_t& next) {
            if (!instrument_->engine().running()) startEngine();
            loadPresetResource(resources[next++ % resources.size()]);
        };
        if (key == QStringLiteral("Mouse"))
            play(kDemoMouse, mouse);
        else if (key == QStringLiteral("Modulation"))
            play(kDemoModulation, modulation);
        else if (key == QStringLiteral("MIDI"))
            play(kDemoMidi, midi);
        else if (key == QStringLiteral("Tutorial"))
            QDesktopServices::openUrl(QUrl(kTutorialsUrl));
        else
            break;
    }
    showStatus_->setChecked(true);
    if (settings_.values().checkVersionOnStartup) online_->checkVersion(true);
}

std::string MainWindow::autosaveFile() const {
    return autosavePath(settings_.values().autoSavePath, settings_.path());
}

void MainWindow::setEngineButtons(bool running) {
    QPushButton* going = button(running ? kCmdStart : kCmdStop);
    QPushButton* coming = button(running ? kCmdStop : kCmdStart);
    coming->setEnabled(true);
    // A focused button that is disabled would pass the focus (and with it the highlight) down the
    // tab chain; the highlight stays with the pointer instead: on the other button when the
    // pointer is over it, else on no button.
    if (focusWidget() == going) {
        if (coming->underMouse())
            coming->setFocus(Qt::OtherFocusReason);
        else
            setFocus(Qt::OtherFocusReason);
    }
    going->setEnabled(false);
    button(kCmdStartAndHide)->setText(languageText(running ? 4 : 5));
}

void MainWindow::startEngine() {
    state_.settings.realtimePriority.store(settings_.values().realtimePriorityForMainThread);
    instrument_->start();
    setEngineButtons(true);
}

void MainWindow::stopEngine() {
    stopTape(); // a take is one run of the engine
    finishReplay();
    instrument_->engine().stop();
    setEngineButtons(false);
}

void MainWindow::startAndHide() {
    if (!button(kCmdStop)->isEnabled()) startEngine();
    hide();
}

void MainWindow::escape() {
    Settings& s = settings_.values();
    if (!s.userHasEscapedPreviously) {
        s.userHasEscapedPreviously = true;
        s.minimiseOnEsc = askYesNo(this, languageText(323), languageText(324));
    }
    if (s.minimiseOnEsc)
        minimiseWindow();
    else
        stopEngine();
}

void MainWindow::reject() {
    escape(); // Esc never closes the window
}

void MainWindow::showHelp() {
    if (helpOpen_) return;
    helpOpen_ = true;
    runHelpBox(this);
    helpOpen_ = false;
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        showHelp();
        return;
    }
    Dialog::keyPressEvent(event);
}

} // namespace kv::ui
