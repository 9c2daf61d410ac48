#include "decision/LxShellExt.h"

#include "common/FileIdentity.h"
#include "common/LockGuard.h"
#include "request/Verdict.h"
#include "resolution/PathHelpers.h"
#include "start/ControlledStart.h"
#include "trace/FaultGuard.h"
#include "trace/Trace.h"

#include <shlobj.h>
#include <shlwapi.h>

namespace {

// Explorer offers requests from several threads, and the decision object holds
// the state of one request at a time: requests are handled one after another.
SRWLOCK s_executeLock = SRWLOCK_INIT;

// A NULL verb equals no verb text.
bool IsVerb(const char* a_szVerb, const char* a_szName)
{
    return a_szVerb && lstrcmpiA(a_szVerb, a_szName) == 0;
}

// The request's file text may lie in memory the caller cannot let us write
// (a constant string). When the unquoted text cannot be stored back, the
// request points at our copy for the rest of the call and gets its own
// pointer back at the end.
class FileTextRestorer {
public:
    FileTextRestorer() = default;
    ~FileTextRestorer()
    {
        if (m_lpsei)
            m_lpsei->lpFile = m_szOriginal;
    }
    FileTextRestorer(const FileTextRestorer&) = delete;
    FileTextRestorer& operator=(const FileTextRestorer&) = delete;

    bool IsSubstituted() const { return m_lpsei != nullptr; }

    void Substitute(LPSHELLEXECUTEINFOA a_lpsei, const std::string& a_strText)
    {
        m_strText = a_strText;
        m_lpsei = a_lpsei;
        m_szOriginal = a_lpsei->lpFile;
        a_lpsei->lpFile = m_strText.c_str();
    }

private:
    LPSHELLEXECUTEINFOA m_lpsei = nullptr;
    LPCSTR m_szOriginal = nullptr;
    std::string m_strText;
};

// Removes enclosing quotes from the request's file text and stores the
// shorter text back over it.
void UnquoteFileName(LPSHELLEXECUTEINFOA a_lpsei, FileTextRestorer& a_restorer)
{
    std::string strTemp = a_lpsei->lpFile;
    PathUnquoteSpacesA(&strTemp[0]);
    strTemp.resize(lstrlenA(strTemp.c_str()));
    TraceAlways("TempFileName[%s]", strTemp.c_str());

    if (strTemp.size() == static_cast<size_t>(lstrlenA(a_lpsei->lpFile)))
        return; // nothing was removed: the text stands as it is

    if (!vm::CopyTextGuarded(const_cast<char*>(a_lpsei->lpFile), strTemp.c_str()) ||
        lstrcmpA(a_lpsei->lpFile, strTemp.c_str()) != 0)
        a_restorer.Substitute(a_lpsei, strTemp);
}

// The request's file as the platform opens it from now on: the real text
// when the ANSI code page cannot hold it.
void UseRealFile(CRequestState& a_request, const std::wstring& a_strFile)
{
    LPSHELLEXECUTEINFOA lpsei = a_request.m_lpsei;
    if (!a_request.m_real)
        a_request.m_real = WideTexts{std::wstring(), vm::WideFromAnsi(lpsei->lpParameters ? lpsei->lpParameters : ""),
                                     vm::WideFromAnsi(lpsei->lpDirectory ? lpsei->lpDirectory : "")};
    a_request.m_real->m_strFile = a_strFile;
}

// A file text the platform normalizes ("report.vmp.", "report.vmp::$DATA")
// is judged, and opened, by the full path the platform makes of it.
void NormalizeFileText(CRequestState& a_request, FileTextRestorer& a_restorer)
{
    std::optional<std::wstring> strNormal = resolution::NormalizedFileText(a_request.RequestFile());
    if (!strNormal)
        return;
    std::string strAnsi;
    bool bExact = vm::AnsiFromWide(*strNormal, strAnsi);
    if (!bExact || a_request.m_real)
        UseRealFile(a_request, *strNormal);
    a_restorer.Substitute(a_request.m_lpsei, bExact ? strAnsi : vm::AnsiRendering(*strNormal));
    TraceAlways("[CLxShellExt::Execute] normalized file[%s]", a_request.m_lpsei->lpFile);
}

// The file an item id list names: its file-system path, or, for an item
// that has none (an item of a virtual folder), its parsing name.
struct ItemListFile {
    bool m_bPresent = false;
    bool m_bFileSystem = false;
    std::wstring m_strText;
};

// Under SEE_MASK_INVOKEIDLIST (which holds SEE_MASK_IDLIST) the shell may
// offer the id list beside the file text.
ItemListFile ReadItemList(LPSHELLEXECUTEINFOA a_lpsei)
{
    ItemListFile item;
    if ((a_lpsei->fMask & SEE_MASK_IDLIST) != SEE_MASK_IDLIST || !a_lpsei->lpIDList)
        return item;
    item.m_bPresent = true;
    auto pidl = static_cast<PCIDLIST_ABSOLUTE>(a_lpsei->lpIDList);
    wchar_t szPath[MAX_PATH] = {};
    if (SHGetPathFromIDListW(pidl, szPath) && szPath[0]) {
        item.m_bFileSystem = true;
        item.m_strText = szPath;
        return item;
    }
    PWSTR szName = nullptr;
    if (SUCCEEDED(SHGetNameFromIDList(pidl, SIGDN_DESKTOPABSOLUTEPARSING, &szName)) && szName)
        item.m_strText = szName;
    CoTaskMemFree(szName);
    return item;
}

// Both texts name one file: by its identity where it exists, else by its
// full path.
bool NamesSameFile(const std::wstring& a_strFirst, const std::wstring& a_strSecond)
{
    if (vm::IsSameFile(a_strFirst, a_strSecond))
        return true;
    if (vm::IsExistingFile(a_strFirst) || vm::IsExistingFile(a_strSecond))
        return false;
    wchar_t szFirst[MAX_PATH] = {};
    wchar_t szSecond[MAX_PATH] = {};
    DWORD cchFirst = GetFullPathNameW(a_strFirst.c_str(), MAX_PATH, szFirst, nullptr);
    DWORD cchSecond = GetFullPathNameW(a_strSecond.c_str(), MAX_PATH, szSecond, nullptr);
    return cchFirst && cchFirst < MAX_PATH && cchSecond && cchSecond < MAX_PATH && lstrcmpiW(szFirst, szSecond) == 0;
}

// The file text names the id list's item: the same file, or for an item
// without a file-system path, its parsing name ("::{...}").
bool NamesItem(const std::wstring& a_strFile, const ItemListFile& a_item)
{
    if (!a_item.m_bFileSystem)
        return !a_item.m_strText.empty() && lstrcmpiW(a_strFile.c_str(), a_item.m_strText.c_str()) == 0;
    return NamesSameFile(a_strFile, a_item.m_strText);
}

} // namespace

// The launcher's answer is awaited outside the lock: a plug-in that takes
// its time must not hold up every other request of the process.
bool CLxShellExt::Execute(int* a_pnResult, LPSHELLEXECUTEINFOA a_lpsei, const WideTexts* a_pReal)
{
    bool bHandled = false;
    vm::UniqueNullHandle launcher;
    ControlledStart launched;
    RequestVerdict& verdict = ThreadVerdict();
    verdict = RequestVerdict();
    {
        vm::CLockGuard lock(s_executeLock);
        bHandled = ExecuteLocked(a_pnResult, a_lpsei, a_pReal);
        launcher = std::move(m_hLauncher);
        launched = std::move(m_launched);
        m_real.reset();
    }
    if (launcher)
        *a_pnResult = start::AwaitLauncherVerdict(launcher.get(), launched);
    verdict.m_bHandled = bHandled;
    verdict.m_nInstApp = *a_pnResult ? *a_pnResult : c_nResultHandled;
    return bHandled;
}

bool CLxShellExt::ExecuteLocked(int* a_pnResult, LPSHELLEXECUTEINFOA a_lpsei, const WideTexts* a_pReal)
{
    // An id list that names a file stands for the file text it lacks, for
    // this call only: the shell gets its request back as it gave it.
    ItemListFile item = ReadItemList(a_lpsei);
    FileTextRestorer itemRestorer;
    if (!a_lpsei->lpFile && item.m_bPresent && !IsVerb(a_lpsei->lpVerb, "OpenHomePage") &&
        (item.m_bFileSystem || *PathFindExtensionW(item.m_strText.c_str()))) {
        TraceAlways("[CLxShellExt::Execute] a_lpsei->lpIDList -> %s[%s]", item.m_bFileSystem ? "file" : "item",
                    vm::AnsiRendering(item.m_strText).c_str());
        itemRestorer.Substitute(a_lpsei, vm::AnsiRendering(item.m_strText));
    }
    if (!a_lpsei->lpFile) {
        if (!IsVerb(a_lpsei->lpVerb, "OpenHomePage")) {
            TraceAlways("[CLxShellExt::Execute] a_lpsei->lpFile is NULL");
            ThreadVerdict().m_szCause = "the request names no file";
            RegisterOfficeAddins();
        }
        return false;
    }

    GetConfigurationInfoFromCCF();
    m_pnResult = a_pnResult;

    FileTextRestorer restorer;
    UnquoteFileName(a_lpsei, restorer);
    m_lpsei = a_lpsei;
    m_real.reset();
    if (a_pReal) {
        m_real = *a_pReal;
        std::wstring& strFile = m_real->m_strFile;
        PathUnquoteSpacesW(&strFile[0]);
        strFile.resize(lstrlenW(strFile.c_str()));
    }
    std::string strItemAnsi;
    if (itemRestorer.IsSubstituted() && (m_real || !vm::AnsiFromWide(item.m_strText, strItemAnsi)))
        UseRealFile(*this, item.m_strText);
    FileTextRestorer normalizedRestorer;
    NormalizeFileText(*this, normalizedRestorer);

    if (IsVerb(a_lpsei->lpVerb, "OpenHomePage"))
        return false;
    ItemList eItem = ItemList::Agrees;
    if (itemRestorer.IsSubstituted() && !item.m_bFileSystem)
        eItem = ItemList::WithoutPath;
    else if (!itemRestorer.IsSubstituted() && item.m_bPresent && !NamesItem(RequestFile(), item))
        eItem = ItemList::OtherFile;
    return ExecuteRequest(a_lpsei, eItem, item.m_strText);
}

bool CLxShellExt::ExecuteRequest(LPSHELLEXECUTEINFOA a_lpsei, ItemList a_eItem, const std::wstring& a_strItem)
{
    ResetOfficeResiliency();
    RegisterOfficeAddins();
    DeleteOtherAddins();

    ResetRequestFields(a_lpsei->lpFile);
    if (lstrcmpiA(m_strExt.c_str(), ".scf") == 0) {
        TraceAlways("[CLxShellExt::Execute] show desktop [%s]", m_strExt.c_str());
        ThreadVerdict().m_szCause = "a shell command file is the shell's own";
        return false;
    }
    if (a_eItem == ItemList::OtherFile)
        return RefuseRequest("the request's id list names " + vm::AnsiRendering(a_strItem) +
                             ", another file than its file text");
    if (a_eItem == ItemList::WithoutPath)
        return RunItemWithoutPath();

    const char* szVerb = a_lpsei->lpVerb;
    if (!szVerb || lstrlenA(szVerb) == 0 || IsVerb(szVerb, "openas"))
        return RunOpenWithRequest();

    if (IsVerb(szVerb, "open")) {
        TraceAlways("[CLxShellExt::Execute] case : Open");
        if (IsExecutableFile(a_lpsei->lpFile))
            return RunApplicationOperation();
        m_uOperation = OPERATION_OPEN_DOCUMENT;
        return RunDocumentRequest();
    }

    if (IsVerb(szVerb, "print") || IsVerb(szVerb, "edit") || IsVerb(szVerb, "new") ||
        IsVerb(szVerb, "read")) {
        m_strVerb = szVerb;
        m_uOperation = OPERATION_OPEN_DOCUMENT;
        return RunDocumentRequest();
    }
    return RunOtherVerbRequest(szVerb);
}

// A verb the hook has no case of its own for: a document of a controlled
// type is decided by that verb's command; a program, a folder (whatever its
// name ends in: "explore" on "C:\plans.vmd") and a document of any other
// type go back to the shell.
bool CLxShellExt::RunOtherVerbRequest(const char* a_szVerb)
{
    if (!IsExecutableFile(m_lpsei->lpFile) && !vm::IsExistingFolder(RequestFile()) && IsControlledDocumentType()) {
        // Decided afresh: nothing of the default command's look-up (its DDE
        // server, its plug-in) speaks for the verb's.
        ForgetResolution();
        m_strVerb = a_szVerb;
        m_uOperation = OPERATION_OPEN_DOCUMENT;
        return RunDocumentRequest();
    }
    ThreadVerdict().m_szCause = "the hook decides only open, open-as, print, edit, new and read";
    return false;
}

// An id list whose item has no file-system path (an item of a virtual
// folder): no plug-in can be put between the shell and such an item, so a
// controlled type is refused.
bool CLxShellExt::RunItemWithoutPath()
{
    if (!IsControlledDocumentType()) {
        ThreadVerdict().m_szCause = "the request's id list names no file-system file";
        return false;
    }
    return RefuseRequest("the request's id list names " + m_strFilePath +
                         ", a document of a controlled type without a file-system path");
}

// The request is refused as a start is: its answer, verdict and event.
bool CLxShellExt::RefuseRequest(const std::string& a_strCause)
{
    m_uOperation = OPERATION_OPEN_DOCUMENT;
    SetDocumentPath(m_lpsei->lpFile);
    RefuseControlledRequest("[CLxShellExt::Execute]", a_strCause);
    *m_pnResult = m_nStartError;
    return true;
}

void CLxShellExt::ResetRequestFields(const char* a_szFile)
{
    ForgetResolution();
    m_uOperation = OPERATION_NONE;
    m_strFilePath.clear();
    m_strDocument.clear();
    m_nStartError = 0;
    m_strVerb.clear();
    m_hLauncher.reset();
    m_launched = ControlledStart();
    m_strExt = PathFindExtensionA(a_szFile);
}

bool CLxShellExt::IsExecutableFile(const char*)
{
    const char* szExt = m_strExt.c_str();
    return lstrcmpiA(szExt, ".exe") == 0 || lstrcmpiA(szExt, ".cmd") == 0 ||
           lstrcmpiA(szExt, ".bat") == 0;
}

// "open" on an executable.
bool CLxShellExt::RunApplicationOperation()
{
    const char* szFile = m_lpsei->lpFile;
    m_uOperation = OPERATION_APPLICATION;
    m_strAppPath = GetLongFilePathName(szFile).value_or(szFile);
    // The policy names programs by their long names, never by an 8.3 alias.
    m_strAppName = PathFindFileNameA(m_strAppPath.c_str());
    m_bAppPathFromRequest = true;
    TraceAlways("[CLxShellExt::Execute] Open : application operation, AppName[%s], AppPath[%s]",
                m_strAppName.c_str(), m_strAppPath.c_str());

    if (PathIsFileSpecA(szFile)) {
        TraceAlways("[CLxShellExt::Execute] bare file name, application path from the registry");
        GetExtControlApplicationPath();
    }

    int nCode = CheckControlInformation();
    TraceAlways("[CLxShellExt::Execute] CheckControlInformation -> uException code[%d]", nCode);
    return FinishDecision(nCode, "[CLxShellExt::Execute] CheckControlInformation is SKIPPED_INJECTION",
                          "[CLxShellExt::Execute] CheckControlInformation is EXECUTE_EXCEPTION");
}

// No verb, an empty verb or "openas".
bool CLxShellExt::RunOpenWithRequest()
{
    const char* szFile = m_lpsei->lpFile;
    if (!IsExecutableFile(szFile) && !m_strExt.empty()) {
        TraceAlways("[CLxShellExt::Execute] case : OpenAs");
        m_uOperation = OPERATION_OPENAS_DOCUMENT;
        return RunDocumentRequest();
    }

    TraceAlways("[CLxShellExt::Execute] case : OpenAs -> lpFile is executable file or extension is null");
    m_uOperation = OPERATION_APPLICATION;
    // By its long name, as the policy names programs; the text read plainly
    // when it names no file.
    std::string strLong = vm::AnsiRendering(vm::GetLongPath(vm::WideFromAnsi(szFile)));
    m_strAppName = PathFindFileNameA(strLong.empty() ? szFile : strLong.c_str());
    if (m_strExt.empty())
        m_strAppName += ".exe";
    TraceAlways("[CLxShellExt::Execute] case : OpenAs -> executable : file name[%s]",
                m_strAppName.c_str());

    if (PathIsFileSpecA(szFile)) {
        TraceAlways("[CLxShellExt::Execute] bare file name, application path from the registry");
        GetExtControlApplicationPath();
    }
    // The decision runs without an application path; the path is looked up
    // again only for a launch.
    m_strAppPath.clear();

    int nCode = CheckControlInformation();
    if (nCode != SKIPPED_INJECTION && nCode != EXECUTE_EXCEPTION)
        GetExtControlApplicationPath();
    return FinishDecision(nCode, "[CLxShellExt::Execute] CheckControlInformation is SKIPPED_INJECTION",
                          "[CLxShellExt::Execute] CheckControlInformation is EXECUTE_EXCEPTION");
}

// The long form of the document's path. A name the ANSI code page cannot
// hold is looked up under its real name; its ANSI rendering serves traces.
void CLxShellExt::SetDocumentPath(const char* a_szFile)
{
    if (!m_real) {
        m_strFilePath = GetLongFilePathName(a_szFile).value_or(a_szFile);
        m_strDocument = vm::WideFromAnsi(m_strFilePath);
        return;
    }
    m_strDocument = vm::GetLongPath(m_real->m_strFile);
    m_strFilePath = vm::AnsiRendering(m_strDocument);
}

bool CLxShellExt::RunDocumentRequest()
{
    SetDocumentPath(m_lpsei->lpFile);
    int nDecision = RunApplication();
    return FinishDecision(nDecision, "[CLxShellExt::Execute] IsExceptionApplication is SKIPPED_INJECTION",
                          "[CLxShellExt::Execute] IsExceptionApplication is EXECUTE_EXCEPTION");
}

// SKIPPED_INJECTION hands back, EXECUTE_EXCEPTION is finished as it stands,
// anything else is launched under control.
bool CLxShellExt::FinishDecision(int a_nDecision, const char* a_szSkippedTrace,
                                 const char* a_szExceptionTrace)
{
    if (a_nDecision == SKIPPED_INJECTION) {
        TraceAlways("%s", a_szSkippedTrace);
        return false;
    }
    if (a_nDecision == EXECUTE_EXCEPTION) {
        TraceAlways("%s", a_szExceptionTrace);
        // A start that failed is answered as a failure; the shell still does
        // not open a controlled file by itself.
        if (m_nStartError)
            *m_pnResult = m_nStartError;
        return true;
    }
    RunLauncher();
    *m_pnResult = m_nStartError ? m_nStartError : c_nResultLaunched;
    return true;
}
