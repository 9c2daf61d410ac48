#pragma once
// Self-registration of the module: the registration script and the type library.

#include <windows.h>
#include <oaidl.h>

// The class's registration hook: runs the module's registration script
// forwards (a_bRegister true) or backwards.
HRESULT RegisterDocHookClass(BOOL a_bRegister);

HRESULT OpenOwnTypeLibrary(ITypeLib** a_ppTypeLib, BSTR* a_pbstrPath);
HRESULT RegisterOwnTypeLibrary();
HRESULT UnregisterOwnTypeLibrary();
