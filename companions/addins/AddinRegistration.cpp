// Self-registration of an add-in module: the COM class under its ProgID, and
// the current user's Office add-in entry that makes Office load it at start-up.
// Unregistration removes exactly what registration writes, and the entry's
// parent keys when they are left empty.

#include "companions/addins/AddinIdentity.h"
#include "companions/addins/AddinModule.h"

#include "common/Handle.h"

#include <olectl.h>
#include <shlwapi.h>

#include <string>

namespace {

std::string ClassKey()
{
    return std::string("CLSID\\") + c_addin.m_szClsid;
}

std::string OfficeKey()
{
    return "Software\\Microsoft\\Office";
}

std::string ApplicationKey()
{
    return OfficeKey() + "\\" + c_addin.m_szApplication;
}

std::string AddinsKey()
{
    return ApplicationKey() + "\\Addins";
}

std::string EntryKey()
{
    return vm::OfficeAddinKey(c_addin);
}

LONG SetText(HKEY a_hRoot, const std::string& a_strKey, const char* a_szName, const std::string& a_strText)
{
    vm::UniqueKey key;
    LONG lResult = RegCreateKeyExA(a_hRoot, a_strKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                   key.put(), nullptr);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    return RegSetValueExA(key.get(), a_szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(a_strText.c_str()),
                          static_cast<DWORD>(a_strText.size() + 1));
}

LONG SetDword(HKEY a_hRoot, const std::string& a_strKey, const char* a_szName, DWORD a_dwValue)
{
    vm::UniqueKey key;
    LONG lResult = RegCreateKeyExA(a_hRoot, a_strKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                   key.put(), nullptr);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    return RegSetValueExA(key.get(), a_szName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&a_dwValue),
                          sizeof(a_dwValue));
}

LONG WriteClass(const std::string& a_strModule)
{
    const std::string strProgId = c_addin.m_szProgId;
    const std::string strClass = ClassKey();
    const std::pair<std::string, std::string> defaults[] = {
        {strProgId, c_addin.m_szFriendlyName},
        {strProgId + "\\CLSID", c_addin.m_szClsid},
        {strClass, c_addin.m_szFriendlyName},
        {strClass + "\\ProgID", strProgId},
        {strClass + "\\InprocServer32", a_strModule},
    };
    for (const auto& item : defaults) {
        LONG lResult = SetText(HKEY_CLASSES_ROOT, item.first, nullptr, item.second);
        if (lResult != ERROR_SUCCESS)
            return lResult;
    }
    return SetText(HKEY_CLASSES_ROOT, strClass + "\\InprocServer32", "ThreadingModel", "Apartment");
}

LONG WriteAddinEntry()
{
    const std::string strEntry = EntryKey();
    LONG lResult = SetText(HKEY_CURRENT_USER, strEntry, "FriendlyName", c_addin.m_szFriendlyName);
    if (lResult == ERROR_SUCCESS)
        lResult = SetText(HKEY_CURRENT_USER, strEntry, "Description", c_addin.m_szDescription);
    if (lResult == ERROR_SUCCESS)
        lResult = SetDword(HKEY_CURRENT_USER, strEntry, "LoadBehavior", vm::c_dwAddinLoadAtStartup);
    return lResult;
}

// The class as a machine-wide installation left it for every user: served by
// this very module under our ProgID.
bool IsClassServedBy(const std::string& a_strModule)
{
    char szText[MAX_PATH];
    DWORD cb = sizeof(szText);
    if (RegGetValueA(HKEY_CLASSES_ROOT, (std::string(c_addin.m_szProgId) + "\\CLSID").c_str(), nullptr,
                     RRF_RT_REG_SZ, nullptr, szText, &cb) != ERROR_SUCCESS ||
        lstrcmpiA(szText, c_addin.m_szClsid) != 0)
        return false;
    cb = sizeof(szText);
    return RegGetValueA(HKEY_CLASSES_ROOT, (ClassKey() + "\\InprocServer32").c_str(), nullptr, RRF_RT_REG_SZ,
                        nullptr, szText, &cb) == ERROR_SUCCESS &&
           lstrcmpiA(szText, a_strModule.c_str()) == 0;
}

// Deletes a key that holds neither values nor sub-keys; anything in it means
// someone else uses it.
void DeleteKeyIfEmpty(HKEY a_hRoot, const std::string& a_strKey)
{
    vm::UniqueKey key;
    if (RegOpenKeyExA(a_hRoot, a_strKey.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return;
    DWORD cSubKeys = 1, cValues = 1;
    if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, &cValues,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return;
    key.reset();
    if (cSubKeys == 0 && cValues == 0)
        RegDeleteKeyA(a_hRoot, a_strKey.c_str());
}

bool Removed(LONG a_lResult)
{
    return a_lResult == ERROR_SUCCESS || a_lResult == ERROR_FILE_NOT_FOUND;
}

HRESULT RemoveRegistration()
{
    bool bRemoved = Removed(SHDeleteKeyA(HKEY_CLASSES_ROOT, c_addin.m_szProgId));
    bRemoved = Removed(SHDeleteKeyA(HKEY_CLASSES_ROOT, ClassKey().c_str())) && bRemoved;
    bRemoved = Removed(SHDeleteKeyA(HKEY_CURRENT_USER, EntryKey().c_str())) && bRemoved;
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, AddinsKey());
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, ApplicationKey());
    DeleteKeyIfEmpty(HKEY_CURRENT_USER, OfficeKey());
    return bRemoved ? S_OK : SELFREG_E_CLASS;
}

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer()
{
    const std::string strModule = GetAddinModulePath();
    if (strModule.empty())
        return SELFREG_E_CLASS;
    // A user without the right to write the machine's classes (the hook's
    // upkeep runs regsvr32 as the user) still gets the entry when the
    // installation has registered the class for this module already.
    LONG lClass = WriteClass(strModule);
    if ((lClass == ERROR_SUCCESS || IsClassServedBy(strModule)) && WriteAddinEntry() == ERROR_SUCCESS)
        return S_OK;
    // Half a registration would make Office list an add-in that never loads.
    RemoveRegistration();
    return SELFREG_E_CLASS;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    return RemoveRegistration();
}
