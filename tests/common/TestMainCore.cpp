// Test main for suites that need no window: queued calls and timers work, no display.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "common/TestHome.h"

int main(int argc, char** argv) {
    const TestHome home;  // before anything reads HOME
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
