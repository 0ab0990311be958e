#include "ThreadU.h"

#include "FallbackU.h"

#include <process.h>

TThread::~TThread() {
    Terminate();
    WaitFor();
}

bool TThread::Start() noexcept {
    if (FHandle)
        return false;
    // _beginthreadex rather than CreateThread: the C runtime sets up its per-thread data. The
    // thread starts suspended so that handle and identifier are stored before Execute can run
    // (and, with FreeOnTerminate, delete the object).
    const uintptr_t h = _beginthreadex(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &FThreadID);
    FHandle.reset(reinterpret_cast<HANDLE>(h));
    if (!FHandle)
        return false;
    ResumeThread(FHandle.get());
    return true;
}

void TThread::WaitFor() noexcept {
    if (FHandle && GetCurrentThreadId() != FThreadID)
        WaitForSingleObject(FHandle.get(), INFINITE);
}

unsigned __stdcall TThread::ThreadProc(void* aSelf) noexcept {
    auto* self = static_cast<TThread*>(aSelf);
    try {
        self->Execute();
    } catch (...) {
        NoteCurrentSwallowed("TThread.ThreadProc");
    }
    if (self->FreeOnTerminate()) {
        // The handle is still open here; deleting closes it, the thread's own end is unaffected.
        delete self;
    }
    return 0;
}
