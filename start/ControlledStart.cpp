#include "start/ControlledStart.h"

#include "common/AuditTrail.h"
#include "common/CommandProgram.h"
#include "common/FileIdentity.h"
#include "common/LauncherExit.h"
#include "common/ProcessStart.h"
#include "common/TrustedProgram.h"
#include "common/ModuleIdentity.h"
#include "common/PolicyHandOver.h"
#include "policy/PolicyCache.h"
#include "request/Verdict.h"
#include "resolution/PathHelpers.h"
#include "resolution/ViewerProgram.h"
#include "trace/Trace.h"

#include <shlwapi.h>

#include <cstdio>

namespace start {

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

constexpr char c_szRunLauncher[] = "[CLxShellExt::RunLauncher]";
constexpr char c_szImageViewer[] = "[CLxShellExt::IsExceptionApplication]";
// An ANSI program reads its command line in the best-fit rendering, where a
// full-width quote is a quote: the argument would end early.
constexpr char c_szBestFitMarks[] = "request text reads with a quote, a blank or the launcher's argument mark in "
                                    "an ANSI program";

// The always-on line of a start that failed or was refused, and its event.
void TraceNotStarted(CStartSink& a_sink, const char* a_szTag, const std::string& a_strCommand,
                     const vm::RefusedStart& a_refused)
{
    TraceAlways("%s %s, not started (%d)[%s]", a_szTag, vm::AnsiRendering(a_refused.m_strRule).c_str(),
                a_refused.m_nCode, a_strCommand.c_str());
    a_sink.RecordRefused(a_refused);
}

// The image viewer's start refused: its line and event; answers a_nCode.
int RefuseViewer(CStartSink& a_sink, const char* a_szCause, int a_nCode, const std::string& a_strCommand,
                 const std::wstring& a_strDocument, const std::wstring& a_strProgram,
                 const std::wstring& a_strRequestText = std::wstring())
{
    TraceNotStarted(a_sink, c_szImageViewer, a_strCommand,
                    {a_strDocument, a_strProgram, std::wstring(), vm::WideFromAnsi(a_szCause), a_nCode,
                     a_strRequestText});
    return a_nCode;
}

bool IsDocumentItsOwnProgram(CRequestState& a_request, CStartSink& a_sink, const char* a_szTag,
                             const std::wstring& a_strProgram)
{
    if (a_request.m_uOperation != OPERATION_OPEN_DOCUMENT && a_request.m_uOperation != OPERATION_OPENAS_DOCUMENT)
        return false;
    if (!vm::IsSameFile(a_strProgram, a_request.m_strDocument))
        return false;
    RefuseStart(a_request, a_sink, a_szTag, "the document is the program", SE_ERR_NOASSOC, a_request.m_strFilePath);
    return true;
}

// A document's command as an administrator registered it: the judged
// program, quoted, then the command's own arguments with the placeholders
// filled. False when the command is the user's own, has no placeholder for
// the document, wants what only the shell gives, or is simply the program
// and the document: then the program and the document alone are passed.
template <class String>
bool RegisteredCommand(const CRequestState& a_request, const String& a_strProgram, const String& a_strRest,
                       const String& a_strDocument, String& a_strCommand)
{
    using Char = typename String::value_type;
    if (!a_request.m_bMachineCommand || a_request.m_bAppPathFromRequest || a_strRest.empty() ||
        (a_request.m_uOperation != OPERATION_OPEN_DOCUMENT && a_request.m_uOperation != OPERATION_OPENAS_DOCUMENT))
        return false;
    const size_t iSlash = a_strDocument.find_last_of(Char('\\'));
    const String strFolder = iSlash == String::npos ? String() : a_strDocument.substr(0, iSlash);
    String strFilled;
    if (!vm::FillCommandPlaceholders(a_strRest, a_strDocument, strFolder, strFilled))
        return false;
    // A command that is simply the program and the document keeps the
    // launcher's line as it always was.
    const String strAlone = String(1, Char(' ')) + Char('"') + a_strDocument + Char('"');
    if (strFilled == strAlone || strFilled == String(1, Char(' ')) + a_strDocument)
        return false;
    a_strCommand = Char('"') + a_strProgram + Char('"') + strFilled;
    return true;
}

std::wstring BuildApplicationCommand(const CRequestState& a_request, const std::wstring& a_strProgram)
{
    std::wstring strCommand;
    if (RegisteredCommand(a_request, a_strProgram, vm::WideFromAnsi(a_request.m_strCommandRest),
                          a_request.m_strDocument, strCommand))
        return strCommand;
    std::wstring strParameters = a_request.RequestParameters();
    const std::wstring* pParameters = a_request.m_lpsei->lpParameters ? &strParameters : nullptr;
    return ApplicationCommand(a_request.m_uOperation, a_strProgram, pParameters, a_request.m_strDocument);
}

// The command as the registry and the request wrote it, for the trace.
std::string TracedApplicationCommand(const CRequestState& a_request)
{
    std::string strCommand;
    if (RegisteredCommand(a_request, a_request.m_strAppPath, a_request.m_strCommandRest, a_request.m_strFilePath,
                          strCommand))
        return strCommand;
    std::string strParameters = a_request.m_lpsei->lpParameters ? a_request.m_lpsei->lpParameters : "";
    const std::string* pParameters = a_request.m_lpsei->lpParameters ? &strParameters : nullptr;
    return ApplicationCommand(a_request.m_uOperation, a_request.m_strAppPath, pParameters, a_request.m_strFilePath);
}

// The launcher splits its line at "/D:" and takes the document between
// double quotes: request text holding either would move the plug-in or add
// arguments of its own. Every character of those marks is kept as it is in
// an ANSI rendering, so the ANSI texts tell for wide requests as well; but
// the application reads its line in the best-fit rendering, where look-alike
// characters of a wide text become such marks.
bool IsLaunchableRequest(CRequestState& a_request, CStartSink& a_sink)
{
    if (a_request.m_real) {
        for (const std::wstring* pText :
             {&a_request.m_real->m_strFile, &a_request.m_real->m_strParameters, &a_request.m_real->m_strDirectory}) {
            if (vm::GainsCommandLineMarks(*pText)) {
                RefuseStart(a_request, a_sink, c_szRunLauncher, c_szBestFitMarks, SE_ERR_ACCESSDENIED,
                            vm::AnsiRendering(*pText), *pText);
                return false;
            }
        }
    }
    const char* szTexts[] = {a_request.m_lpsei->lpFile, a_request.m_lpsei->lpParameters,
                             a_request.m_lpsei->lpDirectory};
    const std::wstring strRealTexts[] = {a_request.RequestFile(), a_request.RequestParameters(),
                                         a_request.RequestDirectory()};
    for (size_t i = 0; i < 3; ++i) {
        if (szTexts[i] && StrStrIA(szTexts[i], "/D:")) {
            RefuseStart(a_request, a_sink, c_szRunLauncher, "request text holds the launcher's argument mark",
                        SE_ERR_ACCESSDENIED, szTexts[i], strRealTexts[i]);
            return false;
        }
    }
    if (a_request.m_lpsei->lpFile && StrChrA(a_request.m_lpsei->lpFile, '"')) {
        RefuseStart(a_request, a_sink, c_szRunLauncher, "file text holds a double quote", SE_ERR_ACCESSDENIED,
                    a_request.m_lpsei->lpFile, a_request.RequestFile());
        return false;
    }
    return true;
}

std::wstring GetProgramForStart(const CRequestState& a_request)
{
    // Variables are read only in a command from the registry: in the
    // request's own text they would make one file stand for another.
    if (a_request.m_bAppPathFromRequest)
        return a_request.m_real ? vm::GetLongPath(a_request.m_real->m_strFile)
                                : vm::WideFromAnsi(a_request.m_strAppPath);
    // A command of the machine's registry is expanded as it was resolved,
    // with the machine's values: the user's own variables (HKCU\Environment
    // can redefine windir) would start another program than the one judged.
    // What does not expand stays as written, and names no program.
    return vm::WideFromAnsi(vm::ExpandMachineVariables(a_request.m_strAppPath));
}

// The launcher takes the working directory as one; a file or a missing
// folder is refused here, where the shell can still be told.
bool IsUsableDirectory(CRequestState& a_request, CStartSink& a_sink)
{
    std::wstring strDirectory = a_request.RequestDirectory();
    if (strDirectory.empty() || (vm::IsFullPath(strDirectory) && vm::IsExistingFolder(strDirectory)))
        return true;
    RefuseStart(a_request, a_sink, c_szRunLauncher, "working directory is not an existing folder", SE_ERR_PNF,
                a_request.m_lpsei->lpDirectory, strDirectory);
    return false;
}

// The trust rule's refusal in full words: which program, and which rule.
std::string DescribeRefusedTrust(vm::ProgramTrust a_trust, const std::wstring& a_strProgram,
                                 const vm::PolicyFieldReader& a_reader)
{
    std::string strProgram = vm::AnsiRendering(a_strProgram);
    std::string strName = PathFindFileNameA(strProgram.c_str());
    switch (a_trust) {
    case vm::ProgramTrust::OutsideFolders:
        return strProgram + " is outside the trusted folders (Windows, Program Files, TrustedFolders)";
    case vm::ProgramTrust::NotRegistered:
        return "the policy registers no plug-in for " + strProgram;
    case vm::ProgramTrust::NoImage:
        return strProgram + " cannot be opened";
    case vm::ProgramTrust::UntrustedPublisher:
        return strProgram + " is not signed by a publisher that TrustedPublishers lists";
    case vm::ProgramTrust::BatchFile:
        return vm::DescribeBatchProgram(strProgram);
    case vm::ProgramTrust::OtherPlugin: {
        // A plug-in named with a folder is never the one beside the hook.
        const char* szPlugin = a_reader ? a_reader(strName.c_str()) : nullptr;
        if (szPlugin && (StrChrA(szPlugin, '\\') || StrChrA(szPlugin, '/')))
            return std::string("the policy names the plug-in of ") + strName + " by a path (" + szPlugin +
                   "): plug-ins must lie in the product folder";
        return "the policy registers another plug-in for " + strProgram;
    }
    default:
        return vm::DescribeProgramTrust(a_trust);
    }
}

// A registry command's program named through a variable the machine does not
// define lies wherever the user's own environment points, mostly in the
// profile, which the trust rule never trusts: refused by that variable,
// however the command spells the program.
bool IsBehindUserVariable(CRequestState& a_request, CStartSink& a_sink)
{
    if (a_request.m_bAppPathFromRequest)
        return false;
    std::string strVariable = vm::UndefinedVariableOf(a_request.m_strAppPath);
    if (strVariable.empty())
        return false;
    RefuseStart(a_request, a_sink, c_szRunLauncher, "the program lies behind a variable of the user's own",
                SE_ERR_ACCESSDENIED, a_request.m_strAppPath);
    ThreadVerdict().m_strDetail = a_request.m_strAppPath + " lies behind " + strVariable +
                                  ", a variable of the user's own: such a program lies in the user's profile, "
                                  "which the trust rule never trusts";
    return true;
}

// a_pPolicy: the policy the program was judged by.
bool MayReceivePlugin(CRequestState& a_request, CStartSink& a_sink, const PolicySource& a_source,
                      const std::wstring& a_strProgram, std::shared_ptr<CCCF>& a_pPolicy)
{
    a_pPolicy = CurrentPolicy(a_source);
    std::shared_ptr<CCCF>& pCcf = a_pPolicy;
    vm::PolicyFieldReader reader;
    if (pCcf->CheckCCFValidity() == 0)
        reader = [&pCcf](const char* a_szName) { return pCcf->GetField(a_szName); };
    vm::ProgramTrust trust =
        vm::CheckProgramForPlugin(a_strProgram, vm::WideFromAnsi(a_request.m_strInjectionDll), reader);
    if (trust == vm::ProgramTrust::Trusted)
        return true;
    RefuseStart(a_request, a_sink, c_szRunLauncher, vm::DescribeProgramTrust(trust), SE_ERR_ACCESSDENIED,
                vm::AnsiRendering(a_strProgram));
    ThreadVerdict().m_strDetail = DescribeRefusedTrust(trust, a_strProgram, reader);
    return false;
}

// The installed policy the start was judged by, as a section for the
// launcher (common/PolicyHandOver.h); empty for a draft or when there is none.
vm::UniqueNullHandle PolicyToHandOver(const PolicySource& a_source, const std::shared_ptr<CCCF>& a_pPolicy)
{
    size_t cb = 0;
    const char* pBytes = a_source.IsDraft() || !a_pPolicy ? nullptr : a_pPolicy->GetPolicyBytes(&cb);
    return vm::MakePolicySection(pBytes, cb);
}

// The line is traced as the registry and the request wrote it, and started
// with the program's expanded path and the request's real texts; the
// launcher gets the policy it was judged by.
bool StartLauncher(CRequestState& a_request, CStartSink& a_sink, const std::wstring& a_strProgram,
                   HANDLE a_hPolicy)
{
    char szLauncher[MAX_PATH] = {};
    lstrcpynA(szLauncher, GetOwnModulePath().c_str(), MAX_PATH);
    ReplaceFileName(szLauncher, "vormidmgr.exe");
    if (!*szLauncher) {
        // Without our own path the launcher could only be looked for in the
        // current directory: nothing is started.
        TraceAlways("[CLxShellExt::RunLauncher] module path unknown, launcher not started");
        ThreadVerdict().m_szCause = "the launcher's folder is unknown";
        a_request.m_nStartError = SE_ERR_FNF;
        return true;
    }

    // The launcher splits its line at the mark: a registered argument that
    // holds it would move the plug-in.
    std::string strRegistered;
    const bool bRegistered = RegisteredCommand(a_request, a_request.m_strAppPath, a_request.m_strCommandRest,
                                               a_request.m_strFilePath, strRegistered);
    if (bRegistered && StrStrIA(strRegistered.c_str(), "/D:")) {
        RefuseStart(a_request, a_sink, c_szRunLauncher, "the registered command holds the launcher's argument mark",
                    SE_ERR_ACCESSDENIED, strRegistered);
        return true;
    }

    // A cut command line would hand the launcher a wrong plug-in or document:
    // a line that does not fit is not started.
    std::string strLine;
    if (!FormatLauncherLine(
            strLine, std::string(szLauncher), TracedApplicationCommand(a_request), a_request.m_strInjectionDll,
            std::string(a_request.m_lpsei->lpDirectory ? a_request.m_lpsei->lpDirectory : ""))) {
        TraceAlways("[CLxShellExt::RunLauncher] command line too long (%d bytes), not started",
                    static_cast<int>(strLine.size()));
        ThreadVerdict().m_szCause = "the launcher's command line does not fit";
        a_request.m_nStartError = SE_ERR_OOM;
        return true;
    }
    TraceSwitchable("sz[%s]", strLine.c_str());
    std::wstring strStarted;
    std::wstring strLauncher = vm::WideFromAnsi(szLauncher);
    if (!FormatLauncherLine(strStarted, strLauncher, BuildApplicationCommand(a_request, a_strProgram),
                            vm::WideFromAnsi(a_request.m_strInjectionDll), a_request.RequestDirectory())) {
        RefuseStart(a_request, a_sink, c_szRunLauncher, "expanded command line too long", SE_ERR_OOM, strLine);
        return true;
    }
    std::string strShown = vm::AnsiRendering(strStarted);
    if (strShown != strLine)
        TraceAlways("%s started as [%s]", c_szRunLauncher, strShown.c_str());
    ThreadVerdict().m_strApplication = a_request.m_strAppName;
    ThreadVerdict().m_strPlugin = PathFindFileNameA(a_request.m_strInjectionDll.c_str());
    // A command the launcher line carries as the program and the document
    // only leaves the registered command's switches out, and says so.
    if (a_request.m_uOperation != OPERATION_APPLICATION && !bRegistered)
        ThreadVerdict().m_strDropped = a_request.m_strCommandArguments;
    if (int nError = a_sink.Start(strLauncher, strStarted, &a_request.m_hLauncher, a_hPolicy))
        RefuseStart(a_request, a_sink, c_szRunLauncher, "launcher start failed", nError, strShown);
    else
        a_request.m_launched = ControlledStart{a_request.m_strDocument, a_strProgram,
                                               vm::WideFromAnsi(a_request.m_strInjectionDll)};
    return true;
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

void RefuseStart(CRequestState& a_request, CStartSink& a_sink, const char* a_szTag, const char* a_szCause,
                 int a_nCode, const std::string& a_strCommand, const std::wstring& a_strRequestText)
{
    a_request.m_nStartError = a_nCode;
    ThreadVerdict().m_szCause = a_szCause;
    ThreadVerdict().m_strApplication = a_request.m_strAppName;
    if (a_request.m_bInjectionDllChosen)
        ThreadVerdict().m_strPlugin = PathFindFileNameA(a_request.m_strInjectionDll.c_str());
    // A request to start a program names no document: the program stands for it.
    std::wstring strProgram = GetProgramForStart(a_request);
    std::wstring strDocument = a_request.m_strDocument;
    if (a_request.m_uOperation == OPERATION_APPLICATION)
        strDocument = strProgram.empty() ? a_request.RequestFile() : strProgram;
    // The plug-in is named only once this request's policy look-up chose it.
    std::wstring strPlugin = a_request.m_bInjectionDllChosen ? vm::WideFromAnsi(a_request.m_strInjectionDll)
                                                             : std::wstring();
    TraceNotStarted(a_sink, a_szTag, a_strCommand,
                    {strDocument, strProgram, strPlugin, vm::WideFromAnsi(a_szCause), a_nCode, a_strRequestText});
}

void StartApplicationDirectly(CRequestState& a_request, CStartSink& a_sink, const std::string& a_strCommand)
{
    // A double quote in the document's text would end its argument early.
    if (a_request.m_strFilePath.find('"') != std::string::npos) {
        RefuseStart(a_request, a_sink, c_szRunApplication, "file text holds a double quote", SE_ERR_ACCESSDENIED,
                    a_strCommand, a_request.RequestFile());
        return;
    }
    if (a_request.m_real && vm::GainsCommandLineMarks(a_request.m_real->m_strFile)) {
        RefuseStart(a_request, a_sink, c_szRunApplication, c_szBestFitMarks, SE_ERR_ACCESSDENIED, a_strCommand,
                    a_request.m_real->m_strFile);
        return;
    }
    std::wstring strProgram = GetProgramForStart(a_request);
    // Only an application named by an existing full path is started.
    if (!vm::IsFullPath(strProgram) || !vm::IsExistingFile(strProgram)) {
        RefuseStart(a_request, a_sink, c_szRunApplication, "application not found", SE_ERR_FNF, a_strCommand);
        return;
    }
    if (IsDocumentItsOwnProgram(a_request, a_sink, c_szRunApplication, strProgram))
        return;
    // Started by the final path it was judged by, and held until then.
    vm::CHeldProgram held;
    if (const char* szWhy = held.Hold(strProgram)) {
        RefuseStart(a_request, a_sink, c_szRunApplication, szWhy, SE_ERR_ACCESSDENIED, a_strCommand);
        return;
    }
    strProgram = held.FinalPath();
    std::wstring strStarted =
        ApplicationCommand<std::wstring>(a_request.m_uOperation, strProgram, nullptr, a_request.m_strDocument);
    std::string strShown = vm::AnsiRendering(strStarted);
    if (strShown != a_strCommand)
        TraceAlways("%s started as [%s]", c_szRunApplication, strShown.c_str());
    if (int nError = a_sink.Start(strProgram, strStarted, nullptr, nullptr))
        RefuseStart(a_request, a_sink, c_szRunApplication, "CreateProcess failed", nError, strShown);
    else
        a_sink.RecordStarted(a_request.m_strDocument, strProgram, std::wstring(), "direct start");
}

// The viewer of the image-viewer exception rule is started directly, with
// the document as one argument; nothing of the started process is kept.
int StartImageViewer(const ImageViewerPlan& a_plan, CStartSink& a_sink)
{
    const std::string& strDocument = a_plan.m_strDocument;
    std::string strCommand = a_plan.m_strViewer + " " + strDocument;
    const std::wstring& strRealDocument = a_plan.m_strRealDocument;
    // A document text with a double quote could end its argument early; no
    // file name holds one.
    std::wstring strViewerText = vm::WideFromAnsi(a_plan.m_strViewer);
    if (strDocument.find('"') != std::string::npos)
        return RefuseViewer(a_sink, "file text holds a double quote", SE_ERR_ACCESSDENIED, strCommand,
                            strRealDocument, strViewerText, strRealDocument);
    if (vm::GainsCommandLineMarks(strRealDocument))
        return RefuseViewer(a_sink, c_szBestFitMarks, SE_ERR_ACCESSDENIED, strCommand, strRealDocument,
                            strViewerText, strRealDocument);
    // The viewer command comes from the registry: the machine's values
    // expand it, never the user's own variables.
    std::string strAppPath =
        a_plan.m_bViewerFromRequest ? a_plan.m_strViewer : vm::ExpandMachineVariables(a_plan.m_strViewer);
    // Without a viewer command the command text is the request's own: no
    // program is read out of it (its first words could name a file that the
    // requester planted). Its one file is the document, never the program.
    ViewerProgram program;
    if (!a_plan.m_bViewerFromRequest) {
        program = FindViewerProgram(strAppPath);
    } else if (vm::IsExistingFile(strRealDocument)) {
        return RefuseViewer(a_sink, "the document is the program", SE_ERR_NOASSOC, strCommand, strRealDocument,
                            strViewerText);
    }
    if (program.m_strProgram.empty()) {
        TraceAlways("%s image viewer not found, not started[%s]", c_szImageViewer, strCommand.c_str());
        a_sink.RecordRefused({strRealDocument, vm::WideFromAnsi(strAppPath), std::wstring(),
                              L"image viewer not found", SE_ERR_FNF, std::wstring()});
        return SE_ERR_FNF;
    }
    std::wstring strProgram = vm::WideFromAnsi(program.m_strProgram);
    if (vm::IsSameFile(strProgram, strRealDocument))
        return RefuseViewer(a_sink, "the document is the program", SE_ERR_NOASSOC, strCommand, strRealDocument,
                            strProgram);

    std::string strViewer = strAppPath;
    if (program.m_bFromPrefix)
        strViewer = vm::AsOneArgument(program.m_strProgram) + strAppPath.substr(program.m_cchWord);
    std::string strCommandLine = strViewer + " " + vm::AsOneArgument(strDocument);
    if (strCommandLine != strCommand)
        TraceAlways("%s started as [%s]", c_szImageViewer, strCommandLine.c_str());
    int nError =
        a_sink.Start(strProgram, vm::WideFromAnsi(strViewer) + L" " + vm::AsOneArgument(strRealDocument), nullptr, nullptr);
    if (nError)
        return RefuseViewer(a_sink, "CreateProcess failed", nError, strCommandLine, strRealDocument, strProgram);
    a_sink.RecordStarted(strRealDocument, strProgram, std::wstring(), "image viewer");
    return 0;
}

bool RunLauncher(CRequestState& a_request, CStartSink& a_sink, const PolicySource& a_source)
{
    if (!IsLaunchableRequest(a_request, a_sink))
        return true;
    std::wstring strProgram = GetProgramForStart(a_request);
    std::shared_ptr<CCCF> pPolicy;
    if (IsBehindUserVariable(a_request, a_sink) ||
        IsDocumentItsOwnProgram(a_request, a_sink, c_szRunLauncher, strProgram) ||
        !IsUsableDirectory(a_request, a_sink) || !MayReceivePlugin(a_request, a_sink, a_source, strProgram, pPolicy))
        return true;
    vm::UniqueNullHandle policy = PolicyToHandOver(a_source, pPolicy);
    return StartLauncher(a_request, a_sink, strProgram, policy.get());
}

} // namespace start
