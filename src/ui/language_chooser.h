#pragma once
// The language chooser: one row per offered language (its "please choose" prompt and a button
// with its name) and a button that picks a strings file. User-interface thread.
#include <string>
#include <string_view>
#include <vector>

#include "ui/dialog.h"

namespace kv::ui {

class LanguageChooser : public Dialog {
    Q_OBJECT
  public:
    /// `offeredCodes`: comma-separated language codes ("DE,EN,ES,FR,JA,RU"), in row order.
    LanguageChooser(QWidget* owner, std::string_view offeredCodes);
    /// The language buttons in row order with their ids (100 + language index).
    const std::vector<std::pair<int, OwnerButton*>>& languageButtons() const { return buttons_; }
    QPushButton* fileButton() const { return fileButton_; }
    /// The language chosen (0..15, 1000 for a strings file), or −1 while none is.
    int chosenLanguage() const { return chosen_; }
    /// The strings file chosen (stored form), with chosenLanguage() 1000.
    const std::string& stringsFile() const { return stringsFile_; }
    /// Takes `path` as the strings file when it is a file; false (the dialog stays) otherwise.
    bool chooseFile(const QString& path);

  private:
    std::vector<std::pair<int, OwnerButton*>> buttons_;
    QPushButton* fileButton_ = nullptr;
    int chosen_ = -1;
    std::string stringsFile_;
};

/// Shows the chooser over `owner` (or centred on the desktop); a choice becomes the current
/// language (and strings file). The current language is loaded afterwards, also when it did not
/// change. Returns the language chosen, or −1 when the dialog was closed without a choice.
int chooseLanguage(QWidget* owner, std::string_view offeredCodes);

} // namespace kv::ui
