#include "module/DocHook.h"

#include "common/HandleText.h"
#include "decision/DryRun.h"
#include "decision/LxShellExt.h"
#include "decision/Verdict.h"
#include "policy/PolicyCache.h"
#include "module/ModuleState.h"
#include "module/WideRequest.h"
#include "trace/Trace.h"

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
    if (!a_pei)
        return S_FALSE; // nothing to take over; the shell carries on
    return ExecuteRequest(a_pei, nullptr);
}

STDMETHODIMP CDocHook::Execute(LPSHELLEXECUTEINFOW a_pei)
{
    if (!a_pei)
        return S_FALSE;
    CAnsiRequest request(*a_pei);
    HRESULT hr = ExecuteRequest(&request.Get(), request.IsExact() ? nullptr : &request.Real());
    request.CopyBack(*a_pei);
    return hr;
}

HRESULT CDocHook::ExecuteRequest(LPSHELLEXECUTEINFOA a_pei, const WideTexts* a_pReal)
{
    CTraceRequestScope traceScope;
    if (!a_pei->lpFile && a_pei->lpVerb && lstrcmpiA(a_pei->lpVerb, "OpenHomePage") == 0) {
        TraceAlways("~~~~~~CDocHook::Execute -> Start(%s), param(%s), cur dir = %s, verb = %s\n",
                    a_pei->lpFile, a_pei->lpParameters, a_pei->lpDirectory, a_pei->lpVerb);
        return S_FALSE;
    }

    int nResult = 0;
    TraceAlways("~~~~~~CDocHook::Execute Start(%s), lpClass(%s},hKeyClass(" VM_HANDLE_HEX "), param(%s), "
                "cur dir = %s, verb = %s\n",
                a_pei->lpFile, a_pei->lpClass, vm::HandleValue(a_pei->hkeyClass),
                a_pei->lpParameters, a_pei->lpDirectory, a_pei->lpVerb);

    bool bHandled = g_LxShellExt.Execute(&nResult, a_pei, a_pReal);
    if (bHandled)
        a_pei->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(nResult ? nResult : c_nResultHandled));

    TraceAlways("~~~~~~CDocHook::Execute End (return=%s)\n", bHandled ? "S_OK" : "S_FALSE");
    return bHandled ? S_OK : S_FALSE;
}

STDMETHODIMP CDocHook::BeginDryRun(LPCSTR a_szDraftPolicy)
{
    ::BeginDryRun(a_szDraftPolicy);
    TraceAlways("~~~~~~CDocHook dry run begins, policy %s\n", a_szDraftPolicy && *a_szDraftPolicy ? a_szDraftPolicy : "installed");
    return S_OK;
}

STDMETHODIMP CDocHook::EndDryRun()
{
    ::EndDryRun();
    return S_OK;
}

STDMETHODIMP CDocHook::GetVerdict(LPSTR a_szVerdict, UINT a_cchVerdict)
{
    if (!a_szVerdict || a_cchVerdict == 0)
        return E_POINTER;
    // A policy held open by another program is no policy missing: the
    // verdict says what became of the request.
    bool bPolicy = CurrentPolicy(DryRunPolicy())->CheckCCFValidity() == 0 || IsPolicyHeldByAnother(DryRunPolicy());
    std::string strVerdict = DescribeVerdict(ThreadVerdict(), bPolicy);
    lstrcpynA(a_szVerdict, strVerdict.c_str(), static_cast<int>(a_cchVerdict));
    return strVerdict.size() < a_cchVerdict ? S_OK : S_FALSE;
}
