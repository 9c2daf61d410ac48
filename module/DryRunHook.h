#pragma once
// CDocHookDryRun: the administrators' dry run. It decides each request as
// the production hook would, with a decision object of its own whose starts
// go to the dry sink and whose policy is the installed one or a draft. It is
// served by DllGetClassObject but registered nowhere.

#include "module/DocHookDiagnostics.h"

#include <windows.h>
#include <shlobj.h>

#include <memory>

class CLxShellExt;

class CDocHookDryRun final : public IShellExecuteHookA,
                             public IShellExecuteHookW,
                             public IDocHookDiagnostics,
                             public IDocHookDryRun {
public:
    // Not aggregatable.
    static HRESULT Create(IUnknown* a_pUnkOuter, REFIID a_riid, void** a_ppv);

    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP Execute(LPSHELLEXECUTEINFOA a_pei) override;
    STDMETHODIMP Execute(LPSHELLEXECUTEINFOW a_pei) override;
    STDMETHODIMP GetVerdict(LPSTR a_szVerdict, UINT a_cchVerdict) override;
    STDMETHODIMP UseDraftPolicy(LPCSTR a_szDraftPolicy) override;
    STDMETHODIMP GetVerdictColumns(DocHookVerdictColumns* a_pColumns) override;

private:
    CDocHookDryRun();
    ~CDocHookDryRun();

    std::unique_ptr<CLxShellExt> m_pDecision;
    LONG m_cRef = 1;
};
