// The yardstick for the main window's start-up: a Win32 program built the same way (static
// runtime, common controls) that shows one window of the same size with a few labels, a trackbar
// and a button, and runs a message loop until it is closed.
#include <windows.h>
#include <commctrl.h>

namespace {

LRESULT CALLBACK Procedure(HWND aWnd, UINT aMsg, WPARAM wParam, LPARAM lParam) {
    if (aMsg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(aWnd, aMsg, wParam, lParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE anInstance, HINSTANCE, PWSTR, int) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = Procedure;
    wc.hInstance = anInstance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"MinimalWindow";
    RegisterClassExW(&wc);
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"Minimal window", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 885, 614, nullptr, nullptr, anInstance, nullptr);
    for (int i = 0; i < 6; ++i)
        CreateWindowExW(0, WC_STATICW, L"A label of the window", WS_CHILD | WS_VISIBLE, 20, 20 + 30 * i, 400, 24,
                        window, nullptr, anInstance, nullptr);
    CreateWindowExW(0, TRACKBAR_CLASSW, L"", WS_CHILD | WS_VISIBLE | TBS_VERT, 92, 240, 45, 237, window, nullptr,
                    anInstance, nullptr);
    CreateWindowExW(0, WC_BUTTONW, L"Apply", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 784, 560, 79, 25, window, nullptr,
                    anInstance, nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
