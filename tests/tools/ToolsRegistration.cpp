#include "tests/tools/ToolsRegistration.h"

#include "tests/support/RegistryRedirect.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

namespace vmtest {
namespace {

const char c_szHooksKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";

} // namespace

CClassRegistration::CClassRegistration(const std::string& a_strClsid, const std::string& a_strModule)
    : m_strKey("CLSID\\" + a_strClsid)
{
    m_bExisted = KeyExists(HKEY_CLASSES_ROOT, m_strKey);
    SetString(HKEY_CLASSES_ROOT, m_strKey + "\\InprocServer32", nullptr, a_strModule);
    SetString(HKEY_CLASSES_ROOT, m_strKey + "\\InprocServer32", "ThreadingModel", "Apartment");
    m_bOk = !::testing::Test::HasFatalFailure();
}

CClassRegistration::~CClassRegistration()
{
    if (!m_bExisted)
        SHDeleteKeyA(HKEY_CLASSES_ROOT, m_strKey.c_str());
}

CHookListOverride::CHookListOverride()
{
    m_bCreated = !KeyExists(HKEY_LOCAL_MACHINE, c_szHooksKey);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, c_szHooksKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        m_hKey.put(), nullptr) != ERROR_SUCCESS)
        return;
    char szName[16384];
    BYTE data[16384];
    for (DWORD iValue = 0;; ++iValue) {
        DWORD cchName = sizeof(szName);
        DWORD cbData = sizeof(data);
        DWORD dwType = 0;
        if (RegEnumValueA(m_hKey.get(), iValue, szName, &cchName, nullptr, &dwType, data, &cbData) != ERROR_SUCCESS)
            break;
        m_saved.push_back({std::string(szName, cchName), dwType, std::vector<BYTE>(data, data + cbData)});
    }
    DeleteAllValues();
}

CHookListOverride::~CHookListOverride()
{
    if (!m_hKey)
        return;
    DeleteAllValues();
    for (const CSavedValue& value : m_saved)
        RegSetValueExA(m_hKey.get(), value.m_strName.c_str(), 0, value.m_dwType, value.m_data.data(),
                       static_cast<DWORD>(value.m_data.size()));
    m_hKey.reset();
    if (m_bCreated)
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, c_szHooksKey);
}

bool CHookListOverride::Add(const std::string& a_strName)
{
    if (m_hKey)
        SetString(HKEY_LOCAL_MACHINE, c_szHooksKey, a_strName.c_str(), "tools test hook");
    return m_hKey && !::testing::Test::HasFatalFailure();
}

void CHookListOverride::DeleteAllValues()
{
    char szName[16384];
    for (;;) {
        DWORD cchName = sizeof(szName);
        if (RegEnumValueA(m_hKey.get(), 0, szName, &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (RegDeleteValueA(m_hKey.get(), szName) != ERROR_SUCCESS)
            break;
    }
}

CClassKey::CClassKey(const std::string& a_strKey, const std::string& a_strDefault) : m_strKey(a_strKey)
{
    SetString(HKEY_CLASSES_ROOT, a_strKey, nullptr, a_strDefault);
}

CClassKey::~CClassKey()
{
    SHDeleteKeyA(HKEY_CLASSES_ROOT, m_strKey.c_str());
}

} // namespace vmtest
