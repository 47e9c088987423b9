#include "app/messages.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qe {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

TEST(Messages, SampleOfExactTexts) {
    EXPECT_EQ(LoadString(111), L"Quorvane Enroll");
    EXPECT_EQ(LoadString(118),
              L"Pentru generarea cererii de certificat vă rugăm să apăsați butonul "
              L"”Generează Cerere”");
    EXPECT_EQ(LoadString(136), L"Reîncearcă");
    EXPECT_EQ(LoadString(137), L"Renunță");
    EXPECT_EQ(LoadString(125), L"Introduceți codul pin");
    EXPECT_EQ(LoadString(146), L"Se șterge vechiul certificat");
    EXPECT_TRUE(LoadString(131).empty());
    EXPECT_TRUE(LoadString(0).empty());
    for (int n : {101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112, 113, 114, 115, 116,
                  117, 118, 119, 120, 121, 122, 123, 124, 125, 126, 127, 128, 129, 130, 132, 133,
                  134, 135, 136, 137, 138, 143, 144, 145, 146, 147, 148, 149, 151, 152}) {
        EXPECT_FALSE(LoadString(n).empty()) << n;
    }
}

TEST(Messages, ErrorTexts) {
    EXPECT_EQ(ErrorText(ERR_WRONG_PIN), L"Codul PIN este incorect.");
    EXPECT_EQ(ErrorText(ERR_TOKEN_FULL), L"Nu este suficient spațiu pe dispozitiv.");
    EXPECT_EQ(ErrorText(ERR_CONNECTION),
              L"Eroare de conectare la serverul Quorvane. Vă rugăm să verificați conexiunea la "
              L"internet.");
    EXPECT_EQ(ErrorText(ERR_SERVER), L"Eroare de server");
    EXPECT_EQ(ErrorText(ERR_SERVER, L"Comanda nu există"), L"Comanda nu există");
    EXPECT_EQ(ErrorText(18), L"Generic error");
    EXPECT_EQ(ErrorText(-5), L"Generic error");
    EXPECT_EQ(ErrorText(ERR_TOKEN_RESTRICTED), LoadString(148));
    EXPECT_EQ(ErrorName(ERR_KEYGEN_DATA), "ERR_KEYGEN_DATA");
    EXPECT_EQ(ErrorName(18), "");
}

TEST(Messages, RichTextsAreWholeRtf) {
    const std::wstring restricted(LoadString(148));
    EXPECT_THAT(restricted, StartsWith(L"{\\rtf1\\ansi\\ansicpg1252\\deff0"));
    EXPECT_THAT(restricted, HasSubstr(L"da\\u539?i click pe butonul de mai jos:"));
    EXPECT_THAT(restricted, EndsWith(L"\\lang9\\par}"));

    const std::wstring oldDriver = OldDriverText();
    EXPECT_THAT(oldDriver, StartsWith(L"{\\rtf1\\ansi\\ansicpg1252"));
    EXPECT_THAT(oldDriver, HasSubstr(L"Accesa\\u539?i acest link {{\\field{\\*\\fldinst{HYPERLINK "
                                     L"https://"));
    EXPECT_THAT(oldDriver, HasSubstr(L" }}{\\fldrslt{https://"));
    EXPECT_THAT(oldDriver, HasSubstr(L"\\ul0\\cf0}}}}\\f1\\fs22  iar din pagina"));
    EXPECT_THAT(oldDriver, EndsWith(L"certificat.\\f0\\par} \\0"));
    EXPECT_EQ(ErrorText(ERR_OLD_DRIVER), oldDriver);
}

TEST(Messages, StepTables) {
    EXPECT_EQ(StepTextNumbers(WorkMode::StatusCheck).size(), 2u);
    EXPECT_EQ(StepTextNumbers(WorkMode::RequestGeneration).size(), 3u);
    EXPECT_EQ(StepTextNumbers(WorkMode::Download).size(), 9u);
    EXPECT_EQ(StepText(WorkMode::StatusCheck, 1), L"Se actualizează statusul certificatelor");
    EXPECT_EQ(StepText(WorkMode::RequestGeneration, 2), L"Se trimite cererea catre Quorvane");
    EXPECT_EQ(StepText(WorkMode::Download, 3), L"Se conectează la dispozitivul criptografic");
    EXPECT_EQ(StepText(WorkMode::Download, 8), L"Se confirma încărcarea certificatului");
    EXPECT_TRUE(StepText(WorkMode::Download, 9).empty());
    EXPECT_TRUE(StepText(WorkMode::StatusCheck, -1).empty());
}

}  // namespace
}  // namespace qe
