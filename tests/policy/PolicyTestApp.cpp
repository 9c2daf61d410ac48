// Helper program of the policy tests, copied under the names the tests need.
//   wait <ready event> <parent pid> <dll>: loads the DLL (when named), signals
//       the event and lives until its parent ends (two minutes at most).
//   record <file>: writes its own command line into the file.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "record") == 0) {
        FILE* pFile = fopen(argv[argc - 1], "wb");
        if (!pFile)
            return 3;
        fputs(GetCommandLineA(), pFile);
        fclose(pFile);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "wait") == 0) {
        HANDLE hReady = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoull(argv[2], nullptr, 10)));
        DWORD dwParent = strtoul(argv[3], nullptr, 10);
        if (argc >= 5 && argv[4][0] && !LoadLibraryA(argv[4]))
            return 2;
        HANDLE hParent = OpenProcess(SYNCHRONIZE, FALSE, dwParent);
        SetEvent(hReady);
        WaitForSingleObject(hParent ? hParent : GetCurrentProcess(), 120000);
        return 0;
    }
    return 1;
}
