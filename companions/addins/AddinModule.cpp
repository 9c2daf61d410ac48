// The add-in module's entry and COM exports: one class, served to whoever
// asks for the add-in's class id (Office, by its ProgID).

#include "companions/addins/AddinIdentity.h"
#include "companions/addins/AddinModule.h"
#include "common/RefCounted.h"

#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <new>

HINSTANCE g_hAddinInstance = nullptr;

namespace {

LONG s_cLocks = 0;
constexpr int c_cchTrace = 512;

class CConnectFactory final : public vm::CRefCounted<IClassFactory> {
public:
    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override
    {
        static const QITAB c_interfaces[] = {QITABENT(CConnectFactory, IClassFactory), {}};
        return QISearch(this, c_interfaces, a_riid, a_ppv);
    }
    STDMETHODIMP CreateInstance(IUnknown* a_pUnkOuter, REFIID a_riid, void** a_ppv) override
    {
        if (!a_ppv)
            return E_POINTER;
        *a_ppv = nullptr;
        if (a_pUnkOuter)
            return CLASS_E_NOAGGREGATION;
        return CreateConnect(a_riid, a_ppv);
    }
    STDMETHODIMP LockServer(BOOL a_bLock) override
    {
        if (a_bLock)
            AddinModuleAddRef();
        else
            AddinModuleRelease();
        return S_OK;
    }

    static CConnectFactory* Create()
    {
        CConnectFactory* pFactory = new (std::nothrow) CConnectFactory();
        if (pFactory)
            AddinModuleAddRef();
        return pFactory;
    }

private:
    CConnectFactory() = default;
    ~CConnectFactory() override { AddinModuleRelease(); }
};

} // namespace

void AddinModuleAddRef()
{
    InterlockedIncrement(&s_cLocks);
}

void AddinModuleRelease()
{
    InterlockedDecrement(&s_cLocks);
}

std::string GetAddinModulePath()
{
    char szPath[MAX_PATH];
    DWORD cch = GetModuleFileNameA(g_hAddinInstance, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return std::string();
    return std::string(szPath, cch);
}

void TraceAddin(const char* a_szFormat, ...)
{
    char szText[c_cchTrace];
    va_list args;
    va_start(args, a_szFormat);
    vsnprintf(szText, sizeof(szText), a_szFormat, args);
    va_end(args);
    OutputDebugStringA(szText);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE a_hInstance, DWORD a_dwReason, LPVOID)
{
    if (a_dwReason == DLL_PROCESS_ATTACH) {
        g_hAddinInstance = a_hInstance;
        DisableThreadLibraryCalls(a_hInstance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return s_cLocks == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID a_rclsid, REFIID a_riid, void** a_ppv)
{
    if (!a_ppv)
        return E_POINTER;
    *a_ppv = nullptr;
    if (!IsEqualCLSID(a_rclsid, c_addin.m_clsid))
        return CLASS_E_CLASSNOTAVAILABLE;
    CConnectFactory* pFactory = CConnectFactory::Create();
    if (!pFactory)
        return E_OUTOFMEMORY;
    HRESULT hr = pFactory->QueryInterface(a_riid, a_ppv);
    pFactory->Release();
    return hr;
}
