#include "request/cert_names.h"

#include <gtest/gtest.h>

#include "cert_factory.h"

namespace qe {
namespace {

using test::CertSpec;

TEST(CertNames, SubjectLinesReversedUnquoted) {
    const PkeyPtr key = test::MakeRsaKey();
    CertSpec spec;
    spec.subject = {{"C", "RO", MBSTRING_ASC},
                    {"O", "Firma, \"Nouă\" SRL", MBSTRING_UTF8},
                    {"CN", "Ion Popescu", MBSTRING_UTF8}};
    const Bytes der = test::MakeCertificate(spec, key.get());
    EXPECT_EQ(BuildDNFromCertificate(der),
              L"2.5.4.3=Ion Popescu\r\n2.5.4.10=Firma, \"Nouă\" SRL\r\n2.5.4.6=RO");
}

TEST(CertNames, LaterEntryOfAKindReplacesEarlierOne) {
    const PkeyPtr key = test::MakeRsaKey();
    CertSpec spec;
    spec.subject = {{"CN", "x", MBSTRING_ASC}};
    spec.upn = "ion@firma.ro";
    spec.emails = {"first@firma.ro", "ion.popescu@firma.ro"};
    spec.dnsNames = {"a.firma.ro", "b.firma.ro"};
    const RequestedExtensions ext =
        GetSubjectAlternativeNames(test::MakeCertificate(spec, key.get()));
    ASSERT_TRUE(ext.altNames.otherNameOid.has_value());
    EXPECT_EQ(*ext.altNames.otherNameOid, "1.3.6.1.4.1.311.20.2.3");
    // The encoded value as the certificate holds it: UTF8String "ion@firma.ro".
    Bytes expected{0x0C, 12};
    const std::string upn = "ion@firma.ro";
    expected.insert(expected.end(), upn.begin(), upn.end());
    EXPECT_EQ(ext.altNames.otherNameValue, expected);
    EXPECT_EQ(ext.altNames.rfc822Names, "ion.popescu@firma.ro");
    EXPECT_EQ(ext.altNames.dnsNames, "b.firma.ro");
    EXPECT_FALSE(ext.altNames.critical);
}

TEST(CertNames, NoAlternativeNamesAndNotACertificate) {
    const PkeyPtr key = test::MakeRsaKey();
    CertSpec spec;
    spec.subject = {{"CN", "x", MBSTRING_ASC}};
    spec.withSan = false;
    EXPECT_TRUE(
        GetSubjectAlternativeNames(test::MakeCertificate(spec, key.get())).altNames.Empty());

    for (const Bytes& junk : {Bytes{}, Bytes{0x30, 0x03, 0x02, 0x01, 0x00}, Bytes(300, 0xFF)}) {
        EXPECT_TRUE(BuildDNFromCertificate(junk).empty());
        EXPECT_TRUE(GetSubjectAlternativeNames(junk).altNames.Empty());
    }
}

}  // namespace
}  // namespace qe
