#include "ui/main_window.h"

#include <atomic>
#include <set>
#include <thread>

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextBrowser>

#include <gtest/gtest.h>

#include "flows/status_check.h"
#include "messages/result_decision.h"
#include "net/hosts.h"
#include "net/proxy_login.h"
#include "support/freed_memory.h"
#include "support/gui_test.h"
#include "support/softhsm.h"
#include "ui/alert_dialogs.h"
#include "ui/custom_button.h"
#include "ui/custom_static.h"
#include "ui/pin_dialog.h"
#include "ui/pin_edit.h"
#include "ui/proxy_login_dialog.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

using test::Finish;
using test::OnWorker;
using test::WaitForWindow;
using test::WaitUntil;

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowTest() {
        window_.SetClock([this] { return now_.load(); });
        window_.SetUrlOpener([this](const QString& url) { opened_.push_back(url); });
        QObject::connect(&window_, &CQuorvaneEnrollDlg::QuitRequested, [this] { ++quits_; });
        window_.show();
    }
    void Settle() { QApplication::processEvents(); }

    std::atomic<std::int64_t> now_{1000};
    CQuorvaneEnrollDlg window_{std::nullopt, WorkerProcedures{}};
    std::vector<QString> opened_;
    int quits_ = 0;
};

TEST_F(MainWindowTest, StatesOfTheTable) {
    EXPECT_EQ(window_.UpperLabel()->Text(), UiText(117));
    EXPECT_EQ(window_.LowerLabel()->Text(), UiText(118));
    EXPECT_FALSE(window_.RequestButton()->isEnabled());
    EXPECT_FALSE(window_.ProgressBar()->isVisible());

    const struct {
        bool canGenerate, canDownload;
    } answers[] = {{true, false}, {false, true}, {true, true}, {false, false}};
    for (const auto& a : answers) {
        SCOPED_TRACE(a.canGenerate * 2 + a.canDownload);
        window_.PostBusy();
        Settle();
        EXPECT_TRUE(window_.Busy());
        EXPECT_EQ(window_.UpperLabel()->Text(), UiText(110));
        EXPECT_FALSE(window_.RequestButton()->isEnabled() || window_.DownloadButton()->isEnabled());
        EXPECT_FALSE(window_.close()) << "the window cannot close while busy";
        // A status check's wait: Renunță in the download button's place, or Escape, ends it.
        EXPECT_TRUE(window_.CancelButton()->isVisible() && !window_.DownloadButton()->isVisible());
        QTest::keyClick(&window_, Qt::Key_Escape);
        EXPECT_TRUE(window_.Network().cancel.Cancelled());
        window_.Network().cancel.Allow();
        window_.SetStatus({L"Stare de test", a.canGenerate, a.canDownload, {}});
        window_.PostDone();
        Settle();
        EXPECT_EQ(window_.UpperLabel()->Text(), UiText(117));
        EXPECT_EQ(window_.LowerLabel()->Text(), QStringLiteral("Stare de test"));
        EXPECT_EQ(window_.RequestButton()->isEnabled(), a.canGenerate);
        EXPECT_EQ(window_.DownloadButton()->isEnabled(), a.canDownload);
    }
    // Read as the new status: the text fit test's (names and roles are the accessibility walk's).
    EXPECT_TRUE(window_.close()) << "idle, closing ends the program";
}

TEST(MainWindow, NextStepTextsPerMode) {
    // Each worker starts its flow (step index 0); the k-th next step shows entry k of its mode.
    // The steps are posted only after this mode's worker has begun, or its reset could land
    // between them.
    std::atomic<int> begun{0};
    auto begin = [&begun](WindowPort& port) {
        port.ResetStepIndex();
        ++begun;
    };
    CQuorvaneEnrollDlg window(std::nullopt, {begin, begin, begin});
    const std::pair<WorkMode, CCustomButton*> modes[] = {
        {WorkMode::StatusCheck, nullptr},  // started, not pressed
        {WorkMode::RequestGeneration, window.RequestButton()},
        {WorkMode::Download, window.DownloadButton()}};
    for (const auto& [mode, button] : modes) {
        SCOPED_TRACE(static_cast<int>(mode));
        window.SetStatus({L"", true, mode == WorkMode::Download, {}});
        window.PostDone();
        QApplication::processEvents();
        const int before = begun;
        button != nullptr ? button->click() : window.Start();
        ASSERT_TRUE(WaitUntil([&] { return begun > before && !window.WorkerRunning(); }));
        for (const int number : StepTextNumbers(mode)) {
            window.PostNextStep();
            QApplication::processEvents();
            EXPECT_EQ(window.LowerLabel()->Text(), UiText(number));
        }
    }
}

TEST_F(MainWindowTest, ProgressRecords) {
    QProgressBar* bar = window_.ProgressBar();
    window_.PostProgress(20, 95, 600);
    Settle();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->value(), 20);
    EXPECT_TRUE(window_.ProgressMoving());
    const struct {
        std::int64_t seconds;
        int position;
        bool moving;
    } ticks[] = {{0, 20, true}, {300, 57, true}, {599, 94, true}, {600, 95, false}};
    for (const auto& t : ticks) {
        SCOPED_TRACE(t.seconds);
        now_ = 1000 + t.seconds;
        window_.TickProgress();
        EXPECT_EQ(bar->value(), t.position);
        EXPECT_EQ(window_.ProgressMoving(), t.moving);
    }
    window_.PostProgress(10, 90, 100);
    window_.PostProgress(40);  // a new record stops the move
    Settle();
    EXPECT_EQ(bar->value(), 40);
    EXPECT_FALSE(window_.ProgressMoving());
    window_.FreezeProgress();
    window_.PostProgress(-1);
    Settle();
    EXPECT_FALSE(bar->isVisible());
}

TEST_F(MainWindowTest, PinHandOver) {
    // Typed and accepted: the worker gets it; cancelled: the worker is released, cache untouched.
    auto ask = [this](CK_FLAGS flags) {
        return OnWorker([this, flags] { return std::string(ObtainPin(window_, flags).view()); });
    };
    auto first = ask(CKF_USER_PIN_COUNT_LOW);
    CPinDlg* dialog = WaitForWindow<CPinDlg>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(WaitUntil([dialog] { return dialog->Edit()->hasFocus(); }));
    ASSERT_NE(dialog->Warning(), nullptr) << "the token's PIN flags reach the dialog";
    QTest::keyClicks(dialog->Edit(), QStringLiteral("12x4"));
    QTest::keyClick(dialog->Edit(), Qt::Key_Return);
    EXPECT_EQ(Finish(first), "12x4");  // kept: the window test's download asks no PIN again

    test::AnswerWhenShown<QMessageBox>([](QMessageBox* box) { box->accept(); });
    window_.ShowResult(ERR_WRONG_PIN, 0, 0, {});  // on the window's thread: runs the box itself
    auto again = ask(0);
    dialog = WaitForWindow<CPinDlg>();
    ASSERT_NE(dialog, nullptr) << "after a wrong PIN the dialog asks again";
    QTest::keyClick(dialog, Qt::Key_Escape);
    EXPECT_EQ(Finish(again), "");
}

// A proxy's login asked as the HTTPS clients ask, by keyboard alone: OK with no user name ends
// nothing; given, the login is kept for the run; after a refusal the dialog says so, and Escape
// gives nothing and forgets the earlier login. No block given back unwiped holds the password (the
// repeated U+20AC in UTF-8). The second row asks on the window's thread itself.
TEST_F(MainWindowTest, ProxyLoginHandOver) {
    const test::FreedMemoryWatch watch("\xE2\x82\xAC", 3);
    const std::string proxy = "http://a.ro:3128";
    const QString password = "p€€€ x€€€";
    const struct {
        bool refused, inClear;
        Qt::Key end;
        ErrorId result;
    } cases[] = {{false, true, Qt::Key_Return, ERR_SUCCESS},
                 {true, false, Qt::Key_Escape, ERR_PROXY_AUTH}};
    for (const auto& c : cases) {
        auto answer = [&](CProxyLoginDlg* dialog) {
            ASSERT_EQ(dialog->RefusedNote() != nullptr, c.refused);
            ASSERT_EQ(dialog->ClearNote() != nullptr, c.inClear);
            EXPECT_TRUE(!c.inClear ||
                        dialog->ClearNote()->y() > dialog->Address()->geometry().bottom());
            EXPECT_TRUE(WaitUntil([dialog] { return dialog->UserEdit()->hasFocus(); }));
            QTest::keyClick(dialog->UserEdit(), Qt::Key_Tab);
            QTest::keyClick(dialog->PasswordEdit(), Qt::Key_Return);
            EXPECT_TRUE(dialog->isVisible() && dialog->UserEdit()->hasFocus()) << "no user name";
            QTest::keyClicks(dialog->UserEdit(), "ion");
            QTest::keyClick(dialog->UserEdit(), Qt::Key_Tab);
            for (const QChar key : password) {
                QTest::sendKeyEvent(QTest::Click, dialog->PasswordEdit(), Qt::Key_unknown, key, {});
            }
            QTest::keyClick(dialog->PasswordEdit(), c.end);
        };
        test::AnswerWhenShown<CProxyLoginDlg>(answer);
        auto ask = [&] { return window_.Network().proxyLogins.Ask(proxy, c.refused, c.inClear); };
        auto onWorker = [&ask] {
            auto asked = OnWorker(ask);
            return Finish(asked);
        };
        EXPECT_EQ(c.refused ? ask() : onWorker(), c.result);
        ProxyLogin kept;
        ASSERT_EQ(window_.Network().proxyLogins.Cached(proxy, kept), c.result == ERR_SUCCESS);
        if (c.result == ERR_SUCCESS) {
            EXPECT_EQ(kept.user, "ion");  // the password compared in UTF-16: no UTF-8 copy
            EXPECT_EQ(QString::fromUtf8(kept.password.view()), password);
        }
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the dialogs go
    EXPECT_EQ(watch.hits(), 0);
}

TEST_F(MainWindowTest, MessageBoxesOfShowResult) {
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
        // Installed with the old certificate kept: a success, told as one.
        {ERR_OLD_CERTIFICATE_KEPT, 126, 0, 191, 111, QMessageBox::Information, {ok}, ok, kIdOk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        auto answer = OnWorker([&] { return window_.ShowResult(c.id, c.success, c.flags, {}); });
        QMessageBox* box = WaitForWindow<QMessageBox>();
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), UiText(c.text));
        EXPECT_EQ(box->windowTitle(), UiText(c.caption));
        EXPECT_EQ(box->icon(), c.icon);
        std::multiset<QString> buttons;
        QAbstractButton* press = nullptr;
        for (QAbstractButton* b : box->buttons()) {
            const QString text = QString(b->text()).remove(u'&');  // less the mnemonic
            buttons.insert(text);
            press = text == c.press ? b : press;
        }
        EXPECT_EQ(buttons, c.buttons);
        ASSERT_NE(press, nullptr);
        press->click();
        EXPECT_EQ(Finish(answer), c.answer);
    }
    EXPECT_EQ(window_.ShowResult(ERR_CANCELLED, 108, 0, {}), kIdOk);  // nothing shown
    EXPECT_EQ(quits_, 0);  // only the restriction alert ends the program
}

// The box asking for the token presses its own Retry once the token shows (the fault module stops
// hiding it; its library tells no slot events, so it is looked at each second).
TEST_F(MainWindowTest, TokenShowingPressesRetryOfTheBoxAskingForIt) {
    test::SoftHsm hsm;
    hsm.InitToken("Token", "1234");
    hsm.WriteModuleList({test::FaultModuleLibrary()});
    hsm.WriteFaultConfig("fail C_WaitForSlotEvent 0x54\nabsent\n");
    auto answer =
        OnWorker([&] { return window_.ShowResult(ERR_NO_TOKEN, 0, kBoxRetryCancel, {}); });
    const QPointer<QMessageBox> box = WaitForWindow<QMessageBox>();
    ASSERT_NE(box, nullptr);
    hsm.WriteFaultConfig("fail C_WaitForSlotEvent 0x54\n");
    if (!WaitUntil([&box] { return box == nullptr || !box->isVisible(); }, 5000)) {
        box->button(QMessageBox::Cancel)->click();  // not pressed: the customer's Cancel
    }
    EXPECT_EQ(Finish(answer), kIdRetry);
}

// A declaration that cannot be shown is never offered, and says why: not written (space), or a
// picture that cannot be decoded (where space would not help).
TEST_F(MainWindowTest, UnshownDeclarationSaysWhy) {
    EXPECT_EQ(window_.RunAcceptance({}, "", "").endCode, ERR_DECLARATION_UNSHOWN);
    EXPECT_EQ(window_.RunAcceptance({}, "d.pdf", "/proc/self/status").endCode,
              ERR_DECLARATION_UNREADABLE);
}

// A link in the old-driver text opens and leaves the alert open, one in the restriction text does
// nothing; the restriction alert's button opens the re-key page and ends the program.
TEST_F(MainWindowTest, AlertsOpenTheirLinksAndOnlyTheRestrictionEndsTheProgram) {
    const QString help = QString::fromStdString(QUORVANE_SUPPORT_URL_FOR_TESTS);
    const StepTrace trace{L"", "36d629da102750410d50b70a0634209e4cf164f0"};
    const QString rekey = QString::fromStdString(RekeyAddress() + "?tkh=" + trace.tokenHash);
    const struct {
        ErrorId id;
        unsigned flags;
        QString title;
        int button;
        bool press;  // the button, else Escape
        std::vector<QString> opened;
        int answer, quits;  // quits counted over the rows
    } cases[] = {{ERR_OLD_DRIVER, 5, UiText(109), 136, true, {help}, kIdOk, 0},
                 {ERR_TOKEN_RESTRICTED, 0, "", 152, false, {}, kIdCancel, 0},
                 {ERR_TOKEN_RESTRICTED, 0, "", 152, true, {rekey}, kIdOk, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.id << " " << c.press);
        opened_.clear();
        auto answer = OnWorker([&] { return window_.ShowResult(c.id, 0, c.flags, trace); });
        auto* alert = WaitForWindow<RichTextAlert>();
        ASSERT_NE(alert, nullptr);
        EXPECT_EQ(alert->windowTitle(), c.title);
        EXPECT_EQ(alert->Button()->text(), WithMnemonic(UiText(c.button)));
        emit alert->TextView()->anchorClicked(QUrl(help));
        QApplication::processEvents();
        EXPECT_TRUE(alert->isVisible());
        c.press ? alert->Button()->click() : QTest::keyClick(alert, Qt::Key_Escape);
        EXPECT_EQ(Finish(answer), c.answer);
        QApplication::processEvents();
        EXPECT_EQ(opened_, c.opened);
        EXPECT_EQ(quits_, c.quits);
    }
}

TEST(MainWindow, LaunchLinkPressesItsButtonOnce) {
    const struct {
        const char* link;
        int registers, downloads;
    } cases[] = {{"quorvaneenroll://register/", 1, 0}, {"quorvaneenroll://download/", 0, 1}};
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
        WorkerProcedures workers{
            [&](WindowPort& port) {
                ++checks;
                port.PostBusy();
                const StatusOutcome status{L"", c.registers > 0, c.downloads > 0, {}};
                port.SetStatus(status);
                port.PostDone();
                RouteLaunchLink(port, status);
                if (checks == 1) {
                    // Handled after the press (events keep their order): the press comes while
                    // this check still runs, and its command must wait for it, not be lost.
                    port.AskPin();
                }
            },
            command(registers), command(downloads)};
        CQuorvaneEnrollDlg window(std::string(c.link), workers);
        for (int dialog = 0; dialog < 2; ++dialog) {  // the first check's, the command's
            test::AnswerWhenShown<CPinDlg>([](CPinDlg* pin) { pin->reject(); });
        }
        window.Start();
        const int expectedChecks = 1 + c.registers + c.downloads;
        ASSERT_TRUE(WaitUntil([&] { return checks == expectedChecks && !window.WorkerRunning(); }));
        QTest::qWait(100);
        EXPECT_EQ(registers, c.registers);
        EXPECT_EQ(downloads, c.downloads);
        EXPECT_EQ(checks, expectedChecks);
    }
}

// A press on an enabled button while its worker is still ending, as on a loaded machine, runs once
// the worker ends; after a command, whose status check follows, it is stale and dropped, even when
// it came before the command asked for that check.
TEST(MainWindow, PressWhileTheWorkerEnds) {
    std::atomic<int> checks = 0, downloads = 0, holds = 0, releases = 0;
    auto worker = [&](std::atomic<int>& count, bool command) {
        return [&, command](WindowPort& port) {
            ++count;
            port.PostBusy();
            port.SetStatus({L"", true, true, {}});
            port.PostDone();
            for (const int mine = holds++; releases <= mine;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (command) {  // after the press: the press must not take the status check's place
                port.PostStartStatusCheck();
            }
        };
    };
    CQuorvaneEnrollDlg window(std::nullopt, {worker(checks, false), {}, worker(downloads, true)});
    const std::shared_ptr<void> letGo(nullptr, [&](void*) { releases = 100; });  // on a failure too
    window.show();
    window.Start();
    for (const int held : {1, 2}) {  // the check's press runs; the command's does not
        ASSERT_TRUE(
            WaitUntil([&] { return holds == held && window.DownloadButton()->isEnabled(); }));
        QTest::mouseClick(window.DownloadButton(), Qt::LeftButton);
        // Taken: a second press, on either button, is not.
        EXPECT_FALSE(window.RequestButton()->isEnabled() || window.DownloadButton()->isEnabled());
        QTest::mouseClick(window.RequestButton(), Qt::LeftButton);
        ++releases;
    }
    while (window.WorkerRunning()) {  // the command ends before the window hears of the check
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(WaitUntil([&] { return holds == 3; }));  // the check after the command
    ++releases;
    ASSERT_TRUE(WaitUntil([&] { return !window.WorkerRunning(); }));
    QTest::qWait(100);
    EXPECT_EQ(downloads, 1);
    EXPECT_EQ(checks, 2);
}

}  // namespace
}  // namespace qe
