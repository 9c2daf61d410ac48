#pragma once
// What every start of the hook shares: the variables of a command expanded,
// the program started by its full path with a wide command line (so that a
// name the ANSI code page cannot hold reaches it as it is), a failure turned
// into the shell's code.

#include "common/Handle.h"

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

// The shell's SE_ERR_* code (32 or less, never 0) closest to a platform error.
int StartErrorCode(DWORD a_dwError);

// a_strText with every environment variable expanded. Registry commands name
// programs and modules through %SystemRoot% and the like; a variable left in
// place would be read relative to the current directory. False when the
// expanded text would pass the longest command line a process can be given.
bool ExpandEnvironment(const std::wstring& a_strText, std::wstring& a_strExpanded);
// The same for an ANSI text; a value the ANSI code page cannot hold shows as
// '?' and so names no file.
bool ExpandEnvironment(const std::string& a_strText, std::string& a_strExpanded);

// A text with a blank as one argument of a command line: quoted.
template <class String>
String AsOneArgument(const String& a_strText)
{
    using Char = typename String::value_type;
    if (a_strText.find(Char(' ')) == String::npos)
        return a_strText;
    return Char('"') + a_strText + Char('"');
}

// The always-on line of a start that failed or was refused, and its event.
void TraceNotStarted(const char* a_szTag, const char* a_szCause, int a_nCode,
                     const std::string& a_strCommand, const std::string& a_strProgram);
