// A COM add-in that Office can create but that refuses to connect, as an
// add-in does whose own start-up fails. The tests register it by hand under
// any ProgID and class id; it serves every class id it is asked for.

#include "common/RefCounted.h"

#include "Extensibility_h.h"

#include <shlwapi.h>

#include <new>

namespace {

class CRefusingAddin final : public vm::CRefCounted<IDTExtensibility2> {
public:
    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override
    {
        static const QITAB c_interfaces[] = {QITABENT(CRefusingAddin, IDTExtensibility2),
                                             QITABENTMULTI(CRefusingAddin, IDispatch, IDTExtensibility2), {}};
        return QISearch(this, c_interfaces, a_riid, a_ppv);
    }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP OnConnection(IDispatch*, ext_ConnectMode, IDispatch*, SAFEARRAY**) override { return E_FAIL; }
    STDMETHODIMP OnDisconnection(ext_DisconnectMode, SAFEARRAY**) override { return S_OK; }
    STDMETHODIMP OnAddInsUpdate(SAFEARRAY**) override { return S_OK; }
    STDMETHODIMP OnStartupComplete(SAFEARRAY**) override { return S_OK; }
    STDMETHODIMP OnBeginShutdown(SAFEARRAY**) override { return S_OK; }
};

class CRefusingFactory final : public vm::CRefCounted<IClassFactory> {
public:
    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override
    {
        static const QITAB c_interfaces[] = {QITABENT(CRefusingFactory, IClassFactory), {}};
        return QISearch(this, c_interfaces, a_riid, a_ppv);
    }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID a_riid, void** a_ppv) override
    {
        CRefusingAddin* pAddin = new (std::nothrow) CRefusingAddin();
        if (!pAddin)
            return E_OUTOFMEMORY;
        HRESULT hr = pAddin->QueryInterface(a_riid, a_ppv);
        pAddin->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID a_riid, void** a_ppv)
{
    CRefusingFactory* pFactory = new (std::nothrow) CRefusingFactory();
    if (!pFactory)
        return E_OUTOFMEMORY;
    HRESULT hr = pFactory->QueryInterface(a_riid, a_ppv);
    pFactory->Release();
    return hr;
}

// Loaded by COM until the host ends its apartment.
extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}
