// The two request builders as the register flow calls them: subject sources, token selection,
// progress, log lines and the mapping of result codes to error identifiers.
#include "request/pkcs10_generation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "cert_factory.h"
#include "keygen_fixture.h"
#include "request/cert_names.h"
#include "token/token_certificate.h"
#include "token/token_status.h"
#include "toolkit/status.h"

namespace qe {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Entry = std::tuple<std::string, int, std::string>;

class Pkcs10GenerationTest : public test::KeygenTest {
protected:
    ErrorId FromFields(const std::wstring& text, const std::vector<std::int32_t>& sizes = {1024},
                       const char* pin = "1234") {
        return GeneratePKCS10(text, sizes, Secret(pin), progress_, pem_, resultCode_);
    }
    ErrorId FromCertificate(const std::wstring& dn, const RequestedExtensions& extensions) {
        return GeneratePKCS10OIDValidation(dn, extensions, {1024}, Secret("1234"), progress_, pem_,
                                           resultCode_);
    }

    test::RecordingProgress progress_;
    std::string pem_ = "left over";
    int resultCode_ = -1;
};

TEST_F(Pkcs10GenerationTest, ServerFieldsGiveTheSubjectInTableOrderAndTypes) {
    ASSERT_EQ(FromFields(L"CN=Test User\nPHONE=+40 21 000 00 00\nOU=Vânzări//Contabilitate\n"
                         L"O=Firma SRL\nC=RO\nSN=PNORO-1234\nXYZ=ignored\n"),
              ERR_SUCCESS);
    EXPECT_EQ(resultCode_, 0);
    EXPECT_THAT(progress_.records, ElementsAre(std::make_tuple(20, 95, 600)));
    EXPECT_THAT(NewLog(), HasSubstr("] CSR generation finished with status: 0\n"));

    const X509ReqPtr request = test::ParseRequestPem(pem_);
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);
    EXPECT_EQ(X509_REQ_get_version(request.get()), 0);
    EXPECT_EQ(X509_REQ_get_signature_nid(request.get()), NID_sha256WithRSAEncryption);
    const X509_ALGOR* algorithm = nullptr;
    X509_REQ_get0_signature(request.get(), nullptr, &algorithm);
    int parameterType = 0;
    X509_ALGOR_get0(nullptr, &parameterType, nullptr, algorithm);
    EXPECT_EQ(parameterType, V_ASN1_NULL);
    EXPECT_EQ(X509_REQ_get_attr_count(request.get()), 0);  // server fields ask for no extension
    EXPECT_THAT(test::SubjectEntriesOf(request.get()),
                ElementsAre(Entry{"C", V_ASN1_PRINTABLESTRING, "RO"},
                            Entry{"O", V_ASN1_UTF8STRING, "Firma SRL"},
                            Entry{"OU", V_ASN1_UTF8STRING, "Vânzări"},
                            Entry{"OU", V_ASN1_UTF8STRING, "Contabilitate"},
                            Entry{"CN", V_ASN1_UTF8STRING, "Test User"},
                            Entry{"telephoneNumber", V_ASN1_PRINTABLESTRING, "+40 21 000 00 00"},
                            Entry{"serialNumber", V_ASN1_PRINTABLESTRING, "PNORO-1234"}));

    // PEM: CR LF after every line, at most 64 Base64 characters a line, no empty line.
    ASSERT_EQ(pem_.rfind("-----BEGIN CERTIFICATE REQUEST-----\r\n", 0), 0u);
    EXPECT_TRUE(pem_.ends_with("\r\n-----END CERTIFICATE REQUEST-----\r\n"));
    std::size_t lines = 0;
    for (std::size_t at = 0, end; (end = pem_.find("\r\n", at)) != std::string::npos;
         at = end + 2, ++lines) {
        EXPECT_LE(end - at, 64u);
        EXPECT_NE(end, at) << "empty line";
    }
    EXPECT_EQ(lines, static_cast<std::size_t>(std::count(pem_.begin(), pem_.end(), '\n')));
}

TEST_F(Pkcs10GenerationTest, CarriageReturnStaysOnlyInServerFieldValues) {
    ASSERT_EQ(FromFields(L"CN= Test User\r\n"), ERR_SUCCESS);
    EXPECT_THAT(test::SubjectEntriesOf(test::ParseRequestPem(pem_).get()),
                ElementsAre(Entry{"CN", V_ASN1_UTF8STRING, " Test User\r"}));

    ASSERT_EQ(FromCertificate(L"2.5.4.3= Test User\r\n", RequestedExtensions{}), ERR_SUCCESS);
    EXPECT_THAT(test::SubjectEntriesOf(test::ParseRequestPem(pem_).get()),
                ElementsAre(Entry{"CN", V_ASN1_UTF8STRING, " Test User"}));
}

TEST_F(Pkcs10GenerationTest, RenewalRepeatsTheCertificateOnTheToken) {
    const PkeyPtr oldKey = test::MakeRsaKey(1024);
    test::CertSpec spec;
    spec.subject = {{"C", "RO", MBSTRING_ASC},
                    {"O", "Firma SRL", MBSTRING_UTF8},
                    {"CN", "Ion Popescu", MBSTRING_UTF8}};
    spec.emails = {"ion.popescu@firma.ro"};
    spec.upn = "ion.popescu@firma.local";
    {
        test::SoftHsm::Session session("Alpha", "1234");
        session.CreateCertificate(test::MakeCertificate(spec, oldKey.get()), ToBytes("old"),
                                  "Ion Popescu");
    }
    std::vector<TokenCertificate> store;
    ASSERT_EQ(GetSmartCardStore(token_, store), 0);
    ASSERT_EQ(store.size(), 1u);
    const Bytes& oldCert = store.front().der;

    ASSERT_EQ(FromCertificate(BuildDNFromCertificate(oldCert), GetSubjectAlternativeNames(oldCert)),
              ERR_SUCCESS);
    const X509ReqPtr request = test::ParseRequestPem(pem_);
    ASSERT_TRUE(request);
    EXPECT_EQ(X509_REQ_verify(request.get(), X509_REQ_get0_pubkey(request.get())), 1);
    const unsigned char* p = oldCert.data();
    const X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(oldCert.size())));
    EXPECT_EQ(
        X509_NAME_cmp(X509_REQ_get_subject_name(request.get()), X509_get_subject_name(cert.get())),
        0);
    const GeneralNamesPtr requested = test::RequestedAltNames(request.get());
    const GeneralNamesPtr held(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)));
    ASSERT_TRUE(requested);
    ASSERT_EQ(sk_GENERAL_NAME_num(requested.get()), 2);
    EXPECT_EQ(sk_GENERAL_NAME_value(requested.get(), 0)->type, GEN_OTHERNAME);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(GENERAL_NAME_cmp(sk_GENERAL_NAME_value(requested.get(), i),
                                   sk_GENERAL_NAME_value(held.get(), i)),
                  0);
    }

    const std::string log = NewLog();
    std::size_t at = 0;
    for (const char* line :
         {"[GeneratePKCS10OIDValidation] GeneratePKCS10OIDValidation\n",
          "[GeneratePKCS10OIDValidation] Building Names And Parameters =  \n",
          "[GeneratePKCS10OIDValidation] Constructing Names And Parameters Succesfully =  \n",
          "[GeneratePKCS10OIDValidation] Before Check UserToken =  \n",
          "[GeneratePKCS10OIDValidation] Before Generate Keys =  \n",
          "[GeneratePKCS10OIDValidation][GenerateSigningKeysOnToken] Using key of size 1024\n",
          "[GeneratePKCS10OIDValidation] CSR generation finished with status: 0\n"}) {
        const std::size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found;
    }
}

TEST_F(Pkcs10GenerationTest, ResultCodesMapToErrorIdentifiers) {
    struct Case {
        const char* faults;
        std::vector<std::int32_t> sizes;
        const char* pin;
        int code;
        ErrorId id;
    };
    const Case cases[] = {
        {"fail C_GenerateKeyPair 0x31\n", {1024}, "1234", 49, ERR_TOKEN_FULL},
        {"fail C_GenerateKeyPair 0x30\n", {1024}, "1234", 48, ERR_OLD_DRIVER},
        {"rsa-key-sizes 1024 2048\n", {4096, 3072}, "1234", 98, ERR_TOKEN_RESTRICTED},
        {"hide-mechanism CKM_RSA_PKCS_KEY_PAIR_GEN\n", {1024}, "1234", 523, ERR_KEYGEN_FAILED},
        {"", {1024}, "4321", 160, ERR_TOKEN_DEVICE},
        {"fail C_Login 0xe0\n", {1024}, "1234", 224, ERR_TOKEN_DEVICE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        hsm_.WriteFaultConfig(c.faults);
        pem_ = "left over";
        EXPECT_EQ(FromFields(L"CN=Test User\n", c.sizes, c.pin), c.id);
        EXPECT_EQ(resultCode_, c.code);
        EXPECT_THAT(pem_, IsEmpty());
        EXPECT_THAT(
            NewLog(),
            HasSubstr("] CSR generation finished with status: " + std::to_string(c.code) + "\n"));
    }
    // A wrong PIN never reaches the log, only its result.
    EXPECT_THAT(NewLog(), Not(HasSubstr("4321")));
}

TEST_F(Pkcs10GenerationTest, SecondSelectionFindingNoOrSeveralTokens) {
    hsm_.WriteModuleList({"/nonexistent/libnotoken.so"});
    EXPECT_EQ(FromFields(L"CN=Test User\n"), ERR_TOKEN_DEVICE);
    EXPECT_EQ(resultCode_, static_cast<int>(TOKEN_NONE));
    EXPECT_THAT(progress_.records, IsEmpty());

    hsm_.WriteModuleList({test::FaultModuleLibrary()});
    hsm_.InitToken("Beta", "5678");
    EXPECT_EQ(FromCertificate(L"2.5.4.3=Test User", RequestedExtensions{}), ERR_TOKEN_DEVICE);
    EXPECT_EQ(resultCode_, static_cast<int>(TOKEN_MULTIPLE));
    EXPECT_THAT(progress_.records, IsEmpty());
    EXPECT_THAT(NewLog(), HasSubstr("] Before Generate Keys =  \n"));
    EXPECT_THAT(test::CallNames(hsm_.RecordedCalls()), Not(::testing::Contains("C_Login")));
}

TEST_F(Pkcs10GenerationTest, BadInputIsRefusedWithACode) {
    // Text that has no UTF-8 form, in either source: nothing reaches the token.
    const std::wstring lone = std::wstring(L"CN=Test ") + wchar_t(0xD800);
    EXPECT_EQ(FromFields(lone), ERR_TOKEN_DEVICE);
    EXPECT_EQ(resultCode_, kToolkitBadText);
    EXPECT_EQ(FromCertificate(L"2.5.4.3=" + std::wstring(1, wchar_t(0x110000)), {}),
              ERR_TOKEN_DEVICE);
    EXPECT_EQ(resultCode_, kToolkitBadText);
    EXPECT_TRUE(hsm_.RecordedCalls().empty());
    EXPECT_THAT(progress_.records, IsEmpty());

    // A certificate that is not DER gives nothing to copy, and no crash.
    const Bytes junk = ToBytes("not a certificate");
    EXPECT_EQ(BuildDNFromCertificate(junk), L"");
    EXPECT_TRUE(GetSubjectAlternativeNames(junk).altNames.Empty());
}

}  // namespace
}  // namespace qe
