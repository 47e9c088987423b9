#pragma once

#include <string>

#include "toolkit/bytes.h"

namespace qe {

// A PKCS#10 request in PEM with CR LF after every line: the header, the DER in Base64 lines of 64
// characters (the last one too), the footer.
std::string CertificateRequestPem(const Bytes& der);

}  // namespace qe
