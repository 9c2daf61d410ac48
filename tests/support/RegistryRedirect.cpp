#include "tests/support/RegistryRedirect.h"

#include "common/Handle.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstdlib>

namespace vmtest {
namespace {

constexpr char c_szCryptographyKey[] = "Software\\Microsoft\\Cryptography";

const char* RootName(HKEY a_hRoot)
{
    if (a_hRoot == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (a_hRoot == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (a_hRoot == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    return "a predefined key";
}

HKEY CreateScratch(const std::string& a_strPath)
{
    HKEY hKey = nullptr;
    LONG lStatus = RegCreateKeyExA(HKEY_CURRENT_USER, a_strPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                   &hKey, nullptr);
    if (lStatus != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot create the scratch key HKCU\\%s: error %ld\n", a_strPath.c_str(), lStatus);
        std::abort();
    }
    return hKey;
}

} // namespace

void RedirectRoot(HKEY a_hRoot, HKEY a_hKey)
{
    LONG lStatus = RegOverridePredefKey(a_hRoot, a_hKey);
    if (lStatus == ERROR_SUCCESS)
        return;
    std::fprintf(stderr, "RegOverridePredefKey(%s, %p) failed with error %ld: %s\n", RootName(a_hRoot),
                 static_cast<void*>(a_hKey), lStatus,
                 a_hKey ? "the test would change the real registry" : "the root stays redirected");
    std::fflush(stderr);
    std::abort();
}

RegistryRedirect::RegistryRedirect(const std::string& a_strName)
    : m_strBase("Software\\VormidmgrTests\\" + a_strName)
{
    SHDeleteKeyA(HKEY_CURRENT_USER, m_strBase.c_str());
    m_hMachine = CreateScratch(m_strBase + "\\HKLM");
    m_hUser = CreateScratch(m_strBase + "\\HKCU");
    m_hClasses = CreateScratch(m_strBase + "\\HKCR");
    // The platform's signature checks find their providers and decoders through
    // the machine's Cryptography key: the redirected machine keeps its copy.
    vm::UniqueKey cryptography;
    HKEY hCopy = CreateScratch(m_strBase + "\\HKLM\\" + c_szCryptographyKey);
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, c_szCryptographyKey, 0, KEY_READ, cryptography.put()) == ERROR_SUCCESS)
        RegCopyTreeA(cryptography.get(), nullptr, hCopy);
    RegCloseKey(hCopy);
    RedirectRoot(HKEY_LOCAL_MACHINE, m_hMachine);
    RedirectRoot(HKEY_CLASSES_ROOT, m_hClasses);
    RedirectRoot(HKEY_CURRENT_USER, m_hUser);
}

void RegistryRedirect::Pause()
{
    RedirectRoot(HKEY_CURRENT_USER, nullptr);
    RedirectRoot(HKEY_CLASSES_ROOT, nullptr);
    RedirectRoot(HKEY_LOCAL_MACHINE, nullptr);
}

void RegistryRedirect::Resume()
{
    RedirectRoot(HKEY_LOCAL_MACHINE, m_hMachine);
    RedirectRoot(HKEY_CLASSES_ROOT, m_hClasses);
    RedirectRoot(HKEY_CURRENT_USER, m_hUser);
}

RegistryRedirect::~RegistryRedirect()
{
    RedirectRoot(HKEY_CURRENT_USER, nullptr);
    RedirectRoot(HKEY_CLASSES_ROOT, nullptr);
    RedirectRoot(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(m_hMachine);
    RegCloseKey(m_hUser);
    RegCloseKey(m_hClasses);
    SHDeleteKeyA(HKEY_CURRENT_USER, m_strBase.c_str());
    SHDeleteEmptyKeyA(HKEY_CURRENT_USER, "Software\\VormidmgrTests");
}

void SetRaw(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue, DWORD a_dwType, const void* a_pData,
            DWORD a_cbData, REGSAM a_view)
{
    vm::UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(a_hRoot, a_strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | a_view,
                                             nullptr, key.put(), nullptr))
        << a_strKey;
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetValueExA(key.get(), a_szValue, 0, a_dwType, static_cast<const BYTE*>(a_pData), a_cbData))
        << a_strKey << "|" << (a_szValue ? a_szValue : "(default)");
}

void SetString(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue, const std::string& a_strData,
               DWORD a_dwType, REGSAM a_view)
{
    SetRaw(a_hRoot, a_strKey, a_szValue, a_dwType, a_strData.c_str(), static_cast<DWORD>(a_strData.size() + 1),
           a_view);
}

void SetDword(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue, DWORD a_dwData, REGSAM a_view)
{
    SetRaw(a_hRoot, a_strKey, a_szValue, REG_DWORD, &a_dwData, sizeof(a_dwData), a_view);
}

void CreateKey(HKEY a_hRoot, const std::string& a_strKey)
{
    vm::UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(a_hRoot, a_strKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             key.put(), nullptr))
        << a_strKey;
}

bool KeyExists(HKEY a_hRoot, const std::string& a_strKey)
{
    vm::UniqueKey key;
    return RegOpenKeyExA(a_hRoot, a_strKey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

} // namespace vmtest
