#include "thumbnail_pool.h"

#include <algorithm>
#include <exception>
#include <utility>

TThumbnailPool::TThumbnailPool(int32_t workers, TThumbnailMaker maker, std::function<void()> wake)
    : FMaker(std::move(maker)), FWake(std::move(wake)) {
    if (workers < 1) workers = static_cast<int32_t>(std::max(1u, std::thread::hardware_concurrency()));
    FThreads.reserve(static_cast<size_t>(workers));
    for (int32_t i = 0; i < workers; ++i) FThreads.emplace_back([this] { Work(); });
}

TThumbnailPool::~TThumbnailPool() {
    {
        std::lock_guard lock(FMutex);
        FStopping = true;
        FVisible.clear();
        FBackground.clear();
    }
    FJobReady.notify_all();
    for (std::thread& t : FThreads) t.join();
}

void TThumbnailPool::Restart() {
    std::lock_guard lock(FMutex);
    ++FGeneration;
    FVisible.clear();
    FBackground.clear();
    FTaken.clear();
    FResults.clear();
}

void TThumbnailPool::SetVisible(std::vector<TThumbnailJob> jobs) { Replace(FVisible, std::move(jobs)); }

void TThumbnailPool::SetBackground(std::vector<TThumbnailJob> jobs) { Replace(FBackground, std::move(jobs)); }

void TThumbnailPool::Replace(std::deque<TThumbnailJob>& queue, std::vector<TThumbnailJob> jobs) {
    {
        std::lock_guard lock(FMutex);
        queue.clear();
        for (TThumbnailJob& job : jobs)
            if (!FTaken.contains(job.Entry)) queue.push_back(std::move(job));
    }
    FJobReady.notify_all();
}

std::vector<TThumbnailResult> TThumbnailPool::TakeResults() {
    std::lock_guard lock(FMutex);
    return std::exchange(FResults, {});
}

std::vector<TThumbnailResult> TThumbnailPool::WaitForResults() {
    std::unique_lock lock(FMutex);
    FResultReady.wait(lock, [this] { return !FResults.empty() || (!HasJob() && FRunning == 0); });
    return std::exchange(FResults, {});
}

bool TThumbnailPool::Idle() const {
    std::lock_guard lock(FMutex);
    return IdleLocked();
}

bool TThumbnailPool::HasJob() const { return !FVisible.empty() || !FBackground.empty(); }

void TThumbnailPool::Work() {
    std::unique_lock lock(FMutex);
    for (;;) {
        FJobReady.wait(lock, [this] { return FStopping || HasJob(); });
        if (FStopping) return;
        std::deque<TThumbnailJob>& queue = FVisible.empty() ? FBackground : FVisible;
        TThumbnailJob job = std::move(queue.front());
        queue.pop_front();
        // An entry can be asked for in view and in the background, or again by a later paint.
        if (!FTaken.insert(job.Entry).second) {
            if (IdleLocked()) FResultReady.notify_all();
            continue;
        }
        const uint64_t generation = FGeneration;
        ++FRunning;
        lock.unlock();

        TThumbnailResult result;
        result.Entry = job.Entry;
        try {
            result.Thumbnail = FMaker(job.FullPath);
        } catch (const std::exception& e) {
            result.Error = e.what();
        } catch (...) {
            result.Error = "Unknown error";
        }
        if (!result.Thumbnail && result.Error.empty()) result.Error = "Unknown error";

        lock.lock();
        --FRunning;
        bool wake = false;
        if (generation == FGeneration) {
            wake = FResults.empty();
            FResults.push_back(std::move(result));
        }
        FResultReady.notify_all();
        if (wake && FWake) {
            lock.unlock();
            FWake();
            lock.lock();
        }
    }
}
