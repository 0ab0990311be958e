// Whether the protection the stored level promises still holds: the registry against the level's
// plan, SCHANNEL's own answers for each protocol, and the report and texts built from both.
//
// The comparison is pure: a snapshot of the values the plan names goes in, the settings with their
// verdicts come out. ObservePlan, RunSelfTest and the routines built on them (BuildStatusReport,
// RunStatusReport, DriftWatchKeys) look at the running system.
#pragma once

#include "QVPlan.h"
#include "QVPolicy.h"

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

// One planned value as the registry holds it. For an Internet Explorer option, the descriptor that
// says where its bits live, the target value there, the policy values that override it (read only
// when the descriptor names a RegPoliciesPath) and what the target stands for while it is absent.
struct TObservedSetting {
    TRegValueData Actual;
    std::optional<TIECryptoDescriptor> Descriptor;
    TRegValueData MachinePolicy; // HKLM\RegPoliciesPath
    TRegValueData UserPolicy;    // the descriptor's root\RegPoliciesPath
    TIEAbsentDefault AbsentDefault;
    TValueOwner Owner = voNone; // an organization's policy that sets the value
};

// Observed values by SettingIdentity; a setting missing from the map reads as absent.
using TPlanSnapshot = std::map<std::wstring, TObservedSetting>;

// The name a planned setting is known by in a snapshot: its key, value name and view.
std::wstring SettingIdentity(const TPlannedSetting& aSetting);

// A planned setting with its verdict. Settings that cannot be judged (an Internet Explorer option
// without a descriptor, whose value in effect is not a DWORD, or whose absent target has no
// default) are listed but never deviate; Actual then says why.
struct TSettingCheck {
    std::wstring Path;     // the key, with its root ("HKLM\...")
    std::wstring Value;    // the value name
    std::wstring Expected; // what the level wants, as text
    std::wstring Actual;   // what is there, as text
    bool Judged = true;
    bool Matches = true;
    std::wstring Owner;       // "Group Policy" or "MDM" when an organization's policy sets the value
    bool SinceUpdate = false; // a deviation the last Windows update brought, not another program
};

// Every setting of aPlan judged against aSnapshot, in plan order. Snapshot entries the plan does
// not name are ignored.
std::vector<TSettingCheck> CheckPlan(const std::vector<TPlannedSetting>& aPlan, const TPlanSnapshot& aSnapshot);
// The judged settings that do not match.
std::vector<TSettingCheck> Deviations(const std::vector<TSettingCheck>& aChecks);
// The deviations this program can put right: those an organization's policy does not set.
std::vector<TSettingCheck> DriftDeviations(const std::vector<TSettingCheck>& aChecks);
// Marks the deviations that a Windows update brought: settings the plan for the build the level
// was applied on (anEarlierPlan) did not have, or whose value still holds by that plan. aChecks is
// CheckPlan(aPlan, aSnapshot).
void MarkUpdateDeviations(std::vector<TSettingCheck>& aChecks, const std::vector<TPlannedSetting>& aPlan,
                          const std::vector<TPlannedSetting>& anEarlierPlan, const TPlanSnapshot& aSnapshot);
// How many settings were judged.
size_t JudgedCount(const std::vector<TSettingCheck>& aChecks) noexcept;

// "absent", "1", "\"text\"", "REG_BINARY, 12 bytes": short whatever the value's size.
std::wstring DescribeRegValue(const TRegValueData& aValue);

// Reads every value aPlan names from the running system's registry.
TPlanSnapshot ObservePlan(const std::vector<TPlannedSetting>& aPlan);

// The keys whose changes can make a level's settings deviate: the whole SCHANNEL tree and each
// other key the plans of Optimal and Maximum name, Internet Explorer targets included.
struct TWatchedKey {
    HKEY Root = HKEY_LOCAL_MACHINE;
    std::wstring Path;
    bool Subtree = false;
    bool View64 = false;
};
std::vector<TWatchedKey> DriftWatchKeys(const TOSVersion& anOS);

// ---- Self-test through SCHANNEL ------------------------------------------------------------------

enum TProbeResult : std::uint8_t { prNotMeasurable = 0, prAvailable = 1, prRefused = 2 };

struct TSideProbe {
    TProbeResult Result = prNotMeasurable;
    LONG Status = 0;              // SCHANNEL's status for the credential
    std::optional<bool> Expected; // what the plan implies: usable or not; none when it says nothing
};

struct TProtocolProbe {
    std::wstring Protocol; // "TLS 1.2"
    TSideProbe Client, Server;
};

struct TSelfTest {
    std::vector<TProtocolProbe> Protocols;
    bool ServerSide = false; // SCHANNEL completed a server handshake here
    std::wstring Handshake;  // "TLS 1.2, AES 256" or why it is not measurable
    // The credential structure the answers came from: "SCH_CREDENTIALS", or "SCHANNEL_CRED (...)"
    // with the reason.
    std::wstring Credentials;
};

// What the plan implies for a protocol's side: Enabled 1 usable, Enabled 0 refused, none when the
// plan does not write it.
std::optional<bool> ExpectedUsable(const std::vector<TPlannedSetting>& aPlan, const std::wstring& aProtocol,
                                   bool aServer);
// Asks SCHANNEL about each protocol, client and server side, and runs one in-memory handshake.
// The server probes count only where the handshake shows a working server side.
TSelfTest RunSelfTest(const std::vector<TPlannedSetting>& aPlan) noexcept;
// Measured sides whose answer differs from the plan's expectation, as "TLS 1.0 Client" texts.
std::vector<std::wstring> SelfTestDisagreements(const TSelfTest& aTest);

// ---- The report ---------------------------------------------------------------------------------

// Post-quantum key exchange on this machine: SCHANNEL has no hybrid ML-KEM groups here; it has
// them but the group order does not name one; it names one; it names one that waits for Windows to
// restart.
enum TGroupState : std::uint8_t { gsUnavailable = 0, gsAvailable = 1, gsConfigured = 2, gsWaitingForRestart = 3 };
TGroupState GroupState(const TOSVersion& anOS, const TRegValueData& aGroupOrder, bool aRestartPending);
const char* GroupStateName(TGroupState aState) noexcept;

struct TStatusReport {
    std::wstring ProductVersion;
    TOSVersion OS;
    int StoredLevel = 0; // as stored, which may lie outside 0..2
    TLevel Level = lOff; // the level it stands for
    std::vector<TSettingCheck> Settings;
    std::optional<TSelfTest> SelfTest;
    bool RestartPending = false;
    unsigned RestartNeeds = 0; // TTakesEffect bits still waiting
    DWORD AppliedOnBuild = 0;  // the build the level was applied on, 0 when unknown
    TGroupState Groups = gsUnavailable;
    std::wstring CheckedAt; // local time, "HH:MM"
    bool Compliant = false;
};

// Protection holds: the level is Optimal or Maximum, every judged setting matches and no measured
// SCHANNEL answer contradicts the plan.
bool IsCompliant(TLevel aLevel, const std::vector<TSettingCheck>& aSettings, const TSelfTest* aTest);

// The running system's report against the machine's level; the self-test only when aSelfTest is
// set. Run as a service account (LocalSystem...), whose hive no instance of ours levels, the
// per-user Internet Explorer options are listed but not judged.
TStatusReport BuildStatusReport(bool aSelfTest);

// UTF-8 JSON document, and a readable table for a console.
std::string StatusReportJson(const TStatusReport& aReport);
std::wstring StatusReportText(const TStatusReport& aReport);

// The local time of a check as the status texts show it: "HH:MM".
std::wstring CheckedAtText();
// "Maximum protection", "Optimal protection", "Off".
const wchar_t* LevelName(TLevel aLevel) noexcept;
// The window's status line: "All 41 settings match Maximum protection (checked 10:32)" or
// "3 settings differ from Maximum protection".
std::wstring StatusLineText(TLevel aLevel, size_t aJudged, size_t aDeviating, const std::wstring& aCheckedAt);
// The tray's warning balloon for aCount changed settings.
std::wstring DriftBalloonText(size_t aCount);
// The balloon for drift deviations (DriftDeviations): after a Windows update that alone brought
// them, "Windows was updated: 2 settings need applying again"; otherwise DriftBalloonText.
std::wstring DriftAnnouncementText(const std::vector<TSettingCheck>& aDrift);
// The window's note for what written settings still need (TTakesEffect bits); empty for nothing.
std::wstring RestartNoteText(unsigned aNeeds);
// The deviations and the self-test, one line each, for the Details view.
std::wstring DetailsText(TLevel aLevel, const std::vector<TSettingCheck>& aSettings, const TSelfTest* aTest);

// Writes aBytes to aPath through a temporary file in the same folder and a rename, so a reader
// never sees half a report. False, with nothing left behind, when any step fails.
bool WriteFileReplacing(const std::wstring& aPath, const std::string& aBytes) noexcept;

// The STATUS verb: the report as JSON into aPath, or as a table to the console the program was
// started from (or its redirected output) when aPath is empty. True when the report says the
// machine is compliant and, for a file, the file was written; false when anything raised. The
// console's output is not checked (there may be none). Never raises.
bool RunStatusReport(const std::wstring& aPath) noexcept;
