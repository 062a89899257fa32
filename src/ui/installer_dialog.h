#pragma once
// The installer dialog and the backdrop behind it, and the remover dialog. They drive the
// per-user installation and removal of install/. User-interface thread.
#include <QCheckBox>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <string>
#include <thread>

#include "install/installer.h"
#include "install/removal.h"
#include "ui/dialog.h"

namespace kv::ui {

/// The installer: the installation folder, the shortcut choices, the settings choices and
/// Install. Ends accepted with result() once an installation succeeded.
class InstallerDialog : public Dialog {
    Q_OBJECT
  public:
    InstallerDialog(QWidget* owner, std::string runningProgram, install::Places places);
    /// The installer result (empty until an installation succeeded).
    const std::string& result() const { return result_; }
    RichTextField* folderField() const { return folder_; }
    QCheckBox* box(int id) const;
    /// Runs the installation with the dialog's choices (the Install button).
    void install();

  public slots:
    void reject() override; // asks whether to quit the installation

  protected:
    /// Return in the folder field installs (the field holds one line).
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::string program_;
    install::Places places_;
    install::InstallPreparation prep_;
    RichTextField* folder_ = nullptr;
    QCheckBox* startMenu_ = nullptr; // 300
    QCheckBox* extended_ = nullptr;  // 310
    QCheckBox* desktop_ = nullptr;   // 320
    QCheckBox* keep_ = nullptr;      // 360 (only when this version's settings exist)
    QCheckBox* import_ = nullptr;    // 390 (only when an earlier version is installed)
    QCheckBox* run_ = nullptr;       // 350
    std::string result_;
};

/// The full-screen backdrop of the installation: the title, the product name with its pulsing
/// green, and a picture rendered by a worker thread with its progress.
class InstallBackdrop : public QWidget {
    Q_OBJECT
  public:
    InstallBackdrop();
    ~InstallBackdrop() override;
    /// The green part of the name now (5..249).
    int green() const { return green_; }
    QString progressText() const { return label_->text(); }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    void tick();
    QLabel* label_;
    QTimer timer_;
    int green_ = 5;
    int step_ = 4;
    QImage picture_;
    QImage rendered_;
    std::atomic<int> percent_{0};
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

/// Shows the backdrop, runs the installer over it and returns the installer result.
std::string runInstaller(const std::string& runningProgram, const install::Places& places);

/// The remover: one button that removes the installed copy at `programPath`. Entries of the
/// installation log that removal leaves alone are listed above the button.
class RemoverDialog : public Dialog {
    Q_OBJECT
  public:
    RemoverDialog(std::string programPath, install::Places places);
    const install::RemovalPlan& preview() const { return preview_; }
    /// Removes (the button); true when the removal script was started.
    bool remove();

  private:
    std::string program_;
    install::Places places_;
    install::RemovalPlan preview_;
};

/// Runs the remover for the installed copy at `programPath`; returns the exit code.
int runRemover(const std::string& programPath, const install::Places& places);

} // namespace kv::ui
