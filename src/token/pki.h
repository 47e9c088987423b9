#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "token/open_token.h"
#include "token/pkcs11_module.h"
#include "token/token_status.h"
#include "token/token_step.h"
#include "token/zel_token.h"
#include "toolkit/bytes.h"
#include "toolkit/secret.h"

namespace qe {

// The token operations of one step (NoStep outside the customer's). Every operation gets what it
// needs as arguments and runs one self-contained PKCS#11 cycle of the step (load, initialise, find
// the slot, open a session, log in, work, log out, close, finalise, unload), cleaning up on every
// path. Results are PKCS#11 CK_RV values passed through unchanged plus the codes of
// token/token_status.h and token/pkcs11_module.h.
class CPKI {
public:
    explicit CPKI(TokenStep& step) : step_(step) {}

    // Loads one library by its stored name and fetches its function list. Returns 0,
    // kModuleNotLoaded (7), kNoFunctionList (84) or the result of C_GetFunctionList.
    CK_RV LoadModule(const std::string& name, Pkcs11Module& module);

    // Appends one record per distinct token of the libraries, in list order. Libraries that fail
    // to load, initialise or list slots are skipped, as are slots whose information cannot be
    // read, slots whose description a record already has (the first library serving a reader
    // keeps it), tokens that were never initialised and tokens that refuse a read-write session.
    void ListTokens(const std::vector<std::string>& modules, std::vector<zel_token>& tokens);

    // Runs the whole discovery over the module list (CReg). Returns 0 with `token` filled when
    // exactly one token is present, TOKEN_NONE (30467), TOKEN_MULTIPLE (30465), or TOKEN_SLOTS
    // when they are all one library's with one serial number (one card, several slots).
    CK_RV SelectToken(zel_token& token);

    // Reloads the record's library, initialises it and finds the listed token again: the present
    // slot with the record's slot ID, holding a token with the record's serial number. Returns 0
    // with `opened` holding library, slot list and slot ID; 224 (CKR_TOKEN_NOT_PRESENT) when that
    // slot is gone or holds another token; otherwise the failing call's CK_RV
    // (CKR_CRYPTOKI_ALREADY_INITIALIZED included). `opened` cleans up when it goes.
    CK_RV OpenListedToken(const zel_token& token, OpenedToken& opened);

    // The product name of the token's vendor hardware-feature object, "N/A" when the token has
    // none or it cannot be read.
    std::string ReadProductName(const zel_token& token);

    // Whether the token has a logged-in read-write user session. Returns the CK_RV of the first
    // failing step (with `loggedIn` false) or 0.
    CK_RV IsLoggedIn(const zel_token& token, bool& loggedIn);

    // Writes the certificate to the listed token (found again as OpenListedToken does: same
    // library, slot and serial number, never another token with the same label), relabels the
    // key pair with the certificate's public key to the certificate's label and key identifier,
    // and replaces the certificates of the same issuer and serial number: the new one is written
    // first and the older ones destroyed after it; a token that refuses the duplicate gets them
    // destroyed first and written back when the write still fails. Returns 0 only when
    // C_CreateObject answered CKR_OK or the certificate is found on the token afterwards;
    // otherwise the result of C_CreateObject; earlier failures: their CK_RV, 224 when the token
    // is not there, kToolkitDecodeError when the certificate cannot be parsed.
    CK_RV InstallCertificate(const zel_token& token, const Secret& pin,
                             const Bytes& certificateDer);

    // Destroys every X.509 certificate object of the token whose value equals the DER exactly.
    // Returns 0 (also when none matches), 224 when the token is not present, kTokenObjectKept
    // when a search afterwards still finds it, or the failing call's CK_RV.
    CK_RV RemoveCertificate(const zel_token& token, const Secret& pin, const Bytes& certificateDer);

private:
    TokenStep& step_;
};

}  // namespace qe
