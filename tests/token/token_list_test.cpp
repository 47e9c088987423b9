// Listing and choosing tokens, finding a listed token again, and what is read from it: the login
// state and the PIN dialog, the product name, the key limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "log/last_error.h"
#include "support/outside_step.h"
#include "support/process_log.h"
#include "support/scripted_pins.h"
#include "support/softhsm.h"
#include "token/key_limits.h"
#include "token/pin_gate.h"
#include "token/pki.h"
#include "token/token_cycle.h"

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

// Two tokens; SoftHSM2 orders its slots by serial number, which is new on every run, so cases
// name them "$0" and "$1" in the order they are listed.
class TokenListTest : public ::testing::Test {
protected:
    void SetUp() override {
        hsm_.InitToken("Alpha", "1234");
        hsm_.InitToken("Beta", "1234");
        tokens_ = ListedTokens();
        ASSERT_EQ(tokens_.size(), 2u);
    }
    void Faults(std::string text) {
        for (std::size_t at; (at = text.find('$')) != std::string::npos;) {
            text.replace(at, 2, LabelText(tokens_.at(text[at + 1] - '0')));
        }
        hsm_.WriteFaultConfig(text + "\n");
        hsm_.ClearRecord();
    }

    test::SoftHsm hsm_;
    std::vector<zel_token> tokens_;
};

// Each failure drops only what it concerns: the library, or the one slot. The record of the
// listing ends with C_Finalize exactly when the listing initialised the library.
TEST_F(TokenListTest, EachFailureSkipsOnlyItsOwnPart) {
    const std::tuple<const char*, std::vector<std::string>, bool> cases[] = {
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
        {"[token $0]\nflags-clear 0x400", {"$1@1"}, true},  // never initialised: a spare slot
        {"load-once", {"$0@0", "$1@1"}, true},   // the library stays loaded from one to the next
        {"[token $0]\nabsent", {"$1@0"}, true},  // a position in the present-slot list
    };
    for (const auto& [faults, listed, finalised] : cases) {
        SCOPED_TRACE(faults);
        Faults(faults);
        std::vector<std::string> expected;
        for (const std::string& name : listed) {
            expected.push_back(LabelText(tokens_.at(name[1] - '0')) + name.substr(2));
        }
        EXPECT_EQ(Names(ListedTokens()), expected);
        const std::vector<std::string> calls = CallNames(hsm_.RecordedCalls());
        EXPECT_EQ(calls.back() == "C_Finalize", finalised);
        EXPECT_LE(std::count(calls.begin(), calls.end(), "C_GetSlotInfo"), 3);  // slots there
    }
    // Both libraries serve the same reader: the first keeps it.
    Faults("");
    std::vector<zel_token> tokens;
    CPKI(test::NoTokenStep())
        .ListTokens({test::FaultModuleTwinLibrary(), FaultModuleLibrary()}, tokens);
    EXPECT_EQ(Names(tokens), Names(tokens_));
    EXPECT_EQ(tokens.at(1).modulePath, test::FaultModuleTwinLibrary());
}

// A library is finalised once by the one that initialised it (or adopted its initialisation),
// whatever moves the module went through.
TEST_F(TokenListTest, ModuleFinalisesWhatItInitialisedOnce) {
    const std::tuple<const char*, void (*)(Pkcs11Module&), std::size_t> cases[] = {
        {"", [](Pkcs11Module&) {}, 1},
        {"", [](Pkcs11Module& m) { EXPECT_EQ(m.Finalize(), CKR_OK); }, 1},
        {"fail-after C_Initialize 0x191", [](Pkcs11Module&) {}, 0},
        {"fail-after C_Initialize 0x191", [](Pkcs11Module& m) { m.AdoptInitialization(); }, 1},
    };
    for (const auto& [faults, use, finalised] : cases) {
        SCOPED_TRACE(faults);
        Faults(faults);
        {
            Pkcs11Module first;
            ASSERT_EQ(first.Load(FaultModuleLibrary(), test::NoTokenStep()), CKR_OK);
            first.Initialize();
            Pkcs11Module second(std::move(first));
            Pkcs11Module third;
            third = std::move(second);
            EXPECT_FALSE(first.loaded() || second.loaded());  // NOLINT(bugprone-use-after-move)
            EXPECT_EQ(third.name(), FaultModuleLibrary());
            use(third);
        }
        EXPECT_EQ(CallNames(hsm_.RecordedCalls(), {"C_Finalize"}).size(), finalised);
    }
    EXPECT_EQ(Pkcs11Module().Initialize(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

// A cycle leaves the slot's other sessions alone (they may belong to another part) and takes
// its login with it.
TEST_F(TokenListTest, ACycleLeavesOtherSessionsOpen) {
    Pkcs11Module held;
    ASSERT_TRUE(held.Load(tokens_[0].modulePath, test::NoTokenStep()) == CKR_OK &&
                held.Initialize() == CKR_OK);
    Pkcs11Session other;
    ASSERT_EQ(other.Open(held.fn(), tokens_[0].slotId, CKF_SERIAL_SESSION), CKR_OK);
    EXPECT_EQ(RunOnTokenLoggedIn(test::NoTokenStep(), tokens_[0], Secret("1234"),
                                 [](auto...) { return CK_RV{}; }),
              CKR_OK);
    CK_SESSION_INFO info{};
    EXPECT_EQ(held.fn()->C_GetSessionInfo(other.handle(), &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);  // the cycle's login ended with it
}

TEST_F(TokenListTest, OpenListedTokenFindsTheSameSlotAndSerialNumber) {
    // Slot ids may change between calls: the token is found in whichever slot holds it.
    zel_token elsewhere = tokens_[1];
    elsewhere.slotId = tokens_[0].slotId;
    OpenedToken found;
    CK_TOKEN_INFO info{};
    ASSERT_EQ(CPKI(test::NoTokenStep()).OpenListedToken(elsewhere, found), CKR_OK);
    EXPECT_EQ(found.slotId, tokens_[1].slotId);
    ASSERT_EQ(found.fn()->C_GetTokenInfo(found.slotId, &info), CKR_OK);
    EXPECT_TRUE(HasSerialNumber(info, tokens_[1]));
    EXPECT_EQ(found.slots.size(), 3u);  // with SoftHSM2's spare slot
    // Rows: the faults, the byte of the serial number changed (16: none), the library (empty:
    // the one listed) and the result, also the last error with its text.
    const std::tuple<const char*, std::size_t, std::string, CK_RV> cases[] = {
        {"", 15, "", CKR_TOKEN_NOT_PRESENT},
        {"", 0, "", CKR_TOKEN_NOT_PRESENT},
        {"[token $0]\nabsent", 16, "", CKR_TOKEN_NOT_PRESENT},  // pulled out
        {"fail C_GetSlotList 0x30", 16, "", CKR_DEVICE_ERROR},
        {"fail C_GetTokenInfo 0x30", 16, "", CKR_DEVICE_ERROR},
        {"fail C_GetFunctionList 0x6", 16, "", CKR_FUNCTION_FAILED},
        {"", 16, "libmissing-pkcs11.so", kModuleNotLoaded},
        {"", 16, "libz.so.1", kNoFunctionList},
    };
    for (const auto& [faults, serialByte, module, rv] : cases) {
        SCOPED_TRACE(faults + module);
        Faults(faults);
        zel_token token = tokens_[0];
        if (serialByte < 16) {
            token.serialNumber[serialByte] ^= 1;
        }
        token.modulePath = module.empty() ? token.modulePath : module;
        SetLastSystemError(0, "");
        OpenedToken opened;
        EXPECT_EQ(CPKI(test::NoTokenStep()).OpenListedToken(token, opened), rv);
        EXPECT_EQ(GetLastSystemError().code, rv);
        EXPECT_FALSE(GetLastSystemError().text.empty());
    }
}

// Logged in means a read-write user session; every failure leaves it false.
TEST_F(TokenListTest, LoginState) {
    const std::tuple<const char*, CK_RV, bool> cases[] = {
        {"", CKR_OK, false},
        {"session-state 1", CKR_OK, false},  // read-only user functions
        {"session-state 2", CKR_OK, false},
        {"session-state 3", CKR_OK, true},
        {"session-state 4", CKR_OK, false},
        {"session-state 3\nfail C_CloseSession 0x30", CKR_DEVICE_ERROR, false},
        {"session-state 3\n[token $0]\nrefuse-rw-session", CKR_TOKEN_WRITE_PROTECTED, false},
        {"session-state 3\n[token $0]\nabsent", CKR_TOKEN_NOT_PRESENT, false},
    };
    for (const auto& [faults, rv, expected] : cases) {
        SCOPED_TRACE(faults);
        Faults(faults);
        bool loggedIn = !expected;
        EXPECT_EQ(CPKI(test::NoTokenStep()).IsLoggedIn(tokens_[0], loggedIn), rv);
        EXPECT_EQ(loggedIn, expected);
    }
}

// The dialog only without a login in place and without a cached PIN typed for this token (same
// library, serial number and label); the log says why not.
TEST_F(TokenListTest, PinGate) {
    zel_token token = tokens_[0];
    token.tokenFlags |= CKF_USER_PIN_FINAL_TRY;  // the dialog warns from the listed flags
    zel_token serial = token, label = token, library = token;
    serial.serialNumber[0] ^= 1;
    label.label[0] ^= 1;
    library.modulePath += "x";
    const std::tuple<const char*, const char*, zel_token*, const char*, CK_RV, const char*, int,
                     const char*>
        cases[] = {
            // faults, cached PIN, typed for, dialog answer, result, PIN, dialogs, the log's text
            {"session-state 3", "9999", &token, "", CKR_OK, "9999", 0,
             "PIN dialog not shown: already logged in\n"},
            {"session-state 3", "9999", &serial, "", CKR_OK, "", 0,
             "PIN dialog not shown: already logged in\n"},
            {"", "1234", &token, "5678", CKR_OK, "1234", 0, ""},
            {"", "1234", &serial, "5678", CKR_OK, "5678", 1, ""},
            {"", "1234", &label, "5678", CKR_OK, "5678", 1, ""},
            {"", "1234", &library, "5678", CKR_OK, "5678", 1, ""},
            {"", "", &token, "5678", CKR_OK, "5678", 1, ""},
            {"", "", &token, "", 1, "", 1, ""},  // cancelled
        };
    for (const auto& [faults, cached, owner, answer, rv, expected, asked, logged] : cases) {
        SCOPED_TRACE(std::string(faults) + cached + LabelText(*owner) + owner->modulePath);
        Faults(faults);
        test::ScriptedPins port;
        port.answers = {cached, answer};
        ObtainPin(test::NoTokenStep(), port, *owner);  // asks: the flags stay the same
        port.asked = 0;
        Secret pin("left over");
        const test::ProcessLog log;
        EXPECT_EQ(AcquirePin(test::NoTokenStep(), port, token, pin), rv);
        EXPECT_EQ(pin.view(), expected);
        EXPECT_EQ(port.asked, asked);
        EXPECT_EQ(port.flags, CKF_USER_PIN_FINAL_TRY);
        const std::string added = log.Since();
        EXPECT_EQ(added.empty() ? "" : added.substr(added.find("] ") + 2), logged);
    }
    // The short form of the download flows: asks only without a cached PIN, tests no login.
    test::ScriptedPins port;
    port.answers = {"1234"};
    EXPECT_EQ(ObtainPin(port).view(), "1234");
    EXPECT_EQ(ObtainPin(port, CKF_USER_PIN_COUNT_LOW).view(), "1234");
    EXPECT_EQ(port.asked, 1);
}

// Tokens that show one library, serial number and label (a dummy serial, the maker's label): a
// PIN typed for one is not handed to the other, which has other certificates, whether the status
// check sees them or the next step's first use of the PIN reads them.
TEST_F(TokenListTest, CachedPinServesOnlyTheTokenItWasTypedFor) {
    test::SoftHsm::Session(LabelText(tokens_[0]), "1234").CreateCertificate({0x30, 0}, {1}, "c");
    Faults("serial 1234\nlabel Ion Popescu");
    const std::vector<zel_token> same = ListedTokens();
    ASSERT_EQ(same.size(), 2u);
    for (const bool statusCheck : {true, false}) {
        test::ScriptedPins port;
        port.answers = {"1234", "5678"};
        for (const auto& [token, pin] : {std::pair{0, "1234"}, {0, "1234"}, {1, "5678"}}) {
            std::vector<TokenCertificate> store;
            if (statusCheck && GetSmartCardStore(test::NoTokenStep(), same.at(token), store) == 0) {
                NoteCertificates(port, same.at(token), store);
            }
            EXPECT_EQ(ObtainPin(test::NoTokenStep(), port, same.at(token)).view(), pin);
        }
        EXPECT_EQ(port.asked, 2);
    }
}

// The name of the last vendor hardware-feature object that reads, within 4096 bytes, from a
// read-only session.
TEST_F(TokenListTest, ProductName) {
    const std::string longest(4096, 'x');
    const std::tuple<std::vector<std::string>, const char*, std::string> cases[] = {
        {{}, "", "N/A"},
        {{"Quorvane Token 3000"}, "", "Quorvane Token 3000"},
        {{"First", "Second"}, "", "Second"},
        {{"", "Second"}, "", "Second"},  // an empty one is passed over
        {{"First", ""}, "", "First"},
        {{longest}, "", longest},
        {{"First", longest + "x", "Third"}, "", "First"},  // reading stops there
        {{"First", "Second"}, "fail C_GetAttributeValue 0x30 skip 2", "First"},
        {{"First", "Second"}, "fail C_GetAttributeValue 0x30 skip 3", "First"},
        {{"First"}, "fail C_FindObjects 0x30", "N/A"},
        {{"First"}, "fail C_FindObjectsInit 0x30", "N/A"},
        {{"First"}, "fail C_OpenSession 0x30", "N/A"},
        {{"First"}, "[token $0]\nabsent", "N/A"},
    };
    for (const auto& [names, faults, expected] : cases) {
        SCOPED_TRACE(faults + std::to_string(names.size()));
        std::string config;
        for (const std::string& name : names) {
            config += "product-name " + name + "\n";
        }
        Faults(config + faults);
        EXPECT_EQ(CPKI(test::NoTokenStep()).ReadProductName(tokens_[0]), expected);
        for (const test::RecordedCall& call : hsm_.RecordedCalls()) {
            EXPECT_EQ(call.name == "C_OpenSession" ? call.fields.at("flags") : "0x4", "0x4");
        }
    }
}

// "min-max" bits, then "g" when it generates key pairs and "s" when it signs with CKM_RSA_PKCS.
TEST_F(TokenListTest, KeyLimits) {
    const std::string sizes = "rsa-key-sizes 1024 2048\n";
    const std::tuple<std::string, CK_RV, const char*> cases[] = {
        {sizes, CKR_OK, "1024-2048 gs"},
        {sizes + "hide-mechanism CKM_RSA_PKCS", CKR_OK, "1024-2048 g"},
        {sizes + "mechanism-flags CKM_RSA_PKCS 0x300", CKR_OK, "1024-2048 g"},  // no CKF_SIGN
        {sizes + "mechanism-flags CKM_RSA_PKCS_KEY_PAIR_GEN 0x1", CKR_OK, "1024-2048 s"},
        {"hide-mechanism CKM_RSA_PKCS_KEY_PAIR_GEN", CKR_OK, "0-0 "},
        {"fail C_GetMechanismInfo 0x30", CKR_DEVICE_ERROR, "0-0 "},
        {sizes + "fail C_GetMechanismInfo 0x30 skip 1", CKR_DEVICE_ERROR, "1024-2048 g"},
        {"[token $0]\nabsent", CKR_TOKEN_NOT_PRESENT, "0-0 "},
    };
    for (const auto& [faults, rv, expected] : cases) {
        SCOPED_TRACE(faults);
        Faults(faults);
        RsaKeyLimits l{1, 2, true, true};
        EXPECT_EQ(ReadRsaKeyLimits(test::NoTokenStep(), tokens_[0], l), rv);
        EXPECT_EQ(std::to_string(l.minBits) + "-" + std::to_string(l.maxBits) + " " +
                      (l.generatesKeyPairs ? "g" : "") + (l.signsPkcs1 ? "s" : ""),
                  expected);
    }
    const RsaKeyLimits limits{1024, 2048, true, true};
    for (const auto& [bits, fits] :
         {std::pair{1023, false}, {1024, true}, {2048, true}, {2049, false}, {-2048, false}}) {
        EXPECT_EQ(limits.Fits(bits), fits) << bits;
    }
}

}  // namespace
}  // namespace qe
