#include "flows/flow_support.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "flows/download.h"
#include "flows/sign_and_install.h"
#include "support/scoped_dir.h"
#include "support/softhsm_certs.h"

namespace qe {
namespace {

TEST(FlowSupport, SerialNumberKeepsItsLeadingZero) {
    const test::TestCa ca;
    const PkeyPtr key(EVP_RSA_gen(2048));
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(key.get(), "n", &n);
    EVP_PKEY_get_bn_param(key.get(), "e", &e);
    Bytes modulus(static_cast<std::size_t>(BN_num_bytes(n)));
    Bytes exponent(static_cast<std::size_t>(BN_num_bytes(e)));
    BN_bn2bin(n, modulus.data());
    BN_bn2bin(e, exponent.data());
    BN_free(n);
    BN_free(e);
    // A serial whose first octet has its high bit set is written with a leading zero octet.
    const Bytes der = ca.Issue(modulus, exponent, {{"CN", "x"}}, Bytes{0x9F, 0x01, 0xAB});
    EXPECT_EQ(SerialNumberText(der), "009f01ab");
    EXPECT_FALSE(IssuerNameDer(der).empty());
    EXPECT_EQ(NameText(IssuerNameDer(der)), "CN=Quorvane Test CA, O=Quorvane, C=RO");
    EXPECT_EQ(SerialNumberText(Bytes{1, 2, 3}), "");

    // A long name is cut to 259 bytes, never inside a character.
    std::string letters;  // 64 two-byte letters
    for (int i = 0; i < 64; ++i) {
        letters += "ă";
    }
    X509NamePtr name(X509_NAME_new());
    for (const auto& [field, value] : {std::pair{"O", letters}, {"CN", "a" + letters.substr(2)}}) {
        X509_NAME_add_entry_by_txt(name.get(), field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                                   0);
    }
    unsigned char* nameDer = nullptr;
    const int size = i2d_X509_NAME(name.get(), &nameDer);
    const Bytes nameBytes(nameDer, nameDer + size);
    OPENSSL_free(nameDer);
    EXPECT_EQ(NameText(nameBytes), "CN=a" + letters.substr(2) + ", O=" + letters.substr(0, 124));
}

TEST(FlowSupport, PreviewFilesTakeTheFirstFreeNumber) {
    test::ScopedDir dir("previews");
    setenv("TMPDIR", dir.path().c_str(), 1);
    test::WriteFile(dir / "quorvaneEnrollPV0.pdf", "taken");
    test::WriteFile(dir / "quorvaneEnrollPV1.pdf", "taken");
    EXPECT_EQ(WritePreviewFile(ToBytes("%PDF"), ".pdf"), dir / "quorvaneEnrollPV2.pdf");
    EXPECT_EQ(WritePreviewFile(ToBytes("JPEG"), ".jpg"), dir / "quorvaneEnrollPV0.jpg");
    EXPECT_EQ(test::ReadFile(dir / "quorvaneEnrollPV0.pdf"), "taken");  // never overwritten
    EXPECT_EQ(test::ReadFile(dir / "quorvaneEnrollPV2.pdf"), "%PDF");
    {
        DownloadedDeclaration declaration;
        declaration.pdfPath = dir / "quorvaneEnrollPV2.pdf";
    }
    EXPECT_NE(access((dir / "quorvaneEnrollPV2.pdf").c_str(), F_OK), 0);

    setenv("TMPDIR", (dir / "missing").c_str(), 1);
    EXPECT_EQ(WritePreviewFile(ToBytes("x"), ".pdf"), "");
}

TEST(FlowSupport, InstallationResults) {
    EXPECT_EQ(InstallResultToErrorId(0), ERR_SUCCESS);
    EXPECT_EQ(InstallResultToErrorId(0xA0), ERR_WRONG_PIN);
    EXPECT_EQ(InstallResultToErrorId(0xE0), ERR_NO_TOKEN);
    EXPECT_EQ(InstallResultToErrorId(0x31), ERR_TOKEN_FULL);
    EXPECT_EQ(InstallResultToErrorId(0x30), ERR_TOKEN_DEVICE);
    EXPECT_EQ(InstallResultToErrorId(1801), ERR_TOKEN_DEVICE);
}

}  // namespace
}  // namespace qe
