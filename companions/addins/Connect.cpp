// The add-in's connection object: Office creates it by the add-in's ProgID
// and drives it through IDTExtensibility2. Its enforcement work is not here;
// it announces each connection and disconnection on the debugger output, with
// the host application's name, so an administrator can see Office load it.

#include "companions/addins/AddinIdentity.h"
#include "companions/addins/AddinModule.h"
#include "common/RefCounted.h"

#include "Extensibility_h.h"

#include <oleauto.h>
#include <shlwapi.h>

#include <new>

namespace {

constexpr int c_cchHostName = 128;

// The host's name as its Application object tells it ("Name" property), or
// "(unknown host)" when the object says nothing.
void GetHostName(IDispatch* a_pApplication, char (&a_szName)[c_cchHostName])
{
    lstrcpynA(a_szName, "(unknown host)", c_cchHostName);
    if (!a_pApplication)
        return;
    OLECHAR wszProperty[] = L"Name";
    LPOLESTR pszNames[] = {wszProperty};
    DISPID dispid = DISPID_UNKNOWN;
    if (FAILED(a_pApplication->GetIDsOfNames(IID_NULL, pszNames, 1, LOCALE_USER_DEFAULT, &dispid)))
        return;
    DISPPARAMS noArgs = {};
    VARIANT result;
    VariantInit(&result);
    if (SUCCEEDED(a_pApplication->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT,
                                         DISPATCH_PROPERTYGET, &noArgs, &result, nullptr, nullptr)) &&
        SUCCEEDED(VariantChangeType(&result, &result, 0, VT_BSTR)) && result.bstrVal &&
        WideCharToMultiByte(CP_ACP, 0, result.bstrVal, -1, a_szName, c_cchHostName, nullptr,
                            nullptr) == 0) {
        // Too long for the buffer: a cut name says less than none.
        lstrcpynA(a_szName, "(unknown host)", c_cchHostName);
    }
    VariantClear(&result);
}

class CConnect final : public vm::CRefCounted<IDTExtensibility2> {
public:
    CConnect() { AddinModuleAddRef(); }

    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override
    {
        static const QITAB c_interfaces[] = {QITABENT(CConnect, IDTExtensibility2),
                                             QITABENTMULTI(CConnect, IDispatch, IDTExtensibility2), {}};
        return QISearch(this, c_interfaces, a_riid, a_ppv);
    }

    // The dispatch half is served from the interface's description that the
    // module carries, so a script host sees the same five methods.
    STDMETHODIMP GetTypeInfoCount(UINT* a_pcInfo) override
    {
        if (!a_pcInfo)
            return E_POINTER;
        *a_pcInfo = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT a_iInfo, LCID, ITypeInfo** a_ppInfo) override
    {
        if (!a_ppInfo)
            return E_POINTER;
        *a_ppInfo = nullptr;
        if (a_iInfo != 0)
            return DISP_E_BADINDEX;
        HRESULT hr = LoadTypeInfo();
        if (FAILED(hr))
            return hr;
        m_pTypeInfo->AddRef();
        *a_ppInfo = m_pTypeInfo;
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* a_pszNames, UINT a_cNames, LCID,
                               DISPID* a_pDispIds) override
    {
        HRESULT hr = LoadTypeInfo();
        return FAILED(hr) ? hr : DispGetIDsOfNames(m_pTypeInfo, a_pszNames, a_cNames, a_pDispIds);
    }
    STDMETHODIMP Invoke(DISPID a_dispid, REFIID a_riid, LCID, WORD a_wFlags, DISPPARAMS* a_pParams,
                        VARIANT* a_pResult, EXCEPINFO* a_pExcepInfo, UINT* a_piArgErr) override
    {
        if (!IsEqualIID(a_riid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        HRESULT hr = LoadTypeInfo();
        if (FAILED(hr))
            return hr;
        return DispInvoke(static_cast<IDTExtensibility2*>(this), m_pTypeInfo, a_dispid, a_wFlags,
                          a_pParams, a_pResult, a_pExcepInfo, a_piArgErr);
    }

    STDMETHODIMP OnConnection(IDispatch* a_pApplication, ext_ConnectMode a_mode, IDispatch*,
                              SAFEARRAY**) override
    {
        GetHostName(a_pApplication, m_szHost);
        TraceAddin("[%s] connected to %s (connect mode %d)", c_addin.m_szProgId, m_szHost,
                   static_cast<int>(a_mode));
        return S_OK;
    }
    STDMETHODIMP OnDisconnection(ext_DisconnectMode a_mode, SAFEARRAY**) override
    {
        TraceAddin("[%s] disconnected from %s (disconnect mode %d)", c_addin.m_szProgId, m_szHost,
                   static_cast<int>(a_mode));
        return S_OK;
    }
    STDMETHODIMP OnAddInsUpdate(SAFEARRAY**) override { return S_OK; }
    STDMETHODIMP OnStartupComplete(SAFEARRAY**) override { return S_OK; }
    STDMETHODIMP OnBeginShutdown(SAFEARRAY**) override { return S_OK; }

private:
    ~CConnect() override
    {
        if (m_pTypeInfo)
            m_pTypeInfo->Release();
        AddinModuleRelease();
    }

    HRESULT LoadTypeInfo()
    {
        if (m_pTypeInfo)
            return S_OK;
        WCHAR wszPath[MAX_PATH];
        DWORD cch = GetModuleFileNameW(g_hAddinInstance, wszPath, MAX_PATH);
        if (cch == 0 || cch >= MAX_PATH)
            return E_FAIL;
        ITypeLib* pLib = nullptr;
        HRESULT hr = LoadTypeLibEx(wszPath, REGKIND_NONE, &pLib);
        if (FAILED(hr))
            return hr;
        hr = pLib->GetTypeInfoOfGuid(IID_IDTExtensibility2, &m_pTypeInfo);
        pLib->Release();
        return hr;
    }

    ITypeInfo* m_pTypeInfo = nullptr;
    char m_szHost[c_cchHostName] = "(not connected)";
};

} // namespace

HRESULT CreateConnect(REFIID a_riid, void** a_ppv)
{
    CConnect* pConnect = new (std::nothrow) CConnect();
    if (!pConnect)
        return E_OUTOFMEMORY;
    HRESULT hr = pConnect->QueryInterface(a_riid, a_ppv);
    pConnect->Release();
    return hr;
}
