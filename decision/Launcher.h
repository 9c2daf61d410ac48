#pragma once
// CChildProcess: starts one process and owns the handles of the start; and
// what every start of the hook shares: the variables of a command expanded,
// the program found by its full path, a failure turned into the shell's code.

#include "common/Handle.h"

#include <windows.h>

#include <string>

// A controlled start through the launcher, for the audit trail.
struct ControlledStart {
    std::string m_strDocument;
    std::string m_strApplication;
    std::string m_strPlugin;
};

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

// Starts a_strCommandLine with a_strProgram (a full path) as its program. 0
// when it started, else the shell's SE_ERR_* code for the platform's error.
// The process handle goes to a_pProcess when one is given; nothing of the
// process is kept otherwise.
int StartCommandLine(const std::string& a_strProgram, std::string a_strCommandLine,
                     vm::UniqueNullHandle* a_pProcess = nullptr);

// Waits for the launcher's answer, at most the launcher's own plug-in load
// timeout and a margin, and turns it into the request's hInstApp: 44 when
// the application runs with the plug-in, or when the launcher has not
// answered by then; the nearest SE_ERR_* code of its refusal otherwise.
// A started launcher's controlled start is recorded in the audit trail when
// it answers that the application runs.
int AwaitLauncherVerdict(HANDLE a_hLauncher, const ControlledStart& a_start);

// The shell's SE_ERR_* code (32 or less, never 0) closest to a platform error.
int StartErrorCode(DWORD a_dwError);

// a_strText with every environment variable expanded. Registry commands name
// programs and modules through %SystemRoot% and the like; a variable left in
// place would be read relative to the current directory. False when the
// expanded text would pass the longest command line a process can be given.
bool ExpandEnvironment(const std::string& a_strText, std::string& a_strExpanded);

// The always-on line of a start that failed or was refused, and its event.
void TraceNotStarted(const char* a_szTag, const char* a_szCause, int a_nCode,
                     const std::string& a_strCommand, const std::string& a_strProgram);
