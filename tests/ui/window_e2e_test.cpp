#include <QCryptographicHash>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include "flows/e2e_fixture.h"
#include "support/gui_test.h"
#include "ui/bitmap_control.h"
#include "ui/certificate_details.h"
#include "ui/confirm_dialog.h"
#include "ui/custom_button.h"
#include "ui/custom_static.h"
#include "ui/main_window.h"
#include "ui/pin_dialog.h"
#include "ui/pin_edit.h"
#include "ui/ui_text.h"

namespace qe::test {
namespace {

// The real window and the real flows against the simulator and SoftHSM2, driven as a customer
// would: the request with the PIN typed, then the download of the issued certificate, accepted
// after a look at the certificate.
TEST_F(FlowTest, WindowRegistersAndInstallsThroughTheRealFlows) {
    CQuorvaneEnrollDlg window;
    int idle = 0;
    QObject::connect(&window, &CQuorvaneEnrollDlg::BecameIdle, [&idle] { ++idle; });
    window.show();
    window.Start();
    ASSERT_TRUE(WaitUntil([&] { return idle == 1 && window.RequestButton()->isEnabled(); }, 60000));

    // On Wayland, whose compositor places a window of its own where it likes, each dialog is a
    // sheet over the main window.
    auto over = [&window](QWidget* dialog) {
        return !QGuiApplication::platformName().startsWith("wayland") ||
               (!dialog->isWindow() && window.isAncestorOf(dialog));
    };
    QTest::mouseClick(window.RequestButton(), Qt::LeftButton);
    CPinDlg* pin = WaitForWindow<CPinDlg>(60000);
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(over(pin));
    QTest::keyClicks(pin->Edit(), QString::fromLatin1(kPin));
    QTest::keyClick(pin->Edit(), Qt::Key_Return);
    QMessageBox* box = WaitForWindow<QMessageBox>(120000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), UiText(108));
    box->button(QMessageBox::Ok)->click();
    // Idle after the command (2), then after the status check that follows it (3): the issued
    // certificate waits for installation.
    ASSERT_TRUE(WaitUntil([&] { return idle == 3 && !window.WorkerRunning(); }, 60000));

    ASSERT_TRUE(window.DownloadButton()->isEnabled());
    QTest::mouseClick(window.DownloadButton(), Qt::LeftButton);  // the PIN is cached
    CConfirmDlg* dialog = WaitForWindow<CConfirmDlg>(120000);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->Preview()->HasImage());
    EXPECT_FALSE(dialog->Preview()->ScrollBar()->isHidden());  // a page is taller than the frame
    dialog->CertificateButton()->click();
    auto* details = WaitForWindow<CertificateDetailsDialog>();
    ASSERT_NE(details, nullptr);
    EXPECT_TRUE(over(dialog) && over(details));
    const QString serial = details->FieldText(162);
    const QString fingerprint = details->FieldText(169);
    EXPECT_TRUE(details->FieldText(164).contains("CN = Ion Popescu"));
    // The usages' names are the dialog test's.
    EXPECT_EQ(details->FieldText(168).toStdString(),
              "UPN: ion.popescu@firma.local\nE-mail: ion.popescu@example.ro");
    details->accept();
    dialog->AcceptChoice()->click();
    dialog->AcceptButton()->click();
    box = WaitForWindow<QMessageBox>(120000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), UiText(126));
    EXPECT_TRUE(over(box));
    box->button(QMessageBox::Ok)->click();

    const std::vector<Bytes> installed = TokenCertificates();
    ASSERT_EQ(installed.size(), 1u);  // the old one removed
    EXPECT_EQ(serial.toStdString(), SerialNumberText(installed[0]));
    const QByteArray der(reinterpret_cast<const char*>(installed[0].data()),
                         static_cast<qsizetype>(installed[0].size()));
    EXPECT_EQ(fingerprint,
              QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper());
    ASSERT_TRUE(WaitUntil([&] { return idle == 5 && !window.WorkerRunning(); }, 120000));
}

// A reader with its own keypad: its prompt shows while a login waits, with nothing that could
// cancel it, and goes once the login returned.
TEST_F(FlowTest, WindowPromptsWhileTheReaderTakesThePin) {
    const std::string typed = hsm_.dir() + "/typed-on-the-keypad";
    hsm_.WriteModuleList({FaultModuleLibrary()});
    hsm_.WriteFaultConfig(kReaderToken + "wait-for C_Login " + typed + "\n");
    CQuorvaneEnrollDlg window;
    window.show();
    window.Start();
    ASSERT_TRUE(WaitUntil([&] { return window.RequestButton()->isEnabled(); }, 60000));
    QTest::mouseClick(window.RequestButton(), Qt::LeftButton);
    QPointer<CPinReaderDlg> prompt = WaitForWindow<CPinReaderDlg>(60000);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(prompt->accessibleName(), UiText(186));
    EXPECT_EQ(prompt->minimumSize(), prompt->maximumSize());
    QTest::keyClick(prompt, Qt::Key_Escape);
    prompt->close();
    EXPECT_TRUE(prompt->isVisible() && prompt->findChildren<QAbstractButton*>().isEmpty());
    WriteFile(typed, "");
    QMessageBox* box = WaitForWindow<QMessageBox>(120000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), UiText(108));
    EXPECT_TRUE(WaitUntil([&] { return prompt.isNull(); }, 10000));  // not one per login kept
    box->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(WaitUntil([&] { return !window.WorkerRunning(); }, 60000));
}

}  // namespace
}  // namespace qe::test
