#include "request/alt_names.h"

#include <openssl/x509v3.h>

#include "toolkit/der.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/status.h"

namespace qe {
namespace {

struct ExtensionStackFree {
    void operator()(STACK_OF(X509_EXTENSION) * s) const {
        sk_X509_EXTENSION_pop_free(s, X509_EXTENSION_free);
    }
};
using ExtensionStackPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), ExtensionStackFree>;

// The encoded value an otherName of this OID carries in the request, or none for other OIDs.
std::optional<Bytes> OtherNameEncoding(const std::string& oid, const Bytes& value) {
    if (oid == kUpnOid) {
        return value;
    }
    if (oid == kObjectGuidOid) {
        return DerEncode(0x04, value);  // DER OCTET STRING around the bytes
    }
    return std::nullopt;
}

int AddOtherName(GENERAL_NAMES* names, const std::string& oid, const Bytes& encoded) {
    const unsigned char* p = encoded.data();
    OpenSslPtr<ASN1_TYPE, ASN1_TYPE_free> value(
        d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(encoded.size())));
    if (!value || p != encoded.data() + encoded.size()) {
        return kToolkitDecodeError;
    }
    Asn1ObjectPtr object(OBJ_txt2obj(oid.c_str(), 1));
    OpenSslPtr<GENERAL_NAME, GENERAL_NAME_free> name(GENERAL_NAME_new());
    if (!object || !name ||
        GENERAL_NAME_set0_othername(name.get(), object.get(), value.get()) != 1) {
        return kToolkitNoMemory;
    }
    object.release();
    value.release();
    if (sk_GENERAL_NAME_push(names, name.get()) == 0) {
        return kToolkitNoMemory;
    }
    name.release();
    return 0;
}

int AddStringNames(GENERAL_NAMES* names, int type, const std::string& list) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t end = list.find(';', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string piece = list.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) {
            continue;
        }
        OpenSslPtr<GENERAL_NAME, GENERAL_NAME_free> name(GENERAL_NAME_new());
        OpenSslPtr<ASN1_IA5STRING, ASN1_IA5STRING_free> text(ASN1_IA5STRING_new());
        if (!name || !text ||
            ASN1_STRING_set(text.get(), piece.data(), static_cast<int>(piece.size())) != 1) {
            return kToolkitNoMemory;
        }
        GENERAL_NAME_set0_value(name.get(), type, text.release());
        if (sk_GENERAL_NAME_push(names, name.get()) == 0) {
            return kToolkitNoMemory;
        }
        name.release();
    }
    return 0;
}

}  // namespace

int AddSubjectAltNameRequest(X509_REQ* request, const AltNames& altNames) {
    GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
    if (!names) {
        return kToolkitNoMemory;
    }
    if (altNames.otherNameOid) {
        if (const auto encoded =
                OtherNameEncoding(*altNames.otherNameOid, altNames.otherNameValue)) {
            if (int rc = AddOtherName(names.get(), *altNames.otherNameOid, *encoded); rc != 0) {
                return rc;
            }
        }
    }
    if (int rc = AddStringNames(names.get(), GEN_EMAIL, altNames.rfc822Names); rc != 0) {
        return rc;
    }
    if (int rc = AddStringNames(names.get(), GEN_DNS, altNames.dnsNames); rc != 0) {
        return rc;
    }
    if (sk_GENERAL_NAME_num(names.get()) == 0) {
        return 0;
    }
    STACK_OF(X509_EXTENSION)* raw = nullptr;
    ExtensionStackPtr extensions;
    if (X509V3_add1_i2d(&raw, NID_subject_alt_name, names.get(), altNames.critical ? 1 : 0,
                        X509V3_ADD_APPEND) != 1) {
        sk_X509_EXTENSION_pop_free(raw, X509_EXTENSION_free);
        return kToolkitNoMemory;
    }
    extensions.reset(raw);
    return X509_REQ_add_extensions(request, extensions.get()) == 1 ? 0 : kToolkitNoMemory;
}

}  // namespace qe
