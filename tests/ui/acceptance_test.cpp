#include <filesystem>

#include <QBuffer>
#include <QCheckBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <unistd.h>

#include "support/gui_test.h"
#include "support/scoped_dir.h"
#include "ui/bitmap_control.h"
#include "ui/certificate_details.h"
#include "ui/confirm_dialog.h"
#include "ui/custom_button.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

using test::ScopedDir;

// A light, noisy picture: enough scan data to cut in half, and never dark.
std::string Jpeg(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(x, y, qRgb(128 + (x * y) % 128, 128 + (x * 7) % 128, 255));
        }
    }
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG");
    return out.toStdString();
}

// The dialog as the customer leaves it, with and without a "dev" entry in the current directory.
TEST(ConfirmDialog, ChoiceCheckBoxAndEndCodes) {
    enum class End { Accept, Reject, Escape, Close };
    const struct {
        bool dev, uncheck;
        End end;
        AcceptanceOutcome outcome;
    } cases[] = {{false, false, End::Accept, {0, true}},
                 {true, true, End::Accept, {0, false}},
                 {true, false, End::Reject, {1, true}},
                 {false, false, End::Escape, {1, true}},
                 {false, false, End::Close, {1, true}}};
    const ScopedDir dir;
    const std::string home = std::filesystem::current_path();
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.end));
        std::filesystem::remove(dir / "dev");
        if (c.dev) {
            test::WriteFile(dir / "dev", "");
        }
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        std::vector<QString> opened;
        CConfirmDlg dialog({0x30, 0x00}, "/x/PV0.pdf", "",
                           [&](const QString& u) { opened.push_back(u); });
        ASSERT_EQ(chdir(home.c_str()), 0);
        dialog.show();
        EXPECT_TRUE(dialog.RejectChoice()->isChecked());
        EXPECT_FALSE(dialog.AcceptButton()->isEnabled());
        dialog.AcceptChoice()->click();
        EXPECT_TRUE(dialog.AcceptButton()->isEnabled());
        dialog.RejectChoice()->click();
        EXPECT_FALSE(dialog.AcceptButton()->isEnabled());
        dialog.AcceptChoice()->click();
        EXPECT_EQ(dialog.RemoveOldBox()->isVisible(), c.dev);
        EXPECT_TRUE(dialog.RemoveOldBox()->isChecked());
        if (c.uncheck) {
            dialog.RemoveOldBox()->click();
        }
        dialog.DeclarationButton()->click();
        EXPECT_EQ(opened, std::vector<QString>{"file:///x/PV0.pdf"});
        switch (c.end) {
            case End::Accept:
                dialog.AcceptButton()->click();
                break;
            case End::Reject:
                dialog.RejectButton()->click();
                break;
            case End::Escape:
                QTest::keyClick(&dialog, Qt::Key_Escape);
                break;
            case End::Close:
                dialog.close();
                break;
        }
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.Outcome().endCode, c.outcome.endCode);
        EXPECT_EQ(dialog.Outcome().removeOldCertificate, c.outcome.removeOldCertificate);
    }
}

TEST(ConfirmDialog, UnreadableCertificateShowsALine) {
    const Bytes garbage[] = {{}, {0x30, 0x82, 0xFF, 0xFF, 0x30}, Bytes(4096, 0x30)};
    for (const Bytes& der : garbage) {
        CConfirmDlg dialog(der, "", "", [](const QString&) {});
        dialog.show();
        dialog.CertificateButton()->click();
        auto* details = test::WaitForWindow<CertificateDetailsDialog>();
        ASSERT_NE(details, nullptr);
        EXPECT_EQ(details->FieldText(170), UiText(170));
        details->close();
    }
}

// Scrolling from `start` by a scroll bar action, or by the wheel when `action` is -1.
TEST(BitmapControl, ScrollRules) {
    const struct {
        int imageHeight, start, action, wheel, expected;
    } cases[] = {
        {1000, 0, -1, 120, 0},
        {1000, 0, -1, -120, 60},
        {1000, 100, -1, -7, 103},
        {1000, 0, -1, -5000, 900},
        {1000, 0, QScrollBar::SliderSingleStepAdd, 0, 1},
        {1000, 0, QScrollBar::SliderSingleStepSub, 0, 0},
        {1000, 0, QScrollBar::SliderPageStepAdd, 0, 20},
        {1000, 30, QScrollBar::SliderPageStepSub, 0, 10},
        {1000, 895, QScrollBar::SliderPageStepAdd, 0, 900},
        {1000, 500, QScrollBar::SliderToMinimum, 0, 0},
        {1000, 500, QScrollBar::SliderToMaximum, 0, 900},
        {50, 0, -1, -120, 0},
        {100, 0, QScrollBar::SliderPageStepAdd, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.imageHeight << " " << c.start << " " << c.action);
        CBitmapCtrl control;
        control.resize(200, 100 + 2 * CBitmapCtrl::kEdge);
        QImage image(150, c.imageHeight, QImage::Format_RGB32);
        control.SetBitmap(image);
        EXPECT_EQ(control.ScrollBar()->isHidden(), c.imageHeight <= 100);
        control.ScrollBar()->setSliderPosition(c.start);
        if (c.action < 0) {
            QWheelEvent wheel({10, 10}, {10, 10}, {}, {0, c.wheel}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QApplication::sendEvent(&control, &wheel);
        } else {
            control.ScrollBar()->triggerAction(static_cast<QScrollBar::SliderAction>(c.action));
        }
        EXPECT_EQ(control.ScrollPosition(), c.expected);
        EXPECT_EQ(control.ScrollBar()->value(), c.expected);
    }
}

// What a delivery can hold: only a JPEG within the limits is decoded, a truncated one in part.
TEST(BitmapControl, HostileFilesAndFileNotFound) {
    std::string huge = Jpeg(64, 64);
    const std::size_t sof = huge.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    huge.replace(sof + 5, 4, "\x13\x88\x13\x88");  // 5000 by 5000
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage(64, 64, QImage::Format_RGB32).save(&buffer, "PNG");
    const struct {
        const char* name;
        std::string content;
        bool shown;
    } cases[] = {{"missing", "", false},
                 {"good", Jpeg(64, 64), true},
                 {"truncated", Jpeg(64, 64).substr(0, Jpeg(64, 64).size() / 2), true},
                 {"huge", huge, false},
                 {"png", png.toStdString(), false},
                 {"text", "not an image", false}};
    const ScopedDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.content != "") {
            test::WriteFile(dir / c.name, c.content);
        }
        CBitmapCtrl control;
        control.resize(200, 100);
        control.LoadFile(QString::fromStdString(dir / c.name));
        EXPECT_EQ(control.HasImage(), c.shown);
        const QImage shot = control.grab().toImage();
        EXPECT_EQ(shot.pixelColor(190, 90), QColor(128, 128, 128));
        int dark = 0;
        for (int x = 0; x < 100; ++x) {
            dark += qGray(shot.pixel(x, 8)) < 64 ? 1 : 0;
        }
        EXPECT_EQ(dark > 0, !c.shown);  // the words "File not found."
    }
}

}  // namespace
}  // namespace qe
