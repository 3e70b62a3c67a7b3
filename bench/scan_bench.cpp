// Folder scan speed: listing a folder of 2,000 small images with LoadAll off must take well
// under a second. Also the cost of fitting one large picture into a thumbnail.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "browser_list.h"
#include "format_registry.h"
#include "thumbnail.h"

namespace {

// A folder of `images` tiny ".bmp" files among `others` files of no interest.
class BenchFolder {
public:
    BenchFolder(int images, int others) {
        std::random_device rd;
        FPath = std::filesystem::temp_directory_path() / ("pictolan-scan-bench-" + std::to_string(rd()));
        std::filesystem::create_directories(FPath);
        char name[64];
        for (int i = 0; i < images; ++i) {
            std::snprintf(name, sizeof name, "%s%05d.bmp", i % 2 ? "Img" : "img", (i * 7919) % images);
            std::ofstream(FPath / name) << "BM";
        }
        for (int i = 0; i < others; ++i) {
            std::snprintf(name, sizeof name, "note%05d.txt", i);
            std::ofstream(FPath / name) << "x";
        }
    }
    ~BenchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    std::string Path() const { return FPath.string(); }

private:
    std::filesystem::path FPath;
};

void BM_ScanFolder(benchmark::State& state) {
    InitializeFileFormats();
    BenchFolder folder(static_cast<int>(state.range(0)), 200);
    std::vector<std::string> registered;
    FileFormats->ListExtensions(registered);
    const auto accepted = BuildAcceptedExtensions(registered);
    TBrowserList list;
    for (auto _ : state) {
        list.ScanFolder(folder.Path(), accepted, {});
        benchmark::DoNotOptimize(list.Count());
    }
    if (list.Count() != state.range(0)) state.SkipWithError("wrong number of entries listed");
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ScanFolder)->Arg(2000)->Unit(benchmark::kMillisecond);

void BM_FitThumbnail(benchmark::State& state) {
    TBitmap source;
    source.SetPixelFormat(pf24bit);
    source.SetSize(2048, 1536);
    for (auto _ : state) {
        TBitmap target;
        FitThumbnail(source, target);
        benchmark::DoNotOptimize(target.Width());
    }
}
BENCHMARK(BM_FitThumbnail)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
