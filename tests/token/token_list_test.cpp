// Listing the tokens of the module list, choosing one, and finding a listed token again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "log/last_error.h"
#include "support/softhsm.h"
#include "token/pki.h"

namespace qe {
namespace {

using test::CallNames;
using test::FaultModuleLibrary;
using test::ListedTokens;

// "label@slotIndex" of each record.
std::vector<std::string> Names(const std::vector<zel_token>& tokens) {
    std::vector<std::string> names;
    for (const zel_token& token : tokens) {
        names.push_back(LabelText(token) + "@" + std::to_string(token.slotIndex));
    }
    return names;
}

// The text with "$0" and "$1" replaced by the labels of the first and second token listed:
// SoftHSM2 orders its slots by serial number, which is new on every run.
std::string Labelled(std::string text, const std::vector<zel_token>& order) {
    for (std::size_t at; (at = text.find('$')) != std::string::npos;) {
        text.replace(at, 2, LabelText(order.at(text[at + 1] - '0')));
    }
    return text;
}

class TokenListTest : public ::testing::Test {
protected:
    void SetUp() override {
        alphaSerial_ = hsm_.InitToken("Alpha", "1234");
        hsm_.InitToken("Beta", "1234");
    }
    test::SoftHsm hsm_;
    std::string alphaSerial_;
};

TEST_F(TokenListTest, SelectTokenWantsExactlyOne) {
    hsm_.WriteModuleList({"libmissing-pkcs11.so", FaultModuleLibrary()});
    zel_token token;
    EXPECT_EQ(CPKI().SelectToken(token), TOKEN_MULTIPLE);
    hsm_.WriteFaultConfig("[token Beta]\nabsent\n");
    ASSERT_EQ(CPKI().SelectToken(token), CKR_OK);
    EXPECT_EQ(SerialText(token), alphaSerial_);
    EXPECT_EQ(token.modulePath, FaultModuleLibrary());
    EXPECT_NE(token.tokenFlags & CKF_TOKEN_INITIALIZED, 0u);
    // SoftHSM2's spare slot holds an uninitialised token, which refuses the session.
    hsm_.WriteFaultConfig("[token Beta]\nabsent\n[token Alpha]\nabsent\n");
    EXPECT_EQ(CPKI().SelectToken(token), TOKEN_NONE);
}

// Each failure drops only what it concerns: the library, or the one slot. The record of the
// listing also ends with C_Finalize exactly when the listing initialised the library.
TEST_F(TokenListTest, EachFailureSkipsOnlyItsOwnPart) {
    const struct {
        const char* faults;
        std::vector<std::string> listed;
        bool finalised;
    } cases[] = {
        {"", {"$0@0", "$1@1"}, true},
        {"fail C_GetFunctionList 0x6", {}, false},
        {"fail C_Initialize 0x30", {}, false},
        {"fail-after C_Initialize 0x191", {"$0@0", "$1@1"}, true},  // adopted
        {"fail C_GetSlotList 0x30", {}, true},
        {"fail C_GetSlotList 0x30 skip 1", {}, true},
        {"slot-count 4096", {"$0@0", "$1@1"}, true},
        {"slot-count 4097", {}, true},  // not trusted with an allocation
        {"fail C_GetSlotInfo 0x30 times 1", {"$1@1"}, true},
        {"fail C_GetTokenInfo 0x30 times 1", {"$1@1"}, true},
        {"fail C_CloseSession 0x30 times 1", {"$1@1"}, true},
        {"[token $0]\nrefuse-rw-session", {"$1@1"}, true},
        {"[token $0]\nabsent", {"$1@0"}, true},  // a position in the present-slot list
    };
    const std::vector<zel_token> order = ListedTokens();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        hsm_.WriteFaultConfig(Labelled(c.faults, order) + "\n");
        hsm_.ClearRecord();
        std::vector<std::string> expected;
        for (const std::string& name : c.listed) {
            expected.push_back(Labelled(name, order));
        }
        EXPECT_EQ(Names(ListedTokens()), expected);
        EXPECT_EQ(CallNames(hsm_.RecordedCalls()).back() == "C_Finalize", c.finalised);
    }
    // Both libraries serve the same reader: the first keeps it.
    hsm_.WriteFaultConfig("");
    std::vector<zel_token> tokens;
    CPKI().ListTokens({test::FaultModuleTwinLibrary(), FaultModuleLibrary()}, tokens);
    EXPECT_EQ(Names(tokens), Names(order));
    EXPECT_EQ(tokens.at(1).modulePath, test::FaultModuleTwinLibrary());
}

TEST_F(TokenListTest, LoadModuleSaysWhyALibraryIsNotUsable) {
    test::WriteFile(hsm_.dir() + "/text.so", "not a library");
    hsm_.WriteFaultConfig("fail C_GetFunctionList 0x6\n");
    const std::pair<std::string, CK_RV> cases[] = {
        {"libmissing-pkcs11.so", kModuleNotLoaded},
        {hsm_.dir() + "/text.so", kModuleNotLoaded},
        {"libz.so.1", kNoFunctionList},
        {FaultModuleLibrary(), CKR_FUNCTION_FAILED},
    };
    for (const auto& [name, rv] : cases) {
        Pkcs11Module module;
        SetLastSystemError(0, "");
        EXPECT_EQ(CPKI().LoadModule(name, module), rv) << name;
        EXPECT_FALSE(module.loaded());
        EXPECT_EQ(GetLastSystemError().code, rv);
        EXPECT_FALSE(GetLastSystemError().text.empty());
    }
    Pkcs11Module module;
    EXPECT_EQ(module.Initialize(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

// A library is finalised once by the one that initialised it (or adopted its initialisation),
// whatever moves the module went through.
TEST_F(TokenListTest, ModuleFinalisesWhatItInitialisedOnce) {
    const struct {
        const char* faults;
        void (*use)(Pkcs11Module&);
        std::size_t finalised;
    } cases[] = {
        {"", [](Pkcs11Module&) {}, 1},
        {"", [](Pkcs11Module& m) { EXPECT_EQ(m.Finalize(), CKR_OK); }, 1},
        {"fail-after C_Initialize 0x191", [](Pkcs11Module&) {}, 0},
        {"fail-after C_Initialize 0x191", [](Pkcs11Module& m) { m.AdoptInitialization(); }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        hsm_.WriteFaultConfig(std::string(c.faults) + "\n");
        hsm_.ClearRecord();
        {
            Pkcs11Module first;
            ASSERT_EQ(first.Load(FaultModuleLibrary()), CKR_OK);
            first.Initialize();
            Pkcs11Module second(std::move(first));
            Pkcs11Module third;
            third = std::move(second);
            EXPECT_FALSE(first.loaded() || second.loaded());  // NOLINT(bugprone-use-after-move)
            EXPECT_EQ(third.name(), FaultModuleLibrary());
            c.use(third);
        }
        EXPECT_EQ(CallNames(hsm_.RecordedCalls(), {"C_Finalize"}).size(), c.finalised);
    }
}

TEST_F(TokenListTest, OpenListedTokenFindsTheSameSerialNumber) {
    const std::vector<zel_token> tokens = ListedTokens();
    ASSERT_EQ(tokens.size(), 2u);
    for (const char* faults : {"", "fail C_GetTokenInfo 0x30 times 1"}) {
        hsm_.WriteFaultConfig(std::string(faults) + "\n");
        OpenedToken opened;
        ASSERT_EQ(CPKI().OpenListedToken(tokens[1], opened), CKR_OK) << faults;
        CK_TOKEN_INFO info{};
        ASSERT_EQ(opened.fn()->C_GetTokenInfo(opened.slotId, &info), CKR_OK);
        EXPECT_EQ(std::memcmp(info.label, tokens[1].label, 32), 0);
        EXPECT_EQ(opened.slots.size(), 3u);  // with SoftHSM2's spare slot
    }
    const struct {
        const char* faults;
        std::size_t serialByte;  // changed in the record; 16: none
        const char* module;
        CK_RV rv;
    } cases[] = {
        {"", 15, nullptr, CKR_TOKEN_NOT_PRESENT},
        {"", 0, nullptr, CKR_TOKEN_NOT_PRESENT},
        {"[token $0]\nabsent", 16, nullptr, CKR_TOKEN_NOT_PRESENT},  // pulled out
        {"fail-after C_Initialize 0x191", 16, nullptr, CKR_CRYPTOKI_ALREADY_INITIALIZED},
        {"fail C_GetSlotList 0x30", 16, nullptr, CKR_DEVICE_ERROR},
        {"", 16, "libmissing-pkcs11.so", kModuleNotLoaded},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        hsm_.WriteFaultConfig(Labelled(c.faults, tokens) + "\n");
        zel_token token = tokens[0];
        if (c.serialByte < 16) {
            token.serialNumber[c.serialByte] ^= 1;
        }
        token.modulePath = c.module != nullptr ? c.module : token.modulePath;
        OpenedToken opened;
        EXPECT_EQ(CPKI().OpenListedToken(token, opened), c.rv);
        EXPECT_EQ(GetLastSystemError().code, c.rv);
    }
}

}  // namespace
}  // namespace qe
