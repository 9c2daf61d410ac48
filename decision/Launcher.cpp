#include "decision/Launcher.h"

#include "decision/LxShellExt.h"
#include "module/ModuleState.h"
#include "resolution/PathHelpers.h"
#include "resolution/PathNameCache.h"
#include "trace/Trace.h"
#include "common/AuditTrail.h"

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

// The longest command line a process can be given, in characters.
constexpr DWORD c_cchCommandLineMax = 32767;
// Room for the long form of a path; the same as the long-path helper's.
constexpr DWORD c_cbLongForm = 1040;

std::string LongForm(const std::string& a_strPath)
{
    char szLong[c_cbLongForm];
    DWORD cch = CachedLongPathName(a_strPath.c_str(), szLong, sizeof(szLong));
    return cch && cch < sizeof(szLong) ? std::string(szLong) : a_strPath;
}

// "%s %s/D:%s" or "%s %s/D:%s/D:%s" into the launcher's 4096 bytes; false
// when the line does not fit. a_cch is the length the whole line has.
bool FormatLauncherLine(char (&a_szLine)[c_cbCommandLine], const char* a_szLauncher,
                        const std::string& a_strCommand, const std::string& a_strPlugin,
                        const char* a_szDirectory, int& a_cch)
{
    int cch;
    if (a_szDirectory && *a_szDirectory)
        cch = snprintf(a_szLine, sizeof(a_szLine), "%s %s/D:%s/D:%s", a_szLauncher,
                       a_strCommand.c_str(), a_strPlugin.c_str(), a_szDirectory);
    else
        cch = snprintf(a_szLine, sizeof(a_szLine), "%s %s/D:%s", a_szLauncher, a_strCommand.c_str(),
                       a_strPlugin.c_str());
    a_cch = cch;
    return cch >= 0 && static_cast<size_t>(cch) < sizeof(a_szLine);
}

constexpr char c_szRunApplication[] = "[CLxShellExt::RunApplication]";
constexpr char c_szRunLauncher[] = "[CLxShellExt::RunLauncher]";

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

int StartCommandLine(const std::string& a_strProgram, std::string a_strCommandLine)
{
    CChildProcess child;
    if (!child.Start(a_strProgram.c_str(), &a_strCommandLine[0], 0))
        return StartErrorCode(GetLastError());
    child.Close();
    return 0;
}

int StartErrorCode(DWORD a_dwError)
{
    switch (a_dwError) {
    case ERROR_FILE_NOT_FOUND:
        return SE_ERR_FNF;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return SE_ERR_PNF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return SE_ERR_OOM;
    case ERROR_BAD_FORMAT:
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        return ERROR_BAD_FORMAT; // the shell's code for an invalid program
    case ERROR_SHARING_VIOLATION:
        return SE_ERR_SHARE;
    case ERROR_DLL_NOT_FOUND:
    case ERROR_MOD_NOT_FOUND:
        return SE_ERR_DLLNOTFOUND;
    default:
        // Refused for a reason the shell has no closer code for.
        return SE_ERR_ACCESSDENIED;
    }
}

bool ExpandEnvironment(const std::string& a_strText, std::string& a_strExpanded)
{
    if (a_strText.find('%') == std::string::npos) {
        a_strExpanded = a_strText;
        return true;
    }
    std::string strBuffer(c_cchCommandLineMax + 1, '\0');
    DWORD cch = ExpandEnvironmentStringsA(a_strText.c_str(), &strBuffer[0],
                                          static_cast<DWORD>(strBuffer.size()));
    if (cch == 0 || cch > strBuffer.size())
        return false;
    strBuffer.resize(lstrlenA(strBuffer.c_str()));
    a_strExpanded = std::move(strBuffer);
    return true;
}

bool IsSameFile(const std::string& a_strFirst, const std::string& a_strSecond)
{
    if (a_strFirst.empty() || a_strSecond.empty())
        return false;
    return lstrcmpiA(a_strFirst.c_str(), a_strSecond.c_str()) == 0 ||
           lstrcmpiA(LongForm(a_strFirst).c_str(), LongForm(a_strSecond).c_str()) == 0;
}

void TraceNotStarted(const char* a_szTag, const char* a_szCause, int a_nCode,
                     const std::string& a_strCommand, const std::string& a_strProgram)
{
    TraceAlways("%s %s, not started (%d)[%s]", a_szTag, a_szCause, a_nCode, a_strCommand.c_str());
    vm::ReportStartRefused(a_strCommand, a_strProgram, a_szCause, a_nCode);
}

void CLxShellExt::RefuseStart(const char* a_szTag, const char* a_szCause, int a_nCode,
                              const std::string& a_strCommand)
{
    m_nStartError = a_nCode;
    TraceNotStarted(a_szTag, a_szCause, a_nCode, a_strCommand, m_strAppPath);
}

bool CLxShellExt::IsDocumentItsOwnProgram(const char* a_szTag, const std::string& a_strProgram,
                                          const std::string& a_strDocument)
{
    if (m_uOperation != OPERATION_OPEN_DOCUMENT && m_uOperation != OPERATION_OPENAS_DOCUMENT)
        return false;
    if (!IsSameFile(a_strProgram, a_strDocument))
        return false;
    RefuseStart(a_szTag, "the document is the program", SE_ERR_NOASSOC, a_strDocument);
    return true;
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
    StartApplicationDirectly(strCommand);
    return EXECUTE_EXCEPTION;
}

void CLxShellExt::StartApplicationDirectly(const std::string& a_strCommand)
{
    // A double quote in the document's text would end its argument early.
    if (m_strFilePath.find('"') != std::string::npos) {
        RefuseStart(c_szRunApplication, "file text holds a double quote", SE_ERR_ACCESSDENIED,
                    a_strCommand);
        return;
    }
    std::string strAppPath;
    if (!ExpandEnvironment(m_strAppPath, strAppPath)) {
        RefuseStart(c_szRunApplication, "application path does not fit", SE_ERR_OOM, a_strCommand);
        return;
    }
    // Only an application named by an existing full path is started.
    if (!IsExistingFullPath(strAppPath)) {
        RefuseStart(c_szRunApplication, "application not found", SE_ERR_FNF, a_strCommand);
        return;
    }
    if (IsDocumentItsOwnProgram(c_szRunApplication, strAppPath, m_strFilePath))
        return;
    std::string strStarted = strAppPath + " \"" + m_strFilePath + "\"";
    if (strStarted != a_strCommand)
        TraceAlways("%s started as [%s]", c_szRunApplication, strStarted.c_str());
    if (int nError = StartCommandLine(strAppPath, strStarted))
        RefuseStart(c_szRunApplication, "CreateProcess failed", nError, strStarted);
    else
        vm::ReportControlledStart(m_strFilePath, strAppPath, std::string(), "direct start");
}

std::string CLxShellExt::BuildApplicationCommand(const std::string& a_strAppPath) const
{
    switch (m_uOperation) {
    case OPERATION_APPLICATION:
        if (m_lpsei->lpParameters)
            return "\"" + a_strAppPath + "\" " + m_lpsei->lpParameters;
        return a_strAppPath;
    case OPERATION_OPEN_DOCUMENT:
    case OPERATION_OPENAS_DOCUMENT:
        return a_strAppPath + " \"" + m_strFilePath + "\"";
    default:
        return std::string();
    }
}

// The launcher splits its line at "/D:" and takes the document between
// double quotes: request text holding either would move the plug-in or add
// arguments of its own.
bool CLxShellExt::IsLaunchableRequest()
{
    for (const char* szText : {m_lpsei->lpFile, m_lpsei->lpParameters, m_lpsei->lpDirectory}) {
        if (szText && StrStrIA(szText, "/D:")) {
            RefuseStart(c_szRunLauncher, "request text holds the launcher's argument mark",
                        SE_ERR_ACCESSDENIED, szText);
            return false;
        }
    }
    if (m_lpsei->lpFile && StrChrA(m_lpsei->lpFile, '"')) {
        RefuseStart(c_szRunLauncher, "file text holds a double quote", SE_ERR_ACCESSDENIED,
                    m_lpsei->lpFile);
        return false;
    }
    return true;
}

bool CLxShellExt::RunLauncher()
{
    if (!IsLaunchableRequest())
        return true;
    std::string strAppPath;
    if (!ExpandEnvironment(m_strAppPath, strAppPath)) {
        RefuseStart(c_szRunLauncher, "application path does not fit", SE_ERR_OOM, m_strAppPath);
        return true;
    }
    if (IsDocumentItsOwnProgram(c_szRunLauncher, strAppPath, m_strFilePath))
        return true;

    char szLauncher[MAX_PATH] = {};
    lstrcpynA(szLauncher, GetOwnModulePath().c_str(), MAX_PATH);
    ReplaceFileName(szLauncher, "vormidmgr.exe");
    if (!*szLauncher) {
        // Without our own path the launcher could only be looked for in the
        // current directory: nothing is started.
        TraceAlways("[CLxShellExt::RunLauncher] module path unknown, launcher not started");
        m_nStartError = SE_ERR_FNF;
        return true;
    }

    // A cut command line would hand the launcher a wrong plug-in or document:
    // a line that does not fit is not started.
    char szCommandLine[c_cbCommandLine];
    int cch = 0;
    if (!FormatLauncherLine(szCommandLine, szLauncher, BuildApplicationCommand(m_strAppPath),
                            m_strInjectionDll, m_lpsei->lpDirectory, cch)) {
        TraceAlways("[CLxShellExt::RunLauncher] command line too long (%d bytes), not started", cch);
        m_nStartError = SE_ERR_OOM;
        return true;
    }
    TraceSwitchable("sz[%s]", szCommandLine);

    std::string strStarted = szCommandLine;
    if (strAppPath != m_strAppPath) {
        char szExpanded[c_cbCommandLine];
        if (!FormatLauncherLine(szExpanded, szLauncher, BuildApplicationCommand(strAppPath),
                                m_strInjectionDll, m_lpsei->lpDirectory, cch)) {
            RefuseStart(c_szRunLauncher, "expanded command line too long", SE_ERR_OOM,
                        szCommandLine);
            return true;
        }
        strStarted = szExpanded;
        TraceAlways("%s started as [%s]", c_szRunLauncher, strStarted.c_str());
    }
    if (int nError = StartCommandLine(szLauncher, strStarted))
        RefuseStart(c_szRunLauncher, "launcher start failed", nError, strStarted);
    else
        vm::ReportControlledStart(m_strFilePath, strAppPath, m_strInjectionDll, "launcher");
    return true;
}
