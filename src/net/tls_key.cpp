// OpenSSL 3 still routes an RSA key with its own RSA_METHOD through the method's private
// operations, which is all a key held on a token needs; the method API is deprecated but kept.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "net/tls_key.h"

#include <cstring>
#include <mutex>

#include <openssl/err.h>
#include <openssl/rsa.h>

namespace qe {
namespace {

// OpenSSL numbers ex-data slots for the whole process: the slot is taken once.
int CertificateIndex() {
    static const int index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// TLS 1.2 PKCS#1 v1.5 signatures arrive as a DigestInfo with PKCS#1 padding to apply; RSA-PSS
// arrives already padded, to be raised to the private exponent as it is.
int PrivateEncrypt(int size, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    auto* certificate = static_cast<ClientCertificate*>(RSA_get_ex_data(rsa, CertificateIndex()));
    if (certificate == nullptr || size < 0) {
        return -1;
    }
    const Bytes input(from, from + size);
    Bytes signature;
    int rc = -1;
    // The token's library may use OpenSSL too (loading engines, say) and leave entries on this
    // thread's queue; inside the handshake they stall it and pass for its own failure.
    ERR_set_mark();
    if (padding == RSA_PKCS1_PADDING) {
        rc = certificate->SignDigestInfo(input, signature);
    } else if (padding == RSA_NO_PADDING) {
        rc = certificate->SignRaw(input, signature);
    }
    ERR_pop_to_mark();
    const int modulusSize = RSA_size(rsa);
    if (rc != 0 || signature.size() > static_cast<std::size_t>(modulusSize)) {
        ERR_raise_data(ERR_LIB_RSA, ERR_R_OPERATION_FAIL, "token signature failed: %d", rc);
        return -1;
    }
    // A token may drop leading zero octets; the signature is as long as the modulus.
    const std::size_t pad = static_cast<std::size_t>(modulusSize) - signature.size();
    std::memset(to, 0, pad);
    std::memcpy(to + pad, signature.data(), signature.size());
    return modulusSize;
}

// Keys refer to their method for as long as they live: one method serves the process.
const RSA_METHOD* TokenMethod() {
    static RSA_METHOD* method = [] {
        RSA_METHOD* m = RSA_meth_dup(RSA_get_default_method());
        if (m != nullptr) {
            RSA_meth_set1_name(m, "quorvane token key");
            RSA_meth_set_priv_enc(m, PrivateEncrypt);
            RSA_meth_set_priv_dec(m, [](int, const unsigned char*, unsigned char*, RSA*, int) {
                return -1;  // a client key only signs
            });
        }
        return m;
    }();
    return method;
}

}  // namespace

PkeyPtr MakeTlsClientKey(ClientCertificate& certificate, const X509* x509) {
    const EVP_PKEY* publicKey = X509_get0_pubkey(x509);
    const RSA* publicRsa = publicKey != nullptr ? EVP_PKEY_get0_RSA(publicKey) : nullptr;
    if (publicRsa == nullptr || TokenMethod() == nullptr) {
        return nullptr;
    }
    RSA* rsa = RSA_new();
    if (rsa == nullptr) {
        return nullptr;
    }
    BIGNUM* n = BN_dup(RSA_get0_n(publicRsa));
    BIGNUM* e = BN_dup(RSA_get0_e(publicRsa));
    PkeyPtr key(EVP_PKEY_new());
    if (n == nullptr || e == nullptr || RSA_set0_key(rsa, n, e, nullptr) != 1) {
        BN_free(n);
        BN_free(e);
        RSA_free(rsa);
        return nullptr;
    }
    if (!key || RSA_set_method(rsa, TokenMethod()) != 1 ||
        RSA_set_ex_data(rsa, CertificateIndex(), &certificate) != 1 ||
        EVP_PKEY_assign_RSA(key.get(), rsa) != 1) {
        RSA_free(rsa);
        return nullptr;
    }
    return key;
}

}  // namespace qe
