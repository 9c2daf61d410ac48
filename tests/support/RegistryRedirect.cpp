#include "tests/support/RegistryRedirect.h"

#include <shlwapi.h>

namespace vmtest {
namespace {

HKEY CreateScratch(const std::string& a_strPath)
{
    HKEY hKey = nullptr;
    RegCreateKeyExA(HKEY_CURRENT_USER, a_strPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &hKey, nullptr);
    return hKey;
}

} // namespace

RegistryRedirect::RegistryRedirect(const std::string& a_strName)
    : m_strBase("Software\\VormidmgrTests\\" + a_strName)
{
    SHDeleteKeyA(HKEY_CURRENT_USER, m_strBase.c_str());
    m_hMachine = CreateScratch(m_strBase + "\\HKLM");
    m_hUser = CreateScratch(m_strBase + "\\HKCU");
    m_hClasses = CreateScratch(m_strBase + "\\HKCR");
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_hMachine);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, m_hClasses);
    RegOverridePredefKey(HKEY_CURRENT_USER, m_hUser);
}

RegistryRedirect::~RegistryRedirect()
{
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(m_hMachine);
    RegCloseKey(m_hUser);
    RegCloseKey(m_hClasses);
    SHDeleteKeyA(HKEY_CURRENT_USER, m_strBase.c_str());
    SHDeleteEmptyKeyA(HKEY_CURRENT_USER, "Software\\VormidmgrTests");
}

void SetString(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue,
               const std::string& a_strData, DWORD a_dwType)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(a_hRoot, a_strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, a_szValue, 0, a_dwType, reinterpret_cast<const BYTE*>(a_strData.c_str()),
                   static_cast<DWORD>(a_strData.size() + 1));
    RegCloseKey(hKey);
}

void SetDword(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue, DWORD a_dwData)
{
    HKEY hKey = nullptr;
    if (RegCreateKeyExA(a_hRoot, a_strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, a_szValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&a_dwData),
                   sizeof(a_dwData));
    RegCloseKey(hKey);
}

bool KeyExists(HKEY a_hRoot, const std::string& a_strKey)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(a_hRoot, a_strKey.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

} // namespace vmtest
