#include "tools/vmcheck/ControlTable.h"

#include "common/ControlTable.h"
#include "common/Handle.h"
#include "tools/toolsupport/ToolText.h"
#include "tools/toolsupport/ToolUsage.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

enum ExitCode { c_nExitDone = 0, c_nExitNotDone = 1 };

// The hook reads the application's name into a buffer of this many bytes,
// the terminating zero included.
constexpr size_t c_cbHookApplication = MAX_PATH;
// Key names are at most this long.
constexpr DWORD c_cchMaxKeyName = 256;

const char* ViewName()
{
    return sizeof(void*) == 8 ? "64-bit" : "32-bit";
}

std::string TableName()
{
    return std::string("HKLM\\") + vm::c_szControlTableKey + " (" + ViewName() + " registry view)";
}

// An extension as the hook looks it up: its dot, then a name without a
// further dot, blank or path separator.
bool IsExtension(const std::string& a_strExt)
{
    return a_strExt.size() > 1 && a_strExt.size() < c_cchMaxKeyName && a_strExt[0] == '.' &&
           a_strExt.find_first_of(". \t\\/", 1) == std::string::npos;
}

// The hook finds the application's path by its file name alone.
bool IsApplicationName(const std::string& a_strApp)
{
    return !a_strApp.empty() && a_strApp.size() < c_cbHookApplication &&
           a_strApp.find_first_of("\\/:\"") == std::string::npos;
}

struct CRegValue {
    bool m_bPresent = false;
    DWORD m_dwType = REG_NONE;
    std::vector<BYTE> m_data;
};

// A value of any type and length.
CRegValue ReadValue(HKEY a_hKey, const char* a_szName)
{
    CRegValue value;
    for (DWORD cb = 64;;) {
        value.m_data.resize(cb);
        LONG lResult = RegQueryValueExA(a_hKey, a_szName, nullptr, &value.m_dwType, value.m_data.data(), &cb);
        if (lResult == ERROR_SUCCESS) {
            value.m_data.resize(cb);
            value.m_bPresent = true;
            return value;
        }
        if (lResult != ERROR_MORE_DATA)
            return CRegValue();
    }
}

// ControlType as the hook reads it: at most four bytes, whatever their type.
std::string DescribeControlTypeValue(const CRegValue& a_value)
{
    if (!a_value.m_bPresent)
        return "no ControlType (not controlled)";
    if (a_value.m_data.size() > sizeof(DWORD))
        return "a ControlType of " + std::to_string(a_value.m_data.size()) +
               " bytes, more than the hook reads (not controlled)";
    DWORD dwType = 0;
    memcpy(&dwType, a_value.m_data.data(), a_value.m_data.size());
    std::string strText = "ControlType " + std::to_string(dwType) + " (" + vm::DescribeControlType(dwType) + ")";
    if (a_value.m_dwType != REG_DWORD)
        strText += ", stored as registry type " + std::to_string(a_value.m_dwType) + " and read as raw bytes";
    return strText;
}

std::string DescribeApplicationValue(const CRegValue& a_value)
{
    if (!a_value.m_bPresent)
        return "no Application (the entry is not used)";
    if (a_value.m_data.size() > c_cbHookApplication)
        return "an Application longer than the hook reads (the entry is not used)";
    const char* pText = reinterpret_cast<const char*>(a_value.m_data.data());
    return "Application " + std::string(pText, strnlen(pText, a_value.m_data.size()));
}

int List()
{
    vm::UniqueKey table;
    LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, vm::c_szControlTableKey, 0, KEY_READ, table.put());
    if (lResult != ERROR_SUCCESS && lResult != ERROR_FILE_NOT_FOUND) {
        fprintf(stderr, "vmcheck: cannot read %s: %s\n", TableName().c_str(), vmtool::DescribeError(lResult).c_str());
        return c_nExitNotDone;
    }
    std::vector<std::string> lines;
    char szExt[c_cchMaxKeyName];
    for (DWORD i = 0; table && RegEnumKeyA(table.get(), i, szExt, c_cchMaxKeyName) == ERROR_SUCCESS; ++i) {
        vm::UniqueKey entry;
        if (RegOpenKeyExA(table.get(), szExt, 0, KEY_QUERY_VALUE, entry.put()) != ERROR_SUCCESS)
            continue;
        lines.push_back(std::string(szExt) + ": " +
                        DescribeControlTypeValue(ReadValue(entry.get(), vm::c_szControlTypeValue)) + ", " +
                        DescribeApplicationValue(ReadValue(entry.get(), vm::c_szControlAppValue)));
    }
    printf("control table %s: %u entries\n", TableName().c_str(), static_cast<unsigned>(lines.size()));
    for (const std::string& strLine : lines)
        printf("%s\n", strLine.c_str());
    return c_nExitDone;
}

int Add(const CControlTableCommand& a_command)
{
    const std::string strKey = std::string(vm::c_szControlTableKey) + "\\" + a_command.m_strExt;
    vm::UniqueKey entry;
    const DWORD dwType = a_command.m_uControlType;
    LONG lResult = RegCreateKeyExA(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                   entry.put(), nullptr);
    if (lResult == ERROR_SUCCESS)
        lResult = RegSetValueExA(entry.get(), vm::c_szControlTypeValue, 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&dwType), sizeof(dwType));
    if (lResult == ERROR_SUCCESS)
        lResult = RegSetValueExA(entry.get(), vm::c_szControlAppValue, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(a_command.m_strApplication.c_str()),
                                 static_cast<DWORD>(a_command.m_strApplication.size() + 1));
    if (lResult != ERROR_SUCCESS) {
        fprintf(stderr, "vmcheck: cannot write %s in %s: %s\n", a_command.m_strExt.c_str(), TableName().c_str(),
                vmtool::DescribeError(lResult).c_str());
        return c_nExitNotDone;
    }
    printf("%s: ControlType %lu (%s), Application %s\n", a_command.m_strExt.c_str(), a_command.m_uControlType,
           vm::DescribeControlType(a_command.m_uControlType), a_command.m_strApplication.c_str());
    return c_nExitDone;
}

// The table's own keys go with its last entry when nothing else is in them,
// so that a table made for a trial leaves the registry as it was.
void RemoveEmptyTableKeys()
{
    std::string strKey = vm::c_szControlTableKey;
    for (int iLevel = 0; iLevel < 3; ++iLevel) {
        vm::UniqueKey key;
        DWORD cSubKeys = 1, cValues = 1;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS ||
            RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, &cValues, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            cSubKeys != 0 || cValues != 0)
            return;
        key.reset();
        if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, strKey.c_str()) != ERROR_SUCCESS)
            return;
        strKey.erase(strKey.find_last_of('\\'));
    }
}

int Remove(const CControlTableCommand& a_command)
{
    const std::string strKey = std::string(vm::c_szControlTableKey) + "\\" + a_command.m_strExt;
    LONG lResult = RegDeleteTreeA(HKEY_LOCAL_MACHINE, strKey.c_str());
    if (lResult == ERROR_FILE_NOT_FOUND) {
        fprintf(stderr, "vmcheck: %s has no entry in %s\n", a_command.m_strExt.c_str(), TableName().c_str());
        return c_nExitNotDone;
    }
    if (lResult != ERROR_SUCCESS) {
        fprintf(stderr, "vmcheck: cannot remove %s from %s: %s\n", a_command.m_strExt.c_str(), TableName().c_str(),
                vmtool::DescribeError(lResult).c_str());
        return c_nExitNotDone;
    }
    RemoveEmptyTableKeys();
    printf("%s: removed\n", a_command.m_strExt.c_str());
    return c_nExitDone;
}

} // namespace

bool ParseControlTableCommand(const std::vector<std::string>& a_args, CControlTableCommand& a_command,
                              std::string& a_strError)
{
    static const struct {
        const char* m_szVerb;
        CControlTableCommand::Verb m_verb;
        size_t m_cOperands;
        const char* m_szOperands;
    } c_verbs[] = {{"list", CControlTableCommand::Verb::List, 0, "nothing more"},
                   {"add", CControlTableCommand::Verb::Add, 3, ".EXT TYPE APPLICATION"},
                   {"remove", CControlTableCommand::Verb::Remove, 1, ".EXT"}};
    for (const auto& row : c_verbs) {
        if (a_args.empty() || a_args[0] != row.m_szVerb)
            continue;
        a_command.m_verb = row.m_verb;
        if (a_args.size() != row.m_cOperands + 1)
            a_strError = "--control-table " + a_args[0] + " takes " + row.m_szOperands;
        else if (row.m_cOperands > 0 && !IsExtension(a_args[1]))
            a_strError = "'" + a_args[1] + "' is not an extension such as .doc";
        else if (row.m_cOperands > 1 && !vmtool::ParseDecimal(a_args[2].c_str(), vm::c_uHighestControlType,
                                                              a_command.m_uControlType))
            a_strError = "the ControlType is 0, 1, 2, 3 or 4, not '" + a_args[2] + "'";
        else if (row.m_cOperands > 2 && !IsApplicationName(a_args[3]))
            a_strError = "the application is a file name such as WINWORD.EXE, not '" + a_args[3] + "'";
        if (!a_strError.empty())
            return false;
        a_command.m_strExt = row.m_cOperands > 0 ? a_args[1] : std::string();
        a_command.m_strApplication = row.m_cOperands > 2 ? a_args[3] : std::string();
        return true;
    }
    a_strError = "--control-table wants list, add or remove";
    return false;
}

int RunControlTableCommand(const CControlTableCommand& a_command)
{
    switch (a_command.m_verb) {
    case CControlTableCommand::Verb::Add: return Add(a_command);
    case CControlTableCommand::Verb::Remove: return Remove(a_command);
    default: return List();
    }
}
