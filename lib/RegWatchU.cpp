#include "RegWatchU.h"

#include "FallbackU.h"

namespace {

constexpr DWORD kKeyFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

std::wstring ParentPath(const std::wstring& aPath) {
    const size_t slash = aPath.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : aPath.substr(0, slash);
}

TUniqueHKey OpenForNotify(HKEY aRoot, const std::wstring& aPath, REGSAM anAccess) noexcept {
    HKEY key = nullptr;
    if (RegOpenKeyExW(aRoot, aPath.c_str(), 0, KEY_NOTIFY | anAccess, &key) != ERROR_SUCCESS)
        return TUniqueHKey();
    return TUniqueHKey(key);
}

} // namespace

bool TRegistryWatch::Add(HKEY aRoot, const std::wstring& aPath, bool aSubtree, REGSAM anAccess) noexcept {
    return ResultOr("TRegistryWatch.Add", false, [&] {
        // Manual reset: the event stays signalled until the watch is armed again, so a loop that
        // wakes for another reason still sees it.
        TUniqueKernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        TUniqueKernelHandle parentEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!event || !parentEvent)
            return false;
        TEntry entry;
        entry.Root = aRoot;
        entry.Path = aPath;
        entry.Subtree = aSubtree;
        entry.Access = anAccess & (KEY_WOW64_64KEY | KEY_WOW64_32KEY);
        entry.Event = std::move(event);
        entry.ParentEvent = std::move(parentEvent);
        FEvents.push_back(entry.Event.get());
        FEvents.push_back(entry.ParentEvent.get());
        FEntries.push_back(std::move(entry));
        Arm(FEntries.back());
        return true;
    });
}

// Opens the key afresh (it may have been deleted and created again) and registers for its
// changes. Wine never signals a deleted key's own handle, so the parent is watched for the
// removal of its subkeys as well, on an event of its own. A missing key is waited for on its
// nearest existing ancestor; the top-level key under the root always exists.
// Closing a key signals the event of a registration still pending on it, so the old keys are
// closed before the events are reset. The reset comes before the registrations: a change made
// before them is seen by the caller's read after arming, one made after them signals.
void TRegistryWatch::Arm(TEntry& anEntry) noexcept {
    try {
        anEntry.Key.reset();
        anEntry.Parent.reset();
        ResetEvent(anEntry.Event.get());
        ResetEvent(anEntry.ParentEvent.get());
        anEntry.Armed.clear();
        std::wstring path = anEntry.Path;
        TUniqueHKey key = OpenForNotify(anEntry.Root, path, anEntry.Access);
        const bool own = static_cast<bool>(key);
        while (!key && path.find(L'\\') != std::wstring::npos) {
            path = ParentPath(path);
            key = OpenForNotify(anEntry.Root, path, anEntry.Access);
        }
        if (!key)
            return;
        const DWORD filter = own ? kKeyFilter : REG_NOTIFY_CHANGE_NAME;
        const BOOL subtree = own ? anEntry.Subtree : FALSE;
        if (RegNotifyChangeKeyValue(key.get(), subtree, filter, anEntry.Event.get(), TRUE) != ERROR_SUCCESS)
            return;
        if (FBetweenRegistrations)
            FBetweenRegistrations();
        if (own && path.find(L'\\') != std::wstring::npos) {
            TUniqueHKey parent = OpenForNotify(anEntry.Root, ParentPath(path), anEntry.Access);
            if (parent && RegNotifyChangeKeyValue(parent.get(), FALSE, REG_NOTIFY_CHANGE_NAME,
                                                  anEntry.ParentEvent.get(), TRUE) == ERROR_SUCCESS)
                anEntry.Parent = std::move(parent);
        }
        anEntry.Key = std::move(key);
        anEntry.Armed = path;
    } catch (...) {
        NoteCurrentSwallowed("TRegistryWatch.Arm");
        anEntry.Armed.clear();
    }
}

bool TRegistryWatch::RearmSignalled() noexcept {
    bool any = false;
    for (TEntry& entry : FEntries)
        if (WaitForSingleObject(entry.Event.get(), 0) == WAIT_OBJECT_0 ||
            WaitForSingleObject(entry.ParentEvent.get(), 0) == WAIT_OBJECT_0) {
            any = true;
            Arm(entry);
        }
    return any;
}

void TRegistryWatch::RearmAll() noexcept {
    for (TEntry& entry : FEntries)
        Arm(entry);
}

std::wstring TRegistryWatch::ArmedPath(size_t anIndex) const {
    return anIndex < FEntries.size() ? FEntries[anIndex].Armed : std::wstring();
}
