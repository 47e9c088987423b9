#pragma once

#include <string>

#include <QString>

#include "messages/messages.h"

namespace qe {

// Catalogue string `number` as the widgets take it.
inline QString UiText(int number) {
    return QString::fromStdWString(std::wstring(LoadString(number)));
}

}  // namespace qe
