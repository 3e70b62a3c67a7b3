// The thumbnail pool: order of work, dropping of stale work, failures, and thumbnails made by
// several workers at once equal to those the window's thread would make. These tests also run
// under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "format_registry.h"
#include "test_support.h"
#include "thumbnail.h"
#include "thumbnail_pool.h"
#include "vtf_builder.h"

namespace fs = std::filesystem;
using testsupport::ScratchDir;

namespace {

// Holds workers back until the test lets them go, and counts those waiting.
class Gate {
public:
    void Pass() {
        std::unique_lock lock(FMutex);
        ++FWaiting;
        FChanged.notify_all();
        FChanged.wait(lock, [this] { return FOpen; });
    }
    void WaitForWaiting(int count) {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [&] { return FWaiting >= count; });
    }
    void Open() {
        std::lock_guard lock(FMutex);
        FOpen = true;
        FChanged.notify_all();
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FWaiting = 0;
    bool FOpen = false;
};

// Entries named by number; a maker that records the order and holds back the paths starting
// with "hold" at the gate. Paths starting with "bad" fail.
struct Recorder {
    std::mutex Mutex;
    std::vector<std::string> Made;
    Gate Held;

    TThumbnailMaker Maker() {
        return [this](const std::string& path) {
            if (path.starts_with("hold")) Held.Pass();
            std::lock_guard lock(Mutex);
            Made.push_back(path);
            if (path.starts_with("bad")) throw std::runtime_error("cannot read " + path);
            auto b = std::make_unique<TBitmap>();
            b->SetPixelFormat(pf24bit);
            b->SetSize(1, 1);
            return b;
        };
    }
};

std::vector<TThumbnailJob> Jobs(std::vector<TFileEntry>& entries, std::initializer_list<int> indexes) {
    std::vector<TThumbnailJob> jobs;
    for (int i : indexes) jobs.push_back({&entries[static_cast<size_t>(i)], entries[static_cast<size_t>(i)].FullPath});
    return jobs;
}

std::map<const TFileEntry*, TThumbnailResult> TakeAll(TThumbnailPool& pool) {
    std::map<const TFileEntry*, TThumbnailResult> all;
    for (auto results = pool.WaitForResults(); !results.empty(); results = pool.WaitForResults())
        for (TThumbnailResult& r : results) {
            EXPECT_FALSE(all.contains(r.Entry)) << "two results for " << r.Entry;
            all[r.Entry] = std::move(r);
        }
    return all;
}

TFileEntry Entry(const std::string& name, const std::string& fullPath) {
    TFileEntry entry;
    entry.Name = name;
    entry.FullPath = fullPath;
    return entry;
}

std::vector<TFileEntry> Entries(std::initializer_list<const char*> paths) {
    std::vector<TFileEntry> entries;
    for (const char* p : paths) entries.push_back(Entry(p, p));
    return entries;
}

TEST(ThumbnailPool, CellsInViewComeFirstAndAScrollDropsThoseGoneFromView) {
    Recorder rec;
    std::vector<TFileEntry> e = Entries({"hold", "b1", "b2", "v1", "v2", "v3"});
    TThumbnailPool pool(1, rec.Maker(), nullptr);
    pool.SetBackground(Jobs(e, {0, 1, 2, 3}));
    rec.Held.WaitForWaiting(1);  // the one worker is busy with "hold"
    pool.SetVisible(Jobs(e, {4, 3}));
    pool.SetVisible(Jobs(e, {5, 3}));  // scrolled: v2 is no longer in view
    rec.Held.Open();
    EXPECT_EQ(TakeAll(pool).size(), 5u);
    // v1, in view and in the background, is made once; v2 never.
    EXPECT_EQ(rec.Made, (std::vector<std::string>{"hold", "v3", "v1", "b1", "b2"}));
    EXPECT_TRUE(pool.Idle());
}

TEST(ThumbnailPool, RestartDropsQueuedWorkAndThumbnailsInTheMaking) {
    Recorder rec;
    std::vector<TFileEntry> e = Entries({"hold1", "hold2", "old1", "old2", "new1", "new2"});
    int wakes = 0;
    std::mutex wakeMutex;
    TThumbnailPool pool(2, rec.Maker(), [&] {
        std::lock_guard lock(wakeMutex);
        ++wakes;
    });
    EXPECT_EQ(pool.Workers(), 2);
    pool.SetBackground(Jobs(e, {0, 1, 2, 3}));
    rec.Held.WaitForWaiting(2);
    pool.Restart();  // a rescan while both workers are busy
    pool.SetBackground(Jobs(e, {4, 5, 0}));
    rec.Held.Open();
    auto results = TakeAll(pool);
    std::set<std::string> names;
    for (const auto& [entry, r] : results) names.insert(entry->Name);
    // The held entries are asked for again by the new list and made again for it.
    EXPECT_EQ(names, (std::set<std::string>{"new1", "new2", "hold1"}));
    EXPECT_EQ(std::count(rec.Made.begin(), rec.Made.end(), "old1"), 0);
    std::lock_guard lock(wakeMutex);
    EXPECT_GE(wakes, 1);
}

TEST(ThumbnailPool, AFailureIsReportedOnceWithItsMessage) {
    Recorder rec;
    std::vector<TFileEntry> e = Entries({"bad1", "ok"});
    TThumbnailPool pool(2, rec.Maker(), nullptr);
    pool.SetVisible(Jobs(e, {0, 1}));
    auto results = TakeAll(pool);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results[&e[0]].Thumbnail);
    EXPECT_EQ(results[&e[0]].Error, "cannot read bad1");
    EXPECT_TRUE(results[&e[1]].Thumbnail);
    // Asked again by the next paint: not tried again for this list.
    pool.SetVisible(Jobs(e, {0}));
    EXPECT_TRUE(TakeAll(pool).empty());
    EXPECT_EQ(rec.Made.size(), 2u);
}

bool SameBitmap(const TBitmap& a, const TBitmap& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.PixelFormat() != b.PixelFormat() ||
        !(a.Palette() == b.Palette()))
        return false;
    for (int32_t y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.ScanLine(y), b.ScanLine(y), a.RowStride()) != 0) return false;
    return true;
}

// Every entry's thumbnail made by the pool with several workers against MakeThumbnail on this
// thread: the same bitmap, or a failure with the same message.
void ExpectThreadedEqualsSynchronous(const std::vector<std::unique_ptr<TBrowserList>>& lists, int32_t workers) {
    TThumbnailPool pool(workers, [](const std::string& path) { return CreateThumbnail(path); }, nullptr);
    std::vector<TThumbnailJob> jobs;
    for (const auto& list : lists)
        for (int32_t i = 0; i < list->Count(); ++i) jobs.push_back({&list->Entry(i), list->Entry(i).FullPath});
    const size_t count = jobs.size();
    pool.SetBackground(std::move(jobs));
    auto results = TakeAll(pool);
    ASSERT_EQ(results.size(), count);
    for (const auto& list : lists)
        for (int32_t i = 0; i < list->Count(); ++i) {
            TFileEntry& entry = list->Entry(i);
            std::string error;
            TThumbnailContext context;
            context.OnFailure = [&](const std::string& m) { error = m; };
            MakeThumbnail(entry, context);
            const TThumbnailResult& r = results[&entry];
            ASSERT_EQ(entry.Loaded, r.Thumbnail != nullptr) << entry.FullPath << ": " << error << r.Error;
            if (entry.Loaded)
                EXPECT_TRUE(SameBitmap(*entry.Thumbnail, *r.Thumbnail)) << entry.FullPath;
            else
                EXPECT_EQ(error, r.Error) << entry.FullPath;
        }
}

// The folder as a scan lists it, without the reference decodes beside corpus samples (PNG
// files the samples already cover).
std::unique_ptr<TBrowserList> Scan(const fs::path& folder) {
    std::vector<std::string> registered;
    FileFormats->ListExtensions(registered);
    TBrowserList scanned;
    scanned.ScanFolder(folder.string(), BuildAcceptedExtensions(registered), TScanHooks{});
    auto list = std::make_unique<TBrowserList>();
    for (int32_t i = 0; i < scanned.Count(); ++i)
        if (scanned.Entry(i).Name.find(".ref") == std::string::npos)
            list->Add(std::make_unique<TFileEntry>(Entry(scanned.Entry(i).Name, scanned.Entry(i).FullPath)));
    return list;
}

TEST(ThumbnailPool, ThreadedThumbnailsEqualTheSynchronousOnesOverTheCorpus) {
    REQUIRE_CORPUS();
    InitializeFileFormats();
    std::vector<std::unique_ptr<TBrowserList>> lists;
    for (const char* group : {"public", "synthetic"})
        for (const auto& folder : fs::directory_iterator(testsupport::CorpusDir() / group))
            if (folder.is_directory()) lists.push_back(Scan(folder.path()));
    ExpectThreadedEqualsSynchronous(lists, 4);
}

TEST(ThumbnailPool, TexturesThumbnailedBySeveralWorkers) {
    // The texture library has one current texture: workers must take it in turn.
    InitializeFileFormats();
    ScratchDir dir;
    for (uint32_t i = 0; i < 12; ++i) {
        vtftest::Recipe r;
        r.Width = 64u << (i % 4);
        r.Height = 32u << (i % 3);
        r.Mips = 1 + i % 5;
        r.Format = i % 2 ? vtftest::BGR888 : vtftest::DXT1;
        testsupport::WriteFile(dir / ("t" + std::to_string(i) + ".vtf"), vtftest::Build(r, vtftest::PatternFill));
    }
    testsupport::WriteFile(dir / "broken.vtf", {'V', 'T', 'F', 0});
    std::vector<std::unique_ptr<TBrowserList>> lists;
    lists.push_back(Scan(dir.Path()));
    ASSERT_EQ(lists[0]->Count(), 13);
    ExpectThreadedEqualsSynchronous(lists, 4);
}

}  // namespace
