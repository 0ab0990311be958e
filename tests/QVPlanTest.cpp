// The plan of each level on each Windows version against the tables, the judgement of one value,
// and the Internet Explorer bit arithmetic: pure, no registry involved.
#include "LevelExpectations.h"
#include "QVPlan.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(OSGates, TheBuildDecidesTls13AndTheWindows10Settings) {
    const struct {
        TOSVersion os;
        bool tls13, windows10;
    } cases[] = {
        {{6, 1, 7601, true}, false, false},  {{6, 3, 9600, true}, false, false},   {{10, 0, 10239, true}, false, false},
        {{10, 0, 10240, true}, false, true}, {{10, 0, 19045, false}, false, true}, {{10, 0, 20347, true}, false, true},
        {{10, 0, 20348, true}, true, true},  {{10, 0, 22631, true}, true, true},   {{10, 0, 26100, true}, true, true},
        {{6, 3, 30000, true}, false, false}, // a build number alone is not enough
        {{0, 0, 0, false}, false, false},    // an unreadable version: the oldest tables
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HasTls13(c.os), c.tls13) << c.os.Major << "." << c.os.Minor << "." << c.os.Build;
        EXPECT_EQ(IsWindows10(c.os), c.windows10) << c.os.Major << "." << c.os.Minor << "." << c.os.Build;
    }
}

TEST(OSGates, TheHybridGroupsNeedTheBuildsMicrosoftNamesAndACngProvider) {
    const struct {
        DWORD build, revision;
        bool server, provider;
        bool build_has, has;
    } cases[] = {
        {26100, 8513, false, true, false, false}, {26100, 8514, false, true, true, true},
        {26100, 8514, false, false, true, false}, {26200, 8514, false, true, true, true},
        {26200, 8000, false, true, false, false}, {28000, 2172, false, true, false, false},
        {28000, 2173, false, true, true, true},   {28001, 0, false, true, true, true},
        {27000, 9999, false, true, false, false}, // a build between those the page names
        {22631, 9999, false, true, false, false}, {26100, 9999, true, true, false, false}, // Server 2025 as released
        {29549, 0, true, true, false, false},     {29550, 0, true, true, true, true},
    };
    for (const auto& c : cases) {
        TOSVersion os{10, 0, c.build, true, c.revision, c.server, c.provider};
        EXPECT_EQ(BuildHasMlKemGroups(os), c.build_has) << c.build << "." << c.revision << (c.server ? " server" : "");
        EXPECT_EQ(HasMlKemGroups(os), c.has) << c.build << "." << c.revision << (c.server ? " server" : "");
    }
    EXPECT_FALSE(HasMlKemGroups({6, 3, 30000, true, 9999, false, true}));
}

std::vector<std::wstring> PlanLines(TLevel aLevel, const TOSVersion& anOS) {
    std::vector<std::wstring> lines;
    for (const TPlannedSetting& s : SecurityLevelPlan(aLevel, anOS))
        lines.push_back(DescribePlanned(s));
    return lines;
}

std::vector<std::wstring> TableLines(TLevel aLevel, const TOSVersion& anOS) {
    std::vector<std::wstring> lines;
    for (const TExpectedValue& row : ExpectedLevelValues(aLevel, anOS))
        lines.push_back(DescribeRow(row));
    return lines;
}

// Equal lists, or the lines that differ and where.
void ExpectSameLines(const std::vector<std::wstring>& anActual, const std::vector<std::wstring>& anExpected) {
    EXPECT_EQ(anActual.size(), anExpected.size());
    for (size_t i = 0; i < std::max(anActual.size(), anExpected.size()); ++i) {
        const std::wstring actual = i < anActual.size() ? anActual[i] : L"(none)";
        const std::wstring expected = i < anExpected.size() ? anExpected[i] : L"(none)";
        if (actual != expected) {
            ADD_FAILURE() << "row " << i << ": planned " << Narrow(actual) << "\n  table   " << Narrow(expected);
            return;
        }
    }
}

TEST(SecurityLevelPlan, EveryLevelOnEverySystemIsExactlyTheTable) {
    const TOSVersion windows10x86 = {10, 0, 19045, false};
    for (const TLevel level : {lOptimal, lMax}) {
        for (const auto& record : kOSRecords) {
            SCOPED_TRACE(std::string(record.name) + (level == lMax ? ", Maximum" : ", Optimal"));
            ExpectSameLines(PlanLines(level, record.os), TableLines(level, record.os));
        }
        for (const auto& record : kMoreOSRecords) {
            SCOPED_TRACE(std::string(record.name) + (level == lMax ? ", Maximum" : ", Optimal"));
            ExpectSameLines(PlanLines(level, record.os), TableLines(level, record.os));
        }
        // 32-bit Windows has no WOW6432Node: the .NET and WinHTTP values are written once.
        ExpectSameLines(PlanLines(level, windows10x86), TableLines(level, windows10x86));
        for (const auto& line : PlanLines(level, windows10x86))
            EXPECT_EQ(line.find(L"WOW6432Node"), std::wstring::npos) << Narrow(line);
    }
}

TEST(SecurityLevelPlan, OffAndUnknownLevelsPlanNoWrites) {
    for (const int level : {0, 3, 255})
        EXPECT_TRUE(SecurityLevelPlan(static_cast<TLevel>(level), kOSRecords[3].os).empty()) << level;
}

// Windows reads ciphers, hashes, key exchange and the orders when it starts; SCHANNEL the protocol
// switches for each program; WinHTTP its protocols when the service hosting it starts.
TEST(SecurityLevelPlan, EachSettingSaysWhatItNeedsBeforeItIsInEffect) {
    const std::wstring schannel = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\";
    for (const auto& s : SecurityLevelPlan(lMax, kOSRecords[6].os)) {
        TTakesEffect expected = teProgramsRestart;
        if (s.Key.rfind(schannel + L"Protocols\\", 0) == 0)
            expected = teProgramsRestart;
        else if (s.Key.rfind(schannel, 0) == 0 || s.Key.rfind(L"SOFTWARE\\Policies\\", 0) == 0)
            expected = teWindowsRestart;
        else if (s.Key.find(L"\\WinHttp") != std::wstring::npos)
            expected = teServicesRestart;
        EXPECT_EQ(s.Effect, expected) << Narrow(DescribePlanned(s));
    }
    EXPECT_EQ(EffectOfKey(L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNELX"), teProgramsRestart);
    EXPECT_EQ(EffectOfKey(L"system\\currentcontrolset\\control\\securityproviders\\schannel"), teWindowsRestart);
    EXPECT_EQ(EffectOfKey(L"system\\currentcontrolset\\control\\securityproviders\\schannel\\protocols\\TLS 1.2"),
              teProgramsRestart);
}

// Microsoft documents "Enabled" 1 under TLS 1.0/1.1 as the way to bring them back where Windows
// turned them off: no level ever writes it, on any system.
TEST(SecurityLevelPlan, NoLevelReEnablesTls10Or11) {
    std::vector<TNamedOS> records(std::begin(kOSRecords), std::end(kOSRecords));
    records.insert(records.end(), std::begin(kMoreOSRecords), std::end(kMoreOSRecords));
    for (const auto& record : records)
        for (const TLevel level : {lOptimal, lMax})
            for (const auto& s : SecurityLevelPlan(level, record.os)) {
                const bool legacy = s.Key.find(L"\\TLS 1.0\\") != std::wstring::npos ||
                                    s.Key.find(L"\\TLS 1.1\\") != std::wstring::npos;
                if (legacy && s.Value == L"Enabled") {
                    EXPECT_EQ(s.Number, 0u) << record.name << ": " << Narrow(DescribePlanned(s));
                }
                if (legacy && s.Value == L"DisabledByDefault") {
                    EXPECT_EQ(s.Number, 1u) << record.name << ": " << Narrow(DescribePlanned(s));
                }
            }
}

// Both levels' suite orders keep the suites standards make mandatory, name nothing their own rule
// rejects, and the group order always keeps a classical group for TLS 1.2.
TEST(SecurityLevelPlan, OrdersKeepTheMandatorySuitesAndAClassicalGroup) {
    std::vector<TNamedOS> records(std::begin(kOSRecords), std::end(kOSRecords));
    records.insert(records.end(), std::begin(kMoreOSRecords), std::end(kMoreOSRecords));
    for (const auto& record : records)
        for (const TLevel level : {lOptimal, lMax})
            for (const auto& s : SecurityLevelPlan(level, record.os)) {
                if (s.Kind != skSuiteList && s.Kind != skGroupList)
                    continue;
                SCOPED_TRACE(std::string(record.name) + ": " + Narrow(DescribePlanned(s)));
                const TListVerdict verdict = JudgeList(s, SettingValue(s));
                EXPECT_TRUE(verdict.Holds && verdict.Exact) << Narrow(verdict.Reason);
                if (s.Kind == skSuiteList) {
                    EXPECT_NE(s.Text.find(L"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"), std::wstring::npos);
                    EXPECT_EQ(s.Text.find(L"TLS_AES_128_GCM_SHA256") != std::wstring::npos, HasTls13(record.os));
                    EXPECT_EQ(s.Text.find(L"TLS_RSA_"), std::wstring::npos);
                    EXPECT_EQ(s.Text.find(L"CBC_SHA,"), std::wstring::npos);
                } else {
                    EXPECT_EQ(level, lMax);
                    EXPECT_EQ(s.Text.rfind(L"x25519_mlkem768", 0), 0u);
                    EXPECT_NE(s.Text.find(L"curve25519"), std::wstring::npos);
                    EXPECT_EQ(SettingValue(s).Type, static_cast<DWORD>(REG_MULTI_SZ));
                }
            }
}

TEST(SettingHolds, EachKindAgainstWhatTheRegistryMayHold) {
    TPlannedSetting dword;
    dword.Kind = skDWord;
    dword.Number = 1;
    TPlannedSetting on = dword;
    on.Kind = skNotDisabled;
    TPlannedSetting text = dword;
    text.Kind = skString;
    text.Text = L"A,B";
    const DWORD one = 1, zero = 0, all = 0xFFFFFFFF;
    const unsigned long long wide = 1;
    const wchar_t ab[] = L"A,B", abMulti[] = L"A,B\0", abNoNul[] = {L'A', L',', L'B'};
    const struct {
        const char* what;
        const TPlannedSetting& setting;
        TRegValueData current;
        bool holds;
    } cases[] = {
        {"DWORD 1", dword, RegData(REG_DWORD, &one, 4), true},
        {"DWORD 0", dword, RegData(REG_DWORD, &zero, 4), false},
        {"DWORD absent", dword, TRegValueData(), false},
        {"DWORD as REG_SZ", dword, RegData(REG_SZ, L"1", 4), false},
        {"DWORD as REG_QWORD", dword, RegData(REG_QWORD, &wide, 8), false},
        {"DWORD as REG_BINARY", dword, RegData(REG_BINARY, &one, 4), false},
        {"DWORD of 3 bytes", dword, RegData(REG_DWORD, &one, 3), false},
        {"on, absent", on, TRegValueData(), true},
        {"on, -1", on, RegData(REG_DWORD, &all, 4), true},
        {"on, 1", on, RegData(REG_DWORD, &one, 4), false},
        {"on, 0", on, RegData(REG_DWORD, &zero, 4), false},
        {"on, REG_SZ", on, RegData(REG_SZ, L"-1", 6), false},
        {"text", text, RegData(REG_SZ, ab, sizeof(ab)), true},
        {"text without its NUL", text, RegData(REG_SZ, abNoNul, sizeof(abNoNul)), false},
        {"text as REG_MULTI_SZ", text, RegData(REG_MULTI_SZ, abMulti, sizeof(abMulti)), false},
        {"text absent", text, TRegValueData(), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SettingHolds(c.setting, c.current), c.holds) << c.what;
    EXPECT_FALSE(SettingValue(on).Present);
    EXPECT_EQ(SettingValue(text), RegData(REG_SZ, ab, sizeof(ab)));
    EXPECT_EQ(SettingValue(dword), RegData(REG_DWORD, &one, 4));
}

// ---- Suite and group lists ----

TRegValueData Text(const std::wstring& aText, DWORD aType = REG_SZ) {
    return RegData(aType, aText.c_str(), (aText.size() + 1) * sizeof(wchar_t));
}

// A REG_MULTI_SZ as Windows stores one: each string with its NUL, then one more.
TRegValueData Multi(std::initializer_list<const wchar_t*> aNames) {
    std::wstring data;
    for (const wchar_t* name : aNames)
        data.append(name).push_back(L'\0');
    data.push_back(L'\0');
    return RegData(REG_MULTI_SZ, data.data(), data.size() * sizeof(wchar_t));
}

const TPlannedSetting* Find(const std::vector<TPlannedSetting>& aPlan, const wchar_t* aValue) {
    for (const auto& s : aPlan)
        if (s.Value == aValue)
            return &s;
    return nullptr;
}

TEST(JudgeList, ListsHoldWhenNothingIsWeakerAndTheMandatorySuitesStay) {
    const auto maxPlan = SecurityLevelPlan(lMax, kOSRecords[6].os);
    const auto optimalPlan = SecurityLevelPlan(lOptimal, kOSRecords[6].os);
    const TPlannedSetting& maxSuites = *Find(maxPlan, L"Functions");
    const TPlannedSetting& optimalSuites = *Find(optimalPlan, L"Functions");
    const TPlannedSetting& groups = *Find(maxPlan, L"EccCurves");
    const std::wstring strict = L"TLS_AES_128_GCM_SHA256,TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
    const std::wstring cbc = strict + L",TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256";
    std::wstring tooLong = strict;
    while (tooLong.size() < 1023)
        tooLong += L",TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256";
    const wchar_t noNul[] = {L'c', L'u', L'r', L'v', L'e', L'2', L'5', L'5', L'1', L'9'};
    const DWORD one = 1;
    const struct {
        const char* what;
        const TPlannedSetting& setting;
        TRegValueData value;
        bool holds;
        const wchar_t* reason; // part of the reason when it does not hold
    } cases[] = {
        {"Maximum's own", maxSuites, SettingValue(maxSuites), true, L""},
        {"stricter: two suites", maxSuites, Text(strict), true, L""},
        {"the same as REG_MULTI_SZ", maxSuites,
         Multi({L"TLS_AES_128_GCM_SHA256", L"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"}), true, L""},
        {"blanks and case", maxSuites, Text(L" tls_aes_128_gcm_sha256 , TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,"), true,
         L""},
        {"CBC at Maximum", maxSuites, Text(cbc), false, L"weaker"},
        {"CBC at Optimal", optimalSuites, Text(cbc), true, L""},
        {"RSA key transport", optimalSuites, Text(strict + L",TLS_RSA_WITH_AES_256_GCM_SHA384"), false, L"TLS_RSA_"},
        {"SHA-1 CBC", optimalSuites, Text(strict + L",TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA"), false, L"weaker"},
        {"no TLS 1.3 mandatory suite", maxSuites, Text(L"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256"), false, L"mandatory"},
        {"no HTTP/2 mandatory suite", maxSuites, Text(L"TLS_AES_128_GCM_SHA256"), false, L"mandatory"},
        {"empty", maxSuites, Text(L""), false, L"empty"},
        {"only commas", maxSuites, Text(L",,,"), false, L"empty"},
        {"1,023 characters or more", maxSuites, Text(tooLong), false, L"1,023"},
        {"unknown names", maxSuites, Text(strict + L",hello world,???"), false, L"unknown"},
        {"absent", maxSuites, TRegValueData(), false, L"absent"},
        {"a DWORD", maxSuites, RegData(REG_DWORD, &one, 4), false, L"not a text"},
        {"REG_SZ without its NUL", maxSuites, RegData(REG_SZ, strict.data(), strict.size() * 2), false, L"NUL"},
        {"odd byte count", maxSuites, RegData(REG_SZ, strict.data(), 7), false, L"not a text"},
        {"groups: Maximum's own", groups, SettingValue(groups), true, L""},
        {"groups: hybrid and one classical", groups, Multi({L"x25519_mlkem768", L"nistP384"}), true, L""},
        {"groups as REG_SZ", groups, Text(L"X25519_MLKEM768,curve25519"), true, L""},
        {"groups: no hybrid at Maximum", groups, Multi({L"curve25519", L"nistP256"}), false, L"post-quantum"},
        {"groups: hybrid only", groups, Multi({L"x25519_mlkem768"}), false, L"classical"},
        {"groups: a weak curve", groups, Multi({L"x25519_mlkem768", L"nistP192", L"nistP256"}), false, L"weaker"},
        {"groups: unknown", groups, Multi({L"x25519_mlkem768", L"curve448", L"nistP256"}), false, L"unknown"},
        {"groups: REG_MULTI_SZ without its NUL", groups, RegData(REG_MULTI_SZ, noNul, sizeof(noNul)), false, L"NUL"},
        {"groups: empty REG_MULTI_SZ", groups, Multi({}), false, L"empty"},
    };
    for (const auto& c : cases) {
        const TListVerdict verdict = JudgeList(c.setting, c.value);
        EXPECT_EQ(verdict.Holds, c.holds) << c.what << ": " << Narrow(verdict.Reason);
        EXPECT_EQ(SettingHolds(c.setting, c.value), c.holds) << c.what;
        EXPECT_NE(verdict.Reason.find(c.reason), std::wstring::npos) << c.what << ": " << Narrow(verdict.Reason);
    }
    EXPECT_TRUE(NamesHybridGroup(SettingValue(groups)));
    EXPECT_FALSE(NamesHybridGroup(Multi({L"curve25519", L"nistP256"})));
    EXPECT_FALSE(NamesHybridGroup(TRegValueData()));
}

// ---- Internet Explorer options ----

TEST(IECryptoOptionValue, BitArithmeticOfTickUntickAndDefault) {
    struct TCase {
        TSwitchAction action;
        DWORD checked, mask, unchecked, byDefault;
        DWORD current, expected;
    } const cases[] = {
        // One bit, 0x80: the ticked, unticked and default transitions.
        {saOn, 0x80, 0x80, 0, 0, 0xA0, 0xA0},
        {saOff, 0x80, 0x80, 0, 0, 0xA0, 0x20},
        {saDefault, 0x80, 0x80, 0, 0, 0xA0, 0x20},
        {saOn, 0x80, 0x80, 0, 0, 0x20, 0xA0},
        {saOff, 0x80, 0x80, 0, 0, 0x20, 0x20},
        {saDefault, 0x80, 0x80, 0, 0x80, 0x20, 0xA0},
        {saDefault, 0x80, 0x80, 0, 0x80, 0xA0, 0xA0},
        {saDefault, 0x80, 0x80, 0, 0, 0x20, 0x20},
        {saOn, 0x80, 0x80, 0, 0, 0, 0x80},
        {saOff, 0x80, 0x80, 0, 0, 0xFFFFFFFF, 0xFFFFFF7F},
        // The highest bit: no sign trouble.
        {saOn, 0x80000000, 0x80000000, 0, 0, 0x1, 0x80000001},
        {saOff, 0x80000000, 0x80000000, 0, 0, 0xFFFFFFFF, 0x7FFFFFFF},
        {saDefault, 0x80000000, 0x80000000, 0, 0x80000000, 0, 0x80000000},
        // Two-bit option 0x30 (ticked 0x10, unticked 0x20): the arithmetic as defined, bit by bit.
        {saOn, 0x10, 0x30, 0x20, 0, 0x20, 0x30},
        {saOn, 0x10, 0x30, 0x20, 0, 0x10, 0x10},
        {saOff, 0x10, 0x30, 0x20, 0, 0x10, 0x00},
        {saOff, 0x10, 0x30, 0x20, 0, 0x20, 0x20},
        {saDefault, 0x10, 0x30, 0x20, 0x30, 0x10, 0x30},
        {saDefault, 0x10, 0x30, 0x20, 0x30, 0x20, 0x30},
        {saDefault, 0x10, 0x30, 0x20, 0x00, 0x30, 0x30},
        {saDefault, 0x10, 0x30, 0x20, 0x00, 0x1010, 0x1000},
        // An action the routine does not know leaves the value alone.
        {static_cast<TSwitchAction>(3), 0x80, 0x80, 0, 0, 0x20, 0x20},
    };
    for (const auto& c : cases) {
        TIECryptoDescriptor d;
        d.CheckedValue = c.checked;
        d.Mask = c.mask;
        d.UncheckedValue = c.unchecked;
        d.DefaultValue = c.byDefault;
        EXPECT_EQ(IECryptoOptionValue(c.action, d, c.current), c.expected)
            << "action " << int(c.action) << ", checked 0x" << std::hex << c.checked << ", mask 0x" << c.mask
            << ", default 0x" << c.byDefault << ", current 0x" << c.current;
    }
}

// Single-bit options on HKCU's SecureProtocols unless a row says otherwise.
TIECryptoOption Option(const wchar_t* aName, DWORD aDefault, bool aHasDefault = true,
                       const wchar_t* aValueName = L"SecureProtocols", DWORD aRoot = 0x80000001) {
    TIECryptoOption o;
    o.Name = aName;
    o.Descriptor.RegPath = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    o.Descriptor.ValueName = aValueName;
    o.Descriptor.HKeyRoot = aRoot;
    o.Descriptor.DefaultValue = aDefault;
    o.Descriptor.HasDefaultValue = aHasDefault;
    return o;
}

TEST(IEAbsentTargetDefault, IsTheOrOfTheDefaultsOfEveryOptionNamingTheTarget) {
    const TIECryptoDescriptor target = Option(L"TLS1.2", 0x800).Descriptor;
    TIECryptoOption otherCase = Option(L"TLS1.1", 0x200);
    otherCase.Descriptor.RegPath = L"SOFTWARE\\MICROSOFT\\Windows\\CurrentVersion\\Internet Settings";
    const struct {
        const char* what;
        std::vector<TIECryptoOption> options;
        bool known;
        DWORD value;
        const wchar_t* missing;
    } cases[] = {
        {"five options",
         {Option(L"SSL2.0", 0), Option(L"SSL3.0", 0x20), Option(L"TLS1.0", 0x80), Option(L"TLS1.1", 0x200),
          Option(L"TLS1.2", 0x800)},
         true,
         0xAA0,
         L""},
        {"path compared without case", {otherCase, Option(L"TLS1.2", 0x800)}, true, 0xA00, L""},
        {"other targets ignored",
         {Option(L"TLS1.2", 0x800), Option(L"X", 0x1, true, L"Other"),
          Option(L"Y", 0x4, true, L"SecureProtocols", 0x80000002), Option(L"Z", 0, false, L"Other")},
         true,
         0x800,
         L""},
        {"all defaults 0", {Option(L"SSL2.0", 0), Option(L"TLS1.2", 0)}, true, 0, L""},
        {"one default missing",
         {Option(L"SSL3.0", 0x20), Option(L"TLS1.0", 0, false), Option(L"TLS1.2", 0x800)},
         false,
         0,
         L"TLS1.0"},
        {"no option names it", {Option(L"X", 0x1, true, L"Other")}, false, 0, L""},
        {"no options", {}, false, 0, L""},
    };
    for (const auto& c : cases) {
        const TIEAbsentDefault d = IEAbsentTargetDefault(c.options, target);
        EXPECT_EQ(d.Known, c.known) << c.what;
        if (c.known) {
            EXPECT_EQ(d.Value, c.value) << c.what;
        }
        EXPECT_EQ(d.Missing, c.missing) << c.what;
    }
}

TEST(IEEffectiveValue, APolicyOverridesTheUsersValueAndAnAbsentTargetStandsForItsDefault) {
    const TRegValueData none;
    const auto dword = [](DWORD aNumber) { return RegData(REG_DWORD, &aNumber, 4); };
    const TRegValueData text = RegData(REG_SZ, L"2048", 10);
    TIEAbsentDefault known;
    known.Known = true;
    known.Value = 0xAA0;
    TIEAbsentDefault unknown;
    unknown.Missing = L"TLS1.0";
    const wchar_t kPolicies[] = L"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    const struct {
        const char* what;
        const wchar_t* policies; // the descriptor's RegPoliciesPath
        TRegValueData user, machinePolicy, userPolicy;
        TIEAbsentDefault absent;
        bool known;
        DWORD value;
        TIEValueSource source;
        const wchar_t* reason;
    } cases[] = {
        {"user only", kPolicies, dword(0xA80), none, none, known, true, 0xA80, vsUser, L""},
        {"machine policy wins", kPolicies, dword(0xA80), dword(0x880), dword(0x800), known, true, 0x880,
         vsMachinePolicy, L""},
        {"user policy", kPolicies, dword(0xA80), none, dword(0x800), known, true, 0x800, vsUserPolicy, L""},
        {"policy over an absent target", kPolicies, none, none, dword(0x800), unknown, true, 0x800, vsUserPolicy, L""},
        {"machine policy REG_SZ", kPolicies, dword(0xA80), text, dword(0x800), known, false, 0, vsMachinePolicy,
         L"policy value is not a DWORD"},
        {"user policy REG_SZ", kPolicies, dword(0xA80), none, text, known, false, 0, vsUserPolicy,
         L"policy value is not a DWORD"},
        {"policies ignored without a RegPoliciesPath", L"", dword(0xA80), dword(0x880), dword(0x800), known, true,
         0xA80, vsUser, L""},
        {"user value REG_SZ", kPolicies, text, none, none, known, false, 0, vsUser, L"SecureProtocols is not a DWORD"},
        {"absent everything, default known", kPolicies, none, none, none, known, true, 0xAA0, vsDefault, L""},
        {"absent everything, no default", kPolicies, none, none, none, unknown, false, 0, vsDefault,
         L"no default for absent SecureProtocols (option TLS1.0 has no DefaultValue)"},
    };
    for (const auto& c : cases) {
        TIECryptoDescriptor d = Option(L"TLS1.0", 0x80).Descriptor;
        d.RegPoliciesPath = c.policies;
        const TIEEffectiveValue e = IEEffectiveValue(d, c.user, c.machinePolicy, c.userPolicy, c.absent);
        EXPECT_EQ(e.Known, c.known) << c.what;
        EXPECT_EQ(e.Source, c.source) << c.what;
        EXPECT_EQ(e.Reason, c.reason) << c.what;
        if (c.known) {
            EXPECT_EQ(e.Value, c.value) << c.what;
        }
    }
}

TEST(IECryptoRoot, OnlyPredefinedRootNumbersNameARoot) {
    const std::pair<DWORD, HKEY> cases[] = {
        {0x80000000, HKEY_CLASSES_ROOT},
        {0x80000001, HKEY_CURRENT_USER},
        {0x80000002, HKEY_LOCAL_MACHINE},
        {0x80000003, HKEY_USERS},
        {0x80000005, HKEY_CURRENT_CONFIG},
        {0x80000004, nullptr},
        {0x80000006, nullptr},
        {0x80000007, nullptr},
        {0, nullptr},
        {1, nullptr},
        {0x7FFFFFFF, nullptr},
        {0xFFFFFFFF, nullptr},
        {0x00000001, nullptr},
        {0x12345678, nullptr},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IECryptoRoot(c.first), c.second) << std::hex << c.first;
}

} // namespace
