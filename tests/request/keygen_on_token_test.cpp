// Key pair generation and request signing on SoftHSM2, seen through the fault module's record,
// and the two request builders as the register flow calls them: subject sources, token
// selection, progress, log lines and the mapping of result codes to error identifiers.
#include "request/keygen_on_token.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "request/keygen_session.h"
#include "request/pkcs10_generation.h"
#include "support/outside_step.h"
#include "support/process_log.h"
#include "support/softhsm.h"
#include "support/test_pki.h"
#include "token/open_token.h"
#include "token/token_status.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using test::BoolBytes;
using test::ParseRequestPem;
using test::UlongBytes;
using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

using Template = std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>>;

// Stands in for the window's progress bar: keeps every record posted.
class RecordingProgress : public ProgressPort {
public:
    void PostProgress(int position, int target, int duration) override {
        records.emplace_back(position, target, duration);
    }
    std::vector<std::tuple<int, int, int>> records;
};

// A private SoftHSM2 with one token "Alpha" (user PIN 1234) reached through the fault module,
// which is the whole module list.
class KeygenOnTokenTest : public ::testing::Test {
protected:
    void SetUp() override {
        subject_[kSlotCountry] = "RO";
        subject_[kSlotCommonName] = "Test User";
        hsm_.InitToken("Alpha", "1234");
        hsm_.WriteModuleList({test::FaultModuleLibrary()});
        const std::vector<zel_token> tokens = test::ListedTokens();
        ASSERT_EQ(tokens.size(), 1u);
        token_ = tokens.front();
        hsm_.ClearRecord();
        log_.Restart();
    }
    CK_RV Generate(const std::vector<std::int32_t>& sizes, const char* pin = "1234",
                   const RequestedExtensions* extensions = nullptr) {
        return GenerateSigningKeysOnToken(test::NoTokenStep(), sizes, token_, Secret(pin), subject_,
                                          extensions, pem_);
    }
    ErrorId FromFields(const std::wstring& text, const std::vector<std::int32_t>& sizes = {1024},
                       const char* pin = "1234") {
        return GeneratePKCS10(test::NoTokenStep(), text, sizes, Secret(pin), progress_, pem_,
                              resultCode_);
    }
    ErrorId FromCertificate(const std::wstring& dn) {
        return GeneratePKCS10OIDValidation(test::NoTokenStep(), dn, {}, {1024}, Secret("1234"),
                                           progress_, pem_, resultCode_);
    }
    std::string Subject() const { return test::SubjectLine(ParseRequestPem(pem_).get()); }
    std::vector<std::string> Calls() const { return test::CallNames(hsm_.RecordedCalls()); }
    // The names of the recorded calls from the last C_GetFunctionList on (one operation).
    std::vector<std::string> CallsOfLastLoad() const {
        const std::vector<std::string> names = Calls();
        const auto last = std::find(names.rbegin(), names.rend(), "C_GetFunctionList");
        return last == names.rend() ? names
                                    : std::vector<std::string>(last.base() - 1, names.end());
    }
    // The first recorded call of that name; fails the test when there is none.
    test::RecordedCall FirstCall(const std::string& name) const {
        const std::vector<test::RecordedCall> calls = hsm_.RecordedCalls();
        const auto it = std::find_if(calls.begin(), calls.end(),
                                     [&name](const auto& call) { return call.name == name; });
        EXPECT_NE(it, calls.end()) << "no call " << name;
        return it == calls.end() ? test::RecordedCall{} : *it;
    }

    test::SoftHsm hsm_;
    zel_token token_;
    test::ProcessLog log_;
    SubjectFields subject_;
    std::string pem_;
    RecordingProgress progress_;
    int resultCode_ = -1;
};

TEST_F(KeygenOnTokenTest, GeneratesOnTheTokenAndSignsThereInOneCycle) {
    ASSERT_EQ(Generate({1024}), CKR_OK);
    const X509ReqPtr request = ParseRequestPem(pem_);
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);
    EXPECT_EQ(EVP_PKEY_get_bits(X509_REQ_get0_pubkey(request.get())), 1024);
    EXPECT_EQ(X509_REQ_get_version(request.get()), 0);
    const X509_ALGOR* algorithm = nullptr;
    X509_REQ_get0_signature(request.get(), nullptr, &algorithm);
    const ASN1_OBJECT* oid = nullptr;
    int parameterType = 0;
    X509_ALGOR_get0(&oid, &parameterType, nullptr, algorithm);
    EXPECT_EQ(OBJ_obj2nid(oid), NID_sha256WithRSAEncryption);
    EXPECT_EQ(parameterType, V_ASN1_NULL);
    EXPECT_EQ(X509_REQ_get_attr_count(request.get()), 0);
    EXPECT_THAT(
        CallsOfLastLoad(),
        ElementsAre("C_GetFunctionList", "C_Initialize", "C_GetSlotList", "C_GetSlotList",
                    "C_GetTokenInfo", "C_OpenSession", "C_Login",
                    // the certificates whose keys the generation must leave in place (none here)
                    "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_GenerateKeyPair",
                    "C_GetAttributeValue", "C_GetAttributeValue", "C_GetAttributeValue",
                    "C_GetTokenInfo", "C_GetAttributeValue", "C_SignInit", "C_GetAttributeValue",
                    "C_Sign", "C_Logout", "C_CloseSession", "C_CloseAllSessions", "C_Finalize"));
    const test::RecordedCall generate = FirstCall("C_GenerateKeyPair");
    EXPECT_EQ(generate.fields.at("mech"), "0x0");  // CKM_RSA_PKCS_KEY_PAIR_GEN
    // An identifier of this generation's own, beside the prefix earlier versions used alone.
    const Bytes id = generate.templates.at(0).back().second;
    EXPECT_THAT(ToString(id), ::testing::MatchesRegex("OBJECT ID [0-9a-f]{32}"));
    EXPECT_THAT(generate.templates,
                ElementsAre(Template{{CKA_CLASS, UlongBytes(CKO_PUBLIC_KEY)},
                                     {CKA_TOKEN, BoolBytes(true)},
                                     {CKA_KEY_TYPE, UlongBytes(CKK_RSA)},
                                     {CKA_LABEL, ToBytes("Tarnwick Public Key")},
                                     {CKA_MODULUS_BITS, UlongBytes(1024)},
                                     {CKA_PUBLIC_EXPONENT, Bytes{0x01, 0x00, 0x01}},
                                     {CKA_VERIFY, BoolBytes(true)},
                                     {CKA_ENCRYPT, BoolBytes(true)},
                                     {CKA_ID, id}},
                            Template{{CKA_CLASS, UlongBytes(CKO_PRIVATE_KEY)},
                                     {CKA_TOKEN, BoolBytes(true)},
                                     {CKA_PRIVATE, BoolBytes(true)},
                                     {CKA_LABEL, ToBytes("Tarnwick Private Key")},
                                     {CKA_SIGN, BoolBytes(true)},
                                     {CKA_DECRYPT, BoolBytes(true)},
                                     {CKA_ID, id},
                                     {CKA_SENSITIVE, BoolBytes(true)},
                                     {CKA_EXTRACTABLE, BoolBytes(false)}}));
    // Raw PKCS#1 v1.5 over the DigestInfo: the token pads, the wizard hashes.
    EXPECT_EQ(FirstCall("C_SignInit").fields.at("mech"), "0x1");
}

// Each row runs the token step and then the register flow's builder over it.
TEST_F(KeygenOnTokenTest, SizesAreTriedInOrderAndResultCodesMapToErrorIdentifiers) {
    const char* const fits = "rsa-key-sizes 1024 2048";
    const struct {
        const char* faults;
        std::vector<std::int32_t> sizes;
        CK_RV rv;
        ErrorId id;
        std::vector<std::int32_t> tried;  // the sizes handed to the token, in order
        const char* pin = "1234";
    } cases[] = {
        {fits, {4096, 2048}, CKR_OK, ERR_SUCCESS, {4096, 2048}},
        {fits, {512, -2048}, CKR_KEY_SIZE_RANGE, ERR_TOKEN_RESTRICTED, {512, -2048}},
        {"fail C_GenerateKeyPair 0x31", {2048, 1024}, CKR_DEVICE_MEMORY, ERR_TOKEN_FULL, {2048}},
        {"hide-mechanism CKM_RSA_PKCS_KEY_PAIR_GEN", {1024, 2048}, 523, ERR_KEYGEN_FAILED, {1024}},
        {"hide-mechanism CKM_RSA_PKCS", {1024, 2048}, 523, ERR_KEYGEN_FAILED, {1024}},
        {"", {1024}, CKR_PIN_INCORRECT, ERR_TOKEN_DEVICE, {1024}, "4321"},
        // Cancelled on a reader's keypad, or the PIN locked there.
        {"fail C_Login 0x50", {1024}, CKR_FUNCTION_CANCELED, ERR_CANCELLED, {1024}},
        {"fail C_Login 0xa4", {1024}, CKR_PIN_LOCKED, ERR_PIN_LOCKED, {1024}},
        {"", {}, CKR_OK, ERR_SUCCESS, {}},
    };
    const std::string outer = "[T][GenerateSigningKeysOnToken] ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults + testing::PrintToString(c.sizes));
        hsm_.WriteFaultConfig(std::string(c.faults) + "\n");
        hsm_.ClearRecord();
        log_.Restart();
        pem_ = "untouched";
        EXPECT_EQ(Generate(c.sizes, c.pin), c.rv);
        std::vector<std::string> lines = {outer + "GenerateSigningKeysOnToken"};
        for (std::size_t i = 0; i < c.tried.size(); ++i) {
            const std::string size = std::to_string(c.tried[i]);
            lines.push_back(outer + "Using key of size " + size);
            lines.push_back(outer.substr(0, outer.size() - 1) +
                            "[SL_GenerateSigningKeysOnToken] SL_GenerateSigningKeysOnToken");
            if (i + 1 < c.tried.size()) {
                lines.push_back(outer + "Cannot use key of size " + size);
            }
        }
        EXPECT_EQ(log_.Lines("key of size|\\] (SL_)?GenerateSigningKeysOnToken$"), lines);
        // Sizes are checked against the token's limits before a session opens.
        const bool opened = c.rv != CKR_KEY_SIZE_RANGE && c.rv != 523 && !c.tried.empty();
        const bool generated = opened && c.pin == std::string("1234") &&
                               std::string(c.faults).find("C_Login") == std::string::npos;
        const auto calls = Calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_GenerateKeyPair"), generated ? 1 : 0);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "C_OpenSession"), opened ? 1 : 0);
        const bool made = c.rv == CKR_OK && generated;
        EXPECT_EQ(pem_ != "untouched", made);
        if (generated) {
            EXPECT_EQ(FirstCall("C_GenerateKeyPair").templates.at(0).at(4).second,
                      UlongBytes(static_cast<CK_ULONG>(c.tried.back())));
        }

        log_.Restart();
        pem_ = "left over";
        EXPECT_EQ(FromFields(L"CN=Test User\n", c.sizes, c.pin), c.id);
        EXPECT_EQ(resultCode_, static_cast<int>(c.rv));
        EXPECT_EQ(pem_.empty(), !made);
        EXPECT_EQ(log_.Lines("CSR generation|4321"),
                  std::vector<std::string>{"[T] CSR generation finished with status: " +
                                           std::to_string(c.rv)});
    }
}

// A key pair no request will use goes again before the session closes.
TEST_F(KeygenOnTokenTest, EachFailingTokenCallEndsTheCycleAndCleansUp) {
    const std::vector<std::string> closing = {"C_DestroyObject",    "C_DestroyObject",
                                              "C_Logout",           "C_CloseSession",
                                              "C_CloseAllSessions", "C_Finalize"};
    // Rows: the fault, the PIN, the result and how many calls of `closing`, from its end, follow
    // the failure.
    const std::tuple<const char*, const char*, CK_RV, std::size_t> cases[] = {
        {"fail C_OpenSession 0x30", "1234", CKR_DEVICE_ERROR, 1},
        {"", "9999", CKR_PIN_INCORRECT, 3},
        {"fail C_Login 0xA2", "1234", CKR_PIN_LEN_RANGE, 3},
        {"fail C_GetAttributeValue 0x30", "1234", CKR_DEVICE_ERROR, 6},
        {"fail C_GetAttributeValue 0x30 skip 3", "1234", CKR_DEVICE_ERROR, 6},
        {"fail C_GetTokenInfo 0x30 skip 1", "1234", CKR_DEVICE_ERROR, 6},
        {"fail C_SignInit 0x70", "1234", 523, 6},
        {"fail C_Sign 0x6", "1234", 523, 6},
    };
    for (const auto& [fault, pin, rv, cleanUp] : cases) {
        SCOPED_TRACE(fault);
        hsm_.WriteFaultConfig(std::string(fault) + "\n");
        hsm_.ClearRecord();
        log_.Restart();
        pem_.clear();
        EXPECT_EQ(Generate({1024}, pin), rv);
        EXPECT_TRUE(pem_.empty());
        const auto calls = CallsOfLastLoad();
        ASSERT_GT(calls.size(), cleanUp);
        EXPECT_EQ(
            std::vector<std::string>(calls.end() - static_cast<long>(cleanUp), calls.end()),
            std::vector<std::string>(closing.end() - static_cast<long>(cleanUp), closing.end()));
        EXPECT_THAT(test::SoftHsm::Session("Alpha", "1234").Find(CKO_PRIVATE_KEY), IsEmpty());
        if (cleanUp >= 3) {
            EXPECT_EQ(log_.Lines("Login status"),
                      std::vector<std::string>{"[T][GenerateSigningKeysOnToken][SL_"
                                               "GenerateSigningKeysOnToken] Login status: " +
                                               std::to_string(cleanUp == 3 ? rv : 0)});
        }
    }
    EXPECT_THAT(log_.Since(), Not(::testing::HasSubstr("9999")));
}

TEST_F(KeygenOnTokenTest, LoginFoundInPlaceStaysInPlace) {
    hsm_.WriteFaultConfig("fail-after C_Login 0x100\n");
    ASSERT_EQ(Generate({1024}), CKR_OK);
    EXPECT_TRUE(ParseRequestPem(pem_));
    const std::vector<std::string> calls = CallsOfLastLoad();
    EXPECT_THAT(calls, Not(Contains(AnyOf("C_Logout", "C_CloseAllSessions", "C_Finalize"))));
    EXPECT_EQ(calls.back(), "C_CloseSession");
    EXPECT_EQ(log_.Lines("Login status").back(),
              "[T][GenerateSigningKeysOnToken][SL_GenerateSigningKeysOnToken] Login status: 256");

    // The library stays initialised for the one whose login it is.
    Pkcs11Module watcher;
    ASSERT_EQ(watcher.Load(test::FaultModuleLibrary(), test::NoTokenStep()), CKR_OK);
    EXPECT_EQ(watcher.Initialize(), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    watcher.AdoptInitialization();
}

TEST_F(KeygenOnTokenTest, LibraryInitialisedElsewhereInTheProcessIsLeftAsFound) {
    Pkcs11Module other;
    ASSERT_EQ(other.Load(test::FaultModuleLibrary(), test::NoTokenStep()), CKR_OK);
    ASSERT_EQ(other.Initialize(), CKR_OK);
    std::vector<CK_SLOT_ID> slots;
    ASSERT_EQ(GetPresentSlots(other.fn(), slots), CKR_OK);
    Pkcs11Session theirs;
    ASSERT_EQ(theirs.Open(other.fn(), slots.at(token_.slotIndex), CKF_SERIAL_SESSION), CKR_OK);

    // Shared while the other holds it: nothing of theirs is closed or finalised.
    EXPECT_EQ(Generate({1024}), CKR_OK);
    EXPECT_THAT(CallsOfLastLoad(), Not(Contains(AnyOf("C_CloseAllSessions", "C_Finalize"))));
    hsm_.ClearRecord();
    {
        KeygenSession session(test::NoTokenStep());
        ASSERT_EQ(session.Open(token_), CKR_OK);
        ASSERT_EQ(session.Login(Secret("1234")), CKR_OK);
        ASSERT_EQ(session.GenerateKeyPair(1024), CKR_OK);
    }
    EXPECT_THAT(CallsOfLastLoad(), Not(Contains(AnyOf("C_CloseAllSessions", "C_Finalize"))));
    CK_SESSION_INFO info{};
    EXPECT_EQ(other.fn()->C_GetSessionInfo(theirs.handle(), &info), CKR_OK);

    zel_token notPkcs11 = token_;
    notPkcs11.modulePath = "libc.so.6";
    KeygenSession session(test::NoTokenStep());
    EXPECT_EQ(session.Open(notPkcs11), kKeygenNoFunctionList);
}

TEST_F(KeygenOnTokenTest, ContentRefusedBeforeAnyKeyIsGenerated) {
    RequestedExtensions notDer;
    notDer.altNames.otherNameOid = kUpnOid;
    notDer.altNames.otherNameValue = {0x0C, 0x05, 'a'};
    EXPECT_EQ(Generate({1024}, "1234", &notDer), kToolkitDecodeError);
    subject_[kSlotCommonName] = "";
    EXPECT_EQ(Generate({1024}), kToolkitEmptyValue);
    EXPECT_THAT(Calls(), Not(Contains("C_OpenSession")));
}

TEST_F(KeygenOnTokenTest, KeyGoesToTheChosenTokenOrNowhere) {
    // Slots renumbered under the record: the token is found by its serial number and label.
    hsm_.InitToken("Beta", "1234");
    token_.slotIndex = 7;
    token_.slotId ^= 1;
    EXPECT_EQ(Generate({1024}), CKR_OK);
    token_.label[0] ^= 1;  // the same serial number with another label is another token
    EXPECT_EQ(Generate({1024}), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(test::SoftHsm::Session("Beta", "1234").Find(CKO_PRIVATE_KEY).size(), 0u);
    EXPECT_EQ(test::SoftHsm::Session("Alpha", "1234").Find(CKO_PRIVATE_KEY).size(), 1u);
}

TEST_F(KeygenOnTokenTest, CarriageReturnReachesServerFieldValuesOnly) {
    ASSERT_EQ(FromFields(L"CN= Test User\r\nOU=A//B\nC=RO\nXYZ=ignored\n"), ERR_SUCCESS);
    EXPECT_EQ(Subject(), "/C=RO/OU=A/OU=B/CN= Test User\\x0D");
    EXPECT_THAT(progress_.records, ElementsAre(std::make_tuple(20, 95, 600)));
    EXPECT_EQ(log_.Lines("CSR generation"),
              std::vector<std::string>{"[T] CSR generation finished with status: 0"});

    log_.Restart();
    ASSERT_EQ(FromCertificate(L"2.5.4.3= Test User\r\n"), ERR_SUCCESS);
    EXPECT_EQ(Subject(), "/CN= Test User");
    const std::string tag = "[T][GeneratePKCS10OIDValidation] ";
    EXPECT_EQ(log_.Lines("OIDValidation\\] [^\\[]"),
              (std::vector<std::string>{
                  tag + "GeneratePKCS10OIDValidation", tag + "Building Names And Parameters =  ",
                  tag + "Constructing Names And Parameters Succesfully =  ",
                  tag + "Before Check UserToken =  ", tag + "Before Generate Keys =  ",
                  tag + "CSR generation finished with status: 0"}));
}

// No token, two, or text without a UTF-8 form: refused before the progress and any login; the
// text before any token is even listed.
TEST_F(KeygenOnTokenTest, NoTokenTwoTokensOrBadTextStopBeforeTheProgress) {
    hsm_.InitToken("Beta", "5678");
    const std::tuple<const char*, std::wstring, std::wstring, int> cases[] = {
        {"/nonexistent/libnotoken.so", L"CN=Test User\n", L"2.5.4.3=Test User", TOKEN_NONE},
        {test::FaultModuleLibrary(), L"CN=Test User\n", L"2.5.4.3=Test User", TOKEN_MULTIPLE},
        {test::FaultModuleLibrary(), std::wstring(L"CN=Test ") + wchar_t(0xD800),
         L"2.5.4.3=" + std::wstring(1, wchar_t(0x110000)), kToolkitBadText},
    };
    for (const auto& [module, fields, dn, code] : cases) {
        hsm_.WriteModuleList({module});
        hsm_.ClearRecord();
        EXPECT_EQ(FromFields(fields), ERR_TOKEN_DEVICE);
        EXPECT_EQ(resultCode_, code);
        EXPECT_EQ(FromCertificate(dn), ERR_TOKEN_DEVICE);
        EXPECT_EQ(resultCode_, code);
        const auto calls = Calls();
        EXPECT_THAT(calls, Not(Contains("C_Login")));
        EXPECT_EQ(calls.empty(), code != static_cast<int>(TOKEN_MULTIPLE));
    }
    EXPECT_THAT(progress_.records, IsEmpty());
}

}  // namespace
}  // namespace qe
