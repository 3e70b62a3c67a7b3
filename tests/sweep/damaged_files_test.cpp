// The damaged-file sweep: every corpus file the program opens, cut short and with bytes
// changed, goes through the picture container as the viewer loads it and through thumbnail
// creation. Each copy must end in success or in one of the program's own messages: anything
// else (another exception, a crash, a sanitizer report) is a fault of the reader.
//
// The sanitizer build runs the same set: with the readers of today the whole sweep takes about
// half a minute there (a few seconds per format), so there is nothing to trim. Should it grow
// past a few minutes, the light set of DamagedCopies is the place to start.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bitmap.h"
#include "browser_list.h"
#include "exceptions.h"
#include "format_registry.h"
#include "picture.h"
#include "strutils.h"
#include "sweep_support.h"
#include "system_messages.h"
#include "test_support.h"
#include "thumbnail.h"
#include "vtf_helper.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

class DamagedFiles : public ::testing::TestWithParam<std::string> {
protected:
    static void SetUpTestSuite() { InitializeFileFormats(); }
    static void TearDownTestSuite() { FinalizeFileFormats(); }
};

// Loads the file as the viewer does; the empty string on success, else the error's message
// (marked when the error is not one of the program's exceptions). `empty` tells whether a
// picture that loaded has no pixels.
std::string ViewerOutcome(const fs::path& path, bool& empty) {
    empty = false;
    try {
        if (IsTexturePath(path.string())) {
            LoadTextureLevel(path.string(), 0);
            return "";
        }
        TPicture picture;
        picture.LoadFromFile(path.string());
        if (picture.Width() < 0 || picture.Height() < 0) return "negative size";
        TBitmap shown;
        shown.Assign(*picture.Graphic());
        empty = shown.Empty();
        return "";
    } catch (const Exception& e) {
        return e.Message().empty() ? "(empty message)" : e.Message();
    } catch (const std::exception& e) {
        return std::string("foreign exception: ") + e.what();
    }
}

// Makes the thumbnail as the browser does; the empty string when one was made. A picture that
// loads without pixels (a header naming nothing to show) gives an empty thumbnail.
std::string ThumbnailOutcome(const fs::path& path, bool emptyPicture, std::string& problem) {
    TFileEntry entry;
    entry.Name = path.filename().string();
    entry.FullPath = path.string();
    std::string message = "(no message)";
    TThumbnailContext context;
    context.OnFailure = [&](const std::string& m) { message = m; };
    MakeThumbnail(entry, context);
    if (!entry.Loaded) {
        if (entry.Thumbnail) problem = "failed, yet left a thumbnail";
        return message;
    }
    const bool emptyAsItsPicture = emptyPicture && entry.Thumbnail && entry.Thumbnail->Empty();
    if (!entry.Thumbnail ||
        (!emptyAsItsPicture && (entry.Thumbnail->Width() < 1 || entry.Thumbnail->Height() < 1)) ||
        entry.Thumbnail->Width() > 100 || entry.Thumbnail->Height() > 100)
        problem = "thumbnail outside the 100 x 100 box";
    return "";
}

TEST_P(DamagedFiles, EndInSuccessOrTheProgramsMessage) {
    REQUIRE_CORPUS();
    const std::vector<fs::path> files = sweep::ReadableFiles(GetParam());
    if (files.empty()) GTEST_SKIP() << "no reader for the files of " << GetParam() << " yet";

    ScratchDir scratch;
    std::vector<std::string> faults;
    size_t copies = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const fs::path& file : files) {
        const std::vector<uint8_t> original = ReadFile(file);
        // The copy keeps the file's name, so that its extension picks the same reader.
        const fs::path damaged = scratch / file.filename().string();
        for (const auto& copy : sweep::DamagedCopies(original, sweep::SeedOf(file), false)) {
            ++copies;
            WriteFile(damaged, copy.Bytes);
            const std::string where = file.parent_path().parent_path().filename().string() + "/" +
                                      file.parent_path().filename().string() + "/" +
                                      file.filename().string() + ", " + copy.What + ": ";
            bool empty = false;
            const std::string viewer = ViewerOutcome(damaged, empty);
            if (!viewer.empty() && !sweep::IsSystemMessage(viewer)) faults.push_back(where + "viewer: " + viewer);
            std::string problem;
            const std::string thumbnail = ThumbnailOutcome(damaged, viewer.empty() && empty, problem);
            if (!thumbnail.empty() && !sweep::IsSystemMessage(thumbnail))
                faults.push_back(where + "thumbnail: " + thumbnail);
            if (!problem.empty()) faults.push_back(where + problem);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("copies", static_cast<int>(copies));
    std::printf("%zu files, %zu damaged copies in %.1f s\n", files.size(), copies, seconds);
    for (size_t i = 0; i < faults.size() && i < 25; ++i) ADD_FAILURE() << faults[i];
    EXPECT_TRUE(faults.empty()) << faults.size() << " damaged copies ended in a foreign error";
}

INSTANTIATE_TEST_SUITE_P(Corpus, DamagedFiles, ::testing::ValuesIn(sweep::CorpusFormats()),
                         [](const auto& info) { return info.param; });

// Every folder of the corpus is swept, so a format added to it is not silently left out.
TEST(DamagedFilesCoverage, EveryCorpusFolderIsSwept) {
    REQUIRE_CORPUS();
    for (const char* side : {"public", "synthetic"})
        for (const auto& entry : fs::directory_iterator(CorpusDir() / side))
            if (entry.is_directory()) {
                const std::string name = entry.path().filename().string();
                EXPECT_NE(std::find(sweep::CorpusFormats().begin(), sweep::CorpusFormats().end(), name),
                          sweep::CorpusFormats().end())
                    << side << "/" << name;
            }
}

// The message check itself: formatted texts match, foreign ones do not.
TEST(SystemMessages, FormattedTextsMatchAndForeignOnesDoNot) {
    EXPECT_TRUE(sweep::IsSystemMessage("Stream read error"));
    EXPECT_TRUE(sweep::IsSystemMessage("Image is too large (70000 x 70000 pixels)."));
    EXPECT_TRUE(sweep::IsSystemMessage("Cannot load image. Invalid or unexpected TGA image format."));
    EXPECT_TRUE(sweep::IsSystemMessage("Cannot load image. The compression scheme is not supported for TGA files."));
    EXPECT_TRUE(sweep::IsSystemMessage("Unknown picture file extension (.xyz)"));
    EXPECT_TRUE(sweep::IsSystemMessage("Not a JPEG file: starts with 0x12 0x34"));  // the library's own
    EXPECT_FALSE(sweep::IsSystemMessage("std::bad_alloc"));
    EXPECT_FALSE(sweep::IsSystemMessage("vector::_M_range_check: __n (which is 5) >= this->size() (which is 5)"));
    EXPECT_FALSE(sweep::IsSystemMessage("Stream read error."));
    EXPECT_FALSE(sweep::IsSystemMessage(""));
}

}  // namespace
