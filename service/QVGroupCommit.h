// How a request's report reaches the store. Group commit queues the reports of concurrent
// requests and writes them together, one transaction per batch, so one disk flush serves many;
// each caller is answered only after its batch has committed.
#pragma once

#include "QVStore.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class TReportRecorder {
public:
    virtual ~TReportRecorder() = default;
    // True once aReport is stored. False when it could not be stored; it then is not stored at all.
    virtual bool Record(const TReport& aReport) = 0;
};

// Writes each report in a transaction of its own on the caller's thread.
class TDirectRecorder : public TReportRecorder {
public:
    explicit TDirectRecorder(TReportStore& aStore) : FStore(aStore) {}
    bool Record(const TReport& aReport) override;

private:
    TReportStore& FStore;
};

// The callers themselves commit: whoever finds no commit running becomes the leader, takes the
// queued reports (its own among them) and commits them while the next ones queue up; the others
// sleep until their batch is done, each woken alone.
class TGroupCommit : public TReportRecorder {
public:
    // Called on a committing thread when a batch could not be stored.
    using TFailureLog = std::function<void(std::size_t aReports, const std::string& aReason)>;

    // A batch is committed as soon as the previous one is done, after its leader waited up to
    // aDelay for more, and holds aMaxBatch reports at most.
    TGroupCommit(TReportStore& aStore, std::chrono::microseconds aDelay, std::size_t aMaxBatch,
                 TFailureLog aFailureLog = {});
    TGroupCommit(const TGroupCommit&) = delete;
    TGroupCommit& operator=(const TGroupCommit&) = delete;

    // Blocks until the batch holding aReport has committed or failed.
    bool Record(const TReport& aReport) override;

private:
    struct TPending {
        const TReport* report = nullptr;
        std::chrono::steady_clock::time_point queued;
        std::condition_variable wake; // done, or the caller is to lead the next commit
        bool done = false;
        bool stored = false;
    };
    void Lead(std::unique_lock<std::mutex>& aLock, TPending& aPending);
    bool Commit(const std::vector<TPending*>& aBatch);

    TReportStore& FStore;
    const std::chrono::microseconds FDelay;
    const std::size_t FMaxBatch;
    TFailureLog FFailureLog;

    std::mutex FLock;
    std::condition_variable FFull; // a waiting leader: the queue reached FMaxBatch
    std::deque<TPending*> FQueue;
    bool FCommitting = false;
};
