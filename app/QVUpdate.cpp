#include "QVUpdate.h"

#include "QVDateText.h"

#include "../lib/FallbackU.h"
#include "../lib/ComU.h"
#include "../lib/CryptU.h"
#include "../lib/FileU.h"
#include "../lib/HTTPU.h"
#include "../lib/HandleU.h"
#include "../lib/PathU.h"
#include "../lib/PlatformU.h"
#include "../lib/SafePathU.h"
#include "../lib/TextU.h"
#include "../lib/URLU.h"
#include "../lib/archive/ArchiveCABU.h"
#include "../lib/archive/ArchiveU.h"

#include <windows.h>
#include <exdisp.h>
#include <msxml2.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

const std::wstring kDefaultServiceURL = std::wstring(L"http://service.quenvar.example") + kServiceFolder.Wide;

namespace {

// Copies aSource over aDest with world access, once more when the first copy left no file behind;
// whether aDest exists afterwards.
bool CopyChecked(const std::wstring& aSource, const std::wstring& aDest) {
    if (!CopyFileTo(aSource, aDest, true, true) || !IsExistingFile(aDest))
        CopyFileTo(aSource, aDest, true, true);
    return IsExistingFile(aDest);
}

// Sets its flag when the scope ends, however it ends.
class TSetOnExit {
public:
    explicit TSetOnExit(std::atomic<bool>& aFlag) noexcept : FFlag(aFlag) {}
    ~TSetOnExit() { FFlag.store(true, std::memory_order_release); }
    TSetOnExit(const TSetOnExit&) = delete;
    TSetOnExit& operator=(const TSetOnExit&) = delete;

private:
    std::atomic<bool>& FFlag;
};

std::uint32_t SystemTickCount() {
    return GetTickCount();
}

// The local file a downloaded package's signature is kept in, beside the package.
std::wstring SignatureFileName(const std::wstring& aPackage) {
    return aPackage + kSignatureSuffix.Wide;
}

std::mutex KeyLock;
std::optional<TP256Point> KeyPoint;

// A call handed to another thread: run there, then signalled. Shared, so a waiter that gave up
// never leaves the other thread with a dangling record.
struct TThreadCall {
    std::function<void()> Call;
    TUniqueKernelHandle Done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

const UINT kThreadCallMessage = WM_APP + 0x2F1;

void RunThreadCall(LPARAM aParam) noexcept {
    std::unique_ptr<std::shared_ptr<TThreadCall>> call(reinterpret_cast<std::shared_ptr<TThreadCall>*>(aParam));
    // The waiting thread is released whatever the call did.
    IgnoringFailure("RunThreadCall", [&] { (*call)->Call(); });
    SetEvent((*call)->Done.get());
}

} // namespace

bool SetUpdatePublicKey(const std::uint8_t* aData, std::size_t aSize) {
    const std::optional<TP256Point> point = P256PointFromSubjectPublicKeyInfo(aData, aSize);
    std::lock_guard<std::mutex> guard(KeyLock);
    KeyPoint = point;
    return point.has_value();
}

std::optional<TP256Point> UpdatePublicKey() {
    std::lock_guard<std::mutex> guard(KeyLock);
    return KeyPoint;
}

std::wstring SuffixedFileName(const std::wstring& aFileName, const std::wstring& aSuffix) {
    const std::wstring extension = ExtractFileExt(aFileName);
    return aFileName.substr(0, aFileName.size() - extension.size()) + aSuffix + extension;
}

std::wstring DownloadFileName(const std::wstring& aURL) {
    // Only the path names a file: "http://host" has none, whatever the host is called.
    const std::wstring name = ExtractURLFileName(SplitURL(aURL).path);
    return IsPlainFileName(name) ? name : std::wstring();
}

std::wstring SignatureURL(const std::wstring& aURL) {
    return AppendToURLPath(aURL, kSignatureSuffix.Wide);
}

bool IsCabinetPackage(const std::wstring& aFileName) {
    return SameTextAscii(ExtractFileExt(aFileName), L".cab");
}

TDownload::TDownload(const std::wstring& URL, const std::wstring& Target, std::uint32_t aTimeoutMs)
    : FURL(URL), FTarget(Target), FTimeoutMs(aTimeoutMs) {
    Start();
}

TDownload::~TDownload() {
    WaitFor();
}

void TDownload::Execute() {
    // Whatever happens below, and however it ends, the creator learns that the thread is done;
    // bSucceeded stays false unless the final check set it.
    const TSetOnExit done(bDone);
    SetFreeOnTerminate(false);
    if (IsExistingFile(FTarget))
        ForceDeleteFile(FTarget);
    TFileWriter writer;
    if (!writer.Open(FTarget))
        return;
    THTTPGet http(nullptr);
    http.HTTPProgressEvent = [this](THTTPGet* aSender, std::uint32_t aReaded, std::uint32_t aTotal) {
        HTTPProgress(aSender, aReaded, aTotal);
    };
    http.HTTPFinishEvent = [this](THTTPGet* aSender) { HTTPFinish(aSender); };
    http.StreamWriter = &writer;
    http.Settings().TimeoutMs = FTimeoutMs;
    http.SetURL(FURL);
    FHTTP = &http;
    const bool ok = http.Execute();
    writer.Close();
    if (!ok)
        ForceDeleteFile(FTarget);
    CheckResult(true);
    FHTTP = nullptr;
}

void TDownload::CheckResult(bool aFinal) {
    if (!FHTTP)
        return;
    if (Terminated()) {
        FHTTP->Terminate(0);
        return;
    }
    if (aFinal)
        bSucceeded.store(FHTTP->ErrorCode() == 0 && FHTTP->StatusCode() == 200 &&
                             FileSizeByName(FTarget) == static_cast<std::int64_t>(FTotalSize),
                         std::memory_order_release);
}

void TDownload::HTTPProgress(THTTPGet*, std::uint32_t aReaded, std::uint32_t aTotalSize) {
    FTotalSize = aTotalSize;
    FReaded = aReaded;
    CheckResult(false);
}

void TDownload::HTTPFinish(THTTPGet*) {
    FReaded = FTotalSize;
    CheckResult(false);
}

TUpdateEnvironment::TUpdateEnvironment()
    : AppDir(GetAppDir()), UpdateDir(AppDir + L"Update"), PublicKey(UpdatePublicKey()), Restart(RestartApplication) {}

TUpdateThread::TUpdateThread(bool ASilent, std::unique_ptr<TItem> AItem, bool AFreeOnTerminate)
    : TUpdateThread(ASilent, std::move(AItem), AFreeOnTerminate, TUpdateEnvironment()) {}

TUpdateThread::TUpdateThread(bool ASilent, std::unique_ptr<TItem> AItem, bool AFreeOnTerminate,
                             TUpdateEnvironment anEnvironment)
    : FSilent(ASilent), FCreatorThreadID(GetCurrentThreadId()), FEnvironment(std::move(anEnvironment)) {
    if (AItem) {
        // Trimmed here, once: every later step reads the address as it is.
        AItem->Url = TrimBlanks(AItem->Url);
        FFiles.push_back(std::move(AItem));
    }
    SetFreeOnTerminate(AFreeOnTerminate);
    Start();
}

TUpdateThread::~TUpdateThread() {
    // The items are released only after the thread that reads them has ended.
    WaitFor();
}

bool TUpdateThread::Download(const std::wstring& aURL, const std::wstring& aTarget) {
    TDownload download(aURL, aTarget);
    while (!download.bDone.load(std::memory_order_acquire)) {
        if (Terminated())
            download.Terminate();
        Delay(50);
    }
    if (download.bSucceeded.load(std::memory_order_acquire))
        return true;
    // A complete answer that failed the status or size test stays on disk; nothing of it is used.
    ForceDeleteFile(aTarget);
    return false;
}

bool TUpdateThread::DownloadPackages() {
    for (const auto& item : FFiles) {
        const std::wstring name = DownloadFileName(item->Url);
        if (item->Url.empty() || name.empty())
            continue;
        const std::wstring target = FEnvironment.UpdateDir + L"\\" + name;
        if (!Download(item->Url, target) || !Download(SignatureURL(item->Url), SignatureFileName(target))) {
            ForceDeleteFile(target);
            return false;
        }
        item->FileName = target;
    }
    return true;
}

bool TUpdateThread::PackagesVerified() const {
    for (const auto& item : FFiles)
        if (!item->FileName.empty() &&
            !VerifyFileSignature(item->FileName, SignatureFileName(item->FileName), *FEnvironment.PublicKey))
            return false;
    return true;
}

void TUpdateThread::DiscardDownloads() {
    for (const auto& item : FFiles) {
        if (item->FileName.empty())
            continue;
        ForceDeleteFile(item->FileName);
        ForceDeleteFile(SignatureFileName(item->FileName));
        item->FileName.clear();
    }
}

void TUpdateThread::Execute() {
    // Whatever happens below, and however it ends, the creator learns that the thread is done.
    const TSetOnExit done(bDone);
    FUpdateInstalled = false;
    // A build without the publisher's key can check no package, so it fetches none.
    if (FFiles.empty() || !FEnvironment.PublicKey)
        return;
    ForceDirectoriesEx(FEnvironment.UpdateDir, false);
    // Nothing is installed unless every package was downloaded and carries a valid signature.
    if (!DownloadPackages() || !PackagesVerified()) {
        DiscardDownloads();
        return;
    }
    for (const auto& item : FFiles) {
        if (item->FileName.empty())
            continue;
        InstallFile(item->FileName);
        ForceDeleteFile(SignatureFileName(item->FileName));
    }
    if (!FUpdateInstalled)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    WriteStoreString(L"LastUpdate", DateTimeToStoreText(now));
    if (FEnvironment.Restart)
        RunOnThread(FCreatorThreadID, FEnvironment.Restart);
}

std::optional<TStrings> TUpdateThread::ExtractCabinet(const std::wstring& aPath) const {
    const std::wstring& updateDir = FEnvironment.UpdateDir;
    // The program's start-up registers the handler too; a program that links this unit without
    // the program body must not depend on that.
    RegisterCABArchive();
    TArchive archive(aPath);
    archive.SetArchiveType(1);
    TStrings names;
    bool complete =
        archive.LoadArchiveContents(&names) && archive.DecompressToDir(updateDir + L"\\", std::wstring(), true);
    // Entry names come from the package: only names that stay inside the update folder are used,
    // so no file elsewhere can be copied into the program folder and then deleted.
    TStrings entries;
    for (const std::wstring& name : names) {
        const std::wstring e = TrimBlanks(name);
        if (e.empty() || !IsSafeRelativePath(e))
            continue;
        entries.push_back(updateDir + L"\\" + e);
        complete = complete && IsExistingFile(entries.back());
    }
    if (complete)
        return entries;
    for (const std::wstring& e : entries)
        if (IsExistingFile(e))
            ForceDeleteFile(e);
    return std::nullopt;
}

void TUpdateThread::InstallFile(const std::wstring& aPath) {
    if (!IsExistingFile(aPath))
        return;
    const std::optional<TStrings> entries = IsCabinetPackage(aPath) ? ExtractCabinet(aPath) : TStrings{aPath};
    if (entries)
        for (const std::wstring& e : *entries)
            InstallEntry(e);
    ForceDeleteFile(aPath);
}

void TUpdateThread::InstallEntry(const std::wstring& anEntry) {
    const std::wstring target = FEnvironment.AppDir + ExtractFileName(anEntry);
    const std::wstring old = SuffixedFileName(target, L".old");
    if (IsExistingFile(target)) {
        ForceDeleteFile(old);
        MoveFileW(target.c_str(), old.c_str());
        Delay(200);
    }
    if (IsExistingFile(target)) {
        // In use and not even renamable: the new version waits for the next system start.
        const std::wstring next = SuffixedFileName(target, L".new");
        if (IsExistingFile(next))
            ForceDeleteFile(next);
        if (CopyChecked(anEntry, next)) {
            ForceDeleteFile(anEntry);
            MoveFileOnRestart(next, target);
        } else {
            CopyFileTo(old, next, true, false);
        }
    } else if (CopyChecked(anEntry, target)) {
        ForceDeleteFile(anEntry);
    } else if (!CopyFileTo(old, target, true, false) && IsExistingFile(old)) {
        // The previous version goes back under its name, by moving it when no copy can be made:
        // the program folder is never left without the installed file.
        MoveFileW(old.c_str(), target.c_str());
    }
    FUpdateInstalled = true;
    DeleteFileOnRestart(old);
}

namespace {

// Starts aFile through the shell that runs the desktop (Explorer's IShellDispatch2::ShellExecute),
// so that it runs as the desktop's user, unelevated, whatever this process's token. False when
// no such shell answers (no Explorer, another session's desktop).
bool ShellExecuteAsDesktopUser(const std::wstring& aFile) {
    const TComScope com(kShellComFlags);
    TComPtr<IShellWindows> windows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                reinterpret_cast<void**>(windows.put()))))
        return false;
    TVariant none;
    long window = 0;
    TComPtr<IDispatch> desktop;
    if (windows.get()->FindWindowSW(none.get(), none.get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, desktop.put()) !=
            S_OK ||
        !desktop)
        return false;
    TComPtr<IServiceProvider> services;
    TComPtr<IShellBrowser> browser;
    TComPtr<IShellView> view;
    TComPtr<IDispatch> background;
    TComPtr<IShellFolderViewDual> folderView;
    TComPtr<IDispatch> application;
    TComPtr<IShellDispatch2> shell;
    if (FAILED(desktop.get()->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(services.put()))) ||
        FAILED(services.get()->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                            reinterpret_cast<void**>(browser.put()))) ||
        FAILED(browser.get()->QueryActiveShellView(view.put())) ||
        FAILED(
            view.get()->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, reinterpret_cast<void**>(background.put()))) ||
        FAILED(
            background.get()->QueryInterface(IID_IShellFolderViewDual, reinterpret_cast<void**>(folderView.put()))) ||
        FAILED(folderView.get()->get_Application(application.put())) ||
        FAILED(application.get()->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void**>(shell.put()))))
        return false;
    const TUniqueBstr file(SysAllocString(aFile.c_str()));
    return file && SUCCEEDED(shell.get()->ShellExecute(file.get(), *none, *none, *none, *none));
}

} // namespace

void RestartApplication() noexcept {
    IgnoringFailure("RestartApplication", [&] {
        CloseRunningInstance();
        // The updater runs elevated: a window it started would be elevated too, and messages from
        // normal processes (TaskbarCreated, the show message, /stop) would not reach it. The
        // desktop's shell starts it as the desktop's user; a plain start is the fall-back.
        if (!IsProcessElevated(GetCurrentProcess()) || !ShellExecuteAsDesktopUser(GetAppFileName()))
            ShellExecuteW(nullptr, L"open", GetAppFileName().c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        PostQuitMessage(0);
        Delay(1000);
    });
}

void PumpMessagesUntil(const std::atomic<bool>& aDone, HANDLE aWake) {
    MSG msg;
    while (!aDone.load(std::memory_order_acquire)) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == nullptr && msg.message == kThreadCallMessage) {
                RunThreadCall(msg.lParam);
                continue;
            }
            // A quit request (the restart asks for one) does not end the wait: the worker's
            // bDone does.
            if (msg.message == WM_QUIT)
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (aDone.load(std::memory_order_acquire))
            break;
        const DWORD count = aWake ? 1 : 0;
        MsgWaitForMultipleObjectsEx(count, count ? &aWake : nullptr, 100, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

void RunOnThread(DWORD aThreadID, const std::function<void()>& aCall) {
    if (aThreadID == GetCurrentThreadId()) {
        aCall();
        return;
    }
    auto call = std::make_shared<TThreadCall>();
    call->Call = aCall;
    // The message carries its own reference; RunThreadCall takes it over. A message that is never
    // processed (the thread ended first) leaves that one record behind.
    auto* message = new std::shared_ptr<TThreadCall>(call);
    if (!call->Done || !PostThreadMessageW(aThreadID, kThreadCallMessage, 0, reinterpret_cast<LPARAM>(message))) {
        delete message;
        aCall();
        return;
    }
    // Bounded, so a thread that stopped processing messages cannot hold this one forever.
    WaitForSingleObject(call->Done.get(), 60000);
}

std::wstring ServiceRequestURL(std::uint8_t Action, const TCfgWS& aCfg, const std::wstring& aBaseURL) {
    if (Action > saUninstall)
        return std::wstring();
    const auto action = static_cast<TServiceAction>(Action);
    TCryptURL crypt(true);
    crypt.TickSource = SystemTickCount;
    crypt.SetParameters(kTokenCFG.Wide, aCfg.CFG);
    crypt.SetParameters(kTokenUID.Wide, aCfg.UID);
    if (action == saHit) {
        crypt.SetParameters(kTokenVER.Wide, aCfg.VER);
        crypt.SetParameters(kTokenCLS.Wide, aCfg.CLS);
    }
    crypt.SetParameters(kTokenSUBID.Wide, aCfg.SUBID);
    // The token's alphabet needs no escaping in a query.
    std::wstring url = aBaseURL + ServiceOperation(action).Wide + L'?' + kFieldToken.Wide + L'=' + crypt.Encrypt();
    if (const TServiceWord* word = ServiceActionWord(action))
        url = url + L'&' + kFieldAction.Wide + L'=' + word->Wide;
    return url;
}

std::wstring ServiceBaseURL() {
    return GetConfigValue(L"HIT_URL", kDefaultServiceURL);
}

void SendServiceRequest(std::uint8_t Action, std::uint32_t& aStatusCode, std::wstring& aResponse) {
    SendServiceRequestTo(ServiceBaseURL(), Action, aStatusCode, aResponse);
}

void SendServiceRequestTo(const std::wstring& aBaseURL, std::uint8_t Action, std::uint32_t& aStatusCode,
                          std::wstring& aResponse, std::uint32_t aTimeoutMs) {
    aResponse.clear();
    if (Action > saUninstall) {
        aStatusCode = 0;
        return;
    }
    const TCfgWS cfg;
    const std::wstring url = ServiceRequestURL(Action, cfg, aBaseURL);
    THTTPSettings settings;
    settings.TimeoutMs = aTimeoutMs;
    aResponse = HTTPPostURL(url, &settings, nullptr, &aStatusCode);
}

std::uint32_t SendServiceReportTo(const std::wstring& aBaseURL, std::uint8_t Action, std::uint32_t aBudgetMs) {
    if (Action > saUninstall)
        return 0;
    std::wstring url = ServiceRequestURL(Action, TCfgWS(), aBaseURL);
    std::promise<std::uint32_t> received;
    std::future<std::uint32_t> status = received.get_future();
    // The thread owns everything it touches, so the caller may return (and the process end) while
    // it still waits on the network.
    std::thread([url = std::move(url), aBudgetMs, received = std::move(received)]() mutable noexcept {
        IgnoringFailure("SendServiceReport", [&] {
            std::uint32_t code = 0;
            THTTPSettings settings;
            settings.TimeoutMs = aBudgetMs;
            HTTPPostURL(url, &settings, nullptr, &code);
            received.set_value(code);
        });
    }).detach();
    // A thread that raised leaves a broken promise: no status.
    return ResultOr<std::uint32_t>("SendServiceReport", 0, [&] {
        return status.wait_for(std::chrono::milliseconds(aBudgetMs)) == std::future_status::ready ? status.get() : 0;
    });
}

std::uint32_t SendServiceReport(std::uint8_t Action, std::uint32_t aBudgetMs) {
    return SendServiceReportTo(ServiceBaseURL(), Action, aBudgetMs);
}

// ---- The daily hit and the update check ----

namespace {

const wchar_t kLastHitValue[] = L"LastHit";

// MinGW's import libraries lack this interface identifier.
const IID kIID_IXMLDOMDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

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
    return AsciiUpper(aText).find(L"<!DOCTYPE") != std::wstring::npos;
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
    return ResultOr<bool>("IsHitDue", true, [&]() -> bool {
        const std::wstring text = ReadStoreString(kLastHitValue);
        if (text.empty())
            return true;
        const std::optional<SYSTEMTIME> last = StoreTextToDateTime(text);
        if (!last)
            return true;
        SYSTEMTIME now;
        GetLocalTime(&now);
        return !SameDay(*last, now);
    });
}

void ParseUpdateInfo(const std::wstring& aXML, TItem& anItem) noexcept {
    IgnoringFailure("ParseUpdateInfo", [&] {
        if (aXML.empty() || aXML.size() > kMaxUpdateInfoLength || DeclaresDocumentType(aXML))
            return;
        const TComScope com;
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
        const TComPtr<IXMLDOMNode> vers = FirstChildElement(root.get(), kInfoVersions.Wide);
        if (!vers)
            return;
        const TComPtr<IXMLDOMNode> ver = FirstChildElement(vers.get(), kInfoVersion.Wide);
        if (!ver)
            return;
        TComPtr<IXMLDOMElement> element;
        if (FAILED(ver.get()->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.put()))) || !element)
            return;
        std::wstring version = AttributeText(element.get(), kInfoVersionNumber.Wide);
        std::wstring url = AttributeText(element.get(), kInfoURL.Wide);
        anItem.Version = std::move(version);
        anItem.Url = std::move(url);
    });
}

std::wstring UpdateArguments(const std::wstring& aUrl) {
    return L"/UPDATE \"" + aUrl + L"\"";
}

bool UpdateStartUsesRunAs(BYTE aWinVersionClass) noexcept {
    return aWinVersionClass >= 9;
}

void StartUpdateProcess(const std::wstring& anExe, const std::wstring& anArguments, bool aRunAs) noexcept {
    const TComScope com(kShellComFlags);
    if (aRunAs)
        ShellExecuteRunAs(anExe, anArguments, nullptr, std::wstring());
    else
        ShellExecuteW(nullptr, L"open", anExe.c_str(), anArguments.c_str(), nullptr, SW_SHOWNORMAL);
}

void CheckForUpdateWith(const std::wstring& aBaseURL, const TUpdateLauncher& aLauncher) noexcept {
    IgnoringFailure("CheckForUpdateWith", [&] {
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
    });
}

void CheckForUpdate() noexcept {
    IgnoringFailure("CheckForUpdate", [&] { CheckForUpdateWith(ServiceBaseURL(), StartUpdateProcess); });
}
