// What a request holds: subject names and their checks, names read from a certificate,
// alternative names, the request's encoding and its PEM form.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include "request/cert_names.h"
#include "request/certification_request.h"
#include "request/pem.h"
#include "request/subject_fields.h"
#include "support/process_log.h"
#include "support/test_pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using test::NameEntry;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Every attribute of a request subject in encoded order: the keys that fill its slot (the
// server's short names, then the dotted OID a certificate's names use; none for slots no list
// fills), its OID, its string type and its upper bound in characters.
const struct Attribute {
    SubjectSlot slot;
    std::vector<std::string> keys;
    const char* oid;
    int type;
    std::size_t bound;
} kAttributes[] = {
    {kSlotCountry, {"C", "2.5.4.6"}, "2.5.4.6", V_ASN1_PRINTABLESTRING, 2},
    {kSlotLocality, {"L", "2.5.4.7"}, "2.5.4.7", V_ASN1_UTF8STRING, 128},
    {kSlotOrganization, {"O", "2.5.4.10"}, "2.5.4.10", V_ASN1_UTF8STRING, 64},
    {kSlotOrganizationalUnit, {"OU", "2.5.4.11"}, "2.5.4.11", V_ASN1_UTF8STRING, 64},
    {kSlotTitle, {"T", "2.5.4.12"}, "2.5.4.12", V_ASN1_UTF8STRING, 64},
    {kSlotCommonName, {"CN", "2.5.4.3"}, "2.5.4.3", V_ASN1_UTF8STRING, 64},
    {kSlotEmail, {}, "1.2.840.113549.1.9.1", V_ASN1_IA5STRING, 255},
    {kSlotTelephone, {"PHONE", "2.5.4.20"}, "2.5.4.20", V_ASN1_PRINTABLESTRING, 32},
    {kSlotSerialNumber, {"SN", "2.5.4.5"}, "2.5.4.5", V_ASN1_PRINTABLESTRING, 64},
    {kSlotStreet, {"STREET", "2.5.4.9"}, "2.5.4.9", V_ASN1_UTF8STRING, 128},
    {kSlotPostalCode, {}, "2.5.4.17", V_ASN1_UTF8STRING, 40},
    {kSlotState, {"ST", "2.5.4.8"}, "2.5.4.8", V_ASN1_UTF8STRING, 128},
    {kSlotName, {"2.5.4.41"}, "2.5.4.41", V_ASN1_UTF8STRING, 32768},
    {kSlotGivenName, {"GIVENNAME", "G", "2.5.4.42"}, "2.5.4.42", V_ASN1_UTF8STRING, 32768},
    {kSlotSurname, {"SURNAME", "2.5.4.4"}, "2.5.4.4", V_ASN1_UTF8STRING, 32768},
    {kSlotPseudonym, {"E2", "2.5.4.65"}, "2.5.4.65", V_ASN1_UTF8STRING, 128},
    {kSlotUniqueIdentifier, {}, "2.5.4.45", V_ASN1_UTF8STRING, 32768},
    {kSlotOrganizationIdentifier, {"ORGID", "2.5.4.97"}, "2.5.4.97", V_ASN1_UTF8STRING, 128},
};

// (OID, ASN.1 type, value) of every entry, in encoded order; each entry must be its own RDN.
using Entry = std::tuple<std::string, int, std::string>;
std::vector<Entry> Entries(const SubjectFields& fields, int* rc = nullptr) {
    X509NamePtr name;
    const int result = BuildSubjectName(fields, name);
    if (rc != nullptr) {
        *rc = result;
    }
    std::vector<Entry> out;
    for (int i = 0; name && i < X509_NAME_entry_count(name.get()); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name.get(), i);
        EXPECT_EQ(X509_NAME_ENTRY_set(e), i);
        char oid[64];
        OBJ_obj2txt(oid, sizeof oid, X509_NAME_ENTRY_get_object(e), 1);
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(e);
        out.emplace_back(oid, ASN1_STRING_type(data),
                         std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                                     ASN1_STRING_length(data)));
    }
    return out;
}

// Each key fills its slot only in its own list; every attribute is encoded in order with its
// type, up to its bound.
TEST(SubjectName, EachAttributeFromItsKeysInOrderWithItsTypeUpToItsBound) {
    SubjectFields all;
    std::vector<Entry> expected;
    for (const Attribute& a : kAttributes) {
        SCOPED_TRACE(a.oid);
        for (const std::string& key : a.keys) {
            SCOPED_TRACE(key);
            const bool dotted = key.find('.') != std::string::npos;
            const CertFields fields = {{key, "v"}, {key + "X", "w"}};
            test::ProcessLog log;
            const SubjectFields server = SubjectFieldsFromServerFields(fields);
            const SubjectFields names = SubjectFieldsFromCertificateNames(fields);
            EXPECT_EQ(server[a.slot], dotted ? std::nullopt : std::optional<std::string>("v"));
            EXPECT_EQ(names[a.slot], dotted ? std::optional<std::string>("v") : std::nullopt);
            EXPECT_EQ(server[kSlotStringType], std::optional<std::string>("UTF-8"));
            EXPECT_EQ(names[kSlotStringType], std::optional<std::string>("UTF-8"));
            EXPECT_EQ(log.Lines("Missing OID mapping").size(), dotted ? 1u : 2u);
        }
        const bool units = a.slot == kSlotOrganizationalUnit;
        all[a.slot] = units ? "A//B" : "v";
        expected.emplace_back(a.oid, a.type, units ? "A" : "v");
        if (units) {
            expected.emplace_back(a.oid, a.type, "B");
        }
        // Characters, not bytes, count for UTF8String.
        const std::string unit = a.type == V_ASN1_UTF8STRING ? "ă" : "a";
        std::string value;
        for (std::size_t i = 0; i < a.bound; ++i) {
            value += unit;
        }
        SubjectFields fields;
        fields[a.slot] = value;
        int rc = -1;
        EXPECT_EQ(Entries(fields, &rc).size(), 1u);
        EXPECT_EQ(rc, 0);
        fields[a.slot] = value + unit;
        Entries(fields, &rc);
        EXPECT_EQ(rc, kToolkitValueTooLong);
    }
    EXPECT_THAT(Entries(all), ElementsAreArray(expected));
    test::ProcessLog log;
    SubjectFieldsFromCertificateNames({{"2.5.4.30", "not a CN"}});
    EXPECT_EQ(log.Since(), "[T] Missing OID mapping2.5.4.30 value: not a CN\n");
}

TEST(SubjectName, RefusedValues) {
    struct Case {
        SubjectSlot slot;
        std::string value;
        int rc;
        const char* stringType = nullptr;
    };
    std::vector<Case> cases = {
        {kSlotCommonName, "", kToolkitEmptyValue},
        {kSlotLocality, "", 0},  // an empty locality is left out
        {kSlotCountry, "RÖ", kToolkitNotPrintable},
        {kSlotEmail, "ioné@firma.ro", kToolkitNotPrintable},
        {kSlotOrganization, "\xC3\x28", kToolkitBadText},
        {kSlotSerialNumber, "Az09 '()+,-./:=?", 0},
        // PrintableString for every attribute when the fields ask for it.
        {kSlotCommonName, "Ion", 0, "PRINTABLE_STRING"},
        {kSlotCommonName, "Ion_", kToolkitNotPrintable, "PRINTABLE_STRING"},
    };
    for (char c : std::string("!\"#$%&*;<>@[\\]^_`{|}~\x7F")) {
        cases.push_back({kSlotTelephone, std::string("1") + c, kToolkitNotPrintable});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        SubjectFields fields;
        fields[c.slot] = c.value;
        if (c.stringType != nullptr) {
            fields[kSlotStringType] = c.stringType;
        }
        int rc = -1;
        const std::vector<Entry> entries = Entries(fields, &rc);
        EXPECT_EQ(rc, c.rc);
        if (c.stringType != nullptr && rc == 0) {
            EXPECT_THAT(entries, ElementsAre(Entry{"2.5.4.3", V_ASN1_PRINTABLESTRING, "Ion"}));
        }
    }
}

TEST(SubjectName, OrganizationalUnitsSplitAtDoubleSlash) {
    const std::pair<std::optional<std::string>, std::vector<std::string>> cases[] = {
        {"A//B//C", {"A", "B", "C"}},
        {"A////C", {"A"}},
        {"A/B", {"A/B"}},
        {"A//", {"A"}},
        {"//A", {}},
        {"", {}},
        {std::nullopt, {}},
    };
    for (const auto& [value, units] : cases) {
        EXPECT_EQ(SplitOrganizationalUnits(value), units) << value.value_or("(none)");
    }
}

TEST(CertNames, SubjectLinesLastRdnFirstUnquoted) {
    std::string longOid = "1.2";
    while (longOid.size() < 130) {
        longOid += ".99999";
    }
    const std::pair<std::vector<NameEntry>, std::wstring> cases[] = {
        {{{"C", "RO"}, {"O", "Firma, \"Nouă\" SRL"}, {"CN", "Ion Popescu"}},
         L"2.5.4.3=Ion Popescu\r\n2.5.4.10=Firma, \"Nouă\" SRL\r\n2.5.4.6=RO"},
        {{{"O", "A"}, {"CN", "x"}, {"serialNumber", "y", MBSTRING_UTF8, -1}, {"C", "RO"}},
         L"2.5.4.6=RO\r\n2.5.4.3=x + 2.5.4.5=y\r\n2.5.4.10=A"},
        {{{"2.5.4.45", "\xAB\xCD\xEF", V_ASN1_BIT_STRING}}, L"2.5.4.45=#030400ABCDEF"},
        {{{longOid, "v"}}, L"=v"},  // no room for the OID's text
    };
    for (const auto& [subject, expected] : cases) {
        SCOPED_TRACE(subject.front().field);
        const Bytes der = test::MakeCertificate({subject}, test::SharedKey());
        EXPECT_EQ(BuildDNFromCertificate(der), expected);
        Bytes trailing = der;
        trailing.push_back(0);  // not one certificate
        EXPECT_EQ(BuildDNFromCertificate(trailing), L"");
    }
    EXPECT_EQ(BuildDNFromCertificate(ToBytes("not a certificate")), L"");
}

TEST(CertNames, AlternativeNamesLaterEntryOfAKindWins) {
    const Bytes der = test::MakeCertificate(
        {{{"CN", "x"}},
         "otherName:1.3.6.1.4.1.311.20.2.3;UTF8:ion@firma.ro,email:first@firma.ro,"
         "email:ion.popescu@firma.ro,DNS:a.firma.ro,DNS:b.firma.ro,IP:10.0.0.1"},
        test::SharedKey());
    const AltNames names = GetSubjectAlternativeNames(der).altNames;
    EXPECT_EQ(names.otherNameOid, std::optional<std::string>(kUpnOid));
    EXPECT_EQ(names.otherNameValue, ToBytes("\x0C\x0Cion@firma.ro"));
    EXPECT_EQ(names.rfc822Names, "ion.popescu@firma.ro");
    EXPECT_EQ(names.dnsNames, "b.firma.ro");
    EXPECT_FALSE(names.critical);

    EXPECT_TRUE(
        GetSubjectAlternativeNames(test::MakeCertificate({{{"CN", "x"}}}, test::SharedKey()))
            .altNames.Empty());
    Bytes trailing = der;
    trailing.push_back(0);
    EXPECT_TRUE(GetSubjectAlternativeNames(trailing).altNames.Empty());
}

// A subjectAltName extension as DER: the request's (empty when it has none), or the one OpenSSL
// makes of its configuration form.
Bytes AltNameDer(const X509_EXTENSION* extension) {
    unsigned char* der = nullptr;
    const int size = extension != nullptr ? i2d_X509_EXTENSION(extension, &der) : 0;
    const Bytes out(der, der + std::max(size, 0));
    OPENSSL_free(der);
    return out;
}
Bytes AltNameDer(X509_REQ* request) {
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request);
    const Bytes out = AltNameDer(
        X509v3_get_ext(extensions, X509v3_get_ext_by_NID(extensions, NID_subject_alt_name, -1)));
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    return out;
}
Bytes AltNameDer(const std::string& conf) {
    const OpenSslPtr<X509_EXTENSION, X509_EXTENSION_free> extension(
        conf.empty() ? nullptr
                     : X509V3_EXT_nconf_nid(nullptr, nullptr, NID_subject_alt_name, conf.c_str()));
    EXPECT_TRUE(conf.empty() || extension) << conf;
    return AltNameDer(extension.get());
}

TEST(AltNamesRequest, WritesOtherNameThenEmailsThenDnsNames) {
    // Rows: the names, the result and the extension in OpenSSL's configuration form.
    const std::tuple<AltNames, int, std::string> cases[] = {
        {{kUpnOid, {0x0C, 0x01, 'u'}, "a@x.ro;;b@x.ro", "d.ro;", false},
         0,
         "otherName:1.3.6.1.4.1.311.20.2.3;UTF8:u,email:a@x.ro,email:b@x.ro,DNS:d.ro"},
        {{kObjectGuidOid, {'G', 'U'}, "", "", true},
         0,
         "critical,otherName:1.3.6.1.4.1.311.25.1;OCTETSTRING:GU"},
        {{"1.2.3.4", {0x0C, 0x01, 'u'}, "", "d.ro", false}, 0, "DNS:d.ro"},
        {{"1.2.3.4", {0x0C, 0x01, 'u'}, ";", "", false}, 0, ""},  // no extension at all
        {{kUpnOid, {0x0C, 0x05, 'u'}, "", "", false}, kToolkitDecodeError, ""},
        {{kUpnOid, {0x0C, 0x01, 'u', 0x00}, "", "", false}, kToolkitDecodeError, ""},
    };
    for (const auto& [names, rc, requested] : cases) {
        SCOPED_TRACE(requested);
        X509ReqPtr request(X509_REQ_new());
        EXPECT_EQ(AddSubjectAltNameRequest(request.get(), names), rc);
        EXPECT_EQ(AltNameDer(request.get()), AltNameDer(requested));
        EXPECT_EQ(X509_REQ_get_attr_count(request.get()), requested.empty() ? 0 : 1);
    }
}

TEST(CertificationRequest, SignatureKeepsItsTrailingZeroOctetsAndFailuresPassThrough) {
    RequestContent content;
    content.subject[kSlotCommonName] = "Ion Popescu";
    content.modulus = test::KeyPart(test::SharedKey(), OSSL_PKEY_PARAM_RSA_N);
    content.publicExponent = test::KeyPart(test::SharedKey(), OSSL_PKEY_PARAM_RSA_E);
    Bytes der;
    const auto zeros = [](const Bytes&, Bytes& signature) {
        signature.assign(256, 0);
        signature[0] = 0x42;
        return 0;
    };
    ASSERT_EQ(BuildCertificationRequest(content, zeros, der), 0);
    const unsigned char* p = der.data();
    const X509ReqPtr request(d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())));
    const ASN1_BIT_STRING* bits = nullptr;
    X509_REQ_get0_signature(request.get(), &bits, nullptr);
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(ASN1_STRING_length(bits), 256);

    int signatures = 0;
    const auto count = [&signatures](const Bytes&, Bytes&) { return ++signatures, 523; };
    der = ToBytes("kept");
    EXPECT_EQ(BuildCertificationRequest(content, count, der), 523);
    content.subject[kSlotCommonName] = "";
    EXPECT_EQ(BuildCertificationRequest(content, count, der), kToolkitEmptyValue);
    EXPECT_EQ(signatures, 1);
    EXPECT_EQ(ToString(der), "kept");
}

TEST(Pem, CrLfAfterEveryLineOf64Characters) {
    const std::string line(64, 'A');
    const std::pair<std::size_t, std::string> cases[] = {
        {0, ""},
        {1, "AA==\r\n"},
        {48, line + "\r\n"},
        {49, line + "\r\nAA==\r\n"},
        {100, line + "\r\n" + line + "\r\nAAAAAA==\r\n"},
    };
    for (const auto& [size, body] : cases) {
        EXPECT_EQ(CertificateRequestPem(Bytes(size, 0)),
                  "-----BEGIN CERTIFICATE REQUEST-----\r\n" + body +
                      "-----END CERTIFICATE REQUEST-----\r\n")
            << size;
    }
}

}  // namespace
}  // namespace qe
