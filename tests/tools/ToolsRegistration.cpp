#include "tests/tools/ToolsRegistration.h"

#include <shlwapi.h>

namespace vmtest {
namespace {

const char c_szHooksKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";

bool SetString(HKEY a_hKey, const char* a_szName, const std::string& a_strValue)
{
    return RegSetValueExA(a_hKey, a_szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(a_strValue.c_str()),
                          static_cast<DWORD>(a_strValue.size() + 1)) == ERROR_SUCCESS;
}

bool KeyExists(HKEY a_hRoot, const std::string& a_strKey)
{
    vm::UniqueKey hKey;
    return RegOpenKeyExA(a_hRoot, a_strKey.c_str(), 0, KEY_READ, hKey.put()) == ERROR_SUCCESS;
}

} // namespace

CClassRegistration::CClassRegistration(const std::string& a_strClsid, const std::string& a_strModule)
    : m_strKey("CLSID\\" + a_strClsid)
{
    m_bExisted = KeyExists(HKEY_CLASSES_ROOT, m_strKey);
    vm::UniqueKey hServer;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, (m_strKey + "\\InprocServer32").c_str(), 0, nullptr, 0,
                        KEY_WRITE, nullptr, hServer.put(), nullptr) != ERROR_SUCCESS)
        return;
    m_bOk = SetString(hServer.get(), nullptr, a_strModule) &&
            SetString(hServer.get(), "ThreadingModel", "Apartment");
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
    return m_hKey && SetString(m_hKey.get(), a_strName.c_str(), "tools test hook");
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
    vm::UniqueKey hKey;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, a_strKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, hKey.put(),
                        nullptr) == ERROR_SUCCESS)
        SetString(hKey.get(), nullptr, a_strDefault);
}

CClassKey::~CClassKey()
{
    SHDeleteKeyA(HKEY_CLASSES_ROOT, m_strKey.c_str());
}

} // namespace vmtest
