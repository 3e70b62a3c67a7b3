// The peer benchmark's runner: registers both sides of every comparison, runs them with
// repetitions and prints the ratio table from the medians.
#include <benchmark/benchmark.h>
#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <fstream>
#include <iterator>
#include <map>

#include "peers.h"

namespace peers {
namespace {

struct Comparison {
    std::string Name;  // format/label
    std::shared_ptr<const Bytes> File;
    Decoder Ours;
    std::vector<Peer> Others;
};

std::vector<std::function<void()>>& Registrations() {
    static std::vector<std::function<void()>> list;
    return list;
}

std::vector<Comparison>& Comparisons() {
    static std::vector<Comparison> list;
    return list;
}

// Keeps the median real and processor times of every benchmark while the console shows the
// usual output. On a machine shared with other work the processor times compare more fairly.
class MedianCollector : public benchmark::ConsoleReporter {
public:
    struct Times {
        double Real = 0, Cpu = 0;  // milliseconds
    };
    std::map<std::string, Times> Medians;
    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                // The adjusted times are in the run's unit; the multiplier is that unit per second.
                const double toMs = 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
                Medians[run.run_name.function_name] = {run.GetAdjustedRealTime() * toMs, run.GetAdjustedCPUTime() * toMs};
            }
    }
};

void Time(benchmark::State& state, const Bytes* file, const Decoder* decode) {
    for (auto _ : state) benchmark::DoNotOptimize((*decode)(*file));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(file->size()));
}

}  // namespace

void Compare(const std::string& format, const std::string& label, std::shared_ptr<const Bytes> file, Decoder ours,
             std::vector<Peer> others) {
    Comparisons().push_back({format + "/" + label, std::move(file), std::move(ours), std::move(others)});
}

std::filesystem::path CorpusDir() {
    std::filesystem::path p = std::filesystem::path(PICTOLAN_SOURCE_DIR) / ".." / "shared" / "corpus";
    std::error_code ec;
    return std::filesystem::is_directory(p, ec) ? p : std::filesystem::path();
}

Bytes ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Registration::Registration(const std::function<void()>& add) { Registrations().push_back(add); }

Picture PhotoLike(int width, int height, uint32_t seed) {
    Picture p{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * static_cast<size_t>(height) * 3)};
    uint32_t state = seed * 2654435761u + 12345u;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    // Shading that varies slowly and differently per channel, as separable tables.
    const double phase = (seed % 97) * 0.1;
    std::vector<double> across[3], down[3];
    for (int c = 0; c < 3; ++c) {
        across[c].resize(static_cast<size_t>(width));
        down[c].resize(static_cast<size_t>(height));
        for (int x = 0; x < width; ++x) across[c][static_cast<size_t>(x)] = std::sin(x / (180.0 + 40 * c) + phase + c);
        for (int y = 0; y < height; ++y) down[c][static_cast<size_t>(y)] = std::cos(y / (240.0 - 30 * c) + phase);
    }
    // Objects with hard edges, each shaded a little.
    struct Disc {
        int X, Y, R;
        uint8_t Color[3];
    };
    std::vector<Disc> discs;
    for (int i = 0; i < 12; ++i)
        discs.push_back({static_cast<int>(next() % static_cast<uint32_t>(width)),
                         static_cast<int>(next() % static_cast<uint32_t>(height)),
                         static_cast<int>(20 + next() % static_cast<uint32_t>(std::max(1, width / 6))),
                         {static_cast<uint8_t>(next()), static_cast<uint8_t>(next()), static_cast<uint8_t>(next())}});
    uint8_t* out = p.Rgb.data();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x, out += 3) {
            const Disc* hit = nullptr;
            for (const Disc& d : discs)
                if ((x - d.X) * (x - d.X) + (y - d.Y) * (y - d.Y) < d.R * d.R) hit = &d;
            const int noise = static_cast<int>(next() % 9) - 4;  // sensor noise
            for (int c = 0; c < 3; ++c) {
                const double shade = across[c][static_cast<size_t>(x)] * down[c][static_cast<size_t>(y)];
                const double v = hit ? hit->Color[c] * (0.85 + 0.15 * shade) : 128 + 70 * shade;
                out[c] = static_cast<uint8_t>(std::clamp(static_cast<int>(v) + noise, 0, 255));
            }
        }
    return p;
}

TBitmap ToBitmap(const Picture& picture) {
    TBitmap b;
    b.SetPixelFormat(pf24bit);
    b.SetSize(picture.Width, picture.Height);
    for (int y = 0; y < picture.Height; ++y) {
        const uint8_t* in = picture.Rgb.data() + static_cast<size_t>(y) * static_cast<size_t>(picture.Width) * 3;
        uint8_t* out = b.ScanLine(y);
        for (int x = 0; x < picture.Width; ++x, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    return b;
}

size_t DecodeStbImage(const Bytes& file) {
    int w = 0, h = 0, channels = 0;
    stbi_uc* pixels = stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &channels, 0);
    if (!pixels) throw std::runtime_error("stb_image failed");
    stbi_image_free(pixels);
    return static_cast<size_t>(w) * static_cast<size_t>(h) * static_cast<size_t>(channels);
}

void FreeDeleter::operator()(void* p) const { std::free(p); }

Buffer ZeroedBuffer(size_t bytes) {
    Buffer b(static_cast<uint8_t*>(std::calloc(bytes, 1)));
    if (!b) throw std::bad_alloc();
    return b;
}

}  // namespace peers

namespace {

// --photos DIR COUNT: writes COUNT different photo-like 2048 x 2048 files into DIR, in turn
// JPEG (quality 90), PNG, Windows bitmap and Targa (plain and run-length in turn), for timing
// the browser's thumbnails against other programs on the same folder.
int WritePhotos(const std::filesystem::path& dir, int count) {
    std::filesystem::create_directories(dir);
    for (int i = 0; i < count; ++i) {
        const peers::Picture picture = peers::PhotoLike(2048, 2048, static_cast<uint32_t>(i + 1));
        char name[32];
        peers::Bytes bytes;
        switch (i % 4) {
            case 0: bytes = peers::WriteJpeg(picture, 90); std::snprintf(name, sizeof name, "photo%03d.jpg", i); break;
            case 1: bytes = peers::WritePng(picture); std::snprintf(name, sizeof name, "photo%03d.png", i); break;
            case 2: bytes = peers::WriteBmp(picture); std::snprintf(name, sizeof name, "photo%03d.bmp", i); break;
            default: bytes = peers::WriteTga(picture, i % 8 == 7); std::snprintf(name, sizeof name, "photo%03d.tga", i); break;
        }
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                           static_cast<std::streamsize>(bytes.size()));
    }
    std::printf("%d files written to %s\n", count, dir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace peers;
    if (argc == 4 && std::string(argv[1]) == "--photos") return WritePhotos(argv[2], std::atoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    for (const auto& add : Registrations()) add();
    for (const Comparison& c : Comparisons()) {
        auto add = [&](const std::string& side, const Decoder& decode) {
            benchmark::RegisterBenchmark((c.Name + "/" + side).c_str(), Time, c.File.get(), &decode)
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(15)
                ->ReportAggregatesOnly(true);
        };
        add("ours", c.Ours);
        for (const Peer& p : c.Others) add(p.Name, p.Decode);
    }
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("\n%-40s %-14s %9s %9s %7s %9s %9s %7s\n", "file", "peer", "ours ms", "peer ms", "ratio", "ours cpu",
                "peer cpu", "ratio");
    for (const Comparison& c : Comparisons()) {
        auto ours = collector.Medians.find(c.Name + "/ours");
        for (const Peer& p : c.Others) {
            auto theirs = collector.Medians.find(c.Name + "/" + p.Name);
            if (ours == collector.Medians.end() || theirs == collector.Medians.end()) continue;
            const auto& o = ours->second;
            const auto& t = theirs->second;
            std::printf("%-40s %-14s %9.2f %9.2f %7.2f %9.2f %9.2f %7.2f\n", c.Name.c_str(), p.Name.c_str(), o.Real,
                        t.Real, ratio(o.Real, t.Real), o.Cpu, t.Cpu, ratio(o.Cpu, t.Cpu));
        }
    }
    return 0;
}
