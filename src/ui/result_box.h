#pragma once

#include <QMessageBox>

#include "messages/result_decision.h"

namespace qe {

// The message box of ShowResult: the decision's text and caption, the icon of its flags (16 hand,
// 64 asterisk), and its buttons: OK, or Retry/Cancel relabelled "Reîncearcă"/"Renunță". Not shown
// yet; the caller opens it.
QMessageBox* NewResultBox(const ResultDecision& decision, QWidget* owner);

// A question with the buttons "Da" and "Nu", caption string 111; "Nu" has the focus and
// Escape gives it, so a key meant for an earlier screen cannot say yes. Finishes with
// QMessageBox::Yes or No. Not shown yet; the caller opens it.
QMessageBox* NewQuestionBox(const QString& text, QWidget* owner);

// What a screen reader and the keyboard need of a box: its icon named, its OK button with a
// mnemonic. NewResultBox and NewQuestionBox do it; a box made elsewhere calls it once its icon and
// buttons are set.
void MakeBoxAccessible(QMessageBox* box);

// The box's answer as the callers know it: 1 OK, 2 Cancel, 4 Retry, from the value the box
// finished with.
int ResultBoxAnswer(int finishedWith);

}  // namespace qe
