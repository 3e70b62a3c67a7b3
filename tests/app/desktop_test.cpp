// What makes the program a desktop citizen, without widgets: where its settings live, the
// window's placement, the command line's path and the viewer's zoom arithmetic.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "app_settings.h"
#include "start_path.h"
#include "test_support.h"
#include "viewer_zoom.h"

using testsupport::ScratchDir;

namespace {

// An installed copy's folder cannot be written, a portable copy's can. The choice runs in a
// child process that drops root's rights, as root may write anywhere.
TEST(SettingsLocation, BesideTheExecutableOnlyWhereItsFolderCanBeWritten) {
    ScratchDir dir;
    const auto installed = dir / "installed";
    const auto portable = dir / "portable";
    const auto config = dir / "config";
    std::filesystem::create_directory(installed);
    std::filesystem::create_directory(portable);
    ::chmod(installed.c_str(), 0555);
    ::chmod(portable.c_str(), 0777);

    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(90);
        const bool right = SettingsFilePath(installed.string() + "/", config.string()) ==
                               (config / "pictolan" / "pictolan.ini").string() &&
                           SettingsFilePath(portable.string() + "/", config.string()) ==
                               portable.string() + "/pictolan.ini";
        ::_exit(right ? 0 : 1);
    }
    int wstatus = 0;
    ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
    ::chmod(installed.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(wstatus));
    ASSERT_NE(WEXITSTATUS(wstatus), 90) << "could not drop root's rights";
    EXPECT_EQ(WEXITSTATUS(wstatus), 0) << "the settings file was chosen in the wrong folder";

    // The configuration folder is made when the settings are first written.
    const std::string file = (config / "pictolan" / "pictolan.ini").string();
    EnsureSettingsFolder(file);
    TIniFile ini(file);
    WriteAppSettings(ini, true, "/p");
    EXPECT_TRUE(ReadAppSettings(ini).LoadAll);
}

TEST(WindowPlacement, StoredValuesRoundTripAndNonsenseGivesTheDesignValues) {
    ScratchDir dir;
    TIniFile ini((dir / "pictolan.ini").string());
    EXPECT_EQ(ReadWindowPlacement(ini), TWindowPlacement{});
    const TWindowPlacement stored{-1200, 40, 1000, 700, true, 300};
    WriteWindowPlacement(ini, stored);
    EXPECT_EQ(ReadWindowPlacement(ini), stored);
    std::ofstream(dir / "pictolan.ini") << "[Window]\nLeft=x\nWidth=5\nHeight=99999999\nTreeWidth=-3\n";
    EXPECT_EQ(ReadWindowPlacement(ini), TWindowPlacement{});
}

TEST(WindowPlacement, FitsTheScreen) {
    const TRect screen{0, 0, 1366, 738};  // a small laptop less its panel
    struct {
        const char* what;
        TWindowPlacement in, out;
    } cases[] = {
        {"fits", {228, 130, 716, 523, false, 209}, {228, 130, 716, 523, false, 209}},
        {"on a screen that is gone", {2500, -900, 716, 523, false, 209}, {650, 0, 716, 523, false, 209}},
        {"larger than the screen", {0, 0, 1900, 1000, false, 209}, {0, 0, 1366, 738, true, 209}},
    };
    for (const auto& c : cases) EXPECT_EQ(FitPlacementToScreen(c.in, screen), c.out) << c.what;
    EXPECT_EQ(FitPlacementToScreen(cases[1].in, TRect{}), cases[1].in);  // no screen known
}

TEST(StartPath, FolderFileAndMissingPath) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "pics");
    std::ofstream(dir / "pics" / "a.png") << "x";
    std::string error;

    auto folder = ResolveStartPath((dir / "pics").string() + "/", error);
    ASSERT_TRUE(folder);
    EXPECT_EQ(folder->Folder, (dir / "pics").string());
    EXPECT_EQ(folder->FileName, "");

    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    auto file = ResolveStartPath("pics/./a.png", error);  // relative to the working folder
    std::filesystem::current_path(previous);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Folder, (dir / "pics").string());
    EXPECT_EQ(file->FileName, "a.png");

    EXPECT_FALSE(ResolveStartPath("/no/such/picture.png", error));
    EXPECT_EQ(error, "Cannot open \"/no/such/picture.png\". No such file or directory");
}

TEST(ViewerZoom, FitShrinksLargePicturesOnly) {
    struct {
        int64_t w, h, viewW, viewH;
        double factor;
    } cases[] = {
        {4000, 3000, 800, 600, 0.2},  {3000, 4000, 800, 600, 0.15}, {1000, 10, 800, 600, 0.8},
        {100, 100, 800, 600, 1},      {800, 600, 800, 600, 1},      {0, 0, 800, 600, 1},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(TViewerZoom::FitFactor(c.w, c.h, c.viewW, c.viewH), c.factor) << c.w << " x " << c.h;
    EXPECT_EQ(TViewerZoom::Scaled(4000, 0.2), 800);
    EXPECT_EQ(TViewerZoom::Scaled(3, 0.01), 1);  // a picture never vanishes
}

TEST(ViewerZoom, StepsFromFitAndBackToActualSize) {
    TViewerZoom zoom;
    EXPECT_EQ(zoom.Factor(), 1);
    EXPECT_EQ(zoom.StatusText(), "Zoom: 100%");
    zoom.FitTo(4000, 3000, 800, 600);
    EXPECT_TRUE(zoom.Fit());
    EXPECT_EQ(zoom.StatusText(), "Zoom: 20% (fit)");
    zoom.ZoomIn();
    EXPECT_FALSE(zoom.Fit());
    EXPECT_EQ(zoom.Factor(), 0.25);
    zoom.ZoomOut();
    EXPECT_EQ(zoom.StatusText(), "Zoom: 16.7%");
    zoom.ActualSize();  // Ctrl+0
    EXPECT_EQ(zoom.Factor(), 1);
    EXPECT_EQ(zoom.StatusText(), "Zoom: 100%");
    for (int i = 0; i < 20; ++i) zoom.ZoomIn();
    EXPECT_EQ(zoom.Factor(), 16);  // the last step holds
    for (int i = 0; i < 40; ++i) zoom.ZoomOut();
    EXPECT_EQ(zoom.Factor(), 1.0 / 32);
}

TEST(ViewerZoom, ScrollKeepsThePictureUnderTheMouse) {
    // Scrolled to 100 with the mouse at 50: the picture's pixel 150 is under it, and at twice
    // the size it is pixel 300, so the scroll goes to 250; and back again.
    EXPECT_DOUBLE_EQ(TViewerZoom::ScrollKeeping(100, 50, 1, 2), 250);
    EXPECT_DOUBLE_EQ(TViewerZoom::ScrollKeeping(250, 50, 2, 1), 100);
}

}  // namespace
