#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/softhsm.h"
#include "token/pki.h"

namespace qe {
namespace {

// The name of the last vendor hardware-feature object that reads, within 4096 bytes.
TEST(ProductNameTest, TheLastReadableNameWithinItsLimit) {
    test::SoftHsm hsm;
    hsm.InitToken("Alpha", "1234");
    const zel_token token = test::ListedTokens().at(0);
    const std::string longest(4096, 'x');
    const struct {
        std::vector<std::string> names;
        const char* faults;
        std::string expected;
    } cases[] = {
        {{}, "", "N/A"},
        {{"Quorvane Token 3000"}, "", "Quorvane Token 3000"},
        {{"First", "Second"}, "", "Second"},
        {{"", "Second"}, "", "Second"},  // an empty one is passed over
        {{"First", ""}, "", "First"},
        {{longest}, "", longest},
        {{longest + "x"}, "", "N/A"},
        {{"First", longest + "x", "Third"}, "", "First"},  // reading stops there
        {{"First", "Second"}, "fail C_GetAttributeValue 0x30 skip 2", "First"},
        {{"First", "Second"}, "fail C_GetAttributeValue 0x30 skip 3", "First"},
        {{"First"}, "fail C_FindObjects 0x30", "N/A"},
        {{"First"}, "fail C_FindObjectsInit 0x30", "N/A"},
        {{"First"}, "fail C_OpenSession 0x30", "N/A"},
        {{"First"}, "[token Alpha]\nabsent", "N/A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults + std::to_string(c.names.size()));
        std::string config;
        for (const std::string& name : c.names) {
            config += "product-name " + name + "\n";
        }
        hsm.WriteFaultConfig(config + c.faults + "\n");
        hsm.ClearRecord();
        EXPECT_EQ(CPKI().ReadProductName(token), c.expected);
        // Read-only.
        for (const test::RecordedCall& call : hsm.RecordedCalls()) {
            EXPECT_EQ(call.name == "C_OpenSession" ? call.fields.at("flags") : "0x4", "0x4");
        }
    }
}

}  // namespace
}  // namespace qe
