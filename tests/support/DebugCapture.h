#pragma once
// Captures the debugger output of this process: every OutputDebugString
// raises DBG_PRINTEXCEPTION_C, and a vectored handler takes the text before
// any debugger would. Captured texts do not reach a debug viewer.

#include <windows.h>

#include <string>
#include <vector>

namespace vmtest {

class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::string> Texts() const;
    void Clear();
    // True when some captured text equals a_strText exactly.
    bool Contains(const std::string& a_strText) const;
    // Number of captured texts that equal a_strText.
    size_t Count(const std::string& a_strText) const;
    // Index of the first text equal to a_strText at or after a_iFrom; -1 when none.
    int IndexOf(const std::string& a_strText, size_t a_iFrom = 0) const;
    // All texts, one per line, for failure messages.
    std::string Dump() const;

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* a_pInfo);
    void Add(const char* a_szText, size_t a_cch);

    void* m_hHandler = nullptr;
    mutable CRITICAL_SECTION m_lock;
    std::vector<std::string> m_texts;
};

} // namespace vmtest
