// DLL entry and the four exports of the in-process server.

#include "common/AuditTrail.h"
#include "common/HandleText.h"
#include "module/ClassFactory.h"
#include "module/Guids.h"
#include "module/ModuleState.h"
#include "registration/SelfRegistration.h"
#include "trace/Trace.h"

#include <olectl.h>
#include <shlwapi.h>

namespace {

// The module's registered classes: the production hook, always registered
// (it has no description that would exclude it). The dry run's class is
// served but deliberately not registered.
struct ClassEntry {
    const CLSID* m_pclsid;
    HRESULT (*m_pfnRegister)(BOOL a_bRegister);
};

const ClassEntry c_classes[] = {
    {&CLSID_DocHook, RegisterDocHookClass},
};

void TraceHostProcess(HINSTANCE a_hInstance)
{
    char szExe[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA(nullptr), szExe, MAX_PATH);
    TraceSwitchable("vormidmgr dllmain : exe = %s. module handle = " VM_HANDLE_HEX,
                    PathFindFileNameA(szExe), vm::HandleValue(a_hInstance));
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE a_hInstance, DWORD a_dwReason, LPVOID)
{
    TraceHostProcess(a_hInstance);
    if (a_dwReason == DLL_PROCESS_ATTACH) {
        InitModuleState(a_hInstance);
        DisableThreadLibraryCalls(a_hInstance);
        TraceSwitchable("vormidmgr dllmain -> DLL_PROCESS_ATTACH");
    } else if (a_dwReason == DLL_PROCESS_DETACH) {
        ReleaseCachedClassObjects();
        TermModuleState();
        TraceSwitchable("vormidmgr dllmain -> DLL_PROCESS_DETACH");
    }
    return TRUE;
}

STDAPI DllCanUnloadNow()
{
    return ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID a_rclsid, REFIID a_riid, void** a_ppv)
{
    if (!a_ppv)
        return E_POINTER;
    *a_ppv = nullptr;
    return GetServedClassObject(a_rclsid, a_riid, a_ppv);
}

STDAPI DllRegisterServer()
{
    for (const ClassEntry& entry : c_classes) {
        HRESULT hr = entry.m_pfnRegister(TRUE);
        if (FAILED(hr))
            return hr;
    }
    HRESULT hr = RegisterOwnTypeLibrary();
    if (FAILED(hr))
        return hr;
    // This module holds the audit trail's messages.
    return vm::RegisterAuditSource(GetOwnModulePath()) ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer()
{
    for (const ClassEntry& entry : c_classes)
        entry.m_pfnRegister(FALSE);
    UnregisterOwnTypeLibrary();
    vm::UnregisterAuditSource();
    return S_OK;
}
