#include "module/ModuleState.h"

#include "common/LockGuard.h"
#include "module/Guids.h"

namespace {

LONG s_cLocks = 0;
SRWLOCK s_typeInfoLock = SRWLOCK_INIT;
ITypeInfo* s_pTypeInfo = nullptr;

} // namespace

void ModuleAddRef()
{
    InterlockedIncrement(&s_cLocks);
}

void ModuleRelease()
{
    InterlockedDecrement(&s_cLocks);
}

LONG ModuleLockCount()
{
    return InterlockedCompareExchange(&s_cLocks, 0, 0);
}

HRESULT GetDocHookTypeInfo(ITypeInfo** a_ppTypeInfo)
{
    *a_ppTypeInfo = nullptr;
    vm::CLockGuard lock(s_typeInfoLock);
    HRESULT hr = S_OK;
    if (!s_pTypeInfo) {
        ITypeLib* pTypeLib = nullptr;
        hr = LoadRegTypeLib(LIBID_VORMIDMGRLib, c_wTypeLibMajor, c_wTypeLibMinor, LOCALE_NEUTRAL,
                            &pTypeLib);
        if (SUCCEEDED(hr)) {
            hr = pTypeLib->GetTypeInfoOfGuid(IID_IDocHook, &s_pTypeInfo);
            pTypeLib->Release();
        }
    }
    if (s_pTypeInfo) {
        s_pTypeInfo->AddRef();
        *a_ppTypeInfo = s_pTypeInfo;
    }
    return hr;
}

void InitModuleState(HINSTANCE a_hInstance)
{
    g_hInstance = a_hInstance;
}

void TermModuleState()
{
    if (s_pTypeInfo) {
        s_pTypeInfo->Release();
        s_pTypeInfo = nullptr;
    }
}
