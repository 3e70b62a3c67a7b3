// Runs the window tests inside one application object, without a display.
#include <gtest/gtest.h>

#include <QtGlobal>

#include "format_registry.h"
#include "pictolan_application.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TPictolanApplication app(argc, argv);
    InitializeFileFormats();
    int rc = RUN_ALL_TESTS();
    FinalizeFileFormats();
    return rc;
}
