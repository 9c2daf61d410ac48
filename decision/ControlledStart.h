#pragma once
// The hook's controlled starts: an application started directly, the
// launcher started for a request and its answer awaited, and what every start
// of the hook shares (the dry run, the line and the event of a start that did
// not happen). The platform's part of a start is common/ProcessStart.h.

#include "common/Handle.h"
#include "common/ProcessStart.h"

#include <windows.h>

#include <string>

// A controlled start through the launcher, for the audit trail.
struct ControlledStart {
    std::string m_strDocument;
    std::string m_strApplication;
    std::string m_strPlugin;
};

// Starts a_strCommandLine with a_strProgram (a full path) as its program. 0
// when it started, else the shell's SE_ERR_* code for the platform's error.
// The process handle goes to a_pProcess when one is given; nothing of the
// process is kept otherwise.
int StartCommandLine(const std::wstring& a_strProgram, std::wstring a_strCommandLine,
                     vm::UniqueNullHandle* a_pProcess = nullptr);

// Waits for the launcher's answer, at most the launcher's own plug-in load
// timeout and a margin, and turns it into the request's hInstApp: 44 when
// the application runs with the plug-in, or when the launcher has not
// answered by then; the nearest SE_ERR_* code of its refusal otherwise.
// A started launcher's controlled start is recorded in the audit trail when
// it answers that the application runs.
int AwaitLauncherVerdict(HANDLE a_hLauncher, const ControlledStart& a_start);

// The always-on line of a start that failed or was refused, and its event.
void TraceNotStarted(const char* a_szTag, const char* a_szCause, int a_nCode,
                     const std::string& a_strCommand, const std::string& a_strProgram);
