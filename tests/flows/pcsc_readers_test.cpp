#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <winscard.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "doctor/report_sections.h"
#include "flows/flow_support.h"
#include "support/child_process.h"
#include "support/scoped_dir.h"
#include "token/pki.h"
#include "token/token_status.h"

namespace qe {
namespace {

namespace fs = std::filesystem;
constexpr const char* kReader = "Quorvane Test Reader 00 00";

enum class Stage { NoService, EmptyReader, Card, CardHeld };

bool WaitForCard(CardPresence card) {
    for (int i = 0; i < 400; ++i) {
        for (const PcscReader& reader : ReadPcscView().readers) {
            if (reader.name == kReader && reader.card == card) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// pcscd with one virtual reader, a card in it that no token library knows (an ISO 7816 file
// system), and a context of this program's own holding it exclusively as another program would.
// The socket folder is a tmpfs of the test's mount namespace: nobody else's pcscd is touched.
struct CardService {
    void Start(Stage stage) {
        if (stage == Stage::NoService) {
            return;
        }
        const std::string port = std::to_string(test::UnusedPort());
        fs::create_directories(dir / "conf");
        test::WriteFile(dir / "conf/vpcd",
                        "FRIENDLYNAME \"Quorvane Test Reader\"\nDEVICENAME /dev/null:" + port +
                            "\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID " +
                            port + "\n");
        pcscd = std::make_unique<test::ChildProcess>(
            std::vector<std::string>{"pcscd", "--foreground", "--config", dir / "conf"});
        ASSERT_TRUE(WaitForCard(CardPresence::Absent));
        if (stage == Stage::EmptyReader) {
            return;
        }
        // Debian's emulator finds its modules and its cipher library only when shown where.
        fs::create_directory_symlink("/usr/lib/python3/dist-packages/Cryptodome", dir / "Crypto");
        card = std::make_unique<test::ChildProcess>(std::vector<std::string>{
            "env", "PYTHONPATH=" + dir.path() + ":/usr/lib/python3/site-packages/virtualsmartcard",
            "/usr/bin/python3", "/usr/bin/vicc", "--type", "iso7816", "--port", port});
        ASSERT_TRUE(WaitForCard(CardPresence::Present));
        if (stage == Stage::CardHeld) {
            DWORD protocol = 0;
            ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &holder), 0);
            ASSERT_EQ(SCardConnect(holder, kReader, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_ANY,
                                   &held, &protocol),
                      0);
        }
    }
    ~CardService() {
        if (holder != 0) {
            SCardReleaseContext(holder);
        }
        card.reset();
        pcscd.reset();
        for (const auto& entry : fs::directory_iterator("/run/pcscd")) {
            fs::remove(entry.path());  // a killed pcscd leaves its socket and pid file
        }
    }
    test::ScopedDir dir{"pcsc"};
    std::unique_ptr<test::ChildProcess> pcscd;
    std::unique_ptr<test::ChildProcess> card;
    SCARDCONTEXT holder = 0;
    SCARDHANDLE held = 0;
};

// No token library shows a token (OpenSC over pcscd, the only one): the customer is told what
// the readers hold, a device error of a card another program holds is told as that, and the
// doctor reports the same.
TEST(PcscReadersTest, NoTokenIsToldByWhatTheReadersHold) {
    fs::create_directories("/run/pcscd");
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount("tmpfs", "/run/pcscd", "tmpfs", 0, nullptr) != 0) {
        GTEST_SKIP() << "no mount namespace of its own (needs root)";
    }
    const ModuleOutcome other{"other.so", {true, {}, {}, {}, {"Other Reader 00 00"}}};
    const ModuleOutcome seeing{"seeing.so", {true, {}, {}, {}, {kReader}}};
    const std::tuple<Stage, ErrorId, ErrorId, std::string> rows[] = {
        {Stage::NoService, ERR_NO_TOKEN, ERR_TOKEN_DEVICE, "pcscd: does not answer"},
        {Stage::EmptyReader, ERR_NO_TOKEN, ERR_TOKEN_DEVICE, "card: no card\n"},
        {Stage::Card, ERR_TOKEN_NO_SOFTWARE, ERR_TOKEN_DEVICE,
         "card: card present\n    ATR: 3b9513810180"},
        {Stage::CardHeld, ERR_TOKEN_IN_USE, ERR_TOKEN_IN_USE,
         "in use by another program\n    ATR: 3b95"},
    };
    for (const auto& [stage, noToken, deviceError, doctor] : rows) {
        SCOPED_TRACE(static_cast<int>(stage));
        CardService service;
        ASSERT_NO_FATAL_FAILURE(service.Start(stage));
        std::vector<zel_token> tokens;
        CPKI().ListTokens({"opensc-pkcs11.so"}, tokens);
        EXPECT_TRUE(tokens.empty());
        EXPECT_EQ(SelectionErrorId(TOKEN_NONE), noToken);
        EXPECT_EQ(HeldCardErrorId(CKR_DEVICE_ERROR, ERR_TOKEN_DEVICE), deviceError);
        ReportWriter out;
        RenderCardService(ReadPcscView(), {other}, out);
        EXPECT_NE(out.text().find(doctor), std::string::npos) << out.text();
        if (stage == Stage::Card) {
            EXPECT_NE(out.text().find("seen by: no library"), std::string::npos);
            RenderCardService(ReadPcscView(), {other, seeing}, out);
            EXPECT_NE(out.text().find("seen by: module 2 seeing.so"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace qe
