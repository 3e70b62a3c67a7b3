// The window's answer to choosing a large folder: with "load all" down, a folder of 500 large
// photographs (2048 x 2048 JPEG files and Windows bitmaps) is scanned and the grid painted
// while the workers start on the thumbnails. Goal: the first paint of the sorted grid within
// 100 ms of choosing the folder. Runs under the offscreen platform.
//
//   BM_FirstPaint     choosing the folder until the grid has been painted in name order
//   BM_AllThumbnails  choosing the folder until every thumbnail is in its cell
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QThread>
#include <QToolButton>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>

#include "format_registry.h"
#include "formats/jpeg_image.h"
#include "pictolan_application.h"
#include "tolvan_drawpan.h"
#include "unitMain.h"

namespace fs = std::filesystem;

namespace {

// 500 names for two large pictures, as hard links (the page cache holds both once).
class PhotoFolder {
public:
    PhotoFolder() {
        std::random_device rd;
        FRoot = fs::temp_directory_path() / ("pictolan-browser-bench-" + std::to_string(rd()));
        fs::create_directories(FRoot / "photos");
        fs::create_directories(FRoot / "empty");
        TBitmap picture;
        picture.SetPixelFormat(pf24bit);
        picture.SetSize(2048, 2048);
        for (int y = 0; y < 2048; ++y)
            for (int x = 0; x < 2048; ++x)
                picture.SetPixel(x, y, TRGBQuad{static_cast<uint8_t>(x / 8), static_cast<uint8_t>(y / 8),
                                                static_cast<uint8_t>(128 + 100 * std::sin((x + y) / 60.0)), 0});
        picture.SaveToFile((FRoot / "photo.bmp").string());
        TJPEGImage jpeg;
        jpeg.Assign(picture);
        jpeg.SaveToFile((FRoot / "photo.jpg").string());
        for (int i = 0; i < 500; ++i) {
            const char* source = i % 2 ? "photo.bmp" : "photo.jpg";
            fs::create_hard_link(FRoot / source, FRoot / "photos" / ("p" + std::to_string(i * 7919 % 500) + fs::path(source).extension().string()));
        }
    }
    ~PhotoFolder() {
        std::error_code ec;
        fs::remove_all(FRoot, ec);
    }
    std::string Photos() const { return (FRoot / "photos").string(); }
    std::string Empty() const { return (FRoot / "empty").string(); }
    std::string Settings() const { return (FRoot / "pictolan.ini").string(); }

private:
    fs::path FRoot;
};

PhotoFolder* Folder = nullptr;

struct Window {
    TfrmMain Form{Folder->Settings()};
    int Paints = 0;

    Window() {
        Form.tbbtnLoadAll->setChecked(true);
        auto paint = Form.Browser->OnPaint;
        Form.Browser->OnPaint = [this, paint](TTolvanDrawPanel* sender) {
            paint(sender);
            ++Paints;
        };
        Form.show();
        QCoreApplication::processEvents();
    }

    // Lets the workers finish what they hold, so that one run does not slow the next.
    void Settle() {
        Form.ScanFolder(Folder->Empty());
        while (Form.ThumbnailsPending()) {
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
        QCoreApplication::processEvents();
    }
};

void BM_FirstPaint(benchmark::State& state) {
    Window w;
    double scanning = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        w.Form.ScanFolder(Folder->Photos());
        scanning += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        const int before = w.Paints;
        while (w.Paints == before) QCoreApplication::processEvents();
        state.PauseTiming();
        w.Settle();
        state.ResumeTiming();
    }
    // Of that, the scan itself (listing, sorting, the repaints while listing).
    state.counters["scan_ms"] = benchmark::Counter(scanning / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_FirstPaint)->Unit(benchmark::kMillisecond)->Iterations(10)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_AllThumbnails(benchmark::State& state) {
    Window w;
    for (auto _ : state) {
        w.Form.ScanFolder(Folder->Photos());
        while (w.Form.ThumbnailsPending()) {
            QCoreApplication::processEvents();
            QThread::msleep(1);
        }
        QCoreApplication::processEvents();
        if (w.Form.Files().LoadedCount() != 500) state.SkipWithError("thumbnails missing");
    }
}
BENCHMARK(BM_AllThumbnails)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TPictolanApplication app(argc, argv);
    InitializeFileFormats();
    PhotoFolder folder;
    Folder = &folder;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    FinalizeFileFormats();
    return 0;
}
