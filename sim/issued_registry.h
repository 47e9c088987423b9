#pragma once

#include <string>

#include "toolkit/openssl_ptr.h"

namespace qe::sim {

// Every certificate the issuing CA issued, one PEM file per serial number in `stateDir`/issued.
// The serve and provision-token processes both add to it, so a file is written whole (atomically)
// and looked up when needed rather than cached.

// Records a certificate; false when it cannot be written.
bool RecordIssued(const std::string& stateDir, X509* certificate);

// The certificate with this serial (hexadecimal in either case, as SerialHex writes it), or
// nothing when the issuing CA never issued it or the text is not a serial number.
X509Ptr FindIssued(const std::string& stateDir, const std::string& serialHex);

}  // namespace qe::sim
