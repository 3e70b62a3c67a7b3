// Texture decoding speed: level 0 of 2048 x 2048 textures through the library, and the same
// level turned into the viewer's bitmap. Reported in megapixels per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "host_texbridge.h"
#include "vtf_builder.h"
#include "vtf_helper.h"

namespace fs = std::filesystem;
namespace vt = vtftest;

namespace {

constexpr uint32_t kSize = 2048;

// Full-chain 2048 x 2048 textures, written on first use into a scratch folder that goes with
// the run.
class TBenchTextures {
public:
    ~TBenchTextures() {
        std::error_code ec;
        if (!FDir.empty()) fs::remove_all(FDir, ec);
    }
    std::string Path(uint32_t format) {
        if (FDir.empty()) {
            FDir = fs::temp_directory_path() / ("pictolan-texture-bench-" + std::to_string(::getpid()));
            fs::create_directories(FDir);
        }
        const fs::path path = FDir / (std::to_string(format) + ".vtf");
        if (!fs::exists(path)) {
            vt::Recipe s;
            s.Width = s.Height = kSize;
            s.Mips = 12;
            s.Format = format;
            const std::vector<uint8_t> bytes = vt::Build(s);
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
        return path.string();
    }

private:
    fs::path FDir;
};

std::string TexturePath(uint32_t format) {
    static TBenchTextures textures;
    return textures.Path(format);
}

void SetRate(benchmark::State& state) {
    const double megapixels = double(kSize) * kSize / 1e6;
    state.counters["MP/s"] = benchmark::Counter(megapixels * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_TextureGetImage(benchmark::State& state, uint32_t format) {
    TTextureSession texture(TexturePath(format));
    for (auto _ : state) {
        int32_t w = 0, h = 0, bpp = 0;
        uint8_t* buffer = nullptr;
        TextureGetImage(&w, &h, &bpp, &buffer, 0);
        if (!buffer) {
            state.SkipWithError("no image");
            break;
        }
        benchmark::DoNotOptimize(buffer);
        TextureFreeBuffer(&buffer);
    }
    SetRate(state);
}

void BM_TextureMipToBitmap(benchmark::State& state, uint32_t format) {
    TTextureSession texture(TexturePath(format));
    for (auto _ : state) {
        std::unique_ptr<TBitmap> bitmap = TextureMipToBitmap(0);
        benchmark::DoNotOptimize(bitmap.get());
    }
    SetRate(state);
}

}  // namespace

BENCHMARK_CAPTURE(BM_TextureGetImage, DXT1, vt::DXT1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TextureGetImage, DXT5, vt::DXT5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TextureGetImage, BGRA8888, vt::BGRA8888)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TextureMipToBitmap, DXT1, vt::DXT1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TextureMipToBitmap, DXT5, vt::DXT5)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TextureMipToBitmap, BGRA8888, vt::BGRA8888)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
