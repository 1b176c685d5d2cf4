// One small owner per kind of Win32 handle, each closed in exactly one place.
#ifndef TERNFILEMON_COMMON_WIN32HANDLES_H
#define TERNFILEMON_COMMON_WIN32HANDLES_H

#include <windows.h>

#include <utility>

namespace tern {

// Owns a value and releases it with Traits::Close when it holds one.
template <typename Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() noexcept : m_value(Traits::Empty()) {}
    explicit UniqueResource(Value value) noexcept : m_value(value) {}
    ~UniqueResource() { Reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    Value Get() const noexcept { return m_value; }
    bool IsValid() const noexcept { return Traits::IsValid(m_value); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing.
    Value Release() noexcept { return std::exchange(m_value, Traits::Empty()); }

    // Closes the held value and hands out the slot, for a call that returns a
    // new value through a pointer: OpenProcessToken(..., hToken.Put()).
    Value* Put() noexcept {
        Reset();
        return &m_value;
    }

    // Closes the held value (if any) and takes the new one. The result is the
    // result of the close, or true when nothing was held.
    bool Reset(Value value = Traits::Empty()) noexcept {
        bool bClosed = true;
        if (Traits::IsValid(m_value)) bClosed = Traits::Close(m_value);
        m_value = value;
        return bClosed;
    }

private:
    Value m_value;
};

// Kernel handles: files, events, threads, mappings, tokens, completion ports.
// Both null and INVALID_HANDLE_VALUE count as "no handle".
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static bool Close(Value h) noexcept { return ::CloseHandle(h) != FALSE; }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

struct RegKeyTraits {
    using Value = HKEY;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value h) noexcept { return h != nullptr; }
    static bool Close(Value h) noexcept { return ::RegCloseKey(h) == ERROR_SUCCESS; }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

struct ModuleTraits {
    using Value = HMODULE;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value h) noexcept { return h != nullptr; }
    static bool Close(Value h) noexcept { return ::FreeLibrary(h) != FALSE; }
};
using UniqueModule = UniqueResource<ModuleTraits>;

// A counted reference to the module that contains pAddress (this library,
// when given the address of one of its own objects): a thread that holds one
// keeps the code it runs loaded, and gives it back with FreeLibraryAndExitThread
// as its last act. Empty when the module cannot be found.
inline UniqueModule ReferenceModuleContaining(const void* pAddress) noexcept {
    HMODULE hModule = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              static_cast<LPCSTR>(pAddress), &hModule)) {
        return UniqueModule();
    }
    return UniqueModule(hModule);
}

struct MappedViewTraits {
    using Value = void*;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value p) noexcept { return p != nullptr; }
    static bool Close(Value p) noexcept { return ::UnmapViewOfFile(p) != FALSE; }
};
using UniqueMappedView = UniqueResource<MappedViewTraits>;

// ---- Device-notification owner (the file monitor's; kept apart from the rest) ----

// A device notification registered for a window; unregistered once.
struct DevNotifyTraits {
    using Value = HDEVNOTIFY;
    static Value Empty() noexcept { return nullptr; }
    static bool IsValid(Value h) noexcept { return h != nullptr; }
    static bool Close(Value h) noexcept { return ::UnregisterDeviceNotification(h) != FALSE; }
};
using UniqueDevNotify = UniqueResource<DevNotifyTraits>;

// ---- End of device-notification owner ----

}  // namespace tern

#endif
