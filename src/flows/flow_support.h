#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <p11-kit/pkcs11.h>

#include "flows/window_port.h"
#include "toolkit/bytes.h"

namespace qe {

// The common failure path of a flow step: the failure logger, then the progress bar frozen where
// it stands. The caller pops its log tag (a LogTag does) and returns the identifier.
void FailStep(WindowPort& port);

// What the customer is told when the token selection found no token or more than one. With no
// token, the card service tells a card held by another program, a card no library shows, an empty
// reader and a card service that stopped apart.
ErrorId SelectionErrorId(CK_RV rv);

// A step's token failure (no token, a device error, a driver or key generation failure, a login
// refused without a word on the PIN) as the card service explains it once the step has let go of
// the token: another program holds the card, no reader holds one (pulled out mid-step), or the
// service itself stopped. Any other identifier, and any failure the service cannot explain, is
// returned as it is.
ErrorId ExplainTokenFailure(ErrorId id);

// A certificate's serial number as the server knows it: the octets of the DER INTEGER, most
// significant first, two lower-case hex digits each (a leading 00 kept). Empty for bytes that are
// not a certificate.
std::string SerialNumberText(const Bytes& certificateDer);

// The DER of a certificate's issuer name; empty for bytes that are not a certificate.
Bytes IssuerNameDer(const Bytes& certificateDer);

// Where `now` stands in a certificate's validity: before its start, within, or past its end.
// Bytes that are not a certificate read as expired.
enum class CertificateDates { NotYetValid, Current, Expired };
CertificateDates DatesAt(const Bytes& certificateDer, std::time_t now);

// For certificates expired at `now`: 47 when one of them is still within its dates by the
// authority's clock (this computer's less `authorityOffset` behind), so the clock is to blame;
// otherwise, or with no offset known, 35.
ErrorId ExpiryErrorId(const std::vector<Bytes>& certificates, std::time_t now,
                      std::optional<std::time_t> authorityOffset);

// A DER distinguished name as "CN=..., O=..., C=..." (last RDN first), at most 259 bytes, for
// the log.
std::string NameText(const Bytes& nameDer);

}  // namespace qe
