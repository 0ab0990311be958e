// Object security: attributes that grant the world group ("Everyone") full access, grants merged
// into existing ACLs and descriptors, and low integrity labels on named objects. Objects one
// instance creates (elevated or not) must stay usable by every other instance.
//
// The process-wide state (world SID, the shared file attributes, the localized group name, the
// AddMandatoryAce entry point) is made once, on first use, from whichever thread comes first, and
// released by DoneObjectSecurity at exit. No routine here raises; failures give null or false.
#pragma once

#include "HandleU.h"

#include <windows.h>
#include <aclapi.h>

#include <string>

// The account name of the world group as this system reports it (localized on non-English
// systems). Runs InitObjectSecurity first, so a grant by this name never passes the English
// default to a system that would not resolve it; "Everyone" when the lookup failed, empty after
// DoneObjectSecurity.
std::wstring EveryoneName();

// Makes the process-wide state; only the first call in the process does the work, concurrent
// callers wait for it. A failure is not retried: what was made before it stays in place.
void InitObjectSecurity() noexcept;

// Security attributes for files and folders: a DACL with one inheritable ACE granting the world SID
// FILE_ALL_ACCESS. Owned here, shared and read-only; callers never free them. Null if they could
// not be made (objects then get default security).
SECURITY_ATTRIBUTES* GetEveryoneFileSecurityAttributes() noexcept;

// New attributes whose absolute descriptor carries aDacl (present, not defaulted); not
// inheritable. aDacl is not copied: it must outlive the attributes. Null for a null aDacl or on
// failure.
TUniqueSecurityAttributes CreateSecurityAttributes(PACL aDacl) noexcept;

// Releases the descriptor, then the record, of attributes from CreateSecurityAttributes. Null is
// allowed.
void FreeSecurityAttributes(SECURITY_ATTRIBUTES* anAttributes) noexcept;

// A new ACL: anAcl (may be null) merged with a grant of aMask to the account named aTrustee,
// inherited by subfolders and files. Null when the name cannot be resolved or the merge fails.
TUniqueAcl GrantAccessInAcl(PACL anAcl, const std::wstring& aTrustee, DWORD aMask) noexcept;

// A new self-relative descriptor: aDescriptor (self-relative) with GENERIC_ALL for aTrustee merged
// into its DACL; owner, group, SACL and the DACL flags are kept. Null on any failure, including a
// grant that cannot be made (never a descriptor with a null DACL in its place).
TUniqueSecurityDescriptor GrantAccessInSecurityDescriptor(PSECURITY_DESCRIPTOR aDescriptor,
                                                          const std::wstring& aTrustee) noexcept;

// Puts a mandatory integrity label (aRid, e.g. SECURITY_MANDATORY_LOW_RID, with aPolicy, e.g.
// SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) on the named object. True on success, and true without doing
// anything where labels do not exist (before Vista, or without AddMandatoryAce). On failure the
// Windows error is left in GetLastError.
bool SetObjectIntegrityLabel(const std::wstring& aName, SE_OBJECT_TYPE aType, DWORD aRid, DWORD aPolicy) noexcept;

// Releases the process-wide state at program exit and clears EveryoneName. The shared attributes
// are gone afterwards; nothing is made again.
void DoneObjectSecurity() noexcept;
