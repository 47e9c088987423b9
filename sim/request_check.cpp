#include "sim/request_check.h"

#include <algorithm>

#include <openssl/pem.h>

namespace qe::sim {
namespace {

std::string SizesText(const std::vector<int>& sizes) {
    std::string text;
    for (const int size : sizes) {
        text += (text.empty() ? "" : ", ") + std::to_string(size);
    }
    return text.empty() ? "niciuna" : text;
}

// Only the subjectAltName extension is taken over from a request; a damaged one refuses it.
bool ReadAltNames(X509_REQ* request, GeneralNamesPtr& out) {
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request);
    if (extensions == nullptr) {
        return true;
    }
    bool ok = true;
    const int index = X509v3_get_ext_by_NID(extensions, NID_subject_alt_name, -1);
    if (index >= 0) {
        int critical = 0;
        out.reset(static_cast<GENERAL_NAMES*>(
            X509V3_get_d2i(extensions, NID_subject_alt_name, &critical, nullptr)));
        ok = out != nullptr;
    }
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    return ok;
}

}  // namespace

std::string CheckRequest(std::string_view pem, const std::vector<int>& offeredKeySizes,
                         X509* renewedCertificate, bool subjectFromFields, CheckedRequest& out) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    X509ReqPtr request(bio ? PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!request) {
        return "Cererea de certificat nu poate fi citită: textul primit nu este o cerere PKCS#10 "
               "în format PEM.";
    }
    if (X509_REQ_get_version(request.get()) != X509_REQ_VERSION_1) {
        return "Cererea de certificat are o versiune necunoscută.";
    }
    if (X509_REQ_get_signature_nid(request.get()) != NID_sha256WithRSAEncryption) {
        return "Cererea de certificat trebuie semnată cu algoritmul sha256WithRSAEncryption.";
    }
    PkeyPtr key(X509_REQ_get_pubkey(request.get()));
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        return "Cheia din cererea de certificat trebuie să fie o cheie RSA.";
    }
    const int bits = EVP_PKEY_get_bits(key.get());
    if (std::find(offeredKeySizes.begin(), offeredKeySizes.end(), bits) == offeredKeySizes.end()) {
        return "Cheia din cererea de certificat are " + std::to_string(bits) +
               " de biți; sunt acceptate doar cheile de " + SizesText(offeredKeySizes) +
               " de biți.";
    }
    if (X509_REQ_verify(request.get(), key.get()) != 1) {
        return "Semnătura cererii de certificat nu este validă.";
    }
    if (renewedCertificate != nullptr &&
        EVP_PKEY_eq(key.get(), X509_get0_pubkey(renewedCertificate)) == 1) {
        return "Cheia din cererea de certificat este deja certificată; este necesară o cheie nouă.";
    }
    if (!subjectFromFields &&
        X509_NAME_entry_count(X509_REQ_get_subject_name(request.get())) == 0) {
        return "Cererea de certificat nu conține numele titularului.";
    }
    GeneralNamesPtr altNames;
    if (!ReadAltNames(request.get(), altNames)) {
        return "Numele alternative din cererea de certificat nu pot fi citite.";
    }
    out.request = std::move(request);
    out.publicKey = std::move(key);
    out.altNames = std::move(altNames);
    return {};
}

}  // namespace qe::sim
