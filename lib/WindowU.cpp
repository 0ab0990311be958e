#include "WindowU.h"

#include "FallbackU.h"

#include "RegistryU.h"

#include <algorithm>

namespace {

template <typename F> F SystemProc(const wchar_t* aModule, const char* aName) noexcept {
    HMODULE module = GetModuleHandleW(aModule);
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, aName))) : nullptr;
}

} // namespace

TWindowBase::~TWindowBase() {
    if (FHandle) {
        SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
        HWND wnd = FHandle;
        FHandle = nullptr;
        DestroyWindow(wnd);
    }
}

bool TWindowBase::CreateWnd(WNDCLASSEXW aClass, DWORD anExStyle, const wchar_t* aCaption, DWORD aStyle) noexcept {
    aClass.cbSize = sizeof(aClass);
    aClass.lpfnWndProc = StaticWndProc;
    if (!aClass.hInstance)
        aClass.hInstance = GetModuleHandleW(nullptr);
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (!GetClassInfoExW(aClass.hInstance, aClass.lpszClassName, &existing) && !RegisterClassExW(&aClass))
        return false;
    return CreateWindowExW(anExStyle, aClass.lpszClassName, aCaption, aStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, aClass.hInstance, this) != nullptr;
}

void TWindowBase::DestroyWnd() noexcept {
    if (FHandle)
        DestroyWindow(FHandle);
}

LRESULT TWindowBase::WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(FHandle, aMsg, wParam, lParam);
}

LRESULT CALLBACK TWindowBase::StaticWndProc(HWND aWnd, UINT aMsg, WPARAM wParam, LPARAM lParam) noexcept {
    auto* self = reinterpret_cast<TWindowBase*>(GetWindowLongPtrW(aWnd, GWLP_USERDATA));
    if (aMsg == WM_NCCREATE) {
        self = static_cast<TWindowBase*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->FHandle = aWnd;
        SetWindowLongPtrW(aWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    if (!self)
        return DefWindowProcW(aWnd, aMsg, wParam, lParam);
    LRESULT result = 0;
    try {
        result = self->WndProc(aMsg, wParam, lParam);
    } catch (...) {
        NoteCurrentSwallowed("TWindowBase.StaticWndProc");
        result = DefWindowProcW(aWnd, aMsg, wParam, lParam);
    }
    if (aMsg == WM_NCDESTROY) {
        SetWindowLongPtrW(aWnd, GWLP_USERDATA, 0);
        self->FHandle = nullptr;
    }
    return result;
}

UINT UsableDpi(UINT aDpi) noexcept {
    return aDpi >= USER_DEFAULT_SCREEN_DPI && aDpi <= kMaxUsableDpi ? aDpi : USER_DEFAULT_SCREEN_DPI;
}

UINT WindowDpi(HWND aWnd) noexcept {
    using TGetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = SystemProc<TGetDpiForWindow>(L"user32.dll", "GetDpiForWindow");
    if (getDpiForWindow && aWnd) {
        const UINT dpi = getDpiForWindow(aWnd);
        if (dpi)
            return UsableDpi(dpi);
    }
    TWindowDC dc(nullptr);
    const int dpi = dc ? GetDeviceCaps(dc.get(), LOGPIXELSY) : 0;
    return UsableDpi(dpi > 0 ? static_cast<UINT>(dpi) : 0);
}

int ScaleToDpi(int aValue, UINT aDpi) noexcept {
    return MulDiv(aValue, static_cast<int>(aDpi), USER_DEFAULT_SCREEN_DPI);
}

int SystemMetricForDpi(int anIndex, UINT aDpi) noexcept {
    using TGetSystemMetricsForDpi = int(WINAPI*)(int, UINT);
    static const auto forDpi = SystemProc<TGetSystemMetricsForDpi>(L"user32.dll", "GetSystemMetricsForDpi");
    return forDpi ? forDpi(anIndex, aDpi) : GetSystemMetrics(anIndex);
}

SIZE WindowSizeForClient(int aClientWidth, int aClientHeight, DWORD aStyle, DWORD anExStyle, UINT aDpi) noexcept {
    using TAdjustForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = SystemProc<TAdjustForDpi>(L"user32.dll", "AdjustWindowRectExForDpi");
    RECT r{0, 0, aClientWidth, aClientHeight};
    if (!adjustForDpi || !adjustForDpi(&r, aStyle, FALSE, anExStyle, aDpi))
        AdjustWindowRectEx(&r, aStyle, FALSE, anExStyle);
    return SIZE{r.right - r.left, r.bottom - r.top};
}

SIZE WindowFrameSize(HWND aWnd) noexcept {
    RECT outer{}, client{};
    if (!GetWindowRect(aWnd, &outer) || !GetClientRect(aWnd, &client))
        return SIZE{0, 0};
    return SIZE{(outer.right - outer.left) - client.right, (outer.bottom - outer.top) - client.bottom};
}

namespace {

RECT WorkAreaOfMonitor(HMONITOR aMonitor) noexcept {
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (aMonitor && GetMonitorInfoW(aMonitor, &info))
        return info.rcWork;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

} // namespace

RECT WorkAreaOf(HWND aWnd) noexcept {
    return WorkAreaOfMonitor(MonitorFromWindow(aWnd, MONITOR_DEFAULTTONEAREST));
}

RECT WorkAreaOf(const RECT& aRect) noexcept {
    return WorkAreaOfMonitor(MonitorFromRect(&aRect, MONITOR_DEFAULTTONEAREST));
}

RECT CentredRect(SIZE aSize, const RECT& anArea) noexcept {
    const LONG areaWidth = anArea.right - anArea.left, areaHeight = anArea.bottom - anArea.top;
    const LONG width = std::max(0L, std::min(aSize.cx, areaWidth));
    const LONG height = std::max(0L, std::min(aSize.cy, areaHeight));
    const LONG left = anArea.left + (areaWidth - width) / 2, top = anArea.top + (areaHeight - height) / 2;
    return RECT{left, top, left + width, top + height};
}

bool RectInside(const RECT& aRect, const RECT& anArea) noexcept {
    return aRect.left >= anArea.left && aRect.top >= anArea.top && aRect.right <= anArea.right &&
           aRect.bottom <= anArea.bottom;
}

UINT LargestFittingDpi(UINT aDpi, UINT aMinDpi, SIZE anAvailable, const std::function<SIZE(UINT)>& aSizeAt) {
    auto fits = [&](const SIZE& aSize) { return aSize.cx <= anAvailable.cx && aSize.cy <= anAvailable.cy; };
    if (aDpi <= aMinDpi)
        return aMinDpi;
    UINT dpi = aDpi;
    UINT tooLarge = 0; // the smallest DPI seen not to fit
    for (;;) {
        const SIZE need = aSizeAt(dpi);
        if (fits(need))
            break;
        tooLarge = dpi;
        if (dpi == aMinDpi)
            return aMinDpi;
        // Sizes grow about in proportion to the DPI: try the DPI that proportion gives, and at
        // least one less.
        double ratio = 1.0;
        if (need.cx > anAvailable.cx)
            ratio = std::min(ratio, need.cx > 0 ? static_cast<double>(anAvailable.cx) / need.cx : 0.0);
        if (need.cy > anAvailable.cy)
            ratio = std::min(ratio, need.cy > 0 ? static_cast<double>(anAvailable.cy) / need.cy : 0.0);
        const UINT guess = ratio > 0.0 ? static_cast<UINT>(dpi * ratio) : aMinDpi;
        dpi = std::max(aMinDpi, std::min(guess, dpi - 1));
    }
    // The guess may fall short of the largest fitting DPI: search the gap above it.
    if (tooLarge == 0)
        return dpi;
    UINT low = dpi, high = tooLarge;
    while (high - low > 1) {
        const UINT middle = low + (high - low) / 2;
        if (fits(aSizeAt(middle)))
            low = middle;
        else
            high = middle;
    }
    return low;
}

UINT TextScalePercent() noexcept {
    int percent = 0;
    if (!ReadRegDWord(HKEY_CURRENT_USER, L"Software\\Microsoft\\Accessibility", L"TextScaleFactor", percent) ||
        percent <= 0)
        return 100;
    return static_cast<UINT>(std::clamp(percent, 100, 225));
}

SIZE MeasureText(HDC aDC, HFONT aFont, const std::wstring& aText, int aWrapWidth) noexcept {
    if (!aDC)
        return SIZE{0, 0};
    const TSelectObject font(aDC, aFont);
    RECT r{0, 0, aWrapWidth, 0};
    UINT format = DT_CALCRECT | DT_LEFT | DT_EXPANDTABS | DT_NOPREFIX;
    format |= aWrapWidth > 0 ? DT_WORDBREAK : DT_SINGLELINE;
    DrawTextW(aDC, aText.empty() ? L" " : aText.c_str(), -1, &r, format);
    return SIZE{r.right - r.left, r.bottom - r.top};
}
