#include <QLineEdit>
#include <QMessageBox>
#include <QTest>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "flows/e2e_fixture.h"
#include "flows/json_text.h"
#include "sim/sim_process.h"
#include "support/gui_test.h"
#include "ui/custom_button.h"
#include "ui/custom_static.h"
#include "ui/main_window.h"
#include "ui/pin_dialog.h"
#include "ui/ui_text.h"

namespace qe::test {
namespace {

// The real window and the real flows against the simulator and SoftHSM2, driven as a customer
// would: status check, the request button, the PIN typed, the success box, idle again.
TEST_F(FlowTest, WindowRegistersThroughTheRealFlows) {
    CQuorvaneEnrollDlg window;
    int idle = 0;
    QObject::connect(&window, &CQuorvaneEnrollDlg::BecameIdle, [&idle] { ++idle; });
    window.show();
    window.Start();
    ASSERT_TRUE(WaitUntil([&] { return idle == 1 && window.RequestButton()->isEnabled(); }, 60000));
    EXPECT_FALSE(window.DownloadButton()->isEnabled());
    EXPECT_FALSE(window.LowerLabel()->Text().isEmpty());

    QTest::mouseClick(window.RequestButton(), Qt::LeftButton);
    CPinDlg* pin = WaitForWindow<CPinDlg>(60000);
    ASSERT_NE(pin, nullptr);
    ASSERT_TRUE(window.Busy());
    QTest::keyClicks(pin->Edit(), QString::fromLatin1(kPin));
    QTest::keyClick(pin->Edit(), Qt::Key_Return);

    QMessageBox* box = WaitForWindow<QMessageBox>(120000);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), UiText(108));
    EXPECT_EQ(PemBlocks(ControlState(), "CERTIFICATE REQUEST").size(), 1u);
    box->button(QMessageBox::Ok)->click();

    // The status check after the command: the issued certificate waits for installation.
    // Idle after the command (2), then after the status check that follows it (3).
    ASSERT_TRUE(WaitUntil([&] { return idle == 3 && !window.WorkerRunning(); }, 60000));
    EXPECT_TRUE(window.DownloadButton()->isEnabled());
    EXPECT_FALSE(window.Busy());
}

}  // namespace
}  // namespace qe::test
