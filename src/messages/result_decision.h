#pragma once

#include <string>

#include "toolkit/error_id.h"

namespace qe {

// Message-box flags and results, with the values the wizard's callers pass and test.
inline constexpr unsigned kBoxOk = 0;
inline constexpr unsigned kBoxRetryCancel = 5;
inline constexpr unsigned kBoxIconHand = 16;
inline constexpr unsigned kBoxIconAsterisk = 64;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdRetry = 4;

// What ShowResult puts in front of the user for the outcome of a command.
struct ResultDecision {
    enum class Kind {
        Nothing,                // return kIdOk without showing anything
        MessageBox,             // text, caption, flags (Retry/Cancel relabelled)
        OldDriverAlert,         // rich-text alert, one button
        TokenRestrictionAlert,  // rich-text alert whose button opens `link` and ends the program
    };
    Kind kind = Kind::Nothing;
    std::wstring text;
    std::wstring caption;
    std::wstring buttonText;      // the alerts' single button
    unsigned flags = 0;           // message box only
    std::string link;             // token-restriction alert only
    bool clearCachedPin = false;  // wrong PIN, token gone: the next token operation asks again
    // The box asks for the token (to insert it, or to free it from another program): a token
    // appearing while it is open presses its Retry.
    bool waitsForToken = false;
};

// The decision part of ShowResult: identifier, success text number (0 for none) and the caller's
// box flags, with the server's last message (for 10) and the token hash of the last status check
// (for the rekey link of 14).
ResultDecision DecideResult(ErrorId id, int successText, unsigned boxFlags,
                            const std::wstring& serverMessage, const std::string& tokenHash);

}  // namespace qe
