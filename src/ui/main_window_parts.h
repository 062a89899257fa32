#pragma once
// What the main window's files share: the web site's pages and small text helpers.
// User-interface thread.
#include <QString>
#include <QStringList>
#include <string>

namespace kv::ui {

// Pages of the product's web site.
inline constexpr const char* kHelpCentreUrl = "https://kalvitrope.org/help/";
inline constexpr const char* kForumUrl = "https://kalvitrope.org/forum/";
inline constexpr const char* kTutorialsUrl = "https://kalvitrope.org/tutorials/";
inline constexpr const char* kSharingUrl = "https://kalvitrope.org/configurations/";

/// A "Text (*.x)|*.x|All (*.*)|*.*||" filter as a file-dialog filter.
inline QString fileFilter(const QString& pipes) {
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

inline QString fromStd(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace kv::ui
