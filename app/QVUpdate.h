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
