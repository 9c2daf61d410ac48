// A small program for the tool tests, started by full path:
//   tools_probe marker PATH   writes its command line to PATH (proves it ran)
//   tools_probe debug         writes two debugger texts, one with a line feed

#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int a_argc, char** a_argv)
{
    if (a_argc == 3 && strcmp(a_argv[1], "marker") == 0) {
        FILE* pFile = fopen(a_argv[2], "wb");
        if (!pFile)
            return 1;
        fputs(GetCommandLineA(), pFile);
        fclose(pFile);
        return 0;
    }
    if (a_argc == 2 && strcmp(a_argv[1], "debug") == 0) {
        OutputDebugStringA("probe: one\n");
        OutputDebugStringA("probe: two");
        return 0;
    }
    return 2;
}
