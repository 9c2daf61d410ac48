#include "module/ClassFactory.h"

#include "common/LockGuard.h"
#include "module/DocHook.h"
#include "module/DryRunHook.h"
#include "module/ModuleState.h"

#include <new>

namespace {

using CreateFn = HRESULT (*)(IUnknown* a_pUnkOuter, REFIID a_riid, void** a_ppv);

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(CreateFn a_pfnCreate) : m_pfnCreate(a_pfnCreate) {}

    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override
    {
        if (!a_ppv)
            return E_POINTER;
        if (IsEqualIID(a_riid, IID_IUnknown) || IsEqualIID(a_riid, IID_IClassFactory)) {
            *a_ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *a_ppv = nullptr;
        return E_NOINTERFACE;
    }

    // The module keeps one reference of its own; every reference beyond it is
    // held from outside and keeps the module loaded.
    STDMETHODIMP_(ULONG) AddRef() override
    {
        LONG cRef = InterlockedIncrement(&m_cRef);
        if (cRef == 2)
            ModuleAddRef();
        return cRef;
    }

    STDMETHODIMP_(ULONG) Release() override
    {
        LONG cRef = InterlockedDecrement(&m_cRef);
        if (cRef == 1)
            ModuleRelease();
        if (cRef == 0)
            delete this;
        return cRef;
    }

    STDMETHODIMP CreateInstance(IUnknown* a_pUnkOuter, REFIID a_riid, void** a_ppv) override
    {
        if (!a_ppv)
            return E_POINTER;
        *a_ppv = nullptr;
        if (a_pUnkOuter && !IsEqualIID(a_riid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        return m_pfnCreate(a_pUnkOuter, a_riid, a_ppv);
    }

    STDMETHODIMP LockServer(BOOL a_bLock) override
    {
        if (a_bLock)
            ModuleAddRef();
        else
            ModuleRelease();
        return S_OK;
    }

private:
    ~CClassFactory() = default;
    CreateFn m_pfnCreate;
    LONG m_cRef = 1;
};

struct ServedClass {
    const CLSID* m_pclsid;
    CreateFn m_pfnCreate;
    CClassFactory* m_pFactory; // created on first request, under the lock
};

SRWLOCK s_factoryLock = SRWLOCK_INIT;
// The table ends with an empty row.
ServedClass s_classes[] = {
    {&CLSID_DocHook, &CDocHook::Create, nullptr},
    {&CLSID_DocHookDryRun, &CDocHookDryRun::Create, nullptr},
    {},
};

} // namespace

HRESULT GetServedClassObject(REFCLSID a_rclsid, REFIID a_riid, void** a_ppv)
{
    ServedClass* pClass = s_classes;
    while (pClass->m_pclsid && !IsEqualCLSID(a_rclsid, *pClass->m_pclsid))
        ++pClass;
    if (!pClass->m_pclsid)
        return CLASS_E_CLASSNOTAVAILABLE;
    CClassFactory* pFactory = nullptr;
    {
        vm::CLockGuard lock(s_factoryLock);
        if (!pClass->m_pFactory)
            pClass->m_pFactory = new (std::nothrow) CClassFactory(pClass->m_pfnCreate);
        pFactory = pClass->m_pFactory;
    }
    if (!pFactory)
        return E_OUTOFMEMORY;
    return pFactory->QueryInterface(a_riid, a_ppv);
}

void ReleaseCachedClassObjects()
{
    for (ServedClass* pClass = s_classes; pClass->m_pclsid; ++pClass) {
        CClassFactory* pFactory = nullptr;
        {
            vm::CLockGuard lock(s_factoryLock);
            pFactory = pClass->m_pFactory;
            pClass->m_pFactory = nullptr;
        }
        if (pFactory)
            pFactory->Release();
    }
}
