#pragma once
// The tests' registry: the predefined roots of this process redirected to
// scratch keys, and the helpers that lay out and look at keys below whatever
// the roots currently point at. COM activation still reads the real registry.

#include <windows.h>

#include <string>

namespace vmtest {

// Points the predefined root a_hRoot of this process at a_hKey, or back at the
// real one when a_hKey is null. A test that goes on after a failed redirection
// would change the real registry of the prefix: the process ends instead,
// saying which root could not be redirected.
void RedirectRoot(HKEY a_hRoot, HKEY a_hKey);

// HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT redirected to
// empty scratch keys below the real HKCU for the life of the object, so that a
// test starts from a known registry and leaves nothing.
class RegistryRedirect {
public:
    explicit RegistryRedirect(const std::string& a_strName);
    ~RegistryRedirect();
    RegistryRedirect(const RegistryRedirect&) = delete;
    RegistryRedirect& operator=(const RegistryRedirect&) = delete;
    // The real roots for a while (for what a test installs for its children
    // to see), then the scratch keys again.
    void Pause();
    void Resume();

private:
    std::string m_strBase;
    HKEY m_hMachine = nullptr;
    HKEY m_hUser = nullptr;
    HKEY m_hClasses = nullptr;
};

// Writers: the key is created when missing (in the registry view a_view, when
// given); a key or value that cannot be written fails the test.
void SetRaw(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue, DWORD a_dwType, const void* a_pData,
            DWORD a_cbData, REGSAM a_view = 0);
void SetString(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue, const std::string& a_strData,
               DWORD a_dwType = REG_SZ, REGSAM a_view = 0);
void SetDword(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue, DWORD a_dwData, REGSAM a_view = 0);
void CreateKey(HKEY a_hRoot, const std::string& a_strKey);
bool KeyExists(HKEY a_hRoot, const std::string& a_strKey);

} // namespace vmtest
