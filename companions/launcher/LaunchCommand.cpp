#include "companions/launcher/LaunchCommand.h"

#include "common/FileIdentity.h"

#include <windows.h>

#include <vector>

namespace vmlaunch {
namespace {

constexpr size_t c_cchMark = sizeof(c_szArgumentMark) - 1;

// Blanks, quotes, "/" and ":" are never the second byte of a double-byte
// character, so the byte scans below are safe in any code page; a backslash
// can be, so paths are split by the platform (GetFullPathNameA), not by hand.
using vm::IsBlank;

size_t SkipBlanks(const std::string& a_str, size_t a_iPos)
{
    while (a_iPos < a_str.size() && IsBlank(a_str[a_iPos]))
        ++a_iPos;
    return a_iPos;
}

bool StartsWithNoCase(const std::string& a_str, const std::string& a_strPrefix)
{
    if (a_strPrefix.empty() || a_str.size() < a_strPrefix.size())
        return false;
    return CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a_str.c_str(),
                          static_cast<int>(a_strPrefix.size()), a_strPrefix.c_str(),
                          static_cast<int>(a_strPrefix.size())) == CSTR_EQUAL;
}

// Length of the longest prefix ending before a blank (or at the end) that
// names an existing file; 0 when none does, and always 0 for a relative
// text, which would be looked up in the current directory. A quote ends the
// search, since no path holds one.
size_t LongestExistingPrefix(const std::string& a_str)
{
    if (!IsFullPath(a_str))
        return 0;
    size_t cchBest = 0;
    for (size_t i = 0; i < a_str.size() && a_str[i] != '"'; ++i) {
        bool bWordEnds = i + 1 == a_str.size() || IsBlank(a_str[i + 1]);
        if (bWordEnds && !IsBlank(a_str[i]) && IsExistingFile(a_str.substr(0, i + 1)))
            cchBest = i + 1;
    }
    return cchBest;
}

// The full path the platform makes of a_strPath ("..", "." and "/" resolved),
// split after its last backslash; false when it does not fit MAX_PATH or
// names no file.
bool SplitFullPath(const std::string& a_strPath, std::string& a_strFolder, std::string& a_strName)
{
    char szFull[MAX_PATH] = {};
    char* pszName = nullptr;
    DWORD cch = GetFullPathNameA(a_strPath.c_str(), MAX_PATH, szFull, &pszName);
    if (cch == 0 || cch >= MAX_PATH || !pszName || !*pszName)
        return false;
    a_strFolder.assign(szFull, pszName);
    a_strName = pszName;
    return true;
}

bool ReadPlugin(const std::string& a_strText, const std::string& a_strOwnFolder, std::string& a_strPlugin)
{
    std::string strFolder, strName;
    if (a_strOwnFolder.empty() || !IsFullPath(a_strText) || !SplitFullPath(a_strText, strFolder, strName))
        return false;
    // "plug.dll:x" would name a stream of another file on NTFS.
    if (strName.find(':') != std::string::npos || !IsExistingFile(strFolder + strName))
        return false;
    if (lstrcmpiA(GetFolderOf(strFolder + strName).c_str(), a_strOwnFolder.c_str()) != 0)
        return false;
    a_strPlugin = strFolder + strName;
    return true;
}

bool ReadDirectory(const std::string& a_strText, std::string& a_strDirectory)
{
    char szFull[MAX_PATH] = {};
    if (!IsFullPath(a_strText))
        return false;
    DWORD cch = GetFullPathNameA(a_strText.c_str(), MAX_PATH, szFull, nullptr);
    if (cch == 0 || cch >= MAX_PATH || !IsExistingFolder(szFull))
        return false;
    a_strDirectory.assign(szFull, cch);
    return true;
}

} // namespace

std::string SkipLauncherPath(const std::string& a_strCommandLine, const std::string& a_strOwnPath)
{
    size_t iStart = SkipBlanks(a_strCommandLine, 0);
    std::string strLine = a_strCommandLine.substr(iStart);
    size_t iEnd = std::string::npos;
    if (!strLine.empty() && strLine[0] == '"') {
        size_t iQuote = strLine.find('"', 1);
        iEnd = iQuote == std::string::npos ? strLine.size() : iQuote + 1;
    } else if (StartsWithNoCase(strLine, a_strOwnPath) &&
               (strLine.size() == a_strOwnPath.size() || IsBlank(strLine[a_strOwnPath.size()]))) {
        iEnd = a_strOwnPath.size();
    } else if (size_t cch = LongestExistingPrefix(strLine)) {
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
std::string GetFolderOf(const std::string& a_strPath)
{
    char szLong[MAX_PATH] = {};
    DWORD cch = GetLongPathNameA(a_strPath.c_str(), szLong, MAX_PATH);
    std::string strFolder, strName;
    if (cch == 0 || cch >= MAX_PATH || !SplitFullPath(szLong, strFolder, strName))
        return std::string();
    return strFolder;
}

// The marks of the line, left to right.
std::vector<size_t> FindMarks(const std::string& a_strArguments)
{
    std::vector<size_t> marks;
    for (size_t i = a_strArguments.find(c_szArgumentMark); i != std::string::npos;
         i = a_strArguments.find(c_szArgumentMark, i + c_cchMark))
        marks.push_back(i);
    return marks;
}

int ReadLaunchRequest(const std::string& a_strArguments, const std::string& a_strOwnFolder,
                      LaunchRequest& a_request, std::string& a_strWhy)
{
    std::vector<size_t> marks = FindMarks(a_strArguments);
    if (marks.empty() || marks.size() > 2) {
        a_strWhy = marks.empty() ? "no /D: argument" : "more than two /D: arguments";
        return c_nExitBadCommandLine;
    }
    size_t iPluginEnd = marks.size() == 2 ? marks[1] : a_strArguments.size();
    std::string strPlugin = a_strArguments.substr(marks[0] + c_cchMark, iPluginEnd - marks[0] - c_cchMark);
    if (!ReadPlugin(strPlugin, a_strOwnFolder, a_request.strPluginPath)) {
        a_strWhy = "no plug-in of the folder \"" + a_strOwnFolder + "\" in \"" + strPlugin + "\"";
        return c_nExitNoPlugin;
    }
    a_request.strDirectory.clear();
    a_request.strAfterPlugin = a_strArguments.substr(iPluginEnd);
    if (marks.size() == 2 && !ReadDirectory(a_strArguments.substr(marks[1] + c_cchMark), a_request.strDirectory)) {
        a_strWhy = "working directory is not an existing folder named by a full path: \"" +
                   a_strArguments.substr(marks[1] + c_cchMark) + "\"";
        return c_nExitBadDirectory;
    }
    std::string strCommand = a_strArguments.substr(0, marks[0]);
    a_request.strApplicationCommand = strCommand;
    a_request.strApplicationPath = FindApplicationPath(strCommand);
    if (a_request.strApplicationPath.empty()) {
        a_strWhy = "application is not an existing file named by a full path: \"" + strCommand + "\"";
        return c_nExitNoApplication;
    }
    a_request.strCommandLine = QuoteApplicationPath(strCommand, a_request.strApplicationPath);
    return c_nExitStarted;
}

std::string FindApplicationPath(const std::string& a_strCommand)
{
    if (!a_strCommand.empty() && a_strCommand[0] == '"') {
        size_t iQuote = a_strCommand.find('"', 1);
        if (iQuote == std::string::npos)
            return std::string();
        std::string strPath = a_strCommand.substr(1, iQuote - 1);
        return IsFullPath(strPath) && IsExistingFile(strPath) ? strPath : std::string();
    }
    return a_strCommand.substr(0, LongestExistingPrefix(a_strCommand));
}

std::string QuoteApplicationPath(const std::string& a_strCommand, const std::string& a_strApplication)
{
    if (a_strCommand.empty() || a_strCommand[0] == '"' ||
        a_strApplication.find_first_of(" \t") == std::string::npos ||
        a_strCommand.compare(0, a_strApplication.size(), a_strApplication) != 0)
        return a_strCommand;
    return '"' + a_strApplication + '"' + a_strCommand.substr(a_strApplication.size());
}

} // namespace vmlaunch
