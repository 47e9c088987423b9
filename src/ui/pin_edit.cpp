#include "ui/pin_edit.h"

#include <algorithm>

#include <QKeyEvent>

namespace qe {
namespace {

bool Continues(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

CPinEdit::CPinEdit(std::size_t maxBytes, QWidget* parent) : QLineEdit(parent), maxBytes_(maxBytes) {
    setEchoMode(QLineEdit::Password);
    // An input method would keep what is typed in its own buffers.
    setAttribute(Qt::WA_InputMethodEnabled, false);
}

Secret CPinEdit::Take() {
    Secret pin = std::move(pin_);
    ShowCharacters();
    return pin;
}

void CPinEdit::Clear() {
    pin_.Clear();
    ShowCharacters();
}

void CPinEdit::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Backspace) {
        std::size_t size = pin_.size();
        while (size > 0 && Continues(pin_.data()[--size])) {
        }
        pin_.Truncate(size);
        ShowCharacters();
        return;
    }
    const QString text = event->text();
    if ((event->modifiers() & Qt::ControlModifier) != 0 ||
        !std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPrint(); })) {
        event->ignore();
        return;
    }
    QByteArray utf8 = text.toUtf8();
    if (pin_.size() + static_cast<std::size_t>(utf8.size()) <= maxBytes_) {
        pin_.Append(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
        ShowCharacters();
    }
    Wipe(utf8.data(), static_cast<std::size_t>(utf8.size()));
}

void CPinEdit::ShowCharacters() {
    const auto characters = std::count_if(pin_.view().begin(), pin_.view().end(),
                                          [](char byte) { return !Continues(byte); });
    setText(QString(static_cast<qsizetype>(characters), QLatin1Char('*')));
}

}  // namespace qe
