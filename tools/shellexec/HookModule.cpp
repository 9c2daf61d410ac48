#include "tools/shellexec/HookModule.h"

#include "common/FileIdentity.h"

HRESULT FindMachineHookModule(const std::wstring& a_strClsid, std::wstring& a_strModule)
{
    a_strModule.clear();
    const std::wstring strKey = L"SOFTWARE\\Classes\\CLSID\\" + a_strClsid + L"\\InprocServer32";
    wchar_t szModule[MAX_PATH] = {};
    DWORD cbModule = sizeof(szModule);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, strKey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, szModule, &cbModule) !=
        ERROR_SUCCESS)
        return REGDB_E_CLASSNOTREG;
    if (!vm::IsFullPath(std::wstring(szModule)))
        return S_FALSE;
    a_strModule = szModule;
    return S_OK;
}
