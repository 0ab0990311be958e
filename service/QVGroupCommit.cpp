#include "QVGroupCommit.h"

#include <algorithm>

bool TDirectRecorder::Record(const TReport& aReport) {
    try {
        FStore.Add({aReport});
        return true;
    } catch (const TStoreError&) {
        return false;
    }
}

TGroupCommit::TGroupCommit(TReportStore& aStore, std::chrono::microseconds aDelay, std::size_t aMaxBatch,
                           TFailureLog aFailureLog)
    : FStore(aStore), FDelay(aDelay), FMaxBatch(std::max<std::size_t>(aMaxBatch, 1)),
      FFailureLog(std::move(aFailureLog)), FThread([this] { Run(); }) {}

TGroupCommit::~TGroupCommit() {
    {
        std::lock_guard<std::mutex> guard(FLock);
        FStopping = true;
    }
    FWork.notify_one();
    FThread.join();
}

bool TGroupCommit::Record(const TReport& aReport) {
    TPending pending{&aReport, std::chrono::steady_clock::now()};
    std::unique_lock<std::mutex> lock(FLock);
    if (FStopping)
        return false;
    FQueue.push_back(&pending);
    FWork.notify_one();
    FDone.wait(lock, [&pending] { return pending.done; });
    return pending.stored;
}

void TGroupCommit::Run() {
    std::unique_lock<std::mutex> lock(FLock);
    std::vector<TPending*> batch;
    for (;;) {
        FWork.wait(lock, [this] { return !FQueue.empty() || FStopping; });
        if (FQueue.empty())
            return;
        if (FDelay.count() > 0 && !FStopping)
            FWork.wait_until(lock, FQueue.front()->queued + FDelay,
                             [this] { return FQueue.size() >= FMaxBatch || FStopping; });
        const std::size_t n = std::min(FQueue.size(), FMaxBatch);
        batch.assign(FQueue.begin(), FQueue.begin() + static_cast<std::ptrdiff_t>(n));
        FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<std::ptrdiff_t>(n));
        lock.unlock();
        Commit(batch);
        lock.lock();
        for (TPending* p : batch)
            p->done = true;
        FDone.notify_all();
    }
}

void TGroupCommit::Commit(std::vector<TPending*>& aBatch) {
    std::vector<TReport> reports;
    reports.reserve(aBatch.size());
    for (const TPending* p : aBatch)
        reports.push_back(*p->report);
    std::string reason;
    try {
        FStore.Add(reports);
        for (TPending* p : aBatch)
            p->stored = true;
        return;
    } catch (const std::exception& e) {
        reason = e.what();
    } catch (...) {
        reason = "unknown failure";
    }
    if (FFailureLog) {
        try {
            FFailureLog(aBatch.size(), reason);
        } catch (...) {
            // The log is best effort; the callers still get their answer.
        }
    }
}
