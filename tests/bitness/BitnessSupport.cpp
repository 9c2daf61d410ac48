#include "tests/bitness/BitnessSupport.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/TestPaths.h"

#include <shlobj.h>

namespace vmtest {

std::string X86BinDir()
{
    return WindowsPathFromEnv("VM_X86_BIN_DIR");
}

DWORD RunProgram(const std::string& a_strExe, const std::vector<std::string>& a_args, std::string* a_pOutput)
{
    CToolChild child;
    if (!child.Start(a_strExe, a_args))
        return static_cast<DWORD>(-1);
    if (!child.Wait(120000))
        return static_cast<DWORD>(-2);
    if (a_pOutput)
        *a_pOutput = child.Out();
    return child.ExitCode();
}

DWORD Regsvr32(bool a_b32Bit, bool a_bRegister, const std::string& a_strModule)
{
    char szSystem[MAX_PATH] = {};
    if (a_b32Bit)
        GetSystemWow64DirectoryA(szSystem, MAX_PATH);
    else
        GetSystemDirectoryA(szSystem, MAX_PATH);
    std::vector<std::string> args{"/s", a_strModule};
    if (!a_bRegister)
        args.insert(args.begin(), "/u");
    return RunProgram(std::string(szSystem) + "\\regsvr32.exe", args);
}

bool CopyFiles(const std::string& a_strFrom, const std::string& a_strTo, const std::vector<std::string>& a_names)
{
    for (const std::string& strName : a_names)
        if (!CopyFileA((a_strFrom + "\\" + strName).c_str(), (a_strTo + "\\" + strName).c_str(), FALSE))
            return false;
    return true;
}

std::string MakeProgramFilesDir(const std::string& a_strName)
{
    char szProgramFiles[MAX_PATH] = {};
    // Where the x64 package installs both builds: a 32-bit process under Wine
    // learns no other Program Files folder (no ProgramW6432Dir).
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_PROGRAM_FILESX86, nullptr, SHGFP_TYPE_CURRENT, szProgramFiles)))
        return std::string();
    std::string strDir = std::string(szProgramFiles) + "\\scratch-" + a_strName;
    RemoveTree(strDir);
    CreateDirectoryA(strDir.c_str(), nullptr);
    return strDir;
}

} // namespace vmtest
