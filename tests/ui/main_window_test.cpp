#include "ui/main_window.h"

#include <atomic>

#include <QAccessible>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>

#include <gtest/gtest.h>

#include "flows/status_check.h"
#include "support/gui_test.h"
#include "ui/custom_button.h"
#include "ui/custom_static.h"
#include "ui/pin_dialog.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

using test::Finish;
using test::OnWorker;
using test::WaitForWindow;
using test::WaitUntil;

class MainWindowTest : public ::testing::Test {
protected:
    explicit MainWindowTest(WorkerProcedures workers = {}) : window_(std::nullopt, workers) {
        window_.SetClock([this] { return now_.load(); });
        window_.show();
    }
    void Settle() { QApplication::processEvents(); }

    std::atomic<std::int64_t> now_{1000};
    CQuorvaneEnrollDlg window_;
};

TEST_F(MainWindowTest, StatesOfTheTable) {
    EXPECT_EQ(window_.size(), QSize(770, 528));
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
        window_.SetStatus({L"Stare de test", a.canGenerate, a.canDownload, {}});
        window_.PostDone();
        Settle();
        EXPECT_EQ(window_.UpperLabel()->Text(), UiText(117));
        EXPECT_EQ(window_.LowerLabel()->Text(), QStringLiteral("Stare de test"));
        EXPECT_EQ(window_.RequestButton()->isEnabled(), a.canGenerate);
        EXPECT_EQ(window_.DownloadButton()->isEnabled(), a.canDownload);
    }
    QAccessibleInterface* label = QAccessible::queryAccessibleInterface(window_.LowerLabel());
    EXPECT_EQ(label->role(), QAccessible::StaticText);
    EXPECT_EQ(label->text(QAccessible::Name), QStringLiteral("Stare de test"));
    EXPECT_EQ(
        QAccessible::queryAccessibleInterface(window_.DownloadButton())->text(QAccessible::Name),
        UiText(103));
    EXPECT_TRUE(window_.close()) << "idle, closing ends the program";
}

TEST(MainWindow, NextStepTextsPerMode) {
    // Each worker starts its flow (step index 0); the k-th next step shows entry k of its mode.
    auto begin = [](WindowPort& port) { port.ResetStepIndex(); };
    CQuorvaneEnrollDlg window(std::nullopt, {begin, begin, begin});
    window.SetStatus({L"", true, true, {}});
    for (const WorkMode mode :
         {WorkMode::StatusCheck, WorkMode::RequestGeneration, WorkMode::Download}) {
        SCOPED_TRACE(static_cast<int>(mode));
        window.PostDone();
        QApplication::processEvents();
        if (mode == WorkMode::StatusCheck) {
            window.Start();
        } else {
            (mode == WorkMode::RequestGeneration ? window.RequestButton() : window.DownloadButton())
                ->click();
        }
        ASSERT_TRUE(WaitUntil([&] { return !window.WorkerRunning(); }));
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
    EXPECT_EQ(Finish(first), "12x4");
    auto cached = ask(0);
    EXPECT_EQ(Finish(cached), "12x4") << "the cached PIN is used without asking";

    test::AnswerWhenShown<QMessageBox>([](QMessageBox* box) { box->accept(); });
    window_.ShowResult(ERR_WRONG_PIN, 0, 0);  // on the window's thread: runs the box itself
    auto again = ask(0);
    dialog = WaitForWindow<CPinDlg>();
    ASSERT_NE(dialog, nullptr) << "after a wrong PIN the dialog asks again";
    QTest::keyClick(dialog, Qt::Key_Escape);
    EXPECT_EQ(Finish(again), "");
}

}  // namespace
}  // namespace qe
