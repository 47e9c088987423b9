#include <QApplication>

#include <gtest/gtest.h>

// GUI tests need the application object on the main thread before any widget.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
