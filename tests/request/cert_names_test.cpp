// Names read from a certificate, and alternative names written into a request.
#include "request/cert_names.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include "net/test_pki.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using test::NameEntry;

TEST(CertNames, SubjectLinesLastRdnFirstUnquoted) {
    std::string longOid = "1.2";
    while (longOid.size() < 130) {
        longOid += ".99999";
    }
    const struct {
        std::vector<NameEntry> subject;
        std::wstring expected;
    } cases[] = {
        {{{"C", "RO"}, {"O", "Firma, \"Nouă\" SRL"}, {"CN", "Ion Popescu"}},
         L"2.5.4.3=Ion Popescu\r\n2.5.4.10=Firma, \"Nouă\" SRL\r\n2.5.4.6=RO"},
        {{{"O", "A"}, {"CN", "x"}, {"serialNumber", "y", MBSTRING_UTF8, -1}, {"C", "RO"}},
         L"2.5.4.6=RO\r\n2.5.4.3=x + 2.5.4.5=y\r\n2.5.4.10=A"},
        {{{"2.5.4.45", "\xAB\xCD\xEF", V_ASN1_BIT_STRING}}, L"2.5.4.45=#030400ABCDEF"},
        {{{longOid, "v"}}, L"=v"},  // no room for the OID's text
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.subject.front().field);
        const Bytes der = test::MakeCertificate({c.subject}, test::SharedKey());
        EXPECT_EQ(BuildDNFromCertificate(der), c.expected);
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

// The request's subjectAltName as "kind:text" entries; "critical" first when it is.
std::vector<std::string> RequestedNames(X509_REQ* request) {
    std::vector<std::string> out;
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request);
    int critical = 0;
    GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
        X509V3_get_d2i(extensions, NID_subject_alt_name, &critical, nullptr)));
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    if (critical == 1) {
        out.push_back("critical");
    }
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        int type = 0;
        void* value = GENERAL_NAME_get0_value(name, &type);
        if (type == GEN_OTHERNAME) {
            char oid[64] = {};
            OBJ_obj2txt(oid, sizeof oid, name->d.otherName->type_id, 1);
            unsigned char* der = nullptr;
            const int n = i2d_ASN1_TYPE(name->d.otherName->value, &der);
            out.push_back(std::string("other:") + oid + ":" +
                          ToHexUpper(der, static_cast<std::size_t>(n)));
            OPENSSL_free(der);
        } else {
            const auto* text = static_cast<const ASN1_STRING*>(value);
            out.push_back((type == GEN_EMAIL ? "email:" : "dns:") +
                          std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                      ASN1_STRING_length(text)));
        }
    }
    return out;
}

TEST(AltNamesRequest, WritesOtherNameThenEmailsThenDnsNames) {
    const struct {
        AltNames names;
        int rc;
        std::vector<std::string> requested;
    } cases[] = {
        {{kUpnOid, {0x0C, 0x01, 'u'}, "a@x.ro;;b@x.ro", "d.ro;", false},
         0,
         {"other:1.3.6.1.4.1.311.20.2.3:0C0175", "email:a@x.ro", "email:b@x.ro", "dns:d.ro"}},
        {{kObjectGuidOid, {0xAB, 0xCD}, "", "", true},
         0,
         {"critical", "other:1.3.6.1.4.1.311.25.1:0402ABCD"}},
        {{"1.2.3.4", {0x0C, 0x01, 'u'}, "", "d.ro", false}, 0, {"dns:d.ro"}},
        {{"1.2.3.4", {0x0C, 0x01, 'u'}, ";", "", false}, 0, {}},  // no extension at all
        {{kUpnOid, {0x0C, 0x05, 'u'}, "", "", false}, kToolkitDecodeError, {}},
        {{kUpnOid, {0x0C, 0x01, 'u', 0x00}, "", "", false}, kToolkitDecodeError, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.names.rfc822Names + c.names.dnsNames);
        X509ReqPtr request(X509_REQ_new());
        EXPECT_EQ(AddSubjectAltNameRequest(request.get(), c.names), c.rc);
        EXPECT_EQ(RequestedNames(request.get()), c.requested);
        EXPECT_EQ(X509_REQ_get_attr_count(request.get()), c.requested.empty() ? 0 : 1);
    }
}

}  // namespace
}  // namespace qe
