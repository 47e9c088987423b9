// Every text is read whole, in the program's font on a 1366×768 screen (the platform's
// configuration, set by CMake) at each scale CMake runs it at: each status of the main window
// uncut, each box on the screen, and the main window on the screen with its commands in view.
#include <algorithm>

#include <QApplication>
#include <QMessageBox>
#include <QScreen>

#include <gtest/gtest.h>

#include "messages/messages.h"
#include "sim/routes.h"
#include "ui/custom_button.h"
#include "ui/custom_static.h"
#include "ui/dialog_units.h"
#include "ui/main_window.h"
#include "ui/result_box.h"
#include "ui/screen_fit.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

TEST(TextFit, EveryStatusFitsItsLabelAndEveryBoxTheScreen) {
    QApplication::setFont(DialogFont());
    CQuorvaneEnrollDlg window(std::nullopt, WorkerProcedures{});
    window.show();
    ASSERT_EQ(window.screen()->size(), QSize(1366, 768) / window.devicePixelRatioF());
    // The window on the screen with room for its frame, the status check's Cancel in it.
    EXPECT_TRUE(QRect(QPoint(), ScreenRoom(&window)).contains(window.rect()));
    EXPECT_TRUE(window.rect().contains(window.CancelButton()->geometry()));
    const auto whole = [](const CCustomStatic* label) {
        EXPECT_EQ(label->ShownText().toStdString(), label->accessibleName().toStdString());
    };
    whole(window.LowerLabel());  // before the first status answer
    for (const WorkMode mode :
         {WorkMode::StatusCheck, WorkMode::RequestGeneration, WorkMode::Download}) {
        for (int step = 0; !StepText(mode, step).empty(); ++step) {
            window.LowerLabel()->SetText(
                QString::fromStdWString(std::wstring(StepText(mode, step))));
            whole(window.LowerLabel());
        }
    }
    // The authority's longest status with each note on the certificate's dates after it.
    std::string longest;
    for (const int f : {0, 1, 2, 4}) {
        longest = std::max(longest, sim::DefaultStatusText(f & 1, f & 2, f & 4),
                           [](const auto& a, const auto& b) { return a.size() < b.size(); });
    }
    for (const ErrorId note : {ERR_CERT_NOT_YET_VALID, ERR_CERT_EXPIRED, ERR_CERT_EXPIRED_CLOCK}) {
        StatusOutcome status{QString::fromStdString(longest).toStdWString(), false, false, {}};
        status.datesNote = note;
        window.SetStatus(status);
        window.PostBusy();
        window.PostDone();
        QApplication::processEvents();
        whole(window.UpperLabel());
        whole(window.LowerLabel());
    }
    std::vector<std::unique_ptr<QMessageBox>> boxes;
    boxes.emplace_back(NewQuestionBox(UiText(179), &window));
    for (ErrorId id = ERR_NO_TOKEN; id < 100; ++id) {
        const ResultDecision d = DecideResult(id, 0, kBoxRetryCancel, L"", "");
        if (d.kind == ResultDecision::Kind::MessageBox) {
            boxes.emplace_back(NewResultBox(d, &window));
        }
    }
    for (const auto& box : boxes) {
        box->show();
        QApplication::processEvents();
        EXPECT_TRUE(box->width() <= 1366 && box->height() <= 768) << box->text().toStdString();
        box->hide();
    }
}

}  // namespace
}  // namespace qe
