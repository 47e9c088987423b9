// Renders every screen of the wizard to PNG files, offscreen, for the README and for looking at
// them before a screen is called done. scripts/screenshots.sh runs it. With --walk it shows each
// screen in turn on the display instead, prints its name and waits for a line on its standard
// input before the next, for the accessibility walk (tests/ui/accessibility_walk.py).
//
//   ui_screens OUTDIR [SUFFIX]     (SUFFIX, e.g. "@2x", is added to every file name)
//   ui_screens --walk
//   ui_screens --owned             (as --walk, each dialog opened over the main window)

#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "app/single_instance.h"
#include "messages/messages.h"
#include "messages/result_decision.h"
#include "sim/declaration.h"
#include "sim/previews.h"
#include "token/token_certificate.h"
#include "toolkit/openssl_ptr.h"
#include "ui/about_dialog.h"
#include "ui/alert_dialogs.h"
#include "ui/bitmap_control.h"
#include "ui/certificate_choice.h"
#include "ui/certificate_details.h"
#include "ui/confirm_dialog.h"
#include "ui/custom_button.h"
#include "ui/dialog_units.h"
#include "ui/main_window.h"
#include "ui/open_dialog.h"
#include "ui/pin_change_dialog.h"
#include "ui/pin_dialog.h"
#include "ui/pin_edit.h"
#include "ui/proxy_login_dialog.h"
#include "ui/result_box.h"
#include "ui/screen_fit.h"
#include "ui/toolkit_translations.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

QString outDir;
QString suffix;
bool walk = false;
QWidget* owner = nullptr;  // with --owned, the main window every dialog opens over

// The screen stays up, answering the accessibility bus, until the walker asks for the next.
void AwaitNextLine(QWidget* widget, const char* name) {
    widget->activateWindow();
    std::printf("%s\n", name);
    std::fflush(stdout);
    QEventLoop loop;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&loop] {
        char line[64];
        if (read(STDIN_FILENO, line, sizeof line) <= 0) {
            std::exit(0);  // the walker has gone
        }
        loop.quit();
    });
    loop.exec();
    if (auto* dialog = qobject_cast<QDialog*>(widget)) {
        dialog->done(QDialog::Rejected);  // its sheet, if it has one, goes with it
    } else {
        widget->hide();
    }
}

void Save(QWidget* widget, const char* name) {
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog != nullptr && owner != nullptr) {
        OpenDialog(dialog);
    } else {
        widget->show();
    }
    QApplication::processEvents();
    if (walk) {
        AwaitNextLine(widget, name);
        return;
    }
    const QString path = outDir + "/" + name + suffix + ".png";
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
    std::printf("%s\n", qPrintable(path));
}

// A certificate like a customer's, for the choice list.
Bytes MakeCertificate(const char* commonName, long serial, int days) {
    PkeyPtr key(EVP_RSA_gen(1024));
    X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400L * (365 - days));
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * days);
    auto name = [](X509_NAME* n, const char* o, const char* cn) {
        X509_NAME_add_entry_by_txt(n, "C", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>("RO"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(n, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(o),
                                   -1, -1, 0);
        X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    };
    name(X509_get_subject_name(cert.get()), "Firma Exemplu SRL", commonName);
    name(X509_get_issuer_name(cert.get()), "Quorvane", "Quorvane Qualified CA");
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, nullptr, cert.get(), nullptr, nullptr, 0);
    const std::pair<int, const char*> extensions[] = {
        {NID_key_usage, "critical,digitalSignature,nonRepudiation,keyEncipherment"},
        {NID_ext_key_usage, "clientAuth,emailProtection"},
        {NID_subject_alt_name,
         "email:ion.popescu@example.ro,otherName:msUPN;UTF8:ion.popescu@firma.local"}};
    for (const auto& [nid, value] : extensions) {
        X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
        X509_add_ext(cert.get(), extension.get(), -1);
    }
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    unsigned char* der = nullptr;
    const int size = i2d_X509(cert.get(), &der);
    Bytes out(der, der + size);
    OPENSSL_free(der);
    return out;
}

void MainWindowScreens() {
    std::int64_t now = 1000;
    auto idle = [](WindowPort&) {};
    CQuorvaneEnrollDlg window(std::nullopt, {idle, idle, idle});
    window.SetClock([&now] { return now; });
    Save(&window, "main-starting");
    // The status check under way: its wait can be given up.
    window.PostBusy();
    window.PostNextStep();
    QApplication::processEvents();
    Save(&window, "main-status-check");

    window.SetStatus({L"Certificatul dumneavoastră poate fi reînnoit. Generați o cerere nouă.",
                      true,
                      false,
                      {}});
    window.PostDone();
    QApplication::processEvents();
    window.RequestButton()->setFocus();
    Save(&window, "main-idle");
    StatusOutcome expired{L"Nu există certificate care pot fi reînnoite.", false, false, {}};
    expired.datesNote = ERR_CERT_EXPIRED;
    window.SetStatus(expired);
    window.PostBusy();
    window.PostDone();
    QApplication::processEvents();
    Save(&window, "main-idle-expired");
    expired.datesNote = ERR_CERT_EXPIRED_CLOCK;  // expired only by this computer's clock
    window.SetStatus(expired);
    window.PostBusy();
    window.PostDone();
    QApplication::processEvents();
    Save(&window, "main-idle-expired-clock");
    window.SetStatus({L"Certificatul dumneavoastră poate fi reînnoit. Generați o cerere nouă.",
                      true,
                      false,
                      {}});
    window.PostBusy();
    window.PostDone();
    QApplication::processEvents();

    window.RequestButton()->click();  // register mode, a worker that returns at once
    window.PostBusy();
    window.ResetStepIndex();
    window.PostNextStep();
    window.PostNextStep();
    window.PostProgress(20, 95, 600);
    QApplication::processEvents();
    now += 180;
    window.TickProgress();
    Save(&window, "main-busy");
}

void DialogScreens() {
    const struct {
        CK_FLAGS flags;
        const char* name;
    } pins[] = {{0, "pin"},
                {CKF_USER_PIN_COUNT_LOW, "pin-count-low"},
                {CKF_USER_PIN_FINAL_TRY, "pin-final-try"},
                {CKF_USER_PIN_LOCKED, "pin-locked"},
                {kPinTriesUnknown, "pin-tries-unknown"}};
    for (const auto& p : pins) {
        CPinDlg dialog(p.flags, owner);
        dialog.show();
        QApplication::processEvents();
        for (const QChar digit : QStringLiteral("1234")) {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(digit));
            QApplication::sendEvent(dialog.Edit(), &key);
        }
        Save(&dialog, p.name);
    }
    CPinReaderDlg reader(0, owner);
    reader.show();
    QApplication::processEvents();
    Save(&reader, "pin-reader");
    CPinReaderDlg readerChange(kPinChangeOnReader, owner);
    readerChange.show();
    QApplication::processEvents();
    Save(&readerChange, "pin-reader-change");

    // A token that demands a new PIN of 4 to 8 characters: typed twice, and mistyped.
    for (const auto& [confirmation, name] :
         {std::pair{"1234", "pin-change"}, std::pair{"1243", "pin-change-mismatch"}}) {
        CPinChangeDlg change(4, 8, owner);
        change.show();
        QApplication::processEvents();
        for (const auto& [edit, text] : {std::pair{change.NewEdit(), QStringLiteral("1234")},
                                         std::pair{change.ConfirmEdit(), QString(confirmation)}}) {
            for (const QChar digit : text) {
                QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(digit));
                QApplication::sendEvent(edit, &key);
            }
        }
        Save(&change, name);
    }

    // A proxy that asks for a password: a user name and a password typed, and after a refusal.
    for (const auto& [refused, name] :
         {std::pair{false, "proxy-login"}, std::pair{true, "proxy-login-refused"}}) {
        // Basic over a plain connection, as most company proxies ask.
        CProxyLoginDlg proxy("http://proxy.firma-exemplu.ro:3128", refused, true, owner);
        proxy.show();
        QApplication::processEvents();
        proxy.UserEdit()->setText(QStringLiteral("ion.popescu"));
        for (const QChar character : QStringLiteral("1234")) {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(character));
            QApplication::sendEvent(proxy.PasswordEdit(), &key);
        }
        Save(&proxy, name);
    }

    const ResultDecision failure = DecideResult(ERR_CONNECTION, 0, kBoxRetryCancel, L"", "");
    std::unique_ptr<QMessageBox> box(NewResultBox(failure, owner));
    Save(box.get(), "message-box");
    const ResultDecision success = DecideResult(ERR_SUCCESS, 108, kBoxOk, L"", "");
    box.reset(NewResultBox(success, owner));
    Save(box.get(), "message-box-success");
    // The longest text a token's refusal gives.
    const ResultDecision exposed = DecideResult(ERR_KEY_NOT_PROTECTED, 0, kBoxOk, L"", "");
    box.reset(NewResultBox(exposed, owner));
    Save(box.get(), "message-box-key-not-protected");
    for (const auto& [id, name] :
         {std::pair{ERR_DECLARATION_UNSHOWN, "message-box-unshown"},
          {ERR_DECLARATION_UNREADABLE, "message-box-unreadable"},
          {ERR_OLD_CERTIFICATE_KEPT, "message-box-old-kept"},
          {ERR_REQUEST_UNANSWERED, "message-box-unanswered"},
          {ERR_TLS_INSPECTED, "message-box-tls-inspected"},
          {ERR_CERT_NOT_YET_VALID, "message-box-not-yet-valid"},
          {ERR_INSTALLED_UNCONFIRMED, "message-box-installed-unconfirmed"}}) {
        box.reset(NewResultBox(DecideResult(id, 0, kBoxOk, L"", ""), nullptr));
        Save(box.get(), name);
    }

    // What the card service tells of the token, as the status check asks to retry.
    for (const auto& [id, name] : {std::pair{ERR_TOKEN_NO_SOFTWARE, "message-box-no-software"},
                                   {ERR_TOKEN_IN_USE, "message-box-token-in-use"},
                                   {ERR_CARD_SERVICE_DOWN, "message-box-card-service-down"}}) {
        box.reset(NewResultBox(DecideResult(id, 0, kBoxRetryCancel, L"", ""), owner));
        Save(box.get(), name);
    }

    // Asked before a new request replaces an issued certificate that waits to be installed.
    box.reset(NewQuestionBox(UiText(179), owner));
    Save(box.get(), "question-replace-issued");
    // What a second copy shows.
    box = std::make_unique<QMessageBox>(
        QMessageBox::Critical, QString::fromWCharArray(kAlreadyRunningCaption),
        QString::fromWCharArray(kAlreadyRunningText), QMessageBox::Ok);
    MakeBoxAccessible(box.get());
    Save(box.get(), "message-box-already-open");

    const UrlOpener none = [](const QString&) {};
    AlertDialog oldDriver(UiText(109), OldDriverText(), UiText(136), none, owner);
    Save(&oldDriver, "alert-old-driver");
    InvalidTokenAlertDialog restricted(LoadString(148), UiText(152),
                                       "https://data.quorvane.ro/rekey-addr?tkh=0", none, owner);
    Save(&restricted, "alert-invalid-token");

    CertificateChoiceDialog choice({{MakeCertificate("Ion Popescu", 0x1A2B3C, 200), {}, {}},
                                    {MakeCertificate("Ion Popescu", 0x00F1E2, 30), {}, {}}},
                                   owner);
    Save(&choice, "certificate-choice");

    CAboutDlg about(owner);
    Save(&about, "about");
}

void AcceptanceScreens() {
    const Bytes certificate = MakeCertificate("Ion Popescu", 0x5E1F00, 365);
    const unsigned char* p = certificate.data();
    X509Ptr parsed(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
    const int width = static_cast<int>(CConfirmDlg::PreviewWidth(QApplication::style()));
    const Bytes jpeg = sim::RenderDeclarationJpeg(sim::DeclarationFor(parsed.get()), width);
    const QString jpegPath = QDir::temp().filePath(QStringLiteral("ui_screens_preview.jpg"));
    QFile file(jpegPath);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(jpeg.data()), static_cast<qint64>(jpeg.size())) !=
            static_cast<qint64>(jpeg.size())) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(jpegPath));
        std::exit(1);
    }
    file.close();
    const UrlOpener none = [](const QString&) {};

    const QImage preview = ReadPreviewImage(jpegPath);
    CConfirmDlg dialog(certificate, "", preview, none, owner);
    Save(&dialog, "acceptance");

    // Where a file named "dev" lets the customer keep the old certificate.
    const QString home = QDir::currentPath();
    QDir::setCurrent(QDir::tempPath());
    QFile(QStringLiteral("dev")).open(QIODevice::WriteOnly);
    CConfirmDlg developer(certificate, "", preview, none, owner);
    QFile::remove(QStringLiteral("dev"));
    QDir::setCurrent(home);
    developer.AcceptChoice()->click();
    for (int page = 0; page < 12; ++page) {
        developer.Preview()->ScrollBar()->triggerAction(QScrollBar::SliderPageStepAdd);
    }
    Save(&developer, "acceptance-scrolled");
    QFile::remove(jpegPath);

    CConfirmDlg missing(certificate, "", QImage(), none, owner);
    Save(&missing, "acceptance-file-not-found");

    CertificateDetailsDialog details(certificate, owner);
    Save(&details, "certificate-details");
    CertificateDetailsDialog unreadable({0x30, 0x03, 0x02, 0x01}, owner);
    Save(&unreadable, "certificate-details-unreadable");
}

}  // namespace
}  // namespace qe

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_screens OUTDIR [SUFFIX] | --walk\n");
        return 2;
    }
    const bool owned = std::string(argv[1]) == "--owned";
    qe::walk = owned || std::string(argv[1]) == "--walk";
    qe::outDir = QString::fromLocal8Bit(argv[1]);
    qe::suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QApplication::setFont(qe::DialogFont());
    qe::InstallToolkitTranslations();
    qe::FitWindowsToScreen();
    std::unique_ptr<qe::CQuorvaneEnrollDlg> window;
    if (owned) {
        auto idle = [](qe::WindowPort&) {};
        window = std::make_unique<qe::CQuorvaneEnrollDlg>(std::nullopt,
                                                          qe::WorkerProcedures{idle, idle, idle});
        window->show();
        qe::owner = window.get();
    } else {
        qe::MainWindowScreens();
    }
    qe::DialogScreens();
    qe::AcceptanceScreens();
    return 0;
}
