#include "net/cert_fields.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qe {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

TEST(CertFields, SplitsAtTheFirstEqualsAndTrimsTheKey) {
    const auto fields = ReadCertFields(L"CN=A=B\n O =X\nno separator\nC=RO\r\nC=MD\n=empty key");
    ASSERT_TRUE(fields);
    EXPECT_THAT(*fields, ElementsAre(Pair("", "empty key"), Pair("C", "MD"), Pair("CN", "A=B"),
                                     Pair("O", "X")));
}

TEST(CertFields, ValueRules) {
    const auto unchanged = ReadCertFields(L"CN= Ion Popescu \r\nOU=Vânzări//Contabilitate");
    ASSERT_TRUE(unchanged);
    EXPECT_EQ(unchanged->at("CN"), " Ion Popescu \r");
    EXPECT_EQ(unchanged->at("OU"), "V\xC3\xA2nz\xC4\x83ri//Contabilitate");

    const auto trimmed = ReadCertFields(L"2.5.4.3= Ion Popescu \r\n", FieldValueRule::TrimLineEnds);
    ASSERT_TRUE(trimmed);
    EXPECT_EQ(trimmed->at("2.5.4.3"), " Ion Popescu ");
}

TEST(CertFields, UnencodableTextIsRefused) {
    EXPECT_FALSE(ReadCertFields(std::wstring(L"CN=") + static_cast<wchar_t>(0xDC00)));
}

TEST(RenewableSerials, LineReaderSemantics) {
    EXPECT_THAT(ReadRenewableSerials(L"0A1B 00FF"), ElementsAre(L"0a1b", L"00ff"));
    EXPECT_THAT(ReadRenewableSerials(L"a  b"), ElementsAre(L"a", L"", L"b"));
    EXPECT_THAT(ReadRenewableSerials(L"a "), ElementsAre(L"a"));
    EXPECT_THAT(ReadRenewableSerials(L" "), ElementsAre(L""));
    EXPECT_TRUE(ReadRenewableSerials(L"").empty());
}

}  // namespace
}  // namespace qe
