#pragma once
// A buffer whose last byte is followed by an inaccessible page: a read or a
// write past its end faults at once.

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace vmtest {

class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t a_cb)
    {
        m_pBase = static_cast<char*>(VirtualAlloc(nullptr, 2 * c_cbPage, MEM_COMMIT, PAGE_READWRITE));
        DWORD dwOld = 0;
        VirtualProtect(m_pBase + c_cbPage, c_cbPage, PAGE_NOACCESS, &dwOld);
        m_p = m_pBase + c_cbPage - a_cb;
        std::fill(m_pBase, m_p, '\xA5');
    }
    // The text with its terminating zero as the last readable byte.
    explicit GuardedBuffer(const std::string& a_strText) : GuardedBuffer(a_strText.size() + 1)
    {
        std::memcpy(m_p, a_strText.c_str(), a_strText.size() + 1);
    }
    ~GuardedBuffer() { VirtualFree(m_pBase, 0, MEM_RELEASE); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    char* get() { return m_p; }
    bool PrefixUntouched() const
    {
        return std::all_of(m_pBase, m_p, [](char a_ch) { return a_ch == '\xA5'; });
    }

private:
    static constexpr size_t c_cbPage = 4096;
    char* m_pBase;
    char* m_p;
};

} // namespace vmtest
