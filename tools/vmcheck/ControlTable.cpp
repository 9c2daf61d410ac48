#include "tools/vmcheck/ControlTable.h"

#include "common/ControlTable.h"
#include "common/Handle.h"
#include "tools/toolsupport/ToolText.h"
#include "tools/toolsupport/ToolUsage.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <map>

namespace {

enum ExitCode { c_nExitDone = 0, c_nExitNotDone = 1 };

// The hook reads the application's name into a buffer of this many bytes,
// the terminating zero included.
constexpr size_t c_cbHookApplication = MAX_PATH;
// Key names are at most this long.
constexpr DWORD c_cchMaxKeyName = 256;

const char* ViewName(REGSAM a_samView)
{
    if (a_samView == 0)
        return sizeof(void*) == 8 ? "64-bit" : "32-bit";
    return a_samView == KEY_WOW64_64KEY ? "64-bit" : "32-bit";
}

std::string TableName(REGSAM a_samView = 0)
{
    return std::string("HKLM\\") + vm::c_szControlTableKey + " (" + ViewName(a_samView) + " registry view)";
}

// The views a change of the table is written to: both on 64-bit Windows,
// where each build's hook reads its own; the one there is elsewhere.
std::vector<REGSAM> ViewsToWrite()
{
    if (IsSixtyFourBitWindows())
        return {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    return {0};
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

// An entry as one view holds it.
struct CTableEntry {
    std::string m_strExt;  // as the registry spells it
    std::string m_strText; // what the hook makes of it, in words
    std::string m_strAdd;  // the operands of "add" that write it so; empty when none can
    CControlEntry m_entry; // what the hook reads of it
};
// By extension in lower case: the registry's names know no case.
using CTable = std::map<std::string, CTableEntry>;

CTableEntry ReadEntry(HKEY a_hEntry, const char* a_szExt)
{
    CRegValue type = ReadValue(a_hEntry, vm::c_szControlTypeValue);
    CRegValue application = ReadValue(a_hEntry, vm::c_szControlAppValue);
    CTableEntry entry{a_szExt, DescribeControlTypeValue(type) + ", " + DescribeApplicationValue(application), "",
                      {a_szExt, 0, ""}};
    if (type.m_bPresent && type.m_data.size() <= sizeof(DWORD)) {
        DWORD dwRaw = 0;
        memcpy(&dwRaw, type.m_data.data(), type.m_data.size());
        entry.m_entry.m_uControlType = dwRaw;
    }
    if (application.m_bPresent && application.m_data.size() <= c_cbHookApplication) {
        const char* pText = reinterpret_cast<const char*>(application.m_data.data());
        entry.m_entry.m_strApplication.assign(pText, strnlen(pText, application.m_data.size()));
    }
    if (type.m_bPresent && type.m_dwType == REG_DWORD && type.m_data.size() == sizeof(DWORD) &&
        application.m_bPresent && application.m_data.size() <= c_cbHookApplication) {
        DWORD dwType = 0;
        memcpy(&dwType, type.m_data.data(), sizeof(dwType));
        const char* pText = reinterpret_cast<const char*>(application.m_data.data());
        std::string strApplication(pText, strnlen(pText, application.m_data.size()));
        if (dwType <= vm::c_uHighestControlType && IsApplicationName(strApplication))
            entry.m_strAdd = std::string(a_szExt) + " " + std::to_string(dwType) + " " + strApplication;
    }
    return entry;
}

// The table of one view; a missing table is an empty one.
LONG ReadTable(REGSAM a_samView, CTable& a_table)
{
    vm::UniqueKey table;
    LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, vm::c_szControlTableKey, 0, KEY_READ | a_samView, table.put());
    if (lResult != ERROR_SUCCESS)
        return lResult == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : lResult;
    char szExt[c_cchMaxKeyName];
    for (DWORD i = 0; RegEnumKeyA(table.get(), i, szExt, c_cchMaxKeyName) == ERROR_SUCCESS; ++i) {
        vm::UniqueKey entry;
        if (RegOpenKeyExA(table.get(), szExt, 0, KEY_QUERY_VALUE | a_samView, entry.put()) != ERROR_SUCCESS)
            continue;
        std::string strKey = szExt;
        CharLowerBuffA(&strKey[0], static_cast<DWORD>(strKey.size()));
        a_table[strKey] = ReadEntry(entry.get(), szExt);
    }
    return ERROR_SUCCESS;
}

int List()
{
    CTable table;
    LONG lResult = ReadTable(0, table);
    if (lResult != ERROR_SUCCESS) {
        fprintf(stderr, "vmcheck: cannot read %s: %s\n", TableName().c_str(), vmtool::DescribeError(lResult).c_str());
        return c_nExitNotDone;
    }
    printf("control table %s: %u entries\n", TableName().c_str(), static_cast<unsigned>(table.size()));
    for (const auto& entry : table)
        printf("%s: %s\n", entry.second.m_strExt.c_str(), entry.second.m_strText.c_str());
    return c_nExitDone;
}

// What mends an entry that differs between the views: writing it into both
// as one view has it, or removing it from both.
std::string ViewFix(const std::string& a_strExt, const CTableEntry* a_p64, const CTableEntry* a_p32)
{
    std::string strFix = "run: ";
    for (const CTableEntry* pEntry : {a_p64, a_p32})
        if (pEntry && !pEntry->m_strAdd.empty())
            strFix += "vmcheck --control-table add " + pEntry->m_strAdd + " (as the " +
                      (pEntry == a_p64 ? "64" : "32") + "-bit view has it), or ";
    return strFix + "vmcheck --control-table remove " + a_strExt + "; either writes both views";
}

LONG WriteEntry(const CControlTableCommand& a_command, REGSAM a_samView)
{
    const std::string strKey = std::string(vm::c_szControlTableKey) + "\\" + a_command.m_strExt;
    vm::UniqueKey entry;
    const DWORD dwType = a_command.m_uControlType;
    LONG lResult = RegCreateKeyExA(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | a_samView,
                                   nullptr, entry.put(), nullptr);
    if (lResult == ERROR_SUCCESS)
        lResult = RegSetValueExA(entry.get(), vm::c_szControlTypeValue, 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&dwType), sizeof(dwType));
    if (lResult == ERROR_SUCCESS)
        lResult = RegSetValueExA(entry.get(), vm::c_szControlAppValue, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(a_command.m_strApplication.c_str()),
                                 static_cast<DWORD>(a_command.m_strApplication.size() + 1));
    return lResult;
}

} // namespace

bool FindApplicationCommand(const std::string& a_strApplication, std::string& a_strKey, std::string& a_strCommand)
{
    if (a_strApplication.empty())
        return false;
    for (const char* szVerb : {"open", "edit"}) {
        const std::string strKey = "Applications\\" + a_strApplication + "\\shell\\" + szVerb + "\\command";
        char szText[MAX_PATH];
        DWORD cbText = sizeof(szText);
        if (RegGetValueA(HKEY_CLASSES_ROOT, strKey.c_str(), nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                         nullptr, szText, &cbText) == ERROR_SUCCESS) {
            a_strKey = strKey;
            a_strCommand = szText;
            return true;
        }
    }
    return false;
}

namespace {

// What "add" is about to do beyond writing: replace an entry, or name an
// application the hook finds no command for.
void SayWhatAddChanges(const CControlTableCommand& a_command)
{
    CTable table;
    std::string strExt = a_command.m_strExt;
    CharLowerBuffA(&strExt[0], static_cast<DWORD>(strExt.size()));
    if (ReadTable(0, table) == ERROR_SUCCESS) {
        auto it = table.find(strExt);
        if (it != table.end())
            printf("%s: replaces %s\n", it->second.m_strExt.c_str(), it->second.m_strText.c_str());
    }
    std::string strKey, strCommand;
    if (a_command.m_uControlType != 0 && !FindApplicationCommand(a_command.m_strApplication, strKey, strCommand))
        fprintf(stderr,
                "vmcheck: warning: %s is not registered (no HKCR\\Applications\\%s\\shell\\open\\command), so the "
                "hook cannot serve %s documents until it is installed\n",
                a_command.m_strApplication.c_str(), a_command.m_strApplication.c_str(), a_command.m_strExt.c_str());
}

int Add(const CControlTableCommand& a_command)
{
    SayWhatAddChanges(a_command);
    for (REGSAM samView : ViewsToWrite()) {
        LONG lResult = WriteEntry(a_command, samView);
        if (lResult != ERROR_SUCCESS) {
            fprintf(stderr, "vmcheck: cannot write %s in %s: %s\n", a_command.m_strExt.c_str(),
                    TableName(samView).c_str(), vmtool::DescribeError(lResult).c_str());
            return c_nExitNotDone;
        }
    }
    printf("%s: ControlType %lu (%s), Application %s\n", a_command.m_strExt.c_str(), a_command.m_uControlType,
           vm::DescribeControlType(a_command.m_uControlType), a_command.m_strApplication.c_str());
    return c_nExitDone;
}

// The table's own keys go with its last entry when nothing else is in them,
// so that a table made for a trial leaves the registry as it was.
void RemoveEmptyTableKeys(REGSAM a_samView)
{
    std::string strKey = vm::c_szControlTableKey;
    for (int iLevel = 0; iLevel < 3; ++iLevel) {
        vm::UniqueKey key;
        DWORD cSubKeys = 1, cValues = 1;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, KEY_QUERY_VALUE | a_samView, key.put()) !=
                ERROR_SUCCESS ||
            RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr, &cValues, nullptr,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            cSubKeys != 0 || cValues != 0)
            return;
        key.reset();
        if (RegDeleteKeyExA(HKEY_LOCAL_MACHINE, strKey.c_str(), a_samView, 0) != ERROR_SUCCESS)
            return;
        strKey.erase(strKey.find_last_of('\\'));
    }
}

// The entry's key in one view, with all below it.
LONG RemoveEntry(const std::string& a_strExt, REGSAM a_samView)
{
    vm::UniqueKey table;
    LONG lResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, vm::c_szControlTableKey, 0,
                                 KEY_READ | KEY_SET_VALUE | DELETE | a_samView, table.put());
    if (lResult == ERROR_SUCCESS)
        lResult = RegDeleteTreeA(table.get(), a_strExt.c_str());
    return lResult;
}

// Removed from every view that holds it; an entry no view holds is not done.
int Remove(const CControlTableCommand& a_command)
{
    size_t cRemoved = 0;
    for (REGSAM samView : ViewsToWrite()) {
        LONG lResult = RemoveEntry(a_command.m_strExt, samView);
        if (lResult == ERROR_FILE_NOT_FOUND)
            continue;
        if (lResult != ERROR_SUCCESS) {
            fprintf(stderr, "vmcheck: cannot remove %s from %s: %s\n", a_command.m_strExt.c_str(),
                    TableName(samView).c_str(), vmtool::DescribeError(lResult).c_str());
            return c_nExitNotDone;
        }
        ++cRemoved;
        RemoveEmptyTableKeys(samView);
    }
    if (cRemoved == 0) {
        fprintf(stderr, "vmcheck: %s has no entry in %s\n", a_command.m_strExt.c_str(), TableName().c_str());
        return c_nExitNotDone;
    }
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

std::vector<CControlEntry> ReadControlEntries()
{
    CTable table;
    std::vector<CControlEntry> entries;
    if (ReadTable(0, table) == ERROR_SUCCESS)
        for (const auto& item : table)
            entries.push_back(item.second.m_entry);
    return entries;
}

bool IsSixtyFourBitWindows()
{
    BOOL bWow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64);
}

std::vector<CViewDifference> CompareControlTableViews()
{
    CTable table64, table32;
    LONG lResult = ReadTable(KEY_WOW64_64KEY, table64);
    if (lResult == ERROR_SUCCESS)
        lResult = ReadTable(KEY_WOW64_32KEY, table32);
    if (lResult != ERROR_SUCCESS)
        return {{"", "the table cannot be read: " + vmtool::DescribeError(lResult), "run vmcheck as an administrator"}};
    std::vector<CViewDifference> differences;
    CTable all = table64;
    all.insert(table32.begin(), table32.end());
    for (const auto& item : all) {
        auto it64 = table64.find(item.first), it32 = table32.find(item.first);
        const CTableEntry* p64 = it64 == table64.end() ? nullptr : &it64->second;
        const CTableEntry* p32 = it32 == table32.end() ? nullptr : &it32->second;
        if (p64 && p32 && p64->m_strText == p32->m_strText)
            continue;
        std::string strReason = std::string("the 64-bit view (Explorer's hook) has ") +
                                (p64 ? p64->m_strText : "no entry") + "; the 32-bit view (32-bit programs' hook) has " +
                                (p32 ? p32->m_strText : "no entry");
        differences.push_back({item.second.m_strExt, strReason, ViewFix(item.second.m_strExt, p64, p32)});
    }
    return differences;
}

int RunControlTableCommand(const CControlTableCommand& a_command)
{
    switch (a_command.m_verb) {
    case CControlTableCommand::Verb::Add: return Add(a_command);
    case CControlTableCommand::Verb::Remove: return Remove(a_command);
    default: return List();
    }
}
