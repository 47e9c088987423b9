#pragma once

#include <vector>

#include "toolkit/bytes.h"

namespace qe {

// The certificates of every token present, read without login; tokens that cannot be read add
// nothing.
std::vector<Bytes> CertificatesOnTokens();

// The issuers the rekey host names in its handshake, asked without a client certificate (so no
// PIN); empty when it cannot be reached.
std::vector<Bytes> AskIssuers();

}  // namespace qe
