#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "doctor/report_sections.h"
#include "flows/flow_support.h"
#include "request/key_pair_ledger.h"
#include "request/keygen_session.h"
#include "token/certificate_parts.h"
#include "toolkit/openssl_ptr.h"

namespace qe {
namespace {

// An identifier or label as text when it is printable ASCII, otherwise as hex digits.
std::string IdText(const Bytes& id) {
    if (id.empty()) {
        return "none";
    }
    const bool ascii =
        std::all_of(id.begin(), id.end(), [](std::uint8_t b) { return b >= 0x20 && b < 0x7F; });
    return ascii ? "\"" + ToString(id) + "\"" : ToHexLower(id);
}

std::size_t ModulusBits(const Bytes& modulus) {
    if (modulus.empty()) {
        return 0;
    }
    std::size_t bits = (modulus.size() - 1) * 8;
    for (unsigned top = modulus.front(); top != 0; top >>= 1) {
        ++bits;
    }
    return bits;
}

std::string TimeText(const ASN1_TIME* time) {
    std::tm tm{};
    char text[32] = {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1 ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) {
        return "unreadable";
    }
    return text;
}

std::string ValidityText(const Bytes& der) {
    const unsigned char* p = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!certificate) {
        return "unreadable";
    }
    const ASN1_TIME* from = X509_get0_notBefore(certificate.get());
    const ASN1_TIME* to = X509_get0_notAfter(certificate.get());
    std::string state = "valid now";
    if (X509_cmp_current_time(from) > 0) {
        state = "not valid yet";
    } else if (X509_cmp_current_time(to) < 0) {
        state = "expired";
    }
    return TimeText(from) + " to " + TimeText(to) + " (" + state + ")";
}

const TokenObject* KeyWithModulus(const TokenSurvey& token, CK_OBJECT_CLASS objectClass,
                                  const Bytes& modulus) {
    for (const TokenObject& object : token.objects) {
        if (object.objectClass == objectClass && !modulus.empty() && object.modulus == modulus) {
            return &object;
        }
    }
    return nullptr;
}

// Private objects of a token that needs a login stay hidden until one, which the doctor never
// makes.
std::string PrivateKeyText(const TokenSurvey& token, const Bytes& modulus) {
    if (KeyWithModulus(token, CKO_PRIVATE_KEY, modulus) != nullptr) {
        return "present";
    }
    return (token.flags & CKF_LOGIN_REQUIRED) != 0 ? "not visible without a login" : "absent";
}

bool Provisional(const TokenObject& key) {
    return key.id == ToBytes(kProvisionalKeyId) || key.label == kProvisionalPublicKeyLabel ||
           key.label == kProvisionalPrivateKeyLabel;
}

// What became of the renewal a provisional key was made for, as far as the wizard's key pair
// ledger on this computer knows.
std::string ProvisionalKeyText(const Bytes& id) {
    for (const LedgerEntry& entry : LoadKeyPairLedger()) {
        if (entry.id == id) {
            return entry.state == LedgerState::Sent
                       ? "kept by the wizard: its request may have reached the authority (a "
                         "download installs its certificate; a register removes it once the "
                         "status shows none was issued)"
                       : "made by the wizard for a request that never left: the next register "
                         "removes it";
        }
    }
    return "left by a renewal that stopped before its certificate was installed";
}

// Returns the certificate's modulus, empty when it is not an RSA certificate.
Bytes RenderCertificate(const TokenSurvey& token, const TokenObject& object, std::size_t number,
                        ReportWriter& out) {
    out.Line(3, "certificate " + std::to_string(number) + ": label \"" + Printable(object.label) +
                    "\", id " + Printable(IdText(object.id)));
    CertificateParts parts;
    if (ParseCertificateParts(object.value, parts) != 0) {
        out.Field(4, "content",
                  "not an X.509 certificate with an RSA key (" +
                      std::to_string(object.value.size()) + " bytes)");
        return {};
    }
    out.Field(4, "subject", Printable(NameText(parts.subject)));
    out.Field(4, "issuer", Printable(NameText(parts.issuer)));
    out.Field(4, "serial", SerialNumberText(object.value));
    out.Field(4, "valid", ValidityText(object.value));
    out.Field(4, "private key with the same modulus", PrivateKeyText(token, parts.modulus));
    out.Field(4, "public key with the same modulus",
              KeyWithModulus(token, CKO_PUBLIC_KEY, parts.modulus) ? "present" : "absent");
    return parts.modulus;
}

// A key whose modulus no certificate on the token has: one line per modulus, for the public key
// when the token shows one.
void RenderLoneKey(const TokenSurvey& token, const TokenObject& key, ReportWriter& out) {
    const bool isPublic = key.objectClass == CKO_PUBLIC_KEY;
    std::string line = std::string(isPublic ? "public" : "private") + " key \"" +
                       Printable(key.label) + "\", id " + Printable(IdText(key.id)) + ", " +
                       std::to_string(ModulusBits(key.modulus)) + " bits";
    line += isPublic ? "; private key: " + PrivateKeyText(token, key.modulus)
                     : std::string("; public key: absent");
    out.Line(3, line);
    if (Provisional(key)) {
        out.Line(4, ProvisionalKeyText(key.id));
    }
}

}  // namespace

void RenderObjects(const TokenSurvey& token, const std::vector<std::string>& authorityIssuers,
                   ReportWriter& out) {
    const auto certificates =
        std::count_if(token.objects.begin(), token.objects.end(),
                      [](const TokenObject& o) { return o.objectClass == CKO_CERTIFICATE; });
    out.Field(2, "certificates", std::to_string(certificates));
    std::vector<Bytes> certificateModuli;
    std::size_t number = 0;
    std::size_t others = 0;
    for (const TokenObject& object : token.objects) {
        if (object.objectClass != CKO_CERTIFICATE) {
            continue;
        }
        ++number;  // the place on the token, as the servers section names it
        if (std::find(authorityIssuers.begin(), authorityIssuers.end(),
                      ToHexLower(IssuerNameDer(object.value))) != authorityIssuers.end()) {
            certificateModuli.push_back(RenderCertificate(token, object, number, out));
        } else {
            ++others;
            CertificateParts parts;  // its keys are not left over either
            ParseCertificateParts(object.value, parts);
            certificateModuli.push_back(parts.modulus);
        }
    }
    if (others > 0) {
        out.Field(2, "certificates of other issuers",
                  std::to_string(others) +
                      (authorityIssuers.empty()
                           ? ", not listed: the authority's issuers are not known here"
                           : ", not listed"));
    }
    std::vector<const TokenObject*> lone;
    for (const TokenObject& key : token.objects) {
        const bool listed = key.objectClass == CKO_CERTIFICATE ||
                            std::find(certificateModuli.begin(), certificateModuli.end(),
                                      key.modulus) != certificateModuli.end() ||
                            (key.objectClass == CKO_PRIVATE_KEY &&
                             KeyWithModulus(token, CKO_PUBLIC_KEY, key.modulus) != nullptr);
        if (!listed) {
            lone.push_back(&key);
        }
    }
    out.Field(2, "keys without a certificate", lone.empty() ? "none" : std::to_string(lone.size()));
    for (const TokenObject* key : lone) {
        RenderLoneKey(token, *key, out);
    }
    if (token.objectsCut) {
        out.Line(2, "only the first " + std::to_string(kSurveyMaxObjects) +
                        " objects of each kind were read");
    }
}

}  // namespace qe
