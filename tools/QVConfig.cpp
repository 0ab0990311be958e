// The vendor's configuration tool. Partner builds differ only in the "CONFIG" resource; this
// writes one into a copy of Quenvar.exe and shows the one an executable carries.
//
//   QVConfig show EXE
//   QVConfig write SOURCE TARGET CFG_ID HIT_URL
//
// Exit codes: 0 done, 1 bad command line or values, 2 the files could not be read or written.
#include "HandleU.h"
#include "QVSupport.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

const wchar_t kUsage[] = L"usage: QVConfig show EXE\n"
                         L"       QVConfig write SOURCE TARGET CFG_ID HIT_URL\n"
                         L"HIT_URL is the service base URL: http:// or https://, ending with \"/\".\n";

void Write(DWORD aStream, const std::wstring& aText) {
    const HANDLE out = GetStdHandle(aStream);
    DWORD mode = 0;
    DWORD written = 0;
    // A console takes the text as it is; a file or pipe gets UTF-8.
    if (GetFileType(out) == FILE_TYPE_CHAR && GetConsoleMode(out, &mode) &&
        WriteConsoleW(out, aText.data(), static_cast<DWORD>(aText.size()), &written, nullptr))
        return;
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), bytes.data(), n, nullptr, nullptr);
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int Fail(int aCode, const std::wstring& aMessage) {
    Write(STD_ERROR_HANDLE, L"QVConfig: " + aMessage + L"\n");
    return aCode;
}

std::wstring LastErrorText() {
    return L"error " + std::to_wstring(GetLastError());
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD aLanguage, LONG_PTR aList) {
    reinterpret_cast<std::vector<WORD>*>(aList)->push_back(aLanguage);
    return TRUE;
}

// The languages under which anExe carries a "CONFIG" resource (none when it cannot be read).
std::vector<WORD> ConfigLanguages(const std::wstring& anExe) {
    std::vector<WORD> languages;
    TUniqueModule module(LoadLibraryExW(anExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (module)
        EnumResourceLanguagesW(module.get(), RT_RCDATA, L"CONFIG", CollectLanguage,
                               reinterpret_cast<LONG_PTR>(&languages));
    return languages;
}

bool HasControlOrBlank(const std::wstring& aText) {
    for (wchar_t c : aText)
        if (c <= L' ' || c == 0x7F)
            return true;
    return false;
}

bool StartsWithNoCase(const std::wstring& aText, const std::wstring& aPrefix) {
    return aText.size() >= aPrefix.size() &&
           CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, aText.c_str(), static_cast<int>(aPrefix.size()),
                          aPrefix.c_str(), static_cast<int>(aPrefix.size())) == CSTR_EQUAL;
}

// The text in the ANSI code page, which is how the program reads a configuration without a
// byte-order mark; false when a character has no equivalent there.
bool ToAnsi(const std::wstring& aText, std::string& aBytes) {
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, aText.data(), static_cast<int>(aText.size()),
                                      nullptr, 0, nullptr, &lossy);
    if (n <= 0 || lossy)
        return false;
    aBytes.assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, aText.data(), static_cast<int>(aText.size()), aBytes.data(), n,
                        nullptr, nullptr);
    return true;
}

int Show(const std::wstring& anExe) {
    TUniqueModule module(LoadLibraryExW(anExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module)
        return Fail(2, L"cannot read " + anExe + L" (" + LastErrorText() + L")");
    HRSRC info = FindResourceW(module.get(), L"CONFIG", RT_RCDATA);
    HGLOBAL data = info ? LoadResource(module.get(), info) : nullptr;
    const void* bytes = data ? LockResource(data) : nullptr;
    if (!bytes)
        return Fail(2, anExe + L" carries no CONFIG resource");
    const std::string text(static_cast<const char*>(bytes), SizeofResource(module.get(), info));
    std::wstring out;
    for (const std::wstring& line : ConfigLines(text))
        out += line + L"\n";
    Write(STD_OUTPUT_HANDLE, out);
    return 0;
}

int WriteConfig(const std::wstring& aSource, const std::wstring& aTarget, const std::wstring& aCfgId,
                const std::wstring& aHitUrl) {
    if (aCfgId.empty() || HasControlOrBlank(aCfgId))
        return Fail(1, L"CFG_ID must be one word without blanks or control characters");
    if (aHitUrl.empty() || HasControlOrBlank(aHitUrl) || aHitUrl.back() != L'/' ||
        !(StartsWithNoCase(aHitUrl, L"http://") || StartsWithNoCase(aHitUrl, L"https://")))
        return Fail(1, L"HIT_URL must be an http:// or https:// URL without blanks, ending with \"/\"");
    std::string content;
    if (!ToAnsi(L"CFG_ID=" + aCfgId + L"\r\nHIT_URL=" + aHitUrl + L"\r\n", content))
        return Fail(1, L"the values must be representable in the ANSI code page");

    const std::vector<WORD> languages = ConfigLanguages(aSource);
    if (!CopyFileW(aSource.c_str(), aTarget.c_str(), FALSE))
        return Fail(2, L"cannot copy " + aSource + L" to " + aTarget + L" (" + LastErrorText() + L")");
    HANDLE update = BeginUpdateResourceW(aTarget.c_str(), FALSE);
    if (!update)
        return Fail(2, L"cannot open " + aTarget + L" for resource updates (" + LastErrorText() + L")");
    // One configuration only: every other language copy goes, the first is replaced.
    const WORD language = languages.empty() ? MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL) : languages.front();
    bool ok = true;
    for (size_t i = 1; i < languages.size(); ++i)
        ok = ok && UpdateResourceW(update, RT_RCDATA, L"CONFIG", languages[i], nullptr, 0);
    ok = ok &&
         UpdateResourceW(update, RT_RCDATA, L"CONFIG", language, content.data(), static_cast<DWORD>(content.size()));
    if (!EndUpdateResourceW(update, ok ? FALSE : TRUE) || !ok)
        return Fail(2, L"cannot write the CONFIG resource of " + aTarget + L" (" + LastErrorText() + L")");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == L"show")
        return Show(args[1]);
    if (args.size() == 5 && args[0] == L"write")
        return WriteConfig(args[1], args[2], args[3], args[4]);
    Write(STD_ERROR_HANDLE, kUsage);
    return 1;
}
