#include "resolution/ViewerProgram.h"

#include "common/FileIdentity.h"

#include <windows.h>
#include <shlwapi.h>

namespace {

using vm::IsExistingFile;
using vm::IsFullPath;

// The quoted program word as a full path, with ".exe" added when it names no
// extension, as the process creation does it.
std::string ExistingProgram(const std::string& a_strPath)
{
    if (!IsFullPath(a_strPath) || a_strPath.size() >= MAX_PATH)
        return std::string();
    if (IsExistingFile(a_strPath))
        return a_strPath;
    std::string strWithExe = a_strPath + ".exe";
    if (*PathFindExtensionA(a_strPath.c_str()) == '\0' && IsExistingFile(strWithExe))
        return strWithExe;
    return std::string();
}

// A program named without a directory, from the system directory or the
// Windows directory only.
std::string SystemProgram(const std::string& a_strName)
{
    if (a_strName.empty() || a_strName.find_first_of("\\/:") != std::string::npos)
        return std::string();
    char szSystem[MAX_PATH];
    char szWindows[MAX_PATH];
    UINT cchSystem = GetSystemDirectoryA(szSystem, MAX_PATH);
    UINT cchWindows = GetWindowsDirectoryA(szWindows, MAX_PATH);
    if (cchSystem == 0 || cchSystem >= MAX_PATH || cchWindows == 0 || cchWindows >= MAX_PATH)
        return std::string();
    std::string strSearchPath = std::string(szSystem) + ";" + szWindows;
    char szFound[MAX_PATH];
    DWORD cchFound = SearchPathA(strSearchPath.c_str(), a_strName.c_str(), ".exe", MAX_PATH,
                                 szFound, nullptr);
    if (cchFound == 0 || cchFound >= MAX_PATH || !IsExistingFile(szFound))
        return std::string();
    return szFound;
}

} // namespace

ViewerProgram FindViewerProgram(const std::string& a_strCommand)
{
    ViewerProgram found;
    if (!a_strCommand.empty() && a_strCommand[0] == '"') {
        size_t close = a_strCommand.find('"', 1);
        std::string strToken = a_strCommand.substr(1, close == std::string::npos ? std::string::npos
                                                                                  : close - 1);
        std::string strProgram = ExistingProgram(strToken);
        found.m_strProgram = strProgram.empty() ? SystemProgram(strToken) : strProgram;
        return found;
    }
    std::string strFirst = a_strCommand.substr(0, a_strCommand.find(' '));
    if (!IsFullPath(strFirst)) {
        found.m_strProgram = SystemProgram(strFirst);
        return found;
    }
    found.m_cchWord = vm::LongestExistingPrefix(a_strCommand);
    found.m_strProgram = a_strCommand.substr(0, found.m_cchWord);
    found.m_bFromPrefix = found.m_cchWord != 0;
    return found;
}
