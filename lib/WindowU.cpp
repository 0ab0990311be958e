#include "WindowU.h"

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
        result = DefWindowProcW(aWnd, aMsg, wParam, lParam);
    }
    if (aMsg == WM_NCDESTROY) {
        SetWindowLongPtrW(aWnd, GWLP_USERDATA, 0);
        self->FHandle = nullptr;
    }
    return result;
}

UINT WindowDpi(HWND aWnd) noexcept {
    using TGetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = SystemProc<TGetDpiForWindow>(L"user32.dll", "GetDpiForWindow");
    if (getDpiForWindow && aWnd) {
        const UINT dpi = getDpiForWindow(aWnd);
        if (dpi)
            return dpi;
    }
    HDC dc = GetDC(nullptr);
    const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
    if (dc)
        ReleaseDC(nullptr, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

int ScaleToDpi(int aValue, UINT aDpi) noexcept {
    return MulDiv(aValue, static_cast<int>(aDpi), USER_DEFAULT_SCREEN_DPI);
}

SIZE WindowSizeForClient(int aClientWidth, int aClientHeight, DWORD aStyle, DWORD anExStyle, UINT aDpi) noexcept {
    using TAdjustForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjustForDpi = SystemProc<TAdjustForDpi>(L"user32.dll", "AdjustWindowRectExForDpi");
    RECT r{0, 0, aClientWidth, aClientHeight};
    if (!adjustForDpi || !adjustForDpi(&r, aStyle, FALSE, anExStyle, aDpi))
        AdjustWindowRectEx(&r, aStyle, FALSE, anExStyle);
    return SIZE{r.right - r.left, r.bottom - r.top};
}
