#include "decision/Launcher.h"

#include "decision/LxShellExt.h"
#include "module/ModuleState.h"
#include "resolution/PathHelpers.h"
#include "trace/Trace.h"

#include <shlwapi.h>

#include <cstdio>

namespace {

constexpr size_t c_cbCommandLine = 4096;

// Starts a command line as the shell would start a program: no inherited
// handles, the caller's environment and directory, an empty start-up record.
// The program is named by its full path: the command line starts with an
// unquoted path that may hold blanks, and left to itself the platform would
// try C:\Program.exe (or a file in the current directory) first.
BOOL StartProcess(const char* a_szApplication, char* a_szCommandLine, DWORD a_dwFlags,
                  PROCESS_INFORMATION* a_pInfo)
{
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    return CreateProcessA(a_szApplication, a_szCommandLine, nullptr, nullptr, FALSE, a_dwFlags,
                          nullptr, nullptr, &si, a_pInfo);
}

bool IsExistingFullPath(const std::string& a_strPath)
{
    return !a_strPath.empty() && !PathIsRelativeA(a_strPath.c_str()) &&
           PathFileExistsA(a_strPath.c_str()) && !PathIsDirectoryA(a_strPath.c_str());
}

} // namespace

CChildProcess::~CChildProcess()
{
    Close();
}

BOOL CChildProcess::Start(const char* a_szApplication, char* a_szCommandLine,
                          DWORD a_dwCreationFlags)
{
    Close();
    BOOL bStarted = StartProcess(a_szApplication, a_szCommandLine, a_dwCreationFlags, m_info.put());
    if (bStarted)
        m_hProcess = m_info.get().hProcess;
    return bStarted;
}

BOOL CChildProcess::Close()
{
    if (!m_hProcess)
        return FALSE;
    m_hProcess = nullptr;
    m_info.reset(); // closes the process handle and the thread handle with it
    return TRUE;
}

int CLxShellExt::RunApplication()
{
    GetDoucmentInfo();
    bool bControl = GetExtensionControlType();
    if (!GetApplicationPathFromReg(bControl))
        return SKIPPED_INJECTION;

    switch (CheckControlInformation()) {
    case SKIPPED_INJECTION:
        TraceAlways("[CLxShellExt::RunApplication] CheckControlInformation is SKIPPED_INJECTION");
        return SKIPPED_INJECTION;
    case EXECUTE_EXCEPTION:
        TraceAlways("[CLxShellExt::RunApplication] CheckControlInformation is EXECUTE_EXCEPTION");
        return EXECUTE_EXCEPTION;
    default:
        break;
    }

    if (!IsInjectableApplication()) {
        TraceAlways("[CLxShellExt::Execute] IsInjectableApplication is false");
        return SKIPPED_INJECTION;
    }
    int nRegistered = IsRegisteredApplication();
    if (nRegistered == 1 || nRegistered == 2)
        return EXECUTE_INJECTION;

    bool bStartDirectly = m_uControlType == 4 ||
                          (m_uControlType == 3 && m_uOperation != OPERATION_OPENAS_DOCUMENT);
    if (!bStartDirectly)
        return SKIPPED_INJECTION;

    std::string strCommand = m_strAppPath + " \"" + m_strFilePath + "\"";
    TraceAlways("CreateProcess!!![%s]", strCommand.c_str());
    // Only an application named by an existing full path is started.
    if (IsExistingFullPath(m_strAppPath)) {
        CChildProcess child;
        child.Start(m_strAppPath.c_str(), &strCommand[0], 0);
    }
    return EXECUTE_EXCEPTION;
}

std::string CLxShellExt::BuildApplicationCommand() const
{
    switch (m_uOperation) {
    case OPERATION_APPLICATION:
        if (m_lpsei->lpParameters)
            return "\"" + m_strAppPath + "\" " + m_lpsei->lpParameters;
        return m_strAppPath;
    case OPERATION_OPEN_DOCUMENT:
    case OPERATION_OPENAS_DOCUMENT:
        return m_strAppPath + " \"" + m_strFilePath + "\"";
    default:
        return std::string();
    }
}

bool CLxShellExt::RunLauncher()
{
    std::string strCommand = BuildApplicationCommand();

    char szLauncher[MAX_PATH] = {};
    lstrcpynA(szLauncher, GetOwnModulePath().c_str(), MAX_PATH);
    ReplaceFileName(szLauncher, "vormidmgr.exe");
    if (!*szLauncher) {
        // Without our own path the launcher could only be looked for in the
        // current directory: nothing is started.
        TraceAlways("[CLxShellExt::RunLauncher] module path unknown, launcher not started");
        return true;
    }

    char szCommandLine[c_cbCommandLine];
    const char* szDirectory = m_lpsei->lpDirectory;
    int cch;
    if (szDirectory && *szDirectory)
        cch = snprintf(szCommandLine, sizeof(szCommandLine), "%s %s/D:%s/D:%s", szLauncher,
                       strCommand.c_str(), m_strInjectionDll.c_str(), szDirectory);
    else
        cch = snprintf(szCommandLine, sizeof(szCommandLine), "%s %s/D:%s", szLauncher,
                       strCommand.c_str(), m_strInjectionDll.c_str());

    // A cut command line would hand the launcher a wrong plug-in or document:
    // a line that does not fit is not started.
    if (cch < 0 || static_cast<size_t>(cch) >= sizeof(szCommandLine)) {
        TraceAlways("[CLxShellExt::RunLauncher] command line too long (%d bytes), not started", cch);
        return true;
    }
    TraceSwitchable("sz[%s]", szCommandLine);

    CChildProcess child;
    child.Start(szLauncher, szCommandLine, 0);
    child.Close();
    return true;
}
