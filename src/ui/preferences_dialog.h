#pragma once
// The preferences dialogs: the general switches, the minimisation and tray options and the
// interface colours. Each has Okay, Cancel and Apply: Apply starts disabled and is enabled by a
// change that makes a control differ from the stored value; Apply stores (and disables itself
// again); Okay stores and closes; Cancel closes and keeps what an earlier Apply stored.
// User-interface thread.
#include <QString>
#include <array>
#include <functional>
#include <vector>

#include "persistence/settings.h"
#include "ui/dialog.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kv::ui {

class SettingsStore;

/// Told after the settings changed; `redraw` when colours changed and everything must repaint.
using SettingsChanged = std::function<void(bool redraw)>;

/// The Okay / Cancel / Apply manners shared by the preferences dialogs.
class ApplyDialog : public Dialog {
    Q_OBJECT
  public:
    ApplyDialog(QWidget* owner, const QString& caption);
    QPushButton* okayButton() const { return okay_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* applyButton() const { return apply_; }
    /// Stores the controls' values and disables Apply.
    void apply();

  protected:
    /// True when some control differs from its stored value.
    virtual bool differs() const = 0;
    /// Stores every control's value and tells whoever depends on them.
    virtual void store() = 0;
    /// After a control changed: enables Apply when the change made a difference. Apply stays
    /// enabled when a control is set back (until Apply or Okay).
    void controlChanged();
    /// The row of Okay, Cancel and Apply, to be added at the bottom of the layout.
    QWidget* buttonRow() const { return buttons_; }

  private:
    QWidget* buttons_;
    QPushButton* okay_;
    QPushButton* cancel_;
    QPushButton* apply_;
};

/// A check box bound to a yes/no setting.
struct SettingBox {
    QCheckBox* box;
    bool Settings::*setting;
};

/// The minimisation and system tray options.
class TrayOptionsDialog final : public ApplyDialog {
    Q_OBJECT
  public:
    TrayOptionsDialog(QWidget* owner, SettingsStore& settings, SettingsChanged changed);
    /// The six boxes: tray icon, only when minimised, hide the taskbar button, minimise at
    /// start, minimise on close, minimise on Esc.
    QCheckBox* box(int index) const { return boxes_[size_t(index)].box; }

  protected:
    bool differs() const override;
    void store() override;

  private:
    void followTrayIcon();
    SettingsStore& settings_;
    SettingsChanged changed_;
    std::vector<SettingBox> boxes_;
};

/// One row of the interface colours: label, hexadecimal entry ("RRGGBB") and swatch.
struct ColourRow {
    UiColour colour;
    QLineEdit* entry = nullptr;
    QPushButton* swatch = nullptr;
    Colour working; // the colour the row shows, stored on Apply
};

/// Keeps only hexadecimal digits of `text`; the colour they give, read as RRGGBB after padding
/// with leading zeros to six digits (only the last six count when there are more).
Colour colourFromHex(const QString& text, QString* cleaned = nullptr);
/// "RRGGBB" in upper case.
QString hexOfColour(Colour c);

/// The interface colours, one row per colour key of the settings file.
class VisualPreferencesDialog final : public ApplyDialog {
    Q_OBJECT
  public:
    VisualPreferencesDialog(QWidget* owner, SettingsStore& settings, SettingsChanged changed);
    /// The row of `colour`; its entry and swatch are null when the row is not shown.
    const ColourRow& row(UiColour colour) const;
    /// Takes `c` as the working colour of `colour`'s row, shows every row's working colour again
    /// and enables Apply (what the colour palette's Apply does).
    void setWorkingColour(UiColour colour, Colour c);

  protected:
    bool differs() const override;
    void store() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void entryEdited(ColourRow& row);
    void paintSwatch(ColourRow& row);
    void pickColour(ColourRow& row);
    SettingsStore& settings_;
    SettingsChanged changed_;
    std::vector<ColourRow> rows_;
};

/// The Preferences dialog: the general switches and the buttons to the language, tray and colour
/// dialogs.
class PreferencesDialog final : public ApplyDialog {
    Q_OBJECT
  public:
    PreferencesDialog(QWidget* owner, SettingsStore& settings, SettingsChanged changed);
    /// The seven boxes in the order of the dialog.
    const std::vector<SettingBox>& boxes() const { return boxes_; }
    QPushButton* trayButton() const { return tray_; }
    QPushButton* languageButton() const { return language_; }
    QPushButton* visualButton() const { return visual_; }
    /// "Start this program when the computer starts": whether the start-up shortcut exists.
    QCheckBox* startupBox() const { return startup_; }

  protected:
    bool differs() const override;
    void store() override;

  private:
    void applyLabels();
    SettingsStore& settings_;
    SettingsChanged changed_;
    std::vector<SettingBox> boxes_;
    std::vector<std::pair<QCheckBox*, int>> labels_; // language string of each box (< 0: library)
    QPushButton* tray_;
    QPushButton* language_;
    QPushButton* visual_;
    QPushButton* help_;
    QCheckBox* startup_;
    bool startupRemembered_ = false; // the shortcut's state as last seen or made
};

} // namespace kv::ui
