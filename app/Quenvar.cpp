// The program's main block: every role of the executable starts here.
#include "QVMain.h"
#include "QVUpdate.h"
#include "QVUpdateKey.h"

#include <windows.h>

#include <exception>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The program never shows an error box: no critical-error or fault dialogs, and a C++ failure that
    // escapes every handler (which RunProgram is built never to let happen) ends the process quietly.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    std::set_terminate([] { ExitProcess(0); });
    if (kUpdatePublicKeySize > 0)
        SetUpdatePublicKey(kUpdatePublicKeyData, kUpdatePublicKeySize);
    return RunProgram();
}
