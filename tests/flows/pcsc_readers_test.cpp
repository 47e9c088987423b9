#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <winscard.h>

#include <memory>

#include "doctor/report_sections.h"
#include "flows/flow_support.h"
#include "support/child_process.h"
#include "support/scoped_dir.h"
#include "token/token_status.h"

namespace qe {
namespace {

namespace fs = std::filesystem;
constexpr const char* kReader = "Quorvane Test Reader 00 00";

enum class Stage { ServiceStopped, EmptyReader, Card, CardHeld };

// Waits for the service to show the test reader's card as `card`.
bool WaitForCard(CardPresence card) {
    for (int i = 0; i < 1200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(25))) {
        for (const PcscReader& reader : ReadPcscView().readers) {
            if (reader.name == kReader && reader.card == card) {
                return true;
            }
        }
    }
    return false;
}

// pcscd with one virtual reader, a card in it that no token library knows (an ISO 7816 file
// system), and a context of this program's own holding it exclusively as another program would.
struct CardService {
    void Start(Stage stage) {
        const std::string port = std::to_string(test::UnusedPort());
        fs::create_directory(dir / "conf");
        test::WriteFile(dir / "conf/vpcd",
                        "DEVICENAME /dev/null:" + port + "\nCHANNELID " + port +
                            "\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"
                            "FRIENDLYNAME \"Quorvane Test Reader\"\n");
        // Debian's emulator finds its modules and its cipher library only when shown where.
        fs::create_directory_symlink("/usr/lib/python3/dist-packages/Cryptodome", dir / "Crypto");
        if (stage == Stage::ServiceStopped) {
            return;
        }
        peers.push_back(std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"pcscd", "--foreground", "--config", dir / "conf"}));
        ASSERT_TRUE(WaitForCard(CardPresence::Absent));
        if (stage != Stage::EmptyReader) {
            peers.push_back(std::make_unique<test::ChildProcess>(std::vector<std::string>{
                "env",
                "PYTHONPATH=" + dir.path() + ":/usr/lib/python3/site-packages/virtualsmartcard",
                "/usr/bin/python3", "/usr/bin/vicc", "--type", "iso7816", "--port", port}));
            ASSERT_TRUE(WaitForCard(CardPresence::Present));
        }
        DWORD protocol = 0;
        ASSERT_TRUE(stage != Stage::CardHeld ||
                    (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &holder) == 0 &&
                     SCardConnect(holder, kReader, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_ANY, &held,
                                  &protocol) == 0));
    }
    ~CardService() { SCardReleaseContext(holder); }
    test::ScopedDir dir{"pcsc"};
    std::vector<std::unique_ptr<test::ChildProcess>> peers;  // pcscd, then the card
    SCARDCONTEXT holder = 0;
    SCARDHANDLE held = 0;
};

// No token library shows a token (OpenSC over pcscd knows no such card): the customer is told what
// the readers hold, a step's device error by what became of the card, and the doctor reports the
// same. (A computer that never ran the service, no folder for its socket, keeps the plain texts:
// every other test runs so.)
TEST(PcscReadersTest, NoTokenIsToldByWhatTheReadersHold) {
    fs::create_directories("/run/pcscd");
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/run/pcscd", "tmpfs", 0, nullptr) != 0) {
        GTEST_SKIP() << "no mount namespace of its own (needs root)";
    }
    // A library whose slots name the test reader among others.
    const ModuleOutcome seeing{"seeing.so", {true, {}, {}, {}, {"Other 00 00", kReader}}};
    const std::tuple<Stage, ErrorId, ErrorId, std::string> rows[] = {
        {Stage::ServiceStopped, ERR_CARD_SERVICE_DOWN, ERR_CARD_SERVICE_DOWN,
         "pcscd: does not answer"},
        {Stage::EmptyReader, ERR_NO_TOKEN, ERR_NO_TOKEN, "card: no card\n"},
        {Stage::Card, ERR_TOKEN_NO_SOFTWARE, ERR_TOKEN_DEVICE,
         "present\n    ATR: 3b951381018073ff01000b\n    seen by: module 1 seeing.so"},
        {Stage::CardHeld, ERR_TOKEN_IN_USE, ERR_TOKEN_IN_USE, "another program\n    ATR: 3b95"},
    };
    for (const auto& [stage, noToken, deviceError, doctor] : rows) {
        CardService service;
        ASSERT_NO_FATAL_FAILURE(service.Start(stage));
        EXPECT_EQ(SelectionErrorId(TOKEN_NONE), noToken) << static_cast<int>(stage);
        EXPECT_EQ(ExplainTokenFailure(ERR_TOKEN_DEVICE), deviceError);
        // Every failure of the token's is told so; the authority's answers stay what they were.
        for (const ErrorId id :
             {ERR_NO_TOKEN, ERR_OLD_DRIVER, ERR_KEYGEN_FAILED, ERR_LOGIN_REFUSED}) {
            EXPECT_EQ(ExplainTokenFailure(id), stage == Stage::Card ? id : deviceError) << id;
        }
        EXPECT_EQ(ExplainTokenFailure(ERR_SERVER), ERR_SERVER);
        ReportWriter out;
        RenderCardService(ReadPcscView(), {seeing}, out);
        EXPECT_NE(out.text().find(doctor), std::string::npos) << out.text();
    }
}

}  // namespace
}  // namespace qe
