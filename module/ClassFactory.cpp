#include "module/ClassFactory.h"

#include "common/LockGuard.h"
#include "module/DocHook.h"
#include "module/ModuleState.h"

#include <new>

namespace {

class CDocHookFactory final : public IClassFactory {
public:
    CDocHookFactory() = default;

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
        return CDocHook::Create(a_pUnkOuter, a_riid, a_ppv);
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
    ~CDocHookFactory() = default;
    LONG m_cRef = 1;
};

SRWLOCK s_factoryLock = SRWLOCK_INIT;
CDocHookFactory* s_pFactory = nullptr;

} // namespace

HRESULT GetDocHookClassObject(REFIID a_riid, void** a_ppv)
{
    CDocHookFactory* pFactory = nullptr;
    {
        vm::CLockGuard lock(s_factoryLock);
        if (!s_pFactory)
            s_pFactory = new (std::nothrow) CDocHookFactory();
        pFactory = s_pFactory;
    }
    if (!pFactory)
        return E_OUTOFMEMORY;
    return pFactory->QueryInterface(a_riid, a_ppv);
}

void ReleaseCachedClassObject()
{
    CDocHookFactory* pFactory = nullptr;
    {
        vm::CLockGuard lock(s_factoryLock);
        pFactory = s_pFactory;
        s_pFactory = nullptr;
    }
    if (pFactory)
        pFactory->Release();
}
