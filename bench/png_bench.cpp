// PNG decoding speed: our reader against libpng on the same files in the same run.
//
// Both sides decode from memory into a freshly allocated image of equivalent layout: libpng
// is asked for blue-green-red order, 16-bit samples stripped to 8, grey alpha dropped and the
// file's gamma applied for a display of 2.2, as our reader does. Each file gets a pair of
// benchmarks, png/ours/<file> and png/libpng/<file>; the goal is a ratio ours / libpng of at
// most 1.0 on the large files. The test suite's files are also timed as one batch per side.
//
// Files come from ../shared/corpus (synthetic/large and public/png); without the corpus the
// benchmark registers nothing and says so.
#include <benchmark/benchmark.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/png_graphic.h"
#include "streams.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

fs::path CorpusDir() {
    fs::path p = fs::path(PICTOLAN_SOURCE_DIR) / ".." / "shared" / "corpus";
    std::error_code ec;
    return fs::is_directory(p, ec) ? p : fs::path();
}

Bytes ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Our side: the reader on a memory stream, as it reads a mapped file.
size_t DecodeOurs(const Bytes& file) {
    TReadOnlyMemoryStream stream(file.data(), file.size());
    TPNGGraphic graphic;
    graphic.LoadFromStream(stream);
    return graphic.RowStride() * static_cast<size_t>(graphic.Height());
}

struct TMemoryReader {
    const Bytes* File;
    size_t Position;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t count) {
    auto* reader = static_cast<TMemoryReader*>(png_get_io_ptr(png));
    if (count > reader->File->size() - reader->Position) png_error(png, "read past the end");
    std::memcpy(out, reader->File->data() + reader->Position, count);
    reader->Position += count;
}

// libpng's side, low-level API, transformations matching what our bitmap holds.
size_t DecodeLibpng(const Bytes& file) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    TMemoryReader reader{&file, 0};
    std::unique_ptr<uint8_t[]> image;
    std::unique_ptr<png_bytep[]> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw std::runtime_error("libpng failed");
    }
    png_set_read_fn(png, &reader, ReadFromMemory);
    png_read_info(png, info);
    const int colorType = png_get_color_type(png, info);
    png_set_strip_16(png);
    if (colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_strip_alpha(png);
    if (colorType & PNG_COLOR_MASK_COLOR) png_set_bgr(png);
    double fileGamma = 0;
    if (png_get_gAMA(png, info, &fileGamma)) png_set_gamma(png, 2.2, fileGamma);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
    const size_t stride = (png_get_rowbytes(png, info) + 3) & ~size_t{3};
    (void)width;
    image.reset(new uint8_t[stride * height]());
    rows.reset(new png_bytep[height]);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = image.get() + stride * y;
    png_read_image(png, rows.get());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return stride * height;
}

template <size_t (*Decode)(const Bytes&)>
void DecodeOne(benchmark::State& state, const Bytes* file) {
    for (auto _ : state) benchmark::DoNotOptimize(Decode(*file));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file->size()));
}

template <size_t (*Decode)(const Bytes&)>
void DecodeBatch(benchmark::State& state, const std::vector<Bytes>* files) {
    for (auto _ : state)
        for (const Bytes& f : *files) benchmark::DoNotOptimize(Decode(f));
}

// Kept for the whole run; the benchmarks hold pointers into them.
std::vector<std::unique_ptr<Bytes>> LargeFiles;
std::vector<Bytes> SuiteFiles;

bool Register() {
    const fs::path corpus = CorpusDir();
    if (corpus.empty()) {
        std::fprintf(stderr, "test corpus not found at ../shared/corpus; no PNG benchmarks\n");
        return false;
    }
    std::vector<fs::path> large;
    for (const auto& e : fs::directory_iterator(corpus / "synthetic" / "large")) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() == ".png" && name.find(".ref.") == std::string::npos) large.push_back(e.path());
    }
    std::sort(large.begin(), large.end());
    for (const fs::path& p : large) {
        LargeFiles.push_back(std::make_unique<Bytes>(ReadBytes(p)));
        const std::string name = p.filename().string();
        benchmark::RegisterBenchmark(("png/ours/" + name).c_str(), DecodeOne<DecodeOurs>, LargeFiles.back().get())
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("png/libpng/" + name).c_str(), DecodeOne<DecodeLibpng>, LargeFiles.back().get())
            ->Unit(benchmark::kMillisecond);
    }
    // The suite's valid files (the x* files are deliberately corrupt).
    std::vector<fs::path> suite;
    for (const auto& e : fs::directory_iterator(corpus / "public" / "png")) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() == ".png" && name.find(".ref.") == std::string::npos && name[0] != 'x')
            suite.push_back(e.path());
    }
    std::sort(suite.begin(), suite.end());
    for (const fs::path& p : suite) SuiteFiles.push_back(ReadBytes(p));
    benchmark::RegisterBenchmark("png/ours/suite", DecodeBatch<DecodeOurs>, &SuiteFiles)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("png/libpng/suite", DecodeBatch<DecodeLibpng>, &SuiteFiles)
        ->Unit(benchmark::kMicrosecond);
    return true;
}

const bool Registered = Register();

}  // namespace

BENCHMARK_MAIN();
