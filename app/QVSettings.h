// Security levels: the fixed policy tables and the routines that write SCHANNEL protocol and cipher
// switches and Internet Explorer's TLS/SSL options to the registry. Results are S_OK or E_FAIL.
#pragma once

#include "QVConst.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// What a switch routine does with one name: put it back to its default, enable (tick) or
// disable (untick) it. The SCHANNEL switches know only saOn and saOff.
enum TSwitchAction : std::uint8_t { saDefault = 0, saOn = 1, saOff = 2 };

// The switch routine one loop of a level's application calls.
enum TSwitchKind : std::uint8_t { skProtocol = 0, skCipher = 1, skIEOption = 2 };

// One loop of applying a level: one routine, one action and the names it is given, in order.
// The loop ends at its first failing name; the loops after it still run.
struct TSwitchLoop {
    TSwitchKind kind;
    TSwitchAction action;
    std::vector<std::wstring> names;
};

// The seven loops that apply aLevel, in write order: protocols on, protocols off, ciphers on,
// ciphers off, IE options ticked, unticked, set to default. anAtLeast63 selects the longer
// switched-off protocol list. A level outside 0..2 gives no loops. The off loops hold the
// catalogue names the level does not switch on (compared ignoring case), in catalogue order.
std::vector<TSwitchLoop> SecurityLevelPlan(TLevel aLevel, bool anAtLeast63);

// Applies aLevel: runs SecurityLevelPlan's loops, asking CurrentVersionAtLeast63 once for lOff.
// Returns S_OK when it ran to its end, whatever single switches reported; a level outside 0..2
// writes nothing. An exception raised inside a SCHANNEL switch reaches the caller.
HRESULT ApplySecurityLevel(TLevel aLevel);

// Sets "Enabled" under HKLM SCHANNEL "Protocols\<aName>\Client", then copies the same value to
// "...\Server". saOn writes -1; any other action switches off: -1 becomes 0 and any other client
// value is kept (absent or not a DWORD counts as 0). The whole name is one key, slashes included. E_FAIL when a write
// fails; a failed client write leaves the server key alone. An empty name does nothing.
HRESULT SetProtocolState(TSwitchAction anAction, const std::wstring& aName);

// As SetProtocolState for the single key HKLM SCHANNEL "Ciphers\<aName>".
HRESULT SetCipherState(TSwitchAction anAction, const std::wstring& aName);

// An Internet Explorer option descriptor, the values of the HKLM key
// "SOFTWARE\Microsoft\Internet Explorer\AdvancedOptions\CRYPTO\<option>". Absent values read as
// empty or 0.
struct TIECryptoDescriptor {
    std::wstring RegPath;
    std::wstring ValueName;
    DWORD CheckedValue = 0;
    DWORD DefaultValue = 0;
    DWORD Mask = 0;
    DWORD UncheckedValue = 0;
    DWORD HKeyRoot = 0;
};

// The target value after anAction on the option aDescriptor describes, given its current value.
// Bits outside the option's pattern are kept; see the definition for the exact arithmetic.
DWORD IECryptoOptionValue(TSwitchAction anAction, const TIECryptoDescriptor& aDescriptor, DWORD aCurrent) noexcept;

// The predefined root a descriptor's "HKeyRoot" names (HKCR, HKCU, HKLM, HKU, HKCC), or nullptr
// for any other number: a number read from the registry is never used as a handle otherwise.
HKEY IECryptoRoot(DWORD aHKeyRoot) noexcept;

// Reads the option's descriptor, then its REG_DWORD target value, and writes back the value
// IECryptoOptionValue gives (also when unchanged). E_FAIL, with nothing written, when the target
// cannot be read as a REG_DWORD; E_FAIL when the write fails or anything raises. An empty name
// does nothing.
HRESULT SetIECryptoOption(TSwitchAction anAction, const std::wstring& aName) noexcept;
