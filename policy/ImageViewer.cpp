#include "policy/ImageViewer.h"

#include "common/Handle.h"
#include "trace/Trace.h"

#include <windows.h>
#include <shlwapi.h>

namespace {

// "X:\..." or "\\server\...". "X:name" and "\name" depend on the current
// directory of a drive and do not count.
bool IsFullPath(const std::string& a_strPath)
{
    if (a_strPath.size() >= 3 && IsCharAlphaA(a_strPath[0]) && a_strPath[1] == ':' &&
        (a_strPath[2] == '\\' || a_strPath[2] == '/'))
        return true;
    return a_strPath.size() >= 2 && a_strPath[0] == '\\' && a_strPath[1] == '\\';
}

bool IsExistingFile(const std::string& a_strPath)
{
    DWORD dwAttributes = GetFileAttributesA(a_strPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A full path, with ".exe" added when it names no extension, as the process
// creation does it.
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

// The program word of the command (between quotes, or up to the first
// blank) is a full path.
bool NamesFullPath(const std::string& a_strCommand)
{
    if (!a_strCommand.empty() && a_strCommand[0] == '"')
        return IsFullPath(a_strCommand.substr(1, a_strCommand.find('"', 1) - 1));
    return IsFullPath(a_strCommand.substr(0, a_strCommand.find(' ')));
}

} // namespace

std::string FindImageViewerProgram(const std::string& a_strCommand)
{
    if (!a_strCommand.empty() && a_strCommand[0] == '"') {
        size_t close = a_strCommand.find('"', 1);
        std::string strToken = a_strCommand.substr(1, close == std::string::npos ? std::string::npos
                                                                                  : close - 1);
        std::string strProgram = ExistingProgram(strToken);
        return strProgram.empty() ? SystemProgram(strToken) : strProgram;
    }

    // Unquoted: like the process creation, try the text up to each blank in
    // turn, but only as a full path.
    std::string strFirst = a_strCommand.substr(0, a_strCommand.find(' '));
    if (!IsFullPath(strFirst))
        return SystemProgram(strFirst);
    size_t end = 0;
    do {
        end = a_strCommand.find(' ', end + 1);
        std::string strProgram = ExistingProgram(a_strCommand.substr(0, end));
        if (!strProgram.empty())
            return strProgram;
    } while (end != std::string::npos);
    return std::string();
}

bool StartImageViewer(const std::string& a_strCommand)
{
    std::string strProgram = FindImageViewerProgram(a_strCommand);
    if (strProgram.empty()) {
        // A full path that names no program fails as quietly as the plain
        // process creation would; only a name we refuse to search for is told.
        if (NamesFullPath(a_strCommand))
            return false;
        TraceAlways("[CLxShellExt::IsExceptionApplication] image viewer not found, not started[%s]",
                    a_strCommand.c_str());
        return false;
    }
    // The command line is the one the rule builds; the program is named
    // beside it only to keep the search away from the current directory.
    std::string strCommandLine = a_strCommand;
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    vm::UniqueProcessInfo info;
    return CreateProcessA(strProgram.c_str(), &strCommandLine[0], nullptr, nullptr, FALSE, 0,
                          nullptr, nullptr, &si, info.put()) != FALSE;
}
