#pragma once

#include <string>

#include <QString>

#include "messages/messages.h"

namespace qe {

// Catalogue string `number` as the widgets take it.
inline QString UiText(int number) {
    return QString::fromStdWString(std::wstring(LoadString(number)));
}

// `text` with a mnemonic (Alt and the letter) on the first letter of `at`, or on its first
// letter when `at` is empty or not found.
inline QString WithMnemonic(QString text, const QString& at = {}) {
    text.replace(QLatin1Char('&'), QStringLiteral("&&"));
    const qsizetype where = at.isEmpty() ? 0 : text.indexOf(at);
    text.insert(where < 0 ? 0 : where, QLatin1Char('&'));
    return text;
}

}  // namespace qe
