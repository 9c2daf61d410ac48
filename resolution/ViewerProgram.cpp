#include "resolution/ViewerProgram.h"

#include "common/CommandProgram.h"
#include "common/FileIdentity.h"

#include <windows.h>
#include <shlwapi.h>

ViewerProgram FindViewerProgram(const std::string& a_strCommand)
{
    ViewerProgram found;
    if (!a_strCommand.empty() && a_strCommand[0] == '"') {
        size_t close = a_strCommand.find('"', 1);
        std::string strToken = a_strCommand.substr(1, close == std::string::npos ? std::string::npos
                                                                                  : close - 1);
        found.m_strProgram =
            vm::IsFullPath(strToken) ? vm::ProgramAtPath(strToken) : vm::FindBareProgram(strToken);
        return found;
    }
    std::string strFirst = a_strCommand.substr(0, a_strCommand.find(' '));
    if (!vm::IsFullPath(strFirst)) {
        found.m_strProgram = vm::FindBareProgram(strFirst);
        return found;
    }
    found.m_cchWord = vm::LongestExistingPrefix(a_strCommand);
    found.m_strProgram = a_strCommand.substr(0, found.m_cchWord);
    found.m_bFromPrefix = found.m_cchWord != 0;
    return found;
}
