// Requests to the vendor's web service.
#pragma once

#include "QVSupport.h"

#include <cstdint>
#include <string>

// One file of an update: the package address and, once downloaded, its local path.
class TItem {
public:
    std::wstring Url;      // address of the package
    std::wstring FileName; // full path of the downloaded package; empty until the download succeeded
    std::wstring Dest;     // carried for the record; nothing reads it
    std::int32_t Size = 0; // carried for the record; nothing reads it
    std::wstring Version;  // the offered version text; not used by the installation
};

// The service base URL used when the embedded configuration has no "HIT_URL".
extern const wchar_t kDefaultServiceURL[];

// Report actions: the daily hit (which also asks for update information), installation, removal.
enum : std::uint8_t { saHit = 0, saInstall = 1, saUninstall = 2 };

// The request URL of an action for an identity: aBaseURL, the operation, and the query that
// HTTPPostURL sends as the form body. Empty for an unknown action.
std::wstring ServiceRequestURL(std::uint8_t Action, const TCfgWS& aCfg, const std::wstring& aBaseURL);

// The base URL requests go to: "HIT_URL" of the embedded configuration, or kDefaultServiceURL.
std::wstring ServiceBaseURL();

// SendServiceRequest to the service at aBaseURL.
void SendServiceRequestTo(const std::wstring& aBaseURL, std::uint8_t Action, std::uint32_t& aStatusCode,
                          std::wstring& aResponse);

// Sends one report and hands back the HTTP status (0 when none was received) and the response
// body (empty unless the status was 200..300). An unknown action sends nothing. Failures while
// building the identity or the token raise to the caller; transport failures do not.
void SendServiceRequest(std::uint8_t Action, std::uint32_t& aStatusCode, std::wstring& aResponse);

// ---- The daily hit and the update check ----

#include <cstddef>
#include <functional>

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
