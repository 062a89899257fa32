// The tray, minimising, maximising and closing.
#include "ui/main_window.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include "engine/engine.h"
#include "modules/config_file.h"
#include "modules/module_registry.h"
#include "persistence/language.h"
#include "platform/work_area.h"
#include "ui/button_box.h"
#include "ui/main_window_parts.h"
#include "ui/module_window/module_colours.h"
#include "ui/module_window/module_window.h"
#include "ui/program_icon.h"
#include "ui/status_display.h"

namespace kv::ui {

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
    instrument_->engine().stop();
    setEngineButtons(false);
    if (minimised_) restoreWindow();

    // The autosave is written to a temporary file and renamed, so a crash never loses it.
    const std::string autosave = autosaveFile();
    if (!autosave.empty()) {
        const SaveResult saved = writeConfiguration(instrument_->registry(), autosave);
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

} // namespace kv::ui
