#include "QVSupport.h"

#include "QVMachine.h"

#include "../lib/FallbackU.h"
#include "../lib/ComU.h"
#include "../lib/ConfigTextU.h"
#include "../lib/FileU.h"
#include "../lib/FileVersionU.h"
#include "../lib/HandleU.h"
#include "../lib/PathU.h"
#include "../lib/RegistryU.h"
#include "../lib/TextU.h"

#include <objbase.h>
#include <shellapi.h>

#include <memory>

const wchar_t kStoreKey[] = L"Software\\Quenvar\\";
const wchar_t kProductWebsite[] = L"http://www.quenvar.example/";
const wchar_t kMainWindowCaption[] = L"Quenvar";
const wchar_t kMainWindowClass[] = L"TQuenvarMainForm";
const wchar_t kMainWindowMessage[] = L"QV_MainWM";
const wchar_t kLevelValue[] = L"Level";

namespace {

// The lines of the loaded configuration; null before LoadEmbeddedConfig and after freeing.
std::unique_ptr<std::vector<std::wstring>> EmbeddedConfig;

// The configuration bytes as text, cut at the first NUL character.
std::wstring ConfigText(const std::string& aBytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(aBytes.data());
    const size_t size = aBytes.size();
    if (size >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
        const bool bigEndian = b[0] == 0xFE;
        std::wstring text;
        for (size_t i = 2; i + 1 < size; i += 2) {
            const wchar_t c =
                bigEndian ? static_cast<wchar_t>((b[i] << 8) | b[i + 1]) : static_cast<wchar_t>(b[i] | (b[i + 1] << 8));
            if (c == 0)
                break;
            text.push_back(c);
        }
        return text;
    }
    const bool utf8 = size >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    const size_t start = utf8 ? 3 : 0;
    size_t end = aBytes.find('\0', start);
    if (end == std::string::npos)
        end = size;
    const std::string text = aBytes.substr(start, end - start);
    return utf8 ? Utf8ToWide(text) : AnsiToWide(text);
}

const wchar_t kHexDigits[] = L"0123456789ABCDEF";

void AppendHex(std::wstring& aText, unsigned long long aValue, int aDigits) {
    for (int i = aDigits - 1; i >= 0; --i)
        aText.push_back(kHexDigits[(aValue >> (4 * i)) & 0xF]);
}

} // namespace

std::wstring ReadStoreString(const std::wstring& aName) noexcept {
    std::wstring text;
    ReadRegString(HKEY_CURRENT_USER, kStoreKey, aName, text);
    return text;
}

int ReadStoreInteger(const std::wstring& aName) noexcept {
    int value = 0;
    ReadRegDWord(HKEY_CURRENT_USER, kStoreKey, aName, value);
    return value;
}

bool WriteStoreString(const std::wstring& aName, const std::wstring& aText) noexcept {
    return WriteRegString(HKEY_CURRENT_USER, kStoreKey, aName, aText);
}

bool WriteStoreInteger(const std::wstring& aName, int aValue) noexcept {
    return WriteRegDWord(HKEY_CURRENT_USER, kStoreKey, aName, aValue);
}

bool WriteUserString(const std::wstring& aKeyPath, const std::wstring& aName, const std::wstring& aText) noexcept {
    return WriteRegString(HKEY_CURRENT_USER, aKeyPath, aName, aText);
}

bool DeleteUserValue(const std::wstring& aKeyPath, const std::wstring& aName) noexcept {
    return DeleteRegValue(HKEY_CURRENT_USER, aKeyPath, aName);
}

bool DeleteUserKeyTree(const std::wstring& aKeyPath) noexcept {
    return DeleteRegKeyTree(HKEY_CURRENT_USER, aKeyPath, true);
}

TLevel ClampLevel(int aValue) noexcept {
    if (aValue > lMax)
        return lMax;
    if (aValue < lOff)
        return lOff;
    return static_cast<TLevel>(aValue);
}

TStoredLevel StoredLevelOf(const TRegValueData& aMachine, const TRegValueData& anOld) noexcept {
    TStoredLevel level;
    DWORD number = 0;
    if (aMachine.Present) {
        if (RegDWordOf(aMachine, number))
            level.Value = static_cast<int>(number);
        return level;
    }
    if (anOld.Present && RegDWordOf(anOld, number)) {
        level.Value = ClampLevel(static_cast<int>(number));
        level.Migrate = true;
    }
    return level;
}

int ReadStoredLevel() noexcept {
    return ResultOr("ReadStoredLevel", 0, [] {
        TRegValueData machine, old;
        TRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, kMachineKey, KEY_QUERY_VALUE | ViewAccess(true)) == ERROR_SUCCESS &&
            key.Read(kLevelValue, machine) != ERROR_SUCCESS)
            machine = TRegValueData();
        if (!machine.Present) {
            TRegKey store;
            if (store.Open(HKEY_CURRENT_USER, kStoreKey, KEY_QUERY_VALUE) == ERROR_SUCCESS &&
                store.Read(kLevelValue, old) != ERROR_SUCCESS)
                old = TRegValueData();
        }
        const TStoredLevel level = StoredLevelOf(machine, old);
        // Only a value the machine now holds lets the old one go: a process that cannot write
        // HKEY_LOCAL_MACHINE reads the old one again next time.
        if (level.Migrate && WriteLevel(static_cast<TLevel>(level.Value))) {
            TRegValueData stored;
            TRegKey written;
            DWORD number = 0;
            if (written.Open(HKEY_LOCAL_MACHINE, kMachineKey, KEY_QUERY_VALUE | ViewAccess(true)) == ERROR_SUCCESS &&
                written.Read(kLevelValue, stored) == ERROR_SUCCESS && RegDWordOf(stored, number) &&
                static_cast<int>(number) == level.Value)
                DeleteRegValue(HKEY_CURRENT_USER, kStoreKey, kLevelValue);
        }
        return level.Value;
    });
}

bool WriteLevel(TLevel aLevel) noexcept {
    TRegKey key;
    const DWORD value = aLevel;
    return key.Create(HKEY_LOCAL_MACHINE, kMachineKey, KEY_SET_VALUE | ViewAccess(true), REG_OPTION_NON_VOLATILE) ==
               ERROR_SUCCESS &&
           key.Write(kLevelValue, REG_DWORD, &value, sizeof(value)) == ERROR_SUCCESS;
}

bool DeleteMachineLevel() noexcept {
    TRegKey key;
    const LONG status = key.Open(HKEY_LOCAL_MACHINE, kMachineKey, KEY_READ | KEY_SET_VALUE | ViewAccess(true));
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS || key.DeleteValue(kLevelValue) != ERROR_SUCCESS)
        return false;
    if (!key.IsEmpty())
        return true;
    key = TRegKey();
    TRegKey software;
    return software.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_WRITE | ViewAccess(true)) == ERROR_SUCCESS &&
           RegDeleteKeyExW(software.Get(), L"Quenvar", ViewAccess(true), 0) == ERROR_SUCCESS;
}

TLevel ReadLevel() noexcept {
    return ClampLevel(ReadStoredLevel());
}

bool RunUserLevelProcess() noexcept {
    return ResultOr("RunUserLevelProcess", false, [] {
        const std::wstring exe = GetAppFileName();
        std::wstring command = L"\"" + exe + L"\" /userlevel";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return false;
        const TUniqueKernelHandle process(info.hProcess), thread(info.hThread);
        return WaitForSingleObject(process.get(), kUserLevelWaitMs) == WAIT_OBJECT_0;
    });
}

std::vector<std::wstring> ConfigLines(const std::string& aBytes) {
    return ConfigTextLines(ConfigText(aBytes));
}

std::wstring ConfigValueIn(const std::vector<std::wstring>& aLines, const std::wstring& aName,
                           const std::wstring& aDefault) {
    return ConfigLineValue(aLines, aName, aDefault, UpperInvariant);
}

void LoadEmbeddedConfig() {
    HRSRC info = FindResourceW(nullptr, L"CONFIG", MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!info)
        throw EConfigMissing();
    HGLOBAL data = LoadResource(nullptr, info);
    const void* bytes = data ? LockResource(data) : nullptr;
    if (!bytes)
        throw EConfigMissing();
    const std::string text(static_cast<const char*>(bytes), SizeofResource(nullptr, info));
    EmbeddedConfig = std::make_unique<std::vector<std::wstring>>(ConfigLines(text));
}

void FreeEmbeddedConfig() noexcept {
    EmbeddedConfig.reset();
}

std::wstring GetConfigValue(const std::wstring& aName, const std::wstring& aDefault) noexcept {
    return ResultOr<std::wstring>("GetConfigValue", aDefault, [&]() -> std::wstring {
        if (!EmbeddedConfig)
            return aDefault;
        return ConfigValueIn(*EmbeddedConfig, aName, aDefault);
    });
}

TCfgWS::TCfgWS() {
    CFG = GetConfigValue(L"CFG_ID", L"1");
    UID = ReadStoreString(L"UID");
    if (UID.empty()) {
        UID = GenerateUID();
        WriteStoreString(L"UID", UID);
    }
    std::wstring version = GetFileVersionString(GetAppFileName());
    if (version.empty())
        version = L"0.0.0.0";
    VER = L"QUENVAR=" + version;
    SUBID = ReadStoreString(L"SUBID");
    if (SUBID.empty())
        SUBID = L"0";
}

const std::array<std::uint64_t, 256> kHashTable = {
    0x1C168B5871CE07A8, 0x684CC31B839CC2F4, 0x95A4703905DFB202, 0x7A25C7F8322DA7BC, 0x45B3712757927063,
    0x717C52BC9FCBA18A, 0x4667088C4634F6A9, 0xD20209FB03CD658C, 0xC0C13B707E809920, 0xB0715F11ACA44002,
    0xB905A680FB06503F, 0x6AA69757FE4C1552, 0xD8518DC5E3F7DAF9, 0x0FB8C749AE08472B, 0x3DF4714251B35583,
    0x6D1719F419832887, 0x81A7E4EB62BE6800, 0xC15822F2030F5111, 0x486BBB61BE4308E8, 0xCAA3D86DA6AAAB66,
    0x623073409ACE8880, 0x14F28D2E7D513C6A, 0x608885308245019A, 0x97082B9FDE1887B6, 0x34041AE14B504187,
    0x87938527D849992B, 0x80B63D9C604C29B4, 0x19B66A17DDD92D30, 0x0034530C9C157D3F, 0x235B30FF7400B6CA,
    0x1F1201CFA4F4D170, 0x64F608084285D667, 0xB87E282C020E1E90, 0x8F1FE7C966C8EEA2, 0xF069EA5ACB2AAF48,
    0x06135A5BFB4D94E8, 0xD3870E84FA3CE1D8, 0x731726368754F0EB, 0x49EBF18D47FB58D8, 0x7EA2B364BA128117,
    0xCE0BB468766809AF, 0x79DFD60205C19093, 0x4B31794D7E1AAE7D, 0x89AF1F2A2A2C1818, 0x7BE9944441770690,
    0x3DB89BE816734B77, 0xDEBE7E37203708CF, 0x138897072CF5AC07, 0xAF49908BA7EFF26E, 0xFBDC67B50E60480C,
    0x2982E9C972B4177B, 0xD8B1A041C84AA1BE, 0xF21B8F957EF32FF5, 0x76D9DD694F2BCB71, 0x4A851E417D24EEA8,
    0x8C45FE845FDB8013, 0xC8EEAA76453280DC, 0xF6E791D048327558, 0x8C019CBEE5F3DF86, 0xFC2634E9734D8179,
    0xA4DAA4CF2509BF6B, 0x6AA61CADA7696076, 0xA95DC6B4275AA35C, 0x7BB4DC06FEAA1AA3, 0x0BBDF171F85F1D65,
    0x5AD9A2759F8C7B05, 0x4005A743BC00F457, 0x77C6B6F0765C1D7C, 0x106D2D8801C25AB9, 0x799FD9238845DF6A,
    0x45D9B3CA1DE47B85, 0x882D15E5F2BB588C, 0x0AC4FF72B76B1AB3, 0x1C9BA7E398A0C88B, 0xCCA78BB115774BFE,
    0x899EF06022FC61CC, 0xC3374D5E63583DCE, 0x800E5B3341942840, 0xC2213BDD1C1B8320, 0x37F52C143093907C,
    0x913DE7F1C7F32B8D, 0x1478BBB4DF5C756C, 0x5B79CD7CD1058DAA, 0x056877E6DDDF46D7, 0x455B0B5839CDB006,
    0x069BC9D36428E6BD, 0x6ADFE04BEB0F5CDF, 0x1655721393B8B7F5, 0xF31DD4A05B045C9D, 0x40886FBF51231F17,
    0xC2E4E0FA5433A406, 0xEF38F1AD500FED45, 0x7D44F72D37919A68, 0xD1E6FF5651D10577, 0x872C44F1AD57004E,
    0x9EB2A7C29B2BE440, 0xB48B41E5EBC1CAA4, 0x67ACC1ADC83A87F0, 0xC0C58A2AF6F86A9D, 0x06FD28E6B31472FD,
    0xEA6F6EDB80218FAC, 0x355D3374D864F31D, 0x1A754BE404E88248, 0x7748CCBD6CF9D938, 0xDA1D75AB6ACF3D3B,
    0xD0BC40B0806D535A, 0xFBC96BE0DB65F79E, 0xA3102F083D0FD4B5, 0x6B55364E735E8601, 0x6D5CB6E716078D32,
    0x9DAC840404204F14, 0xD6794367A97A33F7, 0xF48194B1065A5423, 0xE29AE9EB2D84E299, 0x4DA86B952F3F3772,
    0x0FA3B874DCDB1D0D, 0xEDB4DFC2502D5EC4, 0xCC5483CCC137D2CA, 0x214CE5F6FB32F0F4, 0x7AC5D38B4092D650,
    0x6F4BDF73CE502308, 0x8860D6D3DDF88DC6, 0x413CD9DE3EAC2A1F, 0x9BE41505CF0542AE, 0x305762C066691312,
    0xEA17E2A651703DCF, 0xAA413B4D87D0B3DE, 0x2E5884E2D874F0C5, 0xB7AAC088F1742AB9, 0xB0CC19B3BCC81A38,
    0x2026B4C8198D68FC, 0xBBE551B5E04080C9, 0x3DDC24A32D2A0E09, 0x20FD0A08A7D30324, 0xF9CDD4C434A7D489,
    0x2260714E32B62BEC, 0xFEDC22ABDDE0FC68, 0x5073993A805218B9, 0xB30F65D47B0D51A8, 0x88D6B313C345E325,
    0x582FB30BCF8FEF5B, 0xDB66A35922B16BF5, 0xFFF8CF30DE2C8AB9, 0x4E323AA6217863AA, 0xC55A53F3D10C4735,
    0x57CAF3A384E07B55, 0x017C24C8315E449C, 0x211CD07CCAB58D30, 0x55008C51D9A9DB9E, 0xE18A418102FE0FE6,
    0xE367E5DC60FEE3FA, 0xCA990386273EE0EC, 0x1F1CFE0C0371D7A2, 0xF8ED15BD3507DB01, 0x08F4FFCD1EA16C15,
    0xB0A2C866C4348025, 0x4F44C7C51BE20ED3, 0x24967C565E34391C, 0xF6F469794A360F2E, 0x13DF51ED12103570,
    0x5CA389919EE77C0E, 0x517CB3139B2116F2, 0x432535129A74868D, 0xF9967D5207CFB646, 0xC8F884CD653A8471,
    0xC404D10B7F7FA492, 0x0DE6AA6160709660, 0xA2F3A49CDBA365B8, 0x6CCD5F98A856E6E8, 0x7C290C8C7C23C34C,
    0xB3998C6109971BC9, 0x0D73BE32FF02731A, 0x96AD66E129ACF083, 0xFB4F60287EF4A9AE, 0x8A0A74ED42603D51,
    0x34F538D2A4AC1441, 0x1D9C762B73A4403A, 0x0951913A6A4D340E, 0x450D85118EC9DC6D, 0x69C959C69B393854,
    0x874EC450B1B54213, 0xAF8595B3468AA166, 0x312579C59A89D124, 0x2A92AEC004B3C332, 0xFA361991B5459671,
    0x2237BE1956D81BA4, 0x9EE4CD18120D911A, 0xD138F89606DEBFEB, 0x3BD7257969C0306F, 0xE878D93159B077A4,
    0x4EFD97400596A849, 0x307AD6C1BDAC6745, 0x6E075F40BBB8FE4C, 0xEA5F43348D648862, 0xCC1C3590417891C4,
    0x43334675F914AFE4, 0x6A858CD71F1C37C9, 0xB53B0E3022A2AC70, 0x1EB6FA244FCB2BD8, 0x5B9EC5DD2E537CC7,
    0x9FB09B78779A7C05, 0xA58F38CD6F78CC40, 0x000D7ACC5F16F176, 0x1E6655E6D427A1D6, 0xF49E737B17B9676E,
    0xA79BECA267580611, 0x6417B801474AFDAF, 0xC86FA639D581D18E, 0xC2BAE631B27F068C, 0x191A5766FB456BCC,
    0xA393A192AF4CEBD4, 0x99D218E1331D4113, 0x2CF8B8758AD8C06F, 0x34777269CE7E7C6A, 0x7DB4ADA98D45BF65,
    0xB8F889350962F577, 0xFAA687B467F8BE03, 0x937107410C075148, 0xD9D17BBA5DD79D1A, 0x9F54F4C8C296808E,
    0x3BA122FB5F7B5283, 0x0C3A699B116BF911, 0x2E916CF08203706D, 0xBE14D44FBFC22A7F, 0xCD5501E5BD7AD8D7,
    0x969633CC2A56D51A, 0xFE1EED8B7D3B6EF1, 0xACFF5394AFF66D1E, 0x87D5656E93A308A5, 0x3E73EDFCBD3FE3FF,
    0xE943C5E858240A40, 0x2F2C450AB7ACCE62, 0x3C1DA5AECB1A00E9, 0x00858C864610C7AB, 0xF15EA584AE90FDF2,
    0xCDFD1A75720F356A, 0xEE7EA9F6B34DF6DA, 0xAB5D59600315EBFC, 0x90CB3FA329FD5630, 0x147623A296381485,
    0xF18F9FDB0873C672, 0xED8403525BD1825F, 0x76ECE49A6D7B61B8, 0xDA38F81B03CC9A83, 0x46929DBCF20D6B9E,
    0x24D81935E57A9E5C, 0x047BC7033A17AFB0, 0xBC86B877CA5D8C5D, 0xEC8159E712DEB8D7, 0xA8135BF57A9DB9AA,
    0xAB99267A32DB9881, 0xFCA774DD32153E35, 0x45D44BACC4C3F5FC, 0xC14D50678F84FEF0, 0x2C4C186432DF358A,
    0x1E2D2FADFC380BB4,
};

std::string Utf8Of(const std::wstring& aText) {
    std::string bytes;
    bytes.reserve(aText.size());
    for (size_t i = 0; i < aText.size(); ++i) {
        std::uint32_t c = static_cast<std::uint16_t>(aText[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < aText.size() && aText[i + 1] >= 0xDC00 && aText[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint16_t>(aText[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            bytes.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (c >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (c >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (c >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return bytes;
}

std::uint64_t HashString64(const std::wstring& aText) noexcept {
    return ResultOr<std::uint64_t>("HashString64", 0, [&]() -> std::uint64_t {
        std::uint64_t h = 1;
        for (const char b : Utf8Of(aText)) {
            h *= 1427630199u;
            h ^= kHashTable[static_cast<unsigned char>(b)];
        }
        return h;
    });
}

std::wstring UIDSeed(const GUID& aGuid, DWORD aTickCount) {
    std::wstring seed;
    AppendHex(seed, aGuid.Data1, 8);
    AppendHex(seed, aGuid.Data2, 4);
    AppendHex(seed, aGuid.Data3, 4);
    for (const unsigned char b : aGuid.Data4)
        AppendHex(seed, b, 2);
    return seed + std::to_wstring(aTickCount);
}

std::wstring UIDFromSeed(const std::wstring& aSeed) {
    const std::uint64_t h = HashString64(aSeed);
    // The magnitude of h read as signed; done unsigned so that the smallest value has one too.
    const std::uint64_t magnitude = static_cast<std::int64_t>(h) < 0 ? 0 - h : h;
    return std::to_wstring(magnitude);
}

std::wstring GenerateUID() {
    GUID guid{};
    CoCreateGuid(&guid);
    return UIDFromSeed(UIDSeed(guid, GetTickCount()));
}

std::wstring ProtectionPageUrl(int aLevel) {
    switch (aLevel) {
    case lOff:
        return std::wstring(kProductWebsite) + L"Protection-off.aspx";
    case lOptimal:
    case lMax:
        return std::wstring(kProductWebsite) + L"Protection.aspx";
    default:
        return std::wstring();
    }
}

void OpenProtectionPage(TLevel aLevel) noexcept {
    IgnoringFailure("OpenProtectionPage", [&] {
        const std::wstring url = ProtectionPageUrl(aLevel);
        if (url.empty())
            return;
        const TComScope com(kShellComFlags);
        ShellExecuteW(nullptr, L"open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    });
}

void WriteToConsole(DWORD aStdHandle, const std::wstring& aText) noexcept {
    IgnoringFailure("WriteToConsole", [&] {
        HANDLE out = GetStdHandle(aStdHandle);
        DWORD mode = 0;
        if (out && out != INVALID_HANDLE_VALUE && !GetConsoleMode(out, &mode)) {
            // A file or a pipe: UTF-8 bytes.
            const std::string bytes = WideToUtf8(aText);
            DWORD written = 0;
            WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
            return;
        }
        if (!out || out == INVALID_HANDLE_VALUE) {
            if (!AttachConsole(ATTACH_PARENT_PROCESS))
                return;
            const TUniqueFile console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
            if (!console)
                return;
            DWORD written = 0;
            WriteConsoleW(console.get(), aText.c_str(), static_cast<DWORD>(aText.size()), &written, nullptr);
            return;
        }
        DWORD written = 0;
        WriteConsoleW(out, aText.c_str(), static_cast<DWORD>(aText.size()), &written, nullptr);
    });
}

namespace {

// File names compare as the file system compares them: ordinal, ignoring case.
bool SameFileText(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The image path of aProcess as the system reports it; empty when it cannot be read.
std::wstring ProcessImage(HANDLE aProcess) {
    for (DWORD capacity = MAX_PATH; capacity <= 32768; capacity *= 4) {
        std::wstring path(capacity, L'\0');
        DWORD size = capacity;
        if (QueryFullProcessImageNameW(aProcess, 0, path.data(), &size)) {
            path.resize(size);
            return path;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
    }
    return std::wstring();
}

// The process behind aWindow, opened for the image query and, where the system allows it, for
// waiting; empty when it cannot be opened (an instance that cannot be looked at is not ours).
TUniqueKernelHandle OpenWindowProcess(HWND aWindow, DWORD& aProcessId) {
    aProcessId = 0;
    GetWindowThreadProcessId(aWindow, &aProcessId);
    if (aProcessId == 0)
        return TUniqueKernelHandle();
    TUniqueKernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, aProcessId));
    if (!process)
        process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, aProcessId));
    // Opened after the id was read: a window that went away meanwhile may leave the id to another process.
    DWORD stillOwner = 0;
    if (process && (GetWindowThreadProcessId(aWindow, &stillOwner) == 0 || stillOwner != aProcessId))
        process.reset();
    return process;
}

} // namespace

bool IsProgramImage(const std::wstring& anImage, const std::wstring& aProgramImage) noexcept {
    return ResultOr("IsProgramImage", false, [&] {
        return SameFileText(anImage, aProgramImage) ||
               SameFileText(ExtractFileName(anImage), ExtractFileName(aProgramImage));
    });
}

std::wstring OwnProgramImage() noexcept {
    return ResultOr<std::wstring>("OwnProgramImage", std::wstring(), [] {
        const std::wstring image = ProcessImage(GetCurrentProcess());
        return image.empty() ? GetAppFileName() : image;
    });
}

TRunningInstance FindRunningInstance(const std::wstring& aProgramImage) noexcept {
    return ResultOr<TRunningInstance>("FindRunningInstance", TRunningInstance(), [&] {
        TRunningInstance sameName;
        HWND window = nullptr;
        // Every top-level window of the class on this desktop, whatever its caption.
        while ((window = FindWindowExW(nullptr, window, kMainWindowClass, nullptr)) != nullptr) {
            TRunningInstance found;
            found.Process = OpenWindowProcess(window, found.ProcessId);
            if (!found.Process)
                continue;
            const std::wstring image = ProcessImage(found.Process.get());
            if (!IsProgramImage(image, aProgramImage))
                continue;
            found.Window = window;
            if (SameFileText(image, aProgramImage))
                return found;
            if (!sameName.Window)
                sameName = std::move(found);
        }
        return sameName;
    });
}

void NotifyRunningInstance() noexcept {
    IgnoringFailure("NotifyRunningInstance", [] {
        const TRunningInstance running = FindRunningInstance(OwnProgramImage());
        const UINT message = RegisterWindowMessageW(kMainWindowMessage);
        if (!running.Window || message == 0)
            return;
        // Only a process that may set the foreground window can hand that right on, and only
        // before the receiver asks for it: without it the shown window stays behind the others.
        AllowSetForegroundWindow(running.ProcessId);
        PostMessageW(running.Window, message, 0, 0);
    });
}

void CloseRunningInstance() noexcept {
    IgnoringFailure("CloseRunningInstance", [] {
        const TRunningInstance running = FindRunningInstance(OwnProgramImage());
        if (!running.Window)
            return;
        PostMessageW(running.Window, WM_QUIT, 0, 0);
        // Held since before the message was posted, so the process cannot end and its id be
        // reused first. Without the right to wait on it, or when it is this process, a pause.
        if (running.ProcessId != GetCurrentProcessId() &&
            WaitForSingleObject(running.Process.get(), kCloseWaitMs) != WAIT_FAILED)
            return;
        Sleep(1000);
    });
}
