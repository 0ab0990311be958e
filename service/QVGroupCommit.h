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
#include <thread>

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

class TGroupCommit : public TReportRecorder {
public:
    // Called on the commit thread when a batch could not be stored.
    using TFailureLog = std::function<void(std::size_t aReports, const std::string& aReason)>;

    // A batch is committed as soon as the previous one is done, after waiting up to aDelay from
    // its first report for more, and holds aMaxBatch reports at most.
    TGroupCommit(TReportStore& aStore, std::chrono::microseconds aDelay, std::size_t aMaxBatch,
                 TFailureLog aFailureLog = {});
    // Commits what is queued, then stops; Record must no longer be running.
    ~TGroupCommit();
    TGroupCommit(const TGroupCommit&) = delete;
    TGroupCommit& operator=(const TGroupCommit&) = delete;

    // Blocks until the batch holding aReport has committed or failed.
    bool Record(const TReport& aReport) override;

private:
    struct TPending {
        const TReport* report;
        std::chrono::steady_clock::time_point queued;
        bool done = false;
        bool stored = false;
    };
    void Run();
    void Commit(std::vector<TPending*>& aBatch);

    TReportStore& FStore;
    const std::chrono::microseconds FDelay;
    const std::size_t FMaxBatch;
    TFailureLog FFailureLog;

    std::mutex FLock;
    std::condition_variable FWork; // the commit thread waits for reports
    std::condition_variable FDone; // callers wait for their batch
    std::deque<TPending*> FQueue;
    bool FStopping = false;
    std::thread FThread;
};
