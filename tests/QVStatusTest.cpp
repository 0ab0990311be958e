// The comparison of a level's plan with what the registry holds, the self-test's verdicts and the
// texts and report built from them.
#include "LevelExpectations.h"
#include "QVSettings.h"
#include "QVStatus.h"
#include "QVSupport.h"
#include "FallbackU.h"
#include "FileU.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

TRegValueData DWordValue(DWORD aNumber) {
    TRegValueData v;
    v.Present = true;
    v.Type = REG_DWORD;
    v.Bytes.resize(4);
    memcpy(v.Bytes.data(), &aNumber, 4);
    return v;
}

TRegValueData TypedValue(DWORD aType, size_t aSize) {
    TRegValueData v;
    v.Present = true;
    v.Type = aType;
    v.Bytes.assign(aSize, 0x41);
    return v;
}

TRegValueData StringValue(const std::wstring& aText) {
    TRegValueData v;
    v.Present = true;
    v.Type = REG_SZ;
    const auto* bytes = reinterpret_cast<const BYTE*>(aText.c_str());
    v.Bytes.assign(bytes, bytes + (aText.size() + 1) * sizeof(wchar_t));
    return v;
}

TPlannedSetting Planned(const wchar_t* aKey, const wchar_t* aValue, TSettingKind aKind, DWORD aNumber = 0) {
    TPlannedSetting s;
    s.Key = aKey;
    s.Value = aValue;
    s.Kind = aKind;
    s.Number = aNumber;
    return s;
}

const wchar_t kTls10Client[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols\\TLS "
                               L"1.0\\Client";
const wchar_t kAes[] = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Ciphers\\AES 128/128";
const wchar_t kOrder[] = L"SOFTWARE\\Policies\\Microsoft\\Cryptography\\Configuration\\SSL\\00010002";

TEST(PlanCheck, EachKindOfObservedValueIsJudgedAgainstItsSetting) {
    TPlannedSetting order = Planned(kOrder, L"Functions", skString);
    order.Text = L"TLS_AES_256_GCM_SHA384";
    TPlannedSetting view64 =
        Planned(L"SOFTWARE\\Microsoft\\.NETFramework\\v4.0.30319", L"SchUseStrongCrypto", skDWord, 1);
    view64.View64 = true;
    const struct {
        const char* what;
        TPlannedSetting setting;
        std::optional<TRegValueData> observed; // none: missing from the snapshot
        bool matches;
        const wchar_t* actual;
    } rows[] = {
        {"DWORD as planned", Planned(kTls10Client, L"Enabled", skDWord, 0), DWordValue(0), true, L"0"},
        {"DWORD absent", Planned(kTls10Client, L"Enabled", skDWord, 0), std::nullopt, false, L"absent"},
        {"DWORD other value", Planned(kTls10Client, L"Enabled", skDWord, 0), DWordValue(1), false, L"1"},
        {"DWORD as a string", Planned(kTls10Client, L"Enabled", skDWord, 0), StringValue(L"0"), false, L"\"0\""},
        {"DWORD of 8 bytes", Planned(kTls10Client, L"Enabled", skDWord, 0), TypedValue(REG_DWORD, 8), false,
         L"REG_DWORD, 8 bytes"},
        {"huge binary", Planned(kTls10Client, L"Enabled", skDWord, 0), TypedValue(REG_BINARY, 1 << 20), false,
         L"REG_BINARY, 1048576 bytes"},
        {"on cipher, absent", Planned(kAes, L"Enabled", skNotDisabled), std::nullopt, true, L"absent"},
        {"on cipher, all ones", Planned(kAes, L"Enabled", skNotDisabled), DWordValue(0xFFFFFFFF), true, L"4294967295"},
        {"on cipher, 0", Planned(kAes, L"Enabled", skNotDisabled), DWordValue(0), false, L"0"},
        {"on cipher, 1", Planned(kAes, L"Enabled", skNotDisabled), DWordValue(1), false, L"1"},
        {"suite order, other text", order, StringValue(L"TLS_RSA"), false, L"\"TLS_RSA\""},
        {"suite order, as planned", order, StringValue(L"TLS_AES_256_GCM_SHA384"), true, L"\"TLS_AES_256_GCM_SHA384\""},
        {"64-bit view value", view64, DWordValue(1), true, L"1"},
    };
    for (const auto& row : rows) {
        TPlanSnapshot snapshot;
        // An extra entry the plan does not name changes nothing.
        snapshot[L"SYSTEM\\Elsewhere|Enabled"].Actual = DWordValue(7);
        if (row.observed)
            snapshot[SettingIdentity(row.setting)].Actual = *row.observed;
        const std::vector<TSettingCheck> checks = CheckPlan({row.setting}, snapshot);
        ASSERT_EQ(checks.size(), 1u) << row.what;
        EXPECT_EQ(checks[0].Matches, row.matches) << row.what;
        EXPECT_TRUE(checks[0].Judged) << row.what;
        EXPECT_EQ(checks[0].Actual, row.actual) << row.what;
        EXPECT_EQ(checks[0].Path, L"HKLM\\" + row.setting.Key) << row.what;
        EXPECT_EQ(Deviations(checks).size(), row.matches ? 0u : 1u) << row.what;
    }
}

TEST(PlanCheck, AViewIsPartOfASettingsIdentity) {
    TPlannedSetting native =
        Planned(L"SOFTWARE\\Microsoft\\.NETFramework\\v4.0.30319", L"SchUseStrongCrypto", skDWord, 1);
    TPlannedSetting wide = native;
    wide.View64 = true;
    EXPECT_NE(SettingIdentity(native), SettingIdentity(wide));
    TPlanSnapshot snapshot;
    snapshot[SettingIdentity(wide)].Actual = DWordValue(1);
    const auto checks = CheckPlan({native, wide}, snapshot);
    EXPECT_FALSE(checks[0].Matches);
    EXPECT_TRUE(checks[1].Matches);
}

TEST(PlanCheck, InternetExplorerOptionsAreJudgedByTheirOwnBitsOnly) {
    TPlannedSetting tls10 =
        Planned(L"SOFTWARE\\Microsoft\\Internet Explorer\\AdvancedOptions\\CRYPTO\\TLS1.0", L"TLS1.0", skIEOption);
    tls10.IEAction = saOff;
    TIECryptoDescriptor d;
    d.RegPath = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    d.ValueName = L"SecureProtocols";
    d.CheckedValue = d.Mask = 0x80;
    d.HKeyRoot = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_USER));
    const struct {
        const char* what;
        std::optional<TIECryptoDescriptor> descriptor;
        std::optional<TRegValueData> target;
        bool judged, matches;
    } rows[] = {
        {"bit clear, others set", d, DWordValue(0x0A00), true, true},
        {"bit set", d, DWordValue(0x0A80), true, false},
        {"no descriptor", std::nullopt, DWordValue(0x80), false, true},
        {"no target value", d, std::nullopt, false, true},
        {"target not a DWORD", d, TypedValue(REG_SZ, 4), false, true},
    };
    for (const auto& row : rows) {
        TPlanSnapshot snapshot;
        TObservedSetting& observed = snapshot[SettingIdentity(tls10)];
        observed.Descriptor = row.descriptor;
        if (row.target)
            observed.Actual = *row.target;
        const auto checks = CheckPlan({tls10}, snapshot);
        EXPECT_EQ(checks[0].Judged, row.judged) << row.what;
        EXPECT_EQ(checks[0].Matches, row.matches) << row.what;
        if (row.judged) {
            EXPECT_EQ(checks[0].Path, L"HKCU\\" + d.RegPath) << row.what;
            EXPECT_EQ(checks[0].Expected, L"0x00000A00") << row.what;
        }
        EXPECT_EQ(JudgedCount(checks), row.judged ? 1u : 0u) << row.what;
    }
}

// The reader, on a sandboxed registry: the level's own values observed back match its plan, and
// one changed value is the one deviation.
TEST(PlanCheck, ObservedAfterApplyingEachLevelAndAfterOneChange) {
    TRegistrySandbox sandbox;
    InstallIEDescriptors();
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, 0xA80));
    for (const TLevel level : {lOptimal, lMax}) {
        TLevelReport report;
        ASSERT_EQ(ApplySecurityLevelOn(level, kWineWindows10, report), S_OK);
        ASSERT_EQ(ApplyUserSecurityLevelOn(level, kWineWindows10, HKEY_CURRENT_USER, report), S_OK);
        const auto plan = SecurityLevelPlan(level, kWineWindows10);
        auto checks = CheckPlan(plan, ObservePlan(plan));
        EXPECT_EQ(Deviations(checks).size(), 0u) << level;
        EXPECT_EQ(JudgedCount(checks), plan.size()) << level; // the IE options too: descriptors exist
        ASSERT_TRUE(WriteRegDWord(HKEY_LOCAL_MACHINE, std::wstring(kProtocolsKey) + L"TLS 1.1\\Server", L"Enabled", 1));
        checks = CheckPlan(plan, ObservePlan(plan));
        const auto deviations = Deviations(checks);
        ASSERT_EQ(deviations.size(), 1u) << level;
        EXPECT_EQ(deviations[0].Path, L"HKLM\\" + std::wstring(kProtocolsKey) + L"TLS 1.1\\Server");
        EXPECT_EQ(deviations[0].Value, L"Enabled");
        EXPECT_EQ(deviations[0].Expected, L"0");
        EXPECT_EQ(deviations[0].Actual, L"1");
    }
}

// The value in effect for the Internet Explorer options, read back from a sandboxed registry: the
// user's SecureProtocols, the default an absent one stands for, or a "Turn off encryption support"
// policy (machine before user). The user's value is Maximum's own throughout.
TEST(PlanCheck, InternetExplorerOptionsAreJudgedByTheValueInEffect) {
    const std::wstring tls10 = std::wstring(kCryptoKey) + L"TLS1.0";
    const auto policy = [](HKEY aRoot, DWORD aNumber) {
        ASSERT_TRUE(WriteRegDWord(aRoot, kIEPolicyPath, kIETargetValue, static_cast<int>(aNumber)));
    };
    const auto noTarget = [] { ASSERT_TRUE(DeleteRegValue(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue)); };
    const std::wstring user = L"HKCU\\" + std::wstring(kIETargetPath);
    const std::wstring machinePolicy = L"HKLM\\" + std::wstring(kIEPolicyPath);
    const std::wstring userPolicy = L"HKCU\\" + std::wstring(kIEPolicyPath);
    const wchar_t* const plain = L"SecureProtocols (option TLS1.0)";
    const wchar_t* const byPolicy = L"SecureProtocols (option TLS1.0) (set by policy)";
    const struct {
        const char* what;
        std::function<void()> change;
        size_t judged;                    // of the five options
        std::wstring deviating;           // option names
        std::wstring path, value, actual; // TLS1.0's check
    } rows[] = {
        {"the user's value", [] {}, 5, L"", user, plain, L"0x00000802"},
        {"absent target", noTarget, 5, L"SSL3.0 TLS1.0 TLS1.1 ", user, plain, L"absent (default 0x00000AA0)"},
        {"machine policy ticks TLS 1.0", [&] { policy(HKEY_LOCAL_MACHINE, 0x880); }, 5, L"TLS1.0 ", machinePolicy,
         byPolicy, L"0x00000880"},
        {"user policy ticks TLS 1.0", [&] { policy(HKEY_CURRENT_USER, 0x880); }, 5, L"TLS1.0 ", userPolicy, byPolicy,
         L"0x00000880"},
        {"machine policy wins",
         [&] {
             policy(HKEY_LOCAL_MACHINE, 0x800);
             policy(HKEY_CURRENT_USER, 0x880);
         },
         5, L"", machinePolicy, byPolicy, L"0x00000800"},
        {"policy over an absent target",
         [&] {
             noTarget();
             policy(HKEY_CURRENT_USER, 0x800);
         },
         5, L"", userPolicy, byPolicy, L"0x00000800"},
        {"machine policy REG_SZ",
         [&] { ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, kIEPolicyPath, kIETargetValue, L"2048")); }, 0, L"",
         machinePolicy, byPolicy, L"not judged: policy value is not a DWORD"},
        {"absent target, TLS 1.0 without DefaultValue",
         [&] {
             noTarget();
             ASSERT_TRUE(DeleteRegValue(HKEY_LOCAL_MACHINE, tls10, L"DefaultValue"));
         },
         0, L"", user, plain, L"not judged: no default for absent SecureProtocols (option TLS1.0 has no DefaultValue)"},
        {"absent target, TLS 1.0's DefaultValue REG_SZ",
         [&] {
             noTarget();
             ASSERT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, tls10, L"DefaultValue", L"128"));
         },
         0, L"", user, plain, L"not judged: no default for absent SecureProtocols (option TLS1.0 has no DefaultValue)"},
    };
    const auto plan = SecurityLevelPlan(lMax, kWineWindows10);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TRegistrySandbox sandbox;
        InstallIEDescriptors();
        ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, 0x802));
        row.change();
        const auto checks = CheckPlan(plan, ObservePlan(plan));
        size_t judged = 0;
        std::wstring deviating;
        const TSettingCheck* tls10Check = nullptr;
        for (size_t i = 0; i < plan.size(); ++i) {
            if (plan[i].Kind != skIEOption)
                continue;
            judged += checks[i].Judged ? 1 : 0;
            if (checks[i].Judged && !checks[i].Matches)
                deviating += plan[i].Value + L" ";
            if (plan[i].Value == L"TLS1.0")
                tls10Check = &checks[i];
        }
        EXPECT_EQ(judged, row.judged);
        EXPECT_EQ(Narrow(deviating), Narrow(row.deviating));
        ASSERT_NE(tls10Check, nullptr);
        EXPECT_EQ(Narrow(tls10Check->Path), Narrow(row.path));
        EXPECT_EQ(Narrow(tls10Check->Value), Narrow(row.value));
        EXPECT_EQ(Narrow(tls10Check->Actual), Narrow(row.actual));
    }
}

TEST(DriftWatch, CoversTheInternetExplorerTargetAndItsPolicyKeys) {
    TRegistrySandbox sandbox;
    InstallIEDescriptors();
    std::vector<std::string> watched;
    for (const TWatchedKey& key : DriftWatchKeys(kWineWindows10))
        watched.push_back((key.Root == HKEY_CURRENT_USER ? "HKCU\\" : "HKLM\\") + Narrow(key.Path));
    for (const std::wstring& expected :
         {L"HKCU\\" + std::wstring(kIETargetPath), L"HKCU\\" + std::wstring(kIEPolicyPath),
          L"HKLM\\" + std::wstring(kIEPolicyPath)})
        EXPECT_EQ(std::count(watched.begin(), watched.end(), Narrow(expected)), 1) << Narrow(expected);
}

TEST(SelfTestVerdict, ExpectationsComeFromTheProtocolsEnabledValue) {
    const auto max = SecurityLevelPlan(lMax, kWineWindows7);
    const auto optimal = SecurityLevelPlan(lOptimal, kWineWindows7);
    EXPECT_EQ(ExpectedUsable(max, L"TLS 1.0", false), std::optional<bool>(false));
    EXPECT_EQ(ExpectedUsable(optimal, L"TLS 1.0", false), std::nullopt); // "Enabled" stays as Windows has it
    EXPECT_EQ(ExpectedUsable(optimal, L"TLS 1.0", true), std::optional<bool>(false));
    EXPECT_EQ(ExpectedUsable(max, L"TLS 1.2", true), std::optional<bool>(true));
    EXPECT_EQ(ExpectedUsable(max, L"TLS 1.3", false), std::nullopt); // never written below build 20348
    EXPECT_EQ(ExpectedUsable({}, L"TLS 1.2", false), std::nullopt);

    TSelfTest test;
    TProtocolProbe p;
    p.Protocol = L"TLS 1.0";
    p.Client = {prAvailable, 0, false};
    p.Server = {prNotMeasurable, 0, false};
    test.Protocols.push_back(p);
    p.Protocol = L"TLS 1.2";
    p.Client = {prAvailable, 0, true};
    p.Server = {prRefused, 0, std::nullopt};
    test.Protocols.push_back(p);
    EXPECT_EQ(SelfTestDisagreements(test), std::vector<std::wstring>{L"TLS 1.0 Client"});

    const std::vector<TSettingCheck> clean(3);
    EXPECT_FALSE(IsCompliant(lMax, clean, &test));
    test.Protocols.erase(test.Protocols.begin());
    EXPECT_TRUE(IsCompliant(lMax, clean, &test));
    EXPECT_TRUE(IsCompliant(lOptimal, clean, nullptr));
    EXPECT_FALSE(IsCompliant(lOff, clean, nullptr)); // nothing is protected
    std::vector<TSettingCheck> drifted = clean;
    drifted[1].Matches = false;
    EXPECT_FALSE(IsCompliant(lMax, drifted, nullptr));
    drifted[1].Judged = false;
    EXPECT_TRUE(IsCompliant(lMax, drifted, nullptr));
}

TEST(StatusTexts, LineBalloonAndReport) {
    EXPECT_EQ(StatusLineText(lMax, 41, 0, L"10:32"), L"All 41 settings match Maximum protection (checked 10:32)");
    EXPECT_EQ(StatusLineText(lMax, 41, 3, L"10:32"), L"3 settings differ from Maximum protection");
    EXPECT_EQ(StatusLineText(lOptimal, 41, 1, L"10:32"), L"1 setting differs from Optimal protection");
    EXPECT_EQ(DriftBalloonText(3),
              L"Another program changed 3 of your TLS/SSL settings. Open Quenvar to restore your protection.");

    TStatusReport report;
    report.ProductVersion = L"1.0.0.1";
    report.StoredLevel = 7;
    report.Level = lMax;
    TSettingCheck c;
    c.Path = L"HKLM\\K\\\"quoted\"\\tab\t";
    c.Value = L"Enabled";
    c.Expected = L"0";
    c.Actual = L"1";
    c.Matches = false;
    report.Settings.push_back(c);
    const std::string json = StatusReportJson(report);
    EXPECT_NE(json.find("\"path\": \"HKLM\\\\K\\\\\\\"quoted\\\"\\\\tab\\u0009\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"storedLevel\": 7,"), std::string::npos);
    EXPECT_NE(json.find("\"level\": 2,"), std::string::npos);
    EXPECT_NE(json.find("\"matches\": false"), std::string::npos);
    EXPECT_NE(json.find("\"compliant\": false"), std::string::npos);
    EXPECT_NE(json.find("\"selfTest\": null"), std::string::npos);
    const std::wstring text = StatusReportText(report);
    EXPECT_NE(text.find(L"Level: Maximum protection (stored as 7)"), std::wstring::npos);
    EXPECT_NE(text.find(L"!! HKLM\\K"), std::wstring::npos);
}

// The suite order at Maximum, observed as an organization's policy or another program left it.
TEST(PlanCheck, ListsAreJudgedByStrengthAndPolicyValuesSaySo) {
    const auto plan = SecurityLevelPlan(lMax, kOSRecords[3].os);
    const auto order =
        std::find_if(plan.begin(), plan.end(), [](const TPlannedSetting& s) { return s.Value == L"Functions"; });
    ASSERT_NE(order, plan.end());
    const std::wstring strict = L"TLS_AES_256_GCM_SHA384,TLS_AES_128_GCM_SHA256,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
    const std::wstring weak = strict + L",TLS_RSA_WITH_AES_128_CBC_SHA";
    const struct {
        const char* what;
        TRegValueData value;
        TValueOwner owner;
        bool matches;
        const wchar_t* actual; // part of the Actual text
        size_t drift;          // counted by DriftDeviations
    } cases[] = {
        {"ours", SettingValue(*order), voNone, true, L"TLS_AES_256_GCM_SHA384", 0},
        {"stricter, another program", StringValue(strict), voNone, true, L"TLS_AES", 0},
        {"weaker, another program", StringValue(weak), voNone, false, L"TLS_RSA_WITH_AES_128_CBC_SHA is weaker", 1},
        {"ours, by Group Policy", SettingValue(*order), voGroupPolicy, true,
         L"Set by your organization's policy (the same as Maximum)", 0},
        {"stricter, by Group Policy", StringValue(strict), voGroupPolicy, true,
         L"Set by your organization's policy (stricter than Maximum)", 0},
        {"weaker, by MDM", StringValue(weak), voMdm, false, L"Set by your organization's policy (weaker than Maximum: ",
         0},
        {"a DWORD, by Group Policy", DWordValue(1), voGroupPolicy, false, L"weaker than Maximum: not a text value", 0},
    };
    for (const auto& c : cases) {
        TPlanSnapshot snapshot;
        TObservedSetting& observed = snapshot[SettingIdentity(*order)];
        observed.Actual = c.value;
        observed.Owner = c.owner;
        const std::vector<TSettingCheck> checks = CheckPlan({*order}, snapshot);
        ASSERT_EQ(checks.size(), 1u);
        EXPECT_EQ(checks[0].Matches, c.matches) << c.what;
        EXPECT_NE(checks[0].Actual.find(c.actual), std::wstring::npos) << c.what << ": " << Narrow(checks[0].Actual);
        EXPECT_EQ(checks[0].Owner, ValueOwnerName(c.owner)) << c.what;
        EXPECT_EQ(DriftDeviations(checks).size(), c.drift) << c.what;
        EXPECT_EQ(Deviations(checks).size(), c.matches ? 0u : 1u) << c.what; // still not compliant
    }
}

// After Windows 10 became Windows 11, TLS 1.3's settings are new and the old suite order still
// holds by the old build's plan: the update brought those deviations, not another program.
TEST(PlanCheck, DeviationsAFeatureUpdateBroughtAreToldApart) {
    const TOSVersion windows10 = kOSRecords[2].os, windows11 = kOSRecords[3].os;
    const auto earlier = SecurityLevelPlan(lMax, windows10);
    const auto plan = SecurityLevelPlan(lMax, windows11);
    TPlanSnapshot snapshot;
    for (const TPlannedSetting& s : earlier)
        if (s.Kind != skIEOption)
            snapshot[SettingIdentity(s)].Actual = s.Kind == skNotDisabled ? TRegValueData() : SettingValue(s);
    // And one value another program changed since.
    const auto tls12 = std::find_if(plan.begin(), plan.end(), [](const TPlannedSetting& s) {
        return s.Key.find(L"TLS 1.2\\Client") != std::wstring::npos && s.Value == L"Enabled";
    });
    ASSERT_NE(tls12, plan.end());
    snapshot[SettingIdentity(*tls12)].Actual = DWordValue(0);
    std::vector<TSettingCheck> checks = CheckPlan(plan, snapshot);
    MarkUpdateDeviations(checks, plan, earlier, snapshot);
    size_t update = 0, other = 0;
    for (const TSettingCheck& c : Deviations(checks))
        (c.SinceUpdate ? update : other)++;
    EXPECT_EQ(other, 1u);
    EXPECT_GE(update, 5u); // TLS 1.3 both sides, the suite order, WinHTTP's two views
    for (const TSettingCheck& c : Deviations(checks))
        if (!c.SinceUpdate) {
            EXPECT_NE(c.Path.find(L"TLS 1.2\\Client"), std::wstring::npos);
        }
    std::vector<TSettingCheck> onlyUpdate;
    for (const TSettingCheck& c : Deviations(checks))
        if (c.SinceUpdate)
            onlyUpdate.push_back(c);
    EXPECT_EQ(DriftAnnouncementText(onlyUpdate),
              L"Windows was updated: " + std::to_wstring(onlyUpdate.size()) + L" settings need applying again");
    EXPECT_EQ(DriftAnnouncementText(DriftDeviations(checks)), DriftBalloonText(Deviations(checks).size()));
}

TEST(GroupState, FromTheBuildTheGroupOrderAndARestart) {
    const TOSVersion withMlKem = kOSRecords[6].os, without = kOSRecords[3].os;
    const wchar_t hybrid[] = L"x25519_mlkem768\0curve25519\0";
    const wchar_t classical[] = L"curve25519\0nistP256\0";
    TRegValueData hybridValue, classicalValue;
    hybridValue.Present = classicalValue.Present = true;
    hybridValue.Type = classicalValue.Type = REG_MULTI_SZ;
    hybridValue.Bytes.assign(reinterpret_cast<const BYTE*>(hybrid),
                             reinterpret_cast<const BYTE*>(hybrid) + sizeof(hybrid));
    classicalValue.Bytes.assign(reinterpret_cast<const BYTE*>(classical),
                                reinterpret_cast<const BYTE*>(classical) + sizeof(classical));
    EXPECT_EQ(GroupState(without, hybridValue, false), gsUnavailable);
    EXPECT_EQ(GroupState(withMlKem, TRegValueData(), false), gsAvailable);
    EXPECT_EQ(GroupState(withMlKem, classicalValue, true), gsAvailable);
    EXPECT_EQ(GroupState(withMlKem, hybridValue, false), gsConfigured);
    EXPECT_EQ(GroupState(withMlKem, hybridValue, true), gsWaitingForRestart);
    EXPECT_STREQ(GroupStateName(gsWaitingForRestart), "waiting for a restart");
}

TEST(StatusTexts, WhatARestartNoteSays) {
    EXPECT_EQ(RestartNoteText(0), L"");
    EXPECT_EQ(RestartNoteText(teProgramsRestart), L"Some changes take effect when programs restart");
    EXPECT_EQ(RestartNoteText(teProgramsRestart | teServicesRestart),
              L"Some changes take effect when services restart");
    EXPECT_EQ(RestartNoteText(teProgramsRestart | teWindowsRestart),
              L"Some changes take effect after the next restart");
    TStatusReport report;
    report.RestartNeeds = teProgramsRestart | teServicesRestart;
    report.Groups = gsAvailable;
    const std::string json = StatusReportJson(report);
    EXPECT_NE(json.find("\"restartNeeds\": [\"programs\", \"services\"],"), std::string::npos) << json;
    EXPECT_NE(json.find("\"postQuantumGroups\": \"available\""), std::string::npos) << json;
}

// The self-test names the credential structure its answers came from, in every form of the report,
// and on this machine it is one SCHANNEL was asked with.
TEST(StatusTexts, NameTheSelfTestsCredentialStructure) {
    TStatusReport report;
    report.Level = lMax;
    TSelfTest test;
    test.Handshake = L"not measurable (SCHANNEL has no server side here)";
    test.Credentials = L"SCHANNEL_CRED (SCH_CREDENTIALS refused: 0x80090331)";
    report.SelfTest = test;
    EXPECT_NE(StatusReportJson(report).find("\"credentials\": \"SCHANNEL_CRED (SCH_CREDENTIALS refused: 0x80090331)\""),
              std::string::npos)
        << StatusReportJson(report);
    EXPECT_NE(StatusReportText(report).find(L"Credentials: SCHANNEL_CRED (SCH_CREDENTIALS refused: 0x80090331)\r\n"),
              std::wstring::npos);
    EXPECT_NE(DetailsText(lMax, {}, &test).find(L"Credentials: SCHANNEL_CRED (SCH_CREDENTIALS refused: 0x80090331)"),
              std::wstring::npos);

    const TSelfTest measured = RunSelfTest({});
    EXPECT_TRUE(measured.Credentials == L"SCH_CREDENTIALS" || measured.Credentials.rfind(L"SCHANNEL_CRED (", 0) == 0)
        << std::string(measured.Credentials.begin(), measured.Credentials.end());
}

TEST(ReportFile, IsReplacedWholeOrNotWrittenAtAll) {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring path = std::wstring(temp) + L"qv-status-report.json";
    ASSERT_TRUE(WriteFileReplacing(path, "old and longer"));
    ASSERT_TRUE(WriteFileReplacing(path, "new"));
    EXPECT_EQ(FileSizeByName(path), 3);
    DeleteFileW(path.c_str());
    const std::wstring missing = std::wstring(temp) + L"qv-no-such-folder\\report.json";
    EXPECT_FALSE(WriteFileReplacing(missing, "x"));
    EXPECT_FALSE(WriteFileReplacing(L"", "x"));
    EXPECT_EQ(GetFileAttributesW((std::wstring(temp) + L"qv-no-such-folder").c_str()), INVALID_FILE_ATTRIBUTES);
}

// Management agents run /status as LocalSystem. Its hive is no user's that an instance of ours
// levels: the machine's level counts, and its own browser options are listed, never judged. The
// same machine seen by a user whose instance has not applied the user's part yet is not compliant.
TEST(StatusAsLocalSystem, ReadsTheMachinesLevelAndIsCompliantAfterMaximum) {
    TRegistrySandbox sandbox;
    InstallIEDescriptors();
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, 0x8));
    TLevelReport applied;
    ASSERT_EQ(ApplySecurityLevelOn(lMax, CurrentOSVersion(), applied), S_OK);
    ASSERT_TRUE(WriteLevel(lMax));
    const TStatusReport user = BuildStatusReport(false);
    EXPECT_EQ(user.Level, lMax);
    EXPECT_FALSE(user.Compliant) << "the user's browser options are not at the level yet";

    const wchar_t kSystem[] = L"S-1-5-18";
    DWORD disposition = 0;
    TUniqueHKey hive;
    ASSERT_EQ(RegCreateKeyExW(HKEY_USERS, kSystem, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hive.put(), &disposition),
              ERROR_SUCCESS);
    {
        const TValueGuard target(hive.get(), kIETargetPath, kIETargetValue);
        ASSERT_TRUE(WriteRegDWord(hive.get(), kIETargetPath, kIETargetValue, 0x8));
        const TCurrentUserOverride system(kSystem);
        ASSERT_TRUE(system.Active());
        EXPECT_EQ(CurrentUserSid(), kSystem);
        const TStatusReport report = BuildStatusReport(false);
        EXPECT_EQ(report.StoredLevel, 2);
        EXPECT_EQ(report.Level, lMax);
        EXPECT_TRUE(report.Compliant);
        size_t listed = 0;
        for (const TSettingCheck& check : report.Settings)
            if (check.Path.rfind(L"HKCU\\", 0) == 0) {
                ++listed;
                EXPECT_FALSE(check.Judged) << Narrow(check.Value);
            }
        EXPECT_GT(listed, 0u);
    }
    if (disposition == REG_CREATED_NEW_KEY) {
        hive.reset();
        RegDeleteTreeW(HKEY_USERS, kSystem);
        RegDeleteKeyW(HKEY_USERS, kSystem);
    }
}

// Applying each level and reporting on it, the self-test included, swallows no failure: one that
// was would leave the machine or the report other than they say.
TEST(SwallowedFailures, NoneOnTheLevelPathOrInTheStatusReport) {
    TRegistrySandbox sandbox;
    InstallIEDescriptors(true);
    ASSERT_TRUE(WriteRegDWord(HKEY_CURRENT_USER, kIETargetPath, kIETargetValue, 0xA80));
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    const std::wstring path = std::wstring(temp) + L"qv-swallowed-report.json";
    const std::uint64_t before = SwallowedCount();
    for (const TLevel level : {lMax, lOptimal, lMax, lOff}) {
        ASSERT_EQ(ApplySecurityLevel(level), S_OK) << level;
        ASSERT_EQ(ApplyUserSecurityLevel(level), S_OK) << level;
        ASSERT_TRUE(WriteLevel(level));
        const TStatusReport report = BuildStatusReport(true);
        EXPECT_EQ(report.Level, level);
        EXPECT_TRUE(Deviations(report.Settings).empty()) << level;
        EXPECT_TRUE(report.SelfTest.has_value());
        DeleteFileW(path.c_str());
        RunStatusReport(path);
        EXPECT_GT(FileSizeByName(path), 0) << level;
    }
    DeleteFileW(path.c_str());
    EXPECT_EQ(SwallowedCount(), before);
}

} // namespace
