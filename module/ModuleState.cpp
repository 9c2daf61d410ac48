#include "module/ModuleState.h"

#include "common/LockGuard.h"
#include "module/ClassFactory.h"
#include "module/Guids.h"

HINSTANCE g_hInstance = nullptr;

namespace {

LONG s_cLocks = 0;
SRWLOCK s_typeInfoLock = SRWLOCK_INIT;
ITypeInfo* s_pTypeInfo = nullptr;

} // namespace

std::string GetOwnModulePath()
{
    char szPath[MAX_PATH] = {};
    DWORD cch = GetModuleFileNameA(g_hInstance, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return std::string();
    return std::string(szPath, cch);
}

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
    ReleaseCachedClassObject();
    if (s_pTypeInfo) {
        s_pTypeInfo->Release();
        s_pTypeInfo = nullptr;
    }
}
