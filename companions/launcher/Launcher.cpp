// vormidmgr.exe: starts the application named on its command line with the
// enforcement plug-in loaded before the application's first instruction runs.
// Failures go to the debugger output and to a non-zero exit code (listed in
// LaunchCommand.h); an application is never left running without its plug-in.

#include "companions/launcher/Bitness.h"
#include "companions/launcher/LaunchCommand.h"
#include "companions/launcher/LauncherUsage.h"

#include "common/AuditTrail.h"
#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "common/InstalledProduct.h"
#include "common/PolicyHandOver.h"
#include "common/ProcessStart.h"
#include "common/ProcessModules.h"
#include "common/TrustedProgram.h"
#include "companions/cipher/ccfformat.h"
#include "companions/cipher/cipher.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using namespace vmlaunch;

constexpr DWORD c_dwLoadTimeoutMs = c_dwPluginLoadTimeoutMs;
// The other build's launcher waits at most that long for its own plug-in load
// and for the end of an application that did not take it.
constexpr DWORD c_dwHandOverTimeoutMs = 3 * c_dwLoadTimeoutMs;
constexpr wchar_t c_szLauncherFile[] = L"vormidmgr.exe";

void Report(const char* a_szFormat, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));

// The last text reported: the reason of a refusal or failed start, for the
// event the launcher writes when it exits with an error.
std::string g_strLastReport;
// The rule that refused, where a rule did, and the request's text when that
// is at fault: the event names them, and the last report otherwise.
std::wstring g_strRule;
std::wstring g_strRequestText;

void Report(const char* a_szFormat, ...)
{
    char szText[2048];
    int cchPrefix = std::snprintf(szText, sizeof(szText), "[vormidmgr.exe] ");
    va_list args;
    va_start(args, a_szFormat);
    std::vsnprintf(szText + cchPrefix, sizeof(szText) - cchPrefix, a_szFormat, args);
    va_end(args);
    OutputDebugStringA(szText);
    g_strLastReport = szText + cchPrefix;
}

using vm::AnsiRendering;

// The launcher's own path as the system records the image it mapped, not
// the loader's list in the process's own memory.
std::wstring GetOwnPath()
{
    wchar_t szPath[MAX_PATH] = {};
    DWORD cch = MAX_PATH;
    if (!QueryFullProcessImageNameW(GetCurrentProcess(), 0, szPath, &cch) || cch >= MAX_PATH)
        return std::wstring();
    return std::wstring(szPath, cch);
}

// The launcher serves only as a file of the installed product, reading the
// policy through the cipher.dll of that same folder; null when it does, else
// why not.
const char* WhyNotInstalled()
{
    std::wstring strSelf, strFolder, strCipher;
    if (!vm::GetProcessImageFinalPath(strSelf))
        return "its image cannot be opened";
    if (const char* szWhy = vm::WhyNotInstalledFile(strSelf, strFolder))
        return szWhy;
    HMODULE hCipher = GetModuleHandleW(L"cipher.dll");
    if (!hCipher || !vm::GetModuleImageFinalPath(hCipher, strCipher) ||
        lstrcmpiW(strCipher.c_str(), (strFolder + L"\\cipher.dll").c_str()) != 0)
        return "its cipher.dll is not the installed product's";
    return nullptr;
}

// A text lives in the child only while the loading threads read it.
class CRemoteText {
public:
    CRemoteText(HANDLE a_hProcess, const std::wstring& a_strText) : m_hProcess(a_hProcess)
    {
        SIZE_T cb = (a_strText.size() + 1) * sizeof(wchar_t);
        m_pv = VirtualAllocEx(a_hProcess, nullptr, cb, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        SIZE_T cbWritten = 0;
        if (m_pv && (!WriteProcessMemory(a_hProcess, m_pv, a_strText.c_str(), cb, &cbWritten) ||
                     cbWritten != cb)) {
            VirtualFreeEx(a_hProcess, m_pv, 0, MEM_RELEASE);
            m_pv = nullptr;
        }
    }
    ~CRemoteText()
    {
        if (m_pv)
            VirtualFreeEx(m_hProcess, m_pv, 0, MEM_RELEASE);
    }
    CRemoteText(const CRemoteText&) = delete;
    CRemoteText& operator=(const CRemoteText&) = delete;
    void* get() const { return m_pv; }

private:
    HANDLE m_hProcess;
    void* m_pv = nullptr;
};

// The loading thread's exit code is LoadLibraryA's module handle cut to 32
// bits: on x64 a loaded module's handle can end in 32 zero bits. A zero is
// therefore checked against the process's module list.
bool IsLoadedInto(DWORD a_dwProcessId, const std::string& a_strModule)
{
    if (sizeof(void*) == 4)
        return false;
    auto isModule = [&](const char* a_szPath) { return lstrcmpiA(a_szPath, a_strModule.c_str()) == 0; };
    vm::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(vm::c_dwSnapAllModules, a_dwProcessId));
    if (!snapshot) {
        vm::CPsapiModuleList modules;
        return modules.List(a_dwProcessId) && modules.Any(isModule);
    }
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = Module32First(snapshot.get(), &entry); bMore; bMore = Module32Next(snapshot.get(), &entry))
        if (isModule(entry.szExePath))
            return true;
    return false;
}

// Runs a_szFunction of kernel32 with one argument on a thread of its own
// inside the suspended child, and waits for it. kernel32 lies at the same
// address in every process of a session, so our function is the child's.
bool RunInChild(HANDLE a_hProcess, const char* a_szFunction, void* a_pvArgument, DWORD& a_dwResult)
{
    FARPROC pfn = GetProcAddress(GetModuleHandleA("kernel32.dll"), a_szFunction);
    if (!pfn) {
        Report("kernel32 has no %s", a_szFunction);
        return false;
    }
    auto pfnStart = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(pfn));
    vm::UniqueNullHandle thread(CreateRemoteThread(a_hProcess, nullptr, 0, pfnStart, a_pvArgument, 0, nullptr));
    if (!thread) {
        Report("cannot start a thread in the application, error %lu", GetLastError());
        return false;
    }
    if (WaitForSingleObject(thread.get(), c_dwLoadTimeoutMs) != WAIT_OBJECT_0) {
        Report("%s did not finish in the application", a_szFunction);
        // The thread may still read its argument: end the process before it is freed.
        TerminateProcess(a_hProcess, ERROR_TIMEOUT);
        WaitForSingleObject(a_hProcess, c_dwLoadTimeoutMs);
        return false;
    }
    return GetExitCodeThread(thread.get(), &a_dwResult) != FALSE;
}

// Loads the plug-in into the suspended child so that its own imports come
// from its folder, never from the application's current directory: the
// plug-in's folder is made the child's DLL directory (which also takes the
// current directory out of the search) for the time of the load, and the
// child's own search order is given back afterwards.
bool InjectPlugin(HANDLE a_hProcess, const std::wstring& a_strPlugin)
{
    CRemoteText path(a_hProcess, a_strPlugin);
    CRemoteText folder(a_hProcess, a_strPlugin.substr(0, a_strPlugin.find_last_of(L'\\')));
    if (!path.get() || !folder.get()) {
        Report("cannot write the plug-in path into the application, error %lu", GetLastError());
        return false;
    }
    DWORD dwDone = 0, dwModule = 0, dwRestored = 0;
    if (!RunInChild(a_hProcess, "SetDllDirectoryW", folder.get(), dwDone))
        return false;
    if (!dwDone) {
        Report("the plug-in's folder could not be made the application's DLL directory");
        return false;
    }
    if (!RunInChild(a_hProcess, "LoadLibraryW", path.get(), dwModule) ||
        !RunInChild(a_hProcess, "SetDllDirectoryW", nullptr, dwRestored))
        return false;
    if (dwModule == 0 && !IsLoadedInto(GetProcessId(a_hProcess), AnsiRendering(a_strPlugin))) {
        Report("the plug-in did not load: %s", AnsiRendering(a_strPlugin).c_str());
        return false;
    }
    return true;
}

// The policy the hook handed over (common/PolicyHandOver.h), taken from the
// standard input before anything else runs.
std::string g_strHandedOverPolicy;
bool g_bPolicyHandedOver = false;

// The policy as cipher.dll reads it: a field reader while it is usable. Only
// when another program holds the installed file open without sharing is the
// policy the hook handed over read instead: the hook decided by it. A file
// that is missing or broken is never replaced by a hand-over.
class CPolicy {
public:
    CPolicy() : m_installed(CcfInstalledPolicy())
    {
        if (m_installed.CheckCCFValidity() == 0)
            return;
        m_strPath = vm::PolicyPathOfLoadedCipher(cipherfmt::c_szCcfFileName);
        if (!vm::IsHeldOpenByAnother(m_strPath.c_str()))
            return;
        m_bHeld = true;
        if (g_bPolicyHandedOver)
            m_pHandedOver =
                std::make_unique<CCCF>(CcfPolicyBytes{g_strHandedOverPolicy.data(), g_strHandedOverPolicy.size()});
    }
    CPolicy(const CPolicy&) = delete;
    CPolicy& operator=(const CPolicy&) = delete;

    vm::PolicyFieldReader Reader()
    {
        CCCF* pCcf = m_pHandedOver ? m_pHandedOver.get() : &m_installed;
        if (pCcf->CheckCCFValidity() != 0)
            return vm::PolicyFieldReader();
        return [pCcf](const char* a_szName) { return pCcf->GetField(a_szName); };
    }
    // The installed file held by another program and no usable hand-over:
    // what refused is that, not a missing policy.
    bool IsHeldWithoutHandOver() const
    {
        return m_bHeld && (!m_pHandedOver || m_pHandedOver->CheckCCFValidity() != 0);
    }
    // Said in the log once per decision by a hand-over: the file was held,
    // and the hook's policy decided.
    void ReportHandOverUsed() const
    {
        if (m_bHeld && !IsHeldWithoutHandOver())
            vm::ReportPolicyState(m_strPath, false,
                                  "held open by another program; the launcher decided by the policy the hook "
                                  "decided by, handed over to it");
    }

private:
    CCCF m_installed;
    std::string m_strPath;
    bool m_bHeld = false;
    std::unique_ptr<CCCF> m_pHandedOver;
};

constexpr char c_szHeldWithoutHandOver[] = "the policy file is held open by another program and no policy was "
                                           "handed over";

// The trust rule on a program, by its final path; refusals are reported.
bool MayReceivePlugin(const std::wstring& a_strProgram, const std::wstring& a_strPlugin)
{
    CPolicy policy;
    vm::ProgramTrust trust = vm::CheckProgramForPlugin(a_strProgram, a_strPlugin, policy.Reader());
    if (trust == vm::ProgramTrust::Trusted) {
        policy.ReportHandOverUsed();
        return true;
    }
    const char* szWhy = policy.IsHeldWithoutHandOver() ? c_szHeldWithoutHandOver : vm::DescribeProgramTrust(trust);
    g_strRule = vm::WideFromAnsi(szWhy);
    Report("%s may not receive %s: %s; nothing started", AnsiRendering(a_strProgram).c_str(),
           AnsiRendering(a_strPlugin).c_str(), szWhy);
    return false;
}

// Every check is done before this: a refused request starts nothing. The
// program is judged by its final path while it is held, started by that
// path, and its process checked against the held file: nothing between the
// judgement and the start can put another program in its place.
int Launch(const LaunchRequest& a_request)
{
    vm::CHeldProgram program;
    if (const char* szWhy = program.Hold(a_request.strApplicationPath)) {
        g_strRule = vm::WideFromAnsi(szWhy);
        Report("%s may not receive %s: %s; nothing started", AnsiRendering(a_request.strApplicationPath).c_str(),
               AnsiRendering(a_request.strPluginPath).c_str(), szWhy);
        return c_nExitUntrustedProgram;
    }
    if (!MayReceivePlugin(program.FinalPath(), a_request.strPluginPath))
        return c_nExitUntrustedProgram;
    const wchar_t* szDirectory = a_request.strDirectory.empty() ? nullptr : a_request.strDirectory.c_str();
    vm::UniqueProcessInfo process;
    if (!vm::StartProgram(program.FinalPath(), a_request.strCommandLine, CREATE_SUSPENDED, szDirectory, process)) {
        Report("cannot start %s, error %lu", AnsiRendering(program.FinalPath()).c_str(), GetLastError());
        return c_nExitStartFailed;
    }
    HANDLE hProcess = process.get().hProcess;
    if (!program.IsImageOf(hProcess)) {
        Report("the process of %s runs another image than the program judged; ended",
               AnsiRendering(program.FinalPath()).c_str());
        TerminateProcess(hProcess, ERROR_ACCESS_DENIED);
        WaitForSingleObject(hProcess, c_dwLoadTimeoutMs);
        return c_nExitUntrustedProgram;
    }
    if (!InjectPlugin(hProcess, a_request.strPluginPath) ||
        ResumeThread(process.get().hThread) == static_cast<DWORD>(-1)) {
        TerminateProcess(hProcess, ERROR_DLL_INIT_FAILED);
        WaitForSingleObject(hProcess, c_dwLoadTimeoutMs);
        return c_nExitInjectionFailed;
    }
    return c_nExitStarted;
}

const char* BitnessText(WORD a_wMachine)
{
    return a_wMachine == IMAGE_FILE_MACHINE_AMD64 ? "64-bit" : "32-bit";
}

// The application is of the other bitness: the other build's launcher starts
// it with the same plug-in file of its own folder, and its answer is ours.
int HandOver(const LaunchRequest& a_request, const std::wstring& a_strOwnFolder, WORD a_wMachine)
{
    std::wstring strFolder = GetOtherBuildFolder(a_strOwnFolder);
    std::wstring strLauncher = strFolder.empty() ? std::wstring() : strFolder + c_szLauncherFile;
    std::string strApplication = AnsiRendering(a_request.strApplicationPath);
    if (!IsExistingFile(strLauncher)) {
        Report("%s is a %s program and no launcher of that build is installed (%s); nothing started",
               strApplication.c_str(), BitnessText(a_wMachine),
               strLauncher.empty() ? "no x64 folder" : AnsiRendering(strLauncher).c_str());
        return c_nExitNoMatchingBuild;
    }
    std::wstring strPlugin = SameFileIn(strFolder, a_request.strPluginPath);
    if (!IsExistingFile(strPlugin)) {
        Report("%s is a %s program and its build has no plug-in %s; nothing started",
               strApplication.c_str(), BitnessText(a_wMachine), AnsiRendering(strPlugin).c_str());
        return c_nExitNoPlugin;
    }
    if (!MayReceivePlugin(a_request.strApplicationPath, strPlugin))
        return c_nExitUntrustedProgram;
    std::wstring strCommand = L"\"" + strLauncher + L"\" " + a_request.strApplicationCommand +
                              c_szArgumentMark + strPlugin + a_request.strAfterPlugin;
    // That launcher decides by the same policy: the one handed over goes on.
    vm::UniqueNullHandle policy;
    if (g_bPolicyHandedOver)
        policy = vm::MakePolicySection(g_strHandedOverPolicy.data(), g_strHandedOverPolicy.size());
    vm::UniqueProcessInfo process;
    if (!vm::StartProgramWithPolicy(strLauncher, strCommand, 0, nullptr, policy.get(), process)) {
        Report("cannot start %s, error %lu", AnsiRendering(strLauncher).c_str(), GetLastError());
        return c_nExitStartFailed;
    }
    Report("%s is a %s program: handed to %s with %s", strApplication.c_str(),
           BitnessText(a_wMachine), AnsiRendering(strLauncher).c_str(), AnsiRendering(strPlugin).c_str());
    g_strLastReport.clear(); // that launcher writes its own refusals
    DWORD dwExit = c_nExitStartFailed;
    if (WaitForSingleObject(process.get().hProcess, c_dwHandOverTimeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.get().hProcess, &dwExit)) {
        Report("%s did not answer in time", AnsiRendering(strLauncher).c_str());
        return c_nExitStartFailed;
    }
    return static_cast<int>(dwExit);
}

// The request as the hook gave it; the event of a refusal names it.
int Run(const std::wstring& a_strArguments, const std::wstring& a_strOwnPath, LaunchRequest& a_request)
{
    std::wstring strWhy;
    int nRead = ReadLaunchRequest(a_strArguments, GetFolderOf(a_strOwnPath), a_request, strWhy);
    if (nRead != c_nExitStarted) {
        g_strRule = strWhy;
        g_strRequestText = a_strArguments;
        Report("%s; nothing started", AnsiRendering(strWhy).c_str());
        return nRead;
    }
    if (const char* szWhy = WhyNotInstalled()) {
        g_strRule = vm::WideFromAnsi(std::string("the launcher is no file of the installed product: ") + szWhy);
        Report("%s is no file of the installed product: %s; nothing started", AnsiRendering(a_strOwnPath).c_str(),
               szWhy);
        return c_nExitUntrustedProgram;
    }
    WORD wMachine = ReadImageMachine(a_request.strApplicationPath);
    if (IsProductMachine(wMachine) && wMachine != c_wOwnMachine)
        return HandOver(a_request, GetFolderOf(a_strOwnPath), wMachine);
    return Launch(a_request);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    g_bPolicyHandedOver = vm::TakeHandedOverPolicy(g_strHandedOverPolicy);
    const wchar_t* szCommandLine = GetCommandLineW();
    std::wstring strOwnPath = GetOwnPath();
    std::wstring strArguments = SkipLauncherPath(szCommandLine ? szCommandLine : L"", strOwnPath);
    if (AnswerUsageRequest(strArguments))
        return 0;
    LaunchRequest request;
    int nExit = Run(strArguments, strOwnPath, request);
    if (nExit != c_nExitStarted && !g_strLastReport.empty())
        vm::ReportLauncherRefused({DocumentOfCommand(request.strApplicationCommand, request.strApplicationPath),
                                   request.strApplicationPath, request.strPluginPath,
                                   g_strRule.empty() ? vm::WideFromAnsi(g_strLastReport) : g_strRule, nExit,
                                   g_strRequestText});
    return nExit;
}
