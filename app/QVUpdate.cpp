#include "QVUpdate.h"

#include "../lib/CryptU.h"
#include "../lib/HTTPU.h"

#include <windows.h>

const wchar_t kDefaultServiceURL[] = L"http://service.quenvar.example/api/client.asmx/";

namespace {

std::wstring UpperAscii(std::wstring aText) {
    for (wchar_t& c : aText)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return aText;
}

// Replaces every occurrence of aFrom, compared without ASCII letter case.
std::wstring ReplaceAllIgnoreCase(const std::wstring& aText, const std::wstring& aFrom, const std::wstring& aTo) {
    const std::wstring upperText = UpperAscii(aText);
    const std::wstring upperFrom = UpperAscii(aFrom);
    std::wstring result;
    size_t start = 0;
    for (;;) {
        const size_t hit = upperText.find(upperFrom, start);
        if (hit == std::wstring::npos)
            break;
        result.append(aText, start, hit - start);
        result += aTo;
        start = hit + aFrom.size();
    }
    result.append(aText, start, std::wstring::npos);
    return result;
}

std::uint32_t SystemTickCount() {
    return GetTickCount();
}

} // namespace

std::wstring ServiceRequestURL(std::uint8_t Action, const TCfgWS& aCfg, const std::wstring& aBaseURL) {
    if (Action > saUninstall)
        return std::wstring();
    TCryptURL crypt(true);
    crypt.TickSource = SystemTickCount;
    crypt.SetParameters(L"CFG", aCfg.CFG);
    crypt.SetParameters(L"UID", aCfg.UID);
    std::wstring url, actionText;
    if (Action == saHit) {
        crypt.SetParameters(L"VER", aCfg.VER);
        crypt.SetParameters(L"CLS", aCfg.CLS);
        url = aBaseURL + L"SendLog?CR=%CR%";
    } else {
        url = aBaseURL + L"GetXML?CR=%CR%&Action=%Action%";
        actionText = Action == saInstall ? L"INQV" : L"UNQV";
    }
    crypt.SetParameters(L"SUBID", aCfg.SUBID);
    const std::wstring token = crypt.Encrypt();
    url = ReplaceAllIgnoreCase(url, L"%CR%", token);
    return ReplaceAllIgnoreCase(url, L"%Action%", actionText);
}

std::wstring ServiceBaseURL() {
    return GetConfigValue(L"HIT_URL", kDefaultServiceURL);
}

void SendServiceRequest(std::uint8_t Action, std::uint32_t& aStatusCode, std::wstring& aResponse) {
    SendServiceRequestTo(ServiceBaseURL(), Action, aStatusCode, aResponse);
}

void SendServiceRequestTo(const std::wstring& aBaseURL, std::uint8_t Action, std::uint32_t& aStatusCode,
                          std::wstring& aResponse) {
    aResponse.clear();
    if (Action > saUninstall) {
        aStatusCode = 0;
        return;
    }
    const TCfgWS cfg;
    const std::wstring url = ServiceRequestURL(Action, cfg, aBaseURL);
    try {
        aResponse = HTTPPostURL(url, nullptr, nullptr, &aStatusCode);
    } catch (...) {
        aResponse.clear();
    }
}
