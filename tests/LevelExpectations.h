// What applying a security level must leave in the registry, written out name by name, and the
// helpers that prepare and read back that state. Shared by the in-process and end-to-end tests.
#pragma once

#include "QVConst.h"

#include <windows.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

extern const wchar_t kProtocolsKey[];
extern const wchar_t kCiphersKey[];
extern const wchar_t kCryptoKey[];
extern const wchar_t kIETargetPath[];
extern const wchar_t kIETargetValue[];

// A bit of SecureProtocols that none of the five options owns: every level must keep it.
constexpr DWORD kForeignBit = 0x2;

struct TProtocolRow {
    const wchar_t* name;
    bool on[4]; // lOff with version 6.3 or later, lOff before 6.3, lOptimal, lMax
};
struct TCipherRow {
    const wchar_t* name;
    bool on[3]; // lOff, lOptimal, lMax
};
struct TIEOptionRow {
    const wchar_t* name;
    DWORD bit;          // CheckedValue and Mask of the installed descriptor
    DWORD defaultValue; // DefaultValue of the installed descriptor
};

extern const TProtocolRow kExpectedProtocols[7];
extern const TCipherRow kExpectedCiphers[12];
extern const TIEOptionRow kIEOptions[5];

bool ExpectedProtocolOn(const TProtocolRow& aRow, TLevel aLevel, bool anAtLeast63);
bool ExpectedCipherOn(const TCipherRow& aRow, TLevel aLevel);
// The five options' bits of SecureProtocols after aLevel: ticked set, unticked clear, default as
// the descriptor's DefaultValue.
DWORD ExpectedIEBits(TLevel aLevel);

// Writes the five option descriptors (single-bit masks, target HKCU SecureProtocols) under
// whatever HKEY_LOCAL_MACHINE currently is for this process.
void InstallIEDescriptors();

// Every protocol, cipher and IE bit in the state opposite to what aLevel leaves.
void WriteOppositeState(TLevel aLevel, bool anAtLeast63);

// "Enabled" and the value count of one SCHANNEL key; enabled is empty when absent or not a DWORD.
struct TSwitchState {
    std::optional<int> enabled;
    DWORD valueCount = 0;
    bool operator==(const TSwitchState& o) const { return enabled == o.enabled && valueCount == o.valueCount; }
};

inline void PrintTo(const TSwitchState& aState, std::ostream* anOut) {
    *anOut << "{Enabled ";
    if (aState.enabled)
        *anOut << *aState.enabled;
    else
        *anOut << "absent";
    *anOut << ", " << aState.valueCount << " values}";
}

struct TLevelState {
    std::vector<TSwitchState> client, server, ciphers; // in the order of the expectation tables
    std::optional<DWORD> secureProtocols;
    bool operator==(const TLevelState& o) const {
        return client == o.client && server == o.server && ciphers == o.ciphers && secureProtocols == o.secureProtocols;
    }
};

TLevelState ReadLevelState();

// Checks aState value by value: on is -1, off is 0, one value ("Enabled") per key, and
// SecureProtocols holds anOtherBits plus ExpectedIEBits(aLevel).
void ExpectLevelState(const TLevelState& aState, TLevel aLevel, bool anAtLeast63, DWORD anOtherBits);

// "Enabled" of an existing key, or empty; a value count of the key (0 when it does not exist).
TSwitchState ReadSwitch(const std::wstring& aKeyPath);

std::string Narrow(const std::wstring& aText);
