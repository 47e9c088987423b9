#include <gtest/gtest.h>

#include <algorithm>

#include "e2e_fixture.h"

// The whole renewal on tokens that behave as vendor libraries do, one quirk a row: it completes,
// or stops with the text that names the cause while the old certificate stays; never a success
// that did not happen.
namespace qe::test {
namespace {

struct Quirk {
    int row;
    const char* faults;  // the fault module's configuration
    ErrorId registered;  // the register's result; on success the download follows
    ErrorId downloaded = ERR_SUCCESS;
    const char* pin = "1234";
    const char* newPin = "";  // typed when the token demands a new PIN ('@' in faults: a file)
};

// A new PIN asked on the reader's keypad.
const std::string kReaderPinChange = kReaderToken + "pin-to-be-changed @\n";

const Quirk kQuirks[] = {
    {1, "fail C_CreateObject 0x31\n", ERR_SUCCESS, ERR_NO_ROOM_FOR_CERTIFICATE},
    {1, "refuse-attribute 0x81 0x5\n", ERR_SUCCESS},  // a strict template
    {2, "fixed-key-slot\n", ERR_TOKEN_REPLACED_KEY},
    {3, "fail C_GenerateKeyPair 0x103\n", ERR_KEYGEN_NEEDS_ADMIN},
    {4, "fail C_DestroyObject 0x0\n", ERR_SUCCESS, ERR_OLD_CERTIFICATE_KEPT},
    {5, "fail-after C_GenerateKeyPair 0x30\n", ERR_OLD_DRIVER},
    {6, "always-authenticate\n", ERR_SUCCESS},
    {7, kReaderToken.c_str(), ERR_SUCCESS},
    {8, "wrong-pin 0x5 lock 3\n", ERR_LOGIN_REFUSED, ERR_SUCCESS, "0000"},
    {9, "reset-login C_FindObjectsInit skip 10\n", ERR_SUCCESS},
    {10, "serial 1234\n", ERR_TOKEN_SLOTS},
    {11, "refuse-attribute 0x3\n", ERR_SUCCESS},
    {12, "assign-key-id\nfail C_SetAttributeValue 0x54\n", ERR_SUCCESS},
    {13, "session-public-key\n", ERR_SUCCESS},
    {14, "hide-mechanism CKM_SHA256_RSA_PKCS CKM_RSA_PKCS_PSS CKM_RSA_X_509\n", ERR_SUCCESS},
    {15, "no-length-query\n", ERR_SUCCESS},
    {16, "private-certificates\n", ERR_SUCCESS},
    {17, "session-limit 16\n", ERR_SUCCESS},
    {17, "session-limit 2\n", ERR_SUCCESS},
    {18, "pad-modulus\n", ERR_SUCCESS},
    {19, "renumber-slots\n", ERR_SUCCESS},
    {20, "nul-padding\nserial 1234\n", ERR_SUCCESS},
    {21, "explicit-decrypt\n", ERR_SUCCESS},
    {22, "fail-after C_Initialize 0x191\n", ERR_SUCCESS},
    {23, "delay C_Finalize 2000\nfinalize-before C_FindObjectsInit skip 10\n", ERR_SUCCESS},
    {24, "fork-guard\n", ERR_SUCCESS},
    {25, "pin-to-be-changed @\n", ERR_SUCCESS, ERR_SUCCESS, "1234", "5678"},
    {25, "pin-to-be-changed @ login\n", ERR_SUCCESS, ERR_SUCCESS, "1234", "5678"},
    {25, "pin-to-be-changed @\nflags-clear 0x80000\n", ERR_SUCCESS, ERR_SUCCESS, "1234", "5678"},
    {25, "pin-to-be-changed @\n", ERR_NEW_PIN_REFUSED, ERR_SUCCESS, "1234", "12"},
    {25, "pin-to-be-changed @\n", ERR_CANCELLED},
    {25, kReaderPinChange.c_str(), ERR_SUCCESS},
};

class QuirkTest : public FlowTest, public ::testing::WithParamInterface<Quirk> {};

TEST_P(QuirkTest, RenewalCompletesOrStopsWithTheCauseKeepingTheOldCertificate) {
    const Quirk& quirk = GetParam();
    if (quirk.row == 10) {
        hsm_.InitToken("Ion Popescu QES", kPin);  // the card's second slot
    }
    hsm_.WriteModuleList({FaultModuleLibrary()});
    std::string faults = quirk.faults;
    if (const auto at = faults.find('@'); at != std::string::npos) {
        faults.replace(at, 1, dir_ / "pin-changed");
    }
    hsm_.WriteFaultConfig(faults);
    window_.pinAnswers = {kPin};  // asked here only by a token that hides its certificates
    RunStatusCheck();
    const std::vector<Bytes> before = TokenCertificates();
    // A reader with its own keypad is asked once a step, and once more for a new PIN. A token that
    // demands a new PIN asks for it once, within its own length rules.
    const bool reader = faults.find("pinpad-login") != std::string::npos;
    const std::size_t keypad = reader ? 1 : 0;
    const bool renewed = quirk.row == 25 && quirk.registered == ERR_SUCCESS;
    window_.newPinAnswers = {quirk.newPin};
    RunFlow(1, quirk.pin);
    ASSERT_EQ(window_.results.back(), quirk.registered);
    EXPECT_EQ(window_.Events("reader-end").size(), keypad + (reader && renewed ? 1 : 0));
    EXPECT_EQ(window_.Events("new-pin 4 255").size(), quirk.row == 25 && !reader ? 1u : 0u);
    const std::string pin = renewed && *quirk.newPin != '\0' ? quirk.newPin : kPin;
    if (quirk.registered == ERR_SUCCESS) {
        RunFlow(2, pin.c_str());
        ASSERT_EQ(window_.results.back(), quirk.downloaded) << LogText();
        EXPECT_EQ(window_.Events("reader-end").size(), keypad);
    }
    const bool installed = Order()["installed"].toBool();
    const std::vector<Bytes> after = TokenCertificates(pin);  // logged in with the PIN it has now
    const bool oldThere = std::find(after.begin(), after.end(), before.at(0)) != after.end();
    if (window_.results.back() == ERR_SUCCESS) {
        EXPECT_TRUE(installed && !oldThere && after.size() == before.size());
    } else {
        EXPECT_TRUE(oldThere);
        EXPECT_EQ(installed, quirk.downloaded == ERR_OLD_CERTIFICATE_KEPT);
    }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, QuirkTest, ::testing::ValuesIn(kQuirks), [](const auto& row) {
    return "row" + std::to_string(row.param.row) + "_" + std::to_string(row.index);
});

}  // namespace
}  // namespace qe::test
