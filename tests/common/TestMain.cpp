// Test main for every suite: a QApplication (offscreen) so widgets and queued calls work.
#include <gtest/gtest.h>

#include <QApplication>

#include "common/TestHome.h"
#include "widgets/ModalDialogs.h"

int main(int argc, char** argv) {
    // Offscreen; a suite may give the offscreen platform a screen of its own.
    if (!qgetenv("QT_QPA_PLATFORM").startsWith("offscreen"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const TestHome home;  // before anything reads HOME
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName("DNC Server ( DatenTransfer )");
    // Boxes no test script answers are the real ones, as in the program.
    Modal::UseRealDialogs();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
