#include "UIDriver.h"

#include "QVMainForm.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <cstdio>
#include <cstring>

namespace {

const wchar_t kFormClass[] = L"TQuenvarMainForm";

} // namespace

bool WaitFor(const std::function<bool()>& aCondition, DWORD aTimeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (aCondition())
            return true;
        if (GetTickCount() - start >= aTimeoutMs)
            return false;
        Sleep(50);
    }
}

std::vector<HWND> MainWindows(DWORD aPid) {
    std::vector<HWND> result;
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, kFormClass, L"Quenvar")) != nullptr) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        // A test's own decoy of the class is never one of them.
        if ((aPid == 0 || pid == aPid) && pid != GetCurrentProcessId())
            result.push_back(w);
    }
    return result;
}

void StopRunningInstances() {
    for (HWND w : MainWindows()) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        TUniqueKernelHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
        PostMessageW(w, WM_QUIT, 0, 0);
        if (process && WaitForSingleObject(process.get(), 5000) != WAIT_OBJECT_0)
            TerminateProcess(process.get(), 1);
    }
}

std::wstring ControlText(HWND aWindow, int anId) {
    std::vector<wchar_t> text(16384, L'\0'); // the Details view's list is long
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(GetDlgItem(aWindow, anId), WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    return text.data();
}

RECT ControlRect(HWND aWindow, int anId) {
    RECT r{};
    GetWindowRect(GetDlgItem(aWindow, anId), &r);
    MapWindowPoints(nullptr, aWindow, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

TQuenvar::TQuenvar(const std::wstring& anArgs, const std::wstring& anExe) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring cmd = L"\"" + (anExe.empty() ? QuenvarExe() : anExe) + L"\" " + anArgs;
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        FProcess.reset(pi.hProcess);
        CloseHandle(pi.hThread);
        FPid = pi.dwProcessId;
    }
    EXPECT_TRUE(FProcess) << "cannot start Quenvar.exe";
}

HWND TQuenvar::Window(bool aVisible, DWORD aTimeoutMs) const {
    HWND found = nullptr;
    WaitFor(
        [&] {
            const auto windows = MainWindows(FPid);
            found = windows.empty() ? nullptr : windows.front();
            return found && (!aVisible || IsWindowVisible(found));
        },
        aTimeoutMs);
    return found && (!aVisible || IsWindowVisible(found)) ? found : nullptr;
}

void TQuenvar::Kill() {
    if (Running()) {
        TerminateProcess(FProcess.get(), 1);
        WaitForSingleObject(FProcess.get(), 5000);
    }
}

void TQuenvar::Stop() {
    if (!Running())
        return;
    for (HWND w : MainWindows(FPid))
        PostMessageW(w, WM_QUIT, 0, 0);
    if (!Ended(5000))
        Kill();
}

void MoveSlider(HWND aWindow, int aPosition) {
    HWND track = GetDlgItem(aWindow, idTrackBar1);
    SendMessageW(track, TBM_SETPOS, TRUE, aPosition);
    SendMessageW(aWindow, WM_VSCROLL, MAKEWPARAM(TB_THUMBPOSITION, aPosition), reinterpret_cast<LPARAM>(track));
}

int SliderPos(HWND aWindow) {
    return static_cast<int>(SendMessageW(GetDlgItem(aWindow, idTrackBar1), TBM_GETPOS, 0, 0));
}

bool ApplyEnabled(HWND aWindow) {
    return IsWindowEnabled(GetDlgItem(aWindow, idButApply)) != FALSE;
}

void ClickAt(POINT aPoint) {
    SetCursorPos(aPoint.x, aPoint.y);
    INPUT input[2]{};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof(INPUT));
}

TScreenShot::TScreenShot(HWND aWindow) {
    RedrawWindow(aWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(500);
    RECT client{};
    GetClientRect(aWindow, &client);
    POINT origin{0, 0};
    ClientToScreen(aWindow, &origin);
    FWidth = client.right;
    FHeight = client.bottom;
    FPixels.assign(static_cast<size_t>(FWidth) * FHeight, 0);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = FWidth;
    bi.bmiHeader.biHeight = -FHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    TUniqueGdiObject bitmap(CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    HGDIOBJ old = SelectObject(memory, bitmap.get());
    BitBlt(memory, 0, 0, FWidth, FHeight, screen, origin.x, origin.y, SRCCOPY);
    GdiFlush();
    if (bits)
        memcpy(FPixels.data(), bits, FPixels.size() * 4);
    SelectObject(memory, old);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

COLORREF TScreenShot::At(int aX, int aY) const {
    if (aX < 0 || aY < 0 || aX >= FWidth || aY >= FHeight)
        return CLR_INVALID;
    const DWORD p = FPixels[static_cast<size_t>(aY) * FWidth + aX];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

void TScreenShot::Save(const std::wstring& aPath) const {
    FILE* f = _wfopen(aPath.c_str(), L"wb");
    if (!f)
        return;
    BITMAPINFOHEADER info{};
    info.biSize = sizeof(info);
    info.biWidth = FWidth;
    info.biHeight = -FHeight;
    info.biPlanes = 1;
    info.biBitCount = 32;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + static_cast<DWORD>(FPixels.size() * 4);
    fwrite(&file, sizeof(file), 1, f);
    fwrite(&info, sizeof(info), 1, f);
    for (DWORD p : FPixels) {
        const DWORD opaque = p | 0xFF000000u; // screen pixels carry no alpha
        fwrite(&opaque, 4, 1, f);
    }
    fclose(f);
}
