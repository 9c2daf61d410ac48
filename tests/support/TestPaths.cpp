#include "tests/support/TestPaths.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vmtest {

std::string TestDir()
{
    char szPath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szPath, MAX_PATH);
    std::string strPath = szPath;
    return strPath.substr(0, strPath.find_last_of('\\'));
}

std::string BinDir()
{
    // The build passes the Unix path; Wine shows the Unix root as drive Z:.
    const char* szUnix = std::getenv("VM_BIN_DIR");
    if (!szUnix || !*szUnix)
        return TestDir() + "\\..\\bin";
    std::string strPath = std::string("Z:") + szUnix;
    for (char& ch : strPath)
        if (ch == '/')
            ch = '\\';
    return strPath;
}

void RemoveTree(const std::string& a_strDir)
{
    if (GetFileAttributesA(a_strDir.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    std::string strFrom = a_strDir + '\0'; // double terminated list
    SHFILEOPSTRUCTA op{};
    op.wFunc = FO_DELETE;
    op.pFrom = strFrom.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationA(&op);
}

std::string SourcePath(const std::string& a_strRelative)
{
    // The tree's Unix path, as the prefix's Z: drive shows it.
    std::string strRoot = std::string("Z:") + VM_SOURCE_DIR;
    for (char& ch : strRoot)
        if (ch == '/')
            ch = '\\';
    return strRoot + "\\" + a_strRelative;
}

std::string MakeScratchDir(const std::string& a_strName)
{
    std::string strDir = TestDir() + "\\scratch-" + a_strName;
    RemoveTree(strDir);
    CreateDirectoryA(strDir.c_str(), nullptr);
    return strDir;
}

void WriteFile(const std::string& a_strPath, const std::string& a_strContent)
{
    std::ofstream out(a_strPath, std::ios::binary | std::ios::trunc);
    out.write(a_strContent.data(), static_cast<std::streamsize>(a_strContent.size()));
}

bool FileExists(const std::string& a_strPath)
{
    return GetFileAttributesA(a_strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFile(const std::string& a_strPath)
{
    std::ifstream in(a_strPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace vmtest
