#pragma once

#include "net/client_certificate.h"
#include "toolkit/openssl_ptr.h"

namespace qe {

// An OpenSSL RSA key with the certificate's public half whose private operations go to
// `certificate` (the key never exists in software). Null when the certificate is not an RSA
// certificate. The key refers to `certificate`, which must outlive it.
PkeyPtr MakeTlsClientKey(ClientCertificate& certificate, const X509* x509);

}  // namespace qe
