#include "ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <span>

#include "cli/script.h"
#include "cli/session.h"
#include "cli/wav_reader.h"
#include "devices/device_input_stage.h"
#include "devices/device_output_stage.h"
#include "devices/gesture_tape.h"
#include "devices/midi_input_manager.h"
#include "devices/output_device_manager.h"
#include "devices/tape_audio.h"
#include "devices/wav_writer.h"
#include "devices/wave_input_manager.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "modules/catalogue.h"
#include "modules/module_registry.h"
#include "mouse/mouse_hook.h"
#include "mouse/mouse_input.h"
#include "persistence/config_file.h"
#include "persistence/language.h"
#include "persistence/paths.h"
#include "persistence/presets.h"
#include "persistence/text.h"
#include "platform/audio_in_rtaudio.h"
#include "platform/audio_in_scripted.h"
#include "platform/audio_out_rtaudio.h"
#include "platform/library_messages.h"
#include "platform/midi_in_rtmidi.h"
#include "platform/midi_in_scripted.h"
#include "platform/mouse_backend.h"
#include "platform/thread_priority.h"
#include "platform/work_area.h"
#include "ui/button_box.h"
#include "ui/module_window/module_colours.h"
#include "ui/module_window/module_window.h"
#include "ui/mouse_access.h"
#include "ui/online.h"
#include "ui/origin_window.h"
#include "ui/preferences_about.h"
#include "ui/preferences_dialog.h"
#include "ui/program_icon.h"
#include "ui/status_display.h"
#include "ui/status_text.h"

namespace kv::ui {

namespace {

// Pages of the product's web site.
constexpr const char* kHelpCentreUrl = "https://kalvitrope.org/help/";
constexpr const char* kForumUrl = "https://kalvitrope.org/forum/";
constexpr const char* kTutorialsUrl = "https://kalvitrope.org/tutorials/";
constexpr const char* kSharingUrl = "https://kalvitrope.org/configurations/";

/// A "Text (*.x)|*.x|All (*.*)|*.*||" filter as a file-dialog filter.
QString fileFilter(const QString& pipes) {
    const QStringList parts = pipes.split('|', Qt::SkipEmptyParts);
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ');
        QString name = parts[i];
        const int paren = name.indexOf('(');
        if (paren > 0) name = name.left(paren).trimmed();
        filters << name + " (" + patterns + ")";
    }
    return filters.join(QStringLiteral(";;"));
}

QString fromStd(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

// ---- Pure helpers -------------------------------------------------------------------------

HitArea hitTest(int x, int y, int w, int h, bool maximised) {
    if (maximised) return HitArea::Body;
    auto near = [&](int cx, int cy) { return std::hypot(double(x - cx), double(y - cy)) < 27.0; };
    if (near(0, 0)) return HitArea::TopLeft;
    if (near(w, 0)) return HitArea::TopRight;
    if (near(0, h)) return HitArea::BottomLeft;
    if (near(w, h)) return HitArea::BottomRight;
    if (y >= 1 && y <= 7) return HitArea::Top;
    if (x >= 1 && x <= 7) return HitArea::Left;
    if (y > h - 8 && y < h) return HitArea::Bottom;
    if (x > w - 8 && x < w) return HitArea::Right;
    return HitArea::Body;
}

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

// ---- Construction -------------------------------------------------------------------------

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

    // The running system: sound output, the desktop's mouse, the engine and the module lists.
    const std::string api = options_.audioApi.empty() ? s.audioApi : options_.audioApi;
    audio_ = platform::makeAudioOut(api);
    outputs_ = std::make_unique<OutputDeviceManager>(*audio_);
    outputs_->setFeederStart([] { platform::raiseCurrentThreadPriority(true, nullptr); });
    stage_ = std::make_unique<DeviceOutputStage>(*outputs_);
    writers_ = std::make_unique<WaveWriterList>();
    outputs_->setTap([this](const uint8_t* bytes, std::size_t length, int device) {
        writers_->writeBlock(bytes, length, device);
    });
    // MIDI keyboards and sound-card inputs of the same sound system (none with the silent one).
    if (api == "null") {
        midiIn_ = std::make_unique<platform::ScriptedMidiIn>();
        audioIn_ = std::make_unique<platform::ScriptedAudioIn>();
    } else {
        {
            const platform::QuietStderr quiet; // RtMidi warns there when no JACK server runs
            midiIn_ = std::make_unique<platform::RtMidiInput>(api);
        }
        audioIn_ = std::make_unique<platform::RtAudioIn>(api);
    }
    midiInputs_ = std::make_unique<MidiInputManager>(*midiIn_);
    waveInputs_ = std::make_unique<WaveInputManager>(*audioIn_);
    waveInputs_->setFeederStart([] { platform::raiseCurrentThreadPriority(true, nullptr); });
    // Another program holds an input device: told in a box on the window's thread. The device
    // service does not wait for it, so closing the window never waits on an unread box.
    waveInputs_->setMessageSink([this](const std::string& text) {
        QMetaObject::invokeMethod(
            this, [this, text] { informBox(this, fromStd(text), QStringLiteral("Error")); },
            Qt::QueuedConnection);
    });
    inputStage_ = std::make_unique<DeviceInputStage>(midiInputs_.get(), waveInputs_.get());
    mouse_ = std::make_unique<MouseInput>();
    mouse_->settings.wrapAtScreenEdges.store(
        options_.wrapMouseGiven ? options_.wrapMouse : s.wrapMouseCursorAtScreenEdges);
    mouse_->settings.showMouseStatus.store(s.showMouseStatus);
    mouse_->settings.originX.store(s.mouseOriginX);
    mouse_->settings.originY.store(s.mouseOriginY);
    sampler_ = std::make_unique<MouseSampler>(*mouse_);
    std::string noMouse;
    if (options_.desktopMouse) {
        pointer_ = platform::makeMouseBackend(noMouse, s.mouseBackend);
        sampling_ = std::make_unique<MouseSamplerThread>(*sampler_, *pointer_);
    }
    engine_ = std::make_unique<Engine>(state_, stage_.get(), mouse_.get(), inputStage_.get());
    tapeWriter_ = std::make_unique<GestureTapeWriter>();
    tapeRecorder_ = std::make_unique<GestureTapeRecorder>(*mouse_, midiInputs_.get(), *tapeWriter_);
    tapePlayer_ = std::make_unique<GestureTapePlayer>(*mouse_, *sampler_, midiInputs_.get());
    tapeAudioWriter_ = std::make_unique<TapeAudioWriter>();
    tapeAudioRecorder_ =
        std::make_unique<TapeAudioRecorder>(*engine_, *tapeWriter_, *tapeAudioWriter_);
    tapeEdits_ = std::make_unique<ModuleEdits>();
    tapeRecorder_->setEdits(tapeEdits_.get());
    replayTimer_.setInterval(50);
    connect(&replayTimer_, &QTimer::timeout, this, [this] {
        if (tapePlayer_->finished()) finishReplay();
    });
    // The hook is installed once; each start only clears its button state. Installing it again
    // would replace the X server connection of a hook thread that may be delivering events.
    engine_->onStart = [this] {
        if (hookInstalled_)
            mouse_->hook.clearButtons();
        else
            installHook();
    };
    engine_->onTickerThreadStart = [] { platform::raiseCurrentThreadPriority(true, nullptr); };
    engine_->onEngineThreadStart = [](bool realtime) {
        platform::raiseCurrentThreadPriority(realtime, nullptr);
    };
    registry_ = std::make_unique<ModuleRegistry>(engine_.get());
    setModuleColours(s); // before any module window is built
    moduleWindows_ = std::make_unique<ModuleWindows>(*registry_, this);
    moduleWindows_->setEdgeLock(&settings_.values().lockWindowToScreenEdges);
    moduleWindows_->setDeviceManagers(outputs_.get(), waveInputs_.get(), midiInputs_.get());
    moduleWindows_->setEngineState(&state_);
    moduleWindows_->setWaveWriters(writers_.get());
    moduleWindows_->setEdits(tapeEdits_.get());
    // A tape playing live holds the live values of its patch's modules; a take's tape cannot
    // say that a module went.
    moduleWindows_->setBeforeDelete([this] {
        finishReplay();
        if (tapeRecording()) tapeEdits_->notTaped();
    });

    buildControls();
    applyLabels();
    if (!noMouse.empty()) addMessage(fromStd(noMouse));
    noSoundDevice_ = audio_->deviceCount() == 0;
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
        if (engine_->running()) return;
        quitTimer_.stop();
        engine_->stopAndWait();
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
    if (sampling_) {
        // The status texts follow the sampler on its own thread; only changed texts travel to
        // this window, queued, so the status thread never waits on it.
        sampling_->afterPause = [this, ticker = StatusTextTicker()]() mutable {
            statusArea_->statusPass(sampling_->stopping());
            const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
            if (!ticker.pass(sampler_->state().statusDistance,
                             mouse_->metrics.totalDistance.load(std::memory_order_relaxed), now))
                return;
            QMetaObject::invokeMethod(
                this,
                [this, text = ticker.speedLine() + QLatin1Char('\n') + ticker.distanceLine()] {
                    statusText_ = text;
                    statusArea_->setTexts(text);
                },
                Qt::QueuedConnection);
        };
        sampling_->start();
    }
    if (!hookInstalled_) installHook();
    if (pointer_) QTimer::singleShot(0, this, &MainWindow::mouseNotice);
}

void MainWindow::mouseNotice() {
    mouseHearing_ = currentMouseHearing(settings_.values().mouseBackend, pointer_.get());
    if (showMouseNotice(this, mouseHearing_)) onMiceAllowed();
}

void MainWindow::onMiceAllowed() {
    if (!pointer_) return;
    if (mouseAccessGranted(*pointer_)) {
        mouseHearing_ = currentMouseHearing(settings_.values().mouseBackend, pointer_.get());
        return;
    }
    // The sampler's thread holds the backend: it stops before the backend is replaced.
    auto afterPause = sampling_->afterPause;
    sampling_->stop();
    pointer_->removeHook();
    hookInstalled_ = false;
    std::string noMouse;
    pointer_ = platform::makeMouseBackend(noMouse, settings_.values().mouseBackend);
    if (!noMouse.empty()) addMessage(fromStd(noMouse));
    sampling_ = std::make_unique<MouseSamplerThread>(*sampler_, *pointer_);
    sampling_->afterPause = std::move(afterPause);
    installHook();
    sampling_->start();
    mouseHearing_ = currentMouseHearing(settings_.values().mouseBackend, pointer_.get());
}

void MainWindow::openOriginWindow(OriginMode mode) {
    OriginWindowContext c;
    if (sampling_) {
        const auto d = mouse_->desktop();
        c.desktop = {d.left, d.top, d.right, d.bottom};
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect g = screen->virtualGeometry();
        c.desktop = {g.left(), g.top(), g.right(), g.bottom()};
    }
    c.originX = settings_.values().mouseOriginX;
    c.originY = settings_.values().mouseOriginY;
    c.cursor = [](long& x, long& y) {
        const QPoint p = QCursor::pos();
        x = p.x();
        y = p.y();
        return true;
    };
    c.setOrigin = [this](long x, long y) {
        settings_.values().mouseOriginX = x;
        settings_.values().mouseOriginY = y;
        mouse_->settings.originX.store(x);
        mouse_->settings.originY.store(y);
    };
    c.hook = hookInstalled_ ? &mouse_->hook : nullptr;
    // One cross at a time: a new command replaces a window still open.
    if (originWindow_) originWindow_->close();
    originWindow_ = OriginWindow::open(mode, std::move(c));
}

void MainWindow::installHook() {
    if (!pointer_) return;
    std::string message;
    hookInstalled_ = installMouseHook(mouse_->hook, *pointer_, message);
    if (!hookInstalled_) addMessage(fromStd(message));
}

MainWindow::~MainWindow() {
    if (tapeWriter_) stopTape();
    if (tapePlayer_) finishReplay();
    if (engine_) engine_->stopAndWait();
    if (sampling_) sampling_->stop();
    if (pointer_) pointer_->removeHook();
    if (outputs_) outputs_->setTap(nullptr);
    if (writers_) writers_->stopAll();
    moduleWindows_.reset(); // windows before their modules
    registry_.reset();      // modules go before the engine that may hold a view of them
    if (outputs_) outputs_->closeAll();
    engine_.reset();
    // The input managers close their devices as they go, before the backends.
    inputStage_.reset();
    waveInputs_.reset();
    midiInputs_.reset();
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
    statusArea_ = new StatusDisplay(*mouse_, this);
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
    button(kCmdStartAndHide)->setText(languageText(engine_->running() ? 4 : 5).replace("&&", "&&"));
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
    mouse_->settings.showMouseStatus.store(s.showMouseStatus);
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
            if (!engine_->running()) startEngine();
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

// ---- Commands -----------------------------------------------------------------------------

void MainWindow::command(int id) {
    switch (id) {
    case kCmdStart:
        startEngine();
        break;
    case kCmdStop:
        stopEngine();
        break;
    case kCmdRecordTape: {
        QString error;
        if (!startTape(error))
            informBox(this,
                      QStringLiteral("The gesture tape could not be started.\r\n\r\n") + error,
                      QStringLiteral("Gesture tape"));
        break;
    }
    case kCmdStopTape:
        stopTape();
        break;
    case kCmdReplayTape: {
        const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Replay gesture tape"), fromStd(tapeFolder()),
            QStringLiteral("Gesture tapes (*%1);;All files (*)")
                .arg(fromStd(std::string(kTapeExtension))));
        if (path.isEmpty()) break;
        QString error;
        if (!replayTape(path.toStdString(), error))
            informBox(this, error, QStringLiteral("Replay gesture tape"));
        break;
    }
    case kCmdStartAndHide:
        startAndHide();
        break;
    case kCmdHelpButton:
    case kCmdHelp:
        showHelp();
        break;
    case kCmdMinimise:
        minimiseWindow();
        break;
    case kCmdMaximiseButton:
    case kCmdMaximiseRestore:
        maximiseOrRestore();
        break;
    case kCmdClose:
        closeWindow(false);
        break;
    case kCmdExit:
        closeWindow(true);
        break;
    case kCmdClear:
        clearAllModules();
        break;
    case kCmdShareOnline:
        QDesktopServices::openUrl(QUrl(kSharingUrl));
        break;
    case kCmdLoad: {
        const QString path = QFileDialog::getOpenFileName(
            this, libraryText(35), fromStd(expandPath(settings_.values().kvcFolderPath)),
            fileFilter(languageText(155)));
        if (path.isEmpty()) break;
        QString error;
        if (!loadPatchFile(path, error)) informBox(this, error, languageText(150));
        break;
    }
    case kCmdSave: {
        QString path = QFileDialog::getSaveFileName(this, libraryText(36),
                                                    fromStd(expandPath(settings_.values().kvcPath)),
                                                    fileFilter(languageText(155)));
        if (path.isEmpty()) break;
        if (!path.contains('.')) path += QStringLiteral(".kvc");
        QString error;
        if (!savePatchFile(path, error)) informBox(this, error, languageText(157));
        break;
    }
    case kCmdAddModule: {
        if (menuOpen_) break;
        placeAtPoint_ = false;
        QPushButton* b = button(kCmdAddModule);
        std::unique_ptr<QMenu> menu(createAddModuleMenu());
        menuOpen_ = true;
        menu->exec(b->mapToGlobal(QPoint(int(b->width() / 7.5), b->height())));
        menuOpen_ = false;
        break;
    }
    case kCmdPresets: {
        if (menuOpen_) break;
        QPushButton* b = button(kCmdPresets);
        std::unique_ptr<QMenu> menu(createPresetsMenu());
        menuOpen_ = true;
        menu->exec(b->mapToGlobal(QPoint(10, b->height())));
        menuOpen_ = false;
        break;
    }
    case kCmdFastMouseStatus:
        settings_.values().doFastMouseStatus = !settings_.values().doFastMouseStatus;
        applyStatusOptions();
        break;
    case kCmdSwapBuffers:
        settings_.values().openGLUseSwapBuffers = !settings_.values().openGLUseSwapBuffers;
        applyStatusOptions();
        break;
    case kCmdIndicatorStyle:
        settings_.values().use3DMouseStatus = !settings_.values().use3DMouseStatus;
        applyStatusOptions();
        settings_.save(state_, this);
        break;
    case kCmdResetOrigin:
        settings_.values().mouseOriginX = settings_.values().mouseOriginY = 0;
        mouse_->settings.originX.store(0);
        mouse_->settings.originY.store(0);
        openOriginWindow(OriginMode::Reset);
        break;
    case kCmdChooseOrigin:
        openOriginWindow(OriginMode::Choose);
        break;
    case kCmdShowOrigin:
        openOriginWindow(OriginMode::Show);
        break;
    case kCmdOptions:
    case kCmdPreferences: {
        PreferencesDialog dialog(this, settings_, [this](bool redraw) {
            mouse_->settings.wrapAtScreenEdges.store(
                settings_.values().wrapMouseCursorAtScreenEdges);
            settingsChanged(redraw);
        });
        runDialog(dialog);
        break;
    }
    case kCmdAbout: {
        AboutBox about(this, online_);
        runDialog(about);
        break;
    }
    default:
        break;
    }
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
    engine_->start();
    setEngineButtons(true);
}

void MainWindow::stopEngine() {
    stopTape(); // a take is one run of the engine
    finishReplay();
    engine_->stop();
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

bool MainWindow::trayAvailable() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::showTray(bool show) {
    if (show) {
        if (!trayAvailable()) return;
        if (!tray_) {
            tray_ = new QSystemTrayIcon(programIcon(), this);
            tray_->setToolTip(tapeRecording() ? QStringLiteral("Kalvitrope: recording gesture tape")
                                              : QStringLiteral("Kalvitrope"));
            connect(tray_, &QSystemTrayIcon::activated, this,
                    [this](QSystemTrayIcon::ActivationReason reason) {
                        if (reason == QSystemTrayIcon::Context) {
                            std::unique_ptr<QMenu> menu(createProgramMenu(false));
                            menu->exec(QCursor::pos());
                            return;
                        }
                        if (reason != QSystemTrayIcon::Trigger &&
                            reason != QSystemTrayIcon::DoubleClick)
                            return;
                        if (menuOpen_ || helpOpen_) return;
                        if (minimised_ || isHidden()) restoreWindow();
                    });
        }
        tray_->show();
    } else if (tray_) {
        tray_->hide();
    }
}

QSystemTrayIcon* MainWindow::trayIcon() const {
    return trayShown() ? tray_ : nullptr;
}

bool MainWindow::trayShown() const {
    return tray_ && tray_->isVisible();
}

void MainWindow::minimiseWindow() {
    Settings& s = settings_.values();
    savedRect_ = geometry();
    // Without a tray there is nowhere to hide to: the question is kept for a desktop with one,
    // and the window only minimises, so it can always be brought back.
    if (!s.userHasMinimisedPreviously && trayAvailable()) {
        s.userHasMinimisedPreviously = true;
        if (askYesNo(this, languageText(317), languageText(318))) {
            s.systemTrayIconEnabled = true;
            s.hideWindowWhenMinimised = true;
            s.systemTrayOnlyWhenMinimised = true;
        }
    }
    minimised_ = true;
    statusArea_->options().minimised.store(true);
    if (s.systemTrayIconEnabled && trayAvailable()) {
        wasMaximised_ = isMaximized();
        showTray(true);
        if (s.hideWindowWhenMinimised) {
            QTimer::singleShot(10, this, [this] {
                if (minimised_) hide();
            });
        }
    }
    showMinimized();
}

void MainWindow::restoreWindow() {
    const Settings& s = settings_.values();
    startFit(minimised_);
    minimised_ = false;
    statusArea_->options().minimised.store(false);
    if (trayShown() && (!s.systemTrayIconEnabled || s.systemTrayOnlyWhenMinimised)) showTray(false);
    if (wasMaximised_)
        showMaximized();
    else
        showNormal();
    raise();
    activateWindow();
}

void MainWindow::settingsChanged(bool redraw) {
    const Settings& s = settings_.values();
    Theme::setCurrent(Theme::fromSettings(s));
    applyDialogColours(this, Theme::current());
    setModuleColours(s);
    statusArea_->setColours(indicatorColours(s), colourWord(s.colour(UiColour::DialogText)));
    for (ModuleWindow* window : moduleWindows_->windows())
        window->applyColours();
    if (trayShown() && (!s.systemTrayIconEnabled || s.systemTrayOnlyWhenMinimised)) showTray(false);
    if (s.systemTrayIconEnabled && (!s.systemTrayOnlyWhenMinimised || minimised_)) {
        showTray(true);
        if (!s.hideWindowWhenMinimised && minimised_) showNormal();
    } else if (!isMaximized()) {
        showNormal();
    }
    applyLabels();
    if (redraw) update();
}

void MainWindow::maximiseOrRestore() {
    if (isMaximized() || minimised_) {
        restoreWindow();
    } else {
        startFit(false);
        showMaximized();
    }
    applyShape();
}

void MainWindow::startFit(bool fromMinimised) {
    const QPoint before = pos();
    QTimer::singleShot(1, this, [this, before, fromMinimised] { fit(before, fromMinimised); });
}

void MainWindow::fit(QPoint before, bool fromMinimised) {
    if (isMaximized()) {
        // The client area covers the work area exactly.
        QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        platform::ScreenArea work;
        if (platform::readWorkArea(work)) area = QRect(work.x, work.y, work.width, work.height);
        setGeometry(area);
    }
    // The module windows keep their place relative to the window, unless it comes back from the
    // tray or the task bar (where it had not moved them).
    if (!fromMinimised && pos() != before) moduleWindows_->placeAll();
    applyShape();
    update();
}

void MainWindow::closeWindow(bool exit) {
    if (closing_) return;
    Settings& s = settings_.values();
    if (!s.programHasClosedPreviously && !exit) {
        s.programHasClosedPreviously = true;
        s.minimiseOnClose = !askYesNo(this, languageText(321), languageText(322));
    }
    if (s.minimiseOnClose && !exit) {
        minimiseWindow();
        return;
    }
    closing_ = true;
    exitRequested_ = exit;
    stopTape();
    finishReplay();
    engine_->stop();
    setEngineButtons(false);
    if (minimised_) restoreWindow();

    // The autosave is written to a temporary file and renamed, so a crash never loses it.
    const std::string autosave = autosaveFile();
    if (!autosave.empty()) {
        const SaveResult saved = writeConfiguration(*registry_, autosave);
        if (!saved) // the previous autosave is still whole; say why this one is not there
            informBox(this,
                      languageText(156) + "\r\n\r\n" + fromStd(autosave) + ": " +
                          fromStd(saved.reason),
                      languageText(157));
    }
    s.windowState = isMaximized() ? 1 : 0;
    const QRect r = isMaximized() ? normalGeometry() : geometry();
    s.windowLeft = r.left();
    s.windowTop = r.top();
    s.windowRight = r.left() + r.width();
    s.windowBottom = r.top() + r.height();
    settings_.save(state_, this);
    showTray(false);
    quitTimer_.start(10);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (finished_) {
        event->accept();
        return;
    }
    event->ignore();
    closeWindow(false);
}

void MainWindow::showHelp() {
    if (helpOpen_) return;
    helpOpen_ = true;
    runHelpBox(this);
    helpOpen_ = false;
}

// ---- Gesture tapes ------------------------------------------------------------------------

bool MainWindow::tapeRecording() const {
    return tapeWriter_ && tapeWriter_->recording();
}

std::string MainWindow::tapeFile() const {
    return tapeWriter_ ? tapeWriter_->path() : std::string();
}

std::string MainWindow::tapeFolder() const {
    const std::string own = settings_.values().gestureTapePath;
    if (!own.empty()) return expandPath(own);
    const std::string autosave = autosaveFile();
    const std::filesystem::path folder = std::filesystem::path(autosave).parent_path();
    return folder.empty() ? std::string(".") : folder.string();
}

bool MainWindow::startTape(QString& error) {
    if (tapeRecording()) return true;
    namespace fs = std::filesystem;
    const std::string folder = tapeFolder();
    std::error_code ec;
    fs::create_directories(folder, ec);
    const std::string base =
        (fs::path(folder) / ("Gesture tape " + QDateTime::currentDateTime()
                                                   .toString(QStringLiteral("yyyy-MM-dd hh-mm-ss"))
                                                   .toStdString()))
            .string();
    const std::string patch = base + ".kvc", tape = base + std::string(kTapeExtension);
    const SaveResult saved = writeConfiguration(*registry_, patch);
    std::string text, reason;
    if (!saved || !readConfigurationFile(patch, text, reason)) {
        error = fromStd(patch) + ": " + fromStd(saved ? reason : saved.reason);
        return false;
    }
    TapeHeader header;
    header.patchFile = fs::path(patch).filename().string();
    header.checksum = patchChecksum(text);
    const MouseRows::Rect desktop = mouse_->desktop();
    header.left = desktop.left;
    header.top = desktop.top;
    header.right = desktop.right;
    header.bottom = desktop.bottom;
    mouse_->clientOrigin(header.originX, header.originY);
    const double rate = state_.settings.controlRate.load(std::memory_order_relaxed);
    header.rate = std::lround(rate);
    std::string why;
    if (!tapeWriter_->start(tape, tapeHeaderText(header), why)) {
        error = fromStd(tape) + ": " + fromStd(why);
        return false;
    }
    tapeAudioWriter_->start(tape, why); // cannot fail: the last take has stopped
    loadForTake(text, [this, rate] {
        // Edits from here on (the windows' own, as they open) are held for the engine.
        tapeEdits_->beginTake(*registry_, *tapeWriter_);
        tapeRecorder_->setStartRate(rate);
        tapeRecorder_->begin();
        engine_->setControlSampleTap(tapeRecorder_.get());
        // What the sound-card inputs hand the engine goes beside the tape.
        tapeAudioRecorder_->begin();
        inputStage_->setCapturedAudioTap(tapeAudioRecorder_.get());
        if (sampling_) sampling_->start();
    });
    tapeIndicator_->show();
    if (tray_) tray_->setToolTip(QStringLiteral("Kalvitrope: recording gesture tape"));
    addMessage(QStringLiteral("Recording gesture tape: ") + fromStd(tape));
    return true;
}

void MainWindow::loadForTake(const std::string& patchText, const std::function<void()>& prepare) {
    // A take starts as a new run of the program does: the patch loaded afresh, the random
    // numbers from their first state, the mouse at rest and the engine from its first sample,
    // with its MIDI devices open from that sample on.
    // The offline renderer starts the same way.
    stopRecordings();
    moduleWindows_->closeAll();
    LoadTarget target = loadTarget();
    target.afterLoad = [this, &prepare] {
        state_.rand.seed(1);
        if (sampling_) sampling_->stop();
        sampler_->restart();
        resetMouseForTake(*mouse_, state_.table);
        // MIDI devices opened by the service thread would appear at a moment that depends on
        // the machine and that the tape does not record.
        inputStage_->openBeforeStart(*registry_);
        prepare();
    };
    loadConfiguration(target, patchText);
    moduleWindows_->openAll();
    syncRecordings();
    if (!engine_->running()) startEngine();
    setEngineButtons(true);
}

bool MainWindow::replayTape(const std::string& path, QString& error) {
    namespace fs = std::filesystem;
    if (tapeRecording() || replaying_) {
        error = QStringLiteral("A gesture tape is recording or playing.");
        return false;
    }
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    std::ifstream in(path, std::ios::binary);
    if (ec || !in || size > cli::kMaxScriptBytes) {
        error = fromStd(path) + QStringLiteral(": the file cannot be read.");
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    cli::Script script;
    std::string problem;
    if (!cli::parseScript(text, script, problem)) {
        error = fromStd(path + " " + problem);
        return false;
    }
    const cli::ScriptEvent* tape = script.tape();
    if (!tape) {
        error = fromStd(path) + QStringLiteral(": not a gesture tape (it has no tape line).");
        return false;
    }
    // Recorded sound-card input lies beside the tape.
    cli::findSoundFilesBeside(script, fs::path(path).parent_path().string());
    const std::string where = path + " line " + std::to_string(tape->line) + ": ";
    const std::string patch = (fs::path(path).parent_path() / tape->file).string();
    std::string patchText, reason;
    if (!readConfigurationFile(patch, patchText, reason)) {
        error = fromStd(where + "its patch '" + patch + "' cannot be read: " + reason);
        return false;
    }
    if (patchChecksum(patchText) != tape->checksum) {
        error = fromStd(where + "its patch '" + patch + "' has changed since the take");
        return false;
    }
    std::vector<TapeEvent> events;
    std::vector<TapeSetLine> sets;
    cli::TapeInputFiles inputFiles;
    platform::DesktopRect desktop{0, 0, 1919, 1079};
    double rate = state_.settings.controlRate.load(std::memory_order_relaxed);
    bool rateSeen = false;
    for (const cli::ScriptEvent& e : script.events) {
        const auto& n = e.numbers;
        auto add = [&](TapeEvent::Kind kind, long a, long b, long c = 0, long d = 0) {
            events.push_back({e.sample, kind, static_cast<int32_t>(a), static_cast<int32_t>(b),
                              static_cast<int32_t>(c), static_cast<int32_t>(d)});
        };
        switch (e.command) {
        case cli::ScriptCommand::Cursor:
            add(TapeEvent::Cursor, n[0], n[1]);
            break;
        case cli::ScriptCommand::Button:
            add(TapeEvent::Button, n[0], n[1]);
            break;
        case cli::ScriptCommand::Wheel:
            if (n[0] < -32768 || n[0] > 32767) {
                error = fromStd(path + " line " + std::to_string(e.line) +
                                ": wheel delta out of range (-32768..32767)");
                return false;
            }
            add(TapeEvent::Wheel, n[0], n[1]);
            break;
        case cli::ScriptCommand::Midi:
            add(TapeEvent::Midi, n[0], n[1], n[2], n[3]);
            break;
        case cli::ScriptCommand::Desktop:
            desktop = {n[0], n[1], n[2], n[3]};
            break;
        case cli::ScriptCommand::Rate:
            // The first rate is the take's; later ones change it where the engine did.
            if (!rateSeen) rate = e.rate;
            rateSeen = true;
            add(TapeEvent::Rate, std::lround(e.rate), 0);
            break;
        case cli::ScriptCommand::Set:
            sets.push_back({e.line, e.sample, e.module, e.key, e.value});
            break;
        case cli::ScriptCommand::AudioIn: {
            // A take's recorded input plays live; a sound file of a hand-written script does not.
            if (!e.recordedInput) {
                error = fromStd(path + " line " + std::to_string(e.line) +
                                ": 'audioin' without a recorded take's numbers is not played "
                                "live; render the script with kalvitrope-cli");
                return false;
            }
            if (inputFiles.count(e.file)) break;
            auto samples = std::make_shared<std::vector<int16_t>>();
            std::string why;
            if (!cli::readWavMono(e.file, *samples, why)) {
                error = fromStd(path + " line " + std::to_string(e.line) + ": " + why);
                return false;
            }
            inputFiles[e.file] = std::move(samples);
            break;
        }
        case cli::ScriptCommand::Origin:
        case cli::ScriptCommand::Tape:
        case cli::ScriptCommand::End:
            break;
        default:
            error = fromStd(path + " line " + std::to_string(e.line) + ": '" +
                            std::string(cli::commandName(e.command)) +
                            "' events are not played live; render the tape with kalvitrope-cli");
            return false;
        }
    }
    std::vector<TapeInputDelivery> deliveries;
    if (!cli::scheduleTapeInput(script, inputFiles, deliveries, problem)) {
        error = fromStd(path + " " + problem);
        return false;
    }
    state_.settings.controlRate.store(rate, std::memory_order_relaxed);
    replaying_ = true;
    replayInput_.clear();
    for (auto& [name, samples] : inputFiles)
        replayInput_.push_back(std::move(samples));
    std::string unplayable;
    loadForTake(patchText, [&] {
        // Set lines become the stores they make, against the patch just loaded.
        std::vector<LiveStore> stores;
        if (!resolveTapeSets(*registry_, sets, events, stores, unplayable)) return;
        // The desktop's mouse is ignored while the tape plays its own, and the sensors are
        // where the tape places them.
        tapeEdits_->setSensorsFromTape(true);
        mouse_->hook.muted.store(true, std::memory_order_relaxed);
        mouse_->hook.clearButtons();
        tapePlayer_->load(std::move(events), script.endSample, desktop, std::move(stores),
                          &state_.settings.controlRate);
        // The recorded input takes the place of the sound card's.
        for (const TapeInputDelivery& d : deliveries)
            inputStage_->setReplayedInput(d.device, true);
        tapePlayer_->loadInput(std::move(deliveries), registry_->modules(Module_AudioInput));
        engine_->setControlSampleTap(tapePlayer_.get());
    });
    if (!unplayable.empty()) {
        replaying_ = false;
        error = fromStd(path + " " + unplayable);
        return false;
    }
    replayTimer_.start();
    addMessage(QStringLiteral("Replaying gesture tape: ") + fromStd(path));
    return true;
}

void MainWindow::finishReplay() {
    if (!replaying_) return;
    replaying_ = false;
    replayTimer_.stop();
    engine_->setControlSampleTap(nullptr);
    // The engine may be in the player's last control sample: let it finish a cycle.
    const int64_t cycle = state_.cycleCounter.load(std::memory_order_relaxed);
    for (int waited = 0; waited < 50 && engine_->running() &&
                         state_.cycleCounter.load(std::memory_order_relaxed) < cycle + 2;
         ++waited)
        QThread::msleep(1);
    for (int device = -1; device < WaveInputManager::kDeviceSlots - 1; ++device)
        inputStage_->setReplayedInput(device, false);
    replayInput_.clear();
    tapeEdits_->setSensorsFromTape(false);
    moduleWindows_->republishSensorPoints();
    mouse_->hook.muted.store(false, std::memory_order_relaxed);
    mouse_->hook.clearButtons();
    // The desktop's cursor takes over from a fresh start, without a jump from the tape's.
    if (sampling_) sampling_->stop();
    sampler_->restart();
    if (sampling_) sampling_->start();
    addMessage(QStringLiteral("Gesture tape replay ended."));
}

void MainWindow::stopTape() {
    if (!tapeRecording()) return;
    // The engine may be inside a tap: let it finish its cycle. The input's tap goes last, so
    // that it has seen the end of every cycle the control samples were recorded in.
    const auto finishCycle = [this] {
        const int64_t cycle = state_.cycleCounter.load(std::memory_order_relaxed);
        for (int waited = 0; waited < 50 && engine_->running() &&
                             state_.cycleCounter.load(std::memory_order_relaxed) < cycle + 2;
             ++waited)
            QThread::msleep(1);
    };
    engine_->setControlSampleTap(nullptr);
    finishCycle();
    inputStage_->setCapturedAudioTap(nullptr);
    finishCycle();
    tapeRecorder_->end();
    tapeEdits_->endTake();
    std::string error, audioError;
    const bool audioSaved = tapeAudioWriter_->stop(audioError);
    const bool saved =
        tapeWriter_->stop(std::max(tapeRecorder_->endSample(), tapeAudioRecorder_->endSample()),
                          error, tapeAudioRecorder_->closingLines());
    if (!audioSaved)
        addMessage(QStringLiteral("The sound-card input of the gesture tape could not be saved (") +
                   fromStd(audioError) + QStringLiteral(")."));
    tapeIndicator_->hide();
    if (tray_) tray_->setToolTip(QStringLiteral("Kalvitrope"));
    const QString path = fromStd(tapeWriter_->path());
    if (!saved) {
        addMessage(QStringLiteral("The gesture tape could not be finished (") + fromStd(error) +
                   QStringLiteral("); what was recorded is in ") +
                   fromStd(tapePartPath(tapeWriter_->path())));
        return;
    }
    addMessage(QStringLiteral("Gesture tape saved: ") + path);
    for (const std::string& file : tapeAudioWriter_->files())
        addMessage(QStringLiteral("Its sound-card input: ") + fromStd(file));
    const uint64_t lost = tapeWriter_->lost() + tapeRecorder_->lostPasses() +
                          tapeAudioWriter_->lost() + tapeAudioRecorder_->divergent() +
                          tapeEdits_->inexact();
    if (lost > 0)
        addMessage(QStringLiteral("The gesture tape missed %1 events: it will not replay exactly.")
                       .arg(static_cast<qulonglong>(lost)));
}

// ---- Patches and modules ------------------------------------------------------------------

LoadTarget MainWindow::loadTarget() {
    LoadTarget t;
    t.registry = registry_.get();
    t.engine = engine_.get();
    t.legacyFlag = &state_.settings.legacyPatch;
    return t;
}

void MainWindow::stopRecordings() {
    for (Module* m : registry_->modules(Module_AudioWaveWriter))
        writers_->stopModule(*m);
}

void MainWindow::syncRecordings() {
    for (Module* m : registry_->modules(Module_AudioWaveWriter)) {
        if (!m->waveWriters[0].recording.load(std::memory_order_relaxed)) continue;
        if (writers_->start(*m) == WaveWriterList::StartResult::OpenFailed)
            informBox(this, fromStd(WaveWriterList::openFailedText()),
                      fromStd(WaveWriterList::openFailedCaption()));
    }
}

bool MainWindow::loadPatchFile(const QString& path, QString& error) {
    std::string text, reason;
    if (!readConfigurationFile(path.toStdString(), text, reason)) {
        error = path + ": " + fromStd(reason);
        return false;
    }
    // A take and a replay belong to the patch they started with.
    stopTape();
    finishReplay();
    stopRecordings();
    moduleWindows_->closeAll();
    loadConfiguration(loadTarget(), text);
    moduleWindows_->openAll();
    syncRecordings();
    setEngineButtons(engine_->running());
    settings_.values().kvcPath = shortenPath(path.toStdString());
    return true;
}

bool MainWindow::savePatchFile(const QString& path, QString& error) {
    const SaveResult r = writeConfiguration(*registry_, path.toStdString());
    if (!r) {
        error = languageText(r.status == SaveStatus::CannotCreate ? 149 : 156) + "\r\n\r\n" + path +
                ": " + fromStd(r.reason);
        return false;
    }
    settings_.values().kvcPath = shortenPath(path.toStdString());
    return true;
}

bool MainWindow::loadPresetResource(int resource) {
    const PresetInfo* preset = findPreset(resource);
    if (preset && presetAvailable(*preset)) {
        stopRecordings();
        moduleWindows_->closeAll();
    }
    if (!preset || !loadPreset(loadTarget(), *preset)) {
        informBox(this,
                  QStringLiteral("The preset %1 is not built into this version.").arg(resource),
                  languageText(152));
        return false;
    }
    moduleWindows_->openAll();
    syncRecordings();
    setEngineButtons(engine_->running());
    return true;
}

Module* MainWindow::addModuleOfType(int type) {
    if (tapeRecording()) tapeEdits_->notTaped(); // a tape cannot say that a module came
    Module* m = registry_->addModule(type);
    if (m) {
        // New module windows go where the right-click menu was opened, else to the middle of
        // the placement strip.
        const QPoint at =
            placeAtPoint_ ? mapFromGlobal(placementPoint_) : strip_->geometry().center();
        m->positionX = at.x();
        m->positionY = at.y();
        moduleWindows_->open(*m);
    }
    if (!m)
        informBox(this,
                  QStringLiteral("No more modules of this kind can be added: every one of the "
                                 "128 module places is taken."),
                  languageText(9));
    return m;
}

void MainWindow::clearAllModules() {
    stopTape();
    finishReplay();
    stopRecordings();
    moduleWindows_->closeAll();
    registry_->clearAll();
}

// ---- Menus --------------------------------------------------------------------------------

QMenu* MainWindow::createAddModuleMenu() {
    auto* menu = new QMenu(this);
    for (std::size_t g = 0; g < kAddModuleMenu.size(); ++g) {
        QMenu* sub = menu->addMenu(languageText(301 + int(g)));
        for (int type : kAddModuleMenu[g])
            sub->addAction(languageText(typeInfo(type).menuStringId), this,
                           [this, type] { addModuleOfType(type); });
    }
    menu->addSeparator();
    menu->addAction(languageText(161), this, [this] { clearAllModules(); });
    return menu;
}

QMenu* MainWindow::createPresetsMenu() {
    auto* menu = new QMenu(this);
    const int submenus[] = {kPresetsMouse,  kPresetsModulation, kPresetsMidiKeyboard,
                            kPresetsNeuron, kPresetsSequence,   kPresetsMicrophone};
    for (int id : submenus) {
        QMenu* sub = menu->addMenu(languageText(id));
        for (const PresetInfo& p : presetTable()) {
            if (p.submenu != id) continue;
            const QString label = p.stringId ? languageText(p.stringId) : QString(p.name);
            QAction* a = sub->addAction(label.isEmpty() ? QString(p.name) : label, this,
                                        [this, r = p.resource] { loadPresetResource(r); });
            a->setEnabled(presetAvailable(p));
        }
    }
    menu->addSeparator();
    menu->addAction(languageText(kPresetsOnlineStringId), this,
                    [this] { command(kCmdShareOnline); });
    return menu;
}

QMenu* MainWindow::createProgramMenu(bool rightClick) {
    auto* menu = new QMenu(this);
    const Settings& s = settings_.values();
    auto item = [&](const QString& text, int id) {
        return menu->addAction(text, this, [this, id] { command(id); });
    };
    if (rightClick) {
        QMenu* add = createAddModuleMenu();
        add->setTitle(languageText(9));
        menu->addMenu(add)->setEnabled(!minimised_);
        menu->addSeparator();
    }
    item(libraryText(35), kCmdLoad)->setEnabled(!minimised_);
    item(libraryText(36), kCmdSave)->setEnabled(!minimised_);
    QMenu* presets = createPresetsMenu();
    presets->setTitle(languageText(152));
    menu->addMenu(presets)->setEnabled(!minimised_);
    menu->addSeparator();
    item(languageText(161), kCmdClear);
    menu->addSeparator();
    item(libraryText(41), kCmdAbout);
    item(libraryText(40), kCmdHelp)->setEnabled(!helpOpen_);
    item(languageText(28), kCmdPreferences);
    if (pointer_) {
        const MouseHearing& hearing = mouseHearing_;
        if (!mouseNoticeText(hearing).empty())
            menu->addAction(QStringLiteral("What the instrument hears of the mouse..."), this,
                            &MainWindow::mouseNotice);
        if (canAllowReadingMice(hearing))
            menu->addAction(QString::fromUtf8(kAllowMiceCommand), this, [this] {
                if (allowReadingMice(this)) onMiceAllowed();
            });
    }
    if (s.showMouseStatus) {
        menu->addSeparator();
        QMenu* status = menu->addMenu(languageText(30));
        status->addAction(languageText(s.doFastMouseStatus ? 511 : 510), this,
                          [this] { command(kCmdFastMouseStatus); });
        status->addAction(languageText(s.openGLUseSwapBuffers ? 29 : 27), this,
                          [this] { command(kCmdSwapBuffers); });
        status->addAction(languageText(s.use3DMouseStatus ? 31 : 32), this,
                          [this] { command(kCmdIndicatorStyle); });
        menu->addSeparator();
        QMenu* origin = menu->addMenu(languageText(46));
        origin->addAction(languageText(47), this, [this] { command(kCmdChooseOrigin); });
        if (s.mouseOriginX != 0 || s.mouseOriginY != 0)
            origin->addAction(languageText(50), this, [this] { command(kCmdResetOrigin); });
        origin->addAction(languageText(154), this, [this] { command(kCmdShowOrigin); });
    }
    menu->addSeparator();
    const bool running = engine_->running() || button(kCmdStop)->isEnabled();
    item(libraryText(38), kCmdStart)->setEnabled(!running);
    item(libraryText(39), kCmdStop)->setEnabled(running);
    menu->addSeparator();
    QMenu* tapes = menu->addMenu(QStringLiteral("Gesture tape"));
    const bool recording = tapeRecording();
    tapes
        ->addAction(QStringLiteral("Record gesture tape"), this,
                    [this] { command(kCmdRecordTape); })
        ->setEnabled(!recording);
    tapes->addAction(QStringLiteral("Stop"), this, [this] { command(kCmdStopTape); })
        ->setEnabled(recording);
    tapes
        ->addAction(QStringLiteral("Replay gesture tape..."), this,
                    [this] { command(kCmdReplayTape); })
        ->setEnabled(!recording && !replaying_);
    menu->addSeparator();
    const bool restore =
        (isMaximized() && !minimised_) || (minimised_ && !isMaximized() && !wasMaximised_);
    item(libraryText(restore ? 30 : 29), kCmdMaximiseRestore)->setEnabled(!helpOpen_);
    item(libraryText(28), kCmdMinimise)->setEnabled(!minimised_);
    menu->addSeparator();
    item(libraryText(32), kCmdExit);
    return menu;
}

void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
    if (menuOpen_) return;
    placeAtPoint_ = true;
    placementPoint_ = event->globalPos();
    std::unique_ptr<QMenu> menu(createProgramMenu(true));
    menuOpen_ = true;
    menu->exec(event->globalPos());
    menuOpen_ = false;
}

// ---- Window manners -----------------------------------------------------------------------

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        showHelp();
        return;
    }
    Dialog::keyPressEvent(event);
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !windowHandle()) return Dialog::mousePressEvent(event);
    const QPoint p = event->position().toPoint();
    Qt::Edges edges;
    switch (hitTest(p.x(), p.y(), width(), height(), isMaximized())) {
    case HitArea::TopLeft:
        edges = Qt::TopEdge | Qt::LeftEdge;
        break;
    case HitArea::TopRight:
        edges = Qt::TopEdge | Qt::RightEdge;
        break;
    case HitArea::BottomLeft:
        edges = Qt::BottomEdge | Qt::LeftEdge;
        break;
    case HitArea::BottomRight:
        edges = Qt::BottomEdge | Qt::RightEdge;
        break;
    case HitArea::Top:
        edges = Qt::TopEdge;
        break;
    case HitArea::Left:
        edges = Qt::LeftEdge;
        break;
    case HitArea::Bottom:
        edges = Qt::BottomEdge;
        break;
    case HitArea::Right:
        edges = Qt::RightEdge;
        break;
    case HitArea::Body:
        if (!isMaximized() && !minimised_) beginDrag();
        return;
    }
    windowHandle()->startSystemResize(edges);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) endDrag();
    Dialog::mouseReleaseEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() == Qt::NoButton || isMaximized()) endDrag();
    Dialog::mouseMoveEvent(event);
}

// The drag follows the cursor from a 1 ms timer on this thread rather than from a thread of its
// own: every window move has to happen on the user-interface thread anyway, so a separate thread
// would only poll the cursor and then wait for this thread to move the windows.
void MainWindow::beginDrag() {
    dragDesktop_ = currentDesktop();
    platform::ScreenArea area;
    if (platform::readWorkArea(area))
        dragDesktop_.workArea = {area.x, area.y, area.x + area.width, area.y + area.height};
    const QRect r = frameGeometry();
    drag_.begin(QCursor::pos(), {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()});
    state_.dragging.store(true, std::memory_order_relaxed);
    dragTimer_.start(1);
}

void MainWindow::endDrag() {
    state_.dragging.store(false, std::memory_order_relaxed);
    dragTimer_.stop();
    drag_.end();
}

void MainWindow::followDrag() {
    if (!state_.dragging.load(std::memory_order_relaxed) || minimised_ || isMinimized()) {
        endDrag();
        return;
    }
    // A frameless window: its visible edges are its own edges.
    const auto step = drag_.follow(QCursor::pos(), settings_.values().lockWindowToScreenEdges,
                                   WindowFrame{}, dragDesktop_);
    if (!step) return;
    move(step->window.left, step->window.top);
    if (!step->carry.isNull()) carryModuleWindows(*moduleWindows_, step->carry);
}

void MainWindow::applyShape() {
    if (isMaximized()) {
        clearMask();
        return;
    }
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 25, 25);
    setMask(QRegion(path.toFillPolygon().toPolygon()));
}

void MainWindow::moveEvent(QMoveEvent* event) {
    Dialog::moveEvent(event);
    // Module positions and sensor points are relative to the client area: the engine learns where
    // it is now, and a move that is not the user's drag (placement by the window manager, a
    // restored rectangle, maximising) takes the module windows along to their stored places. A drag
    // carries them itself, with the cursor.
    const QPoint origin = geometry().topLeft();
    if (mouse_) mouse_->setClientOrigin(origin.x(), origin.y());
    if (!state_.dragging.load(std::memory_order_relaxed) && moduleWindows_)
        moduleWindows_->placeAll();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    Dialog::resizeEvent(event);
    applyShape();
}

void MainWindow::paintEvent(QPaintEvent*) {
    // Six frames shading from the normal button colour into the dialog background.
    const Theme& theme = Theme::current();
    if (theme.useDesktopColours) return;
    QPainter p(this);
    const QColor a = theme.buttonBackground[int(ButtonState::Normal)], b = theme.dialogBackground;
    QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    for (int i = 0; i < 6; ++i) {
        const double f = i / 6.0;
        p.setPen(QColor(int((1 - f) * a.red() + f * b.red()),
                        int((1 - f) * a.green() + f * b.green()),
                        int((1 - f) * a.blue() + f * b.blue())));
        if (isMaximized())
            p.drawRect(r);
        else
            p.drawRoundedRect(r, 25, 25);
        r.adjust(1, 1, -1, -1);
    }
}

} // namespace kv::ui
