#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

// Ahead of Qt's headers, whose "slots" keyword it would meet.
#include "token/pki.h"

#include "e2e_fixture.h"
#include "log/temp_dir.h"
#include "request/key_pair_ledger.h"
#include "support/outside_step.h"

// The key pair ledger as the register meets it: what it cannot write, what it holds from before,
// what others planted in it.
namespace qe::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// An answer to the upload (the rekey host's fifth connection) lost after the authority acted: the
// pair stays while its certificate waits, through another register too, and through one that
// fails on the token when its ledger entry says "made" (as an older version's ledger can hold it).
// A key pair ledger that cannot be written before the keys are made, or before the request leaves,
// sends nothing and leaves no new key.
TEST_F(FlowTest, LostAnswerKeepsTheKeysWhileTheirCertificateWaits) {
    hsm_.WriteModuleList({FaultModuleLibrary()});
    ASSERT_EQ(sim_->SetFault(R"({"listener": "rekey", "connection": 5, "kind": "lost"})"), 200);
    const auto keys = [] { return SoftHsm::Session(kLabel, kPin).Find(CKO_PRIVATE_KEY).size(); };
    RunFlow(1, kPin);
    ASSERT_THAT(window_.results, ElementsAre(ERR_REQUEST_UNANSWERED));
    EXPECT_EQ(keys(), 2u);
    const std::string path = StateDir() + "/key-pairs";
    std::string text = ReadFile(path);
    WriteFile(path, text.replace(text.find("\tsent\t"), 6, "\tmade\t"));
    hsm_.WriteFaultConfig("fail C_GenerateKeyPair 0x32\n");
    for (const auto& [shown, kept] : {std::pair{ERR_TOKEN_DEVICE, 2u}, {ERR_SUCCESS, 3u}}) {
        RunFlow(1, kPin);
        ASSERT_THAT(window_.results, ElementsAre(shown));
        EXPECT_EQ(keys(), kept);
        hsm_.WriteFaultConfig("");
    }
    EXPECT_EQ(LoadKeyPairLedger().size(), 1u);
    const std::string blocker = StateDir() + "/key-pairs.new";
    for (const int at : {20, 95}) {
        const auto before = keys();
        const auto requests = Order()["requests"].toArray().size();
        window_.onProgress = [&](int position) {
            if (position == at) {
                std::filesystem::create_directories(blocker);
            }
        };
        RunFlow(1, kPin);
        window_.onProgress = nullptr;
        std::filesystem::remove(blocker);
        EXPECT_THAT(window_.results, ElementsAre(ERR_LEDGER_UNWRITABLE)) << at;
        EXPECT_EQ(Order()["requests"].toArray().size(), requests) << at;
        EXPECT_EQ(keys(), before) << at;
    }
}

// Ledger lines naming the pairs other programs keep (their identifiers are the provisioned ones),
// or this program's form without the recorded key: a register removes none of them, and lines it
// cannot read stay in the file.
class ForeignLedgerTest : public FlowTest {
protected:
    void SetUp() override {
        otherPrograms_ = true;
        FlowTest::SetUp();
    }
};

TEST_F(ForeignLedgerTest, PlantedLinesRemoveNothingOfOtherPrograms) {
    zel_token token;
    ASSERT_EQ(CPKI(test::NoTokenStep()).SelectToken(token), CKR_OK);
    const std::string key = LedgerTokenKey(token), path = StateDir() + "/key-pairs";
    const Bytes own = ToBytes("OBJECT ID 00112233445566778899aabbccddeeff");
    const std::pair<std::vector<LedgerEntry>, std::size_t> ledgers[] = {
        {{{key, LedgerState::Made, ToBytes("ID"), {}},
          {key, LedgerState::Sent, ToBytes("OBJECT I"), {}},
          {key, LedgerState::Made, ToBytes("OBJECT ID"), {}},
          {key, LedgerState::Sent, own, {}}},
         4},
        {{{key, LedgerState::Made, own, Bytes(128, 0x5a)}}, 0},  // not the key recorded
    };
    // Refused by the authority: no certificate waits, so each register settles the ledger.
    SetScenario(R"({"force": {"path": "/rest/certificate/pkcs10", "status": 409, "body": "Nu"}})");
    for (const auto& [entries, kept] : ledgers) {
        std::filesystem::remove(path);
        for (const LedgerEntry& entry : entries) {
            ASSERT_TRUE(RecordKeyPair(entry));
        }
        WriteFile(path, ReadFile(path) + "a line of another form\n");
        const std::vector<std::string> before = SoftHsm::Session(kLabel, kPin).Objects();
        RunFlow(1, kPin);
        EXPECT_THAT(window_.results, ElementsAre(ERR_SERVER));
        EXPECT_EQ(SoftHsm::Session(kLabel, kPin).Objects(), before);
        EXPECT_EQ(LoadKeyPairLedger().size(), kept);
        EXPECT_THAT(ReadFile(path), HasSubstr("a line of another form\n"));
    }
}

}  // namespace
}  // namespace qe::test
