// Stand-ins for the settings store, date texts and instance messages until their units land here.
#pragma once
#include "QVConst.h"
#include <windows.h>
#include <shellapi.h>
#include <string>
#include "../lib/RegistryU.h"
inline std::wstring ReadStoreString(const std::wstring& n) {
    std::wstring s;
    ReadRegString(HKEY_CURRENT_USER, L"Software\\Quenvar\\", n, s);
    return s;
}
inline bool WriteStoreString(const std::wstring& n, const std::wstring& v) {
    return WriteRegString(HKEY_CURRENT_USER, L"Software\\Quenvar\\", n, v);
}
inline TLevel ReadLevel() {
    int v = 0;
    ReadRegDWord(HKEY_CURRENT_USER, L"Software\\Quenvar\\", L"Level", v);
    return v > 2 ? lMax : v < 0 ? lOff : TLevel(v);
}
inline void OpenProtectionPage(TLevel l) {
    ShellExecuteW(nullptr, L"open",
                  l == lOff ? L"http://www.quenvar.example/Protection-off.aspx"
                            : L"http://www.quenvar.example/Protection.aspx",
                  nullptr, nullptr, SW_SHOWNORMAL);
}
inline void NotifyRunningInstance() noexcept {
    try {
        HWND h = FindWindowW(nullptr, L"Quenvar");
        const UINT m = RegisterWindowMessageW(L"QV_MainWM");
        if (IsWindow(h) && m != 0)
            PostMessageW(h, m, 0, 0);
    } catch (...) {
    }
}
inline void CloseRunningInstance() noexcept {
    try {
        HWND h = FindWindowW(nullptr, L"Quenvar");
        if (!IsWindow(h))
            return;
        PostMessageW(h, WM_QUIT, 0, 0);
        Sleep(1000);
    } catch (...) {
    }
}
inline std::wstring DateTimeToText(const SYSTEMTIME& t) {
    wchar_t d[64], h[64];
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, d, 64);
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, h, 64);
    return std::wstring(d) + L" " + h;
}
inline bool TextToDateTime(const std::wstring& s, SYSTEMTIME& t) {
    int y, mo, d, h, mi, se;
    wchar_t ap[4] = {};
    if (swscanf(s.c_str(), L"%d/%d/%d %d:%d:%d %2ls", &mo, &d, &y, &h, &mi, &se, ap) < 6)
        return false;
    if (ap[0] == L'P' && h < 12)
        h += 12;
    if (ap[0] == L'A' && h == 12)
        h = 0;
    t = SYSTEMTIME{WORD(y), WORD(mo), 0, WORD(d), WORD(h), WORD(mi), WORD(se), 0};
    FILETIME f;
    return SystemTimeToFileTime(&t, &f);
}
