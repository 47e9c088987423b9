#include "request/subject_fields.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/objects.h>

#include "toolkit/status.h"

namespace qe {
namespace {

using ::testing::ElementsAre;

// (OID, ASN.1 type, value) of every entry, in encoded order; each entry must be its own RDN.
std::vector<std::tuple<std::string, int, std::string>> Entries(const X509_NAME* name) {
    std::vector<std::tuple<std::string, int, std::string>> out;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
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

TEST(SubjectName, ServerFieldsInTableOrderWithTheirStringTypes) {
    const CertFields fields = {{"CN", "Test User"},
                               {"C", "RO"},
                               {"OU", "Vânzări//Contabilitate"},
                               {"O", "Firma SRL"},
                               {"SN", "PNORO-1234"},
                               {"PHONE", "+40 21 000"},
                               {"G", "Test"},
                               {"SURNAME", "User"},
                               {"ORGID", "VATRO-1"},
                               {"UNKNOWN", "ignored"},
                               {"L", ""}};
    X509NamePtr name;
    ASSERT_EQ(BuildSubjectName(SubjectFieldsFromServerFields(fields), name), 0);
    EXPECT_THAT(Entries(name.get()),
                ElementsAre(std::make_tuple("2.5.4.6", V_ASN1_PRINTABLESTRING, "RO"),
                            std::make_tuple("2.5.4.10", V_ASN1_UTF8STRING, "Firma SRL"),
                            std::make_tuple("2.5.4.11", V_ASN1_UTF8STRING, "Vânzări"),
                            std::make_tuple("2.5.4.11", V_ASN1_UTF8STRING, "Contabilitate"),
                            std::make_tuple("2.5.4.3", V_ASN1_UTF8STRING, "Test User"),
                            std::make_tuple("2.5.4.20", V_ASN1_PRINTABLESTRING, "+40 21 000"),
                            std::make_tuple("2.5.4.5", V_ASN1_PRINTABLESTRING, "PNORO-1234"),
                            std::make_tuple("2.5.4.42", V_ASN1_UTF8STRING, "Test"),
                            std::make_tuple("2.5.4.4", V_ASN1_UTF8STRING, "User"),
                            std::make_tuple("2.5.4.97", V_ASN1_UTF8STRING, "VATRO-1")));
}

TEST(SubjectName, OidKeysMatchExactly) {
    const CertFields fields = {{"2.5.4.3", "Ion"}, {"2.5.4.30", "not a CN"}, {"CN", "short"}};
    const SubjectFields subject = SubjectFieldsFromCertificateNames(fields);
    EXPECT_EQ(subject[kSlotCommonName], std::optional<std::string>("Ion"));
    EXPECT_EQ(subject[kSlotStringType], std::optional<std::string>("UTF-8"));
    EXPECT_EQ(SubjectFieldsFromServerFields(fields)[kSlotCommonName],
              std::optional<std::string>("short"));
}

TEST(SubjectName, OrganizationalUnitSplit) {
    EXPECT_THAT(SplitOrganizationalUnits(std::string("A//B//C")), ElementsAre("A", "B", "C"));
    EXPECT_THAT(SplitOrganizationalUnits(std::string("A////C")), ElementsAre("A"));
    EXPECT_THAT(SplitOrganizationalUnits(std::string("A/B")), ElementsAre("A/B"));
    EXPECT_TRUE(SplitOrganizationalUnits(std::string("")).empty());
    EXPECT_TRUE(SplitOrganizationalUnits(std::nullopt).empty());
}

TEST(SubjectName, RefusedValues) {
    const auto build = [](const CertFields& fields) {
        X509NamePtr name;
        return BuildSubjectName(SubjectFieldsFromServerFields(fields), name);
    };
    EXPECT_EQ(build({{"CN", ""}}), kToolkitEmptyValue);
    EXPECT_EQ(build({{"C", "RÖ"}}), kToolkitNotPrintable);
    EXPECT_EQ(build({{"SN", "a_b"}}), kToolkitNotPrintable);
    EXPECT_EQ(build({{"C", "ROU"}}), kToolkitValueTooLong);
    EXPECT_EQ(build({{"CN", std::string(65, 'x')}}), 1811);
    EXPECT_EQ(build({{"CN", std::string(64, 'x')}}), 0);
    EXPECT_EQ(build({{"CN", std::string(64, 'x') + "ă"}}), kToolkitValueTooLong);
    EXPECT_EQ(build({{"O", "\xC3\x28"}}), kToolkitBadText);
    EXPECT_EQ(build({{"L", ""}, {"CN", "ok"}}), 0);  // an empty locality is skipped
}

TEST(SubjectName, CarriageReturnReachesServerValuesOnly) {
    const auto server = ReadCertFields(L"CN=Ion\r\n");
    const auto fromCert = ReadCertFields(L"2.5.4.3=Ion\r\n", FieldValueRule::TrimLineEnds);
    EXPECT_EQ(SubjectFieldsFromServerFields(*server)[kSlotCommonName],
              std::optional<std::string>("Ion\r"));
    EXPECT_EQ(SubjectFieldsFromCertificateNames(*fromCert)[kSlotCommonName],
              std::optional<std::string>("Ion"));
}

}  // namespace
}  // namespace qe
