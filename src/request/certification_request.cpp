#include "request/certification_request.h"

#include "toolkit/rsa_public_key.h"
#include "toolkit/status.h"

namespace qe {

int BuildCertificationRequest(const RequestContent& content, const DigestInfoSigner& sign,
                              Bytes& der) {
    X509ReqPtr request(X509_REQ_new());
    if (!request) {
        return kToolkitNoMemory;
    }
    X509NamePtr subject;
    if (int rc = BuildSubjectName(content.subject, subject); rc != 0) {
        return rc;
    }
    const PkeyPtr publicKey = RsaPublicKey(content.modulus, content.publicExponent);
    if (!publicKey || X509_REQ_set_version(request.get(), 0) != 1 ||
        X509_REQ_set_subject_name(request.get(), subject.get()) != 1 ||
        X509_REQ_set_pubkey(request.get(), publicKey.get()) != 1) {
        return kToolkitEncodeError;
    }
    if (content.extensions != nullptr) {
        if (int rc = AddSubjectAltNameRequest(request.get(), content.extensions->altNames);
            rc != 0) {
            return rc;
        }
    }

    OpenSslPtr<X509_ALGOR, X509_ALGOR_free> algorithm(X509_ALGOR_new());
    if (!algorithm ||
        X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256WithRSAEncryption), V_ASN1_NULL,
                        nullptr) != 1 ||
        X509_REQ_set1_signature_algo(request.get(), algorithm.get()) != 1) {
        return kToolkitEncodeError;
    }

    unsigned char* info = nullptr;
    const int infoSize = i2d_re_X509_REQ_tbs(request.get(), &info);
    if (infoSize <= 0) {
        return kToolkitEncodeError;
    }
    const Bytes requestInfo(info, info + infoSize);
    OPENSSL_free(info);

    Bytes signature;
    if (int rc = sign(Sha256DigestInfo(requestInfo), signature); rc != 0) {
        return rc;
    }
    OpenSslPtr<ASN1_BIT_STRING, ASN1_BIT_STRING_free> bits(ASN1_BIT_STRING_new());
    if (!bits || ASN1_BIT_STRING_set(bits.get(), signature.data(),
                                     static_cast<int>(signature.size())) != 1) {
        return kToolkitNoMemory;
    }
    // A signature has no unused bits; without the flag the encoder would drop trailing zeros.
    bits->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
    bits->flags |= ASN1_STRING_FLAG_BITS_LEFT;
    X509_REQ_set0_signature(request.get(), bits.release());

    unsigned char* out = nullptr;
    const int size = i2d_X509_REQ(request.get(), &out);
    if (size <= 0) {
        return kToolkitEncodeError;
    }
    der.assign(out, out + size);
    OPENSSL_free(out);
    return 0;
}

}  // namespace qe
