#pragma once
// The program's own message box (a row of labelled buttons returning keys) and the
// old-value/new-value entry box. User-interface thread.
#include <functional>
#include <vector>

#include <QString>
#include <QStringList>

#include "ui/dialog.h"

class QLabel;

namespace kv::ui {

/// "|"-separated list with one space removed on each side of every separator.
QStringList splitBarList(const QString& list);

/// Sizes of a button box in dialog units.
struct ButtonBoxLayout {
    QString text;             // the text as shown (framed by line breaks when not empty)
    double width = 0;         // dialog width
    double textHeight = 0;    // height of the text field (0: no field)
    double height = 0;        // dialog height
    double minimumHeight = 0; // with the text field shrunk to 28 units
    int buttons = 0;
};

/// Lays out a box. `measure` gives the width in dialog units of a text in the message font
/// (label = false) or the button font (label = true), the scroll-thumb width included.
ButtonBoxLayout layoutButtonBox(const QStringList& labels, const QString& text,
                                const QString& caption,
                                const std::function<double(const QString&, bool label)>& measure);

/// Shrinks the text field to `neededUnits` (the wrapped text's height in dialog units, frame
/// included) when the layout gave it more, keeping at least 28 units; the dialog's height follows.
void fitTextHeight(ButtonBoxLayout& layout, double neededUnits);

class ButtonBoxDialog : public Dialog {
    Q_OBJECT
  public:
    ButtonBoxDialog(QWidget* owner, const QString& labels, const QString& keys,
                    const QString& defaultKey, const QString& text, const QString& caption,
                    bool centreText);
    const ButtonBoxLayout& layout() const { return layout_; }
    const std::vector<OwnerButton*>& buttons() const { return buttons_; }
    RichTextField* field() const { return field_; }
    /// The key chosen (the default key until a button is clicked).
    QString result() const { return result_; }
    QString defaultKey() const { return defaultKey_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void reject() override;

  private:
    void choose(int index);
    ButtonBoxLayout layout_;
    QStringList keys_;
    QString defaultKey_, result_;
    RichTextField* field_ = nullptr;
    std::vector<OwnerButton*> buttons_;
    QRect fieldRect_;
    std::vector<QRect> buttonRects_;
};

/// Shows a button box and returns the key of the chosen button; closing or Esc returns the
/// default key. `labels` and `keys` are "|"-separated lists.
QString buttonBox(QWidget* owner, const QString& labels, const QString& keys,
                  const QString& defaultKey, const QString& text, const QString& caption,
                  bool centreText = false);
/// A box with one "Okay" button.
void informBox(QWidget* owner, const QString& text, const QString& caption);
/// A Yes/No question; true for Yes (the default is No).
bool askYesNo(QWidget* owner, const QString& text, const QString& caption);

/// Called with every dialog the framework opens (button boxes, value boxes, language chooser),
/// once it is shown; tests and the screenshot tool answer or picture them from here. Unset: the
/// user answers.
void setDialogShownHook(std::function<void(QDialog&)> hook);
/// Runs `dialog` modally, calling the shown hook first when set. While dialogs are declined it
/// is not shown: it ends at once as if closed with Esc.
int runDialog(QDialog& dialog);

/// Declines every dialog opened from now on (`true`): the program is ending on a signal and no
/// one is there to answer. A declined box's text goes to the standard error stream instead.
/// User-interface thread.
void setDialogsDeclined(bool declined);
bool dialogsDeclined();

class ValueBoxDialog : public Dialog {
    Q_OBJECT
  public:
    ValueBoxDialog(QWidget* owner, const QString& caption, const QString& value,
                   const QPoint* centre);
    RichTextField* newValueField() const { return newValue_; }
    QString value() const;
    /// True when the empty-value warning was shown by the last Okay.
    bool warned() const { return warned_; }

  public slots:
    void accept() override;

  private:
    RichTextField* oldValue_;
    RichTextField* newValue_;
    bool warned_ = false;
};

/// The old-value/new-value box; true when accepted, `value` then holds the new text.
bool valueBox(QWidget* owner, const QString& caption, QString& value,
              const QPoint* centre = nullptr);

} // namespace kv::ui
