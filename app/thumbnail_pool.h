// Thumbnails made by worker threads, so that the window answers while a folder of large images
// is read. The window names what it wants in two queues: the cells in view, made first and
// replaced at every paint (a scroll drops what is no longer seen), and the rest of the list
// when every thumbnail is wanted. A new list drops everything asked for the old one, also the
// thumbnails still being made. Results wait in the pool until the window's thread takes them;
// the pool only tells it, through the wake-up it was given, that some are there.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bitmap.h"
#include "browser_list.h"

struct TThumbnailJob {
    // Names the entry the thumbnail is for. Workers never touch it: the list may release the
    // entry while its thumbnail is made, and only results of the current list are handed out.
    const TFileEntry* Entry = nullptr;
    std::string FullPath;
};

struct TThumbnailResult {
    const TFileEntry* Entry = nullptr;
    std::unique_ptr<TBitmap> Thumbnail;  // null when it could not be made
    std::string Error;                   // why not
};

// Makes the thumbnail of one file on a worker thread, or raises why it cannot.
using TThumbnailMaker = std::function<std::unique_ptr<TBitmap>(const std::string& fullPath)>;

class TThumbnailPool {
public:
    // workers < 1 gives one per core. wake is called on a worker thread when results are
    // waiting and none were before; it must only hand over to the thread that takes them.
    TThumbnailPool(int32_t workers, TThumbnailMaker maker, std::function<void()> wake);
    // Drops what is queued and waits for the thumbnails being made.
    ~TThumbnailPool();
    TThumbnailPool(const TThumbnailPool&) = delete;
    TThumbnailPool& operator=(const TThumbnailPool&) = delete;

    int32_t Workers() const { return static_cast<int32_t>(FThreads.size()); }

    // A new list: queued work, waiting results and thumbnails in the making are dropped.
    void Restart();
    // The cells in view, in the order to make them; replaces the cells asked before.
    void SetVisible(std::vector<TThumbnailJob> jobs);
    // Everything else wanted, made after the cells in view; replaces what was asked before.
    void SetBackground(std::vector<TThumbnailJob> jobs);

    // The results made since the last call. An entry gets one result per list: a failed
    // thumbnail is not tried again until Restart.
    std::vector<TThumbnailResult> TakeResults();
    // Blocks until results wait or nothing is left to make, then takes them (empty: all done).
    std::vector<TThumbnailResult> WaitForResults();
    // Nothing queued, in the making or waiting to be taken.
    bool Idle() const;

private:
    void Replace(std::deque<TThumbnailJob>& queue, std::vector<TThumbnailJob> jobs);
    void Work();
    bool HasJob() const;
    bool IdleLocked() const { return !HasJob() && FRunning == 0 && FResults.empty(); }

    TThumbnailMaker FMaker;
    std::function<void()> FWake;

    mutable std::mutex FMutex;
    std::condition_variable FJobReady;
    std::condition_variable FResultReady;  // also told when the pool runs out of work
    std::deque<TThumbnailJob> FVisible;
    std::deque<TThumbnailJob> FBackground;
    std::unordered_set<const TFileEntry*> FTaken;  // entries of this list handed to a worker
    std::vector<TThumbnailResult> FResults;
    uint64_t FGeneration = 0;
    int32_t FRunning = 0;
    bool FStopping = false;

    std::vector<std::thread> FThreads;
};
