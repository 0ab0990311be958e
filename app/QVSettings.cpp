#include "QVSettings.h"

#include "QVMachine.h"
#include "QVPolicy.h"

#include "../lib/FallbackU.h"
#include "../lib/MutexU.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>
#include <optional>
#include <set>

const wchar_t kBackupKey[] = L"SOFTWARE\\Quenvar\\Backup";
const wchar_t kUserBackupKey[] = L"Software\\Quenvar\\Backup";

namespace {

// What versions before this one wrote: "Enabled" under these keys, and the five IE options.
const wchar_t* const kLegacyProtocols[] = {
    L"Multi-Protocol Unified Hello", L"PCT 1.0", L"SSL 2.0", L"SSL 3.0", L"TLS 1.0", L"TLS 1.1", L"TLS 1.2"};
const wchar_t* const kLegacyCiphers[] = {L"AES 128/128", L"AES 256/256", L"DES 56/56",  L"NULL",
                                         L"RC2 128/128", L"RC2 40/128",  L"RC2 56/128", L"RC4 128/128",
                                         L"RC4 40/128",  L"RC4 56/128",  L"RC4 64/128", L"Triple DES 168/168"};
const wchar_t* const kLegacyIEOptions[] = {L"SSL2.0", L"SSL3.0", L"TLS1.0", L"TLS1.1", L"TLS1.2"};

// ---- The backup of originals --------------------------------------------------------------------

// A registry value the program may change: its root, key, name and view.
struct TTarget {
    HKEY Root = HKEY_LOCAL_MACHINE;
    std::wstring Key;
    std::wstring Value;
    bool View64 = false;
};

// Root numbers as a record stores them: the low 32 bits of the predefined handles.
DWORD RootNumber(HKEY aRoot) noexcept {
    return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(aRoot));
}

const wchar_t* RootName(HKEY aRoot) noexcept {
    return aRoot == HKEY_CURRENT_USER ? L"HKCU\\" : L"HKLM\\";
}

// Registry names compare without regard to case, as the registry does.
struct TNoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};

// The names under which records are kept: "V " for a value, "K " for a key the program created.
std::wstring ValueRecordName(const TTarget& aTarget) {
    return L"V " + std::wstring(RootName(aTarget.Root)) + aTarget.Key + L"\\\\" + aTarget.Value;
}

std::wstring KeyRecordName(HKEY aRoot, const std::wstring& aKey) {
    return L"K " + std::wstring(RootName(aRoot)) + aKey;
}

// Record layout (REG_BINARY, little-endian DWORDs):
//   value: "QVV1" root flags type dataSize keyChars nameChars, data, key, name (UTF-16, no NULs)
//   key:   "QVK1" root flags 0 0 keyChars 0, key
// flags: 1 = 64-bit view, 2 = the value existed. The layout is checked exactly when read back.
constexpr DWORD kFlagView64 = 1;
constexpr DWORD kFlagPresent = 2;
constexpr size_t kHeaderSize = 4 + 6 * sizeof(DWORD);

void PutDWord(std::vector<BYTE>& aOut, DWORD aValue) {
    const BYTE* p = reinterpret_cast<const BYTE*>(&aValue);
    aOut.insert(aOut.end(), p, p + sizeof(aValue));
}

void PutText(std::vector<BYTE>& aOut, const std::wstring& aText) {
    const BYTE* p = reinterpret_cast<const BYTE*>(aText.data());
    aOut.insert(aOut.end(), p, p + aText.size() * sizeof(wchar_t));
}

std::vector<BYTE> EncodeRecord(const char aKind, HKEY aRoot, const std::wstring& aKey, const std::wstring& aName,
                               bool aView64, const TRegValueData* aOriginal) {
    std::vector<BYTE> out{'Q', 'V', static_cast<BYTE>(aKind), '1'};
    DWORD flags = aView64 ? kFlagView64 : 0;
    if (aOriginal && aOriginal->Present)
        flags |= kFlagPresent;
    const bool present = aOriginal && aOriginal->Present;
    PutDWord(out, RootNumber(aRoot));
    PutDWord(out, flags);
    PutDWord(out, present ? aOriginal->Type : REG_NONE);
    PutDWord(out, present ? static_cast<DWORD>(aOriginal->Bytes.size()) : 0);
    PutDWord(out, static_cast<DWORD>(aKey.size()));
    PutDWord(out, static_cast<DWORD>(aName.size()));
    if (present)
        out.insert(out.end(), aOriginal->Bytes.begin(), aOriginal->Bytes.end());
    PutText(out, aKey);
    PutText(out, aName);
    return out;
}

DWORD GetDWord(const std::vector<BYTE>& aIn, size_t anOffset) {
    DWORD value = 0;
    memcpy(&value, aIn.data() + anOffset, sizeof(value));
    return value;
}

struct TValueRecord {
    TTarget Target;
    TRegValueData Original;
};

struct TKeyRecord {
    HKEY Root = HKEY_LOCAL_MACHINE;
    std::wstring Key;
    bool View64 = false;
};

HKEY RootOfNumber(DWORD aNumber) noexcept {
    if (aNumber == RootNumber(HKEY_LOCAL_MACHINE))
        return HKEY_LOCAL_MACHINE;
    if (aNumber == RootNumber(HKEY_CURRENT_USER))
        return HKEY_CURRENT_USER;
    return nullptr;
}

// Reads one record back. False for anything that is not exactly a record of this layout, and for
// a record whose contents do not match the name it is kept under.
bool DecodeRecord(const std::wstring& aName, const TRegValueData& aData, TValueRecord* aValue, TKeyRecord* aKey) {
    const std::vector<BYTE>& in = aData.Bytes;
    if (aData.Type != REG_BINARY || in.size() < kHeaderSize || in[0] != 'Q' || in[1] != 'V' || in[3] != '1')
        return false;
    const bool isValue = in[2] == 'V';
    if (!isValue && in[2] != 'K')
        return false;
    const HKEY root = RootOfNumber(GetDWord(in, 4));
    const DWORD flags = GetDWord(in, 8);
    const DWORD type = GetDWord(in, 12);
    const size_t dataSize = GetDWord(in, 16);
    const size_t keyChars = GetDWord(in, 20);
    const size_t nameChars = GetDWord(in, 24);
    if (!root || (flags & ~(kFlagView64 | kFlagPresent)) != 0 || keyChars == 0 || keyChars > 4096 ||
        nameChars > 16383 || dataSize > in.size())
        return false;
    if (in.size() != kHeaderSize + dataSize + (keyChars + nameChars) * sizeof(wchar_t))
        return false;
    const bool present = (flags & kFlagPresent) != 0;
    if (!isValue && (present || dataSize != 0 || nameChars != 0 || type != REG_NONE))
        return false;
    if (isValue && !present && (dataSize != 0 || type != REG_NONE))
        return false;
    std::wstring key(keyChars, L'\0'), name(nameChars, L'\0');
    memcpy(key.data(), in.data() + kHeaderSize + dataSize, keyChars * sizeof(wchar_t));
    memcpy(name.data(), in.data() + kHeaderSize + dataSize + keyChars * sizeof(wchar_t), nameChars * sizeof(wchar_t));
    if (key.find(L'\0') != std::wstring::npos || name.find(L'\0') != std::wstring::npos)
        return false;
    const bool view64 = (flags & kFlagView64) != 0;
    if (isValue) {
        TValueRecord record;
        record.Target = TTarget{root, key, name, view64};
        if (_wcsicmp(ValueRecordName(record.Target).c_str(), aName.c_str()) != 0 || !aValue)
            return false;
        record.Original.Present = present;
        if (present) {
            record.Original.Type = type;
            record.Original.Bytes.assign(in.begin() + kHeaderSize, in.begin() + kHeaderSize + dataSize);
        }
        *aValue = std::move(record);
        return true;
    }
    if (_wcsicmp(KeyRecordName(root, key).c_str(), aName.c_str()) != 0 || !aKey)
        return false;
    *aKey = TKeyRecord{root, key, view64};
    return true;
}

// The parent path of aKey, or empty at the top.
std::wstring ParentKey(const std::wstring& aKey) {
    const size_t slash = aKey.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : aKey.substr(0, slash);
}

// The records of one backup: the machine's under kBackupKey (HKLM, 64-bit view), or one user's
// under kUserBackupKey in that user's own hive, which the user's unelevated process can write.
// Records name their root as HKLM or HKCU; aHive is the key HKCU stands for (the process's
// HKEY_CURRENT_USER or an open HKEY_USERS\<SID>). Unreadable records are kept as they are and
// never replayed.
class TBackup {
public:
    TBackup(HKEY aRoot, HKEY aHive) noexcept
        : FRoot(aRoot), FHive(aHive), FPath(aRoot == HKEY_LOCAL_MACHINE ? kBackupKey : kUserBackupKey),
          FView64(aRoot == HKEY_LOCAL_MACHINE) {}

    HKEY Root() const noexcept { return FRoot; }
    HKEY Hive() const noexcept { return FHive; }
    // The key the backup lives in: HKLM\SOFTWARE\Quenvar, or the user's settings store.
    std::wstring OwnerKey() const { return ParentKey(FPath); }
    bool View64() const noexcept { return FView64; }

    // Opens the existing backup for reading and writing.
    LONG Open() noexcept { return FKey.Open(FHive, FPath, KEY_READ | KEY_WRITE | ViewAccess(FView64)); }

    // Opens or creates the backup; the owner key's creation is recorded first, in memory, and
    // written as the backup's first record.
    LONG Create() noexcept {
        TRegKey owner;
        const bool ownerExisted = owner.Open(FHive, OwnerKey(), KEY_READ | ViewAccess(FView64)) == ERROR_SUCCESS;
        const LONG status =
            FKey.Create(FHive, FPath, KEY_READ | KEY_WRITE | ViewAccess(FView64), REG_OPTION_NON_VOLATILE, &FCreated);
        if (status != ERROR_SUCCESS)
            return status;
        if (!ownerExisted && !RecordKey(FRoot, OwnerKey(), FView64))
            return ERROR_WRITE_FAULT;
        return status;
    }

    void Load() {
        std::vector<std::pair<std::wstring, TRegValueData>> values;
        if (FKey.Values(values) != ERROR_SUCCESS) {
            FLoadFailed = true;
            return;
        }
        for (auto& [name, data] : values) {
            TValueRecord value;
            TKeyRecord key;
            if (DecodeRecord(name, data, &value, &key)) {
                if (name[0] == L'V')
                    FValues.emplace(name, std::move(value));
                else
                    FKeys.emplace(name, std::move(key));
            } else {
                FUnreadable.insert(name);
            }
        }
    }

    bool LoadFailed() const noexcept { return FLoadFailed; }
    // True when Create made the backup: this version had not levelled the machine before.
    bool Created() const noexcept { return FCreated; }
    const std::map<std::wstring, TValueRecord, TNoCase>& Values() const noexcept { return FValues; }
    const std::map<std::wstring, TKeyRecord, TNoCase>& Keys() const noexcept { return FKeys; }
    const std::set<std::wstring, TNoCase>& Unreadable() const noexcept { return FUnreadable; }

    const TValueRecord* Find(const TTarget& aTarget) const {
        const auto it = FValues.find(ValueRecordName(aTarget));
        return it == FValues.end() ? nullptr : &it->second;
    }
    bool IsUnreadable(const TTarget& aTarget) const { return FUnreadable.count(ValueRecordName(aTarget)) != 0; }

    // Records aTarget's original unless a record (readable or not) already holds it.
    bool RecordValue(const TTarget& aTarget, const TRegValueData& anOriginal) {
        const std::wstring name = ValueRecordName(aTarget);
        if (FValues.count(name) || FUnreadable.count(name))
            return true;
        const std::vector<BYTE> data =
            EncodeRecord('V', aTarget.Root, aTarget.Key, aTarget.Value, aTarget.View64, &anOriginal);
        if (FKey.Write(name, REG_BINARY, data.data(), static_cast<DWORD>(data.size())) != ERROR_SUCCESS)
            return false;
        FValues.emplace(name, TValueRecord{aTarget, anOriginal});
        return true;
    }

    // Takes over a record another backup kept of this backup's root, replacing one of the same
    // name: the record an earlier version kept holds the value from before any level.
    bool Adopt(const std::wstring& aName, const TValueRecord& aRecord) {
        const std::vector<BYTE> data = EncodeRecord('V', aRecord.Target.Root, aRecord.Target.Key, aRecord.Target.Value,
                                                    aRecord.Target.View64, &aRecord.Original);
        if (FKey.Write(aName, REG_BINARY, data.data(), static_cast<DWORD>(data.size())) != ERROR_SUCCESS)
            return false;
        FValues[aName] = aRecord;
        FUnreadable.erase(aName);
        return true;
    }

    bool RecordKey(HKEY aRoot, const std::wstring& aKey, bool aView64) {
        const std::wstring name = KeyRecordName(aRoot, aKey);
        if (FKeys.count(name))
            return true;
        const std::vector<BYTE> data = EncodeRecord('K', aRoot, aKey, std::wstring(), aView64, nullptr);
        if (FKey.Write(name, REG_BINARY, data.data(), static_cast<DWORD>(data.size())) != ERROR_SUCCESS)
            return false;
        FKeys.emplace(name, TKeyRecord{aRoot, aKey, aView64});
        return true;
    }

    bool ForgetValue(const std::wstring& aName) {
        if (FKey.DeleteValue(aName) != ERROR_SUCCESS)
            return false;
        FValues.erase(aName);
        return true;
    }

    bool ForgetKey(const std::wstring& aName) {
        if (FKey.DeleteValue(aName) != ERROR_SUCCESS)
            return false;
        FKeys.erase(aName);
        return true;
    }

    // Deletes the backup key itself; only when every record is gone.
    bool Remove() noexcept {
        FKey = TRegKey();
        TRegKey parent;
        if (parent.Open(FHive, OwnerKey(), KEY_WRITE | ViewAccess(FView64)) != ERROR_SUCCESS)
            return false;
        return RegDeleteKeyExW(parent.Get(), L"Backup", ViewAccess(FView64), 0) == ERROR_SUCCESS;
    }

private:
    HKEY FRoot;
    HKEY FHive;
    std::wstring FPath;
    bool FView64;
    TRegKey FKey;
    std::map<std::wstring, TValueRecord, TNoCase> FValues;
    std::map<std::wstring, TKeyRecord, TNoCase> FKeys;
    std::set<std::wstring, TNoCase> FUnreadable;
    bool FLoadFailed = false;
    bool FCreated = false;
};

// ---- Applying -----------------------------------------------------------------------------------

std::wstring Describe(const TTarget& aTarget) {
    return std::wstring(RootName(aTarget.Root)) + aTarget.Key + L" \"" + aTarget.Value + L"\"";
}

// One value of the plan with the key it lives in, and for Internet Explorer options the
// descriptors whose actions fold into the one target value they share.
struct TDesired {
    TTarget Target;
    const TPlannedSetting* Setting = nullptr; // null for an Internet Explorer target
    std::vector<std::pair<TIECryptoDescriptor, TSwitchAction>> IEActions;
    TIEAbsentDefault IEAbsentDefault; // what an absent Internet Explorer target stands for
    bool AtRestart = false;
};

// Applies one part of a level. The machine's part (aUserHive null) writes every value under HKLM
// and keeps its backup there; a user's part writes the values under HKCU (Internet Explorer's
// per-user options) into aUserHive and keeps that user's backup in the same hive.
class TLevelApplier {
public:
    TLevelApplier(const TOSVersion& anOS, TLevelReport& aReport, HKEY aUserHive, HKEY aLegacyUser)
        : FOS(anOS), FReport(aReport),
          FBackup(aUserHive ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, aUserHive ? aUserHive : HKEY_LOCAL_MACHINE),
          FLegacyUser(aLegacyUser) {}

    HRESULT Apply(TLevel aLevel) {
        if (aLevel == lOff)
            return Restore();
        const std::vector<TPlannedSetting> plan = SecurityLevelPlan(aLevel, FOS);
        const std::vector<TDesired> desired = Resolve(plan);
        if (!BackupLoaded(FBackup.Create(), L"written", L"no level was applied"))
            return E_FAIL;
        AdoptLegacyUserRecords();
        // A machine levelled by an earlier version has no records: undo that version's values first,
        // so that what is recorded as original is the machine's own state.
        if (Machine() && FBackup.Created() && LegacyLevelPresent())
            CleanLegacy();

        // Values recorded earlier that this level does not write go back to their originals.
        std::set<std::wstring, TNoCase> wanted;
        for (const TDesired& d : desired)
            wanted.insert(ValueRecordName(d.Target));
        std::vector<TValueRecord> restore;
        for (const auto& [name, record] : FBackup.Values())
            if (Ours(record.Target.Root) && !wanted.count(name) && !FPolicyOwned.count(name))
                restore.push_back(record);
        for (const TValueRecord& record : restore)
            RestoreValue(record);

        WriteDesired(desired);
        CleanCreatedKeys(false);
        if (Machine())
            RecordAppliedOnBuild(true);
        return S_OK;
    }

private:
    const TOSVersion& FOS;
    TLevelReport& FReport;
    TBackup FBackup;
    HKEY FLegacyUser; // the hive that takes over an earlier version's per-user records; null: none

    bool Machine() const noexcept { return FBackup.Root() == HKEY_LOCAL_MACHINE; }
    // Whether this part writes values under aRoot.
    bool Ours(HKEY aRoot) const noexcept { return aRoot == FBackup.Root(); }
    // The key a record's root stands for here.
    HKEY Hive(HKEY aRoot) const noexcept { return aRoot == FBackup.Root() ? FBackup.Hive() : aRoot; }

    // Versions before this one kept the running user's Internet Explorer originals in the machine's
    // backup, with no word of whose they were. They were that of the user who ran the elevated
    // level change, as this process is: they move to the backup in FLegacyUser's hive. Without a
    // hive to take them they stay, and are never replayed here.
    void AdoptLegacyUserRecords() {
        if (!Machine() || !FLegacyUser)
            return;
        std::vector<std::pair<std::wstring, TValueRecord>> values;
        for (const auto& [name, record] : FBackup.Values())
            if (record.Target.Root == HKEY_CURRENT_USER)
                values.emplace_back(name, record);
        std::vector<std::pair<std::wstring, TKeyRecord>> keys;
        for (const auto& [name, record] : FBackup.Keys())
            if (record.Root == HKEY_CURRENT_USER)
                keys.emplace_back(name, record);
        if (values.empty() && keys.empty())
            return;
        TBackup user(HKEY_CURRENT_USER, FLegacyUser);
        if (user.Create() != ERROR_SUCCESS) {
            Note(L"The per-user records of an earlier version cannot be moved to the user's own backup: kept.");
            return;
        }
        user.Load();
        if (user.LoadFailed())
            return;
        for (const auto& [name, record] : values)
            if (user.Adopt(name, record))
                FBackup.ForgetValue(name);
        for (const auto& [name, record] : keys)
            if (user.RecordKey(record.Root, record.Key, record.View64))
                FBackup.ForgetKey(name);
    }
    std::set<std::wstring, TNoCase> FPolicyOwned; // records of values an organization's policy sets

    // The build a level is applied on, so that a check after a feature update can tell settings the
    // update brought from settings another program changed. Removed again at Off.
    void RecordAppliedOnBuild(bool aRecord) noexcept {
        TRegKey owner;
        if (owner.Open(HKEY_LOCAL_MACHINE, kMachineKey, KEY_READ | KEY_WRITE | ViewAccess(true)) != ERROR_SUCCESS)
            return;
        if (aRecord) {
            const DWORD build = FOS.Build, revision = FOS.Revision;
            (void)owner.Write(kAppliedBuildValue, REG_DWORD, &build, sizeof(build));
            (void)owner.Write(kAppliedRevisionValue, REG_DWORD, &revision, sizeof(revision));
        } else {
            (void)owner.DeleteValue(kAppliedBuildValue);
            (void)owner.DeleteValue(kAppliedRevisionValue);
        }
    }

    void Note(const std::wstring& aText) { FReport.Notes.push_back(aText); }

    // After the backup key was created or opened with anOpenStatus: loads the record and notes
    // what it could not read. False, with a note saying what could not be done (anOpened: "written"
    // or "opened") and what follows from it (aConsequence), when the key or its record is unusable.
    bool BackupLoaded(LONG anOpenStatus, const wchar_t* anOpened, const wchar_t* aConsequence) {
        if (anOpenStatus != ERROR_SUCCESS) {
            Note(std::wstring(L"The backup of the original settings cannot be ") + anOpened + L" (error " +
                 std::to_wstring(anOpenStatus) + L"): " + aConsequence + L".");
            return false;
        }
        FBackup.Load();
        if (FBackup.LoadFailed()) {
            Note(std::wstring(L"The backup of the original settings cannot be read: ") + aConsequence + L".");
            return false;
        }
        NoteUnreadable();
        return true;
    }

    void Changed(const TTarget& aTarget) {
        ++FReport.Changed;
        const TTakesEffect effect = aTarget.Root == HKEY_LOCAL_MACHINE ? EffectOfKey(aTarget.Key) : teProgramsRestart;
        FReport.Needs |= effect;
        if (effect == teWindowsRestart)
            FReport.RestartNeeded = true;
    }

    // An organization's policy that sets aTarget owns it: it is rewritten at every policy refresh,
    // so writing or restoring it would only start a tug of war.
    bool OwnedByPolicy(const TTarget& aTarget) {
        static const wchar_t kPolicies[] = L"SOFTWARE\\Policies\\";
        if (aTarget.Root != HKEY_LOCAL_MACHINE || _wcsnicmp(aTarget.Key.c_str(), kPolicies, wcslen(kPolicies)) != 0)
            return false;
        const TValueOwner owner = PolicyOwnerOf(aTarget.Key, aTarget.Value);
        if (owner == voNone)
            return false;
        Note(L"Set by your organization's policy (" + std::wstring(ValueOwnerName(owner)) + L"): " + Describe(aTarget) +
             L" is left as it is.");
        return true;
    }

    void NoteUnreadable() {
        for (const std::wstring& name : FBackup.Unreadable())
            Note(L"An unreadable backup record is kept and not replayed: " + name);
    }

    std::vector<TDesired> Resolve(const std::vector<TPlannedSetting>& aPlan) {
        std::vector<TDesired> desired;
        std::map<std::wstring, size_t, TNoCase> ieTargets;
        std::optional<std::vector<TIECryptoOption>> options;
        for (const TPlannedSetting& s : aPlan) {
            if (s.Kind != skIEOption) {
                if (!Machine())
                    continue;
                TDesired d;
                d.Target = TTarget{HKEY_LOCAL_MACHINE, s.Key, s.Value, s.View64};
                d.Setting = &s;
                if (s.Policy && OwnedByPolicy(d.Target)) {
                    // Neither written nor put back: the record of its original stays for Off.
                    FPolicyOwned.insert(ValueRecordName(d.Target));
                    continue;
                }
                desired.push_back(std::move(d));
                continue;
            }
            // Options whose target cannot be told are the user's part to note: their usual home is
            // HKEY_CURRENT_USER.
            TIECryptoDescriptor descriptor;
            if (!ReadIECryptoDescriptor(s.Value, descriptor)) {
                // TLS 1.3's check box exists only where Internet Explorer knows it.
                if (s.Value != kIETls13Option && !Machine())
                    Note(L"Internet Explorer option " + s.Value + L" has no descriptor on this machine.");
                continue;
            }
            const HKEY root = IECryptoRoot(descriptor.HKeyRoot);
            if (!root || (root != HKEY_LOCAL_MACHINE && root != HKEY_CURRENT_USER) || descriptor.RegPath.empty()) {
                if (!Machine())
                    Note(L"Internet Explorer option " + s.Value + L" names no usable target.");
                continue;
            }
            if (!Ours(root))
                continue;
            const TTarget target{root, descriptor.RegPath, descriptor.ValueName, false};
            const std::wstring name = ValueRecordName(target);
            auto it = ieTargets.find(name);
            if (it == ieTargets.end()) {
                TDesired d;
                d.Target = target;
                // Every option naming the target, planned or not, makes up its absent default.
                if (!options)
                    options = ReadIECryptoOptions();
                d.IEAbsentDefault = IEAbsentTargetDefault(*options, descriptor);
                NoteIEPolicy(descriptor, root);
                it = ieTargets.emplace(name, desired.size()).first;
                desired.push_back(std::move(d));
            }
            desired[it->second].IEActions.emplace_back(descriptor, s.IEAction);
        }
        return desired;
    }

    // The user's value is still written under a "Turn off encryption support" policy, but the
    // policy's is the one in effect: the report says so.
    void NoteIEPolicy(const TIECryptoDescriptor& aDescriptor, HKEY aRoot) {
        if (aDescriptor.RegPoliciesPath.empty())
            return;
        const std::pair<HKEY, REGSAM> places[] = {{HKEY_LOCAL_MACHINE, ViewAccess(true)}, {Hive(aRoot), 0}};
        for (const auto& [root, view] : places) {
            TRegKey key;
            TRegValueData value;
            if (key.Open(root, aDescriptor.RegPoliciesPath, KEY_QUERY_VALUE | view) == ERROR_SUCCESS &&
                key.Read(aDescriptor.ValueName, value) == ERROR_SUCCESS && value.Present) {
                Note(L"A policy sets Internet Explorer's protocols: " +
                     Describe(TTarget{root == HKEY_LOCAL_MACHINE ? root : aRoot, aDescriptor.RegPoliciesPath,
                                      aDescriptor.ValueName, false}) +
                     L" is in effect, not the value written.");
                return;
            }
        }
    }

    // Opens aTarget's key for reading and writing; false when it does not exist.
    bool OpenKey(const TTarget& aTarget, TRegKey& aKey) const {
        return aKey.Open(Hive(aTarget.Root), aTarget.Key,
                         KEY_QUERY_VALUE | KEY_SET_VALUE | ViewAccess(aTarget.View64)) == ERROR_SUCCESS;
    }

    bool KeyExists(const TTarget& aTarget) const {
        TRegKey probe;
        const LONG status = probe.Open(Hive(aTarget.Root), aTarget.Key, KEY_QUERY_VALUE | ViewAccess(aTarget.View64));
        return status != ERROR_FILE_NOT_FOUND && status != ERROR_PATH_NOT_FOUND;
    }

    static bool SameKey(const TTarget& a, const TTarget& b) {
        return a.Root == b.Root && a.View64 == b.View64 && _wcsicmp(a.Key.c_str(), b.Key.c_str()) == 0;
    }

    // Creates aTarget's key, recording first every key of its path that does not exist yet.
    bool CreateKey(const TTarget& aTarget, TRegKey& aKey) {
        std::vector<std::wstring> missing;
        for (std::wstring path = aTarget.Key; !path.empty(); path = ParentKey(path)) {
            if (KeyExists(TTarget{aTarget.Root, path, std::wstring(), aTarget.View64}))
                break;
            missing.push_back(path);
        }
        for (const std::wstring& path : missing)
            if (!FBackup.RecordKey(aTarget.Root, path, aTarget.View64))
                return false;
        return aKey.Create(Hive(aTarget.Root), aTarget.Key,
                           KEY_QUERY_VALUE | KEY_SET_VALUE | ViewAccess(aTarget.View64),
                           REG_OPTION_NON_VOLATILE) == ERROR_SUCCESS;
    }

    // The value aDesired asks for, given what is there now; false when nothing can be written
    // (an Internet Explorer target that is not a REG_DWORD).
    bool DesiredValue(const TDesired& aDesired, const TRegValueData& aCurrent, TRegValueData& aValue) {
        if (aDesired.Setting) {
            // A list another order would also satisfy is still written as the level has it, so that
            // the result depends only on the machine's original and the level.
            const bool list = aDesired.Setting->Kind == skSuiteList || aDesired.Setting->Kind == skGroupList;
            if (list ? aCurrent == SettingValue(*aDesired.Setting) : SettingHolds(*aDesired.Setting, aCurrent))
                aValue = aCurrent;
            else
                aValue = SettingValue(*aDesired.Setting);
            return true;
        }
        // Internet Explorer's bits are worked out from the original value, so a level's result never
        // depends on the level before it. An absent original starts from the defaults it stands for.
        const TValueRecord* record = FBackup.Find(aDesired.Target);
        const TRegValueData& base = record ? record->Original : aCurrent;
        DWORD bits = 0;
        if (!base.Present) {
            if (!aDesired.IEAbsentDefault.Known) {
                const std::wstring& missing = aDesired.IEAbsentDefault.Missing;
                Note(L"Internet Explorer's target " + Describe(aDesired.Target) + L" is absent and " +
                     (missing.empty() ? L"no option descriptor lists it"
                                      : L"option " + missing + L" has no DefaultValue") +
                     L": left unwritten.");
                return false;
            }
            bits = aDesired.IEAbsentDefault.Value;
        } else if (!RegDWordOf(base, bits)) {
            Note(L"Internet Explorer's target " + Describe(aDesired.Target) + L" is not a readable DWORD.");
            return false;
        }
        for (const auto& [descriptor, action] : aDesired.IEActions)
            bits = IECryptoOptionValue(action, descriptor, bits);
        TPlannedSetting number;
        number.Number = bits;
        aValue = SettingValue(number);
        return true;
    }

    void WriteDesired(const std::vector<TDesired>& aDesired) {
        // One open per key: values of the same key are handled together, in plan order.
        std::vector<bool> done(aDesired.size(), false);
        for (size_t i = 0; i < aDesired.size(); ++i) {
            if (done[i])
                continue;
            TRegKey key;
            if (!OpenKey(aDesired[i].Target, key) && KeyExists(aDesired[i].Target) &&
                key.Open(Hive(aDesired[i].Target.Root), aDesired[i].Target.Key,
                         KEY_QUERY_VALUE | ViewAccess(aDesired[i].Target.View64)) != ERROR_SUCCESS) {
                // A key that exists but cannot even be read: its originals are unknown, so none of
                // its values is touched.
                for (size_t j = i; j < aDesired.size(); ++j)
                    if (!done[j] && SameKey(aDesired[j].Target, aDesired[i].Target)) {
                        done[j] = true;
                        Note(L"Cannot read " + Describe(aDesired[j].Target) + L".");
                    }
                continue;
            }
            for (size_t j = i; j < aDesired.size(); ++j) {
                const TTarget& t = aDesired[j].Target;
                if (done[j] || !SameKey(t, aDesired[i].Target))
                    continue;
                done[j] = true;
                WriteOne(aDesired[j], key);
            }
        }
    }

    // aKey is the target's key, empty when it does not exist; it is created when a value must go in.
    void WriteOne(const TDesired& aDesired, TRegKey& aKey) {
        const TTarget& target = aDesired.Target;
        TRegValueData current;
        if (aKey.Valid() && aKey.Read(target.Value, current) != ERROR_SUCCESS) {
            Note(L"Cannot read " + Describe(target) + L".");
            return;
        }
        TRegValueData value;
        if (!DesiredValue(aDesired, current, value))
            return;
        // A value back at its original needs no record: the backup then depends only on the
        // machine's original state and the level, like the settings themselves.
        const TValueRecord* record = FBackup.Find(target);
        const bool original = record && record->Original == value;
        if (value == current) {
            if (original)
                FBackup.ForgetValue(ValueRecordName(target));
            return;
        }
        if (FBackup.IsUnreadable(target))
            Note(L"The original of " + Describe(target) + L" is unreadable in the backup; written all the same.");
        if (!FBackup.RecordValue(target, current)) {
            Note(L"Cannot record the original of " + Describe(target) + L": left unchanged.");
            return;
        }
        if (!aKey.Valid() && !CreateKey(target, aKey)) {
            Note(L"Cannot create the key of " + Describe(target) + L".");
            return;
        }
        if (aKey.Put(target.Value, value) != ERROR_SUCCESS) {
            Note(L"Cannot write " + Describe(target) + L".");
            return;
        }
        Changed(target);
        if (original)
            FBackup.ForgetValue(ValueRecordName(target));
    }

    // Puts one recorded original back and forgets its record. A value an organization's policy
    // sets now is the policy's: its record is forgotten, the value left.
    void RestoreValue(const TValueRecord& aRecord) {
        const TTarget& target = aRecord.Target;
        if (OwnedByPolicy(target)) {
            FBackup.ForgetValue(ValueRecordName(target));
            return;
        }
        TRegKey key;
        if (!OpenKey(target, key)) {
            if (aRecord.Original.Present && !CreateKey(target, key)) {
                Note(L"Cannot restore " + Describe(target) + L".");
                return;
            }
        }
        TRegValueData current;
        if (key.Valid() && key.Read(target.Value, current) == ERROR_SUCCESS && current == aRecord.Original) {
            FBackup.ForgetValue(ValueRecordName(target));
            return;
        }
        if (key.Valid() && key.Put(target.Value, aRecord.Original) != ERROR_SUCCESS) {
            Note(L"Cannot restore " + Describe(target) + L".");
            return;
        }
        if (key.Valid())
            Changed(target);
        FBackup.ForgetValue(ValueRecordName(target));
    }

    // Deletes the keys the program created once they are empty, deepest first. With aForgetAll a
    // created key that now holds someone else's values is kept, and its record dropped.
    void CleanCreatedKeys(bool aForgetAll) {
        std::vector<std::pair<std::wstring, TKeyRecord>> keys(FBackup.Keys().begin(), FBackup.Keys().end());
        std::sort(keys.begin(), keys.end(),
                  [](const auto& a, const auto& b) { return a.second.Key.size() > b.second.Key.size(); });
        for (const auto& [name, record] : keys) {
            if (!Ours(record.Root))
                continue;
            if (_wcsicmp(record.Key.c_str(), FBackup.OwnerKey().c_str()) == 0)
                continue; // holds the backup itself: removed after it
            TRegKey key;
            if (key.Open(Hive(record.Root), record.Key, KEY_READ | ViewAccess(record.View64)) != ERROR_SUCCESS) {
                FBackup.ForgetKey(name);
                continue;
            }
            if (!key.IsEmpty()) {
                if (aForgetAll)
                    FBackup.ForgetKey(name);
                continue;
            }
            key = TRegKey();
            TRegKey parent;
            const std::wstring parentPath = ParentKey(record.Key);
            const std::wstring leaf = parentPath.empty() ? record.Key : record.Key.substr(parentPath.size() + 1);
            if (parent.Open(Hive(record.Root), parentPath, KEY_WRITE | ViewAccess(record.View64)) == ERROR_SUCCESS &&
                RegDeleteKeyExW(parent.Get(), leaf.c_str(), ViewAccess(record.View64), 0) == ERROR_SUCCESS)
                FBackup.ForgetKey(name);
            else
                Note(L"Cannot delete the key " + std::wstring(RootName(record.Root)) + record.Key + L".");
        }
    }

    HRESULT Restore() {
        if (Machine())
            RecordAppliedOnBuild(false);
        const LONG status = FBackup.Open();
        if (status == ERROR_FILE_NOT_FOUND) {
            if (Machine() && LegacyLevelPresent())
                CleanLegacy();
            return S_OK;
        }
        if (!BackupLoaded(status, L"opened", L"nothing was restored"))
            return E_FAIL;
        AdoptLegacyUserRecords();
        const std::map<std::wstring, TValueRecord, TNoCase> records = FBackup.Values();
        for (const auto& [name, record] : records)
            if (Ours(record.Target.Root))
                RestoreValue(record);
        CleanCreatedKeys(true);
        const std::wstring ownerKey = FBackup.OwnerKey();
        const bool ownerCreated = FBackup.Keys().count(KeyRecordName(FBackup.Root(), ownerKey)) != 0;
        if (FBackup.Values().size() + FBackup.Unreadable().size() + FBackup.Keys().size() != (ownerCreated ? 1u : 0u)) {
            Note(L"The backup is kept: some records could not be replayed.");
            return S_OK;
        }
        if (!FBackup.Remove()) {
            Note(L"Cannot delete the backup key.");
            return S_OK;
        }
        if (ownerCreated) {
            const REGSAM view = ViewAccess(FBackup.View64());
            TRegKey owner;
            if (owner.Open(FBackup.Hive(), ownerKey, KEY_READ | view) == ERROR_SUCCESS && owner.IsEmpty()) {
                owner = TRegKey();
                TRegKey software;
                if (software.Open(FBackup.Hive(), ParentKey(ownerKey), KEY_WRITE | view) == ERROR_SUCCESS)
                    RegDeleteKeyExW(software.Get(), L"Quenvar", view, 0);
            }
        }
        return S_OK;
    }

    // ---- Machines levelled by earlier versions, which kept no backup ---------------------------

    // Evidence that an earlier version applied a level here: those versions wrote "Enabled", and
    // nothing else, under both sides of every protocol of their catalogue (the server copying the
    // client) and under every cipher of it. Windows itself ships none of this, and current tools
    // write "DisabledByDefault" as well; Windows' own "SSL 2.0\Client" default is allowed.
    static bool LegacyLevelPresent() {
        const auto enabledOf = [](const std::wstring& aKey, DWORD& aNumber, bool& aHasDefaultSwitch) {
            TRegKey key;
            TRegValueData data;
            if (key.Open(HKEY_LOCAL_MACHINE, aKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
                key.Read(kEnabledValue, data) != ERROR_SUCCESS || !RegDWordOf(data, aNumber))
                return false;
            aHasDefaultSwitch = key.Read(kDisabledByDefaultValue, data) == ERROR_SUCCESS && data.Present;
            return true;
        };
        for (const wchar_t* name : kLegacyProtocols) {
            const std::wstring base = kSchannelProtocolsKey + std::wstring(name);
            DWORD client = 0, server = 0;
            bool clientDefault = false, serverDefault = false;
            if (!enabledOf(base + L"\\Client", client, clientDefault) ||
                !enabledOf(base + L"\\Server", server, serverDefault) || client != server || serverDefault ||
                (clientDefault && wcscmp(name, L"SSL 2.0") != 0))
                return false;
        }
        for (const wchar_t* name : kLegacyCiphers) {
            DWORD number = 0;
            bool unused = false;
            if (!enabledOf(kSchannelCiphersKey + std::wstring(name), number, unused))
                return false;
        }
        return true;
    }

    // Deletes the "Enabled" values an earlier version wrote (-1 or 0; it kept any other value),
    // the keys that leaves empty, and puts the Internet Explorer options back to their defaults.
    void CleanLegacy() {
        std::vector<std::wstring> keys;
        for (const wchar_t* name : kLegacyProtocols) {
            keys.push_back(kSchannelProtocolsKey + std::wstring(name) + L"\\Client");
            keys.push_back(kSchannelProtocolsKey + std::wstring(name) + L"\\Server");
            keys.push_back(kSchannelProtocolsKey + std::wstring(name));
        }
        for (const wchar_t* name : kLegacyCiphers)
            keys.push_back(kSchannelCiphersKey + std::wstring(name));
        for (const std::wstring& path : keys) {
            TRegKey key;
            if (key.Open(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_WRITE) != ERROR_SUCCESS)
                continue;
            TRegValueData enabled;
            DWORD number = 0;
            if (key.Read(kEnabledValue, enabled) == ERROR_SUCCESS && RegDWordOf(enabled, number) &&
                (number == 0 || number == 0xFFFFFFFFu) && key.DeleteValue(kEnabledValue) == ERROR_SUCCESS)
                Changed(TTarget{HKEY_LOCAL_MACHINE, path, kEnabledValue, false});
            if (key.IsEmpty()) {
                key = TRegKey();
                DeleteRegKeyPath(HKEY_LOCAL_MACHINE, path);
            }
        }
        for (const wchar_t* name : kLegacyIEOptions)
            if (SUCCEEDED(SetIECryptoOption(saDefault, name)))
                ++FReport.Changed;
        Note(L"No backup: the values of an earlier version were removed.");
    }
};

} // namespace

namespace {

HRESULT ApplyPart(TLevel aLevel, const TOSVersion& anOS, TLevelReport& aReport, HKEY aUserHive,
                  HKEY aLegacyUser) noexcept {
    if (aLevel != lOff && aLevel != lOptimal && aLevel != lMax)
        return S_OK;
    try {
        // Two level changes at once would each take the other's values for originals.
        TMutex lock(kLevelMutexName);
        if (!lock.Lock(30000)) {
            aReport.Notes.push_back(L"Another level change is still running: no level was applied.");
            return E_FAIL;
        }
        TLevelApplier applier(anOS, aReport, aUserHive, aLegacyUser);
        return applier.Apply(aLevel);
    } catch (...) {
        NoteCurrentSwallowed("ApplySecurityLevelOn");
        aReport.Notes.push_back(L"Out of memory: the level was not applied to its end.");
        return E_FAIL;
    }
}

} // namespace

HRESULT ApplySecurityLevelOn(TLevel aLevel, const TOSVersion& anOS, TLevelReport& aReport, HKEY aLegacyUser) noexcept {
    return ApplyPart(aLevel, anOS, aReport, nullptr, aLegacyUser);
}

HRESULT ApplySecurityLevel(TLevel aLevel, HKEY aLegacyUser) noexcept {
    TLevelReport report;
    const HRESULT result = ApplySecurityLevelOn(aLevel, CurrentOSVersion(), report, aLegacyUser);
    MarkRestartNeeds(report.Needs);
    return result;
}

HRESULT ApplyUserSecurityLevelOn(TLevel aLevel, const TOSVersion& anOS, HKEY aUserHive,
                                 TLevelReport& aReport) noexcept {
    if (!aUserHive)
        return S_OK;
    return ApplyPart(aLevel, anOS, aReport, aUserHive, nullptr);
}

HRESULT ApplyUserSecurityLevel(TLevel aLevel) noexcept {
    TLevelReport report;
    return ApplyUserSecurityLevelOn(aLevel, CurrentOSVersion(), HKEY_CURRENT_USER, report);
}

HRESULT SetIECryptoOption(TSwitchAction anAction, const std::wstring& aName) noexcept {
    if (aName.empty())
        return S_OK;
    return ResultOr<HRESULT>("SetIECryptoOption", E_FAIL, [&]() -> HRESULT {
        TIECryptoDescriptor descriptor;
        ReadIECryptoDescriptor(aName, descriptor);
        const HKEY root = IECryptoRoot(descriptor.HKeyRoot);
        int current = 0;
        if (!root || !ReadRegDWord(root, descriptor.RegPath, descriptor.ValueName, current))
            return E_FAIL;
        const DWORD updated = IECryptoOptionValue(anAction, descriptor, static_cast<DWORD>(current));
        return WriteRegDWord(root, descriptor.RegPath, descriptor.ValueName, static_cast<int>(updated)) ? S_OK : E_FAIL;
    });
}
