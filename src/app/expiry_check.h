#pragma once

#include <chrono>
#include <ctime>

namespace qe {

// The first argument that runs the expiry reminder instead of the wizard.
inline constexpr const char* kCheckExpiryOption = "--check-expiry";

struct ExpiryCheckSettings {
    // How long the check stays to open the renewal page when a notice's button is pressed; it
    // leaves earlier once every notice it sent is closed.
    std::chrono::milliseconds answerTime = std::chrono::minutes(30);
};

// The expiry reminder, for the timer and the session start: reads the certificates on the tokens
// present (no login, no PIN, no window), merges them into what earlier runs remembered, and sends
// each notice DueNotices gives as a desktop notification whose button opens the renewal page.
// A notice counts as sent once the notification service took it; without a session bus (the one
// announced, or the user bus in the runtime directory) none is. Needs a QCoreApplication.
// Returns 0, or 1 when the memory cannot be kept or a notice could not be sent.
int CheckExpiry(std::time_t now, const ExpiryCheckSettings& settings = {});

}  // namespace qe
