#include "policy/ImageViewer.h"

#include "common/AuditTrail.h"
#include "common/FileIdentity.h"
#include "common/ProcessStart.h"
#include "decision/ControlledStart.h"
#include "decision/DryRun.h"
#include "trace/Trace.h"

#include <windows.h>
#include <shellapi.h>
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

// The program of a viewer command, and how much of the command names it.
struct ViewerProgram {
    std::string m_strProgram; // empty: none found
    size_t m_cchWord = 0;     // the command's text that names the program
    bool m_bFromPrefix = false;
};

// Unquoted full path: the longest blank-separated prefix that names an
// existing file wins, tested as it stands. Trying the shortest first, or
// adding ".exe" to a shorter prefix, would let a planted C:\Program.exe run
// in place of a program under C:\Program Files.
ViewerProgram LongestExistingPrefix(const std::string& a_strCommand)
{
    ViewerProgram found;
    size_t end = a_strCommand.size();
    while (end != std::string::npos && end > 0) {
        std::string strPrefix = a_strCommand.substr(0, end);
        if (strPrefix.size() < MAX_PATH && IsExistingFile(strPrefix)) {
            found.m_strProgram = strPrefix;
            found.m_cchWord = end;
            found.m_bFromPrefix = true;
            return found;
        }
        end = a_strCommand.rfind(' ', end - 1);
    }
    return found;
}

ViewerProgram FindProgram(const std::string& a_strCommand)
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
    return LongestExistingPrefix(a_strCommand);
}

constexpr char c_szTag[] = "[CLxShellExt::IsExceptionApplication]";

} // namespace

std::string FindImageViewerProgram(const std::string& a_strCommand)
{
    return FindProgram(a_strCommand).m_strProgram;
}

int StartImageViewer(const std::string& a_strAppPath, const std::string& a_strDocument,
                     const std::wstring& a_strRealDocument, bool a_bExpand)
{
    std::string strCommand = a_strAppPath + " " + a_strDocument;
    // A document text with a double quote could end its argument early; no
    // file name holds one.
    if (a_strDocument.find('"') != std::string::npos) {
        TraceNotStarted(c_szTag, "file text holds a double quote", SE_ERR_ACCESSDENIED, strCommand, a_strAppPath);
        return SE_ERR_ACCESSDENIED;
    }
    std::string strAppPath = a_strAppPath;
    if (a_bExpand && !vm::ExpandEnvironment(a_strAppPath, strAppPath)) {
        TraceNotStarted(c_szTag, "viewer command does not fit", SE_ERR_OOM, strCommand, a_strAppPath);
        return SE_ERR_OOM;
    }
    ViewerProgram program = FindProgram(strAppPath);
    if (program.m_strProgram.empty()) {
        TraceAlways("%s image viewer not found, not started[%s]", c_szTag, strCommand.c_str());
        if (!IsDryRun())
            vm::ReportStartRefused(strCommand, strAppPath, "image viewer not found", SE_ERR_FNF);
        return SE_ERR_FNF;
    }
    std::wstring strProgram = vm::WideFromAnsi(program.m_strProgram);
    if (vm::IsSameFile(strProgram, a_strRealDocument)) {
        TraceNotStarted(c_szTag, "the document is the program", SE_ERR_NOASSOC, strCommand,
                        program.m_strProgram);
        return SE_ERR_NOASSOC;
    }

    std::string strViewer = strAppPath;
    if (program.m_bFromPrefix)
        strViewer = vm::AsOneArgument(program.m_strProgram) + strAppPath.substr(program.m_cchWord);
    std::string strCommandLine = strViewer + " " + vm::AsOneArgument(a_strDocument);
    if (strCommandLine != strCommand)
        TraceAlways("%s started as [%s]", c_szTag, strCommandLine.c_str());
    int nError = StartCommandLine(strProgram, vm::WideFromAnsi(strViewer) + L" " + vm::AsOneArgument(a_strRealDocument));
    if (nError)
        TraceNotStarted(c_szTag, "CreateProcess failed", nError, strCommandLine, program.m_strProgram);
    else if (!IsDryRun())
        vm::ReportControlledStart(a_strDocument, program.m_strProgram, std::string(), "image viewer");
    return nError;
}
