// Stands in for the browser in end-to-end tests: registered as the http URL handler, it appends
// the URL it is given (second argument) as one UTF-8 line to the log file named by the first.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3)
        return 1;
    const std::wstring line = std::wstring(argv[2]) + L"\n";
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), bytes.data(), n, nullptr, nullptr);
    // Several handlers may run at once: retry while another one holds the file.
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file = CreateFileW(argv[1], FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            CloseHandle(file);
            return 0;
        }
        Sleep(10);
    }
    return 2;
}
