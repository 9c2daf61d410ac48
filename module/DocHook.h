#pragma once
// CDocHook: the object the shell offers every shell-execute request.

#include "module/DocHookDiagnostics.h"
#include "module/Guids.h"

#include <windows.h>
#include <shlobj.h>

class CDocHook final : public IDocHook,
                       public IShellExecuteHookA,
                       public IShellExecuteHookW,
                       public IDocHookDiagnostics {
public:
    // Creates an object and queries it for a_riid; with an outer object the
    // new object is aggregated and a_riid must be IID_IUnknown.
    static HRESULT Create(IUnknown* a_pUnkOuter, REFIID a_riid, void** a_ppv);

    // IUnknown, delegating to the controlling unknown.
    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch, served from the type library.
    STDMETHODIMP GetTypeInfoCount(UINT* a_pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT a_iTInfo, LCID a_lcid, ITypeInfo** a_ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID a_riid, LPOLESTR* a_rgszNames, UINT a_cNames, LCID a_lcid,
                               DISPID* a_rgDispId) override;
    STDMETHODIMP Invoke(DISPID a_dispIdMember, REFIID a_riid, LCID a_lcid, WORD a_wFlags,
                        DISPPARAMS* a_pDispParams, VARIANT* a_pVarResult,
                        EXCEPINFO* a_pExcepInfo, UINT* a_puArgErr) override;

    // IShellExecuteHookA
    STDMETHODIMP Execute(LPSHELLEXECUTEINFOA a_pei) override;
    // IShellExecuteHookW: the shell asks for it first. A request the ANSI
    // code page holds is handled as its ANSI form; any other under its real
    // names.
    STDMETHODIMP Execute(LPSHELLEXECUTEINFOW a_pei) override;

    // IDocHookDiagnostics, for the administrators' shell host.
    STDMETHODIMP GetVerdict(LPSTR a_szVerdict, UINT a_cchVerdict) override;

private:
    // The object's own IUnknown: the one an aggregating outer object holds.
    class CInnerUnknown final : public IUnknown {
    public:
        explicit CInnerUnknown(CDocHook* a_pOwner) : m_pOwner(a_pOwner) {}
        STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override;
        STDMETHODIMP_(ULONG) AddRef() override;
        STDMETHODIMP_(ULONG) Release() override;

    private:
        CDocHook* m_pOwner;
    };

    explicit CDocHook(IUnknown* a_pUnkOuter);
    ~CDocHook();

    HRESULT InnerQueryInterface(REFIID a_riid, void** a_ppv);

    CInnerUnknown m_innerUnknown;
    IUnknown* m_pUnkOuter; // the outer object, or our own inner unknown
    LONG m_cRef = 1;
};
