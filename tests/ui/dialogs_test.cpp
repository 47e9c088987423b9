#include <filesystem>
#include <functional>
#include <tuple>

#include <QAccessible>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QImageWriter>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <unistd.h>

#include "support/freed_memory.h"
#include "support/gui_test.h"
#include "support/scoped_dir.h"
#include "support/test_pki.h"
#include "ui/bitmap_control.h"
#include "ui/certificate_choice.h"
#include "ui/certificate_details.h"
#include "ui/confirm_dialog.h"
#include "ui/custom_button.h"
#include "ui/custom_static.h"
#include "ui/dialog_units.h"
#include "ui/pin_change_dialog.h"
#include "ui/pin_dialog.h"
#include "ui/pin_edit.h"
#include "ui/toolkit_translations.h"
#include "ui/ui_text.h"

namespace qe {
namespace {

using test::ScopedDir;

// Typed as the customer types, ASCII control characters as their keys (\b Backspace, \r Enter).
void Press(QWidget* field, const QString& keys, Qt::KeyboardModifiers modifiers = {}) {
    for (const QChar key : keys) {
        key.unicode() < 0x80 ? QTest::keyClick(field, static_cast<char>(key.unicode()), modifiers)
                             : QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, key, {});
    }
}

// The field by keyboard alone: one bullet a character, no paste, no undo, at most 259 bytes of
// UTF-8 and never half a character; Enter hands the PIN over, Escape nothing, and no block
// given back holds the PIN's characters (the repeated U+20AC, as UTF-16). Above the field, the
// warning line of the token's PIN flags, read with the field. The field's name and its password
// role are the accessibility walk's.
TEST(PinDialog, WarningLineAndTheFieldByKeyboard) {
    QApplication::clipboard()->setText(QStringLiteral("99"));
    const test::FreedMemoryWatch watch("\xAC\x20", 3);
    const struct {
        CK_FLAGS flags;
        int warning;  // its text's number, 0 for none
        QString keys, shown;
        std::string pin;
    } cases[] = {
        {0, 0, "\b1\b43210\b\r", "****", "4321"},
        {CKF_USER_PIN_COUNT_LOW, 153, "4321\x1b", "****", ""},
        {CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW, 154, "€€€€\r", "****", "€€€€"},
        {CKF_USER_PIN_LOCKED | CKF_USER_PIN_FINAL_TRY, 155, "ș€\b1\r", "**", "ș1"},
        {kPinTriesUnknown, 180, QString(129, u'1') + QString(100, u'ș') + u'\r', QString(194, u'*'),
         std::string(129, '1') + QString(65, u'ș').toStdString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys.left(12).toStdString());
        CPinDlg dialog(c.flags);
        dialog.show();
        ASSERT_EQ(dialog.Warning() != nullptr, c.warning != 0);
        if (c.warning != 0) {
            EXPECT_EQ(dialog.Warning()->text(), UiText(c.warning));
            EXPECT_EQ(dialog.Edit()->accessibleDescription(), UiText(c.warning));
            EXPECT_GT(dialog.Edit()->y(), dialog.Warning()->geometry().bottom());
        }
        EXPECT_FALSE(dialog.Edit()->testAttribute(Qt::WA_InputMethodEnabled));  // no IM buffers
        Press(dialog.Edit(), c.keys.chopped(1));
        Press(dialog.Edit(), "vz", Qt::ControlModifier);
        EXPECT_EQ(dialog.Edit()->text(), c.shown);
        Press(dialog.Edit(), c.keys.right(1));
        EXPECT_EQ(dialog.result(), c.pin.empty() ? QDialog::Rejected : QDialog::Accepted);
        EXPECT_TRUE(dialog.Edit()->text().isEmpty());
        EXPECT_EQ(dialog.TakePin().view(), c.pin);
    }
    EXPECT_EQ(watch.hits(), 0);
}

// OK with nothing entered ends nothing and says why; text an assistive tool sets, or adds after
// the shown characters, is the PIN.
TEST(PinDialog, EmptyOkRefusedAndTextSetThroughAccessibility) {
    CPinDlg dialog(CKF_USER_PIN_COUNT_LOW);
    dialog.show();
    Press(dialog.Edit(), "\r");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.EmptyNote()->isVisible());
    EXPECT_TRUE(dialog.Edit()->accessibleDescription().startsWith(UiText(194)));
    QAccessibleInterface* field = QAccessible::queryAccessibleInterface(dialog.Edit());
    field->setText(QAccessible::Value, QStringLiteral("12"));
    field->setText(QAccessible::Value, QStringLiteral("56\n78"));
    field->editableTextInterface()->insertText(4, QStringLiteral("ș"));
    EXPECT_EQ(dialog.Edit()->text(), QStringLiteral("*****"));
    Press(dialog.Edit(), "\r");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.TakePin().view(), "5678ș");
}

// A new PIN of 4 to 6 characters by keyboard: Enter ends the dialog only with the same PIN typed
// twice within the lengths, the note tells two that differ, Escape keeps nothing.
TEST(PinChangeDialog, OkOnlyForTheSamePinTwiceWithinTheLengths) {
    const std::tuple<QString, QString, bool, int, std::string> cases[] = {
        // new PIN, confirmation and its last key, the note shown, the end, the PIN handed over
        {"1234", "1234\r", false, QDialog::Accepted, "1234"},
        {"1234", "12\r", false, -1, ""},
        {"1234", "1243\r", true, -1, ""},
        {"123", "123\r", false, -1, ""},
        {"1234", "1234\x1b", false, QDialog::Rejected, ""},
    };
    for (const auto& [typed, confirmation, note, end, pin] : cases) {
        SCOPED_TRACE(confirmation.toStdString());
        CPinChangeDlg dialog(4, 6);
        dialog.show();
        EXPECT_EQ(dialog.RuleNote()->text(), UiText(211).arg(4).arg(6));
        Press(dialog.NewEdit(), typed);
        Press(dialog.ConfirmEdit(), confirmation.chopped(1));
        EXPECT_EQ(dialog.MismatchNote()->isVisible(), note);
        Press(dialog.ConfirmEdit(), confirmation.right(1));
        EXPECT_EQ(dialog.isVisible() ? -1 : dialog.result(), end);
        EXPECT_EQ(dialog.TakePin().view(), pin);
    }
}

// Qt's own menus speak Romanian: the scroll bar's and the text's.
TEST(ToolkitTexts, MenusAreRomanian) {
    auto texts = [] {
        QStringList all;
        QScrollBar bar(Qt::Vertical);
        QTimer::singleShot(0, [&all] {
            for (QAction* action : QApplication::activePopupWidget()->actions()) {
                all << action->text();
            }
            QApplication::activePopupWidget()->close();
        });
        QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(1, 1), QPoint(1, 1));
        QApplication::sendEvent(&bar, &menu);
        QTextBrowser text;
        text.setPlainText(QStringLiteral("x"));
        const std::unique_ptr<QMenu> textMenu(text.createStandardContextMenu());
        for (QAction* action : textMenu->actions()) {
            all << action->text();
        }
        return all;
    };
    const QStringList english = texts();
    InstallToolkitTranslations();
    const QStringList romanian = texts();
    ASSERT_EQ(romanian.size(), english.size());
    ASSERT_GT(english.size(), 10);
    for (qsizetype i = 0; i < english.size(); ++i) {
        EXPECT_TRUE(english[i].isEmpty() || romanian[i] != english[i]) << english[i].toStdString();
    }
}

TEST(CertificateChoice, RowsAndCancel) {
    const Bytes garbage = {0x30, 0x03, 0x02, 0x01, 0x01};
    const Bytes named = test::TestCa().Issue(test::SharedKey(), {{"CN", "Ion Popescu"}}, {0x05});
    for (const bool accept : {true, false}) {
        CertificateChoiceDialog dialog({{named, {}, {}}, {garbage, {}, {}}});
        EXPECT_EQ(dialog.List()->topLevelItemCount(), 2);
        // A long subject is cut in its column; the whole of it shows on hovering there.
        EXPECT_EQ(dialog.List()->topLevelItem(0)->toolTip(0), "Ion Popescu");
        dialog.List()->setCurrentItem(dialog.List()->topLevelItem(1));
        accept ? dialog.accept() : dialog.reject();
        EXPECT_EQ(dialog.Choice(), accept ? std::optional<std::size_t>(1) : std::nullopt);
    }
}

// A light, noisy 64 by 64 picture (enough scan data to cut in half, never dark), encoded.
std::string Picture(const char* format, bool progressive = false) {
    QImage image(64, 64, QImage::Format_RGB32);
    for (int i = 0; i < 64 * 64; ++i) {
        image.setPixel(i % 64, i / 64, qRgb(128 + i % 128, 128 + (i * 7) % 128, 255));
    }
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return out.toStdString();
}

// The dialog as the customer leaves it, with and without a file named "dev" in the current
// directory (a directory of that name, as / has, does not count); on the way, the certificate
// button shows the details of bytes that are not a certificate. Accepted with the box hidden and
// checked: the window end-to-end test.
TEST(ConfirmDialog, ChoiceCheckBoxAndEndCodes) {
    using End = std::function<void(CConfirmDlg&)>;
    const End accept = [](CConfirmDlg& d) { d.AcceptButton()->click(); };
    const End reject = [](CConfirmDlg& d) { d.RejectButton()->click(); };
    const End escape = [](CConfirmDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); };
    const End close = [](CConfirmDlg& d) { d.close(); };
    enum Dev { kNone, kFile, kDirectory };
    const struct {
        Dev dev;
        bool uncheck;
        End end;
        AcceptanceOutcome outcome;
        Bytes der;
    } cases[] = {{kFile, true, accept, {0, false}, {0x30, 0x82, 0xFF, 0xFF, 0x30}},
                 {kFile, false, reject, {1, true}, Bytes(4096, 0x30)},
                 {kDirectory, false, escape, {1, true}, {0x30, 0x00}},
                 {kNone, false, close, {1, true}, {0x02}}};
    const ScopedDir dir;
    const std::string home = std::filesystem::current_path();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.der.size());
        std::filesystem::remove_all(dir / "dev");
        if (c.dev == kFile) {
            test::WriteFile(dir / "dev", "");
        } else if (c.dev == kDirectory) {
            std::filesystem::create_directory(dir / "dev");
        }
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        std::vector<QString> opened;
        CConfirmDlg dialog(c.der, "/x/PV0.pdf", {}, [&](const QString& u) { opened.push_back(u); });
        ASSERT_EQ(chdir(home.c_str()), 0);
        dialog.show();
        EXPECT_TRUE(dialog.RejectChoice()->isChecked());
        EXPECT_FALSE(dialog.AcceptButton()->isEnabled());
        dialog.AcceptChoice()->click();
        EXPECT_TRUE(dialog.AcceptButton()->isEnabled());
        dialog.RejectChoice()->click();
        EXPECT_FALSE(dialog.AcceptButton()->isEnabled());
        dialog.AcceptChoice()->click();
        EXPECT_EQ(dialog.RemoveOldBox()->isVisible(), c.dev == kFile);
        EXPECT_TRUE(dialog.RemoveOldBox()->isChecked());
        if (c.uncheck) {
            dialog.RemoveOldBox()->click();
        }
        dialog.DeclarationButton()->click();
        EXPECT_EQ(opened, std::vector<QString>{"file:///x/PV0.pdf"});
        dialog.CertificateButton()->click();
        auto* details = test::WaitForWindow<CertificateDetailsDialog>();
        ASSERT_NE(details, nullptr);
        EXPECT_EQ(details->FieldText(170), UiText(170));
        details->close();
        c.end(dialog);
        EXPECT_EQ(dialog.Outcome().endCode, c.outcome.endCode);
        EXPECT_EQ(dialog.Outcome().removeOldCertificate, c.outcome.removeOldCertificate);
    }
}

// One tall image scrolled step by step (a scroll bar action, the wheel when `action` is -1, or a
// key), then a short one that does not move.
TEST(BitmapControl, ScrollRules) {
    using S = QScrollBar;
    const struct {
        int action, wheel, expected, key = 0;
    } steps[] = {{-1, 120, 0},
                 {-1, -120, 60},
                 {-1, -7, 63},
                 {S::SliderSingleStepAdd, 0, 64},
                 {S::SliderPageStepAdd, 0, 84},
                 {S::SliderPageStepSub, 0, 64},
                 {-1, -5000, 900},
                 {0, 0, 0, Qt::Key_Home},
                 {0, 0, 20, Qt::Key_PageDown},
                 {0, 0, 19, Qt::Key_Up},
                 {0, 0, 900, Qt::Key_End}};
    CBitmapCtrl control;
    control.resize(200, 100 + 2 * CBitmapCtrl::kEdge);
    for (const int height : {1000, 100}) {
        control.SetBitmap(QImage(150, height, QImage::Format_RGB32));
        EXPECT_EQ(control.ScrollBar()->isHidden(), height == 100);
        for (const auto& step : steps) {
            SCOPED_TRACE(testing::Message() << height << " " << step.action << " " << step.wheel);
            QWheelEvent wheel({10, 10}, {10, 10}, {}, {0, step.wheel}, Qt::NoButton, Qt::NoModifier,
                              Qt::NoScrollPhase, false);
            QKeyEvent key(QEvent::KeyPress, step.key, Qt::NoModifier);
            if (step.key != 0) {
                QApplication::sendEvent(&control, &key);
            } else {
                step.action < 0 ? (void)QApplication::sendEvent(&control, &wheel)
                                : control.ScrollBar()->triggerAction(S::SliderAction(step.action));
            }
            EXPECT_EQ(control.ScrollPosition(), height == 100 ? 0 : step.expected);
        }
    }
}

// What a delivery can hold: only a JPEG within the limits is decoded, a truncated one in part.
TEST(BitmapControl, HostileFilesAndFileNotFound) {
    const std::string jpeg = Picture("JPEG");
    std::string huge = jpeg;
    const std::size_t sof = huge.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    huge.replace(sof + 5, 4, "\x13\x88\x13\x88");  // 5000 by 5000
    // A progressive picture whose last scan comes again and again: each one decodes, slowly.
    std::string scans = Picture("JPEG", true);
    const std::size_t last = scans.rfind("\xFF\xDA"), end = scans.rfind("\xFF\xD9");
    ASSERT_NE(last, std::string::npos);
    std::string repeated;
    for (int i = 0; i < CBitmapCtrl::kMaxScans; ++i) {
        repeated += scans.substr(last, end - last);
    }
    scans.insert(end, repeated);
    // A comment, then bytes a segment walker takes for a 64 KiB segment and the decoder skips.
    const std::string hidden =
        std::string("\xFF\xD8\xFF\xFE\x00\x02\xFF\x00\xFF\xFF", 10) + scans.substr(2);
    const struct {
        const char* name;
        std::string content;
        bool shown;
    } cases[] = {{"missing", "", false},
                 {"good", jpeg, true},
                 {"truncated", jpeg.substr(0, jpeg.size() / 2), true},
                 {"huge", huge, false},
                 {"progressive", Picture("JPEG", true), true},
                 {"many scans", scans, false},
                 {"many scans, hidden", hidden, false},
                 {"png", Picture("PNG"), false},
                 {"text", "not an image", false}};
    const ScopedDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.content.empty()) {
            test::WriteFile(dir / c.name, c.content);
        }
        CBitmapCtrl control;
        control.resize(200, 100);
        control.LoadFile(QString::fromStdString(dir / c.name));
        EXPECT_EQ(control.HasImage(), c.shown);
        const QImage shot = control.grab().toImage();
        EXPECT_EQ(shot.pixelColor(190, 90), QColor(128, 128, 128));
        int dark = 0;  // the words "File not found."
        for (int x = 0; x < 100; ++x) {
            dark += qGray(shot.pixel(x, 8)) < 64;
        }
        EXPECT_EQ(dark > 0, !c.shown);
    }
}

// The window's label cuts what does not fit (a server's long status text) at a line it can show.
TEST(CustomStatic, WhatDoesNotFitEndsInAnEllipsis) {
    CCustomStatic label;
    label.resize(300, 60);
    for (const QString& text : {QStringLiteral("cuvânt ").repeated(100), QString(500, u'x')}) {
        label.SetText(text);
        const QString shown = label.ShownText();
        const QRect drawn =
            QFontMetrics(label.font()).boundingRect(label.rect(), Qt::TextWordWrap, shown);
        EXPECT_TRUE(drawn.height() <= 60 && drawn.width() <= 300 && shown.size() > 20);
        EXPECT_EQ(text.left(shown.size() - 3) + QStringLiteral("..."), shown);
    }
}

// Key usage bits of both octets by their number, extended usages by their identifier in Romanian,
// others as OpenSSL or the number names them; the names themselves are the table's. Names far too
// long for a screen (the server's to choose) still give a dialog that fits one.
TEST(CertificateDetails, UsageNamesAndLongNamesOnASmallScreen) {
    const struct {
        std::string keyUsage, extendedKeyUsage;
        const char *keyUsageShown, *extendedShown;
    } cases[] = {
        {"digitalSignature,keyAgreement,decipherOnly",
         "clientAuth,1.3.6.1.4.1.311.20.2.2,ipsecIKE,1.2.3.4",
         "Semnătură digitală, Acord de chei, Numai descifrare",
         "Autentificare client, Autentificare cu card inteligent, "
         "ipsec Internet Key Exchange, 1.2.3.4"},
        {"DER:05:00", "DER:05:00", "Valoare care nu poate fi citită",
         "Valoare care nu poate fi citită"},   // not what it should hold
        {"DER:03:03:06:00:40", "", "—", "—"},  // a bit past the nine named ones
    };
    const QFont font = QApplication::font();
    QApplication::setFont(DialogFont());  // the program's
    for (const auto& c : cases) {
        test::CertContent content{{{"CN", "Ion Popescu"},
                                   {"2.5.4.13", std::string(2000, 'x')},
                                   {"2.5.4.13", QString("cuvânt ").repeated(300).toStdString()}},
                                  "DNS:" + std::string(250, 'a') + ".ro"};
        content.keyUsage = c.keyUsage;
        content.extendedKeyUsage = c.extendedKeyUsage;
        CertificateDetailsDialog dialog(test::MakeCertificate(content, test::SharedKey()));
        dialog.show();
        EXPECT_TRUE(dialog.width() <= 800 && dialog.height() <= 600)
            << dialog.width() << "x" << dialog.height();
        EXPECT_EQ(dialog.FieldText(166).toStdString(), c.keyUsageShown);
        EXPECT_EQ(dialog.FieldText(167).toStdString(), c.extendedShown);
    }
    QApplication::setFont(font);
}

}  // namespace
}  // namespace qe
