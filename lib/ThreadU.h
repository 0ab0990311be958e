// A worker thread object: the body runs in Execute on a thread of its own, started by Start.
#pragma once

#include "HandleU.h"

#include <atomic>

class TThread {
public:
    TThread() = default;
    // Asks the thread to terminate and waits for its end. A descendant whose Execute reads its
    // own fields must call WaitFor in its own destructor first.
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts Execute; false when no thread could be created. With FreeOnTerminate the object
    // deletes itself when Execute has returned, and its creator must not touch it afterwards.
    bool Start() noexcept;
    // Sets the flag Execute polls; the thread decides when to honour it.
    void Terminate() noexcept { FTerminated.store(true, std::memory_order_release); }
    bool Terminated() const noexcept { return FTerminated.load(std::memory_order_acquire); }
    // Blocks until Execute has returned; at once when the thread never started.
    void WaitFor() noexcept;
    HANDLE Handle() const noexcept { return FHandle.get(); }
    unsigned ThreadID() const noexcept { return FThreadID; }

    void SetFreeOnTerminate(bool aValue) noexcept { FFreeOnTerminate.store(aValue, std::memory_order_release); }
    bool FreeOnTerminate() const noexcept { return FFreeOnTerminate.load(std::memory_order_acquire); }

protected:
    // The thread body. Exceptions are caught at the thread's entry and discarded.
    virtual void Execute() = 0;

private:
    static unsigned __stdcall ThreadProc(void* aSelf) noexcept;

    TUniqueKernelHandle FHandle;
    unsigned FThreadID = 0;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFreeOnTerminate{false};
};
