// Pictolan: reads the command line, registers the image formats, shows the main window and
// runs the event loop.
#include <iostream>
#include <memory>

#include "format_registry.h"
#include "pictolan_application.h"
#include "unitGcfTest.h"
#include "unitMain.h"

int main(int argc, char** argv) {
    TPictolanApplication app(argc, argv);
    const std::optional<TStartPath> start = ParseCommandLine(QCoreApplication::arguments(), std::cerr);
    InitializeFileFormats();
    int rc;
    {
        auto frmMain = std::make_unique<TfrmMain>(DefaultSettingsFile(), start);
        auto frmGcfTest = std::make_unique<TfrmGcfTest>(frmMain.get(), ShowErrorBox);
        frmMain->GcfTestDialog = frmGcfTest.get();
        frmMain->show();
        rc = app.exec();
        frmMain->GcfTestDialog = nullptr;
        frmGcfTest.reset();
        frmMain.reset();
    }
    FinalizeFileFormats();
    return rc;
}
