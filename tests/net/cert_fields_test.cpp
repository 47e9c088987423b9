#include "net/cert_fields.h"

#include <gtest/gtest.h>

namespace qe {
namespace {

// Split at the first "=", the key trimmed, lines without one passed over; values as they stand
// or with their line ends trimmed; text without a UTF-8 form refused.
TEST(CertFields, SplitsAtTheFirstEqualsAndKeepsOrTrimsTheValue) {
    const auto unchanged = FieldValueRule::Unchanged;
    const std::tuple<std::wstring, FieldValueRule, std::optional<CertFields>> cases[] = {
        {L"CN=A=B\n O\t=X\nno separator\nC=RO\r\nC=MD\n=empty key\n\n \n", unchanged,
         CertFields{{"", "empty key"}, {"C", "MD"}, {"CN", "A=B"}, {"O", "X"}}},
        {L"CN= Ion Popescu \r\nOU=Vânzări//Contabilitate", unchanged,
         CertFields{{"CN", " Ion Popescu \r"}, {"OU", "V\xC3\xA2nz\xC4\x83ri//Contabilitate"}}},
        {L"2.5.4.3=\r Ion Popescu \r\n2.5.4.4=\r\n", FieldValueRule::TrimLineEnds,
         CertFields{{"2.5.4.3", " Ion Popescu "}, {"2.5.4.4", ""}}},
        {std::wstring(L"CN=") + static_cast<wchar_t>(0xDC00), unchanged, std::nullopt},
        {std::wstring(1, static_cast<wchar_t>(0xDC00)) + L"=x", unchanged, std::nullopt},
    };
    for (const auto& [text, rule, fields] : cases) {
        EXPECT_EQ(ReadCertFields(text, rule), fields);
    }
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
