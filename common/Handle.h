#pragma once
// One small move-only owner for every kind of Windows handle, parameterised by
// a traits type that says what "none" is and how the handle is closed.

#include <windows.h>

namespace vm {

template <typename Traits>
class UniqueHandle {
public:
    using Type = typename Traits::Type;

    UniqueHandle() = default;
    explicit UniqueHandle(Type a_value) : m_value(a_value) {}
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& a_other) noexcept : m_value(a_other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& a_other) noexcept
    {
        if (this != &a_other)
            reset(a_other.release());
        return *this;
    }

    Type get() const { return m_value; }
    explicit operator bool() const { return m_value != Traits::Invalid(); }

    // Closes what is held, then hands out the slot for a call that fills it.
    Type* put()
    {
        reset();
        return &m_value;
    }

    Type release()
    {
        Type value = m_value;
        m_value = Traits::Invalid();
        return value;
    }

    void reset(Type a_value = Traits::Invalid())
    {
        if (m_value != Traits::Invalid())
            Traits::Close(m_value);
        m_value = a_value;
    }

private:
    Type m_value = Traits::Invalid();
};

struct RegKeyTraits {
    using Type = HKEY;
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY a_hKey) { ::RegCloseKey(a_hKey); }
};
struct NullHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE a_h) { ::CloseHandle(a_h); }
};
// Files and Toolhelp snapshots say "none" with INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE a_h) { ::CloseHandle(a_h); }
};
struct LibraryTraits {
    using Type = HMODULE;
    static HMODULE Invalid() { return nullptr; }
    static void Close(HMODULE a_h) { ::FreeLibrary(a_h); }
};

using UniqueKey = UniqueHandle<RegKeyTraits>;
using UniqueNullHandle = UniqueHandle<NullHandleTraits>;
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;
using UniqueLibrary = UniqueHandle<LibraryTraits>;

// The two handles of a started process, both closed with the owner.
class UniqueProcessInfo {
public:
    UniqueProcessInfo() = default;
    ~UniqueProcessInfo() { reset(); }
    UniqueProcessInfo(const UniqueProcessInfo&) = delete;
    UniqueProcessInfo& operator=(const UniqueProcessInfo&) = delete;

    PROCESS_INFORMATION* put()
    {
        reset();
        return &m_pi;
    }
    const PROCESS_INFORMATION& get() const { return m_pi; }
    void reset()
    {
        if (m_pi.hThread)
            ::CloseHandle(m_pi.hThread);
        if (m_pi.hProcess)
            ::CloseHandle(m_pi.hProcess);
        m_pi = PROCESS_INFORMATION{};
    }

private:
    PROCESS_INFORMATION m_pi{};
};

} // namespace vm
