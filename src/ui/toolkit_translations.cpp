#include "ui/toolkit_translations.h"

#include <cstring>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace qe {
namespace {

struct Entry {
    const char* context;
    const char* source;
    const char* romanian;
};

constexpr Entry kEntries[] = {
    {"QScrollBar", "Scroll here", "Derulează aici"},
    {"QScrollBar", "Left edge", "Marginea din stânga"},
    {"QScrollBar", "Top", "Sus de tot"},
    {"QScrollBar", "Right edge", "Marginea din dreapta"},
    {"QScrollBar", "Bottom", "Jos de tot"},
    {"QScrollBar", "Page left", "O pagină la stânga"},
    {"QScrollBar", "Page up", "O pagină în sus"},
    {"QScrollBar", "Page right", "O pagină la dreapta"},
    {"QScrollBar", "Page down", "O pagină în jos"},
    {"QScrollBar", "Scroll left", "Derulează la stânga"},
    {"QScrollBar", "Scroll up", "Derulează în sus"},
    {"QScrollBar", "Scroll right", "Derulează la dreapta"},
    {"QScrollBar", "Scroll down", "Derulează în jos"},
    {"QWidgetTextControl", "&Undo", "&Anulează"},
    {"QWidgetTextControl", "&Redo", "&Refă"},
    {"QWidgetTextControl", "Cu&t", "&Taie"},
    {"QWidgetTextControl", "&Copy", "&Copiază"},
    {"QWidgetTextControl", "Copy &Link Location", "Copiază adresa &legăturii"},
    {"QWidgetTextControl", "&Paste", "&Lipește"},
    {"QWidgetTextControl", "Delete", "Șterge"},
    {"QWidgetTextControl", "Select All", "Selectează tot"},
    {"QLineEdit", "&Undo", "&Anulează"},
    {"QLineEdit", "&Redo", "&Refă"},
    {"QLineEdit", "Cu&t", "&Taie"},
    {"QLineEdit", "&Copy", "&Copiază"},
    {"QLineEdit", "&Paste", "&Lipește"},
    {"QLineEdit", "Delete", "Șterge"},
    {"QLineEdit", "Select All", "Selectează tot"},
    {"QPlatformTheme", "&Yes", "&Da"},
    {"QPlatformTheme", "&No", "&Nu"},
    {"QPlatformTheme", "Cancel", "Renunță"},
    {"QPlatformTheme", "Close", "Închide"},
    {"QPlatformTheme", "Retry", "Reîncearcă"},
    {"QPlatformTheme", "Abort", "Abandonează"},
    {"QPlatformTheme", "Ignore", "Ignoră"},
    {"QPlatformTheme", "Help", "Ajutor"},
    {"QAccessibleActionInterface", "Press", "Apasă"},
    {"QAccessibleActionInterface", "Toggle", "Comută"},
    {"QAccessibleActionInterface", "SetFocus", "Mută focalizarea aici"},
    {"QAccessibleActionInterface", "ShowMenu", "Arată meniul"},
    {"QAccessibleActionInterface", "Increase", "Mărește"},
    {"QAccessibleActionInterface", "Decrease", "Micșorează"},
    {"QAccessibleActionInterface", "Triggers the action", "Execută acțiunea"},
    {"QAccessibleActionInterface", "Toggles the state", "Schimbă starea"},
};

class ToolkitTable : public QTranslator {
public:
    using QTranslator::QTranslator;

    QString translate(const char* context, const char* source, const char*, int) const override {
        for (const Entry& entry : kEntries) {
            if (std::strcmp(entry.context, context) == 0 &&
                std::strcmp(entry.source, source) == 0) {
                return QString::fromUtf8(entry.romanian);
            }
        }
        return {};
    }
    bool isEmpty() const override { return false; }
};

}  // namespace

void InstallToolkitTranslations() {
    QCoreApplication* app = QCoreApplication::instance();
    QCoreApplication::installTranslator(new ToolkitTable(app));
    // Installed last, so asked first.
    auto* qt = new QTranslator(app);
    if (qt->load(QStringLiteral("qtbase_ro"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(qt);
    } else {
        delete qt;
    }
}

}  // namespace qe
