#pragma once
// Redirects the predefined roots HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and
// HKEY_CLASSES_ROOT of this process to empty scratch keys for the life of the
// object, so that a test starts from a known registry and leaves nothing.
// COM activation still reads the real registry.

#include <windows.h>

#include <string>

namespace vmtest {

class RegistryRedirect {
public:
    explicit RegistryRedirect(const std::string& a_strName);
    ~RegistryRedirect();
    RegistryRedirect(const RegistryRedirect&) = delete;
    RegistryRedirect& operator=(const RegistryRedirect&) = delete;

private:
    std::string m_strBase;
    HKEY m_hMachine = nullptr;
    HKEY m_hUser = nullptr;
    HKEY m_hClasses = nullptr;
};

// Helpers that write into whatever the roots currently point at.
void SetString(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue,
               const std::string& a_strData, DWORD a_dwType = REG_SZ);
void SetDword(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue, DWORD a_dwData);
bool KeyExists(HKEY a_hRoot, const std::string& a_strKey);

} // namespace vmtest
