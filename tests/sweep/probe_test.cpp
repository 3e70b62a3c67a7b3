// pictolan-probe decode on damaged files: whatever the file, the probe ends with status 0 or
// 1, never by a signal, and within a few seconds per megabyte of input. The limit is a guard
// against hangs and runaway work, far above what a decode takes (the benchmarks measure that);
// the sanitizer build gets ten times as long.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "format_registry.h"
#include "sweep_support.h"
#include "test_support.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

struct TRun {
    bool Finished = false;  // within the limit
    int Status = 0;
};

// Runs the probe's decode with output thrown away, killing it at the deadline.
TRun RunDecode(const fs::path& in, const fs::path& out, std::chrono::duration<double> limit) {
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl(PICTOLAN_PROBE, PICTOLAN_PROBE, "decode", in.c_str(), out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    TRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        if (waitpid(pid, &run.Status, WNOHANG) == pid) {
            run.Finished = true;
            return run;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &run.Status, 0);
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A few files of every format: the largest, and a spread of the rest by name.
std::vector<fs::path> Sample(const std::vector<fs::path>& files, size_t count) {
    std::vector<fs::path> sample;
    if (files.empty()) return sample;
    sample.push_back(*std::max_element(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return fs::file_size(a) < fs::file_size(b);
    }));
    for (size_t i = 0; i + 1 < count && i < files.size(); ++i) sample.push_back(files[i * files.size() / count]);
    return sample;
}

TEST(ProbeDecode, DamagedFilesEndWithStatusZeroOrOneInTime) {
    REQUIRE_CORPUS();
    InitializeFileFormats();
    ScratchDir scratch;
    const double factor = sweep::SanitizerBuild ? 10.0 : 1.0;
    int runs = 0;
    double worstShare = 0;  // of the limit
    for (const std::string& format : sweep::CorpusFormats()) {
        for (const fs::path& file : Sample(sweep::ReadableFiles(format), 4)) {
            std::vector<sweep::DamagedCopy> copies = sweep::DamagedCopies(ReadFile(file), sweep::SeedOf(file), true);
            copies.push_back({"as it is", ReadFile(file)});
            for (const auto& copy : copies) {
                const fs::path in = scratch / file.filename().string();
                WriteFile(in, copy.Bytes);
                const double megabytes = static_cast<double>(copy.Bytes.size()) / (1 << 20);
                // Hangs are what this catches, not speed: three seconds per megabyte and three
                // for starting the process, so a machine busy with other work does not fail it.
                const std::chrono::duration<double> limit((3.0 + 3.0 * megabytes) * factor);
                const auto t0 = std::chrono::steady_clock::now();
                const TRun run = RunDecode(in, scratch / "out.bmp", limit);
                const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
                worstShare = std::max(worstShare, took / limit);
                ++runs;
                const std::string what = file.filename().string() + ", " + copy.What;
                ASSERT_TRUE(run.Finished) << what << ": still running after " << limit.count() << " s";
                ASSERT_FALSE(WIFSIGNALED(run.Status)) << what << ": ended by signal " << WTERMSIG(run.Status);
                ASSERT_TRUE(WIFEXITED(run.Status) &&
                            (WEXITSTATUS(run.Status) == 0 || WEXITSTATUS(run.Status) == 1))
                    << what << ": exit status " << WEXITSTATUS(run.Status);
            }
        }
    }
    std::printf("%d probe runs; the slowest took %.0f%% of its limit\n", runs, worstShare * 100);
    FinalizeFileFormats();
}

}  // namespace
