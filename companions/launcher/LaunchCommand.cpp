#include "companions/launcher/LaunchCommand.h"

#include "common/FileIdentity.h"

#include <windows.h>

#include <vector>

namespace vmlaunch {
namespace {

constexpr size_t c_cchMark = sizeof(c_szArgumentMark) / sizeof(c_szArgumentMark[0]) - 1;

// Paths are split by the platform (GetFullPathNameW), not by hand.
using vm::IsBlank;

size_t SkipBlanks(const std::wstring& a_str, size_t a_iPos)
{
    while (a_iPos < a_str.size() && IsBlank(a_str[a_iPos]))
        ++a_iPos;
    return a_iPos;
}

bool StartsWithNoCase(const std::wstring& a_str, const std::wstring& a_strPrefix)
{
    if (a_strPrefix.empty() || a_str.size() < a_strPrefix.size())
        return false;
    return CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a_str.c_str(),
                          static_cast<int>(a_strPrefix.size()), a_strPrefix.c_str(),
                          static_cast<int>(a_strPrefix.size())) == CSTR_EQUAL;
}

// The full path the platform makes of a_strPath ("..", "." and "/" resolved),
// split after its last backslash; false when it does not fit MAX_PATH or
// names no file.
bool SplitFullPath(const std::wstring& a_strPath, std::wstring& a_strFolder, std::wstring& a_strName)
{
    wchar_t szFull[MAX_PATH] = {};
    wchar_t* pszName = nullptr;
    DWORD cch = GetFullPathNameW(a_strPath.c_str(), MAX_PATH, szFull, &pszName);
    if (cch == 0 || cch >= MAX_PATH || !pszName || !*pszName)
        return false;
    a_strFolder.assign(szFull, pszName);
    a_strName = pszName;
    return true;
}

bool ReadPlugin(const std::wstring& a_strText, const std::wstring& a_strOwnFolder, std::wstring& a_strPlugin)
{
    std::wstring strFolder, strName;
    if (a_strOwnFolder.empty() || !IsFullPath(a_strText) || !SplitFullPath(a_strText, strFolder, strName))
        return false;
    // "plug.dll:x" would name a stream of another file on NTFS.
    if (strName.find(L':') != std::wstring::npos || !IsExistingFile(strFolder + strName))
        return false;
    if (lstrcmpiW(GetFolderOf(strFolder + strName).c_str(), a_strOwnFolder.c_str()) != 0)
        return false;
    a_strPlugin = strFolder + strName;
    return true;
}

bool ReadDirectory(const std::wstring& a_strText, std::wstring& a_strDirectory)
{
    wchar_t szFull[MAX_PATH] = {};
    if (!IsFullPath(a_strText))
        return false;
    DWORD cch = GetFullPathNameW(a_strText.c_str(), MAX_PATH, szFull, nullptr);
    if (cch == 0 || cch >= MAX_PATH || !IsExistingFolder(szFull))
        return false;
    a_strDirectory.assign(szFull, cch);
    return true;
}

} // namespace

std::wstring SkipLauncherPath(const std::wstring& a_strCommandLine, const std::wstring& a_strOwnPath)
{
    size_t iStart = SkipBlanks(a_strCommandLine, 0);
    std::wstring strLine = a_strCommandLine.substr(iStart);
    size_t iEnd = std::wstring::npos;
    if (!strLine.empty() && strLine[0] == L'"') {
        size_t iQuote = strLine.find(L'"', 1);
        iEnd = iQuote == std::wstring::npos ? strLine.size() : iQuote + 1;
    } else if (StartsWithNoCase(strLine, a_strOwnPath) &&
               (strLine.size() == a_strOwnPath.size() || IsBlank(strLine[a_strOwnPath.size()]))) {
        iEnd = a_strOwnPath.size();
    } else if (size_t cch = vm::LongestExistingPrefix(strLine)) {
        iEnd = cch;
    } else {
        iEnd = 0;
        while (iEnd < strLine.size() && !IsBlank(strLine[iEnd]))
            ++iEnd;
    }
    return strLine.substr(SkipBlanks(strLine, iEnd));
}

// A short (8.3) form must not make our own folder look foreign, nor a
// foreign one look like ours: both sides are compared in long form.
std::wstring GetFolderOf(const std::wstring& a_strPath)
{
    // A longer text names nothing we read, and Wine's GetLongPathNameW would
    // write it past a buffer of its own.
    if (a_strPath.size() >= MAX_PATH)
        return std::wstring();
    wchar_t szLong[MAX_PATH] = {};
    DWORD cch = GetLongPathNameW(a_strPath.c_str(), szLong, MAX_PATH);
    std::wstring strFolder, strName;
    if (cch == 0 || cch >= MAX_PATH || !SplitFullPath(szLong, strFolder, strName))
        return std::wstring();
    return strFolder;
}

// The marks of the line, left to right.
std::vector<size_t> FindMarks(const std::wstring& a_strArguments)
{
    std::vector<size_t> marks;
    for (size_t i = a_strArguments.find(c_szArgumentMark); i != std::wstring::npos;
         i = a_strArguments.find(c_szArgumentMark, i + c_cchMark))
        marks.push_back(i);
    return marks;
}

int ReadLaunchRequest(const std::wstring& a_strArguments, const std::wstring& a_strOwnFolder,
                      LaunchRequest& a_request, std::wstring& a_strWhy)
{
    std::vector<size_t> marks = FindMarks(a_strArguments);
    if (marks.empty() || marks.size() > 2) {
        a_strWhy = marks.empty() ? L"no /D: argument" : L"more than two /D: arguments";
        return c_nExitBadCommandLine;
    }
    // Known before any check, for the event of a refusal.
    a_request.strApplicationCommand = a_strArguments.substr(0, marks[0]);
    size_t iPluginEnd = marks.size() == 2 ? marks[1] : a_strArguments.size();
    std::wstring strPlugin = a_strArguments.substr(marks[0] + c_cchMark, iPluginEnd - marks[0] - c_cchMark);
    if (!ReadPlugin(strPlugin, a_strOwnFolder, a_request.strPluginPath)) {
        a_strWhy = L"no plug-in of the folder \"" + a_strOwnFolder + L"\" in \"" + strPlugin + L"\"";
        return c_nExitNoPlugin;
    }
    a_request.strDirectory.clear();
    a_request.strAfterPlugin = a_strArguments.substr(iPluginEnd);
    if (marks.size() == 2 && !ReadDirectory(a_strArguments.substr(marks[1] + c_cchMark), a_request.strDirectory)) {
        a_strWhy = L"working directory is not an existing folder named by a full path: \"" +
                   a_strArguments.substr(marks[1] + c_cchMark) + L"\"";
        return c_nExitBadDirectory;
    }
    const std::wstring& strCommand = a_request.strApplicationCommand;
    a_request.strApplicationPath = FindApplicationPath(strCommand);
    if (a_request.strApplicationPath.empty()) {
        a_strWhy = L"application is not an existing file named by a full path: \"" + strCommand + L"\"";
        return c_nExitNoApplication;
    }
    a_request.strCommandLine = QuoteApplicationPath(strCommand, a_request.strApplicationPath);
    return c_nExitStarted;
}

std::wstring FindApplicationPath(const std::wstring& a_strCommand)
{
    if (!a_strCommand.empty() && a_strCommand[0] == L'"') {
        size_t iQuote = a_strCommand.find(L'"', 1);
        if (iQuote == std::wstring::npos)
            return std::wstring();
        std::wstring strPath = a_strCommand.substr(1, iQuote - 1);
        return IsFullPath(strPath) && IsExistingFile(strPath) ? strPath : std::wstring();
    }
    return a_strCommand.substr(0, LongestExistingPrefix(a_strCommand));
}

std::wstring DocumentOfCommand(const std::wstring& a_strCommand, const std::wstring& a_strApplication)
{
    size_t iClose = a_strCommand.size();
    while (iClose > 0 && a_strCommand[iClose - 1] == L' ')
        --iClose;
    if (a_strCommand.empty() || a_strCommand[0] == L'"' || iClose < 2 || a_strCommand[iClose - 1] != L'"')
        return a_strApplication;
    size_t iOpen = a_strCommand.rfind(L'"', iClose - 2);
    if (iOpen == std::wstring::npos || iOpen == 0 || a_strCommand[iOpen - 1] != L' ')
        return a_strApplication;
    return a_strCommand.substr(iOpen + 1, iClose - iOpen - 2);
}

std::wstring QuoteApplicationPath(const std::wstring& a_strCommand, const std::wstring& a_strApplication)
{
    if (a_strCommand.empty() || a_strCommand[0] == L'"' ||
        a_strApplication.find_first_of(L" \t") == std::wstring::npos ||
        a_strCommand.compare(0, a_strApplication.size(), a_strApplication) != 0)
        return a_strCommand;
    return L'"' + a_strApplication + L'"' + a_strCommand.substr(a_strApplication.size());
}

} // namespace vmlaunch
