#include "QVDetailsForm.h"

#include "../lib/FallbackU.h"

#include <commctrl.h>

#include <algorithm>

TDetailsForm::~TDetailsForm() {
    DestroyWnd();
}

void TDetailsForm::ShowText(const std::wstring& aText, const std::function<std::wstring()>& aSelfTest) noexcept {
    IgnoringFailure("TDetailsForm.ShowText", [&] {
        FSelfTest = aSelfTest;
        if (!Handle()) {
            WNDCLASSEXW wc{};
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
            wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
            wc.lpszClassName = L"TQuenvarDetails";
            if (!CreateWnd(wc, 0, L"Quenvar details", WS_OVERLAPPEDWINDOW))
                return;
            const UINT dpi = WindowDpi(Handle());
            SetWindowPos(Handle(), nullptr, 0, 0, ScaleToDpi(640, dpi), ScaleToDpi(440, dpi),
                         SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
            Arrange();
        }
        SetDlgItemTextW(Handle(), idDetailsText, aText.c_str());
        ShowWindow(Handle(), SW_SHOWNORMAL);
        SetForegroundWindow(Handle());
    });
}

void TDetailsForm::Arrange() noexcept {
    RECT client;
    GetClientRect(Handle(), &client);
    const UINT dpi = WindowDpi(Handle());
    const int margin = ScaleToDpi(10, dpi), buttonW = ScaleToDpi(110, dpi), buttonH = ScaleToDpi(26, dpi);
    const int buttonsTop = std::max(margin, static_cast<int>(client.bottom) - margin - buttonH);
    MoveWindow(GetDlgItem(Handle(), idDetailsText), margin, margin,
               std::max(0, static_cast<int>(client.right) - 2 * margin), std::max(0, buttonsTop - 2 * margin), TRUE);
    MoveWindow(GetDlgItem(Handle(), idDetailsTest), margin, buttonsTop, buttonW, buttonH, TRUE);
    MoveWindow(GetDlgItem(Handle(), idDetailsClose),
               std::max(margin, static_cast<int>(client.right) - margin - buttonW), buttonsTop, buttonW, buttonH, TRUE);
}

void TDetailsForm::ButTestClick() noexcept {
    IgnoringFailure("TDetailsForm.ButTestClick", [&] {
        SetDlgItemTextW(Handle(), idDetailsText, L"Running the self-test...");
        UpdateWindow(GetDlgItem(Handle(), idDetailsText));
        SetDlgItemTextW(Handle(), idDetailsText, FSelfTest().c_str());
    });
}

LRESULT TDetailsForm::OnCreate() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    const auto make = [&](const wchar_t* aClass, const wchar_t* aText, DWORD aStyle, int anId) {
        HWND control = CreateWindowExW(0, aClass, aText, WS_CHILD | WS_VISIBLE | aStyle, 0, 0, 0, 0, Handle(),
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(anId)), instance, nullptr);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    };
    make(WC_EDITW, L"", WS_BORDER | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, idDetailsText);
    make(WC_BUTTONW, L"Run self-test", WS_TABSTOP | BS_PUSHBUTTON, idDetailsTest);
    make(WC_BUTTONW, L"Close", WS_TABSTOP | BS_DEFPUSHBUTTON, idDetailsClose);
    return 0;
}

LRESULT TDetailsForm::OnSize() {
    Arrange();
    return 0;
}

LRESULT TDetailsForm::OnCommand(WPARAM wParam, LPARAM lParam) {
    if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == idDetailsClose)
        return OnClose();
    if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == idDetailsTest && FSelfTest) {
        ButTestClick();
        return 0;
    }
    return TWindowBase::WndProc(WM_COMMAND, wParam, lParam);
}

LRESULT TDetailsForm::OnClose() {
    ShowWindow(Handle(), SW_HIDE);
    return 0;
}

LRESULT TDetailsForm::WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam) {
    switch (aMsg) {
    case WM_CREATE:
        return OnCreate();
    case WM_SIZE:
        return OnSize();
    case WM_COMMAND:
        return OnCommand(wParam, lParam);
    case WM_CLOSE:
        return OnClose();
    }
    return TWindowBase::WndProc(aMsg, wParam, lParam);
}
