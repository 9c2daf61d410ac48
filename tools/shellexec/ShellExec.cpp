// shellexec: a host for shell-execute hooks. Neither Wine nor a default
// modern Windows offers requests to the hooks any more, so administrators and
// tests use this program to do what Explorer did: offer the request to each
// registered hook in turn and carry it out when all of them hand it back.

#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "module/DocHookDiagnostics.h"
#include "tools/shellexec/FolderWhatIf.h"
#include "tools/shellexec/HookModule.h"
#include "tools/shellexec/ShellExecOptions.h"
#include "tools/toolsupport/ComApartment.h"
#include "tools/toolsupport/DebugTextCapture.h"
#include "tools/toolsupport/ToolText.h"
#include "tools/toolsupport/ToolUsage.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const char c_szHooksKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";
// The longest value name the registry allows, plus its zero.
constexpr DWORD c_cchMaxValueName = 16384;

enum ExitCode { c_nExitDone = 0, c_nExitNotDone = 1, c_nExitBadUse = 2 };

// The registered hooks by value name, in the registry's enumeration order.
// No key means no hooks.
std::vector<std::string> ReadRegisteredHooks()
{
    std::vector<std::string> names;
    vm::UniqueKey hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, c_szHooksKey, 0, KEY_READ, hKey.put()) != ERROR_SUCCESS)
        return names;
    std::vector<char> name(c_cchMaxValueName);
    for (DWORD iValue = 0;; ++iValue) {
        DWORD cchName = c_cchMaxValueName;
        LONG lResult = RegEnumValueA(hKey.get(), iValue, name.data(), &cchName, nullptr, nullptr, nullptr, nullptr);
        if (lResult != ERROR_SUCCESS)
            break;
        names.emplace_back(name.data(), cchName);
    }
    return names;
}

HRESULT ClsidFromText(const std::string& a_strText, CLSID& a_clsid)
{
    // Only the registry form: anything else would be looked up as a ProgID.
    std::wstring strText = vm::WideFromAnsi(a_strText);
    if (!IsClsidText(strText))
        return CO_E_CLASSSTRING;
    return CLSIDFromString(strText.c_str(), &a_clsid);
}

// The request in both forms: the wide one the shell offers first, and its
// ANSI rendering for a hook without the wide interface. Hooks rewrite the
// file text in place and may assume the shell's MAX_PATH buffer, so neither
// buffer is ever smaller than that.
class CRequest {
public:
    CRequest(const CShellExecOptions& a_options, HKEY a_hkeyClass)
    {
        m_wide.cbSize = sizeof(m_wide);
        m_wide.fMask = a_hkeyClass ? SEE_MASK_CLASSKEY : 0;
        m_wide.hkeyClass = a_hkeyClass;
        m_wide.nShow = SW_SHOWNORMAL;
        m_wide.lpVerb = Text(a_options.m_strVerb);
        m_wide.lpParameters = Text(a_options.m_strParams);
        m_wide.lpDirectory = Text(a_options.m_strDir);
        if (a_options.m_strFile) {
            m_wideFile.assign(std::max<size_t>(a_options.m_strFile->size() + 1, MAX_PATH), L'\0');
            std::copy(a_options.m_strFile->begin(), a_options.m_strFile->end(), m_wideFile.begin());
            m_wide.lpFile = m_wideFile.data();
        }
        m_ansi.cbSize = sizeof(m_ansi);
        m_ansi.fMask = m_wide.fMask;
        m_ansi.hkeyClass = a_hkeyClass;
        m_ansi.nShow = SW_SHOWNORMAL;
        m_ansi.lpVerb = Rendered(a_options.m_strVerb, m_strVerb);
        m_ansi.lpParameters = Rendered(a_options.m_strParams, m_strParams);
        m_ansi.lpDirectory = Rendered(a_options.m_strDir, m_strDir);
        if (a_options.m_strFile) {
            std::string strFile = vm::AnsiRendering(*a_options.m_strFile);
            m_ansiFile.assign(std::max<size_t>(strFile.size() + 1, MAX_PATH), '\0');
            std::copy(strFile.begin(), strFile.end(), m_ansiFile.begin());
            m_ansi.lpFile = m_ansiFile.data();
        }
    }
    CRequest(const CRequest&) = delete;
    CRequest& operator=(const CRequest&) = delete;

    SHELLEXECUTEINFOW& Wide() { return m_wide; }
    SHELLEXECUTEINFOA& Ansi() { return m_ansi; }
    // The answer as the last hook offered it left it.
    bool m_bAnsiOffered = false;
    UINT_PTR InstApp() const
    {
        return reinterpret_cast<UINT_PTR>(m_bAnsiOffered ? m_ansi.hInstApp : m_wide.hInstApp);
    }
    // The file text as it stands, read no further than our own buffer's end
    // in case a hook left it without a terminating zero.
    std::string FileText() const
    {
        if (m_bAnsiOffered ? !m_ansi.lpFile : !m_wide.lpFile)
            return "(null)";
        if (m_bAnsiOffered && m_ansi.lpFile == m_ansiFile.data())
            return std::string(m_ansiFile.data(), strnlen(m_ansiFile.data(), m_ansiFile.size()));
        if (m_bAnsiOffered)
            return m_ansi.lpFile;
        if (m_wide.lpFile == m_wideFile.data())
            return vm::AnsiRendering(std::wstring(m_wideFile.data(), wcsnlen(m_wideFile.data(), m_wideFile.size())));
        return vm::AnsiRendering(m_wide.lpFile);
    }

private:
    static const wchar_t* Text(const std::optional<std::wstring>& a_strText)
    {
        return a_strText ? a_strText->c_str() : nullptr;
    }
    static const char* Rendered(const std::optional<std::wstring>& a_strText, std::string& a_strAnsi)
    {
        if (!a_strText)
            return nullptr;
        a_strAnsi = vm::AnsiRendering(*a_strText);
        return a_strAnsi.c_str();
    }

    SHELLEXECUTEINFOW m_wide{};
    SHELLEXECUTEINFOA m_ansi{};
    std::vector<wchar_t> m_wideFile;
    std::vector<char> m_ansiFile;
    std::string m_strVerb, m_strParams, m_strDir;
};

struct CHookAnswer {
    bool m_bCreated = false;
    bool m_bNotOffered = false; // cannot run dry
    HRESULT m_hr = E_FAIL;
    std::string m_strVerdict;   // from a hook that puts it in words
    std::optional<CVerdictColumns> m_columns; // from a dry run, which hands out its verdict's record
};

constexpr UINT c_cchVerdict = 1024;

// The hook's shell-execute interface: the wide one unless only ANSI is asked for.
struct CHookInterfaces {
    IShellExecuteHookW* m_pWide = nullptr;
    IShellExecuteHookA* m_pAnsi = nullptr;
    IDocHookDiagnostics* m_pDiagnostics = nullptr;
    IDocHookDryRun* m_pDryRun = nullptr;
    ~CHookInterfaces()
    {
        for (IUnknown* pInterface : {static_cast<IUnknown*>(m_pWide), static_cast<IUnknown*>(m_pAnsi),
                                     static_cast<IUnknown*>(m_pDiagnostics), static_cast<IUnknown*>(m_pDryRun)})
            if (pInterface)
                pInterface->Release();
    }
    HRESULT Execute(CRequest& a_request)
    {
        a_request.m_bAnsiOffered = !m_pWide;
        return m_pWide ? m_pWide->Execute(&a_request.Wide()) : m_pAnsi->Execute(&a_request.Ansi());
    }
};

HRESULT QueryHook(IUnknown* a_pUnknown, bool a_bAnsiOnly, CHookInterfaces& a_hook)
{
    if (!a_bAnsiOnly)
        a_pUnknown->QueryInterface(IID_IShellExecuteHookW, reinterpret_cast<void**>(&a_hook.m_pWide));
    if (!a_hook.m_pWide)
        a_pUnknown->QueryInterface(IID_IShellExecuteHookA, reinterpret_cast<void**>(&a_hook.m_pAnsi));
    if (!a_hook.m_pWide && !a_hook.m_pAnsi)
        return E_NOINTERFACE;
    a_pUnknown->QueryInterface(IID_IDocHookDiagnostics, reinterpret_cast<void**>(&a_hook.m_pDiagnostics));
    a_pUnknown->QueryInterface(IID_IDocHookDryRun, reinterpret_cast<void**>(&a_hook.m_pDryRun));
    return S_OK;
}

// The dry run is a class of the hook's own module that no registration
// names: it is asked of the module the machine registers the hook's class
// with, by that module's full path. The module stays loaded until this
// program ends. S_FALSE without an object: the module serves no dry run.
HRESULT CreateDryRun(const CLSID& a_clsid, IUnknown** a_ppUnknown)
{
    *a_ppUnknown = nullptr;
    wchar_t szClsid[40] = {};
    if (!StringFromGUID2(a_clsid, szClsid, 40))
        return E_INVALIDARG;
    std::wstring strModule;
    HRESULT hr = FindMachineHookModule(szClsid, strModule);
    if (hr != S_OK)
        return hr;
    HMODULE hModule = LoadLibraryExW(strModule.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!hModule)
        return HRESULT_FROM_WIN32(GetLastError());
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto pfnGetClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(hModule, "DllGetClassObject")));
    IClassFactory* pFactory = nullptr;
    if (!pfnGetClassObject ||
        FAILED(pfnGetClassObject(CLSID_DocHookDryRun, IID_IClassFactory, reinterpret_cast<void**>(&pFactory))) ||
        !pFactory)
        return S_FALSE;
    hr = pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(a_ppUnknown));
    pFactory->Release();
    return SUCCEEDED(hr) && *a_ppUnknown ? S_OK : S_FALSE;
}

// Offers the request to a hook that can answer in words (the product's),
// dry when asked, and takes its verdict.
void OfferWithDiagnostics(CHookInterfaces& a_hook, const CShellExecOptions& a_options, CRequest& a_request,
                          CHookAnswer& a_answer)
{
    std::string strPolicy = a_options.m_strPolicy ? vm::AnsiRendering(*a_options.m_strPolicy) : std::string();
    if (a_hook.m_pDryRun)
        a_hook.m_pDryRun->UseDraftPolicy(a_options.m_strPolicy ? strPolicy.c_str() : nullptr);
    a_answer.m_hr = a_hook.Execute(a_request);
    char szVerdict[c_cchVerdict] = {};
    if (SUCCEEDED(a_hook.m_pDiagnostics->GetVerdict(szVerdict, c_cchVerdict)))
        a_answer.m_strVerdict = szVerdict;
    DocHookVerdictColumns columns{};
    if (a_hook.m_pDryRun && SUCCEEDED(a_hook.m_pDryRun->GetVerdictColumns(&columns)))
        a_answer.m_columns = CVerdictColumns{columns.szVerdict, columns.szProgram, columns.szPlugin, columns.szReason};
}

CHookAnswer OfferToHook(const std::string& a_strClsid, const CShellExecOptions& a_options, CRequest& a_request)
{
    CHookAnswer answer;
    CLSID clsid;
    answer.m_hr = ClsidFromText(a_strClsid, clsid);
    if (FAILED(answer.m_hr))
        return answer;
    // A dry run is offered to the hook's dry-run class instead: the hook
    // itself is not created, so nothing the merged class view names is loaded.
    IUnknown* pUnknown = nullptr;
    answer.m_hr = a_options.m_bDryRun ? CreateDryRun(clsid, &pUnknown)
                                      : CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                         reinterpret_cast<void**>(&pUnknown));
    if (FAILED(answer.m_hr) || (!pUnknown && !a_options.m_bDryRun)) {
        if (SUCCEEDED(answer.m_hr))
            answer.m_hr = E_NOINTERFACE;
        return answer;
    }
    CHookInterfaces hook;
    answer.m_hr = pUnknown ? QueryHook(pUnknown, a_options.m_bAnsi, hook) : S_OK;
    if (pUnknown)
        pUnknown->Release();
    if (FAILED(answer.m_hr))
        return answer;
    answer.m_bCreated = true;
    if (hook.m_pDiagnostics && (hook.m_pDryRun || !a_options.m_bDryRun)) {
        OfferWithDiagnostics(hook, a_options, a_request, answer);
    } else if (a_options.m_bDryRun) {
        // A hook that cannot run dry could start anything: it is not asked.
        answer.m_bNotOffered = true;
        answer.m_hr = S_FALSE;
    } else {
        answer.m_hr = hook.Execute(a_request);
    }
    return answer;
}

std::string AnswerText(HRESULT a_hr)
{
    if (a_hr == S_OK)
        return "S_OK";
    if (a_hr == S_FALSE)
        return "S_FALSE";
    return vmtool::DescribeResult(a_hr);
}

void PrintLine(const std::string& a_strLine)
{
    fwrite(a_strLine.data(), 1, a_strLine.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

struct CRequestOutcome {
    bool m_bTaken = false;
    size_t m_cOffered = 0;
    size_t m_cCreated = 0;
    std::string m_strTakenBy;
    std::string m_strVerdict; // of the hook that took it, else of the last that put it in words
    std::optional<CVerdictColumns> m_columns; // with that verdict, where its hook hands them out
};

// a_bShow: each hook's answer is printed as it comes.
CRequestOutcome OfferToHooks(const std::vector<std::string>& a_hooks, const CShellExecOptions& a_options,
                             CRequest& a_request, bool a_bShow = true)
{
    CRequestOutcome outcome;
    for (const std::string& strClsid : a_hooks) {
        CHookAnswer answer = OfferToHook(strClsid, a_options, a_request);
        ++outcome.m_cOffered;
        if (answer.m_bCreated)
            ++outcome.m_cCreated;
        if (!answer.m_strVerdict.empty()) {
            outcome.m_strVerdict = answer.m_strVerdict;
            outcome.m_columns = answer.m_columns;
        }
        // Shown at once: a hook that brings the host down leaves its line.
        if (a_bShow)
            PrintLine("hook " + strClsid + " -> " +
                  (answer.m_bNotOffered ? std::string("not offered (it cannot run dry)") : AnswerText(answer.m_hr)));
        if (answer.m_hr == S_OK) {
            outcome.m_bTaken = true;
            outcome.m_strTakenBy = strClsid;
            break;
        }
    }
    return outcome;
}

// The one line that ends every request: the product's hook's words when it
// gave them, else what the answers say.
std::string VerdictLine(const CRequestOutcome& a_outcome, UINT_PTR a_uInstApp, const std::string& a_strShell)
{
    if (!a_outcome.m_strVerdict.empty() && (a_outcome.m_bTaken || a_strShell.empty()))
        return "verdict: " + a_outcome.m_strVerdict;
    if (a_outcome.m_bTaken)
        return "verdict: taken over by hook " + a_outcome.m_strTakenBy + " (hInstApp " + std::to_string(a_uInstApp) + ")";
    if (a_outcome.m_cOffered > 0 && a_outcome.m_cCreated == 0)
        return "verdict: not decided: no hook could be created";
    std::string strReason = a_outcome.m_strVerdict.empty() ? "handed back to Windows" : a_outcome.m_strVerdict;
    if (a_strShell.empty())
        return "verdict: " + strReason;
    return "verdict: " + strReason + (a_strShell == "shell: ok" ? ", which carried it out" : ", which could not carry it out");
}

// "would start: ..." for each start the hooks made in a dry run.
void PrintPlannedStarts(const std::vector<std::string>& a_texts)
{
    static const std::string c_strMark = "[dry run] would start [";
    for (const std::string& strText : a_texts)
        if (strText.compare(0, c_strMark.size(), c_strMark) == 0 && strText.back() == ']')
            PrintLine("would start: " + strText.substr(c_strMark.size(), strText.size() - c_strMark.size() - 1));
}

// Carries out a request every hook handed back; "" when it was not tried.
std::string FallBack(const CShellExecOptions& a_options, SHELLEXECUTEINFOW& a_sei, int& a_nExit)
{
    if (a_options.m_bNoFallback || a_options.m_bDryRun) {
        a_nExit = c_nExitNotDone;
        return std::string();
    }
    // No dialog may wait for a user, and the program must be started before
    // this process ends.
    a_sei.fMask |= SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    if (ShellExecuteExW(&a_sei))
        return "shell: ok";
    a_nExit = c_nExitNotDone;
    return "shell: failed: " + vmtool::DescribeError(GetLastError());
}

std::vector<std::string> HooksToOffer(const CShellExecOptions& a_options)
{
    if (a_options.m_strClsid)
        return {vm::AnsiRendering(*a_options.m_strClsid)};
    return ReadRegisteredHooks();
}

int RunRequest(const CShellExecOptions& a_options, HKEY a_hkeyClass)
{
    CRequest request(a_options, a_hkeyClass);
    std::unique_ptr<CDebugTextCapture> pCapture;
    if (a_options.m_bTrace || a_options.m_bDryRun)
        pCapture.reset(new CDebugTextCapture);

    CRequestOutcome outcome = OfferToHooks(HooksToOffer(a_options), a_options, request);
    UINT_PTR uInstApp = request.InstApp();
    std::string strFile = request.FileText();

    int nExit = c_nExitDone;
    std::string strShell;
    if (!outcome.m_bTaken && outcome.m_cOffered > 0 && outcome.m_cCreated == 0)
        nExit = c_nExitBadUse;
    else if (!outcome.m_bTaken)
        strShell = FallBack(a_options, request.Wide(), nExit);
    std::vector<std::string> texts;
    if (pCapture)
        texts = pCapture->Texts();
    pCapture.reset();

    PrintLine("hInstApp=" + std::to_string(uInstApp));
    PrintLine("lpFile=" + strFile);
    for (const std::string& strText : a_options.m_bTrace ? texts : std::vector<std::string>())
        PrintLine("debug: " + vmtool::EscapeLineBreaks(strText.data(), strText.size()));
    if (!strShell.empty())
        PrintLine(strShell);
    PrintPlannedStarts(texts);
    PrintLine(VerdictLine(outcome, uInstApp, strShell));
    return nExit;
}

// One file of a folder's what-if, decided dry: the verdict in columns.
CVerdictColumns DecideFileDry(const CShellExecOptions& a_options, const std::vector<std::string>& a_hooks,
                          const std::wstring& a_strFile)
{
    CShellExecOptions options = a_options;
    options.m_strFile = a_strFile;
    if (!options.m_strVerb)
        options.m_strVerb = L"open";
    CRequest request(options, nullptr);
    // The hook's texts stay out of the debug output, as for one request.
    CDebugTextCapture capture;
    CRequestOutcome outcome = OfferToHooks(a_hooks, options, request, false);
    // The columns of the record the verdict's words were made of; the words
    // only where no hook handed them out (a hook of another make, or none).
    if (outcome.m_columns)
        return *outcome.m_columns;
    std::string strLine = VerdictLine(outcome, request.InstApp(), std::string());
    return SplitVerdict(strLine.substr(strLine.find(": ") + 2));
}

int RunFolder(const CShellExecOptions& a_options)
{
    std::vector<std::string> hooks = HooksToOffer(a_options);
    return RunFolderWhatIf(*a_options.m_strFolder, a_options.m_bCsv, [&](const std::wstring& a_strFile) {
        return DecideFileDry(a_options, hooks, a_strFile);
    });
}

int BadUse(const std::string& a_strMessage)
{
    return vmtool::ShowBadUse("shellexec", a_strMessage, c_szShellExecUsage);
}

} // namespace

// The arguments as wide text: a file name need not fit the ANSI code page.
class CWideArguments {
public:
    CWideArguments() : m_argv(CommandLineToArgvW(GetCommandLineW(), &m_argc)) {}
    ~CWideArguments() { LocalFree(m_argv); }
    CWideArguments(const CWideArguments&) = delete;
    CWideArguments& operator=(const CWideArguments&) = delete;
    int Count() const { return m_argv ? m_argc : 0; }
    const wchar_t* const* Values() const { return m_argv; }

private:
    int m_argc = 0;
    wchar_t** m_argv;
};

int main()
{
    vmtool::UseBinaryStdout();
    CShellExecOptions options;
    std::string strError;
    CWideArguments arguments;
    if (!ParseShellExecArguments(arguments.Count(), arguments.Values(), options, strError))
        return BadUse(strError);
    if (options.m_bHelp)
        return vmtool::ShowHelp(c_szShellExecUsage);
    if (options.m_bVersion)
        return vmtool::ShowVersion("shellexec");

    // We opened the class key, so we own it; the hooks only borrow it.
    vm::UniqueKey hkeyClass;
    if (options.m_strClassKey) {
        LONG lResult = RegOpenKeyExW(HKEY_CLASSES_ROOT, options.m_strClassKey->c_str(), 0, KEY_READ, hkeyClass.put());
        if (lResult != ERROR_SUCCESS)
            return BadUse("cannot open HKEY_CLASSES_ROOT\\" + vm::AnsiRendering(*options.m_strClassKey) + ": " +
                          vmtool::DescribeError(static_cast<DWORD>(lResult)));
    }

    vmtool::CComApartment apartment;
    if (FAILED(apartment.Result())) {
        fprintf(stderr, "shellexec: COM could not start: %s\n", vmtool::DescribeResult(apartment.Result()).c_str());
        return c_nExitBadUse;
    }
    if (options.m_strFolder)
        return RunFolder(options);
    return RunRequest(options, hkeyClass.get());
}
