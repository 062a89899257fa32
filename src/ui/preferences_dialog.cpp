#include "ui/preferences_dialog.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "install/startup_shortcut.h"
#include "persistence/language.h"
#include "ui/app_settings.h"
#include "ui/button_box.h"
#include "ui/colour_palette.h"
#include "ui/language_chooser.h"
#include "ui/theme.h"

namespace kv::ui {

// ---- Okay, Cancel, Apply ----

ApplyDialog::ApplyDialog(QWidget* owner, const QString& caption) : Dialog(owner) {
    setWindowTitle(caption);
    buttons_ = new QWidget(this);
    auto* row = new QHBoxLayout(buttons_);
    row->setContentsMargins(0, 0, 0, 0);
    row->addStretch();
    okay_ = new OwnerButton(libraryText(0), buttons_);
    cancel_ = new OwnerButton(libraryText(2), buttons_);
    apply_ = new OwnerButton(libraryText(1), buttons_);
    for (QPushButton* b : {okay_, cancel_, apply_}) {
        b->setAutoDefault(false);
        row->addWidget(b);
    }
    okay_->setDefault(true);
    apply_->setEnabled(false);
    connect(okay_, &QPushButton::clicked, this, [this] {
        apply();
        accept();
    });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(apply_, &QPushButton::clicked, this, &ApplyDialog::apply);
}

void ApplyDialog::apply() {
    store();
    apply_->setEnabled(false);
}

void ApplyDialog::controlChanged() {
    if (differs()) apply_->setEnabled(true);
}

namespace {

bool boxesDiffer(const std::vector<SettingBox>& boxes, const Settings& s) {
    for (const SettingBox& b : boxes)
        if (b.box->isChecked() != s.*b.setting) return true;
    return false;
}

void storeBoxes(const std::vector<SettingBox>& boxes, Settings& s) {
    for (const SettingBox& b : boxes)
        s.*b.setting = b.box->isChecked();
}

QLabel* heading(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

} // namespace

// ---- Minimisation and tray ----

TrayOptionsDialog::TrayOptionsDialog(QWidget* owner, SettingsStore& settings,
                                     SettingsChanged changed)
    : ApplyDialog(owner, libraryText(43)), settings_(settings), changed_(std::move(changed)) {
    static constexpr bool Settings::*kSettings[] = {
        &Settings::systemTrayIconEnabled,   &Settings::systemTrayOnlyWhenMinimised,
        &Settings::hideWindowWhenMinimised, &Settings::minimiseOnStartup,
        &Settings::minimiseOnClose,         &Settings::minimiseOnEsc};
    auto* layout = new QVBoxLayout(this);
    const Settings& s = settings_.values();
    for (int i = 0; i < 6; ++i) {
        if (i == 0) layout->addWidget(heading(libraryText(44), this));
        if (i == 3) layout->addWidget(heading(libraryText(51), this));
        auto* box = new QCheckBox(libraryText(45 + i), this);
        box->setChecked(s.*kSettings[i]);
        if (i == 1 || i == 2) box->setContentsMargins(units().x(10), 0, 0, 0);
        layout->addWidget(box);
        boxes_.push_back({box, kSettings[i]});
        connect(box, &QCheckBox::toggled, this, [this, i] {
            if (i == 0) followTrayIcon();
            controlChanged();
        });
    }
    followTrayIcon();
    layout->addWidget(buttonRow());
    adjustSize();
    markReady();
}

void TrayOptionsDialog::followTrayIcon() {
    // The two tray details mean nothing without the icon; they keep their values meanwhile.
    const bool tray = boxes_[0].box->isChecked();
    boxes_[1].box->setEnabled(tray);
    boxes_[2].box->setEnabled(tray);
}

bool TrayOptionsDialog::differs() const {
    return boxesDiffer(boxes_, settings_.values());
}

void TrayOptionsDialog::store() {
    storeBoxes(boxes_, settings_.values());
    settings_.save(this);
    if (changed_) changed_(false);
}

// ---- Colours ----

Colour colourFromHex(const QString& text, QString* cleaned) {
    QString digits;
    for (QChar c : text)
        if ((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'))
            digits += c;
    if (cleaned) *cleaned = digits;
    if (digits.size() > 6) digits = digits.right(6);
    digits = digits.rightJustified(6, u'0');
    Colour c;
    c.red = uint8_t(digits.mid(0, 2).toUInt(nullptr, 16));
    c.green = uint8_t(digits.mid(2, 2).toUInt(nullptr, 16));
    c.blue = uint8_t(digits.mid(4, 2).toUInt(nullptr, 16));
    return c;
}

QString hexOfColour(Colour c) {
    return QStringLiteral("%1%2%3")
        .arg(c.red, 2, 16, QChar(u'0'))
        .arg(c.green, 2, 16, QChar(u'0'))
        .arg(c.blue, 2, 16, QChar(u'0'))
        .toUpper();
}

namespace {

struct ColourRowEntry {
    UiColour colour;
    int label; // language string
    bool shown;
};

constexpr ColourRowEntry kColourRows[] = {
    {UiColour::DialogBackground, 215, true},          {UiColour::DialogText, 216, true},
    {UiColour::ModuleBackground, 217, true},          {UiColour::ModuleText, 218, true},
    {UiColour::ModuleDropdownBackground, 293, true},  {UiColour::ModuleDropdownText, 294, true},
    {UiColour::ButtonNormalBackground, 220, true},    {UiColour::ButtonNormalText, 221, true},
    {UiColour::ButtonDefaultBackground, 222, false},  {UiColour::ButtonDefaultText, 223, false},
    {UiColour::ButtonFocusedBackground, 224, true},   {UiColour::ButtonFocusedText, 225, true},
    {UiColour::ButtonDisabledBackground, 226, true},  {UiColour::ButtonDisabledText, 227, true},
    {UiColour::ButtonInactiveBackground, 230, false}, {UiColour::ButtonInactiveText, 231, false},
    {UiColour::ProgressBarBackground, 503, true},     {UiColour::ProgressBarForeground, 502, true},
};
static_assert(std::size(kColourRows) == kUiColourCount);

} // namespace

VisualPreferencesDialog::VisualPreferencesDialog(QWidget* owner, SettingsStore& settings,
                                                 SettingsChanged changed)
    : ApplyDialog(owner, languageText(214)), settings_(settings), changed_(std::move(changed)) {
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    layout->addLayout(grid);
    rows_.reserve(std::size(kColourRows));
    for (const ColourRowEntry& entry : kColourRows) {
        ColourRow& row = rows_.emplace_back();
        row.colour = entry.colour;
        row.working = settings_.values().colour(entry.colour);
        if (!entry.shown) continue;
        const int line = grid->rowCount();
        grid->addWidget(new QLabel(languageText(entry.label), this), line, 0);
        row.entry = new QLineEdit(hexOfColour(row.working), this);
        row.entry->setMaxLength(12);
        row.entry->installEventFilter(this);
        grid->addWidget(row.entry, line, 1);
        row.swatch = new QPushButton(this);
        row.swatch->setFlat(true);
        row.swatch->setFixedSize(units().x(24), units().y(12));
        row.swatch->setCursor(Qt::PointingHandCursor);
        grid->addWidget(row.swatch, line, 2);
        paintSwatch(row);
        const size_t index = rows_.size() - 1;
        connect(row.entry, &QLineEdit::textEdited, this,
                [this, index] { entryEdited(rows_[index]); });
        connect(row.swatch, &QPushButton::clicked, this,
                [this, index] { pickColour(rows_[index]); });
    }
    auto* note = new QLabel(languageText(219), this);
    note->setWordWrap(true);
    layout->addWidget(note);
    layout->addWidget(buttonRow());
    adjustSize();
    markReady();
}

const ColourRow& VisualPreferencesDialog::row(UiColour colour) const {
    return rows_[size_t(std::find_if(std::begin(kColourRows), std::end(kColourRows),
                                     [&](const ColourRowEntry& s) { return s.colour == colour; }) -
                        std::begin(kColourRows))];
}

void VisualPreferencesDialog::setWorkingColour(UiColour colour, Colour c) {
    const_cast<ColourRow&>(row(colour)).working = c;
    // Every row shows its working colour again, and the new colour waits for Apply.
    for (ColourRow& r : rows_) {
        if (r.entry) r.entry->setText(hexOfColour(r.working));
        paintSwatch(r);
    }
    applyButton()->setEnabled(true);
}

void VisualPreferencesDialog::entryEdited(ColourRow& row) {
    QString cleaned;
    const Colour c = colourFromHex(row.entry->text(), &cleaned);
    if (cleaned != row.entry->text()) {
        const int cursor = row.entry->cursorPosition();
        row.entry->setText(cleaned);
        row.entry->setCursorPosition(std::min(cursor, int(cleaned.size())));
    }
    if (c != row.working) {
        row.working = c;
        paintSwatch(row);
        controlChanged();
    }
}

bool VisualPreferencesDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusOut)
        for (ColourRow& row : rows_)
            if (row.entry == watched && row.entry->text().size() != 6)
                row.entry->setText(hexOfColour(row.working));
    return ApplyDialog::eventFilter(watched, event);
}

void VisualPreferencesDialog::paintSwatch(ColourRow& row) {
    if (!row.swatch) return;
    const QColor c(row.working.red, row.working.green, row.working.blue);
    row.swatch->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; border: 1px solid gray; }")
            .arg(c.name()));
}

void VisualPreferencesDialog::pickColour(ColourRow& row) {
    ColourPaletteDialog palette(
        this, row.working, [this, colour = row.colour](Colour c) { setWorkingColour(colour, c); });
    runDialog(palette);
}

bool VisualPreferencesDialog::differs() const {
    for (const ColourRow& row : rows_)
        if (row.working != settings_.values().colour(row.colour)) return true;
    return false;
}

void VisualPreferencesDialog::store() {
    for (const ColourRow& row : rows_)
        settings_.values().colour(row.colour) = row.working;
    // This dialog takes the new colours at once, like every other open window.
    Theme::setCurrent(Theme::fromSettings(settings_.values()));
    applyDialogColours(this, Theme::current());
    if (changed_) changed_(true);
    update();
    settings_.save(this);
}

// ---- Preferences ----

PreferencesDialog::PreferencesDialog(QWidget* owner, SettingsStore& settings,
                                     SettingsChanged changed)
    : ApplyDialog(owner, languageText(28)), settings_(settings), changed_(std::move(changed)) {
    struct CheckBoxEntry {
        int label; // language string; negative: library string
        bool Settings::*setting;
    };
    static constexpr CheckBoxEntry kBoxes[] = {
        {13, &Settings::wrapMouseCursorAtScreenEdges},
        {504, &Settings::checkVersionOnStartup},
        {48, &Settings::startSoundingOnStartup},
        {431, &Settings::realtimePriorityForMainThread},
        {506, &Settings::loadLastAutoSaveOnStartup},
        {-24, &Settings::doNotAskAboutInstallation},
        {153, &Settings::allowMouseInputAsAudioInput},
    };
    auto* layout = new QVBoxLayout(this);
    const Settings& s = settings_.values();
    for (const CheckBoxEntry& entry : kBoxes) {
        auto* box = new QCheckBox(this);
        box->setChecked(s.*entry.setting);
        boxes_.push_back({box, entry.setting});
        labels_.emplace_back(box, entry.label);
        connect(box, &QCheckBox::toggled, this, &PreferencesDialog::controlChanged);
        if (entry.setting == &Settings::wrapMouseCursorAtScreenEdges) {
            auto* line = new QHBoxLayout;
            line->addWidget(box, 1);
            help_ = new QPushButton(QStringLiteral("?"), this);
            help_->setFixedWidth(units().x(14));
            line->addWidget(help_);
            layout->addLayout(line);
        } else {
            layout->addWidget(box);
        }
    }
    startup_ = new QCheckBox(this);
    startupRemembered_ = install::startupShortcutExists(install::Places::fromEnvironment());
    startup_->setChecked(startupRemembered_);
    labels_.emplace_back(startup_, 49);
    connect(startup_, &QCheckBox::toggled, this, &PreferencesDialog::controlChanged);
    layout->addWidget(startup_);
    tray_ = new OwnerButton(QString(), this);
    language_ = new OwnerButton(QString(), this);
    visual_ = new OwnerButton(QString(), this);
    for (QPushButton* b : {tray_, language_, visual_}) {
        b->setAutoDefault(false);
        layout->addWidget(b);
    }
    layout->addWidget(buttonRow());
    applyLabels();

    connect(help_, &QPushButton::clicked, this,
            [this] { informBox(this, languageText(12), languageText(13)); });
    connect(tray_, &QPushButton::clicked, this, [this] {
        TrayOptionsDialog dialog(this, settings_, changed_);
        runDialog(dialog);
    });
    connect(visual_, &QPushButton::clicked, this, [this] {
        VisualPreferencesDialog dialog(this, settings_, changed_);
        runDialog(dialog);
    });
    connect(language_, &QPushButton::clicked, this, [this] {
        if (chooseLanguage(this, kOfferedLanguageCodes) >= 0) {
            settings_.save(this);
            if (changed_) changed_(true);
        }
        applyLabels();
    });
    adjustSize();
    markReady();
}

void PreferencesDialog::applyLabels() {
    setWindowTitle(languageText(28));
    for (auto& [box, id] : labels_)
        box->setText(id < 0 ? libraryText(-id) : languageText(id));
    tray_->setText(libraryText(43));
    language_->setText(languageText(51));
    visual_->setText(languageText(214));
    okayButton()->setText(libraryText(0));
    cancelButton()->setText(libraryText(2));
    applyButton()->setText(libraryText(1));
}

bool PreferencesDialog::differs() const {
    return boxesDiffer(boxes_, settings_.values()) || startup_->isChecked() != startupRemembered_;
}

void PreferencesDialog::store() {
    storeBoxes(boxes_, settings_.values());
    if (startup_->isChecked() != startupRemembered_) {
        const install::Places places = install::Places::fromEnvironment();
        std::string error;
        if (!startup_->isChecked()) {
            install::deleteStartupShortcut(places);
        } else if (!install::createStartupShortcut(
                       places, QCoreApplication::applicationFilePath().toStdString(), error)) {
            // Said rather than passed over, and the box goes back to what is really there.
            informBox(this, QString::fromStdString(error), libraryText(12));
        }
        startupRemembered_ = install::startupShortcutExists(places);
        const QSignalBlocker quiet(startup_);
        startup_->setChecked(startupRemembered_);
    }
    if (changed_) changed_(false);
    update();
    settings_.save(this);
}

} // namespace kv::ui
