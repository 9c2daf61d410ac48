// The application the launcher tests start: it writes down how it was
// started, in one step so that the waiting test never reads half a record.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main()
{
    const char* szRecord = std::getenv("VM_PROBE_RECORD");
    if (!szRecord || !*szRecord)
        return 1;
    char szDir[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, szDir);
    char szExe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    std::string strRecord = std::string("cmdline=") + GetCommandLineA() + "\ncwd=" + szDir +
                            "\nplugin=" + (GetModuleHandleA("vmplugin.dll") ? "1" : "0") +
                            "\nexe=" + szExe + "\n";
    std::string strTemp = std::string(szRecord) + ".tmp";
    FILE* pFile = std::fopen(strTemp.c_str(), "wb");
    if (!pFile)
        return 2;
    std::fwrite(strRecord.data(), 1, strRecord.size(), pFile);
    std::fclose(pFile);
    return MoveFileExA(strTemp.c_str(), szRecord, MOVEFILE_REPLACE_EXISTING) ? 0 : 3;
}
