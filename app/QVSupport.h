// What the program remembers and how it identifies itself: the per-user settings store, the
// embedded "CONFIG" resource, the client identity sent with every service request, and the
// product web pages.
#pragma once

#include "QVConst.h"

#include "../lib/HandleU.h"
#include "../lib/RegistryU.h"

#include <windows.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// The settings store under HKEY_CURRENT_USER.
extern const wchar_t kStoreKey[];
// The product website's root, with a trailing slash.
extern const wchar_t kProductWebsite[];

// Settings store. Reads of an absent or mistyped value give empty text or 0; nothing raises.
std::wstring ReadStoreString(const std::wstring& aName) noexcept;
int ReadStoreInteger(const std::wstring& aName) noexcept;
bool WriteStoreString(const std::wstring& aName, const std::wstring& aText) noexcept;
bool WriteStoreInteger(const std::wstring& aName, int aValue) noexcept;
// REG_SZ under any key path of HKEY_CURRENT_USER (the Run key).
bool WriteUserString(const std::wstring& aKeyPath, const std::wstring& aName, const std::wstring& aText) noexcept;
bool DeleteUserValue(const std::wstring& aKeyPath, const std::wstring& aName) noexcept;
// The key with every subkey and value.
bool DeleteUserKeyTree(const std::wstring& aKeyPath) noexcept;

// The machine's level: value "Level" of QVMachine's kMachineKey (64-bit view), beside the backup of
// originals. Versions before this one kept it in the per-user store, under the same name.
extern const wchar_t kLevelValue[];

// Where the level comes from. The machine's value whenever it is present: a REG_DWORD as stored,
// any other type 0. Without one, the user's old per-user value, clamped to 0..2, with Migrate set
// so that a process that can write HKEY_LOCAL_MACHINE stores it there; an old value of another
// type is no level (0, nothing to migrate).
struct TStoredLevel {
    int Value = 0;
    bool Migrate = false;
};
TStoredLevel StoredLevelOf(const TRegValueData& aMachine, const TRegValueData& anOld) noexcept;

// The machine's level as stored, which may lie outside 0..2 (0 when absent or mistyped). While the
// machine has none, the user's old value is read instead and, where this process may write
// HKEY_LOCAL_MACHINE, stored there; the old value is deleted only once the machine's reads back.
int ReadStoredLevel() noexcept;
// Stores the machine's level; needs write access to HKEY_LOCAL_MACHINE (the elevated SETLEVEL).
bool WriteLevel(TLevel aLevel) noexcept;
// Deletes the machine's level (removal), and the owner key when that leaves it empty.
bool DeleteMachineLevel() noexcept;

// Runs this executable with /userlevel (the running user's part of the machine's level) and waits
// for it at most kUserLevelWaitMs, so that the settings checked next already hold it. False when
// it could not be started or did not end in time.
constexpr DWORD kUserLevelWaitMs = 5000;
bool RunUserLevelProcess() noexcept;
// A stored level number as a level: above 2 is lMax, below 0 is lOff.
TLevel ClampLevel(int aValue) noexcept;
// ReadStoredLevel clamped; a failure gives lOff.
TLevel ReadLevel() noexcept;

// Raised by LoadEmbeddedConfig when the executable carries no "CONFIG" resource.
class EConfigMissing : public std::runtime_error {
public:
    EConfigMissing() : std::runtime_error("no CONFIG resource") {}
};

// The lines of a configuration text: a byte-order mark (UTF-8, UTF-16 LE or BE) selects the
// encoding, otherwise the ANSI code page; the text ends at its first NUL character; CR, LF and
// CR LF end lines.
std::vector<std::wstring> ConfigLines(const std::string& aBytes);
// The rest after "=" of the first line whose part before its first "=" equals aName ignoring
// letter case (the same way in every locale); aDefault when no line matches. Nothing is trimmed.
std::wstring ConfigValueIn(const std::vector<std::wstring>& aLines, const std::wstring& aName,
                           const std::wstring& aDefault);

// Loads the "CONFIG" resource (RT_RCDATA) of the executable into the process-wide list; raises
// EConfigMissing without one. Main thread only, before the run mode starts.
void LoadEmbeddedConfig();
// Frees the list; later lookups give their defaults.
void FreeEmbeddedConfig() noexcept;
// ConfigValueIn the loaded list; aDefault before loading, after freeing or on any failure.
std::wstring GetConfigValue(const std::wstring& aName, const std::wstring& aDefault) noexcept;

// The client identity every service request sends. Creating one may store a new "UID".
class TCfgWS {
public:
    TCfgWS();

    std::wstring CFG;   // "CFG_ID" of the configuration, "1" by default
    std::wstring UID;   // the stored "UID", made and stored when absent or empty
    std::wstring VER;   // "QUENVAR=" and the executable's file version, "0.0.0.0" when unreadable
    std::wstring CLS;   // always empty
    std::wstring SUBID; // the stored "SUBID", "0" when absent or empty
};

// 64-bit hash of the UTF-8 bytes of aText; 1 for the empty text.
std::uint64_t HashString64(const std::wstring& aText) noexcept;
// The 256 constants the hash mixes in, indexed by byte value.
extern const std::array<std::uint64_t, 256> kHashTable;
// aText in UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf8Of(const std::wstring& aText);
// The text a UID is hashed from: the GUID's 32 upper-case hex digits, then the tick count in decimal.
std::wstring UIDSeed(const GUID& aGuid, DWORD aTickCount);
// The UID made from a seed: the magnitude of HashString64, read as signed 64-bit, in decimal.
std::wstring UIDFromSeed(const std::wstring& aSeed);
// A new UID from a fresh GUID and the tick count.
std::wstring GenerateUID();

// The page for a level: "Protection-off.aspx" for lOff, "Protection.aspx" for the others; empty
// for anything else.
std::wstring ProtectionPageUrl(int aLevel);
// Opens ProtectionPageUrl in the user's browser; does nothing for a value outside 0..2.
void OpenProtectionPage(TLevel aLevel) noexcept;

// Writes aText to the console the program was started from, or, when that handle (aStdHandle:
// STD_OUTPUT_HANDLE or STD_ERROR_HANDLE) is redirected to a file or pipe, there as UTF-8. A GUI
// program has no console of its own: it attaches to its parent's, and writes nothing without one.
void WriteToConsole(DWORD aStdHandle, const std::wstring& aText) noexcept;

// The main window's identity. The window registers itself under the class name, which is how a
// running instance is found; the caption is only shown.
extern const wchar_t kMainWindowCaption[];
extern const wchar_t kMainWindowClass[];
extern const wchar_t kMainWindowMessage[];

// Whether a process whose image is anImage runs the program at aProgramImage: the same path, or
// the same file name, ignoring case as the file system does. The file name is enough because the
// instance lock holds one instance per session whatever folder it was started from: a copy in
// another folder, or a path spelt another way (short names, another drive mapping), is still the
// running instance, while any other program's image is not.
bool IsProgramImage(const std::wstring& anImage, const std::wstring& aProgramImage) noexcept;
// This process's image path as the system reports it for every process.
std::wstring OwnProgramImage() noexcept;

// A running window-or-tray instance: its main window, its process id, and its process opened to
// query it and, where the system allows, to wait for it.
struct TRunningInstance {
    HWND Window = nullptr;
    DWORD ProcessId = 0;
    TUniqueKernelHandle Process;
};
// The running instance in this desktop: a top-level window of class kMainWindowClass whose
// process runs aProgramImage (IsProgramImage; the window whose image is that very path wins).
// The caption is never looked at, and a window of the class in another program, or in a process
// that cannot be opened, is skipped. An empty Window when there is none; never raises.
TRunningInstance FindRunningInstance(const std::wstring& aProgramImage) noexcept;

// Asks the running instance (FindRunningInstance of this program) to show its window: lets it take
// the foreground, then posts the registered message kMainWindowMessage with both parameters 0.
// Never waited for; does nothing without a running instance.
void NotifyRunningInstance() noexcept;
// Posts WM_QUIT to the running instance (FindRunningInstance of this program) and waits until its
// process has ended, so that an installer can replace or delete the files it holds: at most
// kCloseWaitMs, and a pause of 1000 ms when that process cannot be watched. Returns at once when
// there is no running instance.
constexpr unsigned kCloseWaitMs = 10000;
void CloseRunningInstance() noexcept;
