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
      FFailureLog(std::move(aFailureLog)) {}

bool TGroupCommit::Record(const TReport& aReport) {
    TPending pending;
    pending.report = &aReport;
    pending.queued = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(FLock);
    FQueue.push_back(&pending);
    if (FQueue.size() >= FMaxBatch)
        FFull.notify_one();
    while (!pending.done) {
        if (!FCommitting)
            Lead(lock, pending);
        else
            pending.wake.wait(lock);
    }
    return pending.stored;
}

void TGroupCommit::Lead(std::unique_lock<std::mutex>& aLock, TPending& aPending) {
    FCommitting = true;
    if (FDelay.count() > 0)
        FFull.wait_until(aLock, aPending.queued + FDelay, [this] { return FQueue.size() >= FMaxBatch; });
    const std::size_t n = std::min(FQueue.size(), FMaxBatch);
    const std::vector<TPending*> batch(FQueue.begin(), FQueue.begin() + static_cast<std::ptrdiff_t>(n));
    FQueue.erase(FQueue.begin(), FQueue.begin() + static_cast<std::ptrdiff_t>(n));
    aLock.unlock();
    const bool stored = Commit(batch);
    aLock.lock();
    for (TPending* p : batch) {
        p->stored = stored;
        p->done = true;
        if (p != &aPending)
            p->wake.notify_one();
    }
    FCommitting = false;
    // The first of those that queued meanwhile leads the next commit.
    if (!FQueue.empty())
        FQueue.front()->wake.notify_one();
}

bool TGroupCommit::Commit(const std::vector<TPending*>& aBatch) {
    std::string reason;
    try {
        std::vector<TReport> reports;
        reports.reserve(aBatch.size());
        for (const TPending* p : aBatch)
            reports.push_back(*p->report);
        FStore.Add(reports);
        return true;
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
    return false;
}
