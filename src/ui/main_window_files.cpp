// Patches, modules and gesture tapes: the window's side (dialogs, messages, module windows) of what
// the instrument does.
#include "ui/main_window.h"

#include <QDateTime>
#include <QLabel>
#include <QSystemTrayIcon>
#include <filesystem>

#include "devices/wav_writer.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "persistence/language.h"
#include "persistence/paths.h"
#include "ui/button_box.h"
#include "ui/main_window_parts.h"
#include "ui/module_window/module_window.h"

namespace kv::ui {

bool MainWindow::loadPatchFile(const QString& path, QString& error) {
    std::string text, reason;
    if (!readConfigurationFile(path.toStdString(), text, reason)) {
        error = path + ": " + fromStd(reason);
        return false;
    }
    // A take and a replay belong to the patch they started with.
    stopTape();
    finishReplay();
    instrument_->loadPatchText(text);
    setEngineButtons(instrument_->running());
    settings_.values().kvcPath = shortenPath(path.toStdString());
    return true;
}

bool MainWindow::savePatchFile(const QString& path, QString& error) {
    const SaveResult r = writeConfiguration(instrument_->registry(), path.toStdString());
    if (!r) {
        error = languageText(r.status == SaveStatus::CannotCreate ? 149 : 156) + "\r\n\r\n" + path +
                ": " + fromStd(r.reason);
        return false;
    }
    settings_.values().kvcPath = shortenPath(path.toStdString());
    return true;
}

bool MainWindow::loadPresetResource(int resource) {
    if (!instrument_->loadPresetResource(resource)) {
        informBox(this,
                  QStringLiteral("The preset %1 is not built into this version.").arg(resource),
                  languageText(152));
        return false;
    }
    setEngineButtons(instrument_->running());
    return true;
}

Module* MainWindow::addModuleOfType(int type) {
    if (tapeRecording()) instrument_->edits().notTaped(); // a tape cannot say that a module came
    Module* m = instrument_->registry().addModule(type);
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
    instrument_->clearModules();
}

void MainWindow::syncRecordings() {
    instrument_->startFlaggedRecordings([this] {
        informBox(this, fromStd(WaveWriterList::openFailedText()),
                  fromStd(WaveWriterList::openFailedCaption()));
    });
}

bool MainWindow::tapeRecording() const {
    return instrument_ && instrument_->tapeRecording();
}

std::string MainWindow::tapeFile() const {
    return instrument_ ? instrument_->tapeWriter().path() : std::string();
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
    std::string tape, problem;
    if (!instrument_->startTake(base, tape, problem)) {
        error = fromStd(problem);
        return false;
    }
    if (!instrument_->running()) startEngine();
    setEngineButtons(true);
    tapeIndicator_->show();
    if (tray_) tray_->setToolTip(QStringLiteral("Kalvitrope: recording gesture tape"));
    addMessage(QStringLiteral("Recording gesture tape: ") + fromStd(tape));
    return true;
}

void MainWindow::stopTape() {
    if (!tapeRecording()) return;
    const TakeEnd end = instrument_->stopTake();
    if (!end.audioSaved)
        addMessage(QStringLiteral("The sound-card input of the gesture tape could not be saved (") +
                   fromStd(end.audioError) + QStringLiteral(")."));
    tapeIndicator_->hide();
    if (tray_) tray_->setToolTip(QStringLiteral("Kalvitrope"));
    const std::string tape = instrument_->tapeWriter().path();
    if (!end.saved) {
        addMessage(QStringLiteral("The gesture tape could not be finished (") + fromStd(end.error) +
                   QStringLiteral("); what was recorded is in ") + fromStd(tapePartPath(tape)));
        return;
    }
    addMessage(QStringLiteral("Gesture tape saved: ") + fromStd(tape));
    for (const std::string& file : end.audioFiles)
        addMessage(QStringLiteral("Its sound-card input: ") + fromStd(file));
    if (end.lost > 0)
        addMessage(QStringLiteral("The gesture tape missed %1 events: it will not replay exactly.")
                       .arg(static_cast<qulonglong>(end.lost)));
}

bool MainWindow::replayTape(const std::string& path, QString& error) {
    if (tapeRecording() || instrument_->replaying()) {
        error = QStringLiteral("A gesture tape is recording or playing.");
        return false;
    }
    TapeReplay replay;
    std::string problem;
    if (!instrument_->readTape(path, replay, problem)) {
        error = fromStd(problem);
        return false;
    }
    const bool playing = instrument_->replay(std::move(replay), problem);
    if (!instrument_->running()) startEngine();
    setEngineButtons(true);
    if (!playing) {
        error = fromStd(path + " " + problem);
        return false;
    }
    replayTimer_.start();
    addMessage(QStringLiteral("Replaying gesture tape: ") + fromStd(path));
    return true;
}

void MainWindow::finishReplay() {
    if (!instrument_->endReplay()) return;
    replayTimer_.stop();
    moduleWindows_->republishSensorPoints();
    addMessage(QStringLiteral("Gesture tape replay ended."));
}

} // namespace kv::ui
