// Key pair generation and request signing on SoftHSM2, seen through the fault module's record.
#include "request/keygen_on_token.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <dlfcn.h>

#include "keygen_fixture.h"
#include "request/keygen_session.h"
#include "token/open_token.h"
#include "token/pkcs11_module.h"
#include "token/pkcs11_session.h"
#include "token/token_status.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using test::BoolBytes;
using test::UlongBytes;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;

using Template = std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>;

SubjectFields Subject() {
    return SubjectFieldsFromServerFields({{"C", "RO"}, {"CN", "Test User"}});
}

class KeygenOnTokenTest : public test::KeygenTest {
protected:
    CK_RV Generate(const std::vector<std::int32_t>& sizes, const SubjectFields& subject = Subject(),
                   const RequestedExtensions* extensions = nullptr, const char* pin = "1234") {
        return GenerateSigningKeysOnToken(sizes, token_, Secret(pin), subject, extensions, pem_);
    }

    long CountCalls(const std::string& name) const {
        const std::vector<std::string> names = test::CallNames(hsm_.RecordedCalls());
        return std::count(names.begin(), names.end(), name);
    }

    std::string pem_;
};

TEST_F(KeygenOnTokenTest, RequestIsSignedOnTheTokenWithTheNewKey) {
    ASSERT_EQ(Generate({1024}), CKR_OK);
    const X509ReqPtr request = test::ParseRequestPem(pem_);
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(request.get())), 1024);

    // The request carries the public key of the pair now on the token, and the private key's
    // value cannot be read from it.
    test::SoftHsm::Session session("Alpha", "1234");
    const auto publicKeys = session.Find(CKO_PUBLIC_KEY, test::RequestModulus(request.get()));
    ASSERT_EQ(publicKeys.size(), 1u);
    EXPECT_EQ(ToString(session.Attribute(publicKeys[0], CKA_LABEL)), "Tarnwick Public Key");
    const auto privateKeys = session.Find(CKO_PRIVATE_KEY, test::RequestModulus(request.get()));
    ASSERT_EQ(privateKeys.size(), 1u);
    CK_BYTE exponent[1024];
    CK_ATTRIBUTE secret{CKA_PRIVATE_EXPONENT, exponent, sizeof exponent};
    EXPECT_EQ(session.fn()->C_GetAttributeValue(session.handle(), privateKeys[0], &secret, 1),
              CKR_ATTRIBUTE_SENSITIVE);
}

TEST_F(KeygenOnTokenTest, CallsTemplatesAndCleanUpInOrder) {
    ASSERT_EQ(Generate({1024}), CKR_OK);
    EXPECT_THAT(CallsOfLastLoad(),
                ElementsAre("C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                            "C_GetTokenInfo", "C_OpenSession", "C_Login", "C_GenerateKeyPair",
                            "C_GetAttributeValue", "C_GetAttributeValue", "C_GetTokenInfo",
                            "C_GetAttributeValue", "C_SignInit", "C_Sign", "C_Logout",
                            "C_CloseSession", "C_CloseAllSessions", "C_Finalize"));

    const test::RecordedCall generate = FirstCall("C_GenerateKeyPair");
    EXPECT_EQ(generate.fields.at("mech"), "0x0");  // CKM_RSA_PKCS_KEY_PAIR_GEN
    ASSERT_EQ(generate.templates.size(), 2u);
    EXPECT_EQ(generate.templates[0], (Template{{CKA_CLASS, UlongBytes(CKO_PUBLIC_KEY)},
                                               {CKA_TOKEN, BoolBytes(true)},
                                               {CKA_KEY_TYPE, UlongBytes(CKK_RSA)},
                                               {CKA_LABEL, ToBytes("Tarnwick Public Key")},
                                               {CKA_MODULUS_BITS, UlongBytes(1024)},
                                               {CKA_PUBLIC_EXPONENT, Bytes{0x01, 0x00, 0x01}},
                                               {CKA_VERIFY, BoolBytes(true)},
                                               {CKA_ENCRYPT, BoolBytes(true)},
                                               {CKA_ID, ToBytes("OBJECT ID")}}));
    EXPECT_EQ(generate.templates[1], (Template{{CKA_CLASS, UlongBytes(CKO_PRIVATE_KEY)},
                                               {CKA_TOKEN, BoolBytes(true)},
                                               {CKA_PRIVATE, BoolBytes(true)},
                                               {CKA_LABEL, ToBytes("Tarnwick Private Key")},
                                               {CKA_SIGN, BoolBytes(true)},
                                               {CKA_DECRYPT, BoolBytes(true)},
                                               {CKA_ID, ToBytes("OBJECT ID")}}));
    // Signed with raw PKCS#1 v1.5 over the DigestInfo: the token pads, the wizard hashes.
    EXPECT_EQ(FirstCall("C_SignInit").fields.at("mech"), "0x1");
    EXPECT_EQ(FirstCall("C_Login").fields.at("pinlen"), "4");
    EXPECT_THAT(NewLog(), HasSubstr("] Login status: 0\n"));
}

TEST_F(KeygenOnTokenTest, SizesAreTriedInOrderUntilTheTokenAcceptsOne) {
    hsm_.WriteFaultConfig("rsa-key-sizes 1024 2048\n");
    ASSERT_EQ(Generate({4096, 2048}), CKR_OK);
    const std::string log = NewLog();
    const std::size_t using4096 = log.find("[GenerateSigningKeysOnToken] Using key of size 4096\n");
    const std::size_t cannot4096 = log.find("] Cannot use key of size 4096\n");
    const std::size_t using2048 = log.find("] Using key of size 2048\n");
    ASSERT_NE(using4096, std::string::npos);
    ASSERT_NE(cannot4096, std::string::npos);
    ASSERT_NE(using2048, std::string::npos);
    EXPECT_LT(using4096, cannot4096);
    EXPECT_LT(cannot4096, using2048);
    EXPECT_THAT(log, HasSubstr("[GenerateSigningKeysOnToken][SL_GenerateSigningKeysOnToken] "
                               "SL_GenerateSigningKeysOnToken\n"));

    // Only the accepted size reached the token.
    EXPECT_EQ(CountCalls("C_GenerateKeyPair"), 1);
    EXPECT_EQ(FirstCall("C_GenerateKeyPair").templates.at(0).at(4).second, UlongBytes(2048));
    const X509ReqPtr request = test::ParseRequestPem(pem_);
    ASSERT_TRUE(request);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(request.get())), 2048);
}

TEST_F(KeygenOnTokenTest, SizeOutsideTheLimitsStopsAfterReadingThem) {
    hsm_.WriteFaultConfig("rsa-key-sizes 1024 2048\n");
    EXPECT_EQ(Generate({4096}), CKR_KEY_SIZE_RANGE);
    EXPECT_TRUE(pem_.empty());
    EXPECT_THAT(
        test::CallNames(hsm_.RecordedCalls()),
        ElementsAre("C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                    "C_GetTokenInfo", "C_GetMechanismInfo", "C_GetMechanismInfo", "C_Finalize"));
    EXPECT_THAT(NewLog(), Not(HasSubstr("Cannot use key of size")));

    // Sizes no token has: below the minimum, negative.
    EXPECT_EQ(Generate({512, -2048}), CKR_KEY_SIZE_RANGE);
    EXPECT_THAT(test::CallNames(hsm_.RecordedCalls()), Not(Contains("C_OpenSession")));
}

TEST_F(KeygenOnTokenTest, TokenThatCannotKeepTheKeyGivesKeyOperationImpossible) {
    for (const char* hidden : {"CKM_RSA_PKCS_KEY_PAIR_GEN", "CKM_RSA_PKCS"}) {
        SCOPED_TRACE(hidden);
        hsm_.WriteFaultConfig(std::string("hide-mechanism ") + hidden + "\n");
        hsm_.ClearRecord();
        EXPECT_EQ(Generate({1024, 2048}), kTokenKeyOperationImpossible);
        EXPECT_THAT(test::CallNames(hsm_.RecordedCalls()), Not(Contains("C_GenerateKeyPair")));
        EXPECT_THAT(test::CallNames(hsm_.RecordedCalls()), Not(Contains("C_Login")));
    }
}

TEST_F(KeygenOnTokenTest, FailedSignatureGivesKeyOperationImpossibleAndKeepsTheKeys) {
    for (const char* rule : {"fail C_SignInit 0x70", "fail C_Sign 0x6"}) {
        SCOPED_TRACE(rule);
        hsm_.WriteFaultConfig(std::string(rule) + "\n");
        hsm_.ClearRecord();
        EXPECT_EQ(Generate({1024}), kTokenKeyOperationImpossible);
        EXPECT_TRUE(pem_.empty());
        EXPECT_THAT(CallsOfLastLoad(),
                    IsSupersetOf({"C_Logout", "C_CloseAllSessions", "C_Finalize"}));
    }
    test::SoftHsm::Session session("Alpha", "1234");
    EXPECT_EQ(session.Find(CKO_PRIVATE_KEY).size(), 2u);
}

TEST_F(KeygenOnTokenTest, LoginFoundInPlaceStaysInPlace) {
    hsm_.WriteFaultConfig("fail-after C_Login 0x100\n");
    hsm_.ClearRecord();

    ASSERT_EQ(Generate({1024}), CKR_OK);
    const X509ReqPtr request = test::ParseRequestPem(pem_);
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);
    const std::vector<std::string> calls = CallsOfLastLoad();
    EXPECT_THAT(calls, Not(Contains("C_Logout")));
    EXPECT_THAT(calls, Not(Contains("C_CloseAllSessions")));
    EXPECT_THAT(calls, Not(Contains("C_Finalize")));
    EXPECT_EQ(calls.back(), "C_CloseSession");
    EXPECT_THAT(NewLog(), HasSubstr("] Login status: 256\n"));

    // The library stays initialised for the one whose login it is, and so stays loaded.
    void* loaded = dlopen(test::FaultModuleLibrary(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(loaded, nullptr);
    dlclose(loaded);
    Pkcs11Module watcher;
    ASSERT_EQ(watcher.Load(test::FaultModuleLibrary()), CKR_OK);
    EXPECT_EQ(watcher.Initialize(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    watcher.AdoptInitialization();
}

TEST_F(KeygenOnTokenTest, LibraryInitialisedElsewhereInTheProcessIsLeftAsFound) {
    Pkcs11Module other;
    ASSERT_EQ(other.Load(test::FaultModuleLibrary()), CKR_OK);
    ASSERT_EQ(other.Initialize(), CKR_OK);
    std::vector<CK_SLOT_ID> slots;
    ASSERT_EQ(GetPresentSlots(other.fn(), slots), CKR_OK);
    Pkcs11Session theirs;
    ASSERT_EQ(theirs.Open(other.fn(), slots.at(token_.slotIndex), CKF_SERIAL_SESSION), CKR_OK);

    // Reading the limits reloads the library as its own cycle, which it cannot be now.
    EXPECT_EQ(Generate({1024}), CKR_CRYPTOKI_ALREADY_INITIALIZED);

    hsm_.ClearRecord();
    {
        KeygenSession session;
        ASSERT_EQ(session.Open(token_), CKR_OK);
        ASSERT_EQ(session.Login(Secret("1234")), CKR_OK);
        ASSERT_EQ(session.GenerateKeyPair(1024), CKR_OK);
    }
    EXPECT_THAT(CallsOfLastLoad(), Not(Contains("C_CloseAllSessions")));
    EXPECT_THAT(CallsOfLastLoad(), Not(Contains("C_Finalize")));
    CK_SESSION_INFO info{};
    EXPECT_EQ(other.fn()->C_GetSessionInfo(theirs.handle(), &info), CKR_OK);
}

TEST_F(KeygenOnTokenTest, SubjectRefusedBeforeAnyKeyIsGenerated) {
    const std::string tooLong(65, 'x');
    const std::vector<std::pair<CertFields, CK_RV>> cases = {
        {{{"CN", ""}}, kToolkitEmptyValue},
        {{{"C", "RÖ"}}, kToolkitNotPrintable},
        {{{"CN", tooLong}}, kToolkitValueTooLong},
    };
    for (const auto& [fields, code] : cases) {
        SCOPED_TRACE(code);
        hsm_.ClearRecord();
        EXPECT_EQ(Generate({1024}, SubjectFieldsFromServerFields(fields)), code);
        EXPECT_THAT(test::CallNames(hsm_.RecordedCalls()), Not(Contains("C_OpenSession")));
    }
    SubjectFields badText = Subject();
    badText[kSlotCommonName] = std::string("\xC3\x28", 2);
    EXPECT_EQ(Generate({1024}, badText), kToolkitBadText);

    // An otherName value that is not DER cannot be asked for either.
    RequestedExtensions extensions;
    extensions.altNames.otherNameOid = kUpnOid;
    extensions.altNames.otherNameValue = {0x0C, 0x05, 'a'};
    hsm_.ClearRecord();
    EXPECT_EQ(Generate({1024}, Subject(), &extensions), kToolkitDecodeError);
    EXPECT_THAT(test::CallNames(hsm_.RecordedCalls()), Not(Contains("C_GenerateKeyPair")));
}

TEST_F(KeygenOnTokenTest, TokenFailuresPassThroughAndStopTheLoop) {
    hsm_.WriteFaultConfig("fail C_GenerateKeyPair 0x31\n");
    EXPECT_EQ(Generate({2048, 1024}), CKR_DEVICE_MEMORY);
    EXPECT_EQ(CountCalls("C_GenerateKeyPair"), 1);
    EXPECT_THAT(NewLog(), Not(HasSubstr("Using key of size 1024")));

    hsm_.WriteFaultConfig("");
    EXPECT_EQ(Generate({1024}, Subject(), nullptr, "9999"), CKR_PIN_INCORRECT);
    EXPECT_THAT(NewLog(), HasSubstr("] Login status: 160\n"));

    // The slot list changed under the record: another token may sit at its position, or none.
    hsm_.InitToken("Beta", "1234");
    std::vector<CK_RV> results;
    for (token_.slotIndex = 0; token_.slotIndex < 2; ++token_.slotIndex) {
        results.push_back(Generate({1024}));
    }
    EXPECT_THAT(results, ::testing::UnorderedElementsAre(CKR_OK, CKR_TOKEN_NOT_PRESENT));
    EXPECT_EQ(test::SoftHsm::Session("Beta", "1234").Find(CKO_PRIVATE_KEY).size(), 0u);
    token_.slotIndex = 7;
    EXPECT_EQ(Generate({1024}), CKR_TOKEN_NOT_PRESENT);
}

TEST_F(KeygenOnTokenTest, EmptySizeListGeneratesNothing) {
    pem_ = "untouched";
    EXPECT_EQ(Generate({}), CKR_OK);
    EXPECT_EQ(pem_, "untouched");
    EXPECT_TRUE(hsm_.RecordedCalls().empty());
}

}  // namespace
}  // namespace qe
