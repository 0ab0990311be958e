// The Details window: the settings that differ from the stored level and, on demand, the self-test.
#pragma once

#include "../lib/WindowU.h"

#include <windows.h>

#include <functional>
#include <string>

// The Details window's controls; other processes (the UI tests) find them by these identifiers.
enum : int {
    idDetailsText = 301, // the text
    idDetailsTest,       // "Run self-test"
    idDetailsClose       // "Close"
};

// Closing the window only hides it.
class TDetailsForm : public TWindowBase {
public:
    ~TDetailsForm() override;
    // Shows the window with aText, creating it on first use. "Run self-test" shows what aSelfTest
    // returns, run on the window's thread.
    void ShowText(const std::wstring& aText, const std::function<std::wstring()>& aSelfTest) noexcept;

protected:
    LRESULT WndProc(UINT aMsg, WPARAM wParam, LPARAM lParam) override;

private:
    std::function<std::wstring()> FSelfTest;
    void Arrange() noexcept;
    void ButTestClick() noexcept;

    LRESULT OnCreate();
    LRESULT OnSize();
    LRESULT OnCommand(WPARAM wParam, LPARAM lParam);
    LRESULT OnClose();
};
