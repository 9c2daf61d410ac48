#pragma once
// The verdict on a request in the words the administrators' shell host shows.

#include "request/Verdict.h"

#include <string>

// "controlled: WINWORD.EXE starts through the launcher with wdplug.dll",
// "controlled: notepad.exe starts through the launcher with np.dll (the
// registered command's /p is not passed)",
// "handed back to Windows (not a controlled application)", "refused (5):
// <cause>", "refused (5): C:\users\Public\tools\probe.exe is outside the
// trusted folders (Windows, Program Files, TrustedFolders)", "handed back
// to Windows unprotected (the plug-in ... is missing)", "protection is off:
// no valid policy file", ...
std::string DescribeVerdict(const RequestVerdict& a_verdict, bool a_bPolicyValid);

// The same verdict in the columns of the administrators' listings: its kind,
// the program and plug-in wherever the record names them, and the reason.
struct VerdictColumns {
    std::string m_strVerdict;
    std::string m_strProgram;
    std::string m_strPlugin;
    std::string m_strReason;
};
VerdictColumns DescribeVerdictColumns(const RequestVerdict& a_verdict, bool a_bPolicyValid);
