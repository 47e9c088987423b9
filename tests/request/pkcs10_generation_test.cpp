// The two request builders as the register flow calls them: subject sources, token selection,
// progress, log lines and the mapping of result codes to error identifiers.
#include "request/pkcs10_generation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "keygen_fixture.h"
#include "token/token_status.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Stands in for the window's progress bar: keeps every record posted.
class RecordingProgress : public ProgressPort {
public:
    void PostProgress(int position, int target, int duration) override {
        records.emplace_back(position, target, duration);
    }
    std::vector<std::tuple<int, int, int>> records;
};

class Pkcs10GenerationTest : public test::KeygenTest {
protected:
    ErrorId FromFields(const std::wstring& text, const std::vector<std::int32_t>& sizes = {1024},
                       const char* pin = "1234") {
        return GeneratePKCS10(text, sizes, Secret(pin), progress_, pem_, resultCode_);
    }
    ErrorId FromCertificate(const std::wstring& dn, const RequestedExtensions& extensions = {}) {
        return GeneratePKCS10OIDValidation(dn, extensions, {1024}, Secret("1234"), progress_, pem_,
                                           resultCode_);
    }
    // The request's subject as "OID=value" in encoded order.
    std::vector<std::string> Subject() const {
        const X509ReqPtr request = test::ParseRequestPem(pem_);
        std::vector<std::string> out;
        const X509_NAME* name = request ? X509_REQ_get_subject_name(request.get()) : nullptr;
        for (int i = 0; name != nullptr && i < X509_NAME_entry_count(name); ++i) {
            const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
            const ASN1_STRING* value = X509_NAME_ENTRY_get_data(e);
            out.push_back(std::string(OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(e)))) +
                          "=" +
                          std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                                      ASN1_STRING_length(value)));
        }
        return out;
    }

    RecordingProgress progress_;
    std::string pem_ = "left over";
    int resultCode_ = -1;
};

TEST_F(Pkcs10GenerationTest, CarriageReturnReachesServerFieldValuesOnly) {
    ASSERT_EQ(FromFields(L"CN= Test User\r\nOU=A//B\nC=RO\nXYZ=ignored\n"), ERR_SUCCESS);
    EXPECT_EQ(resultCode_, 0);
    EXPECT_THAT(Subject(), ElementsAre("C=RO", "OU=A", "OU=B", "CN= Test User\r"));
    EXPECT_EQ(X509_REQ_get_attr_count(test::ParseRequestPem(pem_).get()), 0);
    EXPECT_THAT(progress_.records, ElementsAre(std::make_tuple(20, 95, 600)));
    EXPECT_EQ(log_.Lines("CSR generation"),
              std::vector<std::string>{"[T] CSR generation finished with status: 0"});

    log_.Restart();
    ASSERT_EQ(FromCertificate(L"2.5.4.3= Test User\r\n"), ERR_SUCCESS);
    EXPECT_THAT(Subject(), ElementsAre("CN= Test User"));
    const std::string tag = "[T][GeneratePKCS10OIDValidation] ";
    EXPECT_EQ(log_.Lines("OIDValidation\\] [^\\[]"),
              (std::vector<std::string>{
                  tag + "GeneratePKCS10OIDValidation", tag + "Building Names And Parameters =  ",
                  tag + "Constructing Names And Parameters Succesfully =  ",
                  tag + "Before Check UserToken =  ", tag + "Before Generate Keys =  ",
                  tag + "CSR generation finished with status: 0"}));
}

TEST_F(Pkcs10GenerationTest, ResultCodesMapToErrorIdentifiers) {
    const struct {
        const char* faults;
        std::vector<std::int32_t> sizes;
        const char* pin;
        int code;
        ErrorId id;
    } cases[] = {
        {"fail C_GenerateKeyPair 0x31", {1024}, "1234", 49, ERR_TOKEN_FULL},
        {"fail C_GenerateKeyPair 0x30", {1024}, "1234", 48, ERR_OLD_DRIVER},
        {"rsa-key-sizes 1024 2048", {4096, 3072}, "1234", 98, ERR_TOKEN_RESTRICTED},
        {"hide-mechanism CKM_RSA_PKCS_KEY_PAIR_GEN", {1024}, "1234", 523, ERR_KEYGEN_FAILED},
        {"", {1024}, "4321", 160, ERR_TOKEN_DEVICE},
        {"fail C_Login 0xe0", {1024}, "1234", 224, ERR_TOKEN_DEVICE},
        {"", {}, "1234", 0, ERR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        hsm_.WriteFaultConfig(c.faults);
        log_.Restart();
        pem_ = "left over";
        EXPECT_EQ(FromFields(L"CN=Test User\n", c.sizes, c.pin), c.id);
        EXPECT_EQ(resultCode_, c.code);
        EXPECT_THAT(pem_, IsEmpty());
        EXPECT_EQ(log_.Lines("CSR generation|4321"),
                  std::vector<std::string>{"[T] CSR generation finished with status: " +
                                           std::to_string(c.code)});
    }
}

TEST_F(Pkcs10GenerationTest, NoTokenOrTwoTokensStopBeforeTheProgress) {
    hsm_.InitToken("Beta", "5678");
    for (const auto& [modules, code] :
         {std::pair<const char*, CK_RV>{"/nonexistent/libnotoken.so", TOKEN_NONE},
          {test::FaultModuleLibrary(), TOKEN_MULTIPLE}}) {
        hsm_.WriteModuleList({modules});
        hsm_.ClearRecord();
        EXPECT_EQ(FromFields(L"CN=Test User\n"), ERR_TOKEN_DEVICE);
        EXPECT_EQ(resultCode_, static_cast<int>(code));
        EXPECT_EQ(FromCertificate(L"2.5.4.3=Test User"), ERR_TOKEN_DEVICE);
        EXPECT_EQ(resultCode_, static_cast<int>(code));
        EXPECT_THAT(test::CallNames(hsm_.RecordedCalls()),
                    ::testing::Not(::testing::Contains("C_Login")));
    }
    EXPECT_THAT(progress_.records, IsEmpty());
}

TEST_F(Pkcs10GenerationTest, TextWithoutUtf8FormNeverReachesTheToken) {
    EXPECT_EQ(FromFields(std::wstring(L"CN=Test ") + wchar_t(0xD800)), ERR_TOKEN_DEVICE);
    EXPECT_EQ(resultCode_, kToolkitBadText);
    EXPECT_EQ(FromCertificate(L"2.5.4.3=" + std::wstring(1, wchar_t(0x110000))), ERR_TOKEN_DEVICE);
    EXPECT_EQ(resultCode_, kToolkitBadText);
    EXPECT_TRUE(hsm_.RecordedCalls().empty());
    EXPECT_THAT(progress_.records, IsEmpty());
}

}  // namespace
}  // namespace qe
