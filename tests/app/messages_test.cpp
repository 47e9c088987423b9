#include "app/messages.h"

#include <gtest/gtest.h>

#include <vector>

namespace qe {
namespace {

// The step texts the window shows while each flow works, in order, and nothing past either end;
// the identifiers' names for the log, and nothing for numbers without an entry.
TEST(Messages, StepTextsInOrderAndNothingPastTheTables) {
    const std::wstring connect = L"Se conectează la dispozitivul criptografic";
    const std::pair<WorkMode, std::vector<std::wstring>> modes[] = {
        {WorkMode::StatusCheck, {connect, L"Se actualizează statusul certificatelor"}},
        {WorkMode::RequestGeneration,
         {connect, L"Se generează cheile pe dispozitivul criptografic",
          L"Se trimite cererea catre Quorvane"}},
        {WorkMode::Download,
         {connect, L"Se descarcă noul certificat", L"Se descarcă declarația de acceptanță", connect,
          L"Se semnează electronic declarația de acceptanță",
          L"Se trimite declarația de acceptanță",
          L"Se încarcă noul certificat pe dispozitivul criptografic",
          L"Se șterge vechiul certificat", L"Se confirma încărcarea certificatului"}},
    };
    for (const auto& [mode, texts] : modes) {
        const int size = static_cast<int>(texts.size());
        for (int step = -1; step <= size; ++step) {
            EXPECT_EQ(StepText(mode, step), step < 0 || step == size ? L"" : texts[step]) << step;
        }
    }
    for (const int number : {0, 100, 131, 150, 171}) {
        EXPECT_TRUE(LoadString(number).empty()) << number;
    }
    EXPECT_EQ(ErrorName(ERR_SUCCESS), "ERR_SUCCESS");
    EXPECT_EQ(ErrorName(ERR_KEYGEN_DATA), "ERR_KEYGEN_DATA");
    EXPECT_EQ(ErrorName(18), "");
    EXPECT_EQ(ErrorName(-1), "");
}

}  // namespace
}  // namespace qe
