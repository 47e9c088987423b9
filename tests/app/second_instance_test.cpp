#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "app/application.h"
#include "app/single_instance.h"
#include "support/scoped_dir.h"
#include "ui/dialog_units.h"
#include "ui/main_window.h"

namespace qe {
namespace {

// What the program showed, seen from inside its own event loop.
struct Seen {
    QString text, caption;
    QFont font;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int topLevelWindows = 0;
} seen;

// Runs when the program creates its application object: answers the first box it shows.
void AnswerTheBox() {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            return;
        }
        seen = {box->text(), box->windowTitle(), box->font(), box->icon(),
                static_cast<int>(QApplication::topLevelWidgets().size())};
        box->accept();
        poll->deleteLater();
    });
    poll->start(10);
}
Q_COREAPP_STARTUP_FUNCTION(AnswerTheBox)

TEST(SecondInstance, RefusedWithTheMessageAndNoWindow) {
    test::ScopedDir runtime("runtime");
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    setenv("TMPDIR", runtime.path().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    SingleInstance first;  // the running copy
    ASSERT_FALSE(first.AlreadyRunning());
    char name[] = "quorvane-enroll";
    char link[] = "quorvaneenroll://register/";
    char* argv[] = {name, link, nullptr};
    EXPECT_EQ(CQuorvaneEnrollApp().InitInstance(2, argv), 0);
    EXPECT_EQ(seen.text, QStringLiteral("Aplicatia este deja deschisa."));
    EXPECT_EQ(seen.caption, QStringLiteral("Quorvane Enroll"));
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.font.toString(), DialogFont().toString()) << "every other box's font";
    EXPECT_EQ(seen.topLevelWindows, 1) << "only the box, no main window";
    // The log is opened first of all, so even a refused copy leaves its start for support.
    EXPECT_EQ(test::ReadFile(runtime / "enrolllog.txt"),
              "\n\n\n################################START###################################\n\n"
              "Version: 2.7.23\n\n");
    SingleInstance third;
    EXPECT_TRUE(third.AlreadyRunning()) << "the first copy keeps its lock";
}

// At start-up the link is the first argument, whatever Qt makes of the list, and the previews a
// killed copy left behind go (ours only).
TEST(StartUp, FirstArgumentIsTheLinkAndLeftPreviewsGo) {
    test::ScopedDir runtime("runtime");
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    setenv("TMPDIR", runtime.path().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::pair<const char*, bool> files[] = {
        {"quorvaneEnrollPV0.pdf", false}, {"quorvaneEnrollPV17.jpg", false},
        {"quorvaneEnrollPV.pdf", true},   {"quorvaneEnrollPV1.pdf.part", true},
        {"quorvaneEnrollPVx.jpg", true},  {"enrolllog.txt", true}};
    for (const auto& [file, stays] : files) {
        test::WriteFile(runtime / file, "");
    }
    GTEST_FLAG_SET(death_test_style, "fast");  // the child keeps this TMPDIR
    char name[] = "quorvane-enroll", reverse[] = "-reverse", link[] = "quorvaneenroll://register/";
    char* argv[] = {name, reverse, link, nullptr};
    CQuorvaneEnrollApp program;
    program.windowCreated = [](CQuorvaneEnrollDlg& window) {
        // The window's layout is in units of the dialog font, which it takes from the program.
        std::fprintf(stderr, "link: %s, %s\n", window.TakeLaunchLink().value_or("").c_str(),
                     window.font() == DialogFont() ? "dialog font" : "another font");
        std::_Exit(0);
    };
    EXPECT_EXIT(program.InitInstance(3, argv), testing::ExitedWithCode(0),
                "link: -reverse, dialog font\n");
    for (const auto& [file, stays] : files) {
        EXPECT_EQ(std::filesystem::exists(runtime / file), stays) << file;
    }
}

}  // namespace
}  // namespace qe
