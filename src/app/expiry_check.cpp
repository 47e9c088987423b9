#include "app/expiry_check.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDateTime>
#include <QProcess>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

#include "log/enroll_log.h"
#include "messages/messages.h"
#include "net/hosts.h"
#include "reminder/certificate_sources.h"
#include "reminder/expiry_notice.h"

namespace qe {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kRenewAction = QStringLiteral("renew");
const QString kConnectionName = QStringLiteral("quorvane-enroll-reminder");

QString Text(int number) {
    return QString::fromStdWString(std::wstring(LoadString(number)));
}

// Opens the renewal page for a pressed button; ends the check once every notice is closed.
class NoticeAnswers : public QObject {
    Q_OBJECT
public:
    QSet<uint> open;

public Q_SLOTS:
    void ActionInvoked(uint id, const QString& action) {
        if (open.contains(id) && action == kRenewAction) {
            QProcess::startDetached(QStringLiteral("xdg-open"),
                                    {QString::fromStdString(RenewalPage())});
        }
    }
    void NotificationClosed(uint id, uint /*reason*/) {
        open.remove(id);
        if (open.isEmpty()) {
            QCoreApplication::quit();
        }
    }
};

// The bus the session announces, else the user bus systemd keeps in the runtime directory; empty
// when there is neither. Never the D-Bus library's own choice: without an address it starts a bus
// of its own (dbus-launch) that outlives the check.
QString SessionBusAddress() {
    const QByteArray announced = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!announced.isEmpty() && !announced.startsWith("autolaunch:")) {
        return QString::fromLocal8Bit(announced);
    }
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray socket = runtime + "/bus";
    struct stat st {};
    if (runtime.isEmpty() || stat(socket.constData(), &st) != 0 || !S_ISSOCK(st.st_mode) ||
        st.st_uid != geteuid()) {
        return {};
    }
    // Bytes other than these must be escaped in a D-Bus address.
    return QStringLiteral("unix:path=") +
           QString::fromLatin1(QUrl::toPercentEncoding(QString::fromLocal8Bit(socket), "/*", "~"));
}

// Connected for the life of the check only.
class SessionBus {
public:
    SessionBus() {
        const QString address = SessionBusAddress();
        if (address.isEmpty()) {
            Log().Write("No session bus: no notice can be shown");
        } else {
            connection = QDBusConnection::connectToBus(address, kConnectionName);
        }
    }
    ~SessionBus() { QDBusConnection::disconnectFromBus(kConnectionName); }
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    // Not connected when there is no bus: every call on it fails.
    QDBusConnection connection{kConnectionName};
};

// Under the memory's lock, which the wizard's status check also takes: released before the wait
// for the customer's answer.
int SendDueNotices(std::time_t now, QDBusConnection& bus, NoticeAnswers& answers) {
    const std::string path = CertificateMemoryPath();
    const CertificateMemoryLock lock(path);
    if (!lock.held()) {
        Log().Write("No memory file for the expiry reminder");
        return 1;
    }
    CertificateMemory memory = LoadCertificateMemory(path);
    const std::vector<Bytes> onTokens = CertificatesOnTokens();
    // Only a token with certificates is worth a question to the authority: the check runs daily
    // for every user of the machine.
    if (memory.issuers.empty() && !onTokens.empty()) {
        memory.LearnIssuers(AskIssuers());
    }
    memory.Remember(onTokens);

    bus.connect(kService, kPath, kService, QStringLiteral("ActionInvoked"), &answers,
                SLOT(ActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kService, QStringLiteral("NotificationClosed"), &answers,
                SLOT(NotificationClosed(uint, uint)));
    QDBusInterface notifications(kService, kPath, kService, bus);
    const QDBusReply<QStringList> capabilities = notifications.call("GetCapabilities");
    const bool buttons = capabilities.isValid() && capabilities.value().contains("actions");
    // The holder's name is the certificate's: nothing in it may become markup.
    const bool markup = capabilities.isValid() && capabilities.value().contains("body-markup");

    int result = 0;
    for (const ExpiryNotice& notice : DueNotices(memory, now)) {
        RememberedCertificate& certificate = memory.certificates[notice.certificate];
        const QString lastDay = QDateTime::fromSecsSinceEpoch(certificate.notAfter)
                                    .toLocalTime()
                                    .toString(QStringLiteral("dd.MM.yyyy"));
        const bool expired = notice.days == 0;
        const QString holder = QString::fromStdString(certificate.holder);
        const QString body =
            Text(expired ? 184 : 182).arg(markup ? holder.toHtmlEscaped() : holder, lastDay);
        QStringList actions;
        if (buttons && !expired) {
            actions << kRenewAction << Text(185);
        }
        QVariantMap hints;
        hints.insert(QStringLiteral("urgency"),
                     QVariant::fromValue<uchar>(notice.days <= 7 ? 2 : 1));
        hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("quorvane-enroll"));
        const QDBusReply<uint> id = notifications.call(
            "Notify", QStringLiteral("Quorvane Enroll"), 0u, QStringLiteral("quorvane-enroll"),
            Text(expired ? 183 : 181), body, actions, hints, -1);
        if (!id.isValid()) {
            Log().Write("Notification not sent: " + id.error().message().toStdString());
            result = 1;
            continue;
        }
        Log().Write("Notice sent for serial " + certificate.serial + ", " +
                    std::to_string(notice.days) + " days");
        certificate.notified |= notice.bits;
        if (!actions.isEmpty()) {
            answers.open.insert(id.value());
        }
    }
    if (!SaveCertificateMemory(path, memory)) {
        Log().Write("The expiry reminder's memory could not be written");
        result = 1;
    }
    return result;
}

}  // namespace

int CheckExpiry(std::time_t now, const ExpiryCheckSettings& settings) {
    LogTag tag("CheckExpiry");
    SessionBus bus;
    NoticeAnswers answers;
    const int result = SendDueNotices(now, bus.connection, answers);
    if (!answers.open.isEmpty()) {
        QTimer::singleShot(settings.answerTime, QCoreApplication::instance(),
                           &QCoreApplication::quit);
        QCoreApplication::exec();
    }
    return result;
}

}  // namespace qe

#include "expiry_check.moc"
