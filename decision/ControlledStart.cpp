#include "decision/ControlledStart.h"

#include "common/AuditTrail.h"
#include "common/CommandProgram.h"
#include "common/FileIdentity.h"
#include "common/LauncherExit.h"
#include "common/ProcessStart.h"
#include "common/TrustedProgram.h"
#include "decision/DryRun.h"
#include "decision/LxShellExt.h"
#include "decision/Verdict.h"
#include "common/ModuleIdentity.h"
#include "policy/PolicyCache.h"
#include "resolution/PathHelpers.h"
#include "resolution/ViewerProgram.h"
#include "trace/Trace.h"

#include <shlwapi.h>

#include <cstdio>

namespace {

constexpr size_t c_cbCommandLine = 4096;

// "<launcher> <command>/D:<plug-in>[/D:<directory>]", in ANSI for the trace
// or wide for the start; false when it would not fit the launcher's 4096
// characters.
template <class String>
bool FormatLauncherLine(String& a_strLine, const String& a_strLauncher, const String& a_strCommand,
                        const String& a_strPlugin, const String& a_strDirectory)
{
    using Char = typename String::value_type;
    const Char szMark[] = {Char('/'), Char('D'), Char(':'), Char(0)};
    a_strLine = a_strLauncher + Char(' ') + a_strCommand + szMark + a_strPlugin;
    if (!a_strDirectory.empty())
        a_strLine += szMark + a_strDirectory;
    return a_strLine.size() < c_cbCommandLine;
}

// The application's command: the program with the request's parameters for
// a program the request names, the program with the quoted document for a
// document.
template <class String>
String ApplicationCommand(UINT a_uOperation, const String& a_strProgram, const String* a_pParameters,
                          const String& a_strDocument)
{
    using Char = typename String::value_type;
    switch (a_uOperation) {
    case OPERATION_APPLICATION:
        if (a_pParameters)
            return Char('"') + a_strProgram + Char('"') + Char(' ') + *a_pParameters;
        return a_strProgram;
    case OPERATION_OPEN_DOCUMENT:
    case OPERATION_OPENAS_DOCUMENT:
        return a_strProgram + Char(' ') + Char('"') + a_strDocument + Char('"');
    default:
        return String();
    }
}

constexpr char c_szRunApplication[] = "[CLxShellExt::RunApplication]";
constexpr char c_szRunLauncher[] = "[CLxShellExt::RunLauncher]";
constexpr char c_szImageViewer[] = "[CLxShellExt::IsExceptionApplication]";
// An ANSI program reads its command line in the best-fit rendering, where a
// full-width quote is a quote: the argument would end early.
constexpr char c_szBestFitMarks[] = "request text reads with a quote, a blank or the launcher's argument mark in "
                                    "an ANSI program";

// Starts a_strCommandLine with a_strProgram (a full path) as its program. 0
// when it started, else the shell's SE_ERR_* code for the platform's error.
// The process handle goes to a_pProcess when one is given; nothing of the
// process is kept otherwise.
int StartCommandLine(const std::wstring& a_strProgram, std::wstring a_strCommandLine,
                     vm::UniqueNullHandle* a_pProcess = nullptr)
{
    if (IsDryRun()) {
        TraceAlways("[dry run] would start [%s]", vm::AnsiRendering(a_strCommandLine).c_str());
        return 0;
    }
    vm::UniqueProcessInfo process;
    if (!vm::StartProgram(a_strProgram, std::move(a_strCommandLine), 0, nullptr, process))
        return vm::StartErrorCode(GetLastError());
    if (a_pProcess) {
        HANDLE hProcess = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), process.get().hProcess, GetCurrentProcess(), &hProcess,
                            SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0))
            a_pProcess->reset(hProcess);
    }
    return 0;
}

// The always-on line of a start that failed or was refused, and its event.
void TraceNotStarted(const char* a_szTag, const std::string& a_strCommand, const vm::RefusedStart& a_refused)
{
    TraceAlways("%s %s, not started (%d)[%s]", a_szTag, vm::AnsiRendering(a_refused.m_strRule).c_str(),
                a_refused.m_nCode, a_strCommand.c_str());
    // A dry run leaves no record of what it did not do.
    if (!IsDryRun())
        vm::ReportStartRefused(a_refused);
}

// The image viewer's start refused: its line and event; answers a_nCode.
int RefuseViewer(const char* a_szCause, int a_nCode, const std::string& a_strCommand,
                 const std::wstring& a_strDocument, const std::wstring& a_strProgram,
                 const std::wstring& a_strRequestText = std::wstring())
{
    TraceNotStarted(c_szImageViewer, a_strCommand,
                    {a_strDocument, a_strProgram, std::wstring(), vm::WideFromAnsi(a_szCause), a_nCode,
                     a_strRequestText});
    return a_nCode;
}

} // namespace

int AwaitLauncherVerdict(HANDLE a_hLauncher, const ControlledStart& a_start)
{
    DWORD dwExit = 0;
    if (WaitForSingleObject(a_hLauncher, vm::c_dwLauncherVerdictTimeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(a_hLauncher, &dwExit)) {
        TraceAlways("[CLxShellExt::RunLauncher] launcher gave no answer in %lu ms, answered %d",
                    vm::c_dwLauncherVerdictTimeoutMs, c_nResultLaunched);
        return c_nResultLaunched;
    }
    vm::LauncherExitRow row = vm::FindLauncherExit(dwExit);
    // A refusal is the launcher's to record, but a launcher that died did not
    // live to; a start is recorded once it took place.
    if (row.m_nShellCode != c_nResultLaunched)
        ThreadVerdict().m_szCause = row.m_szReason;
    if (!vm::IsLauncherExit(dwExit)) {
        char szCause[64];
        std::snprintf(szCause, sizeof(szCause), "launcher ended abnormally (exit code 0x%08lX)", dwExit);
        vm::ReportStartRefused({a_start.m_strDocument, a_start.m_strApplication, a_start.m_strPlugin,
                                vm::WideFromAnsi(szCause), row.m_nShellCode, std::wstring()});
    } else if (row.m_nShellCode == c_nResultLaunched) {
        vm::ReportControlledStart(a_start.m_strDocument, a_start.m_strApplication, a_start.m_strPlugin, "launcher");
    }
    TraceAlways("[CLxShellExt::RunLauncher] launcher answered %lu: %s, answered %d", dwExit, row.m_szReason,
                row.m_nShellCode);
    return row.m_nShellCode;
}

void CLxShellExt::RefuseStart(const char* a_szTag, const char* a_szCause, int a_nCode,
                              const std::string& a_strCommand, const std::wstring& a_strRequestText)
{
    m_nStartError = a_nCode;
    ThreadVerdict().m_szCause = a_szCause;
    // A request to start a program names no document: the program stands for it.
    std::wstring strProgram = GetProgramForStart();
    std::wstring strDocument = m_strDocument;
    if (m_uOperation == OPERATION_APPLICATION)
        strDocument = strProgram.empty() ? RequestFile() : strProgram;
    TraceNotStarted(a_szTag, a_strCommand,
                    {strDocument, strProgram, vm::WideFromAnsi(m_strInjectionDll), vm::WideFromAnsi(a_szCause),
                     a_nCode, a_strRequestText});
}

bool CLxShellExt::IsDocumentItsOwnProgram(const char* a_szTag, const std::wstring& a_strProgram)
{
    if (m_uOperation != OPERATION_OPEN_DOCUMENT && m_uOperation != OPERATION_OPENAS_DOCUMENT)
        return false;
    if (!vm::IsSameFile(a_strProgram, m_strDocument))
        return false;
    RefuseStart(a_szTag, "the document is the program", SE_ERR_NOASSOC, m_strFilePath);
    return true;
}

int CLxShellExt::RunApplication()
{
    GetDoucmentInfo();
    bool bControl = GetExtensionControlType();
    // A controlled type or an encrypted document is never handed back
    // unprotected because another program holds the policy file.
    if ((m_bAcapFile || m_uControlType != 0) && IsPolicyHeldByAnother()) {
        RefuseStart(c_szRunApplication, "the policy file is held open by another program", SE_ERR_ACCESSDENIED,
                    m_strFilePath);
        return EXECUTE_EXCEPTION;
    }
    if (!GetApplicationPathFromReg(bControl)) {
        ThreadVerdict().m_szCause = "no application is associated with the file type";
        return SKIPPED_INJECTION;
    }

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
        ThreadVerdict().m_szCause = "a running instance with the plug-in takes the document";
        TraceAlways("[CLxShellExt::Execute] IsInjectableApplication is false");
        return SKIPPED_INJECTION;
    }
    int nRegistered = IsRegisteredApplication();
    if (nRegistered == 1 || nRegistered == 2)
        return EXECUTE_INJECTION;

    bool bStartDirectly = m_uControlType == 4 ||
                          (m_uControlType == 3 && m_uOperation != OPERATION_OPENAS_DOCUMENT);
    if (!bStartDirectly) {
        ThreadVerdict().m_szCause = "the policy registers no plug-in for the application";
        return SKIPPED_INJECTION;
    }

    std::string strCommand = m_strAppPath + " \"" + m_strFilePath + "\"";
    ThreadVerdict().m_bDirectStart = true;
    ThreadVerdict().m_strApplication = m_strAppName;
    TraceAlways("CreateProcess!!![%s]", strCommand.c_str());
    StartApplicationDirectly(strCommand);
    return EXECUTE_EXCEPTION;
}

void CLxShellExt::StartApplicationDirectly(const std::string& a_strCommand)
{
    // A double quote in the document's text would end its argument early.
    if (m_strFilePath.find('"') != std::string::npos) {
        RefuseStart(c_szRunApplication, "file text holds a double quote", SE_ERR_ACCESSDENIED,
                    a_strCommand, RequestFile());
        return;
    }
    if (m_real && vm::GainsCommandLineMarks(m_real->m_strFile)) {
        RefuseStart(c_szRunApplication, c_szBestFitMarks, SE_ERR_ACCESSDENIED, a_strCommand, m_real->m_strFile);
        return;
    }
    std::wstring strProgram = GetProgramForStart();
    // Only an application named by an existing full path is started.
    if (!vm::IsFullPath(strProgram) || !vm::IsExistingFile(strProgram)) {
        RefuseStart(c_szRunApplication, "application not found", SE_ERR_FNF, a_strCommand);
        return;
    }
    if (IsDocumentItsOwnProgram(c_szRunApplication, strProgram))
        return;
    // Started by the final path it was judged by, and held until then.
    vm::CHeldProgram held;
    if (const char* szWhy = held.Hold(strProgram)) {
        RefuseStart(c_szRunApplication, szWhy, SE_ERR_ACCESSDENIED, a_strCommand);
        return;
    }
    strProgram = held.FinalPath();
    std::wstring strStarted = ApplicationCommand<std::wstring>(m_uOperation, strProgram, nullptr, m_strDocument);
    std::string strShown = vm::AnsiRendering(strStarted);
    if (strShown != a_strCommand)
        TraceAlways("%s started as [%s]", c_szRunApplication, strShown.c_str());
    if (int nError = StartCommandLine(strProgram, strStarted))
        RefuseStart(c_szRunApplication, "CreateProcess failed", nError, strShown);
    else if (!IsDryRun())
        vm::ReportControlledStart(m_strDocument, strProgram, std::wstring(), "direct start");
}

// The viewer of the image-viewer exception rule is started directly, with
// the document as one argument; nothing of the started process is kept.
int CLxShellExt::StartImageViewer()
{
    std::string strDocument = m_lpsei && m_lpsei->lpFile ? m_lpsei->lpFile : "";
    std::string strCommand = m_strAppPath + " " + strDocument;
    std::wstring strRealDocument = RequestFile();
    // A document text with a double quote could end its argument early; no
    // file name holds one.
    std::wstring strViewerText = vm::WideFromAnsi(m_strAppPath);
    if (strDocument.find('"') != std::string::npos)
        return RefuseViewer("file text holds a double quote", SE_ERR_ACCESSDENIED, strCommand, strRealDocument,
                            strViewerText, strRealDocument);
    if (vm::GainsCommandLineMarks(strRealDocument))
        return RefuseViewer(c_szBestFitMarks, SE_ERR_ACCESSDENIED, strCommand, strRealDocument, strViewerText,
                            strRealDocument);
    // The viewer command comes from the registry: the machine's values
    // expand it, never the user's own variables.
    std::string strAppPath = m_bAppPathFromRequest ? m_strAppPath : vm::ExpandMachineVariables(m_strAppPath);
    // Without a viewer command the command text is the request's own: no
    // program is read out of it (its first words could name a file that the
    // requester planted). Its one file is the document, never the program.
    ViewerProgram program;
    if (!m_bAppPathFromRequest) {
        program = FindViewerProgram(strAppPath);
    } else if (vm::IsExistingFile(strRealDocument)) {
        return RefuseViewer("the document is the program", SE_ERR_NOASSOC, strCommand, strRealDocument,
                            strViewerText);
    }
    if (program.m_strProgram.empty()) {
        TraceAlways("%s image viewer not found, not started[%s]", c_szImageViewer, strCommand.c_str());
        if (!IsDryRun())
            vm::ReportStartRefused({strRealDocument, vm::WideFromAnsi(strAppPath), std::wstring(),
                                    L"image viewer not found", SE_ERR_FNF, std::wstring()});
        return SE_ERR_FNF;
    }
    std::wstring strProgram = vm::WideFromAnsi(program.m_strProgram);
    if (vm::IsSameFile(strProgram, strRealDocument))
        return RefuseViewer("the document is the program", SE_ERR_NOASSOC, strCommand, strRealDocument, strProgram);

    std::string strViewer = strAppPath;
    if (program.m_bFromPrefix)
        strViewer = vm::AsOneArgument(program.m_strProgram) + strAppPath.substr(program.m_cchWord);
    std::string strCommandLine = strViewer + " " + vm::AsOneArgument(strDocument);
    if (strCommandLine != strCommand)
        TraceAlways("%s started as [%s]", c_szImageViewer, strCommandLine.c_str());
    int nError =
        StartCommandLine(strProgram, vm::WideFromAnsi(strViewer) + L" " + vm::AsOneArgument(strRealDocument));
    if (nError)
        return RefuseViewer("CreateProcess failed", nError, strCommandLine, strRealDocument, strProgram);
    if (!IsDryRun())
        vm::ReportControlledStart(strRealDocument, strProgram, std::wstring(), "image viewer");
    return 0;
}

std::wstring CLxShellExt::BuildApplicationCommand(const std::wstring& a_strProgram) const
{
    std::wstring strParameters = RequestParameters();
    const std::wstring* pParameters = m_lpsei->lpParameters ? &strParameters : nullptr;
    return ApplicationCommand(m_uOperation, a_strProgram, pParameters, m_strDocument);
}

// The launcher splits its line at "/D:" and takes the document between
// double quotes: request text holding either would move the plug-in or add
// arguments of its own. Every character of those marks is kept as it is in
// an ANSI rendering, so the ANSI texts tell for wide requests as well; but
// the application reads its line in the best-fit rendering, where look-alike
// characters of a wide text become such marks.
bool CLxShellExt::IsLaunchableRequest()
{
    if (m_real) {
        for (const std::wstring* pText : {&m_real->m_strFile, &m_real->m_strParameters, &m_real->m_strDirectory}) {
            if (vm::GainsCommandLineMarks(*pText)) {
                RefuseStart(c_szRunLauncher, c_szBestFitMarks, SE_ERR_ACCESSDENIED, vm::AnsiRendering(*pText),
                            *pText);
                return false;
            }
        }
    }
    const char* szTexts[] = {m_lpsei->lpFile, m_lpsei->lpParameters, m_lpsei->lpDirectory};
    const std::wstring strRealTexts[] = {RequestFile(), RequestParameters(), RequestDirectory()};
    for (size_t i = 0; i < 3; ++i) {
        if (szTexts[i] && StrStrIA(szTexts[i], "/D:")) {
            RefuseStart(c_szRunLauncher, "request text holds the launcher's argument mark",
                        SE_ERR_ACCESSDENIED, szTexts[i], strRealTexts[i]);
            return false;
        }
    }
    if (m_lpsei->lpFile && StrChrA(m_lpsei->lpFile, '"')) {
        RefuseStart(c_szRunLauncher, "file text holds a double quote", SE_ERR_ACCESSDENIED,
                    m_lpsei->lpFile, RequestFile());
        return false;
    }
    return true;
}

std::wstring CLxShellExt::GetProgramForStart() const
{
    // Variables are read only in a command from the registry: in the
    // request's own text they would make one file stand for another.
    if (m_bAppPathFromRequest)
        return m_real ? vm::GetLongPath(m_real->m_strFile) : vm::WideFromAnsi(m_strAppPath);
    // A command of the machine's registry is expanded as it was resolved,
    // with the machine's values: the user's own variables (HKCU\Environment
    // can redefine windir) would start another program than the one judged.
    // What does not expand stays as written, and names no program.
    return vm::WideFromAnsi(vm::ExpandMachineVariables(m_strAppPath));
}

// The launcher takes the working directory as one; a file or a missing
// folder is refused here, where the shell can still be told.
bool CLxShellExt::IsUsableDirectory()
{
    std::wstring strDirectory = RequestDirectory();
    if (strDirectory.empty() || (vm::IsFullPath(strDirectory) && vm::IsExistingFolder(strDirectory)))
        return true;
    RefuseStart(c_szRunLauncher, "working directory is not an existing folder", SE_ERR_PNF, m_lpsei->lpDirectory,
                strDirectory);
    return false;
}

bool CLxShellExt::MayReceivePlugin(const std::wstring& a_strProgram)
{
    std::shared_ptr<CCCF> pCcf = CurrentPolicy();
    vm::PolicyFieldReader reader;
    if (pCcf->CheckCCFValidity() == 0)
        reader = [&pCcf](const char* a_szName) { return pCcf->GetField(a_szName); };
    vm::ProgramTrust trust = vm::CheckProgramForPlugin(a_strProgram, vm::WideFromAnsi(m_strInjectionDll), reader);
    if (trust == vm::ProgramTrust::Trusted)
        return true;
    RefuseStart(c_szRunLauncher, vm::DescribeProgramTrust(trust), SE_ERR_ACCESSDENIED, vm::AnsiRendering(a_strProgram));
    return false;
}

bool CLxShellExt::RunLauncher()
{
    if (!IsLaunchableRequest())
        return true;
    std::wstring strProgram = GetProgramForStart();
    if (IsDocumentItsOwnProgram(c_szRunLauncher, strProgram) || !IsUsableDirectory() ||
        !MayReceivePlugin(strProgram))
        return true;
    return StartLauncher(strProgram);
}

// The line is traced as the registry and the request wrote it, and started
// with the program's expanded path and the request's real texts.
bool CLxShellExt::StartLauncher(const std::wstring& a_strProgram)
{
    char szLauncher[MAX_PATH] = {};
    lstrcpynA(szLauncher, GetOwnModulePath().c_str(), MAX_PATH);
    ReplaceFileName(szLauncher, "vormidmgr.exe");
    if (!*szLauncher) {
        // Without our own path the launcher could only be looked for in the
        // current directory: nothing is started.
        TraceAlways("[CLxShellExt::RunLauncher] module path unknown, launcher not started");
        ThreadVerdict().m_szCause = "the launcher's folder is unknown";
        m_nStartError = SE_ERR_FNF;
        return true;
    }

    // A cut command line would hand the launcher a wrong plug-in or document:
    // a line that does not fit is not started.
    std::string strLine;
    std::string strParameters = m_lpsei->lpParameters ? m_lpsei->lpParameters : "";
    const std::string* pParameters = m_lpsei->lpParameters ? &strParameters : nullptr;
    if (!FormatLauncherLine(strLine, std::string(szLauncher),
                            ApplicationCommand(m_uOperation, m_strAppPath, pParameters, m_strFilePath),
                            m_strInjectionDll, std::string(m_lpsei->lpDirectory ? m_lpsei->lpDirectory : ""))) {
        TraceAlways("[CLxShellExt::RunLauncher] command line too long (%d bytes), not started", static_cast<int>(strLine.size()));
        ThreadVerdict().m_szCause = "the launcher's command line does not fit";
        m_nStartError = SE_ERR_OOM;
        return true;
    }
    TraceSwitchable("sz[%s]", strLine.c_str());
    std::wstring strStarted;
    std::wstring strLauncher = vm::WideFromAnsi(szLauncher);
    if (!FormatLauncherLine(strStarted, strLauncher, BuildApplicationCommand(a_strProgram),
                            vm::WideFromAnsi(m_strInjectionDll), RequestDirectory())) {
        RefuseStart(c_szRunLauncher, "expanded command line too long", SE_ERR_OOM, strLine);
        return true;
    }
    std::string strShown = vm::AnsiRendering(strStarted);
    if (strShown != strLine)
        TraceAlways("%s started as [%s]", c_szRunLauncher, strShown.c_str());
    ThreadVerdict().m_strApplication = m_strAppName;
    ThreadVerdict().m_strPlugin = PathFindFileNameA(m_strInjectionDll.c_str());
    // The launcher line carries the program and the document only: switches
    // of the registered command are left out, and said so.
    if (m_uOperation != OPERATION_APPLICATION)
        ThreadVerdict().m_strDropped = m_strCommandArguments;
    if (int nError = StartCommandLine(strLauncher, strStarted, &m_hLauncher))
        RefuseStart(c_szRunLauncher, "launcher start failed", nError, strShown);
    else
        m_launched = ControlledStart{m_strDocument, a_strProgram, vm::WideFromAnsi(m_strInjectionDll)};
    return true;
}
