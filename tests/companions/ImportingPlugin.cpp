// A plug-in that imports a module of its own folder, as a real plug-in
// imports cipher.dll. Built three times: as that module (VM_DEP_MODULE), as
// the plug-in, which refuses to load when the import is missing, and as a
// plug-in whose attach code never returns (VM_HANG_PLUGIN).

#include <windows.h>

#ifdef VM_DEP_MODULE
extern "C" __declspec(dllexport) int VmDepValue()
{
    return 1;
}
#elif defined(VM_HANG_PLUGIN)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD a_dwReason, LPVOID)
{
    if (a_dwReason == DLL_PROCESS_ATTACH)
        Sleep(INFINITE);
    return TRUE;
}
#else
extern "C" __declspec(dllimport) int VmDepValue();

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD a_dwReason, LPVOID)
{
    return a_dwReason != DLL_PROCESS_ATTACH || VmDepValue() == 1;
}
#endif
