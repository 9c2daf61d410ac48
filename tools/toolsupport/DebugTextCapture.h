#pragma once
// Takes the debugger texts of this process while it is alive. Every
// OutputDebugString raises DBG_PRINTEXCEPTION_C before it looks for a
// listener; a vectored handler that continues execution keeps the text from
// the debug-output channel, so only the request's own texts are taken and
// only while the request runs. The tests take their process's texts with it
// too.

#include <windows.h>

#include <string>
#include <vector>

class CDebugTextCapture {
public:
    CDebugTextCapture();
    ~CDebugTextCapture();
    CDebugTextCapture(const CDebugTextCapture&) = delete;
    CDebugTextCapture& operator=(const CDebugTextCapture&) = delete;

    // The texts so far, in the order they were written.
    std::vector<std::string> Texts() const;
    // Forgets the texts so far.
    void Clear();

private:
    static LONG CALLBACK Handler(EXCEPTION_POINTERS* a_pInfo);
    void Add(std::string a_strText);

    PVOID m_hHandler = nullptr;
    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    std::vector<std::string> m_texts;
};
