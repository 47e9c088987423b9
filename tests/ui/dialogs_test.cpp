#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <set>

#include "app/result_decision.h"
#include "flows/status_check.h"
#include "net/hosts.h"
#include "support/gui_test.h"
#include "token/token_hash.h"
#include "ui/alert_dialogs.h"
#include "ui/certificate_choice.h"
#include "ui/custom_button.h"
#include "ui/main_window.h"
#include "ui/pin_dialog.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

using test::Finish;
using test::OnWorker;
using test::WaitForWindow;
using test::WaitUntil;

TEST(PinDialog, WarningLineForEachFlagAndTheCut) {
    const struct {
        CK_FLAGS flags;
        int text;
    } cases[] = {{0, 0},
                 {CKF_USER_PIN_COUNT_LOW, 153},
                 {CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW, 154},
                 {CKF_USER_PIN_LOCKED | CKF_USER_PIN_FINAL_TRY, 155}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        CPinDlg dialog(c.flags);
        ASSERT_EQ(dialog.Warning() != nullptr, c.text != 0);
        if (c.text != 0) {
            EXPECT_EQ(dialog.Warning()->text(), UiText(c.text));
            EXPECT_GT(dialog.Edit()->y(), dialog.Warning()->geometry().bottom());
        }
    }
    // At most 259 bytes, never half a character.
    EXPECT_EQ(PinFromText(QString(300, QLatin1Char('7'))).size(), 259u);
    EXPECT_EQ(PinFromText(QString(128, QLatin1Char('1')) + QString(100, QChar(0x0219))).size(),
              128u + 2 * 65);
}

TEST(PinDialog, OkWipesTheEditAndCancelKeepsNothing) {
    CPinDlg dialog;
    dialog.show();
    QTest::keyClicks(dialog.Edit(), QStringLiteral("4321"));
    dialog.OkButton()->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(dialog.Edit()->text().isEmpty());
    EXPECT_EQ(dialog.TakePin().view(), "4321");

    CPinDlg cancelled;
    cancelled.show();
    QTest::keyClicks(cancelled.Edit(), QStringLiteral("99"));
    QTest::keyClick(&cancelled, Qt::Key_Escape);
    EXPECT_EQ(cancelled.result(), QDialog::Rejected);
    EXPECT_TRUE(cancelled.Edit()->text().isEmpty());
    EXPECT_TRUE(cancelled.TakePin().empty());
}

class ResultTest : public ::testing::Test {
protected:
    ResultTest() {
        window_.SetUrlOpener([this](const QString& url) { opened_.push_back(url); });
        QObject::connect(&window_, &CQuorvaneEnrollDlg::QuitRequested, [this] { ++quits_; });
    }
    CQuorvaneEnrollDlg window_{std::nullopt, WorkerProcedures{}};
    std::vector<QString> opened_;
    int quits_ = 0;
};

TEST_F(ResultTest, MessageBoxesOfShowResult) {
    const QString ok = "OK", retry = UiText(136), cancel = UiText(137);
    const struct {
        ErrorId id;
        int success;
        unsigned flags;
        int text, caption;
        QMessageBox::Icon icon;
        std::multiset<QString> buttons;
        QString press;  // the button pressed; the worker gets `answer`
        int answer;
    } cases[] = {
        {ERR_CONNECTION, 0, 5, 119, 109, QMessageBox::Critical, {retry, cancel}, retry, kIdRetry},
        {ERR_NO_TOKEN, 0, 5, 104, 109, QMessageBox::Critical, {retry, cancel}, cancel, kIdCancel},
        {ERR_SERVER, 108, 0, 113, 113, QMessageBox::Critical, {ok}, ok, kIdOk},
        {ERR_SUCCESS, 108, 0, 108, 111, QMessageBox::Information, {ok}, ok, kIdOk},
        {42, 0, 0, 128, 109, QMessageBox::Critical, {ok}, ok, kIdOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        auto answer = OnWorker([&] { return window_.ShowResult(c.id, c.success, c.flags); });
        QMessageBox* box = WaitForWindow<QMessageBox>();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), UiText(c.text));
        EXPECT_EQ(box->windowTitle(), UiText(c.caption));
        EXPECT_EQ(box->icon(), c.icon);
        std::multiset<QString> buttons;
        QAbstractButton* press = nullptr;
        for (QAbstractButton* b : box->buttons()) {
            buttons.insert(b->text());
            press = b->text() == c.press ? b : press;
        }
        EXPECT_EQ(buttons, c.buttons);
        ASSERT_NE(press, nullptr);
        press->click();
        EXPECT_EQ(Finish(answer), c.answer);
    }
    EXPECT_EQ(window_.ShowResult(ERR_CANCELLED, 108, 0), kIdOk);  // nothing shown
    EXPECT_EQ(window_.ShowResult(ERR_SUCCESS, 0, 5), kIdOk);
    EXPECT_EQ(quits_, 0);  // only the restriction alert ends the program
}

TEST_F(ResultTest, OldDriverAlertOpensItsLinkAndStaysOpen) {
    auto answer = OnWorker([this] { return window_.ShowResult(ERR_OLD_DRIVER, 0, 5); });
    auto* alert = WaitForWindow<AlertDialog>();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->windowTitle(), UiText(109));
    EXPECT_EQ(alert->Button()->text(), UiText(136));
    const QString link = QString::fromStdString(QUORVANE_SUPPORT_URL_FOR_TESTS);
    emit alert->TextView()->anchorClicked(QUrl(link));
    QApplication::processEvents();
    EXPECT_EQ(opened_, std::vector<QString>{link});
    EXPECT_TRUE(alert->isVisible());
    alert->Button()->click();
    EXPECT_EQ(Finish(answer), kIdOk);
    EXPECT_EQ(quits_, 0);
}

TEST_F(ResultTest, InvalidTokenAlertOpensTheRekeyLinkAndEndsTheProgram) {
    for (const bool press : {false, true}) {
        SCOPED_TRACE(press);
        opened_.clear();
        auto answer = OnWorker([this] { return window_.ShowResult(ERR_TOKEN_RESTRICTED, 0, 0); });
        auto* alert = WaitForWindow<InvalidTokenAlertDialog>();
        ASSERT_NE(alert, nullptr);
        EXPECT_TRUE(alert->windowTitle().isEmpty());
        EXPECT_EQ(alert->Button()->text(), UiText(152));
        if (press) {
            alert->Button()->click();
        } else {
            QTest::keyClick(alert, Qt::Key_Escape);
        }
        EXPECT_EQ(Finish(answer), press ? kIdOk : kIdCancel);
        QApplication::processEvents();
        EXPECT_EQ(quits_, press ? 1 : 0);
        const QString expected =
            QString::fromStdString(RekeyAddress() + "?tkh=" + CurrentTokenHash());
        EXPECT_EQ(opened_, press ? std::vector<QString>{expected} : std::vector<QString>{});
    }
}

TEST_F(ResultTest, LaunchLinkPressesItsButtonOnce) {
    const struct {
        const char* link;
        bool canGenerate;
        int registers, downloads;
    } cases[] = {{"quorvaneenroll://register/", true, 1, 0},
                 {"quorvaneenroll://download/", true, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        std::atomic<int> checks = 0, registers = 0, downloads = 0;
        auto command = [](std::atomic<int>& count) {
            return [&count](WindowPort& port) {
                ++count;
                port.PostBusy();
                port.AskPin();  // waits for the window's thread, as a real command does
                port.PostDone();
                port.PostStartStatusCheck();
            };
        };
        WorkerProcedures workers{[&](WindowPort& port) {
                                     ++checks;
                                     port.PostBusy();
                                     const StatusOutcome status{L"", c.canGenerate, true, {}};
                                     port.SetStatus(status);
                                     port.PostDone();
                                     RouteLaunchLink(port, status);
                                 },
                                 command(registers), command(downloads)};
        CQuorvaneEnrollDlg window(std::string(c.link), workers);
        test::AnswerWhenShown<CPinDlg>([](CPinDlg* pin) { pin->reject(); });
        window.Start();
        const int expectedChecks = 1 + c.registers + c.downloads;
        ASSERT_TRUE(WaitUntil([&] { return checks == expectedChecks && !window.WorkerRunning(); }));
        QTest::qWait(100);
        EXPECT_EQ(registers, c.registers);
        EXPECT_EQ(downloads, c.downloads);
        EXPECT_EQ(checks, expectedChecks);
    }
}

TEST(CertificateChoice, RowsAndCancel) {
    const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
    for (const bool accept : {true, false}) {
        CertificateChoiceDialog dialog({{garbage, {}, {}}, {garbage, {}, {}}});
        EXPECT_EQ(dialog.List()->topLevelItemCount(), 2);
        EXPECT_EQ(dialog.List()->headerItem()->text(4), UiText(162));
        dialog.List()->setCurrentItem(dialog.List()->topLevelItem(1));
        accept ? dialog.accept() : dialog.reject();
        EXPECT_EQ(dialog.Choice(), accept ? std::optional<std::size_t>(1) : std::nullopt);
    }
}

}  // namespace
}  // namespace qe
