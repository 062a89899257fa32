// Test main: the built-in English strings and one QApplication for every test. Without a display
// the widgets run on the offscreen platform (no window shapes there; the tests that need them
// say so and skip).
#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

#include "persistence/language.h"

int main(int argc, char** argv) {
    if (!std::getenv("DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    kv::languages().initLanguages({});
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
