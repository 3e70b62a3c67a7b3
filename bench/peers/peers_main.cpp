// The peer benchmark's runner: registers both sides of every comparison, runs them with
// repetitions and prints the ratio table from the medians.
#include <benchmark/benchmark.h>

#include <cstdio>
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

// Keeps the median real time of every benchmark while the console shows the usual output.
class MedianCollector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> Milliseconds;
    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                // The adjusted time is in the run's unit; the multiplier turns seconds into it.
                Milliseconds[run.run_name.function_name] = run.GetAdjustedRealTime() /
                                                           benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e3;
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

}  // namespace peers

int main(int argc, char** argv) {
    using namespace peers;
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

    std::printf("\n%-48s %-12s %10s %10s %7s\n", "file", "peer", "ours ms", "peer ms", "ratio");
    for (const Comparison& c : Comparisons()) {
        auto ours = collector.Milliseconds.find(c.Name + "/ours");
        for (const Peer& p : c.Others) {
            auto theirs = collector.Milliseconds.find(c.Name + "/" + p.Name);
            if (ours == collector.Milliseconds.end() || theirs == collector.Milliseconds.end()) continue;
            std::printf("%-48s %-12s %10.2f %10.2f %7.2f\n", c.Name.c_str(), p.Name.c_str(), ours->second,
                        theirs->second, theirs->second > 0 ? ours->second / theirs->second : 0.0);
        }
    }
    return 0;
}
