// A plug-in that imports a module of its own folder, as a real plug-in
// imports cipher.dll. Built twice: as that module (VM_DEP_MODULE) and as the
// plug-in, which refuses to load when the import is missing.

#include <windows.h>

#ifdef VM_DEP_MODULE
extern "C" __declspec(dllexport) int VmDepValue()
{
    return 1;
}
#else
extern "C" __declspec(dllimport) int VmDepValue();

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD a_dwReason, LPVOID)
{
    return a_dwReason != DLL_PROCESS_ATTACH || VmDepValue() == 1;
}
#endif
