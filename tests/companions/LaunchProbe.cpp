// The application the launcher tests start: it writes down how it was
// started (its command line, ANSI and wide, the arguments the C runtime made of it, and
// which vmplugin.dll is inside), in one step so that the waiting test never
// reads half a record. A test that needs an instance already running has it
// stay VM_PROBE_HOLD milliseconds after recording, and ends it itself.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    // Standing in for the launcher, it answers as one that started the
    // application, recording or not.
    const char* szRecord = std::getenv("VM_PROBE_RECORD");
    if (!szRecord || !*szRecord)
        return 0;
    char szDir[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, szDir);
    char szExe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    HMODULE hPlugin = GetModuleHandleA("vmplugin.dll");
    char szPlugin[MAX_PATH] = {};
    if (hPlugin)
        GetModuleFileNameA(hPlugin, szPlugin, MAX_PATH);
    // The module a plug-in imports: which copy of it was loaded.
    char szDependency[MAX_PATH] = {};
    if (HMODULE hDependency = GetModuleHandleA("vmdep.dll"))
        GetModuleFileNameA(hDependency, szDependency, MAX_PATH);
    std::string strArgv;
    for (int i = 0; i < argc; ++i)
        strArgv += (i ? "|" : "") + std::string(argv[i]);
    // The wide command line in UTF-8: a name beyond the ANSI code page as it came.
    const wchar_t* szWide = GetCommandLineW();
    std::string strWide(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, szWide, -1, nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, szWide, -1, &strWide[0], static_cast<int>(strWide.size()), nullptr, nullptr);
    strWide.resize(strWide.empty() ? 0 : strWide.size() - 1);
    std::string strRecord = std::string("cmdline=") + GetCommandLineA() + "\nwcmdline=" + strWide + "\ncwd=" + szDir +
                            "\nplugin=" + (hPlugin ? "1" : "0") + "\npluginpath=" + szPlugin +
                            "\nexe=" + szExe + "\nargv=" + strArgv + "\ndeppath=" + szDependency + "\n";
    std::string strTemp = std::string(szRecord) + ".tmp";
    FILE* pFile = std::fopen(strTemp.c_str(), "wb");
    if (!pFile)
        return 2;
    std::fwrite(strRecord.data(), 1, strRecord.size(), pFile);
    std::fclose(pFile);
    if (!MoveFileExA(strTemp.c_str(), szRecord, MOVEFILE_REPLACE_EXISTING))
        return 3;
    if (const char* szHold = std::getenv("VM_PROBE_HOLD"))
        Sleep(std::strtoul(szHold, nullptr, 10));
    return 0;
}
