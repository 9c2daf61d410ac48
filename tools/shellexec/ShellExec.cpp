// shellexec: a host for shell-execute hooks. Neither Wine nor a default
// modern Windows offers requests to the hooks any more, so administrators and
// tests use this program to do what Explorer did: offer the request to each
// registered hook in turn and carry it out when all of them hand it back.

#include "common/Handle.h"
#include "module/DocHookDiagnostics.h"
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
    if (!IsClsidText(a_strText))
        return CO_E_CLASSSTRING;
    WCHAR wszText[39] = {};
    MultiByteToWideChar(CP_ACP, 0, a_strText.c_str(), -1, wszText, 39);
    return CLSIDFromString(wszText, &a_clsid);
}

struct CHookAnswer {
    bool m_bCreated = false;
    bool m_bNotOffered = false; // cannot run dry
    HRESULT m_hr = E_FAIL;
    std::string m_strVerdict;   // from a hook that puts it in words
};

constexpr UINT c_cchVerdict = 1024;

// Offers the request to a hook that can answer in words (the product's),
// dry when asked, and takes its verdict.
void OfferWithDiagnostics(IShellExecuteHookA* a_pHook, IDocHookDiagnostics* a_pDiagnostics,
                          const CShellExecOptions& a_options, SHELLEXECUTEINFOA& a_sei, CHookAnswer& a_answer)
{
    if (a_options.m_bDryRun)
        a_pDiagnostics->BeginDryRun(a_options.m_strPolicy ? a_options.m_strPolicy->c_str() : nullptr);
    a_answer.m_hr = a_pHook->Execute(&a_sei);
    char szVerdict[c_cchVerdict] = {};
    if (SUCCEEDED(a_pDiagnostics->GetVerdict(szVerdict, c_cchVerdict)))
        a_answer.m_strVerdict = szVerdict;
    if (a_options.m_bDryRun)
        a_pDiagnostics->EndDryRun();
}

CHookAnswer OfferToHook(const std::string& a_strClsid, const CShellExecOptions& a_options, SHELLEXECUTEINFOA& a_sei)
{
    CHookAnswer answer;
    CLSID clsid;
    answer.m_hr = ClsidFromText(a_strClsid, clsid);
    if (FAILED(answer.m_hr))
        return answer;
    IShellExecuteHookA* pHook = nullptr;
    answer.m_hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExecuteHookA,
                                   reinterpret_cast<void**>(&pHook));
    if (FAILED(answer.m_hr) || !pHook) {
        if (SUCCEEDED(answer.m_hr))
            answer.m_hr = E_NOINTERFACE;
        return answer;
    }
    answer.m_bCreated = true;
    IDocHookDiagnostics* pDiagnostics = nullptr;
    if (SUCCEEDED(pHook->QueryInterface(IID_IDocHookDiagnostics, reinterpret_cast<void**>(&pDiagnostics))) &&
        pDiagnostics) {
        OfferWithDiagnostics(pHook, pDiagnostics, a_options, a_sei, answer);
        pDiagnostics->Release();
    } else if (a_options.m_bDryRun) {
        // A hook that cannot run dry could start anything: it is not asked.
        answer.m_bNotOffered = true;
        answer.m_hr = S_FALSE;
    } else {
        answer.m_hr = pHook->Execute(&a_sei);
    }
    pHook->Release();
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

// The request's file text as it stands. Our own buffer is read no further
// than its end, in case a hook left it without a terminating zero.
std::string FileText(const SHELLEXECUTEINFOA& a_sei, const std::vector<char>& a_file)
{
    if (!a_sei.lpFile)
        return "(null)";
    if (a_sei.lpFile == a_file.data())
        return std::string(a_file.data(), strnlen(a_file.data(), a_file.size()));
    return a_sei.lpFile;
}

struct CRequestOutcome {
    bool m_bTaken = false;
    size_t m_cOffered = 0;
    size_t m_cCreated = 0;
    std::string m_strTakenBy;
    std::string m_strVerdict; // of the hook that took it, else of the last that put it in words
};

CRequestOutcome OfferToHooks(const std::vector<std::string>& a_hooks, const CShellExecOptions& a_options,
                             SHELLEXECUTEINFOA& a_sei)
{
    CRequestOutcome outcome;
    for (const std::string& strClsid : a_hooks) {
        CHookAnswer answer = OfferToHook(strClsid, a_options, a_sei);
        ++outcome.m_cOffered;
        if (answer.m_bCreated)
            ++outcome.m_cCreated;
        if (!answer.m_strVerdict.empty())
            outcome.m_strVerdict = answer.m_strVerdict;
        // Shown at once: a hook that brings the host down leaves its line.
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
std::string FallBack(const CShellExecOptions& a_options, SHELLEXECUTEINFOA& a_sei, int& a_nExit)
{
    if (a_options.m_bNoFallback || a_options.m_bDryRun) {
        a_nExit = c_nExitNotDone;
        return std::string();
    }
    // No dialog may wait for a user, and the program must be started before
    // this process ends.
    a_sei.fMask |= SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    if (ShellExecuteExA(&a_sei))
        return "shell: ok";
    a_nExit = c_nExitNotDone;
    return "shell: failed: " + vmtool::DescribeError(GetLastError());
}

std::vector<std::string> HooksToOffer(const CShellExecOptions& a_options)
{
    if (a_options.m_strClsid)
        return {*a_options.m_strClsid};
    return ReadRegisteredHooks();
}

int RunRequest(const CShellExecOptions& a_options, HKEY a_hkeyClass)
{
    // Hooks rewrite the file text in place and may assume the shell's
    // MAX_PATH buffer, so it is never smaller than that.
    std::vector<char> file;
    if (a_options.m_strFile) {
        file.assign(std::max<size_t>(a_options.m_strFile->size() + 1, MAX_PATH), '\0');
        memcpy(file.data(), a_options.m_strFile->c_str(), a_options.m_strFile->size());
    }

    SHELLEXECUTEINFOA sei{};
    sei.cbSize = sizeof(sei);
    sei.fMask = a_hkeyClass ? SEE_MASK_CLASSKEY : 0;
    sei.hkeyClass = a_hkeyClass;
    sei.lpVerb = a_options.m_strVerb ? a_options.m_strVerb->c_str() : nullptr;
    sei.lpFile = a_options.m_strFile ? file.data() : nullptr;
    sei.lpParameters = a_options.m_strParams ? a_options.m_strParams->c_str() : nullptr;
    sei.lpDirectory = a_options.m_strDir ? a_options.m_strDir->c_str() : nullptr;
    sei.nShow = SW_SHOWNORMAL;
    sei.hInstApp = nullptr;

    std::unique_ptr<CDebugTextCapture> pCapture;
    if (a_options.m_bTrace || a_options.m_bDryRun)
        pCapture.reset(new CDebugTextCapture);

    CRequestOutcome outcome = OfferToHooks(HooksToOffer(a_options), a_options, sei);
    UINT_PTR uInstApp = reinterpret_cast<UINT_PTR>(sei.hInstApp);
    std::string strFile = FileText(sei, file);

    int nExit = c_nExitDone;
    std::string strShell;
    if (!outcome.m_bTaken && outcome.m_cOffered > 0 && outcome.m_cCreated == 0)
        nExit = c_nExitBadUse;
    else if (!outcome.m_bTaken)
        strShell = FallBack(a_options, sei, nExit);
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

int BadUse(const std::string& a_strMessage)
{
    return vmtool::ShowBadUse("shellexec", a_strMessage, c_szShellExecUsage);
}

} // namespace

int main(int a_argc, char** a_argv)
{
    vmtool::UseBinaryStdout();
    CShellExecOptions options;
    std::string strError;
    if (!ParseShellExecArguments(a_argc, a_argv, options, strError))
        return BadUse(strError);
    if (options.m_bHelp)
        return vmtool::ShowHelp(c_szShellExecUsage);
    if (options.m_bVersion)
        return vmtool::ShowVersion("shellexec");

    // We opened the class key, so we own it; the hooks only borrow it.
    vm::UniqueKey hkeyClass;
    if (options.m_strClassKey) {
        LONG lResult = RegOpenKeyExA(HKEY_CLASSES_ROOT, options.m_strClassKey->c_str(), 0, KEY_READ, hkeyClass.put());
        if (lResult != ERROR_SUCCESS)
            return BadUse("cannot open HKEY_CLASSES_ROOT\\" + *options.m_strClassKey + ": " +
                          vmtool::DescribeError(static_cast<DWORD>(lResult)));
    }

    vmtool::CComApartment apartment;
    if (FAILED(apartment.Result())) {
        fprintf(stderr, "shellexec: COM could not start: %s\n", vmtool::DescribeResult(apartment.Result()).c_str());
        return c_nExitBadUse;
    }
    return RunRequest(options, hkeyClass.get());
}
