#include "request/cert_names.h"

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "log/enroll_log.h"
#include "toolkit/openssl_ptr.h"
#include "toolkit/utf8.h"

namespace qe {
namespace {

X509Ptr ParseCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (certificate && p != der.data() + der.size()) {
        certificate.reset();  // trailing bytes: not one certificate
    }
    return certificate;
}

std::string DottedOid(const ASN1_OBJECT* object) {
    char buffer[128] = {};
    const int n = OBJ_obj2txt(buffer, sizeof buffer, object, 1);
    return n > 0 && static_cast<std::size_t>(n) < sizeof buffer ? std::string(buffer, n)
                                                                : std::string();
}

// The value as text when it is a string type, else "#" and the hex of its DER.
std::string ValueText(const X509_NAME_ENTRY* entry) {
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (n >= 0) {
        std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(n));
        OPENSSL_free(utf8);
        return text;
    }
    OpenSslPtr<ASN1_TYPE, ASN1_TYPE_free> type(ASN1_TYPE_new());
    if (!type || ASN1_TYPE_set1(type.get(), ASN1_STRING_type(data), data) != 1) {
        return "#";
    }
    unsigned char* der = nullptr;
    const int length = i2d_ASN1_TYPE(type.get(), &der);
    if (length <= 0) {
        return "#";
    }
    std::string hex = "#" + ToHexUpper(der, static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return hex;
}

std::string LocaleText(const ASN1_IA5STRING* text) {
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                       static_cast<std::size_t>(ASN1_STRING_length(text)));
}

}  // namespace

std::wstring BuildDNFromCertificate(const Bytes& certificateDer) {
    LogTag tag("BuildDNFromCertificate");
    Log().Write("BuildDNFromCertificate");
    const X509Ptr certificate = ParseCertificate(certificateDer);
    if (!certificate) {
        return {};
    }
    const X509_NAME* subject = X509_get_subject_name(certificate.get());
    const int count = X509_NAME_entry_count(subject);
    // Group the entries into their RDNs, then write the RDNs last to first.
    std::vector<std::string> rdns;
    int currentSet = -1;
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, i);
        const std::string ava =
            DottedOid(X509_NAME_ENTRY_get_object(entry)) + "=" + ValueText(entry);
        if (X509_NAME_ENTRY_set(entry) == currentSet && !rdns.empty()) {
            rdns.back() += " + " + ava;
        } else {
            rdns.push_back(ava);
            currentSet = X509_NAME_ENTRY_set(entry);
        }
    }
    std::string text;
    for (auto it = rdns.rbegin(); it != rdns.rend(); ++it) {
        if (!text.empty()) {
            text += "\r\n";
        }
        text += *it;
    }
    return Utf8ToWide(text).value_or(std::wstring());
}

RequestedExtensions GetSubjectAlternativeNames(const Bytes& certificateDer) {
    LogTag tag("GetSubjectAlternativeNames");
    Log().Write("GetSubjectAlternativeNames");
    RequestedExtensions extensions;
    const X509Ptr certificate = ParseCertificate(certificateDer);
    if (!certificate) {
        return extensions;
    }
    int critical = 0;
    GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate.get(), NID_subject_alt_name, &critical, nullptr)));
    if (!names) {
        return extensions;
    }
    AltNames& alt = extensions.altNames;
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        switch (name->type) {
            case GEN_DNS:
                alt.dnsNames = LocaleText(name->d.dNSName);
                break;
            case GEN_EMAIL:
                alt.rfc822Names = LocaleText(name->d.rfc822Name);
                break;
            case GEN_OTHERNAME: {
                const OTHERNAME* other = name->d.otherName;
                unsigned char* der = nullptr;
                const int length = i2d_ASN1_TYPE(other->value, &der);
                if (length <= 0) {
                    break;
                }
                alt.otherNameOid = DottedOid(other->type_id);
                alt.otherNameValue.assign(der, der + length);
                OPENSSL_free(der);
                break;
            }
            default:
                break;
        }
    }
    return extensions;
}

}  // namespace qe
