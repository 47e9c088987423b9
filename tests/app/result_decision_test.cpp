#include "app/result_decision.h"

#include <gtest/gtest.h>

#include "app/messages.h"

namespace qe {
namespace {

using Kind = ResultDecision::Kind;

TEST(ResultDecision, SuccessAndCancelShowNothingUnlessAskedTo) {
    EXPECT_EQ(DecideResult(ERR_CANCELLED, 108, kBoxOk, L"", "").kind, Kind::Nothing);
    EXPECT_EQ(DecideResult(ERR_SUCCESS, 0, kBoxRetryCancel, L"", "").kind, Kind::Nothing);

    const auto success = DecideResult(ERR_SUCCESS, 108, kBoxOk, L"", "");
    EXPECT_EQ(success.kind, Kind::MessageBox);
    EXPECT_EQ(success.text, L"Cererea a fost trimisă cu succes.");
    EXPECT_EQ(success.caption, L"Quorvane Enroll");
    EXPECT_EQ(success.flags, kBoxIconAsterisk);
    EXPECT_FALSE(success.clearCachedPin);
}

TEST(ResultDecision, FailureBoxesCaptionsAndFlags) {
    const auto status = DecideResult(ERR_NO_TOKEN, 0, kBoxRetryCancel, L"", "");
    EXPECT_EQ(status.kind, Kind::MessageBox);
    EXPECT_EQ(status.caption, L"A avut loc o eroare");
    EXPECT_EQ(status.flags, kBoxRetryCancel | kBoxIconHand);
    EXPECT_EQ(status.text, LoadString(104));

    const auto server = DecideResult(ERR_SERVER, 126, kBoxOk, L"", "");
    EXPECT_EQ(server.text, L"Eroare de server");
    EXPECT_EQ(server.caption, L"Eroare de server");
    EXPECT_EQ(DecideResult(ERR_SERVER, 126, kBoxOk, L"Comanda expirată", "").text,
              L"Comanda expirată");

    const auto generic = DecideResult(523, 108, kBoxOk, L"", "");
    EXPECT_EQ(generic.text, L"Generic error");
    EXPECT_EQ(generic.caption, L"A avut loc o eroare");
}

TEST(ResultDecision, OnlyWrongPinEmptiesTheCachedPin) {
    EXPECT_TRUE(DecideResult(ERR_WRONG_PIN, 126, kBoxOk, L"", "").clearCachedPin);
    for (ErrorId id = 0; id <= 20; ++id) {
        if (id != ERR_WRONG_PIN) {
            EXPECT_FALSE(DecideResult(id, 126, kBoxOk, L"", "").clearCachedPin) << id;
        }
    }
}

TEST(ResultDecision, Alerts) {
    const auto restricted = DecideResult(ERR_TOKEN_RESTRICTED, 108, kBoxOk, L"", "ab12");
    EXPECT_EQ(restricted.kind, Kind::TokenRestrictionAlert);
    EXPECT_EQ(restricted.text, LoadString(148));
    EXPECT_EQ(restricted.buttonText, L"Continuați");
    EXPECT_EQ(restricted.link, "https://data.example.test/rekey-addr?tkh=ab12");

    const auto oldDriver = DecideResult(ERR_OLD_DRIVER, 108, kBoxOk, L"", "");
    EXPECT_EQ(oldDriver.kind, Kind::OldDriverAlert);
    EXPECT_EQ(oldDriver.caption, L"A avut loc o eroare");
    EXPECT_EQ(oldDriver.text, OldDriverText());
    EXPECT_EQ(oldDriver.buttonText, L"Reîncearcă");
}

}  // namespace
}  // namespace qe
