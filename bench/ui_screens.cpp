// Renders every screen of the wizard to PNG files, offscreen, for the README and for looking at
// them before a screen is called done. scripts/screenshots.sh runs it.
//
//   ui_screens OUTDIR [SUFFIX]     (SUFFIX, e.g. "@2x", is added to every file name)

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "app/messages.h"
#include "app/result_decision.h"
#include "token/token_certificate.h"
#include "toolkit/openssl_ptr.h"
#include "ui/about_dialog.h"
#include "ui/alert_dialogs.h"
#include "ui/certificate_choice.h"
#include "ui/custom_button.h"
#include "ui/dialog_units.h"
#include "ui/main_window.h"
#include "ui/pin_dialog.h"
#include "ui/result_box.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

QString outDir;
QString suffix;

void Save(QWidget* widget, const char* name) {
    widget->show();
    QApplication::processEvents();
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

    window.SetStatus({L"Certificatul dumneavoastră poate fi reînnoit. Generați o cerere nouă.",
                      true,
                      false,
                      {}});
    window.PostDone();
    QApplication::processEvents();
    window.RequestButton()->setFocus();
    Save(&window, "main-idle");

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
                {CKF_USER_PIN_LOCKED, "pin-locked"}};
    for (const auto& p : pins) {
        CPinDlg dialog(p.flags);
        dialog.show();
        QApplication::processEvents();
        dialog.Edit()->setText(QStringLiteral("1234"));
        Save(&dialog, p.name);
    }

    const ResultDecision failure = DecideResult(ERR_CONNECTION, 0, kBoxRetryCancel, L"", "");
    std::unique_ptr<QMessageBox> box(NewResultBox(failure, nullptr));
    Save(box.get(), "message-box");
    const ResultDecision success = DecideResult(ERR_SUCCESS, 108, kBoxOk, L"", "");
    box.reset(NewResultBox(success, nullptr));
    Save(box.get(), "message-box-success");

    const UrlOpener none = [](const QString&) {};
    AlertDialog oldDriver(UiText(109), OldDriverText(), UiText(136), none);
    Save(&oldDriver, "alert-old-driver");
    InvalidTokenAlertDialog restricted(LoadString(148), UiText(152),
                                       "https://data.quorvane.ro/rekey-addr?tkh=0", none);
    Save(&restricted, "alert-invalid-token");

    CertificateChoiceDialog choice({{MakeCertificate("Ion Popescu", 0x1A2B3C, 200), {}, {}},
                                    {MakeCertificate("Ion Popescu", 0x00F1E2, 30), {}, {}}});
    Save(&choice, "certificate-choice");

    CAboutDlg about;
    Save(&about, "about");
}

}  // namespace
}  // namespace qe

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_screens OUTDIR [SUFFIX]\n");
        return 2;
    }
    qe::outDir = QString::fromLocal8Bit(argv[1]);
    qe::suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QApplication::setFont(qe::DialogFont());
    qe::MainWindowScreens();
    qe::DialogScreens();
    return 0;
}
