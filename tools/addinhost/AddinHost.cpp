// addinhost: does with an Office application's COM add-ins what the
// application does at start-up and shut-down, so that an administrator (or a
// test) can see whether Office would load them, without Office:
//
//   every entry under HKCU\Software\Microsoft\Office\<App>\Addins with
//   LoadBehavior 3 is created by its ProgID and connected (OnConnection, then
//   OnStartupComplete for all); at the end each is told of the shut-down
//   (OnBeginShutdown) and disconnected. An entry that cannot be created or
//   connected gets LoadBehavior 2, as Office marks an add-in that failed.

#include "common/Handle.h"
#include "tools/addinhost/HostObject.h"
#include "tools/toolsupport/ComApartment.h"
#include "tools/toolsupport/DebugTextCapture.h"
#include "tools/toolsupport/ToolText.h"

#include "Extensibility_h.h"

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

enum ExitCode { c_nExitAllLoaded = 0, c_nExitSomeFailed = 1, c_nExitBadUse = 2 };

constexpr DWORD c_dwLoadAtStartup = 3;
constexpr DWORD c_dwUnloaded = 2;
// Longer names are no Office application; the key path stays well in bounds.
constexpr size_t c_cchMaxApplication = 64;

const char c_szUsage[] =
    "usage: addinhost [--trace] APPLICATION\n"
    "  Loads the COM add-ins listed under\n"
    "  HKCU\\Software\\Microsoft\\Office\\APPLICATION\\Addins with LoadBehavior 3 as\n"
    "  the Office application does at start-up, then unloads them as at shut-down.\n"
    "  An add-in that cannot be created or connected gets LoadBehavior 2.\n"
    "  --trace  prints the add-ins' debugger texts as \"debug: TEXT\" lines at the end\n"
    "exit codes: 0 every add-in to load was loaded, 1 one or more failed, 2 bad usage\n";

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

// "0x80040154 (Class not registered)", the system's words when it has any.
std::string DescribeResult(HRESULT a_hr)
{
    char szText[300];
    snprintf(szText, sizeof(szText), "0x%08lX", static_cast<unsigned long>(a_hr));
    std::string strText = szText;
    char szMessage[256] = {};
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(a_hr), 0, szMessage, sizeof(szMessage), nullptr);
    while (cch > 0 && (szMessage[cch - 1] == '\r' || szMessage[cch - 1] == '\n' ||
                       szMessage[cch - 1] == ' ' || szMessage[cch - 1] == '.'))
        szMessage[--cch] = '\0';
    if (cch > 0)
        strText += " (" + std::string(szMessage, cch) + ")";
    return strText;
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
    HRESULT Connect(const std::string& a_strProgId, CConnectedAddin& a_connected);
    void MarkFailed(const std::string& a_strProgId, const char* a_szStep, HRESULT a_hr);

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

HRESULT CAddinHost::Connect(const std::string& a_strProgId, CConnectedAddin& a_connected)
{
    std::wstring wstrProgId = Widen(a_strProgId);
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(wstrProgId.c_str(), &clsid);
    if (FAILED(hr))
        return hr;
    IDTExtensibility2* pAddin = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDTExtensibility2,
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
    HRESULT hr = Connect(a_entry.m_strProgId, connected);
    if (FAILED(hr)) {
        MarkFailed(a_entry.m_strProgId, "could not be created", hr);
        return false;
    }
    hr = connected.m_pAddin->OnConnection(m_pApplication.get(), ext_cm_Startup,
                                          connected.m_pAddInInst.get(), m_custom.Get());
    if (FAILED(hr)) {
        MarkFailed(a_entry.m_strProgId, "refused the connection", hr);
        return false;
    }
    PrintLine(a_entry.m_strProgId + ": connected to " + m_strApplication);
    m_connected.push_back(std::move(connected));
    return true;
}

void CAddinHost::MarkFailed(const std::string& a_strProgId, const char* a_szStep, HRESULT a_hr)
{
    std::string strLine = a_strProgId + ": " + a_szStep + ", " + DescribeResult(a_hr);
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

bool IsApplicationName(const char* a_szName)
{
    size_t cch = strnlen(a_szName, c_cchMaxApplication + 1);
    return cch > 0 && cch <= c_cchMaxApplication && !strpbrk(a_szName, "\\/");
}

int RunHost(const std::string& a_strApplication)
{
    vmtool::CComApartment apartment;
    if (FAILED(apartment.Result())) {
        fprintf(stderr, "addinhost: COM could not start: %s\n", DescribeResult(apartment.Result()).c_str());
        return c_nExitBadUse;
    }
    CAddinHost host(a_strApplication);
    bool bAllLoaded = true;
    for (const CAddinEntry& entry : host.ReadEntries())
        bAllLoaded = host.Start(entry) && bAllLoaded;
    host.CompleteStartup();
    host.ShutDown();
    return bAllLoaded ? c_nExitAllLoaded : c_nExitSomeFailed;
}

} // namespace

int main(int a_argc, char** a_argv)
{
    vmtool::UseBinaryStdout();
    bool bTrace = false;
    int iArg = 1;
    if (iArg < a_argc && strcmp(a_argv[iArg], "--trace") == 0) {
        bTrace = true;
        ++iArg;
    }
    if (iArg + 1 != a_argc || !IsApplicationName(a_argv[iArg])) {
        fputs(c_szUsage, stderr);
        return c_nExitBadUse;
    }
    std::unique_ptr<CDebugTextCapture> capture;
    if (bTrace)
        capture.reset(new CDebugTextCapture());
    int nExit = RunHost(a_argv[iArg]);
    if (capture) {
        for (const std::string& strText : capture->Texts())
            PrintLine("debug: " + vmtool::EscapeLineBreaks(strText.data(), strText.size()));
    }
    return nExit;
}
