// The expiry reminder on a private session bus with a stand-in notification service (a customer
// who presses every button), on a SoftHSM2 token whose certificates end at chosen days.
#include "app/expiry_check.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include <sys/stat.h>

#include "flows/flow_support.h"
#include "log/enroll_log.h"
#include "messages/messages.h"
#include "net/hosts.h"
#include "net/tls_peer.h"
#include "reminder/certificate_memory.h"
#include "support/scoped_dir.h"
#include "support/softhsm.h"
#include "support/test_pki.h"
#include "token/module_list.h"

namespace qe {
namespace {

constexpr std::time_t kDay = 24 * 60 * 60;

// A program started for the test and stopped with it, once it printed its first line.
struct Peer : QProcess {
    Peer(const QString& program, const QStringList& arguments) {
        start(program, arguments);
        EXPECT_TRUE(waitForReadyRead(20000)) << program.toStdString();
        line = QString::fromUtf8(readLine()).trimmed();
    }
    QString line;
};

// The daily timer's run, with a display but no session bus: the wizard's log of yesterday stays as
// support will ask for it, and no bus of the D-Bus library's own is left behind.
TEST(ExpiryCheck, TimerRunLeavesTheWizardsLogAndStartsNoBus) {
    const test::ScopedDir dir;
    const Peer display("Xvfb", {"-displayfd", "1", "-nolisten", "tcp"});
    std::filesystem::create_directories(dir / "config/" + kModuleKeyPath);
    test::WriteFile(dir / "config/" + kModuleKeyPath + "/" + kModuleValueName, "/nonexistent.so\n");
    test::WriteFile(dir / kLogFileName, "yesterday's failed renewal\n");
    std::filesystem::last_write_time(
        dir / kLogFileName, std::filesystem::file_time_type::clock::now() - std::chrono::hours(30));
    const QString d = QString::fromStdString(dir.path());
    QProcess check;
    check.setEnvironment({"HOME=" + d, "TMPDIR=" + d, "XDG_CONFIG_HOME=" + d + "/config",
                          "XDG_STATE_HOME=" + d + "/state", "PATH=/usr/bin:/bin",
                          "DISPLAY=:" + display.line});
    check.start(QE_WIZARD_BINARY, {kCheckExpiryOption});
    ASSERT_TRUE(check.waitForFinished(60000));
    EXPECT_EQ(test::ReadFile(dir / kLogFileName), "yesterday's failed renewal\n");
    EXPECT_NE(test::ReadFile(dir / kReminderLogFileName).find("No session bus"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / ".dbus")) << "dbus-launch ran";
}

TEST(ExpiryCheck, OneNoticePerThresholdNoneForReplacedOrForeignCertificates) {
    int argc = 1;
    char name[] = "expiry_check_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const test::ScopedDir dir;
    test::WriteFile(dir / "xdg-open", "#!/bin/sh\necho \"$1\" >> \"$(dirname \"$0\")/opened\"\n");
    chmod((dir / "xdg-open").c_str(), 0755);
    const test::ScopedEnv path("PATH", (dir.path() + ":" + std::getenv("PATH")).c_str());
    Peer bus("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    const test::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.line.toUtf8().constData());
    Peer service("/usr/bin/python3", {std::getenv("QE_NOTIFICATION_SERVICE"),
                                      QString::fromStdString(dir / "received")});
    ASSERT_EQ(service.line, "ready");

    test::SoftHsm hsm;
    hsm.InitToken("Token", "1234");
    hsm.WriteModuleList({test::SoftHsmLibrary()});
    const test::TestPki pki = test::TestPki::Create(dir.path());
    const test::TestCa foreign("Another CA");
    const X509Ptr foreignCert = test::FromDer(foreign.der());
    const struct {
        bool foreign;  // else the authority's
        const char* holder;
        long days;
    } certificates[] = {{false, "Ion Popescu", 10},
                        {false, "Maria Ionescu", 100},
                        {false, "Maria Ionescu", 5},       // replaced by the one before
                        {false, "Vasile <b>Pop</b>", -1},  // expired yesterday
                        {true, "Ion Popescu", 3}};
    const std::time_t now = std::time(nullptr);
    {
        test::SoftHsm::Session session("Token", "1234");
        for (const auto& c : certificates) {
            session.CreateCertificate(
                test::MakeCertificate({{{"CN", c.holder}}, {}, c.days}, test::SharedKey(),
                                      c.foreign ? foreignCert.get() : pki.caCert.get(),
                                      c.foreign ? foreign.key() : pki.caKey.get()),
                {}, c.holder);
        }
    }
    // With no issuer remembered, the check asks the authority's handshake for them: the server
    // names the CA whose certificates it takes.
    const test::TlsPeer authority(pki, {"-HTTP", "-verify", "1", "-CAfile", pki.caFile});
    const test::ScopedEnv rekey("QUORVANE_REKEY_HOST",
                                ("127.0.0.1:" + std::to_string(authority.port())).c_str());
    const test::ScopedEnv trust("SSL_CERT_FILE", pki.caFile.c_str());

    const struct {
        long daysLater;
        bool tokenPresent;
        std::vector<int> noticed;  // certificates, in the order of their notices
    } runs[] = {
        {0, true, {0, 3}}, {0, true, {}}, {4, true, {0}}, {75, false, {0, 1}}, {75, false, {}}};
    int buttons = 0;
    std::size_t seen = 0;
    for (const auto& run : runs) {
        SCOPED_TRACE(run.daysLater);
        if (!run.tokenPresent) {
            hsm.WriteModuleList({"/nonexistent/libtoken.so"});
        }
        const std::time_t at = now + run.daysLater * kDay;
        EXPECT_EQ(CheckExpiry(at, {std::chrono::seconds(20)}), 0);
        const std::vector<std::string> lines = test::SplitLines(test::ReadFile(dir / "received"));
        ASSERT_EQ(lines.size(), seen + run.noticed.size());
        // Each expected certificate once, in any order: the token lists them as it likes.
        std::multiset<std::string> notices, expected;
        for (const int i : run.noticed) {
            const QJsonObject notice =
                QJsonDocument::fromJson(QByteArray::fromStdString(lines[seen++])).object();
            const QString said = QRegularExpression("titularului (.* pe \\d\\d\\.\\d\\d\\.\\d{4})")
                                     .match(notice["body"].toString())
                                     .captured(1);
            notices.insert((notice["summary"].toString() + " | " + said + " | " +
                            QString::number(notice["actions"].toArray().size()) + " | " +
                            QString::number(notice["urgency"].toInt()) + " " +
                            notice["entry"].toString())
                               .toStdString());
            const auto& c = certificates[i];
            const bool expired = now + c.days * kDay <= at;
            const QString lastDay = QDateTime::fromSecsSinceEpoch(now + c.days * kDay)
                                        .toString(QStringLiteral("dd.MM.yyyy"));
            // Urgent in the last week; the desktop shows the program's name and icon.
            const char* urgency = c.days - run.daysLater <= 7 ? "2" : "1";
            expected.insert(
                (QString::fromStdWString(std::wstring(LoadString(expired ? 183 : 181))) + " | " +
                 QString(c.holder).toHtmlEscaped() + (expired ? " a expirat pe " : " expiră pe ") +
                 lastDay + " | " + (expired ? "0" : "2") + " | " + urgency + " quorvane-enroll")
                    .toStdString());
            buttons += expired ? 0 : 1;
        }
        EXPECT_EQ(notices, expected);
    }
    struct stat memory {};
    ASSERT_EQ(CertificateMemoryPath(), hsm.dir() + "/state/quorvane-enroll/certificates");
    ASSERT_EQ(stat(CertificateMemoryPath().c_str(), &memory), 0);
    EXPECT_EQ(memory.st_mode & 0777, 0600u);
    // Each pressed button opened the renewal page once.
    QString opened;
    // xdg-open runs detached: on a loaded machine its line may come seconds after the check.
    for (int i = 0; i < 1200 && opened.count('\n') < buttons; ++i) {
        QThread::msleep(50);
        opened = QString::fromStdString(test::ReadFile(dir / "opened"));
    }
    EXPECT_EQ(opened.toStdString(),
              QString::fromStdString(RenewalPage() + "\n").repeated(buttons).toStdString());
}

}  // namespace
}  // namespace qe
