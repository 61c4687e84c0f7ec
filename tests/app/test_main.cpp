// Test entry of the panel: the panel's own application object, offscreen when no display is set
// (test discovery runs this binary without the tests' environment).
#include "UnitApplication.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    TPanelApplication App(argc, argv);
    return RUN_ALL_TESTS();
}
