#include "resolution/PathHelpers.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>

char* ReplaceFileName(char* a_szPath, size_t a_cbPath, const char* a_szName)
{
    char* pFileName = PathFindFileNameA(a_szPath);
    size_t cchDir = static_cast<size_t>(pFileName - a_szPath);
    size_t cchName = strlen(a_szName);
    if (cchDir + cchName + 1 > a_cbPath) {
        a_szPath[0] = '\0';
        return a_szPath;
    }
    memcpy(pFileName, a_szName, cchName + 1);
    return a_szPath;
}

// TODO(resolution): the command-string parser and its text operations.
void ParseCommandPath(const char* a_szCommand, char* a_szOut, size_t a_cbOut)
{
    lstrcpynA(a_szOut, a_szCommand, static_cast<int>(a_cbOut));
}
