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
    connect(this, &QLineEdit::textChanged, this, &CPinEdit::TakeTextSetFromOutside);
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
    Append(text);
}

void CPinEdit::Append(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    std::size_t size = 0;
    // Whole characters only, as many as fit.
    for (std::size_t i = 0; i <= static_cast<std::size_t>(utf8.size()); ++i) {
        const bool boundary = i == static_cast<std::size_t>(utf8.size()) ||
                              !Continues(utf8[static_cast<qsizetype>(i)]);
        if (boundary && pin_.size() + i <= maxBytes_) {
            size = i;
        }
    }
    pin_.Append(std::string_view(utf8.constData(), size));
    Wipe(utf8.data(), static_cast<std::size_t>(utf8.size()));
    ShowCharacters();
}

void CPinEdit::TakeTextSetFromOutside(const QString& text) {
    if (showing_) {
        return;
    }
    QString copy = text;
    copy.removeIf([](QChar c) { return !c.isPrint(); });  // what no key types
    const QString shown = QString(static_cast<qsizetype>(CharacterCount()), QLatin1Char('*'));
    if (!shown.isEmpty() && copy.startsWith(shown)) {
        copy.remove(0, shown.size());
    } else {
        pin_.Clear();
    }
    Append(copy);
    std::fill(copy.begin(), copy.end(), QChar(0));
}

std::size_t CPinEdit::CharacterCount() const {
    return static_cast<std::size_t>(std::count_if(pin_.view().begin(), pin_.view().end(),
                                                  [](char byte) { return !Continues(byte); }));
}

void CPinEdit::ShowCharacters() {
    showing_ = true;
    setText(QString(static_cast<qsizetype>(CharacterCount()), QLatin1Char('*')));
    showing_ = false;
}

}  // namespace qe
