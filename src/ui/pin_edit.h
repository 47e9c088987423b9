#pragma once

#include <cstddef>

#include <QLineEdit>

#include "toolkit/secret.h"

namespace qe {

// The PIN field: each key typed goes straight into a Secret, and the line edit underneath only
// ever holds one '*' per character, so its undo history, its text and what a screen reader reads
// never hold the PIN. Backspace takes the last character back; keys that type nothing printable
// (Enter, Escape, shortcuts such as paste or undo) are left to the dialog. No input method, no
// mouse editing, no context menu, no drag and drop. Text set from outside (a screen reader or
// other assistive tool, through the accessibility interface) becomes the PIN, as if typed; added
// after the shown characters, it is added to the PIN. Keeps at most `maxBytes` bytes of UTF-8: a
// character that would not fit whole is not taken.
class CPinEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit CPinEdit(std::size_t maxBytes, QWidget* parent = nullptr);

    // Hands the PIN over and leaves the field empty.
    Secret Take();
    // Wipes the PIN and empties the field.
    void Clear();
    // The PIN's length in bytes, as tokens count it, and whether another field holds the same.
    std::size_t Size() const { return pin_.size(); }
    bool SamePin(const CPinEdit& other) const { return pin_.view() == other.pin_.view(); }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent*) override {}
    void mousePressEvent(QMouseEvent*) override {}
    void mouseMoveEvent(QMouseEvent*) override {}
    void mouseReleaseEvent(QMouseEvent*) override {}  // no paste of the selection either
    void mouseDoubleClickEvent(QMouseEvent*) override {}
    void contextMenuEvent(QContextMenuEvent*) override {}
    void dragEnterEvent(QDragEnterEvent*) override {}
    void dropEvent(QDropEvent*) override {}

private:
    std::size_t CharacterCount() const;
    void ShowCharacters();
    void Append(const QString& text);
    void TakeTextSetFromOutside(const QString& text);

    std::size_t maxBytes_;
    Secret pin_;
    bool showing_ = false;  // the field's text is being set to the PIN's characters
};

}  // namespace qe
