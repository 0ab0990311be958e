// Registry change notification for a set of keys, each with an event of its own that a message loop
// or a waiting thread can wait for. A notification fires once: after its event is signalled, the
// watch must be armed again (RearmSignalled), which also follows keys that appeared or vanished.
#pragma once

#include "HandleU.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

class TRegistryWatch {
public:
    TRegistryWatch() = default;
    TRegistryWatch(const TRegistryWatch&) = delete;
    TRegistryWatch& operator=(const TRegistryWatch&) = delete;

    // Watches aPath under aRoot (anAccess may carry KEY_WOW64_64KEY), its subtree too when
    // aSubtree is set, and arms it at once. A key that does not exist yet is waited for on its
    // nearest existing ancestor, for the creation of subkeys only. False when no event can be made.
    bool Add(HKEY aRoot, const std::wstring& aPath, bool aSubtree, REGSAM anAccess = 0) noexcept;

    // The events to wait for, two per watched key (its own and its parent's), in the order the keys
    // were added: valid until the next Add.
    const std::vector<HANDLE>& Events() const noexcept { return FEvents; }
    size_t Count() const noexcept { return FEntries.size(); }

    // Arms again every watch whose event is signalled, opening its key afresh; true when any was.
    bool RearmSignalled() noexcept;
    // Arms every watch again, signalled or not: for keys that appeared since they were armed.
    void RearmAll() noexcept;

    // The key a watch is armed on now: the key itself, or the ancestor it waits on. Empty when
    // nothing could be armed.
    std::wstring ArmedPath(size_t anIndex) const;

    // For tests: called while a watch is armed, after the key's own registration and before its
    // parent's. Empty by default; set it before Add to reach the first arming.
    void SetBetweenRegistrationsHook(std::function<void()> aHook) { FBetweenRegistrations = std::move(aHook); }

private:
    struct TEntry {
        HKEY Root = nullptr;
        std::wstring Path;
        bool Subtree = false;
        REGSAM Access = 0;
        // One event per registration: registering a notification resets its event, which would
        // lose a change already signalled for the other registration.
        TUniqueKernelHandle Event, ParentEvent;
        TUniqueHKey Key;    // the key itself or its nearest existing ancestor
        TUniqueHKey Parent; // the key's parent, for the key's own deletion
        std::wstring Armed;
    };
    std::vector<TEntry> FEntries;
    std::vector<HANDLE> FEvents;
    std::function<void()> FBetweenRegistrations;

    void Arm(TEntry& anEntry) noexcept;
};
