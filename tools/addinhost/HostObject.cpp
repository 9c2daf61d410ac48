#include "tools/addinhost/HostObject.h"

#include "common/RefCounted.h"

#include <oleauto.h>
#include <shlwapi.h>

#include <new>

namespace {

class CHostObject final : public vm::CRefCounted<IDispatch> {
public:
    explicit CHostObject(HostProperties a_properties) : m_properties(std::move(a_properties)) {}

    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override
    {
        static const QITAB c_interfaces[] = {QITABENT(CHostObject, IDispatch), {}};
        return QISearch(this, c_interfaces, a_riid, a_ppv);
    }

    STDMETHODIMP GetTypeInfoCount(UINT* a_pcInfo) override
    {
        if (!a_pcInfo)
            return E_POINTER;
        *a_pcInfo = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** a_ppInfo) override
    {
        if (a_ppInfo)
            *a_ppInfo = nullptr;
        return DISP_E_BADINDEX;
    }
    // Dispatch ids are the properties' positions, from 1.
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* a_pszNames, UINT a_cNames, LCID,
                               DISPID* a_pDispIds) override
    {
        if (!a_pszNames || !a_pDispIds)
            return E_POINTER;
        HRESULT hr = S_OK;
        for (UINT iName = 0; iName < a_cNames; ++iName) {
            a_pDispIds[iName] = DISPID_UNKNOWN;
            for (size_t i = 0; iName == 0 && i < m_properties.size(); ++i)
                if (a_pszNames[0] && lstrcmpiW(a_pszNames[0], m_properties[i].first.c_str()) == 0)
                    a_pDispIds[0] = static_cast<DISPID>(i + 1);
            if (a_pDispIds[iName] == DISPID_UNKNOWN)
                hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    }
    STDMETHODIMP Invoke(DISPID a_dispid, REFIID, LCID, WORD a_wFlags, DISPPARAMS* a_pParams,
                        VARIANT* a_pResult, EXCEPINFO*, UINT*) override
    {
        if (a_dispid < 1 || static_cast<size_t>(a_dispid) > m_properties.size())
            return DISP_E_MEMBERNOTFOUND;
        if (!(a_wFlags & DISPATCH_PROPERTYGET))
            return DISP_E_MEMBERNOTFOUND;
        if (a_pParams && a_pParams->cArgs != 0)
            return DISP_E_BADPARAMCOUNT;
        if (!a_pResult)
            return E_POINTER;
        VariantInit(a_pResult);
        BSTR bstr = SysAllocString(m_properties[a_dispid - 1].second.c_str());
        if (!bstr)
            return E_OUTOFMEMORY;
        a_pResult->vt = VT_BSTR;
        a_pResult->bstrVal = bstr;
        return S_OK;
    }

private:
    HostProperties m_properties;
};

} // namespace

IDispatch* CreateHostObject(HostProperties a_properties)
{
    return new (std::nothrow) CHostObject(std::move(a_properties));
}
