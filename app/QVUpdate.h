// Requests to the vendor's web service.
#pragma once

#include "QVSupport.h"

#include "../lib/ServiceVocabU.h"
#include "../lib/SignatureU.h"
#include "../lib/ThreadU.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class THTTPGet;

// One file of an update: the package address and, once downloaded, its local path.
class TItem {
public:
    std::wstring Url;      // address of the package
    std::wstring FileName; // full path of the downloaded package; empty until the download succeeded
    std::wstring Dest;     // carried for the record; nothing reads it
    std::int32_t Size = 0; // carried for the record; nothing reads it
    std::wstring Version;  // the offered version text; not used by the installation
};

// Fetches one URL into one file on a thread of its own, started by the constructor. The creator
// polls bDone and then frees the object; freeing waits for the thread.
class TDownload final : public TThread {
public:
    // A server that goes silent for aTimeoutMs ends the transfer as failed.
    TDownload(const std::wstring& URL, const std::wstring& Target, std::uint32_t aTimeoutMs = kDownloadTimeoutMs);
    static constexpr std::uint32_t kDownloadTimeoutMs = 60000;
    ~TDownload() override;

    // Set once each, bSucceeded before bDone: whoever sees bDone reads a final bSucceeded.
    std::atomic<bool> bDone{false};
    std::atomic<bool> bSucceeded{false};

protected:
    void Execute() override;

private:
    // Cancels the transfer once the thread is asked to terminate; at the end (aFinal) judges it:
    // no client error, status exactly 200 and the file as long as the last reported total.
    void CheckResult(bool aFinal);
    void HTTPProgress(THTTPGet* aSender, std::uint32_t aReaded, std::uint32_t aTotalSize);
    void HTTPFinish(THTTPGet* aSender);

    std::wstring FURL;
    std::wstring FTarget;
    std::uint32_t FTimeoutMs;
    THTTPGet* FHTTP = nullptr; // the running transfer's client, owned by Execute
    std::uint32_t FTotalSize = 0;
    std::uint32_t FReaded = 0;
};

// Where an update installs and what it trusts. The defaults are the running program's folder
// (GetAppDir) and its "Update" subfolder, the public key set at start-up and RestartApplication.
struct TUpdateEnvironment {
    TUpdateEnvironment();
    std::wstring AppDir;    // with a trailing backslash
    std::wstring UpdateDir; // without one
    std::optional<TP256Point> PublicKey;
    std::function<void()> Restart; // run on the creating thread once something was installed
};

// Downloads the items, checks each package's signature, installs the contained files into the
// program folder and restarts the program. Started by the constructor; owns its items. The
// creating thread must keep processing messages (PumpMessagesUntil) until bDone, because the
// restart is handed to it.
class TUpdateThread final : public TThread {
public:
    TUpdateThread(bool ASilent, std::unique_ptr<TItem> AItem, bool AFreeOnTerminate);
    TUpdateThread(bool ASilent, std::unique_ptr<TItem> AItem, bool AFreeOnTerminate, TUpdateEnvironment anEnvironment);
    ~TUpdateThread() override;

    // Unpacks a cabinet package (IsCabinetPackage; any other file is itself the one entry) and puts
    // every entry into the program folder: the installed file is renamed to its ".old" name first;
    // a file that cannot be renamed is written under its ".new" name and replaces the installed
    // one at the next system start. Entries with unsafe names are skipped. A cabinet that cannot be
    // read, or of which any entry was not extracted completely, installs nothing and leaves nothing
    // of its entries in the update folder. The package is deleted.
    void InstallFile(const std::wstring& aPath);
    // Whether the last Execute or InstallFile handled a file.
    bool UpdateInstalled() const noexcept { return FUpdateInstalled; }
    const std::vector<std::unique_ptr<TItem>>& Files() const noexcept { return FFiles; }

    // Set as the very last action of Execute, whatever happened.
    std::atomic<bool> bDone{false};

protected:
    void Execute() override;

private:
    // Downloads into aTarget; false (and nothing left behind) when the download failed.
    bool Download(const std::wstring& aURL, const std::wstring& aTarget);
    // Downloads every item with a file name and its signature into the update folder; false at the
    // first that fails, whose package is deleted again.
    bool DownloadPackages();
    // Whether every downloaded package verifies against its signature and the publisher's key.
    bool PackagesVerified() const;
    // The entries of a cabinet package extracted into the update folder (full paths, safe names
    // only), or nothing when not all of them came out complete; whatever did is deleted then.
    std::optional<std::vector<std::wstring>> ExtractCabinet(const std::wstring& aPath) const;
    // Puts one extracted file into the program folder as InstallFile describes.
    void InstallEntry(const std::wstring& anEntry);
    // Deletes every downloaded package and signature of the items.
    void DiscardDownloads();

    std::vector<std::unique_ptr<TItem>> FFiles;
    bool FSilent;
    DWORD FCreatorThreadID;
    TUpdateEnvironment FEnvironment;
    bool FUpdateInstalled = false;
};

// The public key update packages must be signed with: a P-256 key as DER SubjectPublicKeyInfo.
// False (and no key) for anything else; without a key no update is ever installed.
bool SetUpdatePublicKey(const std::uint8_t* aData, std::size_t aSize);
std::optional<TP256Point> UpdatePublicKey();

// The name with aSuffix inserted before its extension (the part from the last "." after the last
// "\" or ":"): "C:\App\Quenvar.exe" + ".old" gives "C:\App\Quenvar.old.exe".
std::wstring SuffixedFileName(const std::wstring& aFileName, const std::wstring& aSuffix);
// The local name a package URL is downloaded to: its last path segment without query or fragment,
// when that is a plain file name; empty for a URL without one (".../", "http://host", "..").
std::wstring DownloadFileName(const std::wstring& aURL);
// Where a package's signature is published: the URL with ".sig" added to its path.
std::wstring SignatureURL(const std::wstring& aURL);
// Whether the downloaded package aFileName is a cabinet to unpack rather than the one file to
// install: a name ending in ".cab", letter case ignored.
bool IsCabinetPackage(const std::wstring& aFileName);

// Closes the running window or tray instance, starts this executable again without arguments and
// asks this thread's message loop to end.
void RestartApplication() noexcept;

// Processes this thread's messages, and the calls other threads hand over with
// RunOnThread, until aDone is true. Sleeps while there is nothing to do; aWake (may be null) is
// a handle whose signal also wakes it, such as the worker's thread handle.
void PumpMessagesUntil(const std::atomic<bool>& aDone, HANDLE aWake);
// Runs aCall on the thread aThreadID (which must be in PumpMessagesUntil) and waits for it, at most
// a minute. On the calling thread itself, or when the other thread has no message queue, it runs
// here.
void RunOnThread(DWORD aThreadID, const std::function<void()>& aCall);

// The service base URL used when the embedded configuration has no "HIT_URL".
extern const std::wstring kDefaultServiceURL;

// Report actions are the TServiceAction values: the daily hit (which also asks for update
// information), installation, removal.

// The request URL of an action for an identity: aBaseURL, the operation, and the query that
// HTTPPostURL sends as the form body. Empty for an unknown action.
std::wstring ServiceRequestURL(std::uint8_t Action, const TCfgWS& aCfg, const std::wstring& aBaseURL);

// The base URL requests go to: "HIT_URL" of the embedded configuration, or kDefaultServiceURL.
std::wstring ServiceBaseURL();

// How long a service request waits for a silent server before it counts as failed. The daily hit
// runs on the window's thread: without a bound, a service that accepts and never answers would
// keep the window (and the tray icon at logon) from ever appearing.
constexpr std::uint32_t kServiceTimeoutMs = 30000;

// SendServiceRequest to the service at aBaseURL, waiting at most aTimeoutMs for each step.
void SendServiceRequestTo(const std::wstring& aBaseURL, std::uint8_t Action, std::uint32_t& aStatusCode,
                          std::wstring& aResponse, std::uint32_t aTimeoutMs = kServiceTimeoutMs);

// Sends one report and hands back the HTTP status (0 when none was received) and the response
// body (empty unless the status was 200..300). An unknown action sends nothing. Failures while
// building the identity or the token raise to the caller; transport failures do not.
void SendServiceRequest(std::uint8_t Action, std::uint32_t& aStatusCode, std::wstring& aResponse);

// How long an installer hook's report may take in all. Removal runs it after the settings are
// restored, and neither installation nor removal may wait longer for a service out of reach.
constexpr std::uint32_t kHookReportBudgetMs = 5000;

// One report to the service at aBaseURL that takes at most about aBudgetMs in all. The identity and
// the URL are read on the calling thread; the exchange runs on a thread of its own, with every
// WinINet step bounded by aBudgetMs as well, and is abandoned when it overruns: name resolution,
// proxy discovery and connection retries are bounded by no WinINet time-out, and a service that
// trickles its answer resets them at every byte. An abandoned exchange ends with the process at
// the latest. Returns the HTTP status, 0 when none arrived in time or the action is unknown.
// Failures while building the identity or starting the thread raise to the caller.
std::uint32_t SendServiceReportTo(const std::wstring& aBaseURL, std::uint8_t Action, std::uint32_t aBudgetMs);
// SendServiceReportTo the configured service.
std::uint32_t SendServiceReport(std::uint8_t Action, std::uint32_t aBudgetMs);

// ---- The daily hit and the update check ----

// Update information longer than this (in characters) is ignored unparsed. The service's answer
// is a few hundred characters; a larger body is not update information, and bounding it keeps the
// parse on the user-interface thread short.
constexpr std::size_t kMaxUpdateInfoLength = std::size_t{1} << 20;

// Whether the daily hit is due: "LastHit" absent or empty, unreadable with the current regional
// format (written again after the next successful hit), or of another calendar day than today,
// earlier or later.
bool IsHitDue() noexcept;

// Reads update information into anItem: attributes "V" (into Version) and "URL" (into Url) of the
// first "Ver" element of the first "Vers" element below the document element. Names match
// exactly, with case; attributes are taken without a namespace and read as empty when missing.
// anItem is left unchanged for an empty, oversized or malformed text, a document that declares a
// document type (refused, so no entity is ever expanded or fetched), or one without those elements.
void ParseUpdateInfo(const std::wstring& aXML, TItem& anItem) noexcept;

// The arguments that start the update mode for a package: /UPDATE "aUrl".
std::wstring UpdateArguments(const std::wstring& aUrl);

// The update process needs the "runas" verb from Windows Vista on (class 9 and above).
bool UpdateStartUsesRunAs(BYTE aWinVersionClass) noexcept;

// Starts anExe with anArguments: through ShellExecuteRunAs when aRunAs, otherwise with the "open"
// verb and a normal window. The outcome is not reported.
void StartUpdateProcess(const std::wstring& anExe, const std::wstring& anArguments, bool aRunAs) noexcept;

// Receives the executable, the argument text and whether to use "runas" when an update is offered.
using TUpdateLauncher = std::function<void(const std::wstring& anExe, const std::wstring& anArguments, bool aRunAs)>;

// The daily sequence against the service at aBaseURL: when a hit is due, sends it; only after a
// status of 200 stores the current moment as "LastHit" and, when the answer names a package URL,
// calls aLauncher with this executable's path, UpdateArguments(url) and UpdateStartUsesRunAs of
// the running system. Blocks for the HTTP exchange; every failure is swallowed.
void CheckForUpdateWith(const std::wstring& aBaseURL, const TUpdateLauncher& aLauncher) noexcept;

// CheckForUpdateWith the configured service and StartUpdateProcess.
void CheckForUpdate() noexcept;
