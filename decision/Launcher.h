#pragma once
// CChildProcess: starts one process and owns the handles of the start.

#include "common/Handle.h"

#include <windows.h>

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // a_szApplication is the program's full path; the command line is passed
    // to it as it stands.
    BOOL Start(const char* a_szApplication, char* a_szCommandLine, DWORD a_dwCreationFlags);
    // Closes the process handle; FALSE when there was none.
    BOOL Close();

private:
    HANDLE m_hProcess = nullptr;
    vm::UniqueProcessInfo m_info;
};
