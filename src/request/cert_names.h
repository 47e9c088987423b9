#pragma once

#include <string>

#include "request/alt_names.h"
#include "toolkit/bytes.h"

namespace qe {

// The subject of a certificate (DER) as "OID=value" lines separated by CR LF, the relative
// distinguished names in the reverse of their encoded order, values unquoted (several values of
// one RDN joined by " + "; a value that is not a string as "#" and the hex of its DER). Empty
// when the bytes are not a certificate. Logs "BuildDNFromCertificate" first.
std::wstring BuildDNFromCertificate(const Bytes& certificateDer);

// The alternative names of a certificate (DER): a later entry of a kind replaces an earlier one;
// otherName keeps its OID and encoded value. The record exists (empty) when the certificate has
// no alternative names or the bytes are not a certificate. Logs "GetSubjectAlternativeNames".
RequestedExtensions GetSubjectAlternativeNames(const Bytes& certificateDer);

}  // namespace qe
