#include "common/CommandProgram.h"

#include "common/FileIdentity.h"
#include "common/Handle.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

namespace vm {
namespace {

constexpr char c_szAppPathsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";
constexpr char c_szMachineEnvironmentKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
// No command of the registry comes near it; an expansion that would grow past
// it is left unexpanded.
constexpr size_t c_cchExpandedMax = 32767;

std::string WindowsFolder()
{
    char sz[MAX_PATH];
    UINT cch = GetSystemWindowsDirectoryA(sz, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? std::string(sz, cch) : std::string();
}

std::string KnownFolder(REFKNOWNFOLDERID a_id)
{
    PWSTR szPath = nullptr;
    std::string strPath;
    if (SUCCEEDED(SHGetKnownFolderPath(a_id, KF_FLAG_DONT_VERIFY, nullptr, &szPath)) && szPath &&
        !AnsiFromWide(szPath, strPath))
        strPath.clear();
    CoTaskMemFree(szPath);
    return strPath;
}

// The variables every machine defines for itself; the platform answers them,
// whatever the process's environment says.
bool FixedMachineVariable(const std::string& a_strName, std::string& a_strValue)
{
    struct Folder {
        const char* m_szName;
        const KNOWNFOLDERID* m_pId;
    };
    static const Folder c_folders[] = {
        {"ProgramFiles", &FOLDERID_ProgramFiles},
        {"CommonProgramFiles", &FOLDERID_ProgramFilesCommon},
        {"ProgramFiles(x86)", &FOLDERID_ProgramFilesX86},
        {"CommonProgramFiles(x86)", &FOLDERID_ProgramFilesCommonX86},
        {"ProgramW6432", &FOLDERID_ProgramFilesX64},
        {"ProgramData", &FOLDERID_ProgramData},
        {"ALLUSERSPROFILE", &FOLDERID_ProgramData},
    };
    const char* szName = a_strName.c_str();
    if (lstrcmpiA(szName, "SystemRoot") == 0 || lstrcmpiA(szName, "windir") == 0) {
        a_strValue = WindowsFolder();
        return !a_strValue.empty();
    }
    if (lstrcmpiA(szName, "SystemDrive") == 0) {
        a_strValue = WindowsFolder().substr(0, 2);
        return a_strValue.size() == 2 && a_strValue[1] == ':';
    }
    for (const Folder& folder : c_folders) {
        if (lstrcmpiA(szName, folder.m_szName) == 0) {
            a_strValue = KnownFolder(*folder.m_pId);
            return !a_strValue.empty();
        }
    }
    return false;
}

// Variables each user's own environment sets, over any machine-wide value of
// the same name (the machine's TEMP is the Windows folder's, USERNAME is
// SYSTEM): the machine's value names another file than the user's start
// would run, so none of them is ever read as the machine's.
bool IsUserVariable(const std::string& a_strName)
{
    static const char* const c_szUserVariables[] = {
        "USERPROFILE", "LOCALAPPDATA", "APPDATA", "HOMEDRIVE", "HOMEPATH", "HOMESHARE", "TEMP", "TMP",
        "USERNAME", "USERDOMAIN", "OneDrive", "OneDriveConsumer", "OneDriveCommercial",
    };
    for (const char* szName : c_szUserVariables)
        if (lstrcmpiA(a_strName.c_str(), szName) == 0)
            return true;
    return false;
}

std::string ExpandWith(const std::string& a_strText, bool a_bRegistry);

// A machine-wide variable of the registry, its own variables expanded with
// the fixed ones only (so that no value can expand itself).
bool RegistryMachineVariable(const std::string& a_strName, std::string& a_strValue)
{
    DWORD cb = 0;
    DWORD dwFlags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
    DWORD dwType = 0;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, c_szMachineEnvironmentKey, a_strName.c_str(), dwFlags, &dwType, nullptr,
                     &cb) != ERROR_SUCCESS ||
        cb == 0 || cb > c_cchExpandedMax)
        return false;
    std::vector<char> buffer(cb + 1, '\0');
    if (RegGetValueA(HKEY_LOCAL_MACHINE, c_szMachineEnvironmentKey, a_strName.c_str(), dwFlags, &dwType,
                     buffer.data(), &cb) != ERROR_SUCCESS)
        return false;
    a_strValue = buffer.data();
    if (dwType == REG_EXPAND_SZ)
        a_strValue = ExpandWith(a_strValue, false);
    return true;
}

// '%' is never the second byte of a double-byte character.
std::string ExpandWith(const std::string& a_strText, bool a_bRegistry)
{
    std::string strOut;
    size_t i = 0;
    while (i < a_strText.size()) {
        size_t iEnd = a_strText[i] == '%' ? a_strText.find('%', i + 1) : std::string::npos;
        std::string strValue;
        if (iEnd != std::string::npos && iEnd > i + 1) {
            std::string strName = a_strText.substr(i + 1, iEnd - i - 1);
            if (FixedMachineVariable(strName, strValue) ||
                (a_bRegistry && !IsUserVariable(strName) && RegistryMachineVariable(strName, strValue))) {
                if (strOut.size() + strValue.size() > c_cchExpandedMax)
                    return a_strText;
                strOut += strValue;
                i = iEnd + 1;
                continue;
            }
        }
        strOut += a_strText[i++];
    }
    return strOut;
}

// The name between two percent signs, when it can be one: a placeholder's
// quote, blank or folder separator between them makes it none.
bool IsVariableName(const std::string& a_strName)
{
    return !a_strName.empty() && a_strName.find_first_of(" \t\"\\") == std::string::npos;
}

template <class Char>
bool EndsWithBatchExtension(std::basic_string_view<Char> a_name)
{
    if (a_name.size() < 5 || a_name[a_name.size() - 4] != '.')
        return false;
    char szExt[4] = {};
    for (size_t i = 0; i < 3; ++i) {
        Char c = a_name[a_name.size() - 3 + i];
        // No character beyond ASCII folds to one of these letters.
        if (static_cast<unsigned long>(c) > 0x7F)
            return false;
        szExt[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return lstrcmpA(szExt, "bat") == 0 || lstrcmpA(szExt, "cmd") == 0;
}

std::string LongForm(const std::string& a_strPath)
{
    char sz[MAX_PATH];
    DWORD cch = GetLongPathNameA(a_strPath.c_str(), sz, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? std::string(sz, cch) : a_strPath;
}

std::string AppPathsProgram(const std::string& a_strName)
{
    char sz[MAX_PATH + 1] = {};
    DWORD cb = MAX_PATH;
    std::string strKey = c_szAppPathsKey + a_strName;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, strKey.c_str(), nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                     nullptr, sz, &cb) != ERROR_SUCCESS)
        return std::string();
    std::string strPath = ExpandMachineVariables(sz);
    if (strPath.size() >= 2 && strPath.front() == '"' && strPath.back() == '"')
        strPath = strPath.substr(1, strPath.size() - 2);
    return IsFullPath(strPath) && strPath.size() < MAX_PATH && IsExistingFile(strPath) ? strPath : std::string();
}

std::string ProgramInFolder(const std::string& a_strFolder, const std::string& a_strName)
{
    if (!IsFullPath(a_strFolder))
        return std::string();
    std::string strFolder = a_strFolder;
    while (!strFolder.empty() && strFolder.back() == '\\')
        strFolder.pop_back();
    std::string strPath = strFolder + "\\" + a_strName;
    return strPath.size() < MAX_PATH && IsExistingFile(strPath) ? strPath : std::string();
}

std::vector<std::string> SearchFolders()
{
    std::vector<std::string> folders;
    char sz[MAX_PATH];
    UINT cch = GetSystemDirectoryA(sz, MAX_PATH);
    if (cch > 0 && cch < MAX_PATH)
        folders.emplace_back(sz, cch);
    cch = GetWindowsDirectoryA(sz, MAX_PATH);
    if (cch > 0 && cch < MAX_PATH)
        folders.emplace_back(sz, cch);
    DWORD cchPath = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (cchPath == 0 || cchPath > c_cchExpandedMax)
        return folders;
    std::vector<char> path(cchPath + 1, '\0');
    GetEnvironmentVariableA("PATH", path.data(), cchPath + 1);
    std::string strPath = path.data();
    for (size_t i = 0; i <= strPath.size();) {
        size_t iEnd = strPath.find(';', i);
        if (iEnd == std::string::npos)
            iEnd = strPath.size();
        std::string strEntry = strPath.substr(i, iEnd - i);
        if (strEntry.size() >= 2 && strEntry.front() == '"' && strEntry.back() == '"')
            strEntry = strEntry.substr(1, strEntry.size() - 2);
        // Relative entries would be read from the current directory.
        if (IsFullPath(strEntry))
            folders.push_back(strEntry);
        i = iEnd + 1;
    }
    return folders;
}

// A placeholder the shell fills with the document or the request's own
// parameters, quoted or not.
bool IsPlaceholder(std::string a_strToken)
{
    if (a_strToken.size() >= 2 && a_strToken.front() == '"' && a_strToken.back() == '"')
        a_strToken = a_strToken.substr(1, a_strToken.size() - 2);
    return a_strToken.size() == 2 && a_strToken[0] == '%' &&
           StrChrIA("0123456789*LVDI~", a_strToken[1]) != nullptr;
}

// The words after the program, a quoted stretch belonging to its word, less
// the placeholders.
std::string ArgumentsBesideDocument(const std::string& a_strRest)
{
    std::string strArguments;
    size_t i = 0;
    while (i < a_strRest.size()) {
        if (IsBlank(a_strRest[i])) {
            ++i;
            continue;
        }
        size_t iStart = i;
        bool bQuoted = false;
        for (; i < a_strRest.size() && (bQuoted || !IsBlank(a_strRest[i])); ++i)
            bQuoted = a_strRest[i] == '"' ? !bQuoted : bQuoted;
        std::string strToken = a_strRest.substr(iStart, i - iStart);
        if (IsPlaceholder(strToken))
            continue;
        if (!strArguments.empty())
            strArguments += ' ';
        strArguments += strToken;
    }
    return strArguments;
}

std::string ProgramOfQuotedWord(const std::string& a_strWord)
{
    if (IsFullPath(a_strWord))
        return ProgramAtPath(a_strWord);
    return FindBareProgram(a_strWord);
}

} // namespace

std::string ProgramAtPath(const std::string& a_strPath)
{
    if (!IsFullPath(a_strPath) || a_strPath.size() >= MAX_PATH)
        return std::string();
    if (IsExistingFile(a_strPath))
        return a_strPath;
    std::string strWithExe = a_strPath + ".exe";
    if (*PathFindExtensionA(a_strPath.c_str()) == '\0' && strWithExe.size() < MAX_PATH && IsExistingFile(strWithExe))
        return strWithExe;
    return std::string();
}

std::string ExpandMachineVariables(const std::string& a_strText)
{
    return ExpandWith(a_strText, true);
}

bool IsBatchProgram(std::string_view a_name)
{
    return EndsWithBatchExtension(a_name);
}

bool IsBatchProgram(std::wstring_view a_name)
{
    return EndsWithBatchExtension(a_name);
}

std::string DescribeBatchProgram(const std::string& a_strProgram)
{
    return a_strProgram + " is a batch file: it runs in the command interpreter cmd.exe, where the plug-in protects "
                          "nothing the batch file starts";
}

// '%' is never the second byte of a double-byte character.
std::string UndefinedVariableOf(const std::string& a_strText)
{
    for (size_t i = a_strText.find('%'); i != std::string::npos; i = a_strText.find('%', i)) {
        size_t iEnd = a_strText.find('%', i + 1);
        if (iEnd == std::string::npos)
            break;
        std::string strName = a_strText.substr(i + 1, iEnd - i - 1), strValue;
        if (!IsVariableName(strName)) {
            ++i;
            continue;
        }
        if (!FixedMachineVariable(strName, strValue) &&
            (IsUserVariable(strName) || !RegistryMachineVariable(strName, strValue)))
            return a_strText.substr(i, iEnd - i + 1);
        i = iEnd + 1;
    }
    return std::string();
}

std::string FindBareProgram(const std::string& a_strName)
{
    // A switch, a placeholder, a module's entry point or a relative path is
    // never a program of its own.
    if (a_strName.empty() || a_strName.size() >= MAX_PATH || a_strName[0] == '-' ||
        a_strName.find_first_of("\\/:%,\"") != std::string::npos)
        return std::string();
    std::string strName = a_strName;
    if (*PathFindExtensionA(strName.c_str()) == '\0')
        strName += ".exe";
    std::string strFound = AppPathsProgram(strName);
    for (const std::string& strFolder : SearchFolders()) {
        if (!strFound.empty())
            break;
        strFound = ProgramInFolder(strFolder, strName);
    }
    return strFound.empty() ? std::string() : LongForm(strFound);
}

CommandProgram FindCommandProgram(const std::string& a_strCommand, bool a_bLongForm)
{
    std::string strText = ExpandMachineVariables(a_strCommand);
    size_t iStart = 0;
    while (iStart < strText.size() && IsBlank(strText[iStart]))
        ++iStart;
    strText.erase(0, iStart);

    CommandProgram found;
    std::string strRest;
    if (!strText.empty() && strText[0] == '"') {
        size_t iClose = strText.find('"', 1);
        std::string strWord = strText.substr(1, iClose == std::string::npos ? std::string::npos : iClose - 1);
        found.m_strProgram = ProgramOfQuotedWord(strWord);
        strRest = iClose == std::string::npos ? std::string() : strText.substr(iClose + 1);
    } else if (IsFullPath(strText)) {
        size_t cch = LongestExistingPrefix(strText);
        found.m_strProgram = strText.substr(0, cch);
        strRest = strText.substr(cch);
    } else {
        size_t cchWord = 0;
        while (cchWord < strText.size() && !IsBlank(strText[cchWord]))
            ++cchWord;
        found.m_strProgram = FindBareProgram(strText.substr(0, cchWord));
        strRest = strText.substr(cchWord);
    }
    if (found.m_strProgram.empty())
        return found;
    if (a_bLongForm)
        found.m_strProgram = LongForm(found.m_strProgram);
    found.m_strArguments = ArgumentsBesideDocument(strRest);
    found.m_strRest = strRest;
    return found;
}

bool IsMachineClassesValue(const char* a_szSubKey)
{
    std::string strUserKey = std::string("Software\\Classes\\") + (a_szSubKey ? a_szSubKey : "");
    UniqueKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, strUserKey.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return true;
    return RegQueryValueExA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS;
}

namespace {

template <class String>
bool FillPlaceholders(const String& a_strRest, const String& a_strDocument, const String& a_strFolder,
                      String& a_strFilled)
{
    using Char = typename String::value_type;
    bool bDocument = false;
    a_strFilled.clear();
    for (size_t i = 0; i < a_strRest.size(); ++i) {
        if (a_strRest[i] != Char('%') || i + 1 == a_strRest.size()) {
            a_strFilled += a_strRest[i];
            continue;
        }
        const Char chNext = a_strRest[i + 1];
        const Char chUpper = chNext >= Char('a') && chNext <= Char('z') ? Char(chNext - Char('a') + Char('A')) : chNext;
        if (chUpper == Char('0') || chUpper == Char('1') || chUpper == Char('L') || chUpper == Char('V') ||
            chUpper == Char('D')) {
            a_strFilled += a_strDocument;
            bDocument = true;
        } else if (chUpper == Char('W')) {
            a_strFilled += a_strFolder;
        } else if (chUpper == Char('I')) {
            return false;
        } else if (chUpper == Char('%')) {
            a_strFilled += Char('%');
        } else if (!(chUpper == Char('*') || chUpper == Char('~') || (chUpper >= Char('2') && chUpper <= Char('9')))) {
            a_strFilled += a_strRest[i];
            continue;
        }
        ++i;
    }
    return bDocument;
}

} // namespace

bool FillCommandPlaceholders(const std::string& a_strRest, const std::string& a_strDocument,
                             const std::string& a_strFolder, std::string& a_strFilled)
{
    return FillPlaceholders(a_strRest, a_strDocument, a_strFolder, a_strFilled);
}

bool FillCommandPlaceholders(const std::wstring& a_strRest, const std::wstring& a_strDocument,
                             const std::wstring& a_strFolder, std::wstring& a_strFilled)
{
    return FillPlaceholders(a_strRest, a_strDocument, a_strFolder, a_strFilled);
}

} // namespace vm
