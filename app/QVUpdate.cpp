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

// ---- The daily hit and the update check ----

#include "../lib/FileU.h"
#include "../lib/HandleU.h"
#include "../lib/PlatformU.h"

#include <msxml2.h>

#include <algorithm>

namespace {

const wchar_t kLastHitValue[] = L"LastHit";

// MinGW's import libraries lack this interface identifier.
const IID kIID_IXMLDOMDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// COM on the calling thread for the owner's lifetime. A thread that already runs COM keeps its
// apartment; only a successful initialisation here (S_OK or S_FALSE) is balanced.
class TComApartment {
public:
    TComApartment() noexcept : FInitialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~TComApartment() {
        if (FInitialised)
            CoUninitialize();
    }
    TComApartment(const TComApartment&) = delete;
    TComApartment& operator=(const TComApartment&) = delete;

private:
    bool FInitialised;
};

// A VARIANT cleared when it goes out of scope.
struct TVariant {
    VARIANT v;
    TVariant() noexcept { VariantInit(&v); }
    ~TVariant() { VariantClear(&v); }
    TVariant(const TVariant&) = delete;
    TVariant& operator=(const TVariant&) = delete;
};

// True when aText declares a document type. Such a document is refused before parsing: the
// update information never needs one, and some MSXML builds (Wine's among them) accept
// "ProhibitDTD" without honouring it.
bool DeclaresDocumentType(const std::wstring& aText) {
    static const std::wstring kMarkup = L"<!DOCTYPE";
    const auto sameLetter = [](wchar_t a, wchar_t b) {
        const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; };
        return upper(a) == upper(b);
    };
    return std::search(aText.begin(), aText.end(), kMarkup.begin(), kMarkup.end(), sameLetter) != aText.end();
}

// A new MSXML document set to parse synchronously, without validation, without resolving
// external resources and with document type declarations prohibited where the build supports it.
// MSXML 6.0 is preferred, 3.0 is the fallback; null when neither can be created.
TComPtr<IXMLDOMDocument> NewSafeDocument() {
    for (const wchar_t* progId : {L"Msxml2.DOMDocument.6.0", L"Msxml2.DOMDocument.3.0"}) {
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(progId, &clsid)))
            continue;
        TComPtr<IXMLDOMDocument> doc;
        if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                    reinterpret_cast<void**>(doc.put()))) ||
            !doc)
            continue;
        if (FAILED(doc.get()->put_async(VARIANT_FALSE)) || FAILED(doc.get()->put_validateOnParse(VARIANT_FALSE)) ||
            FAILED(doc.get()->put_resolveExternals(VARIANT_FALSE)))
            continue;
        TComPtr<IXMLDOMDocument2> doc2;
        if (SUCCEEDED(doc.get()->QueryInterface(kIID_IXMLDOMDocument2, reinterpret_cast<void**>(doc2.put()))) && doc2) {
            TUniqueBstr name(SysAllocString(L"ProhibitDTD"));
            TVariant on;
            on.v.vt = VT_BOOL;
            on.v.boolVal = VARIANT_TRUE;
            if (name)
                doc2.get()->setProperty(name.get(), on.v); // an older build without the property: ignored
        }
        return doc;
    }
    return TComPtr<IXMLDOMDocument>();
}

std::wstring NodeName(IXMLDOMNode* aNode) {
    TUniqueBstr name;
    if (FAILED(aNode->get_nodeName(name.put())) || !name)
        return std::wstring();
    return std::wstring(name.get(), SysStringLen(name.get()));
}

// The first child element of aParent whose name is exactly aName; null when there is none.
TComPtr<IXMLDOMNode> FirstChildElement(IXMLDOMNode* aParent, const wchar_t* aName) {
    TComPtr<IXMLDOMNode> child;
    if (aParent->get_firstChild(child.put()) != S_OK)
        return TComPtr<IXMLDOMNode>();
    while (child) {
        DOMNodeType type = NODE_INVALID;
        if (SUCCEEDED(child.get()->get_nodeType(&type)) && type == NODE_ELEMENT && NodeName(child.get()) == aName)
            return child;
        TComPtr<IXMLDOMNode> next;
        if (child.get()->get_nextSibling(next.put()) != S_OK)
            break;
        child = std::move(next);
    }
    return TComPtr<IXMLDOMNode>();
}

// The value of the attribute named aName in no namespace; empty when it is missing.
std::wstring AttributeText(IXMLDOMElement* anElement, const wchar_t* aName) {
    TUniqueBstr name(SysAllocString(aName));
    TVariant value;
    if (!name || anElement->getAttribute(name.get(), &value.v) != S_OK || value.v.vt != VT_BSTR || !value.v.bstrVal)
        return std::wstring();
    return std::wstring(value.v.bstrVal, SysStringLen(value.v.bstrVal));
}

bool SameDay(const SYSTEMTIME& a, const SYSTEMTIME& b) noexcept {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay;
}

} // namespace

bool IsHitDue() noexcept {
    try {
        const std::wstring text = ReadStoreString(kLastHitValue);
        if (text.empty())
            return true;
        const std::optional<SYSTEMTIME> last = StoreTextToDateTime(text);
        if (!last)
            return true;
        SYSTEMTIME now;
        GetLocalTime(&now);
        return !SameDay(*last, now);
    } catch (...) {
        return true;
    }
}

void ParseUpdateInfo(const std::wstring& aXML, TItem& anItem) noexcept {
    try {
        if (aXML.empty() || aXML.size() > kMaxUpdateInfoLength || DeclaresDocumentType(aXML))
            return;
        const TComApartment apartment;
        const TComPtr<IXMLDOMDocument> doc = NewSafeDocument();
        if (!doc)
            return;
        TUniqueBstr text(SysAllocStringLen(aXML.data(), static_cast<UINT>(aXML.size())));
        VARIANT_BOOL loaded = VARIANT_FALSE;
        if (!text || doc.get()->loadXML(text.get(), &loaded) != S_OK || loaded != VARIANT_TRUE)
            return;
        text.reset();
        TComPtr<IXMLDOMElement> root;
        if (doc.get()->get_documentElement(root.put()) != S_OK || !root)
            return;
        const TComPtr<IXMLDOMNode> vers = FirstChildElement(root.get(), L"Vers");
        if (!vers)
            return;
        const TComPtr<IXMLDOMNode> ver = FirstChildElement(vers.get(), L"Ver");
        if (!ver)
            return;
        TComPtr<IXMLDOMElement> element;
        if (FAILED(ver.get()->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.put()))) || !element)
            return;
        std::wstring version = AttributeText(element.get(), L"V");
        std::wstring url = AttributeText(element.get(), L"URL");
        anItem.Version = std::move(version);
        anItem.Url = std::move(url);
    } catch (...) {
    }
}

std::wstring UpdateArguments(const std::wstring& aUrl) {
    return L"/UPDATE \"" + aUrl + L"\"";
}

bool UpdateStartUsesRunAs(BYTE aWinVersionClass) noexcept {
    return aWinVersionClass >= 9;
}

void StartUpdateProcess(const std::wstring& anExe, const std::wstring& anArguments, bool aRunAs) noexcept {
    if (aRunAs)
        ShellExecuteRunAs(anExe, anArguments, nullptr, std::wstring());
    else
        ShellExecuteW(nullptr, L"open", anExe.c_str(), anArguments.c_str(), nullptr, SW_SHOWNORMAL);
}

void CheckForUpdateWith(const std::wstring& aBaseURL, const TUpdateLauncher& aLauncher) noexcept {
    try {
        if (!IsHitDue())
            return;
        std::uint32_t status = 0;
        std::wstring response;
        SendServiceRequestTo(aBaseURL, saHit, status, response);
        if (status != 200)
            return;
        TItem item;
        // The hit counts for the day whatever the answer holds.
        SYSTEMTIME now;
        GetLocalTime(&now);
        WriteStoreString(kLastHitValue, DateTimeToStoreText(now));
        ParseUpdateInfo(response, item);
        if (!item.Url.empty() && aLauncher)
            aLauncher(GetAppFileName(), UpdateArguments(item.Url), UpdateStartUsesRunAs(GetWinVersionClass()));
    } catch (...) {
    }
}

void CheckForUpdate() noexcept {
    try {
        CheckForUpdateWith(ServiceBaseURL(), StartUpdateProcess);
    } catch (...) {
    }
}
