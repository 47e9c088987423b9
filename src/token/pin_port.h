#pragma once

#include <atomic>
#include <string>
#include <utility>

#include <p11-kit/pkcs11.h>

#include "toolkit/secret.h"

namespace qe {

// Not a PKCS#11 flag: asked with in place of the token's PIN flags when the token refused a PIN
// since it last accepted one but shows none of the PIN-count flags, so the dialog can say that
// the tries left are unknown. Above every flag PKCS#11 defines for a token.
inline constexpr CK_FLAGS kPinTriesUnknown = CK_FLAGS{1} << 31;
// Not a PKCS#11 flag either: the reader's keypad is asked for a PIN change (the current PIN, then
// the new one), not for a login.
inline constexpr CK_FLAGS kPinChangeOnReader = CK_FLAGS{1} << 30;

// The window side of the PIN: the PIN cached for this run and the dialog that asks for it. The
// main window implements it; workers call it, and AskPin blocks the calling worker (never the
// window) until the dialog has ended.
class PinPort {
public:
    virtual ~PinPort() = default;

    // A copy of the PIN cached for this run; empty when none is known yet.
    virtual Secret CachedPin() = 0;
    // Shows the PIN dialog on the window's thread and waits for it to end. An accepted dialog
    // replaces the cached PIN; a cancelled one leaves it as it was.
    virtual void AskPin() = 0;
    // The same, with the token's PIN flags (CKF_USER_PIN_COUNT_LOW, _FINAL_TRY, _LOCKED, or
    // kPinTriesUnknown) so the dialog can warn; a window without warnings just asks.
    virtual void AskPinFor(CK_FLAGS tokenFlags) {
        (void)tokenFlags;
        AskPin();
    }
    // Forgets the cached PIN, so the next token operation asks again.
    virtual void ClearPin() = 0;
    // The token demands a new PIN before its key may be used: asks for it twice, between
    // `minLength` and `maxLength` characters as the token counts them, blocking the worker.
    // Empty when the customer cancelled (or the window cannot ask).
    virtual Secret AskNewPin(CK_ULONG minLength, CK_ULONG maxLength) {
        (void)minLength;
        (void)maxLength;
        return {};
    }
    // The token took `pin` as its new PIN: it replaces the cached one.
    virtual void ReplacePin(Secret pin) { (void)pin; }
    // A token that takes the PIN on its reader's keypad: the window shows that the reader waits
    // for it from ReaderLoginStarts (with warning flags as for AskPinFor) until ReaderLoginEnds.
    // Neither blocks the worker, and the customer cannot end the wait: only the reader can.
    virtual void ReaderLoginStarts(CK_FLAGS tokenFlags) { (void)tokenFlags; }
    virtual void ReaderLoginEnds() {}

    // The token the cached PIN was typed for (the PIN gate's name for it); empty when unknown.
    // Only workers use it, one at a time.
    const std::string& PinOwner() const { return pinOwner_; }
    void SetPinOwner(std::string owner) { pinOwner_ = std::move(owner); }
    // The token and certificates the last status check found (the PIN gate's form).
    const std::string& SeenToken() const { return seenToken_; }
    void SetSeenToken(std::string seen) { seenToken_ = std::move(seen); }
    // Whether the last login that met a PIN check was refused: the dialog's warning for tokens
    // that keep no count of the tries. Kept for the run, across steps.
    bool PinRefused() const { return pinRefused_.load(); }
    void SetPinRefused(bool refused) { pinRefused_.store(refused); }

private:
    std::string pinOwner_;
    std::string seenToken_;
    std::atomic<bool> pinRefused_{false};
};

// The short form used by the download and installation flows: ask only when no PIN is cached,
// then hand back the cached PIN (empty when the user cancelled). No login test.
inline Secret ObtainPin(PinPort& port, CK_FLAGS tokenFlags = 0) {
    Secret pin = port.CachedPin();
    if (pin.empty()) {
        port.AskPinFor(tokenFlags);
        pin = port.CachedPin();
    }
    return pin;
}

}  // namespace qe
