// Drives the real Quenvar.exe under Wine (and Xvfb) as a user would: finds its window by caption,
// moves the slider, presses buttons, sends the system commands of the title bar, and checks what
// the window shows, what the program leaves in the registry and which web pages it opens.
// Every Quenvar.exe started here is stopped again, also when a check fails.
// winsock2.h must come before windows.h.
#include "LoopbackServer.h"

#include "LevelExpectations.h"
#include "MutexU.h"
#include "QVDateText.h"
#include "QVMachine.h"
#include "QVMainForm.h"
#include "QVSupport.h"
#include "RegistryU.h"
#include "TestSupport.h"
#include "UIDriver.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kHttpCommandKey[] = L"http\\shell\\open\\command";

bool IsToday(const std::wstring& aStoreText) {
    const std::optional<SYSTEMTIME> t = StoreTextToDateTime(aStoreText);
    SYSTEMTIME now;
    GetLocalTime(&now);
    return t && t->wYear == now.wYear && t->wMonth == now.wMonth && t->wDay == now.wDay;
}

// Each test starts from a settings store that holds only today's hit and no running instance,
// and leaves an empty store. The recorded hit keeps the window from contacting the shipped
// configuration's service, which cannot be reached from here.
class UI : public ::testing::Test {
protected:
    void SetUp() override {
        StopRunningInstances();
        DeleteMachineLevel();
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true);
        RecordTodaysHit();
    }
    static void RecordTodaysHit() {
        SYSTEMTIME now;
        GetLocalTime(&now);
        ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kStoreKey, L"LastHit", DateTimeToStoreText(now)));
    }
    // The machine's level goes too, and the browser options the window's user part changed come
    // back (a /userlevel run with no level puts the user's originals back) before the store goes.
    void TearDown() override {
        StopRunningInstances();
        DeleteMachineLevel();
        EXPECT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\" /userlevel"), 0);
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true);
    }
    // The machine's level, as a number or as any other type another program may have written.
    static void StoreLevelData(DWORD aType, const void* aData, DWORD aSize) {
        TRegKey key;
        ASSERT_EQ(
            key.Create(HKEY_LOCAL_MACHINE, kMachineKey, KEY_SET_VALUE | ViewAccess(true), REG_OPTION_NON_VOLATILE),
            ERROR_SUCCESS);
        ASSERT_EQ(key.Write(kLevelValue, aType, aData, aSize), ERROR_SUCCESS);
    }
    static void StoreLevel(int aLevel) { StoreLevelData(REG_DWORD, &aLevel, sizeof(aLevel)); }
};

// A snapshot without the machine's level: Off stores 0 there, the one trace it leaves.
std::wstring WithoutMachineLevel(const std::wstring& aSnapshot) {
    std::wstring kept;
    for (size_t start = 0; start < aSnapshot.size();) {
        const size_t end = aSnapshot.find(L'\n', start);
        const std::wstring line = aSnapshot.substr(start, end - start);
        start = end == std::wstring::npos ? aSnapshot.size() : end + 1;
        if (line == L"HKLM\\SOFTWARE\\Quenvar" || line == L"HKLM\\SOFTWARE\\Quenvar (absent)" ||
            line.rfind(L"HKLM\\SOFTWARE\\Quenvar \"Level\"", 0) == 0)
            continue;
        kept += line + L"\n";
    }
    return kept;
}

// Points the prefix's http URL handler at a command that appends each opened address to a file,
// and puts the handler back afterwards.
class TUrlRecorder {
public:
    TUrlRecorder() {
        FFile = TestBinDir() + L"opened-urls-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
        DeleteFileW(FFile.c_str());
        FHadCommand = ReadRegString(HKEY_CLASSES_ROOT, kHttpCommandKey, L"", FOldCommand);
        const std::wstring command = L"C:\\windows\\system32\\cmd.exe /c echo %1>>\"" + FFile + L"\"";
        EXPECT_TRUE(WriteRegString(HKEY_CLASSES_ROOT, kHttpCommandKey, L"", command));
    }
    ~TUrlRecorder() {
        if (FHadCommand)
            WriteRegString(HKEY_CLASSES_ROOT, kHttpCommandKey, L"", FOldCommand);
        else
            DeleteRegValue(HKEY_CLASSES_ROOT, kHttpCommandKey, L"");
        DeleteFileW(FFile.c_str());
    }
    TUrlRecorder(const TUrlRecorder&) = delete;
    TUrlRecorder& operator=(const TUrlRecorder&) = delete;

    std::string Opened() const {
        std::ifstream in(FFile.c_str());
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool WaitForOpened(const std::string& aPart, DWORD aTimeoutMs = 15000) const {
        return WaitFor([&] { return Opened().find(aPart) != std::string::npos; }, aTimeoutMs);
    }

private:
    std::wstring FFile;
    std::wstring FOldCommand;
    bool FHadCommand = false;
};

TEST_F(UI, WindowShowsTheStoredLevelAndTheSliderEnablesApply) {
    // Applied for real: a stored level whose settings are missing would enable Apply by itself.
    TLevelStateGuard machine;
    machine.Prepare();
    TUrlRecorder urls;
    ASSERT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\" SETLEVEL 1"), 0);
    StoreLevel(1);
    TQuenvar app(L"");
    HWND w = app.Window(true);
    ASSERT_NE(w, nullptr);
    // At 96 DPI the window has its design width and at least its design height.
    RECT client{};
    GetClientRect(w, &client);
    EXPECT_EQ(client.right, kClientWidth);
    EXPECT_GE(client.bottom, kClientHeight);
    EXPECT_EQ(SliderPos(w), 1);
    EXPECT_EQ(ControlText(w, idTitleLevel), L"Optimal protection");
    EXPECT_EQ(ControlText(w, idLevelNote3), L"Weak and unsecured TLS/SSL cipher suites will be blocked.");
    EXPECT_FALSE(ApplyEnabled(w));
    EXPECT_EQ(ControlText(w, idTitleSecLevel), L"Select Security Level");
    EXPECT_EQ(ControlText(w, idTitleShare), L"Recommend this app");
    EXPECT_EQ(ControlText(w, idButApply), L"Apply");
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(w, idTitleSecLevelUnder)));
    const LRESULT range = SendMessageW(GetDlgItem(w, idTrackBar1), TBM_GETRANGEMAX, 0, 0);
    EXPECT_EQ(range, 2);

    MoveSlider(w, 0);
    EXPECT_TRUE(ApplyEnabled(w));
    EXPECT_EQ(ControlText(w, idTitleLevel), L"Maximum protection");
    EXPECT_EQ(ControlText(w, idLevelNote1), L"This level provides our maximum security and Internet privacy for your "
                                            L"online banking, shopping and private communications.");
    MoveSlider(w, 1);
    EXPECT_TRUE(ApplyEnabled(w)) << "Apply stays enabled when the slider returns";
    EXPECT_EQ(ControlText(w, idTitleLevel), L"Optimal protection");
}

// Drawn at 96 DPI: the places below the header follow the controls, which move down where
// Wine's fallback font needs more lines than Segoe UI.
TEST_F(UI, TheRenderedWindowMatchesTheLayout) {
    StoreLevel(1);
    TQuenvar app(L"");
    HWND w = app.Window(true);
    ASSERT_NE(w, nullptr);
    const TScreenShot middle(w);
    middle.Save(TestBinDir() + L"ui-window.bmp");
    std::printf("Screenshot: %ls\n", (TestBinDir() + L"ui-window.bmp").c_str());
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const RECT note1 = ControlRect(w, idLevelNote1), note4 = ControlRect(w, idLevelNote4);
    const RECT apply = ControlRect(w, idButApply), slider = ControlRect(w, idTrackBar1);
    const int footerTop = apply.top - 10;

    EXPECT_EQ(middle.At(600, 30), RGB(0x19, 0x79, 0xCA)) << "header";
    EXPECT_EQ(middle.At(4, 4), RGB(0x19, 0x79, 0xCA)) << "header corner";
    const COLORREF shield = middle.At(24 + 5, 12 + 6);
    EXPECT_GT(GetRValue(shield), 0xE0) << "logo";
    EXPECT_GT(GetGValue(shield), 0xE0) << "logo";
    EXPECT_EQ(middle.At(600, 62), face) << "body below the header";
    // The bullets' middles: 28 pixels left of their notes, about 11 below the notes' tops.
    EXPECT_EQ(middle.At(note1.left - 22, note1.top + 11), RGB(0, 0, 0)) << "first bullet";
    EXPECT_EQ(middle.At(note4.left - 22, note4.top + 11), RGB(0, 0, 0)) << "last bullet";
    EXPECT_EQ(middle.At(note1.left - 52, note1.top + 10), GetSysColor(COLOR_BTNSHADOW)) << "level box frame";
    EXPECT_EQ(middle.At(600, footerTop), GetSysColor(COLOR_BTNSHADOW)) << "footer edge";
    // The share icon's lower dot (#0066CC) sits in the footer's left corner.
    const COLORREF dot = middle.At(15 + 13, footerTop + 16 + 13);
    EXPECT_GT(GetBValue(dot), 0xA0);
    EXPECT_LT(GetRValue(dot), 0x40);

    // The Apply button has a border that the plain background has not.
    int edge = 0, edges = 0;
    for (int x = apply.left + 2; x < apply.right - 2; x += 4, edges += 2)
        edge += (middle.At(x, apply.top) != face) + (middle.At(x, apply.bottom - 1) != face);
    EXPECT_GT(edge, edges / 2) << "button frame";
    EXPECT_EQ(middle.At(apply.left - 34, apply.top + 12), face) << "left of the button";

    // The thumb sits in the middle of the slider now and moves to the top with the level.
    auto column = [&slider](const TScreenShot& aShot, int aTop, int aBottom) {
        std::vector<COLORREF> c;
        for (int y = slider.top + aTop; y < slider.top + aBottom; ++y)
            for (int x = slider.left; x < slider.right; x += 3)
                c.push_back(aShot.At(x, y));
        return c;
    };
    MoveSlider(w, 0);
    const TScreenShot top(w);
    EXPECT_NE(column(middle, 0, 50), column(top, 0, 50)) << "top of the slider";
    EXPECT_NE(column(middle, 90, 150), column(top, 90, 150)) << "middle of the slider";
    EXPECT_EQ(column(middle, 190, 236), column(top, 190, 236)) << "bottom of the slider";
}

// Starts from the maximum level on the machine, so that only a SETLEVEL 0 run puts it back.
TEST_F(UI, ApplyAtTheBottomStartsSetLevelAndGoesToTheTray) {
    TLevelStateGuard machine;
    machine.Prepare();
    const std::wstring original = SnapshotTouchedTrees();
    ASSERT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\" SETLEVEL 2"), 0);
    ASSERT_NE(SnapshotTouchedTrees(), original);
    StoreLevel(1);
    TUrlRecorder urls;
    TQuenvar app(L"");
    HWND w = app.Window(true);
    ASSERT_NE(w, nullptr);
    MoveSlider(w, 2);
    ASSERT_TRUE(ApplyEnabled(w));
    SendMessageW(GetDlgItem(w, idButApply), BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(w); }, 5000));
    EXPECT_TRUE(app.Running());
    EXPECT_FALSE(ApplyEnabled(w));
    // The machine's part by SETLEVEL, the user's by the tray instance once it sees the level change.
    EXPECT_TRUE(
        WaitFor([&] { return WithoutMachineLevel(SnapshotTouchedTrees()) == WithoutMachineLevel(original); }, 30000));
    // After the switch the level is stored and the page for the off state opened.
    EXPECT_TRUE(urls.WaitForOpened("/Protection-off.aspx")) << urls.Opened();
    EXPECT_EQ(ReadStoredLevel(), 0);
    Sleep(1000); // let the SETLEVEL process finish before the trees are put back
}

TEST_F(UI, CloseHidesToTheTrayAndOpensTheProtectionPage) {
    const struct {
        int level;
        const char* page;
    } cases[] = {{2, "/Protection.aspx"}, {0, "/Protection-off.aspx"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        StoreLevel(c.level);
        TUrlRecorder urls;
        TQuenvar app(L"");
        HWND w = app.Window(true);
        ASSERT_NE(w, nullptr);
        SendMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
        EXPECT_FALSE(IsWindowVisible(w));
        EXPECT_TRUE(urls.WaitForOpened(c.page)) << urls.Opened();
        EXPECT_TRUE(app.Running());

        // Minimizing also goes to the tray; the tray menu's "Open Quenvar" brings the window back.
        PostMessageW(w, WM_COMMAND, idN1, 0);
        EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(w) != FALSE; }, 5000));
        SendMessageW(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        EXPECT_FALSE(IsWindowVisible(w));
        EXPECT_TRUE(app.Running());
    }
}

TEST_F(UI, ASecondStartShowsTheRunningWindowAndEnds) {
    StoreLevel(2);
    TQuenvar tray(L"/tray");
    HWND w = tray.Window(false);
    ASSERT_NE(w, nullptr);
    Sleep(500);
    EXPECT_FALSE(IsWindowVisible(w));
    // The level changed behind the tray instance's back: showing the window reloads it.
    StoreLevel(0);

    const DWORD start = GetTickCount();
    EXPECT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\"", 10000), 0);
    const DWORD took = GetTickCount() - start;
    std::printf("second start ended after %lu ms\n", static_cast<unsigned long>(took));
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 5000u) << "the second instance waits about a second for the mutex";
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(w) != FALSE; }, 5000));
    EXPECT_EQ(SliderPos(w), 2);
    EXPECT_EQ(ControlText(w, idTitleLevel), L"Quenvar is switched off");
    EXPECT_EQ(MainWindows().size(), 1u);
    EXPECT_TRUE(tray.Running());
}

TEST_F(UI, RapidRepeatedStartsLeaveOneInstance) {
    TQuenvar first(L"/tray");
    ASSERT_NE(first.Window(false), nullptr);
    std::vector<std::unique_ptr<TQuenvar>> others;
    for (int i = 0; i < 4; ++i)
        others.push_back(std::make_unique<TQuenvar>(i % 2 ? L"/tray" : L""));
    for (auto& other : others)
        EXPECT_TRUE(other->Ended(15000));
    EXPECT_EQ(MainWindows().size(), 1u);
    EXPECT_TRUE(first.Running());
}

TEST_F(UI, OnlyAShowRequestWithAZeroFirstParameterBringsTheWindowBack) {
    TQuenvar tray(L"TRAY");
    HWND w = tray.Window(false);
    ASSERT_NE(w, nullptr);
    const UINT message = RegisterWindowMessageW(L"QV_MainWM");
    PostMessageW(w, message, 1, 0);
    Sleep(1000);
    EXPECT_FALSE(IsWindowVisible(w));
    PostMessageW(w, message, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(w) != FALSE; }, 5000));
}

TEST_F(UI, StopAndUninstallEndTheRunningInstance) {
    for (const wchar_t* verb : {L"STOP", L"/uninstall"}) {
        SCOPED_TRACE(testing::Message() << verb);
        TQuenvar app(L"/tray");
        ASSERT_NE(app.Window(false), nullptr);
        EXPECT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\" " + verb, 60000), 0);
        EXPECT_TRUE(app.Ended(5000));
    }
    // Without a running instance STOP returns at once.
    const DWORD start = GetTickCount();
    EXPECT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\" STOP"), 0);
    EXPECT_LT(GetTickCount() - start, 900u + 3000u);
}

TEST_F(UI, TheTrayMenusExitEndsTheProgram) {
    TQuenvar app(L"");
    HWND w = app.Window(true);
    ASSERT_NE(w, nullptr);
    PostMessageW(w, WM_CLOSE, 0, 0); // closing only hides
    EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(w); }, 5000));
    EXPECT_FALSE(app.Ended(500));
    PostMessageW(w, WM_COMMAND, idN4, 0);
    EXPECT_TRUE(app.Ended(5000));
}

TEST_F(UI, TheMutexOfAKilledInstanceIsTakenOver) {
    TQuenvar killed(L"");
    ASSERT_NE(killed.Window(true), nullptr);
    killed.Kill();
    ASSERT_TRUE(killed.Ended(0));
    TQuenvar next(L"");
    EXPECT_NE(next.Window(true), nullptr);
    EXPECT_FALSE(next.Ended(0));
}

TEST_F(UI, StoredLevelsOutsideTheRangeOrOfTheWrongTypeAreClamped) {
    // Maximum's settings are in place, so a level clamped to it has nothing to put back.
    TLevelStateGuard machine;
    machine.Prepare();
    TUrlRecorder urls;
    ASSERT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\" SETLEVEL 2"), 0);
    const struct {
        int level; // -100: a text value
        int position;
    } cases[] = {{7, 0}, {-1, 2}, {-100, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        if (c.level == -100) {
            StoreLevelData(REG_SZ, L"2", 4);
        } else {
            StoreLevel(c.level);
        }
        TQuenvar app(L"");
        HWND w = app.Window(true);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(SliderPos(w), c.position);
        EXPECT_FALSE(ApplyEnabled(w));
    }
}

// The ten-minute timer is driven here by posting its message.
TEST_F(UI, ADueReminderRenewsTheStoredMomentAnUnreadableOneIsRewritten) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME ft;
    SystemTimeToFileTime(&now, &ft);
    ULARGE_INTEGER v{{ft.dwLowDateTime, ft.dwHighDateTime}};
    v.QuadPart -= 3600ULL * 10000000ULL;
    ft.dwLowDateTime = v.LowPart;
    ft.dwHighDateTime = v.HighPart;
    SYSTEMTIME hourAgo;
    FileTimeToSystemTime(&ft, &hourAgo);
    const std::wstring recent = DateTimeToStoreText(hourAgo);

    const struct {
        std::wstring stored;
        bool rewritten;
    } cases[] = {{L"garbage", true}, {L"", true}, {recent, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "stored: " << std::string(c.stored.begin(), c.stored.end()));
        DeleteRegKeyTree(HKEY_CURRENT_USER, kStoreKey, true);
        RecordTodaysHit();
        if (!c.stored.empty()) {
            ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kStoreKey, L"LastBaloon", c.stored));
        }
        TQuenvar app(L"/tray");
        HWND w = app.Window(false);
        ASSERT_NE(w, nullptr);
        PostMessageW(w, WM_TIMER, 1, 0);
        std::wstring value;
        const bool changed = WaitFor(
            [&] { return ReadRegString(HKEY_CURRENT_USER, kStoreKey, L"LastBaloon", value) && value != c.stored; },
            c.rewritten ? 5000 : 1500);
        EXPECT_EQ(changed, c.rewritten);
        if (c.rewritten) {
            EXPECT_TRUE(StoreTextToDateTime(value).has_value()) << std::string(value.begin(), value.end());
        }
        EXPECT_TRUE(app.Running());
    }
}

// A top-level window captioned "Quenvar" that is not Quenvar's: of the class aClass, owned by
// this test process, on a thread of its own that dispatches everything posted to it. Its window
// procedure counts the quit and show requests that reach it.
class TDecoyWindow {
public:
    explicit TDecoyWindow(const wchar_t* aClass) : FClass(aClass) {
        FThread = std::thread([this] { Run(); });
        WaitFor([this] { return FWindow.load() != nullptr || FFailed.load(); }, 5000);
    }
    ~TDecoyWindow() {
        FStop = true;
        PostMessageW(FWindow.load(), WM_NULL, 0, 0);
        FThread.join();
    }
    TDecoyWindow(const TDecoyWindow&) = delete;
    TDecoyWindow& operator=(const TDecoyWindow&) = delete;

    HWND Handle() const { return FWindow.load(); }
    int Quits() const { return FQuits.load(); }
    int ShowRequests() const { return FShows.load(); }

private:
    static LRESULT CALLBACK WndProc(HWND aWnd, UINT aMsg, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<TDecoyWindow*>(GetWindowLongPtrW(aWnd, GWLP_USERDATA));
        if (self && aMsg == WM_QUIT)
            ++self->FQuits;
        else if (self && aMsg == RegisterWindowMessageW(kMainWindowMessage))
            ++self->FShows;
        return DefWindowProcW(aWnd, aMsg, wParam, lParam);
    }
    void Run() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = WndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = FClass;
        RegisterClassW(&wc); // fails harmlessly when an earlier decoy registered it
        TUniqueWindow window(CreateWindowExW(0, FClass, L"Quenvar", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                             nullptr, wc.hInstance, nullptr));
        if (!window) {
            FFailed = true;
            return;
        }
        SetWindowLongPtrW(window.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        FWindow = window.get();
        while (!FStop) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
            MSG msg;
            // WM_QUIT too goes to the window procedure: the count is what matters here.
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
        }
        SetWindowLongPtrW(window.get(), GWLP_USERDATA, 0);
    }

    const wchar_t* FClass;
    std::thread FThread;
    std::atomic<HWND> FWindow{nullptr};
    std::atomic<bool> FFailed{false}, FStop{false};
    std::atomic<int> FQuits{0}, FShows{0};
};

// A folder window captioned "Quenvar" (another class), and a window of Quenvar's own class in
// another program: the running instance is found by its class and its process's executable, so
// STOP, a second start and the updater's restart reach the real instance and leave both alone.
TEST_F(UI, WindowsCaptionedQuenvarOfOtherProgramsAreNeverSentAnything) {
    TDecoyWindow folder(L"CabinetWClass");
    TDecoyWindow sameClass(kMainWindowClass);
    ASSERT_NE(folder.Handle(), nullptr);
    ASSERT_NE(sameClass.Handle(), nullptr);
    const std::wstring quenvar = L"\"" + QuenvarExe() + L"\" ";

    // With only the decoys up there is no running instance: STOP returns at once.
    DWORD start = GetTickCount();
    EXPECT_EQ(RunProcess(quenvar + L"STOP"), 0);
    EXPECT_LT(GetTickCount() - start, 900u + 3000u);

    TQuenvar tray(L"/tray");
    HWND w = tray.Window(false);
    ASSERT_NE(w, nullptr) << "a decoy was taken for a running instance";
    EXPECT_FALSE(IsWindowVisible(w));

    // The restart's finder, given the program's image, as the updater gives its own.
    const TRunningInstance found = FindRunningInstance(QuenvarExe());
    EXPECT_EQ(found.Window, w);
    EXPECT_EQ(found.ProcessId, tray.Pid());

    TQuenvar second(L"");
    EXPECT_TRUE(second.Ended(15000));
    EXPECT_TRUE(WaitFor([&] { return IsWindowVisible(w) != FALSE; }, 5000)) << "the show request missed the instance";

    EXPECT_EQ(RunProcess(quenvar + L"STOP", 60000), 0);
    EXPECT_TRUE(tray.Ended(5000)) << "STOP missed the instance";

    Sleep(500); // whatever was posted to a decoy has been dispatched by now
    for (const TDecoyWindow* decoy : {&folder, &sameClass}) {
        EXPECT_EQ(decoy->Quits(), 0);
        EXPECT_EQ(decoy->ShowRequests(), 0);
    }
    // The counters do see what reaches a decoy.
    PostMessageW(folder.Handle(), RegisterWindowMessageW(kMainWindowMessage), 0, 0);
    PostMessageW(sameClass.Handle(), WM_QUIT, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return folder.ShowRequests() == 1 && sameClass.Quits() == 1; }, 5000));
}

// The instance lock lives in this session's namespace, and a second start in the same session
// still finds it taken.
TEST_F(UI, TheInstanceLockIsTheSessionsOwn) {
    TQuenvar first(L"/tray");
    ASSERT_NE(first.Window(false), nullptr);
    TMutex lock(kInstanceMutexName);
    ASSERT_NE(lock.Handle(), nullptr);
    EXPECT_FALSE(lock.Lock(0)) << "the running instance does not hold Local\\QuenvarMtx";
    TQuenvar second(L"/tray");
    EXPECT_TRUE(second.Ended(15000));
    EXPECT_TRUE(first.Running());
}

// Copies of Quenvar.exe, each in a folder of its own, configured for another service; removed
// with their folders.
class TConfiguredCopies {
public:
    ~TConfiguredCopies() {
        for (const auto& dir : FDirs) {
            DeleteFileW((dir + L"Quenvar.exe").c_str());
            RemoveDirectoryW(dir.c_str());
        }
    }
    // The path of a new copy that reports to aServiceURL; empty when it cannot be made.
    std::wstring Add(const std::wstring& aServiceURL) {
        const std::wstring dir = TestBinDir() + L"HitCopy" + std::to_wstring(FDirs.size()) + L"\\";
        CreateDirectoryW(dir.c_str(), nullptr);
        FDirs.push_back(dir);
        const std::wstring exe = dir + L"Quenvar.exe";
        const long code = RunProcess(L"\"" + TestBinDir() + L"QVConfig.exe\" write \"" + QuenvarExe() + L"\" \"" + exe +
                                     L"\" 10 " + aServiceURL);
        return code == 0 ? exe : std::wstring();
    }

private:
    std::vector<std::wstring> FDirs;
};

// The window reports the day's hit to its service before it shows, once a day. A service that
// cannot be reached costs only the attempt: the window still comes up and the hit stays due.
TEST_F(UI, TheWindowSendsTheDailyHitOnce) {
    TLoopbackServer service([](const TRecordedRequest&) {
        const std::string body = "<Info><Vers><Ver V=\"9.9.9.9\" URL=\"\"/></Vers></Info>";
        return TScriptedReply{
            TLoopbackServer::Reply("200 OK", "Content-Length: " + std::to_string(body.size()) + "\r\n", body)};
    });
    TConfiguredCopies copies;
    const std::wstring online = copies.Add(service.URL("/api/client.asmx/"));
    const std::wstring offline =
        copies.Add(L"http://127.0.0.1:" + std::to_wstring(UnusedLoopbackPort()) + L"/api/client.asmx/");
    ASSERT_FALSE(online.empty());
    ASSERT_FALSE(offline.empty());

    ASSERT_TRUE(DeleteRegValue(HKEY_CURRENT_USER, kStoreKey, L"LastHit"));
    for (int start = 0; start < 2; ++start) {
        SCOPED_TRACE(start == 0 ? "first start of the day" : "second start");
        TQuenvar app(start == 0 ? L"" : L"/tray", online);
        ASSERT_NE(app.Window(start == 0), nullptr);
        const auto requests = service.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].path, "/api/client.asmx/SendLog");
        EXPECT_EQ(requests[0].body.rfind("CR=", 0), 0u);
        std::wstring stored;
        EXPECT_TRUE(ReadRegString(HKEY_CURRENT_USER, kStoreKey, L"LastHit", stored));
        EXPECT_TRUE(IsToday(stored)) << std::string(stored.begin(), stored.end());
        app.Stop();
        EXPECT_TRUE(app.Ended(0));
    }

    ASSERT_TRUE(DeleteRegValue(HKEY_CURRENT_USER, kStoreKey, L"LastHit"));
    const DWORD begin = GetTickCount();
    TQuenvar app(L"", offline);
    ASSERT_NE(app.Window(true), nullptr);
    std::printf("window with an unreachable service shown after %lu ms\n",
                static_cast<unsigned long>(GetTickCount() - begin));
    std::wstring stored;
    EXPECT_FALSE(ReadRegString(HKEY_CURRENT_USER, kStoreKey, L"LastHit", stored));
    MoveSlider(app.Window(true), 0);
    EXPECT_TRUE(ApplyEnabled(app.Window(true)));
    EXPECT_TRUE(app.Running());
}

} // namespace

namespace {

// Settings the system reads only at start-up changed: the window says so until Windows restarts,
// which drops the volatile marker.
TEST_F(UI, TheRestartNoteShowsWhileChangesWaitForARestart) {
    const TKeyTreeGuard marker(HKEY_LOCAL_MACHINE, kRestartPendingKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRestartPendingKey);
    {
        TQuenvar app(L"");
        HWND w = app.Window(true);
        ASSERT_NE(w, nullptr);
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(w, idRestartNote)));
    }
    TUniqueHKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRestartPendingKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    TQuenvar app(L"");
    HWND w = app.Window(true);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(w, idRestartNote)));
    EXPECT_EQ(ControlText(w, idRestartNote), L"Some changes take effect after the next restart");
}

UINT_PTR WindowCount(HWND aWindow, const wchar_t* aProperty) {
    return reinterpret_cast<UINT_PTR>(GetPropW(aWindow, aProperty));
}

const std::wstring kTls10ClientKey = L"HKLM\\" + std::wstring(kProtocolsKey) + L"TLS 1.0\\Client";

long RegAdd(DWORD aValue) {
    return RunProcess(L"reg add \"" + kTls10ClientKey + L"\" /v Enabled /t REG_DWORD /d " + std::to_wstring(aValue) +
                      L" /f");
}

// The tray instance watches the registry: another program's change is warned about once, shown in
// the window, and undone by Apply; a burst of writes is checked once.
TEST_F(UI, AnotherProgramsChangeIsSeenWarnedAboutOnceAndUndoneByApply) {
    TLevelStateGuard machine;
    machine.Prepare();
    TUrlRecorder urls;
    ASSERT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\" SETLEVEL 2"), 0);
    TQuenvar app(L"/tray");
    HWND w = app.Window(false);
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(WaitFor([&] { return WindowCount(w, L"QV_DriftChecks") >= 1; }, 10000));
    EXPECT_EQ(WindowCount(w, L"QV_DriftWarnings"), 0u);
    EXPECT_EQ(ControlText(w, idStatusLine).rfind(L"All ", 0), 0u) << Narrow(ControlText(w, idStatusLine));

    const UINT_PTR checks = WindowCount(w, L"QV_DriftChecks");
    ASSERT_EQ(RegAdd(1), 0);
    const DWORD changed = GetTickCount();
    ASSERT_TRUE(WaitFor([&] { return WindowCount(w, L"QV_DriftWarnings") == 1; }, 10000));
    printf("registry change to balloon: %lu ms\n", static_cast<unsigned long>(GetTickCount() - changed));
    EXPECT_EQ(WindowCount(w, L"QV_DriftChecks"), checks + 1);
    EXPECT_EQ(ControlText(w, idStatusLine), L"1 setting differs from Maximum protection");

    // The same setting changed again is the same set: no second balloon.
    ASSERT_EQ(RegAdd(2), 0);
    ASSERT_TRUE(WaitFor([&] { return WindowCount(w, L"QV_DriftChecks") == checks + 2; }, 10000));
    EXPECT_EQ(WindowCount(w, L"QV_DriftWarnings"), 1u);

    // Twenty writes in a burst, each a new value (the registry does not report rewriting the same
    // value), give one check.
    for (DWORD i = 0; i < 20; ++i)
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, std::wstring(kProtocolsKey) + L"TLS 1.0\\Client", L"Enabled",
                                  static_cast<int>(i + 3)));
    ASSERT_TRUE(WaitFor([&] { return WindowCount(w, L"QV_DriftChecks") == checks + 3; }, 10000));
    Sleep(3000);
    EXPECT_EQ(WindowCount(w, L"QV_DriftChecks"), checks + 3);
    EXPECT_EQ(WindowCount(w, L"QV_DriftWarnings"), 1u);

    // Opened, the window names the change and offers Apply, which puts Maximum back.
    PostMessageW(w, WM_COMMAND, idN1, 0);
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(w) != FALSE; }, 5000));
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(w, idStatusDetails)));
    ASSERT_TRUE(WaitFor([&] { return ApplyEnabled(w); }, 5000));
    SendMessageW(GetDlgItem(w, idButApply), BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return ControlText(w, idStatusLine).rfind(L"All ", 0) == 0; }, 30000))
        << Narrow(ControlText(w, idStatusLine));
    int enabled = -1;
    EXPECT_TRUE(
        ReadRegDWord(HKEY_LOCAL_MACHINE, std::wstring(kProtocolsKey) + L"TLS 1.0\\Client", L"Enabled", enabled));
    EXPECT_EQ(enabled, 0);
    EXPECT_EQ(WindowCount(w, L"QV_DriftWarnings"), 1u);
    Sleep(1000); // let the SETLEVEL process finish before the trees are put back
}

// The Details link lists what differs; its self-test reports SCHANNEL's answers.
TEST_F(UI, TheDetailsViewListsTheChangedSettingAndTheSelfTest) {
    TLevelStateGuard machine;
    machine.Prepare();
    TUrlRecorder urls;
    ASSERT_EQ(RunProcess(L"\"" + QuenvarExe() + L"\" SETLEVEL 2"), 0);
    ASSERT_EQ(RegAdd(1), 0);
    TQuenvar app(L"");
    HWND w = app.Window(true);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(
        WaitFor([&] { return ControlText(w, idStatusLine) == L"1 setting differs from Maximum protection"; }, 5000))
        << Narrow(ControlText(w, idStatusLine));
    EXPECT_TRUE(ApplyEnabled(w));
    PostMessageW(w, WM_COMMAND, MAKEWPARAM(idStatusDetails, STN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(w, idStatusDetails)));
    HWND details = nullptr;
    ASSERT_TRUE(
        WaitFor([&] { return (details = FindWindowW(L"TQuenvarDetails", L"Quenvar details")) != nullptr; }, 5000));
    // The window exists a moment before its text.
    EXPECT_TRUE(WaitFor(
        [&] { return ControlText(details, idDetailsText).find(kTls10ClientKey.substr(5)) != std::wstring::npos; },
        5000))
        << Narrow(ControlText(details, idDetailsText));
    EXPECT_NE(ControlText(details, idDetailsText).find(L"\"Enabled\": expected 0, found 1"), std::wstring::npos);
    PostMessageW(details, WM_COMMAND, MAKEWPARAM(idDetailsTest, BN_CLICKED), 0);
    EXPECT_TRUE(WaitFor(
        [&] {
            return ControlText(details, idDetailsText).find(L"TLS 1.0 Client: available (differs from the settings)") !=
                   std::wstring::npos;
        },
        15000))
        << Narrow(ControlText(details, idDetailsText));
    EXPECT_NE(ControlText(details, idDetailsText).find(L"TLS 1.2 Client: available (as set)"), std::wstring::npos);
}

} // namespace
