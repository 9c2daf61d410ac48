// Sample enforcement plug-in: it announces where it was loaded and does
// nothing else, so a policy file can name it for any application, as in
// WINWORD.EXE=vmplugin.dll.

#include <windows.h>

#include <cstdio>
#include <cstring>

extern "C" BOOL WINAPI DllMain(HINSTANCE a_hInstance, DWORD a_dwReason, LPVOID)
{
    if (a_dwReason != DLL_PROCESS_ATTACH)
        return TRUE;
    DisableThreadLibraryCalls(a_hInstance);
    char szExe[MAX_PATH] = {};
    DWORD cch = GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        szExe[0] = '\0';
    const char* pszName = std::strrchr(szExe, '\\');
    pszName = pszName ? pszName + 1 : szExe;
    char szText[MAX_PATH + 64];
    std::snprintf(szText, sizeof(szText), "[vmplugin] loaded into %s pid %lu", pszName,
                  GetCurrentProcessId());
    OutputDebugStringA(szText);
    return TRUE;
}
