#include "bench/HostBench.h"
#include "bench/Timing.h"

#include "common/Handle.h"
#include "module/Guids.h"
#include "tests/soak/RequestMix.h"
#include "tests/support/DebugCapture.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace vmbench {

namespace {

constexpr char c_szHooksKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";
constexpr char c_szHookClsid[] = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
constexpr char c_szHookName[] = "DocHook Class";
constexpr char c_szExt[] = ".vmbenchdoc";
constexpr char c_szProgId[] = "VmBench.Document";

// The document, its application and the hook's listing; all of it goes again
// at the end, the hook listed as before.
class CHostWorld {
public:
    CHostWorld() : m_strDir(vmtest::MakeScratchDir("host")), m_strFile(m_strDir + "\\letter.vmbenchdoc")
    {
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, c_szHooksKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        m_hooks.put(), nullptr);
        // The upkeep must not start regsvr32 in every run.
        vmtest::MarkAddinsLoaded();
        char szSelf[MAX_PATH];
        GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
        vmtest::SetString(HKEY_CLASSES_ROOT, c_szExt, nullptr, c_szProgId);
        vmtest::SetString(HKEY_CLASSES_ROOT, std::string(c_szProgId) + "\\shell\\open\\command", nullptr,
                          std::string("\"") + szSelf + "\" --exit \"%1\"");
        vmtest::WriteFile(m_strFile, "text");
        // Looked up afresh while its folder is newly changed; the folders of
        // the documents people open have mostly settled.
        Sleep(2500);
    }
    ~CHostWorld()
    {
        List(true);
        SHDeleteKeyA(HKEY_CLASSES_ROOT, c_szExt);
        SHDeleteKeyA(HKEY_CLASSES_ROOT, c_szProgId);
        vmtest::RemoveTree(m_strDir);
    }
    CHostWorld(const CHostWorld&) = delete;
    CHostWorld& operator=(const CHostWorld&) = delete;

    bool Ready() const { return static_cast<bool>(m_hooks); }
    const std::string& File() const { return m_strFile; }

    void List(bool a_bListed) const
    {
        if (a_bListed)
            RegSetValueExA(m_hooks.get(), c_szHookClsid, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(c_szHookName), sizeof(c_szHookName));
        else
            RegDeleteValueA(m_hooks.get(), c_szHookClsid);
    }

private:
    vm::UniqueKey m_hooks;
    std::string m_strDir;
    std::string m_strFile;
};

void PrintRatio(const char* a_szWhat, unsigned a_uRuns, const std::vector<double>& a_with,
                const std::vector<double>& a_without)
{
    double dWith = Median(a_with), dWithout = Median(a_without);
    std::printf("%s (%u each): with hook %.1f ms, without %.1f ms, ratio %.3f\n", a_szWhat, a_uRuns, dWith,
                dWithout, dWithout > 0 ? dWith / dWithout : 0);
}

// Alternates with and without the hook; the first two pairs fill the caches
// of the prefix and are not counted.
void Alternate(const CHostWorld& a_world, unsigned a_uRuns, const std::function<double()>& a_open,
               std::vector<double>& a_with, std::vector<double>& a_without)
{
    for (unsigned i = 0; i < a_uRuns + 2; ++i) {
        a_world.List(true);
        double dWith = a_open();
        a_world.List(false);
        double dWithout = a_open();
        if (i >= 2) {
            a_with.push_back(dWith);
            a_without.push_back(dWithout);
        }
    }
}

double RunHostOnce(const std::string& a_strCommand)
{
    return Milliseconds([&] {
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        vm::UniqueProcessInfo process;
        std::string strCommand = a_strCommand;
        if (CreateProcessA(nullptr, &strCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                           process.put()))
            WaitForSingleObject(process.get().hProcess, 60000);
    });
}

std::vector<CLSID> ListedHooks()
{
    std::vector<CLSID> hooks;
    vm::UniqueKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, c_szHooksKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return hooks;
    char szName[64];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof(szName);
        if (RegEnumValueA(key.get(), i, szName, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        wchar_t wszName[64];
        CLSID clsid;
        if (MultiByteToWideChar(CP_ACP, 0, szName, -1, wszName, 64) && SUCCEEDED(CLSIDFromString(wszName, &clsid)))
            hooks.push_back(clsid);
    }
    return hooks;
}

// What the host does for one request: offer it to each listed hook, created
// for the request, and open the document itself when none takes it.
double OpenInHost(const std::string& a_strFile, vm::UniqueNullHandle& a_started)
{
    return Milliseconds([&] {
        std::vector<char> file(std::max<size_t>(a_strFile.size() + 1, MAX_PATH), '\0');
        std::copy(a_strFile.begin(), a_strFile.end(), file.begin());
        SHELLEXECUTEINFOA sei{};
        sei.cbSize = sizeof(sei);
        sei.lpVerb = "open";
        sei.lpFile = file.data();
        sei.nShow = SW_SHOWNORMAL;
        for (const CLSID& clsid : ListedHooks()) {
            IShellExecuteHookA* pHook = nullptr;
            if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExecuteHookA,
                                        reinterpret_cast<void**>(&pHook))))
                continue;
            HRESULT hr = pHook->Execute(&sei);
            pHook->Release();
            if (hr == S_OK)
                return;
        }
        sei.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC | SEE_MASK_NOCLOSEPROCESS;
        if (ShellExecuteExA(&sei))
            a_started.reset(sei.hProcess);
    });
}

// What no shortcut of the hook can take away from an open: the host creating
// and releasing the hook, and the debug texts the hook writes for it.
void PrintUnavoidable(const CHostWorld& a_world, unsigned a_uRuns, double a_dOpen)
{
    const CLSID& clsid = CLSID_DocHook;
    a_world.List(true);
    std::vector<std::string> texts;
    {
        vmtest::DebugCapture capture;
        vm::UniqueNullHandle started;
        OpenInHost(a_world.File(), started);
        texts = capture.Texts();
    }
    std::vector<double> creation, writing;
    for (unsigned i = 0; i < a_uRuns; ++i) {
        creation.push_back(Milliseconds([&] {
            IShellExecuteHookA* pHook = nullptr;
            if (SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExecuteHookA,
                                           reinterpret_cast<void**>(&pHook))))
                pHook->Release();
        }));
        writing.push_back(Milliseconds([&] {
            for (const std::string& strText : texts)
                OutputDebugStringA(strText.c_str());
        }));
    }
    double dCreation = Median(creation), dWriting = Median(writing);
    std::printf("  of which unavoidable: creating the hook %.2f ms, its %u debug texts %.2f ms, "
                "together %.1f%% of an open without the hook\n",
                dCreation, static_cast<unsigned>(texts.size()), dWriting,
                a_dOpen > 0 ? (dCreation + dWriting) * 100 / a_dOpen : 0);
}

} // namespace

void BenchHostProcesses(unsigned a_uRuns)
{
    CHostWorld world;
    if (!world.Ready()) {
        std::printf("cannot open the hooks key\n");
        return;
    }
    std::string strCommand = "\"" + vmtest::BinDir() + "\\shellexec.exe\" --verb open \"" + world.File() + "\"";
    std::vector<double> with, without;
    Alternate(world, a_uRuns, [&] { return RunHostOnce(strCommand); }, with, without);
    PrintRatio("shell host, one open per host process", a_uRuns, with, without);
}

void BenchHostRequests(unsigned a_uRuns)
{
    CHostWorld world;
    if (!world.Ready() || FAILED(CoInitialize(nullptr))) {
        std::printf("cannot set up the host\n");
        return;
    }
    std::vector<double> with, without;
    Alternate(world, a_uRuns, [&] {
        vm::UniqueNullHandle started;
        double dTime = OpenInHost(world.File(), started);
        // The application ends by itself; waited for outside the time, so
        // that opens do not pile up.
        if (started)
            WaitForSingleObject(started.get(), 30000);
        return dTime;
    }, with, without);
    PrintRatio("shell host, opens in one host process", a_uRuns, with, without);
    PrintUnavoidable(world, a_uRuns, Median(without));
    CoUninitialize();
}

} // namespace vmbench
