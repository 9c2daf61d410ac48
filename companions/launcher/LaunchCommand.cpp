#include "companions/launcher/LaunchCommand.h"

#include <windows.h>

namespace vmlaunch {
namespace {

bool IsBlank(char a_ch)
{
    return a_ch == ' ' || a_ch == '\t';
}

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
// names an existing file; 0 when none does. A quote ends the search, since
// no path holds one.
size_t LongestExistingPrefix(const std::string& a_str)
{
    size_t cchBest = 0;
    for (size_t i = 0; i < a_str.size() && a_str[i] != '"'; ++i) {
        bool bWordEnds = i + 1 == a_str.size() || IsBlank(a_str[i + 1]);
        if (bWordEnds && !IsBlank(a_str[i]) && IsExistingFile(a_str.substr(0, i + 1)))
            cchBest = i + 1;
    }
    return cchBest;
}

} // namespace

bool IsExistingFile(const std::string& a_strPath)
{
    if (a_strPath.empty())
        return false;
    DWORD dwAttributes = GetFileAttributesA(a_strPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

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

bool SplitLaunchArguments(const std::string& a_strArguments, LaunchRequest& a_request)
{
    const size_t cchMark = sizeof(c_szArgumentMark) - 1;
    size_t iFirst = a_strArguments.find(c_szArgumentMark);
    if (iFirst == std::string::npos)
        return false;
    a_request.strApplicationCommand = a_strArguments.substr(0, iFirst);
    std::string strRest = a_strArguments.substr(iFirst + cchMark);
    size_t iSecond = strRest.find(c_szArgumentMark);
    if (iSecond == std::string::npos) {
        a_request.strPluginPath = strRest;
        a_request.strDirectory.clear();
    } else {
        a_request.strPluginPath = strRest.substr(0, iSecond);
        a_request.strDirectory = strRest.substr(iSecond + cchMark);
    }
    return true;
}

std::string FindApplicationPath(const std::string& a_strCommand)
{
    if (!a_strCommand.empty() && a_strCommand[0] == '"') {
        size_t iQuote = a_strCommand.find('"', 1);
        if (iQuote == std::string::npos)
            return std::string();
        std::string strPath = a_strCommand.substr(1, iQuote - 1);
        return IsExistingFile(strPath) ? strPath : std::string();
    }
    return a_strCommand.substr(0, LongestExistingPrefix(a_strCommand));
}

} // namespace vmlaunch
