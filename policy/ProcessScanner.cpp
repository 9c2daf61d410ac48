#include "policy/ProcessScanner.h"

#include "policy/Toolhelp.h"
#include "trace/FaultGuard.h"
#include "trace/Trace.h"

#include <shlwapi.h>

#include <cstring>
#include <new>

namespace {

// Runs a_fn under the fault guard and turns a C++ exception into a failed
// run as well: nothing may unwind through the guard's frame, which stays
// registered at fs:[0] until the guarded call returns.
template <typename Fn>
bool RunWalkGuarded(Fn& a_fn)
{
    struct Context {
        Fn* m_pFn;
        bool m_bThrew;
    } context{&a_fn, false};
    bool bCompleted = vm::RunGuarded(
        [](void* a_pContext) {
            auto* pContext = static_cast<Context*>(a_pContext);
            try {
                (*pContext->m_pFn)();
            } catch (...) {
                pContext->m_bThrew = true;
            }
        },
        &context);
    return bCompleted && !context.m_bThrew;
}

} // namespace

namespace policy {

int GetAppList(const std::string& a_strAppName, AppProcessQueue& a_queue)
{
    // The snapshot lives outside the guarded walk: a fault skips the walk's
    // frames, never the destructor that closes the handle.
    CToolhelpSnapshot snapshot;
    const char* szAppName = a_strAppName.c_str();
    auto walk = [&]() {
        snapshot.Create(c_dwSnapProcesses, 0);
        PROCESSENTRY32 entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL bMore = snapshot.ProcessFirst(&entry); bMore;
             bMore = snapshot.Functions().Process32Next(snapshot.Handle(), &entry)) {
            if (lstrcmpiA(PathFindFileNameA(entry.szExeFile), szAppName) != 0)
                continue;
            auto pApp = std::make_unique<AppProcessEntry>();
            pApp->th32ProcessID = entry.th32ProcessID;
            lstrcpynA(pApp->szExeFile, entry.szExeFile, sizeof(pApp->szExeFile));
            a_queue.push_back(std::move(pApp));
        }
    };
    bool bCompleted = RunWalkGuarded(walk);
    snapshot.Close();
    return bCompleted ? static_cast<int>(a_queue.size()) : 0;
}

bool CheckModule(const std::string& a_strInjectionDll, DWORD a_dwProcessId)
{
    CToolhelpSnapshot snapshot;
    vm::CPsapiModuleList modules;
    const char* szPlugin = PathFindFileNameA(a_strInjectionDll.c_str());
    bool bFound = false;
    bool bTaken = false;
    auto walk = [&]() {
        bTaken = snapshot.Create(c_dwSnapModules, a_dwProcessId);
        MODULEENTRY32 entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL bMore = snapshot.ModuleFirst(&entry); bMore;
             bMore = snapshot.Functions().Module32Next(snapshot.Handle(), &entry)) {
            if (lstrcmpiA(PathFindFileNameA(entry.szModule), szPlugin) == 0) {
                bFound = true;
                return;
            }
        }
    };
    auto listThroughPsapi = [&]() {
        bFound = modules.List(a_dwProcessId) && modules.Any([&](const char* a_szPath) {
            return lstrcmpiA(PathFindFileNameA(a_szPath), szPlugin) == 0;
        });
    };
    // A walk ended by a fault counts as "plug-in not seen", whatever it saw.
    bool bCompleted = RunWalkGuarded(walk);
    snapshot.Close();
    if (bCompleted && !bTaken && vm::c_bSeesOtherBitness)
        bCompleted = RunWalkGuarded(listThroughPsapi);
    return bCompleted && bFound;
}

bool IsInjectableApplication(const CRequestState& a_request)
{
    AppProcessQueue queue;
    int nCount = GetAppList(a_request.m_strAppName, queue);
    TraceAlways("%s GetAppList -> count[%d], m_bDDEOpen[%d]", a_request.m_strAppName.c_str(), nCount,
                a_request.m_bDDEOpen);
    if (nCount == 0 || !a_request.m_bDDEOpen)
        return true;

    // Written before each call that may fault, so a caught fault leaves
    // what the walk had found so far.
    volatile bool bInjected = false;
    auto walk = [&]() {
        TraceSwitchable("queue size[%d]", static_cast<int>(queue.size()));
        for (const auto& pEntry : queue) {
            DWORD dwProcessId = pEntry->th32ProcessID;
            bool bCarriesPlugin = CheckModule(a_request.m_strInjectionDll, dwProcessId);
            TraceAlways("bInjected[%d] -> CheckModule(%d)", bInjected ? 1 : 0,
                        static_cast<int>(dwProcessId));
            if (!bCarriesPlugin)
                break;
            bInjected = true;
            TraceAlways("process id(%d) already injected. skip.\n", static_cast<int>(dwProcessId));
        }
    };
    if (!RunWalkGuarded(walk))
        TraceAlways("[CLxShellExt::IsInjectableApplication] -> execption occurred!!");
    queue.clear();
    return !bInjected;
}

} // namespace policy
