#include "net/cert_fields.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qe {
namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

TEST(CertFields, SplitsAtTheFirstEqualsAndTrimsTheKey) {
    const auto fields =
        ReadCertFields(L"CN=A=B\n O\t=X\nno separator\nC=RO\r\nC=MD\n=empty key\n\n \n");
    ASSERT_TRUE(fields);
    EXPECT_THAT(*fields, ElementsAre(Pair("", "empty key"), Pair("C", "MD"), Pair("CN", "A=B"),
                                     Pair("O", "X")));
    EXPECT_THAT(*ReadCertFields(L"x=1\nA"), ElementsAre(Pair("x", "1")));
}

TEST(CertFields, ValueRules) {
    const auto unchanged = ReadCertFields(L"CN= Ion Popescu \r\nOU=Vânzări//Contabilitate");
    ASSERT_TRUE(unchanged);
    EXPECT_EQ(unchanged->at("CN"), " Ion Popescu \r");
    EXPECT_EQ(unchanged->at("OU"), "V\xC3\xA2nz\xC4\x83ri//Contabilitate");

    const auto trimmed =
        ReadCertFields(L"2.5.4.3=\r Ion Popescu \r\n2.5.4.4=\r\n", FieldValueRule::TrimLineEnds);
    ASSERT_TRUE(trimmed);
    EXPECT_THAT(*trimmed, ElementsAre(Pair("2.5.4.3", " Ion Popescu "), Pair("2.5.4.4", "")));
}

TEST(CertFields, UnencodableTextIsRefused) {
    EXPECT_FALSE(ReadCertFields(std::wstring(L"CN=") + static_cast<wchar_t>(0xDC00)));
    EXPECT_FALSE(ReadCertFields(std::wstring(1, static_cast<wchar_t>(0xDC00)) + L"=x"));
}

TEST(RenewableSerials, LowerCasedOnePerSpace) {
    const struct {
        const wchar_t* header;
        std::vector<std::wstring> serials;
    } cases[] = {
        {L"0A1B 00FF", {L"0a1b", L"00ff"}},
        {L"a  b", {L"a", L"", L"b"}},
        {L"a ", {L"a"}},
        {L" ", {L""}},
        {L"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReadRenewableSerials(c.header), c.serials) << c.header;
    }
}

}  // namespace
}  // namespace qe
