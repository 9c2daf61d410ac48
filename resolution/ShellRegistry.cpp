#include "resolution/ShellRegistry.h"

#include "trace/Trace.h"

#include <cstring>

namespace {

// A name that is not given (the default value) shows the way the platform's
// formatter shows a null text, so the line reads the same as on any host.
const char* NameText(const char* a_szName)
{
    return a_szName ? a_szName : "(null)";
}

} // namespace

LONG CLxShellRegistry::QueryRegistryValue(HKEY a_hRoot, const char* a_szSubKey,
                                          const char* a_szValueName, BYTE* a_pData,
                                          DWORD* a_pcbData)
{
    vm::UniqueKey key;
    LONG lStatus = RegOpenKeyExA(a_hRoot, a_szSubKey, 0, KEY_QUERY_VALUE, key.put());
    if (lStatus != ERROR_SUCCESS) {
        TraceAlways("[CLxShellRegistry::QueryRegistryValue] registry open key failed, regkey = %s",
                    NameText(a_szSubKey));
        return lStatus;
    }
    lStatus = RegQueryValueExA(key.get(), a_szValueName, nullptr, nullptr, a_pData, a_pcbData);
    if (lStatus != ERROR_SUCCESS) {
        key.reset();
        TraceAlways("[CLxShellRegistry::QueryRegistryValue] registry QueryValue failed, valuename = %s, ret = %d",
                    NameText(a_szValueName), static_cast<int>(lStatus));
        return lStatus;
    }
    return RegCloseKey(key.release());
}

void CLxShellRegistry::Hold(HKEY a_hKey, bool a_bOwned)
{
    m_keyOwned.reset(a_bOwned ? a_hKey : nullptr);
    m_hKey = a_hKey;
}

bool CLxShellRegistry::Open(HKEY a_hRoot, const char* a_szSubKey)
{
    Close();
    HKEY hKey = nullptr;
    // Some platforms hand back a null root as "opened" when no subkey is
    // given; a null key is never a usable start.
    LONG lStatus = a_hRoot ? RegOpenKeyA(a_hRoot, a_szSubKey, &hKey) : ERROR_INVALID_HANDLE;
    if (lStatus != ERROR_SUCCESS) {
        TraceAlways("[CLxShellRegistry::Open] registry Open failed, ret = %d", static_cast<int>(lStatus));
        return false;
    }
    // The platform hands back the very root for an empty subkey path: that
    // key stays the caller's.
    Hold(hKey, hKey != a_hRoot);
    return true;
}

bool CLxShellRegistry::SubOpen(const char* a_szName)
{
    HKEY hKey = nullptr;
    LONG lStatus = RegOpenKeyA(m_hKey, a_szName, &hKey);
    if (lStatus != ERROR_SUCCESS) {
        TraceAlways("[CLxShellRegistry::Open] registry SubOpen failed, ret = %d", static_cast<int>(lStatus));
        return false;
    }
    if (hKey == m_hKey)
        return true; // an empty name stays where the walk is
    Hold(hKey, true);
    return true;
}

bool CLxShellRegistry::QueryData(const char* a_szValueName, BYTE* a_pData, DWORD* a_pcbData)
{
    LONG lStatus = RegQueryValueExA(m_hKey, a_szValueName, nullptr, nullptr, a_pData, a_pcbData);
    if (lStatus != ERROR_SUCCESS) {
        TraceAlways("[CLxShellRegistry::Open] registry QueryData failed, ret = %d", static_cast<int>(lStatus));
        return false;
    }
    return true;
}

void CLxShellRegistry::Close()
{
    m_keyOwned.reset();
    m_hKey = nullptr;
}

LONG CRegistryWriter::OpenKey(HKEY a_hRoot, const char* a_szSubKey, REGSAM a_samDesired, bool a_bCreate)
{
    if (!a_bCreate)
        return RegOpenKeyExA(a_hRoot, a_szSubKey, 0, a_samDesired, m_hKey.put());
    DWORD dwDisposition = 0;
    return RegCreateKeyExA(a_hRoot, a_szSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, a_samDesired,
                           nullptr, m_hKey.put(), &dwDisposition);
}

LONG CRegistryWriter::CloseKey()
{
    HKEY hKey = m_hKey.release();
    return hKey ? RegCloseKey(hKey) : ERROR_INVALID_HANDLE;
}

LONG CRegistryWriter::SetReg(HKEY a_hRoot, const char* a_szSubKey, const char* a_szValueName,
                             DWORD a_dwType, const BYTE* a_pData, DWORD a_cbData, bool a_bCreate)
{
    LONG lStatus = OpenKey(a_hRoot, a_szSubKey, KEY_ALL_ACCESS, a_bCreate);
    if (lStatus != ERROR_SUCCESS) {
        TraceLine("registry open key failed, regkey = %s", NameText(a_szSubKey));
        return lStatus;
    }
    lStatus = RegSetValueExA(m_hKey.get(), a_szValueName, 0, a_dwType, a_pData, a_cbData);
    if (lStatus != ERROR_SUCCESS) {
        CloseKey();
        TraceLine("registry set value failed, valuename = %s", NameText(a_szValueName));
        return lStatus;
    }
    lStatus = CloseKey();
    if (lStatus != ERROR_SUCCESS) {
        TraceLine("registry close key failed");
        return lStatus;
    }
    return ERROR_SUCCESS;
}

LONG QueryRegistryText(HKEY a_hRoot, const char* a_szSubKey, const char* a_szValueName,
                       RegistryText& a_szText)
{
    memset(a_szText, 0, sizeof(a_szText));
    DWORD cbText = c_cbRegistryText;
    CLxShellRegistry registry;
    LONG lStatus = registry.QueryRegistryValue(a_hRoot, a_szSubKey, a_szValueName,
                                               reinterpret_cast<BYTE*>(a_szText), &cbText);
    if (lStatus != ERROR_SUCCESS)
        a_szText[0] = '\0'; // the platform may leave part of a value that did not fit
    return lStatus;
}

bool QueryDataText(CLxShellRegistry& a_registry, const char* a_szValueName, RegistryText& a_szText)
{
    memset(a_szText, 0, sizeof(a_szText));
    DWORD cbText = c_cbRegistryText;
    if (a_registry.QueryData(a_szValueName, reinterpret_cast<BYTE*>(a_szText), &cbText))
        return true;
    a_szText[0] = '\0';
    return false;
}
