#include "registration/KeyTree.h"

#include "common/Handle.h"
#include "registration/ScriptLimits.h"

LONG DeleteKeyTree(HKEY a_hKeyParent, const char* a_szName)
{
    // An empty name would open the parent itself and empty it.
    if (!*a_szName)
        return ERROR_INVALID_PARAMETER;
    HKEY hKeyRaw = nullptr;
    LONG lResult = RegOpenKeyExA(a_hKeyParent, a_szName, 0, KEY_READ | KEY_WRITE, &hKeyRaw);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    vm::UniqueKey key(hKeyRaw);
    for (;;) {
        char szSubkey[c_cchSubkeyName];
        DWORD cchSubkey = c_cchSubkeyName;
        lResult = RegEnumKeyExA(key.get(), 0, szSubkey, &cchSubkey, nullptr, nullptr, nullptr, nullptr);
        if (lResult == ERROR_NO_MORE_ITEMS)
            break;
        if (lResult != ERROR_SUCCESS)
            return lResult;
        lResult = DeleteKeyTree(key.get(), szSubkey);
        if (lResult != ERROR_SUCCESS)
            return lResult;
    }
    key.reset();
    return RegDeleteKeyA(a_hKeyParent, a_szName);
}

bool KeyHasSubkeys(HKEY a_hKey)
{
    DWORD cSubkeys = 0;
    if (RegQueryInfoKeyA(a_hKey, nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    return cSubkeys != 0;
}

bool KeyHasNamedValues(HKEY a_hKey)
{
    DWORD cValues = 0;
    if (RegQueryInfoKeyA(a_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &cValues,
                         nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    if (cValues != 1)
        return cValues > 0;
    char szName[c_cbToken] = {};
    DWORD cchName = sizeof(szName);
    LONG lResult = RegEnumValueA(a_hKey, 0, szName, &cchName, nullptr, nullptr, nullptr, nullptr);
    if (lResult == ERROR_MORE_DATA)
        return true; // a name too long for the buffer is surely not empty
    return lResult == ERROR_SUCCESS && szName[0] != '\0';
}
