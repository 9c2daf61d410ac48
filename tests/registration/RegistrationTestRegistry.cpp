#include "tests/registration/RegistrationTestRegistry.h"

#include "common/Handle.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

namespace vmtest {

namespace {

// Plain byte order without regard to ASCII case: predictable, unlike the
// word sort of lstrcmpiA.
bool LessNoCase(const std::string& a_strLeft, const std::string& a_strRight)
{
    return std::lexicographical_compare(a_strLeft.begin(), a_strLeft.end(), a_strRight.begin(), a_strRight.end(),
                                        [](char a_chLeft, char a_chRight) {
                                            return std::toupper(static_cast<unsigned char>(a_chLeft)) <
                                                   std::toupper(static_cast<unsigned char>(a_chRight));
                                        });
}

std::string FormatData(DWORD a_dwType, const std::vector<BYTE>& a_data)
{
    char szHex[4];
    switch (a_dwType) {
    case REG_SZ: {
        std::string str(a_data.begin(), a_data.end());
        return str.substr(0, str.find('\0'));
    }
    case REG_DWORD: {
        DWORD dw = 0;
        std::copy_n(a_data.begin(), std::min<size_t>(a_data.size(), sizeof(dw)),
                    reinterpret_cast<BYTE*>(&dw));
        return "#" + std::to_string(dw);
    }
    case REG_BINARY: {
        std::string str = "0x";
        for (BYTE b : a_data) {
            std::snprintf(szHex, sizeof(szHex), "%02x", b);
            str += szHex;
        }
        return str;
    }
    default:
        return "?" + std::to_string(a_dwType);
    }
}

void Dump(HKEY a_hKey, const std::string& a_strPath, std::vector<std::string>& a_entries)
{
    std::vector<std::pair<std::string, std::string>> values;
    for (DWORD i = 0;; ++i) {
        char szName[16384];
        DWORD cchName = sizeof(szName);
        std::vector<BYTE> data(65536);
        DWORD cbData = static_cast<DWORD>(data.size());
        DWORD dwType = 0;
        if (RegEnumValueA(a_hKey, i, szName, &cchName, nullptr, &dwType, data.data(), &cbData) !=
            ERROR_SUCCESS)
            break;
        data.resize(cbData);
        values.emplace_back(szName, FormatData(dwType, data));
    }
    std::sort(values.begin(), values.end(),
              [](const auto& a_left, const auto& a_right) { return LessNoCase(a_left.first, a_right.first); });
    for (const auto& value : values)
        a_entries.push_back(a_strPath + "|" + value.first + "=" + value.second);

    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        char szName[256];
        DWORD cchName = sizeof(szName);
        if (RegEnumKeyExA(a_hKey, i, szName, &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(szName);
    }
    std::sort(subkeys.begin(), subkeys.end(), LessNoCase);
    for (const std::string& strSubkey : subkeys) {
        std::string strPath = a_strPath + "\\" + strSubkey;
        a_entries.push_back(strPath);
        vm::UniqueKey subkey;
        if (RegOpenKeyExA(a_hKey, strSubkey.c_str(), 0, KEY_READ, subkey.put()) == ERROR_SUCCESS)
            Dump(subkey.get(), strPath, a_entries);
    }
}

} // namespace

std::string DumpKeyTree(HKEY a_hKey, const std::string& a_strPrefix)
{
    std::vector<std::string> entries;
    Dump(a_hKey, a_strPrefix, entries);
    std::string strDump;
    for (const std::string& strEntry : entries)
        strDump += (strDump.empty() ? "" : ";") + strEntry;
    return strDump;
}

std::vector<std::string> SplitEntries(const std::string& a_strEntries)
{
    std::vector<std::string> entries;
    size_t nStart = 0;
    while (nStart < a_strEntries.size()) {
        size_t nEnd = a_strEntries.find(';', nStart);
        if (nEnd == std::string::npos)
            nEnd = a_strEntries.size();
        entries.push_back(a_strEntries.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    return entries;
}

void LayOutKeys(HKEY a_hKey, const std::string& a_strEntries)
{
    for (const std::string& strEntry : SplitEntries(a_strEntries)) {
        size_t nBar = strEntry.find('|');
        std::string strPath = strEntry.substr(0, nBar);
        if (!strPath.empty() && strPath[0] == '\\')
            strPath.erase(0, 1);
        vm::UniqueKey key;
        if (strPath.empty())
            RegOpenKeyExA(a_hKey, nullptr, 0, KEY_ALL_ACCESS, key.put());
        else
            RegCreateKeyExA(a_hKey, strPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                            nullptr);
        if (nBar == std::string::npos)
            continue;
        std::string strValue = strEntry.substr(nBar + 1);
        size_t nEquals = strValue.find('=');
        std::string strName = strValue.substr(0, nEquals);
        std::string strData = nEquals == std::string::npos ? "" : strValue.substr(nEquals + 1);
        RegSetValueExA(key.get(), strName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(strData.c_str()),
                       static_cast<DWORD>(strData.size() + 1));
    }
}

std::string ReadStringValue(HKEY a_hKeyRoot, const std::string& a_strPath, const std::string& a_strName)
{
    vm::UniqueKey key;
    if (RegOpenKeyExA(a_hKeyRoot, a_strPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return "<missing>";
    char szData[1024] = {};
    DWORD cbData = sizeof(szData) - 1;
    DWORD dwType = 0;
    if (RegQueryValueExA(key.get(), a_strName.c_str(), nullptr, &dwType, reinterpret_cast<BYTE*>(szData),
                         &cbData) != ERROR_SUCCESS ||
        dwType != REG_SZ)
        return "<missing>";
    return szData;
}

} // namespace vmtest
