#include "module/DocHook.h"

#include "module/ModuleState.h"
#include "module/RequestOffer.h"

#include <new>

namespace {

struct InterfaceEntry {
    const IID* m_piid;
    int m_nEntry; // 0: IDocHook, 1: IShellExecuteHookA, 2: IDocHookDiagnostics, 3: IShellExecuteHookW
};

// The table ends with an empty row.
const InterfaceEntry c_interfaces[] = {
    {&IID_IDocHook, 0},
    {&IID_IDispatch, 0},
    {&IID_IShellExecuteHookA, 1},
    {&IID_IDocHookDiagnostics, 2},
    {&IID_IShellExecuteHookW, 3},
    {},
};

} // namespace

HRESULT CDocHook::Create(IUnknown* a_pUnkOuter, REFIID a_riid, void** a_ppv)
{
    CDocHook* pHook = new (std::nothrow) CDocHook(a_pUnkOuter);
    if (!pHook)
        return E_OUTOFMEMORY;
    // The query takes its reference; ours goes again, and with it the object
    // when the query failed.
    HRESULT hr = pHook->m_innerUnknown.QueryInterface(a_riid, a_ppv);
    pHook->m_innerUnknown.Release();
    return hr;
}

CDocHook::CDocHook(IUnknown* a_pUnkOuter)
    : m_innerUnknown(this), m_pUnkOuter(a_pUnkOuter ? a_pUnkOuter : &m_innerUnknown)
{
    ModuleAddRef();
}

CDocHook::~CDocHook()
{
    ModuleRelease();
}

HRESULT CDocHook::InnerQueryInterface(REFIID a_riid, void** a_ppv)
{
    if (!a_ppv)
        return E_POINTER;
    *a_ppv = nullptr;
    // An aggregated object answers IUnknown with its own inner unknown, the
    // one its outer object holds; a plain object with its first entry.
    if (IsEqualIID(a_riid, IID_IUnknown) && m_pUnkOuter != &m_innerUnknown) {
        *a_ppv = static_cast<IUnknown*>(&m_innerUnknown);
        m_innerUnknown.AddRef();
        return S_OK;
    }
    if (IsEqualIID(a_riid, IID_IUnknown)) {
        *a_ppv = static_cast<IDocHook*>(this);
        AddRef();
        return S_OK;
    }
    for (const InterfaceEntry* pEntry = c_interfaces; pEntry->m_piid; ++pEntry) {
        if (!IsEqualIID(a_riid, *pEntry->m_piid))
            continue;
        if (pEntry->m_nEntry == 0)
            *a_ppv = static_cast<IDocHook*>(this);
        else if (pEntry->m_nEntry == 1)
            *a_ppv = static_cast<IShellExecuteHookA*>(this);
        else if (pEntry->m_nEntry == 3)
            *a_ppv = static_cast<IShellExecuteHookW*>(this);
        else
            *a_ppv = static_cast<IDocHookDiagnostics*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP CDocHook::CInnerUnknown::QueryInterface(REFIID a_riid, void** a_ppv)
{
    return m_pOwner->InnerQueryInterface(a_riid, a_ppv);
}

STDMETHODIMP_(ULONG) CDocHook::CInnerUnknown::AddRef()
{
    return InterlockedIncrement(&m_pOwner->m_cRef);
}

STDMETHODIMP_(ULONG) CDocHook::CInnerUnknown::Release()
{
    LONG cRef = InterlockedDecrement(&m_pOwner->m_cRef);
    if (cRef == 0)
        delete m_pOwner;
    return cRef;
}

STDMETHODIMP CDocHook::QueryInterface(REFIID a_riid, void** a_ppv)
{
    return m_pUnkOuter->QueryInterface(a_riid, a_ppv);
}

STDMETHODIMP_(ULONG) CDocHook::AddRef()
{
    return m_pUnkOuter->AddRef();
}

STDMETHODIMP_(ULONG) CDocHook::Release()
{
    return m_pUnkOuter->Release();
}

STDMETHODIMP CDocHook::GetTypeInfoCount(UINT* a_pctinfo)
{
    if (!a_pctinfo)
        return E_POINTER;
    *a_pctinfo = 1;
    return S_OK;
}

STDMETHODIMP CDocHook::GetTypeInfo(UINT a_iTInfo, LCID, ITypeInfo** a_ppTInfo)
{
    if (!a_ppTInfo)
        return E_POINTER;
    *a_ppTInfo = nullptr;
    if (a_iTInfo != 0)
        return DISP_E_BADINDEX;
    return GetDocHookTypeInfo(a_ppTInfo);
}

STDMETHODIMP CDocHook::GetIDsOfNames(REFIID a_riid, LPOLESTR* a_rgszNames, UINT a_cNames, LCID,
                                     DISPID* a_rgDispId)
{
    if (!IsEqualIID(a_riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* pTypeInfo = nullptr;
    HRESULT hr = GetDocHookTypeInfo(&pTypeInfo);
    if (FAILED(hr))
        return hr;
    hr = pTypeInfo->GetIDsOfNames(a_rgszNames, a_cNames, a_rgDispId);
    pTypeInfo->Release();
    return hr;
}

STDMETHODIMP CDocHook::Invoke(DISPID a_dispIdMember, REFIID a_riid, LCID, WORD a_wFlags,
                              DISPPARAMS* a_pDispParams, VARIANT* a_pVarResult,
                              EXCEPINFO* a_pExcepInfo, UINT* a_puArgErr)
{
    if (!IsEqualIID(a_riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* pTypeInfo = nullptr;
    HRESULT hr = GetDocHookTypeInfo(&pTypeInfo);
    if (FAILED(hr))
        return hr;
    hr = pTypeInfo->Invoke(static_cast<IDocHook*>(this), a_dispIdMember, a_wFlags, a_pDispParams,
                           a_pVarResult, a_pExcepInfo, a_puArgErr);
    pTypeInfo->Release();
    return hr;
}

STDMETHODIMP CDocHook::Execute(LPSHELLEXECUTEINFOA a_pei)
{
    return OfferRequest(g_LxShellExt, a_pei);
}

STDMETHODIMP CDocHook::Execute(LPSHELLEXECUTEINFOW a_pei)
{
    return OfferRequest(g_LxShellExt, a_pei);
}

STDMETHODIMP CDocHook::GetVerdict(LPSTR a_szVerdict, UINT a_cchVerdict)
{
    return GetVerdictText(g_LxShellExt, a_szVerdict, a_cchVerdict);
}
