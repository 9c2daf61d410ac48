// TODO(registration): the registration-script processor replaces these.
#include "registration/SelfRegistration.h"

HRESULT RegisterDocHookClass(BOOL) { return E_NOTIMPL; }
HRESULT OpenOwnTypeLibrary(ITypeLib** a_ppTypeLib, BSTR* a_pbstrPath)
{
    *a_ppTypeLib = nullptr;
    *a_pbstrPath = nullptr;
    return E_NOTIMPL;
}
HRESULT RegisterOwnTypeLibrary() { return E_NOTIMPL; }
HRESULT UnregisterOwnTypeLibrary() { return E_NOTIMPL; }
