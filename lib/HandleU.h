// One move-only owner for every kind of OS resource: kernel and file handles, registry keys,
// modules, and whatever later units add a traits struct for. Modelled on WIL's unique_any.
#pragma once

#include <windows.h>

#include <utility>

template <typename Traits> class TUniqueHandle {
public:
    using pointer = typename Traits::type;

    TUniqueHandle() noexcept : FValue(Traits::invalid()) {}
    explicit TUniqueHandle(pointer aValue) noexcept : FValue(aValue) {}
    TUniqueHandle(const TUniqueHandle&) = delete;
    TUniqueHandle& operator=(const TUniqueHandle&) = delete;
    TUniqueHandle(TUniqueHandle&& anOther) noexcept : FValue(anOther.release()) {}
    TUniqueHandle& operator=(TUniqueHandle&& anOther) noexcept {
        if (this != &anOther)
            reset(anOther.release());
        return *this;
    }
    ~TUniqueHandle() { reset(); }

    pointer get() const noexcept { return FValue; }
    bool valid() const noexcept { return FValue != Traits::invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Closes the held resource and takes aValue. The thread's last-error value survives the close,
    // so a failing call's GetLastError() can still be read after its owner was reset.
    void reset(pointer aValue = Traits::invalid()) noexcept {
        if (FValue != Traits::invalid()) {
            const DWORD err = GetLastError();
            Traits::close(FValue);
            SetLastError(err);
        }
        FValue = aValue;
    }

    // Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(FValue, Traits::invalid()); }

    // For Win32 out-parameters: closes what is held and hands out the address to fill.
    pointer* put() noexcept {
        reset();
        return &FValue;
    }

private:
    pointer FValue;
};

struct TKernelHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { CloseHandle(h); }
};

struct TFileHandleTraits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { CloseHandle(h); }
};

// Predefined roots (HKEY_CURRENT_USER…) are not keys this process opened; they are never closed.
struct TRegKeyTraits {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static bool isPredefined(type h) noexcept {
        const auto v = reinterpret_cast<ULONG_PTR>(h);
        return (v & ~static_cast<ULONG_PTR>(0xFF)) == reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT);
    }
    static void close(type h) noexcept {
        if (!isPredefined(h))
            RegCloseKey(h);
    }
};

struct TModuleTraits {
    using type = HMODULE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { FreeLibrary(h); }
};

struct TLocalMemTraits {
    using type = HLOCAL;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { LocalFree(h); }
};

// Directory searches of FindFirstFileW.
struct TFindTraits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { FindClose(h); }
};

// WinINet handles; the header is included by the units that use them.
struct TInternetTraits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept;
};

// CNG algorithm providers, keys and hash objects; bcrypt.h is included by the unit that uses them.
struct TBCryptAlgorithmTraits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept;
};

struct TBCryptKeyTraits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept;
};

struct TBCryptHashTraits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept;
};

// Security identifiers made by AllocateAndInitializeSid.
struct TSidTraits {
    using type = PSID;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { FreeSid(h); }
};

// ACLs and security descriptors handed out by the security API (SetEntriesInAclW…) or made with
// LocalAlloc.
struct TLocalAclTraits {
    using type = PACL;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { LocalFree(h); }
};

struct TLocalSecurityDescriptorTraits {
    using type = PSECURITY_DESCRIPTOR;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { LocalFree(h); }
};

// A SECURITY_ATTRIBUTES record and its descriptor, both made with LocalAlloc. The DACL the
// descriptor points to belongs to whoever built it and is not released here.
struct TSecurityAttributesTraits {
    using type = SECURITY_ATTRIBUTES*;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept {
        LocalFree(h->lpSecurityDescriptor);
        LocalFree(h);
    }
};

// Fonts, bitmaps and brushes this process created (never stock objects).
struct TGdiObjectTraits {
    using type = HGDIOBJ;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { DeleteObject(h); }
};

// Memory device contexts of CreateCompatibleDC (never a window's DC, which is released instead).
struct TMemoryDCTraits {
    using type = HDC;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { DeleteDC(h); }
};

struct TIconTraits {
    using type = HICON;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { DestroyIcon(h); }
};

struct TMenuTraits {
    using type = HMENU;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { DestroyMenu(h); }
};

struct TWindowTraits {
    using type = HWND;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { DestroyWindow(h); }
};

// A COM interface pointer; closing releases the reference.
template <typename I> struct TComTraits {
    using type = I*;
    static type invalid() noexcept { return nullptr; }
    static void close(type p) noexcept { p->Release(); }
};

// Strings made by SysAllocString and its kin (oleauto.h, oleaut32).
struct TBstrTraits {
    using type = BSTR;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { SysFreeString(h); }
};

using TUniqueKernelHandle = TUniqueHandle<TKernelHandleTraits>;
using TUniqueFile = TUniqueHandle<TFileHandleTraits>;
using TUniqueHKey = TUniqueHandle<TRegKeyTraits>;
using TUniqueModule = TUniqueHandle<TModuleTraits>;
using TUniqueLocal = TUniqueHandle<TLocalMemTraits>;
using TUniqueInternet = TUniqueHandle<TInternetTraits>;
using TUniqueFind = TUniqueHandle<TFindTraits>;
using TUniqueBCryptAlgorithm = TUniqueHandle<TBCryptAlgorithmTraits>;
using TUniqueBCryptKey = TUniqueHandle<TBCryptKeyTraits>;
using TUniqueBCryptHash = TUniqueHandle<TBCryptHashTraits>;
using TUniqueSid = TUniqueHandle<TSidTraits>;
using TUniqueAcl = TUniqueHandle<TLocalAclTraits>;
using TUniqueSecurityDescriptor = TUniqueHandle<TLocalSecurityDescriptorTraits>;
using TUniqueSecurityAttributes = TUniqueHandle<TSecurityAttributesTraits>;
using TUniqueGdiObject = TUniqueHandle<TGdiObjectTraits>;
using TUniqueMemoryDC = TUniqueHandle<TMemoryDCTraits>;
using TUniqueIcon = TUniqueHandle<TIconTraits>;
using TUniqueMenu = TUniqueHandle<TMenuTraits>;
using TUniqueWindow = TUniqueHandle<TWindowTraits>;
template <typename I> using TComPtr = TUniqueHandle<TComTraits<I>>;
using TUniqueBstr = TUniqueHandle<TBstrTraits>;
