#include "request/pem.h"

#include <openssl/evp.h>

namespace qe {

std::string CertificateRequestPem(const Bytes& der) {
    std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), der.data(),
                                  static_cast<int>(der.size()));
    base64.resize(n > 0 ? static_cast<std::size_t>(n) : 0);

    std::string pem = "-----BEGIN CERTIFICATE REQUEST-----\r\n";
    for (std::size_t at = 0; at < base64.size(); at += 64) {
        pem += base64.substr(at, 64);
        pem += "\r\n";
    }
    pem += "-----END CERTIFICATE REQUEST-----\r\n";
    return pem;
}

}  // namespace qe
