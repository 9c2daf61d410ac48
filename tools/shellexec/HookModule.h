#pragma once
// Which module a dry run loads for a hook's class: the one the machine's
// registration names, never one of the running user's own classes.

#include <windows.h>

#include <string>

// The module that HKLM\SOFTWARE\Classes\CLSID\{a_strClsid}\InprocServer32
// names, in this build's registry view. The merged class view is not read:
// a registration of the running user's own would make the dry run load a
// module the machine does not know. REGDB_E_CLASSNOTREG when the machine
// does not register the class; S_FALSE, with no module, when it registers
// one by another text than a full path (only full paths are loaded).
HRESULT FindMachineHookModule(const std::wstring& a_strClsid, std::wstring& a_strModule);
