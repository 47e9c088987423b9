#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <openssl/x509v3.h>

#include "toolkit/openssl_ptr.h"

namespace qe::sim {

// A certification request the authority accepted.
struct CheckedRequest {
    X509ReqPtr request;
    PkeyPtr publicKey;
    GeneralNamesPtr altNames;  // the requested subjectAltName; nothing when it asks for none
};

// Reads and checks an uploaded PKCS#10 request (PEM text, CR LF or LF line ends): version 1,
// signed with sha256WithRSAEncryption, the signature valid for its own key, an RSA key of one of
// the `offeredKeySizes`, a key other than that of `renewedCertificate` (may be null), a subject
// unless `subjectFromFields`, a readable subjectAltName when it asks for one.
// Returns the empty text with `out` filled, or the refusal as a Romanian sentence for the
// customer.
std::string CheckRequest(std::string_view pem, const std::vector<int>& offeredKeySizes,
                         X509* renewedCertificate, bool subjectFromFields, CheckedRequest& out);

}  // namespace qe::sim
