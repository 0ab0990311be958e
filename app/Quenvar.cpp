// The program's main block: every role of the executable starts here.
#include "QVMain.h"

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return RunProgram();
}
