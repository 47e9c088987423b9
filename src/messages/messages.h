#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "toolkit/error_id.h"

namespace qe {

// The Romanian string table, looked up by the numbers the wizard's screens and messages use.
// Returns an empty view for a number without an entry.
std::wstring_view LoadString(int number);

// String 150: the old-driver alert (rich text) with the support page address of this build.
std::wstring OldDriverText();

// The text shown for an error identifier: the server's message for 10 when it has one, the rich
// texts 148 and 150 for 14 and 16, the generic text for identifiers without an entry.
std::wstring ErrorText(ErrorId id, const std::wstring& serverMessage = {});

// The work modes of the main window, each with its table of step texts.
enum class WorkMode : int { StatusCheck = 0, RequestGeneration = 1, Download = 2 };

// String numbers of the step texts of a mode, in the order the flow shows them.
std::span<const int> StepTextNumbers(WorkMode mode);
// Entry `step` of the mode's table; empty past its end.
std::wstring_view StepText(WorkMode mode, int step);

}  // namespace qe
