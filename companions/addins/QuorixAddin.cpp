// One of the product's Office add-ins. Its registration makes Office list it
// for the current user and load it at start-up; the in-process server itself
// serves no class yet.

#include <windows.h>
#include <olectl.h>
#include <shlwapi.h>

namespace {

struct AddinIdentity {
    const char* szAddinsKey;
    const char* szFriendlyName;
    const char* szDescription;
};

#if QUORIX_ADDIN_INDEX == 1
constexpr AddinIdentity c_addin = {"Software\\Microsoft\\Office\\Word\\Addins\\Quorix01.Word9AddIn",
                                   "Quorix Word Add-in",
                                   "Enforces document rights inside Word"};
#elif QUORIX_ADDIN_INDEX == 2
constexpr AddinIdentity c_addin = {
    "Software\\Microsoft\\Office\\PowerPoint\\Addins\\Quorix02.CPpt9AddIn",
    "Quorix PowerPoint Add-in", "Enforces document rights inside PowerPoint"};
#elif QUORIX_ADDIN_INDEX == 3
constexpr AddinIdentity c_addin = {"Software\\Microsoft\\Office\\Excel\\Addins\\Quorix03.ExcelAddIn",
                                   "Quorix Excel Add-in",
                                   "Enforces document rights inside Excel"};
#else
#error QUORIX_ADDIN_INDEX must be 1, 2 or 3
#endif

// Office's "load at start-up" behaviour.
constexpr DWORD c_dwLoadAtStartup = 3;

LONG SetText(HKEY a_hKey, const char* a_szName, const char* a_szText)
{
    return RegSetValueExA(a_hKey, a_szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(a_szText),
                          static_cast<DWORD>(lstrlenA(a_szText) + 1));
}

LONG WriteAddinEntry(HKEY a_hKey)
{
    LONG lResult = RegSetValueExA(a_hKey, "LoadBehavior", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&c_dwLoadAtStartup),
                                  sizeof(c_dwLoadAtStartup));
    if (lResult == ERROR_SUCCESS)
        lResult = SetText(a_hKey, "FriendlyName", c_addin.szFriendlyName);
    if (lResult == ERROR_SUCCESS)
        lResult = SetText(a_hKey, "Description", c_addin.szDescription);
    return lResult;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE a_hInstance, DWORD a_dwReason, LPVOID)
{
    if (a_dwReason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(a_hInstance);
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, void** a_ppv)
{
    if (a_ppv)
        *a_ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, c_addin.szAddinsKey, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    LONG lResult = WriteAddinEntry(hKey);
    RegCloseKey(hKey);
    if (lResult == ERROR_SUCCESS)
        return S_OK;
    // Half an entry would make Office show an add-in that never loads.
    SHDeleteKeyA(HKEY_CURRENT_USER, c_addin.szAddinsKey);
    return SELFREG_E_CLASS;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    LONG lResult = SHDeleteKeyA(HKEY_CURRENT_USER, c_addin.szAddinsKey);
    return lResult == ERROR_SUCCESS || lResult == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
