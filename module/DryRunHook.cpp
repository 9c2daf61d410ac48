#include "module/DryRunHook.h"

#include "decision/LxShellExt.h"
#include "module/ModuleState.h"
#include "module/RequestOffer.h"
#include "start/StartSink.h"
#include "trace/Trace.h"

#include <new>

namespace {

enum class Face { ShellA, ShellW, Diagnostics, DryRun };

struct InterfaceEntry {
    const IID* m_piid;
    Face m_face;
};

// The table ends with an empty row.
const InterfaceEntry c_interfaces[] = {
    {&IID_IUnknown, Face::DryRun},
    {&IID_IShellExecuteHookA, Face::ShellA},
    {&IID_IShellExecuteHookW, Face::ShellW},
    {&IID_IDocHookDiagnostics, Face::Diagnostics},
    {&IID_IDocHookDryRun, Face::DryRun},
    {},
};

} // namespace

HRESULT CDocHookDryRun::Create(IUnknown* a_pUnkOuter, REFIID a_riid, void** a_ppv)
{
    if (a_pUnkOuter)
        return CLASS_E_NOAGGREGATION;
    CDocHookDryRun* pHook = new (std::nothrow) CDocHookDryRun();
    if (!pHook || !pHook->m_pDecision) {
        delete pHook;
        return E_OUTOFMEMORY;
    }
    HRESULT hr = pHook->QueryInterface(a_riid, a_ppv);
    pHook->Release();
    return hr;
}

CDocHookDryRun::CDocHookDryRun()
    : m_pDecision(new (std::nothrow) CLxShellExt(DryStartSink(), PolicySource()))
{
    ModuleAddRef();
}

CDocHookDryRun::~CDocHookDryRun()
{
    ModuleRelease();
}

STDMETHODIMP CDocHookDryRun::QueryInterface(REFIID a_riid, void** a_ppv)
{
    if (!a_ppv)
        return E_POINTER;
    *a_ppv = nullptr;
    for (const InterfaceEntry* pEntry = c_interfaces; pEntry->m_piid; ++pEntry) {
        if (!IsEqualIID(a_riid, *pEntry->m_piid))
            continue;
        switch (pEntry->m_face) {
        case Face::ShellA: *a_ppv = static_cast<IShellExecuteHookA*>(this); break;
        case Face::ShellW: *a_ppv = static_cast<IShellExecuteHookW*>(this); break;
        case Face::Diagnostics: *a_ppv = static_cast<IDocHookDiagnostics*>(this); break;
        case Face::DryRun: *a_ppv = static_cast<IDocHookDryRun*>(this); break;
        }
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CDocHookDryRun::AddRef()
{
    return InterlockedIncrement(&m_cRef);
}

STDMETHODIMP_(ULONG) CDocHookDryRun::Release()
{
    LONG cRef = InterlockedDecrement(&m_cRef);
    if (cRef == 0)
        delete this;
    return cRef;
}

STDMETHODIMP CDocHookDryRun::Execute(LPSHELLEXECUTEINFOA a_pei)
{
    return OfferRequest(*m_pDecision, a_pei);
}

STDMETHODIMP CDocHookDryRun::Execute(LPSHELLEXECUTEINFOW a_pei)
{
    return OfferRequest(*m_pDecision, a_pei);
}

STDMETHODIMP CDocHookDryRun::GetVerdict(LPSTR a_szVerdict, UINT a_cchVerdict)
{
    return GetVerdictText(*m_pDecision, a_szVerdict, a_cchVerdict);
}

STDMETHODIMP CDocHookDryRun::GetVerdictColumns(DocHookVerdictColumns* a_pColumns)
{
    return GetVerdictColumnsOf(*m_pDecision, a_pColumns);
}

// A decision object of its own for the policy: the values read once are
// read again, from the policy now in force.
STDMETHODIMP CDocHookDryRun::UseDraftPolicy(LPCSTR a_szDraftPolicy)
{
    PolicySource source;
    if (a_szDraftPolicy)
        source.m_strDraft = a_szDraftPolicy;
    std::unique_ptr<CLxShellExt> pDecision(new (std::nothrow) CLxShellExt(DryStartSink(), source));
    if (!pDecision)
        return E_OUTOFMEMORY;
    m_pDecision = std::move(pDecision);
    TraceAlways("~~~~~~CDocHook dry run begins, policy %s\n", source.IsDraft() ? a_szDraftPolicy : "installed");
    return S_OK;
}
