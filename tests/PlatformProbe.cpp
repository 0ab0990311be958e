// Reports what the platform checks see in a process of its own, for tests that make Wine pretend
// to be another Windows version for this one executable: the exit code is the version class times
// 10, plus 1 when a label on a file that does not exist counts as done (labels unsupported).
#include "PlatformU.h"
#include "SecurityU.h"

int wmain() {
    const bool labelSkipped = SetObjectIntegrityLabel(L"C:\\QVNoSuchFolder\\probe.txt", SE_FILE_OBJECT,
                                                      SECURITY_MANDATORY_LOW_RID, SYSTEM_MANDATORY_LABEL_NO_WRITE_UP);
    return GetWinVersionClass() * 10 + (labelSkipped ? 1 : 0);
}
