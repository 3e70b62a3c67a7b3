// Every input kept in this folder goes again through the fuzz harness that found it:
// <target>/<input> is replayed through <target>. Each once crashed, hung, leaked or drew a
// sanitizer report; the sanitizer build shows that it no longer does, the plain build that it
// still ends cleanly.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "test_support.h"

namespace fs = std::filesystem;

#define REPLAY_TARGET(name)                                                    \
    extern "C" int Replay_##name(const uint8_t* data, size_t size);            \
    extern "C" int Initialize_##name(int*, char***) __attribute__((weak));
#include "replay_targets.h"
#undef REPLAY_TARGET

namespace {

struct THarness {
    int (*Replay)(const uint8_t*, size_t);
    int (*Initialize)(int*, char***);
};

const std::map<std::string, THarness>& Harnesses() {
    static const std::map<std::string, THarness> harnesses = {
#define REPLAY_TARGET(name) {#name, {Replay_##name, Initialize_##name}},
#include "replay_targets.h"
#undef REPLAY_TARGET
    };
    return harnesses;
}

TEST(FuzzRegressions, EveryKeptInputEndsCleanly) {
    int replayed = 0;
    for (const auto& dir : fs::directory_iterator(PICTOLAN_REGRESSIONS_DIR)) {
        if (!dir.is_directory()) continue;
        const std::string target = dir.path().filename().string();
        const auto harness = Harnesses().find(target);
        ASSERT_NE(harness, Harnesses().end()) << "no fuzz target named " << target;
        if (harness->second.Initialize) harness->second.Initialize(nullptr, nullptr);
        for (const auto& input : fs::directory_iterator(dir.path())) {
            SCOPED_TRACE(target + "/" + input.path().filename().string());
            const std::vector<uint8_t> bytes = testsupport::ReadFile(input.path());
            // The harness raises nothing of its own; a fault shows as a crash or a report.
            harness->second.Replay(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
}

}  // namespace
