#pragma once

#include <cstdint>

namespace qe {

// The outcome of every step of the wizard: 0 success, 1 a silent stop, 2..45 failures with a
// fixed text; any other value is shown with the generic text.
using ErrorId = std::int32_t;

enum : ErrorId {
    ERR_SUCCESS = 0,
    ERR_CANCELLED = 1,
    ERR_NO_TOKEN = 2,
    ERR_BAD_CERT_OR_PASSWORD = 3,
    ERR_KEYGEN_FAILED = 4,
    ERR_SEND_FAILED = 5,
    ERR_MULTIPLE_TOKENS = 6,
    ERR_CONNECTION = 7,
    ERR_TOKEN_DEVICE = 8,
    ERR_BAD_RESPONSE = 9,
    ERR_SERVER = 10,
    ERR_SERVER_CERT = 11,
    ERR_KEY_NOT_FOUND = 12,
    ERR_WRONG_PIN = 13,
    ERR_TOKEN_RESTRICTED = 14,
    ERR_TOKEN_FULL = 15,
    ERR_OLD_DRIVER = 16,
    ERR_KEYGEN_DATA = 17,
    // A token that cannot carry a renewal through, found before anything is generated or sent.
    ERR_TOKEN_NOT_INITIALISED = 18,
    ERR_PIN_NOT_SET = 19,
    ERR_PIN_LOCKED = 20,
    ERR_TOKEN_WRITE_PROTECTED = 21,
    ERR_TOKEN_NO_KEYGEN = 22,
    ERR_TOKEN_NO_DECRYPTION = 23,
    ERR_TOKEN_NO_SIGNING = 24,
    // The token made a new private key that can be read or exported; it was destroyed.
    ERR_KEY_NOT_PROTECTED = 25,
    // Key generation took the place of a certificate's key on the token; nothing was sent.
    ERR_TOKEN_REPLACED_KEY = 26,
    // The request went out and no answer came: the authority may have it; its keys were kept.
    ERR_REQUEST_UNANSWERED = 27,
    // No room on the token for the new certificate; the authority keeps it for a later download.
    ERR_NO_ROOM_FOR_CERTIFICATE = 28,
    // The token makes keys only under its administrator's (SO) login.
    ERR_KEYGEN_NEEDS_ADMIN = 29,
    // The new certificate is installed; the token said it destroyed the old one and kept it.
    ERR_OLD_CERTIFICATE_KEPT = 30,
    // The token refused the login without saying why (most likely a wrong PIN, tries uncounted).
    ERR_LOGIN_REFUSED = 31,
    // One card shown as several tokens with one serial number: what each slot holds is unknown.
    ERR_TOKEN_SLOTS = 32,
    // The declaration could not be written, so the customer could not read it: it was not offered
    // for acceptance and nothing was signed.
    ERR_DECLARATION_UNSHOWN = 33,
    // The declaration was written but its picture cannot be decoded: free space would not help.
    ERR_DECLARATION_UNREADABLE = 43,
    // The certificate is outside its dates by this computer's clock: found before any login.
    ERR_CERT_NOT_YET_VALID = 34,
    ERR_CERT_EXPIRED = 35,
    // Expired by this computer's clock only: at the authority's date (its Date header) it is not.
    ERR_CERT_EXPIRED_CLOCK = 44,
    // The server's certificate does not chain to a trusted root, or the handshake broke only
    // through the proxy: something on the way (most often a proxy or security program inspecting
    // TLS) stands in the server's place.
    ERR_TLS_INSPECTED = 36,
    // A proxy on the way asks for a user name and password, and none were given or it refused them.
    ERR_PROXY_AUTH = 37,
    // A reader holds a card that no token library of the module list shows: its software is not
    // installed.
    ERR_TOKEN_NO_SOFTWARE = 38,
    // Another program holds the card exclusively: no library reaches it until that one lets go.
    ERR_TOKEN_IN_USE = 39,
    // The token demanded a new PIN and did not take the one the customer chose.
    ERR_NEW_PIN_REFUSED = 40,
    // The key pair ledger could not be written (a full disk, a state folder that cannot be
    // written), so nothing was sent: the new key pair was destroyed by its handles.
    ERR_LEDGER_UNWRITABLE = 41,
    // The new certificate is installed; the authority's answer to its confirmation was lost (a
    // reset, a gateway's page), so whether the authority recorded it is unknown.
    ERR_INSTALLED_UNCONFIRMED = 42,
    // The token keeps its keys only in fixed places and makes new ones only with its
    // administrator's key (a PIV card): key generation refused before anything was sent.
    ERR_KEYGEN_FIXED_SLOTS = 45,
    // The computer's card service (pcscd) ran and does not answer now: no card can be reached.
    ERR_CARD_SERVICE_DOWN = 46,
};

}  // namespace qe
