#include "flows/flow_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "flows/download.h"
#include "flows/launch_link.h"
#include "flows/sign_and_install.h"
#include "support/scoped_dir.h"
#include "support/test_pki.h"

namespace qe {
namespace {

TEST(FlowSupport, SerialNumbersAsTheServerKnowsThemAndOnlyFromWholeCertificates) {
    const test::TestCa ca;
    // A first octet with its high bit set is written with a leading zero octet.
    for (const auto& [serial, text] :
         {std::pair{Bytes{0x9F, 0x01, 0xAB}, "009f01ab"}, std::pair{Bytes{0x7F, 0x00}, "7f00"}}) {
        Bytes der = ca.Issue(test::SharedKey(), {{"CN", "x"}}, serial);
        EXPECT_EQ(SerialNumberText(der), text);
        EXPECT_EQ(NameText(IssuerNameDer(der)), "CN=Quorvane Test CA, O=Quorvane, C=RO");
        der.push_back(0x00);  // a certificate followed by anything is not a certificate
        EXPECT_EQ(SerialNumberText(der), "");
        EXPECT_TRUE(IssuerNameDer(der).empty());
    }
}

// The text of a name for the log fits 259 bytes and is never cut inside a character.
TEST(FlowSupport, NameTextIsCutAt259BytesBetweenCharacters) {
    const std::string a62(62, 'a');
    struct Case {
        std::size_t first;  // length of the value printed first
        std::string last;   // the value printed last
        std::string lastShown;
    };
    const Case cases[] = {
        {59, a62, a62},                                  // 259 bytes
        {60, a62, a62.substr(1)},                        // 260
        {58, a62.substr(1) + "ă", a62.substr(1) + "ă"},  // 259, ending in a two-byte letter
        {59, a62.substr(1) + "ă", a62.substr(1)},        // 260: the letter would be cut
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        X509NamePtr name(X509_NAME_new());
        for (const std::string& value : {c.last, a62, a62, std::string(c.first, 'b')}) {
            X509_NAME_add_entry_by_txt(name.get(), "O", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                       -1, 0);
        }
        unsigned char* der = nullptr;
        const int size = i2d_X509_NAME(name.get(), &der);
        const Bytes nameDer(der, der + size);
        OPENSSL_free(der);
        EXPECT_EQ(NameText(nameDer), "O=" + std::string(c.first, 'b') + ", O=" + a62 +
                                         ", O=" + a62 + ", O=" + c.lastShown);
    }
}

TEST(FlowSupport, PreviewFilesTakeTheFirstFreeNumberUpToTheLastAllowed) {
    test::ScopedDir dir("previews");
    setenv("TMPDIR", dir.path().c_str(), 1);
    test::WriteFile(dir / "quorvaneEnrollPV0.pdf", "taken");
    test::WriteFile(dir / "quorvaneEnrollPV1.pdf", "taken");
    EXPECT_EQ(WritePreviewFile(ToBytes("%PDF"), ".pdf"), dir / "quorvaneEnrollPV2.pdf");
    EXPECT_EQ(test::ReadFile(dir / "quorvaneEnrollPV0.pdf"), "taken");  // never overwritten
    EXPECT_EQ(test::ReadFile(dir / "quorvaneEnrollPV2.pdf"), "%PDF");
    // Descriptor 0 is a file like any other when standard input was closed.
    const int input = dup(0);
    close(0);
    EXPECT_EQ(WritePreviewFile(ToBytes("JPEG"), ".jpg"), dir / "quorvaneEnrollPV0.jpg");
    dup2(input, 0);
    close(input);
    {
        DownloadedDeclaration declaration;
        declaration.pdfPath = dir / "quorvaneEnrollPV2.pdf";
        declaration.jpegPath = dir / "quorvaneEnrollPV0.jpg";
    }
    EXPECT_NE(access((dir / "quorvaneEnrollPV2.pdf").c_str(), F_OK), 0);
    EXPECT_NE(access((dir / "quorvaneEnrollPV0.jpg").c_str(), F_OK), 0);

    for (int n = 3; n < 9999; ++n) {
        close(open((dir / ("quorvaneEnrollPV" + std::to_string(n) + ".pdf")).c_str(),
                   O_CREAT | O_WRONLY, 0600));
    }
    EXPECT_EQ(WritePreviewFile(ToBytes("x"), ".pdf"), dir / "quorvaneEnrollPV2.pdf");
    EXPECT_EQ(WritePreviewFile(ToBytes("x"), ".pdf"), dir / "quorvaneEnrollPV9999.pdf");
    EXPECT_EQ(WritePreviewFile(ToBytes("x"), ".pdf"), "");

    setenv("TMPDIR", (dir / "missing").c_str(), 1);
    EXPECT_EQ(WritePreviewFile(ToBytes("x"), ".pdf"), "");
}

TEST(FlowSupport, InstallationResultsAsIdentifiers) {
    for (const auto& [rv, id] : {std::pair{0x00UL, ERR_SUCCESS},
                                 {0xA0UL, ERR_WRONG_PIN},
                                 {0xA4UL, ERR_PIN_LOCKED},
                                 {0x50UL, ERR_CANCELLED},
                                 {0xE0UL, ERR_NO_TOKEN},
                                 {0x31UL, ERR_TOKEN_FULL},
                                 {0x30UL, ERR_TOKEN_DEVICE},
                                 {0x32UL, ERR_TOKEN_DEVICE}}) {
        EXPECT_EQ(InstallResultToErrorId(rv), id) << rv;
    }
}

TEST(LaunchLink, ExactWholeStringOnly) {
    EXPECT_EQ(ParseLaunchLink("quorvaneenroll://register/"), LaunchCommand::Register);
    EXPECT_EQ(ParseLaunchLink("quorvaneenroll://download/"), LaunchCommand::Download);
    for (const char* other : {"quorvaneenroll://register", "QUORVANEENROLL://REGISTER/",
                              "quorvaneenroll://register/?tkh=1", " quorvaneenroll://register/",
                              "quorvaneenroll://download/ ", "quorvaneenroll://register%2F", ""}) {
        EXPECT_EQ(ParseLaunchLink(other), LaunchCommand::None) << other;
    }
    EXPECT_EQ(ParseLaunchLink(nullptr), LaunchCommand::None);
}

}  // namespace
}  // namespace qe
