#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "messages/messages.h"
#include "messages/result_decision.h"

namespace qe {
namespace {

using Kind = ResultDecision::Kind;

// What the customer sees for the fixed outcomes: the catalogue text that starts with these words
// (enough to tell it from every other entry); the rest are the next test's.
TEST(ResultDecision, EveryOutcomeShowsItsCatalogueText) {
    const std::wstring generic = L"Generic error";
    const std::pair<ErrorId, std::wstring> failures[] = {
        {ERR_NO_TOKEN, L"Vă rugăm sa introduceți dispozitivul"},
        {ERR_BAD_CERT_OR_PASSWORD, L"Certificatul selectat sau parola"},
        {ERR_KEYGEN_FAILED, L"Nu s-au putut genera cheile"},
        {ERR_SEND_FAILED, L"Nu s-a putut trimite cererea"},
        {ERR_MULTIPLE_TOKENS, L"Vă rugăm introduceți un singur"},
        {ERR_CONNECTION, L"Eroare de conectare la serverul"},
        {ERR_TOKEN_DEVICE, L"Eroare dispozitiv criptografic."},
        {ERR_BAD_RESPONSE, L"Raspuns server invalid."},
        {ERR_SERVER, L"Eroare de server"},
        {ERR_SERVER_CERT, L"Certificatul serverului este invalid."},
        {ERR_KEY_NOT_FOUND, L"Cheia privată asociată cererii"},
        {ERR_WRONG_PIN, L"Codul PIN este incorect."},
        {ERR_TOKEN_FULL, L"Nu este suficient spațiu pe dispozitiv."},
        {ERR_KEYGEN_DATA, L"Date insuficiente pentru crearea cheilor."},
        {ERR_LEDGER_UNWRITABLE, L"Aplicația nu a putut scrie pe disc evidența cheilor"},
        {ERR_TOKEN_NO_SOFTWARE, L"Dispozitivul criptografic este conectat, dar pe acest calc"},
        {ERR_TOKEN_IN_USE, L"Dispozitivul criptografic este conectat, dar un alt program"},
        {1000, generic},
        {ERR_INSTALLED_UNCONFIRMED, L"Noul certificat a fost instalat pe dispozitivul"},
        {-1, generic},
    };
    // The box around the text (caption, icon, buttons, the PIN forgotten) is the window test's.
    for (const auto& [id, text] : failures) {
        EXPECT_EQ(DecideResult(id, 126, kBoxOk, L"", "").text.substr(0, text.size()), text) << id;
    }
    // Only the boxes that offer to retry for the token wait for it (the window test's Retry).
    EXPECT_FALSE(DecideResult(ERR_CONNECTION, 0, kBoxRetryCancel, L"", "").waitsForToken);
    EXPECT_FALSE(DecideResult(ERR_NO_TOKEN, 0, kBoxOk, L"", "").waitsForToken);
    EXPECT_EQ(DecideResult(ERR_SERVER, 0, kBoxOk, L"Comanda a expirat", "").text,
              L"Comanda a expirat");
    EXPECT_TRUE(DecideResult(ERR_NO_TOKEN, 0, kBoxOk, L"Comanda a expirat", "")
                    .text.starts_with(failures[0].second));
    // A register's missing key is the renewed certificate's: no other token to insert.
    EXPECT_TRUE(DecideResult(ERR_KEY_NOT_FOUND, 108, kBoxOk, L"", "")
                    .text.starts_with(L"Cheia privată a certificatului pe care doriți"));
    // The alerts: their kinds, buttons and links are the window test's, their texts are read in
    // the RTF reader test; the restricted token's takes no caption, the decision's own.
    const ResultDecision restricted = DecideResult(ERR_TOKEN_RESTRICTED, 108, kBoxOk, L"", "ab12");
    EXPECT_EQ(restricted.caption, L"");
    EXPECT_EQ(restricted.text, LoadString(148));
    EXPECT_EQ(ErrorText(ERR_TOKEN_RESTRICTED), restricted.text);
    EXPECT_EQ(ErrorText(ERR_OLD_DRIVER), OldDriverText());
    EXPECT_EQ(DecideResult(ERR_OLD_DRIVER, 108, kBoxOk, L"", "").text, OldDriverText());
    // Success shows the caller's text, if any; a cancelled command shows nothing.
    const std::tuple<ErrorId, int, std::wstring> quiet[] = {
        {ERR_CANCELLED, 108, L""},
        {ERR_SUCCESS, 0, L""},
        {ERR_SUCCESS, 108, L"Cererea a fost trimisă cu succes."},
        {ERR_SUCCESS, 126, L"Certificatul a fost încărcat cu succes"},
    };
    for (const auto& [id, successText, text] : quiet) {
        const ResultDecision d = DecideResult(id, successText, kBoxRetryCancel, L"x", "");
        EXPECT_EQ(d.kind, text.empty() ? Kind::Nothing : Kind::MessageBox) << successText;
        EXPECT_EQ(d.text, text);
    }
}

// Every identifier the code can return, read from the enum's header so that one declared without
// a text fails here, is shown with a text of its own: not the generic one, nor another's.
TEST(ResultDecision, NoIdentifierFallsToTheGenericText) {
    std::ifstream header(QE_ERROR_ID_HEADER);
    const std::string source((std::istreambuf_iterator<char>(header)), {});
    const std::regex entry(R"((ERR_\w+) = (-?\d+),)");
    std::set<std::wstring> shown;
    int seen = 0;
    for (auto it = std::sregex_iterator(source.begin(), source.end(), entry);
         it != std::sregex_iterator(); ++it, ++seen) {
        const ErrorId id = std::stoi((*it)[2].str());
        const std::wstring text = DecideResult(id, 0, kBoxOk, L"", "").text;
        if (id != ERR_SUCCESS && id != ERR_CANCELLED) {
            EXPECT_FALSE(text.empty() || text == LoadString(128)) << (*it)[1].str();
            EXPECT_TRUE(shown.insert(text).second) << (*it)[1].str() << ": another's text";
        }
    }
    EXPECT_GT(seen, ERR_PROXY_AUTH);  // the header was read whole
}

// The step texts the window shows while each flow works, in order, and nothing past either end;
// and nothing for numbers without an entry.
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
    for (const int number : {0, 100, 131, 150, 999}) {
        EXPECT_TRUE(LoadString(number).empty()) << number;
    }
}

}  // namespace
}  // namespace qe
