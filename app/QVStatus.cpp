#include "QVStatus.h"

#include "QVMachine.h"
#include "QVSupport.h"

#include "../lib/FallbackU.h"
#include "../lib/FileU.h"
#include "../lib/FileVersionU.h"
#include "../lib/HandleU.h"
#include "../lib/SchannelU.h"
#include "../lib/TextU.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <set>

namespace {

// The protocols the self-test asks SCHANNEL about, with their credential bits per side.
struct TProbeRow {
    const wchar_t* name;
    DWORD client, server;
};
const TProbeRow kProbes[] = {
    {L"SSL 2.0", SP_PROT_SSL2_CLIENT, SP_PROT_SSL2_SERVER},
    {L"SSL 3.0", SP_PROT_SSL3_CLIENT, SP_PROT_SSL3_SERVER},
    {L"TLS 1.0", SP_PROT_TLS1_0_CLIENT, SP_PROT_TLS1_0_SERVER},
    {L"TLS 1.1", SP_PROT_TLS1_1_CLIENT, SP_PROT_TLS1_1_SERVER},
    {L"TLS 1.2", SP_PROT_TLS1_2_CLIENT, SP_PROT_TLS1_2_SERVER},
    {L"TLS 1.3", 0x00002000 /* SP_PROT_TLS1_3_CLIENT */, 0x00001000 /* SP_PROT_TLS1_3_SERVER */},
};

const wchar_t* RootName(HKEY aRoot) noexcept {
    if (aRoot == HKEY_CURRENT_USER)
        return L"HKCU\\";
    if (aRoot == HKEY_LOCAL_MACHINE)
        return L"HKLM\\";
    if (aRoot == HKEY_USERS)
        return L"HKU\\";
    if (aRoot == HKEY_CLASSES_ROOT)
        return L"HKCR\\";
    return L"HKCC\\";
}

// LocalSystem, LocalService and NetworkService: accounts no user logs on as, so no instance of
// ours ever applies a user's part in their hives (management agents run /status as LocalSystem).
bool IsServiceAccount(const std::wstring& aSid) {
    return aSid == L"S-1-5-18" || aSid == L"S-1-5-19" || aSid == L"S-1-5-20";
}

std::wstring Hex(DWORD aNumber) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(aNumber));
    return text;
}

// The check of one Internet Explorer option: its bits in the value in effect (a policy's, the
// user's, or the default an absent target stands for) already are what the action makes of them.
TSettingCheck CheckIEOption(const TPlannedSetting& aSetting, const TObservedSetting* anObserved) {
    TSettingCheck check;
    check.Path = L"HKLM\\" + aSetting.Key;
    check.Value = aSetting.Value;
    check.Expected = aSetting.IEAction == saOn ? L"ticked" : L"unticked";
    const HKEY root = anObserved && anObserved->Descriptor ? IECryptoRoot(anObserved->Descriptor->HKeyRoot) : nullptr;
    if (!root) {
        check.Judged = false;
        check.Actual = L"no descriptor";
        return check;
    }
    const TIECryptoDescriptor& d = *anObserved->Descriptor;
    const TIEEffectiveValue effective = IEEffectiveValue(d, anObserved->Actual, anObserved->MachinePolicy,
                                                         anObserved->UserPolicy, anObserved->AbsentDefault);
    const bool byPolicy = effective.Source == vsMachinePolicy || effective.Source == vsUserPolicy;
    check.Path =
        (effective.Source == vsMachinePolicy ? L"HKLM\\" : RootName(root)) + (byPolicy ? d.RegPoliciesPath : d.RegPath);
    check.Value = d.ValueName + L" (option " + aSetting.Value + L")" + (byPolicy ? L" (set by policy)" : L"");
    // The policy's value is the organization's: reported, never fought over.
    if (byPolicy)
        check.Owner = ValueOwnerName(voGroupPolicy);
    if (!effective.Known) {
        check.Judged = false;
        check.Actual = L"not judged: " + effective.Reason;
        return check;
    }
    const DWORD wanted = IECryptoOptionValue(aSetting.IEAction, d, effective.Value);
    check.Expected = Hex(wanted);
    check.Actual =
        effective.Source == vsDefault ? L"absent (default " + Hex(effective.Value) + L")" : Hex(effective.Value);
    check.Matches = wanted == effective.Value;
    return check;
}

// A suite or group list is judged as auditors judge one, so its texts say by what rule, and who
// set it when an organization's policy did.
void DescribeList(const TPlannedSetting& aSetting, const TObservedSetting* anObserved, TSettingCheck& aCheck) {
    static const TObservedSetting kAbsent;
    const TObservedSetting& observed = anObserved ? *anObserved : kAbsent;
    const TListVerdict verdict = JudgeList(aSetting, observed.Actual);
    const std::wstring level = aSetting.Rule.Level == lOptimal ? L"Optimal" : L"Maximum";
    aCheck.Expected = L"no weaker than " + aCheck.Expected;
    if (observed.Owner != voNone) {
        aCheck.Owner = ValueOwnerName(observed.Owner);
        aCheck.Actual = L"Set by your organization's policy (" +
                        (verdict.Holds ? (verdict.Exact ? L"the same as " + level : L"stricter than " + level)
                                       : L"weaker than " + level + L": " + verdict.Reason) +
                        L")";
    } else if (!verdict.Holds) {
        aCheck.Actual += L" (" + verdict.Reason + L")";
    }
}

// The DWORD setting of aPlan for aKey's value aValue, or null.
const TPlannedSetting* FindSetting(const std::vector<TPlannedSetting>& aPlan, const std::wstring& aKey,
                                   const wchar_t* aValue) {
    for (const TPlannedSetting& s : aPlan)
        if (s.Kind == skDWord && _wcsicmp(s.Key.c_str(), aKey.c_str()) == 0 && _wcsicmp(s.Value.c_str(), aValue) == 0)
            return &s;
    return nullptr;
}

std::string JsonString(const std::wstring& aText) {
    std::string out = "\"";
    for (const char c : WideToUtf8(aText)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* JsonBool(bool aValue) noexcept {
    return aValue ? "true" : "false";
}

const char* ProbeText(TProbeResult aResult) noexcept {
    switch (aResult) {
    case prAvailable:
        return "available";
    case prRefused:
        return "refused";
    case prNotMeasurable:
        break;
    }
    return "not measurable";
}

std::string JsonSide(const TSideProbe& aSide) {
    std::string out = std::string("{\"result\": \"") + ProbeText(aSide.Result) + "\", \"status\": ";
    out += aSide.Result == prNotMeasurable ? std::string("null")
                                           : "\"" + WideToUtf8(Hex(static_cast<DWORD>(aSide.Status))) + "\"";
    out += ", \"expected\": ";
    out += aSide.Expected ? (*aSide.Expected ? "\"available\"" : "\"refused\"") : "null";
    return out + "}";
}

std::wstring SideLine(const std::wstring& aProtocol, const wchar_t* aSide, const TSideProbe& aProbe) {
    std::wstring line = L"  " + aProtocol + L" " + aSide + L": " + Utf8ToWide(ProbeText(aProbe.Result));
    if (aProbe.Expected && aProbe.Result != prNotMeasurable)
        line += (aProbe.Result == prAvailable) == *aProbe.Expected ? L" (as set)" : L" (differs from the settings)";
    return line + L"\r\n";
}

} // namespace

std::wstring SettingIdentity(const TPlannedSetting& aSetting) {
    return std::wstring(aSetting.View64 ? L"64:" : L"") + aSetting.Key + L"|" + aSetting.Value;
}

std::wstring DescribeRegValue(const TRegValueData& aValue) {
    if (!aValue.Present)
        return L"absent";
    DWORD number = 0;
    if (RegDWordOf(aValue, number))
        return std::to_wstring(number);
    if ((aValue.Type == REG_SZ || aValue.Type == REG_EXPAND_SZ) && aValue.Bytes.size() % sizeof(wchar_t) == 0) {
        std::wstring text(reinterpret_cast<const wchar_t*>(aValue.Bytes.data()), aValue.Bytes.size() / sizeof(wchar_t));
        text = text.substr(0, text.find(L'\0'));
        constexpr size_t kShown = 120; // a huge value stays one readable line
        if (text.size() > kShown)
            text = text.substr(0, kShown) + L"...";
        return L"\"" + text + L"\"";
    }
    const wchar_t* type = aValue.Type == REG_BINARY     ? L"REG_BINARY"
                          : aValue.Type == REG_DWORD    ? L"REG_DWORD"
                          : aValue.Type == REG_QWORD    ? L"REG_QWORD"
                          : aValue.Type == REG_SZ       ? L"REG_SZ"
                          : aValue.Type == REG_MULTI_SZ ? L"REG_MULTI_SZ"
                                                        : nullptr;
    std::wstring name = type ? std::wstring(type) : L"type " + std::to_wstring(aValue.Type);
    return name + L", " + std::to_wstring(aValue.Bytes.size()) + L" bytes";
}

std::vector<TSettingCheck> CheckPlan(const std::vector<TPlannedSetting>& aPlan, const TPlanSnapshot& aSnapshot) {
    std::vector<TSettingCheck> checks;
    checks.reserve(aPlan.size());
    static const TObservedSetting kAbsent;
    for (const TPlannedSetting& s : aPlan) {
        const auto it = aSnapshot.find(SettingIdentity(s));
        const TObservedSetting* observed = it == aSnapshot.end() ? nullptr : &it->second;
        if (s.Kind == skIEOption) {
            checks.push_back(CheckIEOption(s, observed));
            continue;
        }
        const TRegValueData& actual = observed ? observed->Actual : kAbsent.Actual;
        TSettingCheck check;
        check.Path = L"HKLM\\" + s.Key;
        check.Value = s.Value;
        check.Expected = s.Kind == skNotDisabled ? L"absent or 4294967295" : DescribeRegValue(SettingValue(s));
        check.Actual = DescribeRegValue(actual);
        check.Matches = SettingHolds(s, actual);
        if (s.Kind == skSuiteList || s.Kind == skGroupList)
            DescribeList(s, observed, check);
        checks.push_back(std::move(check));
    }
    return checks;
}

std::vector<TSettingCheck> Deviations(const std::vector<TSettingCheck>& aChecks) {
    std::vector<TSettingCheck> out;
    for (const TSettingCheck& c : aChecks)
        if (c.Judged && !c.Matches)
            out.push_back(c);
    return out;
}

std::vector<TSettingCheck> DriftDeviations(const std::vector<TSettingCheck>& aChecks) {
    std::vector<TSettingCheck> out;
    for (const TSettingCheck& c : aChecks)
        if (c.Judged && !c.Matches && c.Owner.empty())
            out.push_back(c);
    return out;
}

void MarkUpdateDeviations(std::vector<TSettingCheck>& aChecks, const std::vector<TPlannedSetting>& aPlan,
                          const std::vector<TPlannedSetting>& anEarlierPlan, const TPlanSnapshot& aSnapshot) {
    static const TObservedSetting kAbsent;
    for (size_t i = 0; i < aChecks.size() && i < aPlan.size(); ++i) {
        if (!aChecks[i].Judged || aChecks[i].Matches)
            continue;
        const std::wstring identity = SettingIdentity(aPlan[i]);
        const auto earlier = std::find_if(anEarlierPlan.begin(), anEarlierPlan.end(), [&](const TPlannedSetting& s) {
            return _wcsicmp(SettingIdentity(s).c_str(), identity.c_str()) == 0;
        });
        if (earlier == anEarlierPlan.end()) {
            aChecks[i].SinceUpdate = true;
            continue;
        }
        const auto it = aSnapshot.find(identity);
        const TObservedSetting& observed = it == aSnapshot.end() ? kAbsent : it->second;
        if (earlier->Kind != skIEOption && SettingHolds(*earlier, observed.Actual))
            aChecks[i].SinceUpdate = true;
    }
}

TGroupState GroupState(const TOSVersion& anOS, const TRegValueData& aGroupOrder, bool aRestartPending) {
    if (!HasMlKemGroups(anOS))
        return gsUnavailable;
    if (!NamesHybridGroup(aGroupOrder))
        return gsAvailable;
    return aRestartPending ? gsWaitingForRestart : gsConfigured;
}

const char* GroupStateName(TGroupState aState) noexcept {
    switch (aState) {
    case gsAvailable:
        return "available";
    case gsConfigured:
        return "configured";
    case gsWaitingForRestart:
        return "waiting for a restart";
    case gsUnavailable:
        break;
    }
    return "unavailable";
}

size_t JudgedCount(const std::vector<TSettingCheck>& aChecks) noexcept {
    return static_cast<size_t>(
        std::count_if(aChecks.begin(), aChecks.end(), [](const TSettingCheck& c) { return c.Judged; }));
}

TPlanSnapshot ObservePlan(const std::vector<TPlannedSetting>& aPlan) {
    TPlanSnapshot snapshot;
    // Plans name each key several times: open each once.
    std::map<std::wstring, TRegKey> keys;
    const auto read = [&](HKEY aRoot, const std::wstring& aKey, REGSAM aView, const std::wstring& aValue) {
        const std::wstring name = std::wstring(RootName(aRoot)) + (aView ? L"64:" : L"") + aKey;
        auto it = keys.find(name);
        if (it == keys.end()) {
            TRegKey key;
            if (key.Open(aRoot, aKey, KEY_QUERY_VALUE | aView) != ERROR_SUCCESS)
                key = TRegKey();
            it = keys.emplace(name, std::move(key)).first;
        }
        TRegValueData data;
        if (it->second.Valid() && it->second.Read(aValue, data) != ERROR_SUCCESS)
            data = TRegValueData();
        return data;
    };
    std::optional<std::vector<TIECryptoOption>> options; // listed once, when an absent target needs them
    for (const TPlannedSetting& s : aPlan) {
        TObservedSetting observed;
        if (s.Kind == skIEOption) {
            TIECryptoDescriptor descriptor;
            if (ReadIECryptoDescriptor(s.Value, descriptor)) {
                if (const HKEY root = IECryptoRoot(descriptor.HKeyRoot)) {
                    observed.Actual = read(root, descriptor.RegPath, 0, descriptor.ValueName);
                    if (!descriptor.RegPoliciesPath.empty()) {
                        // SOFTWARE\Policies is shared by both registry views.
                        observed.MachinePolicy = read(HKEY_LOCAL_MACHINE, descriptor.RegPoliciesPath, ViewAccess(true),
                                                      descriptor.ValueName);
                        observed.UserPolicy = read(root, descriptor.RegPoliciesPath, 0, descriptor.ValueName);
                    }
                    if (!observed.Actual.Present) {
                        if (!options)
                            options = ReadIECryptoOptions();
                        observed.AbsentDefault = IEAbsentTargetDefault(*options, descriptor);
                    }
                }
                observed.Descriptor = std::move(descriptor);
            }
        } else {
            observed.Actual = read(HKEY_LOCAL_MACHINE, s.Key, ViewAccess(s.View64), s.Value);
            if (s.Policy)
                observed.Owner = PolicyOwnerOf(s.Key, s.Value);
        }
        snapshot[SettingIdentity(s)] = std::move(observed);
    }
    return snapshot;
}

std::vector<TWatchedKey> DriftWatchKeys(const TOSVersion& anOS) {
    std::vector<TWatchedKey> keys{{HKEY_LOCAL_MACHINE, kSchannelKey, true, false}};
    std::set<std::wstring> seen{AsciiUpper(std::wstring(L"HKLM\\") + kSchannelKey)};
    const auto add = [&](HKEY aRoot, const std::wstring& aPath, bool aView64) {
        const std::wstring name = RootName(aRoot) + aPath;
        if (!seen.insert(AsciiUpper(name)).second)
            return;
        keys.push_back({aRoot, aPath, false, aView64});
    };
    for (const TLevel level : {lOptimal, lMax})
        for (const TPlannedSetting& s : SecurityLevelPlan(level, anOS)) {
            if (_wcsnicmp(s.Key.c_str(), kSchannelKey, wcslen(kSchannelKey)) == 0)
                continue; // inside the SCHANNEL tree, which is watched whole
            if (s.Kind != skIEOption) {
                add(HKEY_LOCAL_MACHINE, s.Key, s.View64);
                continue;
            }
            TIECryptoDescriptor descriptor;
            if (!ReadIECryptoDescriptor(s.Value, descriptor))
                continue;
            if (const HKEY root = IECryptoRoot(descriptor.HKeyRoot)) {
                add(root, descriptor.RegPath, false);
                // The policy keys usually do not exist: the watch waits for their creation.
                if (!descriptor.RegPoliciesPath.empty()) {
                    add(HKEY_LOCAL_MACHINE, descriptor.RegPoliciesPath, true);
                    add(root, descriptor.RegPoliciesPath, false);
                }
            }
        }
    return keys;
}

std::optional<bool> ExpectedUsable(const std::vector<TPlannedSetting>& aPlan, const std::wstring& aProtocol,
                                   bool aServer) {
    const TPlannedSetting* enabled =
        FindSetting(aPlan, kSchannelProtocolsKey + aProtocol + (aServer ? L"\\Server" : L"\\Client"), kEnabledValue);
    if (!enabled)
        return std::nullopt;
    return enabled->Number != 0;
}

TSelfTest RunSelfTest(const std::vector<TPlannedSetting>& aPlan) noexcept {
    TSelfTest test;
    try {
        const TSchannelCredentialUse use = ChooseSchannelCredentials(CurrentOSVersion().Build);
        test.Credentials = CredentialUseText(use);
        // The handshake first: it tells whether this SCHANNEL has a server side whose answers
        // mean anything.
        const TThrowawayCertificate certificate;
        if (!certificate.Get()) {
            test.Handshake = L"not measurable (no throwaway certificate could be made)";
        } else {
            const TTlsOutcome outcome = InMemoryHandshake(use, certificate.Get(), 0);
            if (outcome.Connected) {
                test.ServerSide = true;
                test.Handshake = std::wstring(TlsProtocolName(outcome.Protocol)) + L", " +
                                 TlsCipherName(outcome.Cipher, outcome.CipherStrength);
                if (outcome.AfterHandshake != SEC_E_OK)
                    test.Handshake +=
                        L"; reading after it failed (" + Hex(static_cast<DWORD>(outcome.AfterHandshake)) + L")";
            } else if (outcome.Status == SEC_E_UNSUPPORTED_FUNCTION) {
                test.Handshake = L"not measurable (SCHANNEL has no server side here)";
            } else {
                test.Handshake = L"failed (" + Hex(static_cast<DWORD>(outcome.Status)) + L")";
            }
        }
        if (certificate.Get() && certificate.LegacyKey())
            test.Handshake +=
                L"; CryptoAPI key, no TLS 1.3 (CNG refused: " + Hex(static_cast<DWORD>(certificate.CngStatus())) + L")";
        for (const TProbeRow& row : kProbes) {
            TProtocolProbe probe;
            probe.Protocol = row.name;
            probe.Client.Expected = ExpectedUsable(aPlan, row.name, false);
            probe.Server.Expected = ExpectedUsable(aPlan, row.name, true);
            probe.Client.Status = ProbeProtocolCredentials(use, row.client, false);
            probe.Client.Result = probe.Client.Status == SEC_E_OK ? prAvailable : prRefused;
            if (test.ServerSide) {
                probe.Server.Status = ProbeServerCredentials(use, row.server, certificate.Get());
                probe.Server.Result = probe.Server.Status == SEC_E_OK ? prAvailable : prRefused;
            }
            test.Protocols.push_back(std::move(probe));
        }
    } catch (...) {
        NoteCurrentSwallowed("RunSelfTest");
        test.Protocols.clear();
        test.Handshake = L"not measurable (out of memory)";
    }
    return test;
}

std::vector<std::wstring> SelfTestDisagreements(const TSelfTest& aTest) {
    std::vector<std::wstring> out;
    for (const TProtocolProbe& p : aTest.Protocols) {
        const auto differs = [](const TSideProbe& s) {
            return s.Result != prNotMeasurable && s.Expected && (s.Result == prAvailable) != *s.Expected;
        };
        if (differs(p.Client))
            out.push_back(p.Protocol + L" Client");
        if (differs(p.Server))
            out.push_back(p.Protocol + L" Server");
    }
    return out;
}

bool IsCompliant(TLevel aLevel, const std::vector<TSettingCheck>& aSettings, const TSelfTest* aTest) {
    return (aLevel == lOptimal || aLevel == lMax) && Deviations(aSettings).empty() &&
           (!aTest || SelfTestDisagreements(*aTest).empty());
}

TStatusReport BuildStatusReport(bool aSelfTest) {
    TStatusReport report;
    report.ProductVersion = GetFileVersionString(GetAppFileName());
    report.OS = CurrentOSVersion();
    report.StoredLevel = ReadStoredLevel();
    report.Level = ClampLevel(report.StoredLevel);
    const std::vector<TPlannedSetting> plan = SecurityLevelPlan(report.Level, report.OS);
    const TPlanSnapshot snapshot = ObservePlan(plan);
    report.Settings = CheckPlan(plan, snapshot);
    if (IsServiceAccount(CurrentUserSid()))
        for (TSettingCheck& check : report.Settings)
            if (_wcsnicmp(check.Path.c_str(), L"HKCU\\", 5) == 0) {
                check.Judged = false;
                check.Matches = true;
                check.Actual = L"per user, not judged for a service account";
            }
    DWORD build = 0, revision = 0;
    if (ReadAppliedOnBuild(build, revision)) {
        report.AppliedOnBuild = build;
        if (build != report.OS.Build || revision != report.OS.Revision) {
            TOSVersion earlier = report.OS;
            earlier.Build = build;
            earlier.Revision = revision;
            MarkUpdateDeviations(report.Settings, plan, SecurityLevelPlan(report.Level, earlier), snapshot);
        }
    }
    if (aSelfTest)
        report.SelfTest = RunSelfTest(plan);
    report.RestartNeeds = PendingRestartNeeds();
    report.RestartPending = (report.RestartNeeds & teWindowsRestart) != 0;
    TRegKey order;
    TRegValueData groups;
    if (order.Open(HKEY_LOCAL_MACHINE, kSuiteOrderKey, KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        order.Read(kGroupOrderValue, groups) != ERROR_SUCCESS)
        groups = TRegValueData();
    report.Groups = GroupState(report.OS, groups, report.RestartPending);
    report.CheckedAt = CheckedAtText();
    report.Compliant = IsCompliant(report.Level, report.Settings, report.SelfTest ? &*report.SelfTest : nullptr);
    return report;
}

std::string StatusReportJson(const TStatusReport& aReport) {
    std::string out = "{\n";
    out += "  \"product\": \"Quenvar\",\n  \"version\": " + JsonString(aReport.ProductVersion) + ",\n";
    out += "  \"os\": {\"major\": " + std::to_string(aReport.OS.Major) +
           ", \"minor\": " + std::to_string(aReport.OS.Minor) + ", \"build\": " + std::to_string(aReport.OS.Build) +
           ", \"is64Bit\": " + JsonBool(aReport.OS.Is64Bit) + "},\n";
    out += "  \"storedLevel\": " + std::to_string(aReport.StoredLevel) + ",\n";
    out += "  \"level\": " + std::to_string(aReport.Level) +
           ",\n  \"levelName\": " + JsonString(LevelName(aReport.Level)) + ",\n";
    out += "  \"settings\": [";
    for (size_t i = 0; i < aReport.Settings.size(); ++i) {
        const TSettingCheck& c = aReport.Settings[i];
        out += std::string(i ? ",\n" : "\n") + "    {\"path\": " + JsonString(c.Path) +
               ", \"value\": " + JsonString(c.Value) + ", \"expected\": " + JsonString(c.Expected) +
               ", \"actual\": " + JsonString(c.Actual) + ", \"judged\": " + JsonBool(c.Judged) +
               ", \"matches\": " + JsonBool(c.Matches) +
               ", \"setByPolicy\": " + (c.Owner.empty() ? std::string("null") : JsonString(c.Owner)) +
               ", \"sinceUpdate\": " + JsonBool(c.SinceUpdate) + "}";
    }
    out += aReport.Settings.empty() ? "],\n" : "\n  ],\n";
    out += "  \"deviations\": " + std::to_string(Deviations(aReport.Settings).size()) + ",\n";
    if (aReport.SelfTest) {
        const TSelfTest& t = *aReport.SelfTest;
        out += "  \"selfTest\": {\n    \"serverSide\": " + std::string(JsonBool(t.ServerSide)) +
               ",\n    \"handshake\": " + JsonString(t.Handshake) +
               ",\n    \"credentials\": " + JsonString(t.Credentials) + ",\n    \"protocols\": [";
        for (size_t i = 0; i < t.Protocols.size(); ++i) {
            const TProtocolProbe& p = t.Protocols[i];
            out += std::string(i ? ",\n" : "\n") + "      {\"protocol\": " + JsonString(p.Protocol) +
                   ", \"client\": " + JsonSide(p.Client) + ", \"server\": " + JsonSide(p.Server) + "}";
        }
        out += "\n    ],\n    \"disagreements\": [";
        const std::vector<std::wstring> disagreements = SelfTestDisagreements(t);
        for (size_t i = 0; i < disagreements.size(); ++i)
            out += (i ? ", " : "") + JsonString(disagreements[i]);
        out += "]\n  },\n";
    } else {
        out += "  \"selfTest\": null,\n";
    }
    out += "  \"restartPending\": " + std::string(JsonBool(aReport.RestartPending)) + ",\n";
    out += "  \"restartNeeds\": [";
    const char* sep = "";
    for (const auto& [bit, name] : {std::pair<unsigned, const char*>{teProgramsRestart, "programs"},
                                    {teServicesRestart, "services"},
                                    {teWindowsRestart, "Windows"}})
        if (aReport.RestartNeeds & bit) {
            out += std::string(sep) + "\"" + name + "\"";
            sep = ", ";
        }
    out += "],\n";
    out +=
        "  \"appliedOnBuild\": " + (aReport.AppliedOnBuild ? std::to_string(aReport.AppliedOnBuild) : "null") + ",\n";
    out += "  \"postQuantumGroups\": \"" + std::string(GroupStateName(aReport.Groups)) + "\",\n";
    out += "  \"checkedAt\": " + JsonString(aReport.CheckedAt) + ",\n";
    out += "  \"compliant\": " + std::string(JsonBool(aReport.Compliant)) + "\n}\n";
    return out;
}

std::wstring StatusReportText(const TStatusReport& aReport) {
    std::wstring out = L"Quenvar " + aReport.ProductVersion + L" status, checked " + aReport.CheckedAt + L"\r\n";
    out += L"Windows " + std::to_wstring(aReport.OS.Major) + L"." + std::to_wstring(aReport.OS.Minor) + L" build " +
           std::to_wstring(aReport.OS.Build) + (aReport.OS.Is64Bit ? L" (64-bit)" : L" (32-bit)") + L"\r\n";
    out += L"Level: " + std::wstring(LevelName(aReport.Level));
    if (aReport.StoredLevel != aReport.Level)
        out += L" (stored as " + std::to_wstring(aReport.StoredLevel) + L")";
    out += L"\r\n\r\n";
    for (const TSettingCheck& c : aReport.Settings)
        out += std::wstring(!c.Judged   ? L"  ?  "
                            : c.Matches ? L"  ok "
                                        : L"  !! ") +
               c.Path + L" \"" + c.Value + L"\": expected " + c.Expected + L", actual " + c.Actual + L"\r\n";
    if (aReport.SelfTest) {
        out += L"\r\nSelf-test through SCHANNEL (handshake: " + aReport.SelfTest->Handshake + L")\r\n";
        out += L"  Credentials: " + aReport.SelfTest->Credentials + L"\r\n";
        for (const TProtocolProbe& p : aReport.SelfTest->Protocols) {
            out += SideLine(p.Protocol, L"Client", p.Client);
            out += SideLine(p.Protocol, L"Server", p.Server);
        }
    }
    out += L"\r\nRestart pending: " + std::wstring(aReport.RestartPending ? L"yes" : L"no") + L"\r\n";
    if (aReport.RestartNeeds)
        out += RestartNoteText(aReport.RestartNeeds) + L"\r\n";
    out += L"Post-quantum key exchange: " + Utf8ToWide(GroupStateName(aReport.Groups)) + L"\r\n";
    out += L"Compliant: " + std::wstring(aReport.Compliant ? L"yes" : L"no") + L"\r\n";
    return out;
}

std::wstring CheckedAtText() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[8];
    swprintf(text, 8, L"%02u:%02u", now.wHour, now.wMinute);
    return text;
}

const wchar_t* LevelName(TLevel aLevel) noexcept {
    switch (aLevel) {
    case lMax:
        return L"Maximum protection";
    case lOptimal:
        return L"Optimal protection";
    case lOff:
        break;
    }
    return L"Off";
}

std::wstring StatusLineText(TLevel aLevel, size_t aJudged, size_t aDeviating, const std::wstring& aCheckedAt) {
    if (aDeviating == 0)
        return L"All " + std::to_wstring(aJudged) + L" settings match " + LevelName(aLevel) + L" (checked " +
               aCheckedAt + L")";
    return std::to_wstring(aDeviating) + (aDeviating == 1 ? L" setting differs from " : L" settings differ from ") +
           LevelName(aLevel);
}

std::wstring DriftBalloonText(size_t aCount) {
    return L"Another program changed " + std::to_wstring(aCount) +
           L" of your TLS/SSL settings. Open Quenvar to restore your protection.";
}

std::wstring DriftAnnouncementText(const std::vector<TSettingCheck>& aDrift) {
    const bool update = !aDrift.empty() &&
                        std::all_of(aDrift.begin(), aDrift.end(), [](const TSettingCheck& c) { return c.SinceUpdate; });
    if (!update)
        return DriftBalloonText(aDrift.size());
    return L"Windows was updated: " + std::to_wstring(aDrift.size()) +
           (aDrift.size() == 1 ? L" setting needs applying again" : L" settings need applying again");
}

std::wstring RestartNoteText(unsigned aNeeds) {
    if (aNeeds & teWindowsRestart)
        return L"Some changes take effect after the next restart";
    if (aNeeds & teServicesRestart)
        return L"Some changes take effect when services restart";
    if (aNeeds & teProgramsRestart)
        return L"Some changes take effect when programs restart";
    return std::wstring();
}

std::wstring DetailsText(TLevel aLevel, const std::vector<TSettingCheck>& aSettings, const TSelfTest* aTest) {
    const std::vector<TSettingCheck> deviations = Deviations(aSettings);
    std::wstring out = StatusLineText(aLevel, JudgedCount(aSettings), deviations.size(), L"") + L"\r\n";
    if (deviations.empty())
        out = L"All " + std::to_wstring(JudgedCount(aSettings)) + L" settings match " + LevelName(aLevel) + L".\r\n";
    for (const TSettingCheck& c : deviations)
        out += L"\r\n" + c.Path + L"\r\n    \"" + c.Value + L"\": expected " + c.Expected + L", found " + c.Actual +
               (c.SinceUpdate ? L" (new since Windows was updated)" : L"") + L"\r\n";
    for (const TSettingCheck& c : aSettings)
        if (c.Matches && !c.Owner.empty())
            out += L"\r\n" + c.Path + L"\r\n    \"" + c.Value + L"\": " + c.Actual + L"\r\n";
    if (aTest) {
        out += L"\r\nSelf-test through SCHANNEL\r\nHandshake: " + aTest->Handshake + L"\r\n";
        out += L"Credentials: " + aTest->Credentials + L"\r\n";
        for (const TProtocolProbe& p : aTest->Protocols) {
            out += SideLine(p.Protocol, L"Client", p.Client);
            out += SideLine(p.Protocol, L"Server", p.Server);
        }
    }
    return out;
}

bool WriteFileReplacing(const std::wstring& aPath, const std::string& aBytes) noexcept {
    return ResultOr("WriteFileReplacing", false, [&] {
        if (aPath.empty() || aBytes.size() > 0x7FFFFFFF)
            return false;
        const std::wstring temp = aPath + L".tmp" + std::to_wstring(GetCurrentProcessId());
        {
            TUniqueFile file(
                CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file)
                return false;
            DWORD written = 0;
            if (!WriteFile(file.get(), aBytes.data(), static_cast<DWORD>(aBytes.size()), &written, nullptr) ||
                written != aBytes.size() || !FlushFileBuffers(file.get())) {
                file.reset();
                DeleteFileW(temp.c_str());
                return false;
            }
        }
        if (!MoveFileExW(temp.c_str(), aPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            DeleteFileW(temp.c_str());
            return false;
        }
        return true;
    });
}

bool RunStatusReport(const std::wstring& aPath) noexcept {
    return ResultOr("RunStatusReport", false, [&] {
        const TStatusReport report = BuildStatusReport(true);
        if (aPath.empty()) {
            WriteToConsole(STD_OUTPUT_HANDLE, StatusReportText(report));
            return report.Compliant;
        }
        // A report that could not be written answers "not compliant": nobody can check it.
        return WriteFileReplacing(aPath, StatusReportJson(report)) && report.Compliant;
    });
}
