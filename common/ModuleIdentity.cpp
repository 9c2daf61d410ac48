#include "common/ModuleIdentity.h"

HINSTANCE g_hInstance = nullptr;

std::string GetOwnModulePath()
{
    char szPath[MAX_PATH] = {};
    DWORD cch = GetModuleFileNameA(g_hInstance, szPath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return std::string();
    return std::string(szPath, cch);
}
