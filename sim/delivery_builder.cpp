#include "sim/delivery_builder.h"

#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "sim/der_writer.h"
#include "toolkit/der.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/secret.h"

namespace qe::sim {
namespace {

constexpr const char* kOidEnvelopedData = "1.2.840.113549.1.7.3";
constexpr const char* kOidData = "1.2.840.113549.1.7.1";
constexpr const char* kOidRsaEncryption = "1.2.840.113549.1.1.1";
constexpr const char* kOidDesEde3Cbc = "1.2.840.113549.3.7";
// Type of the key-identifier attribute; readers look only at its value.
constexpr const char* kOidKeyIdentifierAttribute = "2.25.263245774414733324332808494900643615371";

constexpr std::size_t kDes3KeyBytes = 24;
constexpr std::size_t kDes3IvBytes = 8;

Bytes ToDer(int size, const std::uint8_t* begin) {
    return size > 0 ? Bytes(begin, begin + size) : Bytes{};
}

// OpenSSL's encoder, for arcs beyond 64 bits (a UUID arc under 2.25).
Bytes OidDer(const char* dotted) {
    Asn1ObjectPtr object(OBJ_txt2obj(dotted, 1));
    unsigned char* der = nullptr;
    const int size = object ? i2d_ASN1_OBJECT(object.get(), &der) : 0;
    Bytes out = ToDer(size, der);
    OPENSSL_free(der);
    return out;
}

// A random triple-DES key with the odd parity DES keys are defined with.
bool RandomDesKey(Bytes& key) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    return ctx &&
           EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, nullptr, nullptr) == 1 &&
           EVP_CIPHER_CTX_get_key_length(ctx.get()) == static_cast<int>(key.size()) &&
           EVP_CIPHER_CTX_rand_key(ctx.get(), key.data()) == 1;
}

std::optional<Bytes> EncryptKey(EVP_PKEY* key, const Bytes& contentKey) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) {
        return std::nullopt;
    }
    std::size_t size = 0;
    if (EVP_PKEY_encrypt(ctx.get(), nullptr, &size, contentKey.data(), contentKey.size()) <= 0) {
        return std::nullopt;
    }
    Bytes out(size);
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &size, contentKey.data(), contentKey.size()) <= 0) {
        return std::nullopt;
    }
    out.resize(size);
    return out;
}

std::optional<Bytes> EncryptContent(const Bytes& plaintext, const Bytes& key, const Bytes& iv) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx ||
        EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key.data(), iv.data()) != 1) {
        return std::nullopt;
    }
    Bytes out(plaintext.size() + 8);
    int written = 0;
    int finalWritten = 0;
    if (EVP_EncryptUpdate(ctx.get(), out.data(), &written, plaintext.data(),
                          static_cast<int>(plaintext.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + written, &finalWritten) != 1) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(written + finalWritten));
    return out;
}

Bytes EncryptedContent(const Bytes& ciphertext, const DeliveryOptions& options) {
    if (options.primitiveContent) {
        return DerTlv(kTagContext0Primitive, ciphertext);
    }
    const std::size_t count = options.segments == 0 ? 1 : options.segments;
    Bytes segments;
    std::size_t offset = 0;
    for (std::size_t i = 0; i < count; ++i) {
        // Spread the remainder over the first segments so sizes differ by at most one.
        const std::size_t size =
            ciphertext.size() / count + (i < ciphertext.size() % count ? 1 : 0);
        const Bytes part(ciphertext.begin() + static_cast<std::ptrdiff_t>(offset),
                         ciphertext.begin() + static_cast<std::ptrdiff_t>(offset + size));
        const Bytes segment = DerOctetString(part);
        segments.insert(segments.end(), segment.begin(), segment.end());
        offset += size;
    }
    return DerTlv(kTagContext0, segments);
}

Bytes OriginatorInfo(const DeliveryOptions& options) {
    Bytes certificates;
    for (const Bytes& certificate : options.originatorCertificates) {
        certificates.insert(certificates.end(), certificate.begin(), certificate.end());
    }
    return DerTlv(kTagContext0, options.originatorCertificates.empty()
                                    ? Bytes{}
                                    : DerTlv(kTagContext0, certificates));
}

}  // namespace

Bytes IssuerAndSerialNumber(const X509_NAME* issuer, const ASN1_INTEGER* serial) {
    unsigned char* nameDer = nullptr;
    const int nameSize = i2d_X509_NAME(issuer, &nameDer);
    unsigned char* serialDer = nullptr;
    const int serialSize = i2d_ASN1_INTEGER(serial, &serialDer);
    Bytes out;
    if (nameSize > 0 && serialSize > 0) {
        const Bytes name = ToDer(nameSize, nameDer);
        const Bytes number = ToDer(serialSize, serialDer);
        out = DerWrap(kTagSequence, {&name, &number});
    }
    OPENSSL_free(nameDer);
    OPENSSL_free(serialDer);
    return out;
}

DeliveryRecipient RecipientFromCertificate(X509* certificate) {
    return DeliveryRecipient{X509_get0_pubkey(certificate),
                             IssuerAndSerialNumber(X509_get_issuer_name(certificate),
                                                   X509_get0_serialNumber(certificate))};
}

DeliveryRecipient RecipientFromKey(EVP_PKEY* publicKey, const X509_NAME* issuer,
                                   const ASN1_INTEGER* serial) {
    return DeliveryRecipient{publicKey, IssuerAndSerialNumber(issuer, serial)};
}

Bytes RsaModulus(const EVP_PKEY* key) {
    BIGNUM* n = nullptr;
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA ||
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) != 1) {
        return {};
    }
    BignumPtr owned(n);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
    return out;
}

std::optional<Bytes> BuildDelivery(const Bytes& plaintext, const DeliveryRecipient& recipient,
                                   const DeliveryOptions& options) {
    const Bytes modulus = RsaModulus(recipient.publicKey);
    if (modulus.empty() || recipient.identifier.empty()) {
        return std::nullopt;
    }

    Bytes contentKey(kDes3KeyBytes);
    WipeOnExit wipeKey(contentKey);
    Bytes iv(kDes3IvBytes);
    if (!RandomDesKey(contentKey) || RAND_bytes(iv.data(), static_cast<int>(iv.size())) != 1) {
        return std::nullopt;
    }
    const std::optional<Bytes> encryptedKey = EncryptKey(recipient.publicKey, contentKey);
    const std::optional<Bytes> ciphertext = EncryptContent(plaintext, contentKey, iv);
    if (!encryptedKey || !ciphertext) {
        return std::nullopt;
    }

    // KeyTransRecipientInfo
    const Bytes riVersion = DerSmallInteger(static_cast<unsigned>(options.recipientInfoVersion));
    const Bytes rsaOid = EncodeOid(kOidRsaEncryption);
    const Bytes null = DerNull();
    const Bytes keyAlgorithm = DerWrap(kTagSequence, {&rsaOid, &null});
    const Bytes encryptedKeyOctets = DerOctetString(*encryptedKey);
    const Bytes recipientInfo = DerWrap(
        kTagSequence, {&riVersion, &recipient.identifier, &keyAlgorithm, &encryptedKeyOctets});
    const Bytes recipientInfos = DerWrap(kTagSet, {&recipientInfo});

    // EncryptedContentInfo
    const Bytes dataOid = EncodeOid(kOidData);
    const Bytes desOid = EncodeOid(kOidDesEde3Cbc);
    const Bytes ivOctets = DerOctetString(iv);
    const Bytes contentAlgorithm = DerWrap(kTagSequence, {&desOid, &ivOctets});
    const Bytes content = EncryptedContent(*ciphertext, options);
    const Bytes contentInfo = DerWrap(kTagSequence, {&dataOid, &contentAlgorithm, &content});

    // unprotectedAttrs with the key identifier first
    Bytes keyId = options.keyIdentifier.value_or(modulus);
    if (options.keyIdentifierLeadingZero) {
        keyId.insert(keyId.begin(), 0x00);
    }
    const Bytes attributeType = OidDer(kOidKeyIdentifierAttribute);
    if (attributeType.empty()) {
        return std::nullopt;
    }
    const Bytes keyIdOctets = DerOctetString(keyId);
    const Bytes attributeValues = DerWrap(kTagSet, {&keyIdOctets});
    const Bytes attribute = DerWrap(kTagSequence, {&attributeType, &attributeValues});
    const Bytes unprotectedAttrs = DerWrap(kTagContext1, {&attribute});

    const Bytes version = DerSmallInteger(static_cast<unsigned>(options.envelopedDataVersion));
    Bytes enveloped;
    if (options.originatorInfo) {
        const Bytes originator = OriginatorInfo(options);
        enveloped = DerWrap(kTagSequence, {&version, &originator, &recipientInfos, &contentInfo,
                                           &unprotectedAttrs});
    } else {
        enveloped =
            DerWrap(kTagSequence, {&version, &recipientInfos, &contentInfo, &unprotectedAttrs});
    }
    const Bytes envelopedOid = EncodeOid(kOidEnvelopedData);
    const Bytes explicitContent = DerWrap(kTagContext0, {&enveloped});
    return DerWrap(kTagSequence, {&envelopedOid, &explicitContent});
}

}  // namespace qe::sim
