#include "flows/flow_support.h"

#include <algorithm>

#include <openssl/x509.h>

#include "log/failure_logger.h"
#include "token/pcsc_readers.h"
#include "token/token_status.h"
#include "toolkit/der.h"
#include "toolkit/openssl_ptr.h"

namespace qe {
namespace {

X509Ptr Parse(const Bytes& der) {
    const unsigned char* p = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (certificate && p != der.data() + der.size()) {
        certificate.reset();
    }
    return certificate;
}

// What the card service tells the customer: a card held elsewhere, no card, a service that
// stopped; `present` for a card in a reader that nothing else holds, `noService` without one.
ErrorId CardServiceErrorId(ErrorId present, ErrorId noService) {
    switch (ExplainMissingToken()) {
        case MissingToken::InUse:
            return ERR_TOKEN_IN_USE;
        case MissingToken::NoCard:
            return ERR_NO_TOKEN;
        case MissingToken::ServiceStopped:
            return ERR_CARD_SERVICE_DOWN;
        case MissingToken::NoSoftware:
            return present;
        case MissingToken::NoService:
            break;
    }
    return noService;
}

}  // namespace

ErrorId SelectionErrorId(CK_RV rv) {
    if (rv == TOKEN_SLOTS) {
        return ERR_TOKEN_SLOTS;
    }
    if (rv == TOKEN_MULTIPLE) {
        return ERR_MULTIPLE_TOKENS;
    }
    return CardServiceErrorId(ERR_TOKEN_NO_SOFTWARE, ERR_NO_TOKEN);
}

ErrorId ExplainTokenFailure(ErrorId id) {
    if (id != ERR_NO_TOKEN && id != ERR_TOKEN_DEVICE && id != ERR_OLD_DRIVER &&
        id != ERR_KEYGEN_FAILED && id != ERR_LOGIN_REFUSED) {
        return id;
    }
    return CardServiceErrorId(id, id);
}

void FailStep(WindowPort& port) {
    LogFailure();
    port.FreezeProgress();
}

std::string SerialNumberText(const Bytes& certificateDer) {
    const X509Ptr certificate = Parse(certificateDer);
    if (!certificate) {
        return {};
    }
    unsigned char* der = nullptr;
    const int size = i2d_ASN1_INTEGER(X509_get0_serialNumber(certificate.get()), &der);
    if (size <= 0) {
        return {};
    }
    const Bytes integer(der, der + size);
    OPENSSL_free(der);
    DerElement element;
    if (DecodeDerElement(integer.data(), integer.size(), element) != 0) {
        return {};
    }
    return ToHexLower(element.value, element.valueSize);
}

CertificateDates DatesAt(const Bytes& certificateDer, std::time_t now) {
    const X509Ptr certificate = Parse(certificateDer);
    if (!certificate) {
        return CertificateDates::Expired;
    }
    if (X509_cmp_time(X509_get0_notBefore(certificate.get()), &now) > 0) {
        return CertificateDates::NotYetValid;
    }
    return X509_cmp_time(X509_get0_notAfter(certificate.get()), &now) < 0
               ? CertificateDates::Expired
               : CertificateDates::Current;
}

ErrorId ExpiryErrorId(const std::vector<Bytes>& certificates, std::time_t now,
                      std::optional<std::time_t> authorityOffset) {
    const bool currentThere =
        authorityOffset && std::any_of(certificates.begin(), certificates.end(),
                                       [at = now + *authorityOffset](const Bytes& der) {
                                           return DatesAt(der, at) == CertificateDates::Current;
                                       });
    return currentThere ? ERR_CERT_EXPIRED_CLOCK : ERR_CERT_EXPIRED;
}

Bytes IssuerNameDer(const Bytes& certificateDer) {
    const X509Ptr certificate = Parse(certificateDer);
    if (!certificate) {
        return {};
    }
    unsigned char* der = nullptr;
    const int size = i2d_X509_NAME(X509_get_issuer_name(certificate.get()), &der);
    Bytes name;
    if (size > 0) {
        name.assign(der, der + size);
    }
    OPENSSL_free(der);
    return name;
}

std::string NameText(const Bytes& nameDer) {
    const unsigned char* p = nameDer.data();
    X509NamePtr name(d2i_X509_NAME(nullptr, &p, static_cast<long>(nameDer.size())));
    if (!name) {
        return {};
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    // Last RDN first, ", " between names, "=" without spaces, UTF-8 kept.
    X509_NAME_print_ex(
        bio.get(), name.get(), 0,
        (XN_FLAG_ONELINE | XN_FLAG_DN_REV) & ~XN_FLAG_SPC_EQ & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    std::string text(data, static_cast<std::size_t>(size > 0 ? size : 0));
    // The text of a name fits a buffer of 260 bytes; a longer one is cut between characters.
    constexpr std::size_t kMaxNameText = 259;
    if (text.size() > kMaxNameText) {
        std::size_t cut = kMaxNameText;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        text.resize(cut);
    }
    return text;
}

}  // namespace qe
