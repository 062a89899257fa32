// Commands and menus.
#include "ui/main_window.h"

#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMenu>
#include <QUrl>

#include "engine/engine.h"
#include "modules/catalogue.h"
#include "modules/module_registry.h"
#include "modules/presets.h"
#include "mouse/mouse_input.h"
#include "persistence/language.h"
#include "persistence/paths.h"
#include "ui/button_box.h"
#include "ui/main_window_parts.h"
#include "ui/mouse_access.h"
#include "ui/online.h"
#include "ui/origin_window.h"
#include "ui/preferences_about.h"
#include "ui/preferences_dialog.h"

namespace kv::ui {

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
        instrument_->mouse().settings.originX.store(0);
        instrument_->mouse().settings.originY.store(0);
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
            instrument_->mouse().settings.wrapAtScreenEdges.store(
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
    if (instrument_->pointer()) {
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
    const bool running = instrument_->engine().running() || button(kCmdStop)->isEnabled();
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
        ->setEnabled(!recording && !instrument_->replaying());
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

} // namespace kv::ui
