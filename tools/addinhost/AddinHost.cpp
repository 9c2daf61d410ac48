// addinhost: does with an Office application's COM add-ins what the
// application does at start-up and shut-down, so that an administrator (or a
// test) can see whether Office would load them, without Office:
//
//   every entry under HKCU\Software\Microsoft\Office\<App>\Addins with
//   LoadBehavior 3 is created by its ProgID and connected (OnConnection, then
//   OnStartupComplete for all); at the end each is told of the shut-down
//   (OnBeginShutdown) and disconnected. An entry that cannot be created or
//   connected gets LoadBehavior 2, as Office marks an add-in that failed.

#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "tools/addinhost/HostObject.h"
#include "tools/toolsupport/ComApartment.h"
#include "tools/toolsupport/DebugTextCapture.h"
#include "tools/toolsupport/ToolText.h"
#include "tools/toolsupport/ToolUsage.h"

#include "Extensibility_h.h"

#include <windows.h>
#include <oleauto.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

enum ExitCode { c_nExitAllLoaded = 0, c_nExitSomeFailed = 1 };

constexpr DWORD c_dwLoadAtStartup = 3;
constexpr DWORD c_dwUnloaded = 2;
// A class id in registry form, braces and terminating zero included.
constexpr int c_cchClsidText = 39;
// The Office applications that load COM add-ins from their own Addins key,
// spelt as the key and the Application object's name spell them.
const char* const c_szApplications[] = {"Word", "Excel", "PowerPoint", "Outlook", "Access", "Publisher",
                                        "FrontPage"};

const char c_szUsage[] =
    "usage: addinhost [--trace] APPLICATION\n"
    "       addinhost --help | --version\n"
    "\n"
    "  APPLICATION is one of Word, Excel, PowerPoint, Outlook, Access, Publisher,\n"
    "  FrontPage (in any letter case). Loads the COM add-ins listed under\n"
    "  HKCU\\Software\\Microsoft\\Office\\APPLICATION\\Addins with LoadBehavior 3 as\n"
    "  the Office application does at start-up, then unloads them as at shut-down.\n"
    "  An add-in that cannot be created or connected gets LoadBehavior 2.\n"
    "  --trace  prints the add-ins' debugger texts as \"debug: TEXT\" lines at the end\n"
    "exit codes: 0 every add-in to load was loaded, 1 one or more failed, 2 bad usage\n"
    "(an unknown option or application, or no APPLICATION)\n";

void PrintLine(const std::string& a_strLine)
{
    fwrite(a_strLine.data(), 1, a_strLine.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

std::wstring Widen(const std::string& a_str)
{
    int cch = MultiByteToWideChar(CP_ACP, 0, a_str.c_str(), -1, nullptr, 0);
    if (cch <= 0)
        return std::wstring();
    std::wstring wstr(static_cast<size_t>(cch), L'\0');
    MultiByteToWideChar(CP_ACP, 0, a_str.c_str(), -1, &wstr[0], cch);
    wstr.resize(static_cast<size_t>(cch - 1));
    return wstr;
}

struct DispatchRelease {
    void operator()(IUnknown* a_p) const { a_p->Release(); }
};
using DispatchPtr = std::unique_ptr<IDispatch, DispatchRelease>;
using AddinPtr = std::unique_ptr<IDTExtensibility2, DispatchRelease>;

// The empty custom array Office passes with every call.
class CCustomArray final {
public:
    CCustomArray() : m_pArray(SafeArrayCreateVector(VT_VARIANT, 0, 0)) {}
    ~CCustomArray()
    {
        if (m_pArray)
            SafeArrayDestroy(m_pArray);
    }
    CCustomArray(const CCustomArray&) = delete;
    CCustomArray& operator=(const CCustomArray&) = delete;
    SAFEARRAY** Get() { return &m_pArray; }

private:
    SAFEARRAY* m_pArray;
};

struct CAddinEntry {
    std::string m_strProgId;
    bool m_bKnownBehavior = false;
    DWORD m_dwLoadBehavior = 0;
};

// The in-process server a class names, as a text of any length; empty when
// it names none.
std::string ClassModule(const CLSID& a_clsid)
{
    wchar_t wszClsid[c_cchClsidText] = {};
    char szClsid[c_cchClsidText] = {};
    if (!StringFromGUID2(a_clsid, wszClsid, c_cchClsidText) ||
        !WideCharToMultiByte(CP_ACP, 0, wszClsid, -1, szClsid, c_cchClsidText, nullptr, nullptr))
        return std::string();
    const std::string strKey = std::string("CLSID\\") + szClsid + "\\InprocServer32";
    std::vector<char> value(MAX_PATH);
    for (;;) {
        DWORD cb = static_cast<DWORD>(value.size());
        // REG_SZ without RRF_NOEXPAND takes a REG_EXPAND_SZ too, expanded.
        LONG lResult = RegGetValueA(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr,
                                    value.data(), &cb);
        if (lResult == ERROR_SUCCESS)
            break;
        if (lResult != ERROR_MORE_DATA || cb <= value.size())
            return std::string();
        value.resize(cb);
    }
    PathUnquoteSpacesA(value.data());
    return value.data();
}

// The module of a class that could not be created, when it names one by its
// full path and that file does not exist: the platform then answers with a
// code (Wine: access denied) that would send an administrator the wrong way.
std::string MissingModule(const CLSID& a_clsid)
{
    std::string strModule = ClassModule(a_clsid);
    return vm::IsFullPath(strModule) && !vm::IsExistingFile(strModule) ? strModule : std::string();
}

struct CConnectedAddin {
    std::string m_strProgId;
    AddinPtr m_pAddin;
    DispatchPtr m_pAddInInst;
};

class CAddinHost final {
public:
    explicit CAddinHost(const std::string& a_strApplication)
        : m_strApplication(a_strApplication),
          m_strAddinsKey("Software\\Microsoft\\Office\\" + a_strApplication + "\\Addins"),
          m_pApplication(CreateHostObject({{L"Name", Widen(a_strApplication)}}))
    {
    }

    std::vector<CAddinEntry> ReadEntries() const;
    bool Start(const CAddinEntry& a_entry);
    void CompleteStartup();
    void ShutDown();

private:
    HRESULT Connect(const std::string& a_strProgId, CLSID& a_clsid, CConnectedAddin& a_connected);
    void MarkFailed(const std::string& a_strProgId, const std::string& a_strReason);

    std::string m_strApplication;
    std::string m_strAddinsKey;
    DispatchPtr m_pApplication;
    CCustomArray m_custom;
    std::vector<CConnectedAddin> m_connected;
};

std::vector<CAddinEntry> CAddinHost::ReadEntries() const
{
    std::vector<CAddinEntry> entries;
    vm::UniqueKey addins;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, m_strAddinsKey.c_str(), 0, KEY_READ, addins.put()) != ERROR_SUCCESS)
        return entries;
    char szName[MAX_PATH];
    for (DWORD iKey = 0; RegEnumKeyA(addins.get(), iKey, szName, MAX_PATH) == ERROR_SUCCESS; ++iKey) {
        CAddinEntry entry;
        entry.m_strProgId = szName;
        DWORD dwType = REG_NONE;
        DWORD cbData = sizeof(entry.m_dwLoadBehavior);
        entry.m_bKnownBehavior =
            RegGetValueA(addins.get(), szName, "LoadBehavior", RRF_RT_REG_DWORD, &dwType,
                         &entry.m_dwLoadBehavior, &cbData) == ERROR_SUCCESS;
        entries.push_back(entry);
    }
    return entries;
}

HRESULT CAddinHost::Connect(const std::string& a_strProgId, CLSID& a_clsid, CConnectedAddin& a_connected)
{
    std::wstring wstrProgId = Widen(a_strProgId);
    HRESULT hr = CLSIDFromProgID(wstrProgId.c_str(), &a_clsid);
    if (FAILED(hr))
        return hr;
    IDTExtensibility2* pAddin = nullptr;
    hr = CoCreateInstance(a_clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDTExtensibility2,
                          reinterpret_cast<void**>(&pAddin));
    if (FAILED(hr))
        return hr;
    if (!pAddin)
        return E_NOINTERFACE;
    a_connected.m_pAddin.reset(pAddin);
    a_connected.m_pAddInInst.reset(CreateHostObject({{L"ProgId", wstrProgId}, {L"Name", wstrProgId}}));
    if (!m_pApplication || !a_connected.m_pAddInInst)
        return E_OUTOFMEMORY;
    return S_OK;
}

bool CAddinHost::Start(const CAddinEntry& a_entry)
{
    if (!a_entry.m_bKnownBehavior || a_entry.m_dwLoadBehavior != c_dwLoadAtStartup) {
        PrintLine(a_entry.m_strProgId + ": not loaded at start-up (LoadBehavior " +
                  (a_entry.m_bKnownBehavior ? std::to_string(a_entry.m_dwLoadBehavior) : "missing") + ")");
        return true;
    }
    CConnectedAddin connected;
    connected.m_strProgId = a_entry.m_strProgId;
    CLSID clsid = CLSID_NULL;
    HRESULT hr = Connect(a_entry.m_strProgId, clsid, connected);
    if (FAILED(hr)) {
        std::string strModule = MissingModule(clsid);
        MarkFailed(a_entry.m_strProgId, strModule.empty()
                                            ? "could not be created, " + vmtool::DescribeResult(hr)
                                            : "could not be created: its module " + strModule + " does not exist");
        return false;
    }
    hr = connected.m_pAddin->OnConnection(m_pApplication.get(), ext_cm_Startup,
                                          connected.m_pAddInInst.get(), m_custom.Get());
    if (FAILED(hr)) {
        MarkFailed(a_entry.m_strProgId, "refused the connection, " + vmtool::DescribeResult(hr));
        return false;
    }
    PrintLine(a_entry.m_strProgId + ": connected to " + m_strApplication);
    m_connected.push_back(std::move(connected));
    return true;
}

void CAddinHost::MarkFailed(const std::string& a_strProgId, const std::string& a_strReason)
{
    std::string strLine = a_strProgId + ": " + a_strReason;
    vm::UniqueKey entry;
    const DWORD dwUnloaded = c_dwUnloaded;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, (m_strAddinsKey + "\\" + a_strProgId).c_str(), 0, KEY_SET_VALUE,
                      entry.put()) == ERROR_SUCCESS &&
        RegSetValueExA(entry.get(), "LoadBehavior", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&dwUnloaded), sizeof(dwUnloaded)) == ERROR_SUCCESS)
        strLine += "; LoadBehavior set to 2";
    else
        strLine += "; LoadBehavior could not be set to 2";
    PrintLine(strLine);
}

void CAddinHost::CompleteStartup()
{
    for (CConnectedAddin& connected : m_connected)
        connected.m_pAddin->OnStartupComplete(m_custom.Get());
}

void CAddinHost::ShutDown()
{
    for (CConnectedAddin& connected : m_connected)
        connected.m_pAddin->OnBeginShutdown(m_custom.Get());
    for (CConnectedAddin& connected : m_connected)
        connected.m_pAddin->OnDisconnection(ext_dm_HostShutdown, m_custom.Get());
    m_connected.clear();
}

// The application's own spelling, or null for none that loads COM add-ins.
const char* KnownApplication(const char* a_szName)
{
    for (const char* szApplication : c_szApplications)
        if (lstrcmpiA(a_szName, szApplication) == 0)
            return szApplication;
    return nullptr;
}

int RunHost(const std::string& a_strApplication)
{
    vmtool::CComApartment apartment;
    if (FAILED(apartment.Result())) {
        fprintf(stderr, "addinhost: COM could not start: %s\n", vmtool::DescribeResult(apartment.Result()).c_str());
        return vmtool::c_nExitBadUse;
    }
    CAddinHost host(a_strApplication);
    bool bAllLoaded = true;
    for (const CAddinEntry& entry : host.ReadEntries())
        bAllLoaded = host.Start(entry) && bAllLoaded;
    host.CompleteStartup();
    host.ShutDown();
    return bAllLoaded ? c_nExitAllLoaded : c_nExitSomeFailed;
}

struct CHostOptions : vmtool::CCommonOptions {
    bool m_bTrace = false;
    const char* m_szApplication = nullptr;
};

bool ParseArguments(int a_argc, char** a_argv, CHostOptions& a_options, std::string& a_strError)
{
    for (int i = 1; i < a_argc; ++i) {
        const std::string strArg = a_argv[i];
        if (strArg == "--trace") {
            a_options.m_bTrace = true;
        } else if (strArg == "--help") {
            a_options.m_bHelp = true;
        } else if (strArg == "--version") {
            a_options.m_bVersion = true;
        } else if (strArg.compare(0, 1, "-") == 0) {
            a_strError = "unknown option " + strArg;
            return false;
        } else if (a_options.m_szApplication) {
            a_strError = "one APPLICATION only, not also '" + strArg + "'";
            return false;
        } else if (!(a_options.m_szApplication = KnownApplication(a_argv[i]))) {
            a_strError = "unknown application '" + strArg + "'";
            return false;
        }
    }
    if (!a_options.m_bHelp && !a_options.m_bVersion && !a_options.m_szApplication) {
        a_strError = "APPLICATION missing";
        return false;
    }
    return true;
}

} // namespace

int main(int a_argc, char** a_argv)
{
    vmtool::UseBinaryStdout();
    CHostOptions options;
    std::string strError;
    bool bParsed = ParseArguments(a_argc, a_argv, options, strError);
    int nExit = vmtool::AnswerCommonOptions({"addinhost", c_szUsage}, bParsed, strError, options);
    if (nExit >= 0)
        return nExit;
    std::unique_ptr<CDebugTextCapture> capture;
    if (options.m_bTrace)
        capture.reset(new CDebugTextCapture());
    nExit = RunHost(options.m_szApplication);
    if (capture) {
        for (const std::string& strText : capture->Texts())
            PrintLine("debug: " + vmtool::EscapeLineBreaks(strText.data(), strText.size()));
    }
    return nExit;
}
