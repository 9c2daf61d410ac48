// Sample enforcement plug-in. A real plug-in decrypts protected content in
// whatever process holds it, so this one serves only a program that the trust
// rule lets receive it: the installation's policy registers the program's
// file name for this plug-in, and the program lies in a trusted folder. A
// process that loads it by itself is refused. It announces where it serves,
// or where it refuses, on the debugger output, and does nothing else.
//
// The judgement reads files and asks the shell for folders, which must not
// run under the loader lock: it is made once, at first use, either through
// the export VmPluginServes or on a thread that the attach starts.

#include "common/BuildLayout.h"
#include "common/FileIdentity.h"
#include "common/TrustedProgram.h"
#include "companions/cipher/ccfformat.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

HMODULE g_hSelf = nullptr;
INIT_ONCE g_judged = INIT_ONCE_STATIC_INIT;
BOOL g_bServes = FALSE;

std::wstring ModulePath(HMODULE a_hModule)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD cch = GetModuleFileNameW(a_hModule, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (cch == 0)
            return std::wstring();
        if (cch < buffer.size())
            return std::wstring(buffer.data(), cch);
        if (buffer.size() >= 32768)
            return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

std::string FileNameOf(const std::wstring& a_strPath)
{
    std::string strName = vm::AnsiRendering(a_strPath.substr(a_strPath.find_last_of(L'\\') + 1));
    return strName.empty() ? std::string("?") : strName;
}

// The company policy of the plug-in's installation (its own folder, or the
// product folder for the x64 build in its "x64" subfolder): its fields,
// empty when it is missing or invalid.
std::vector<cipherfmt::CcfField> ReadOwnPolicy(const std::wstring& a_strSelf)
{
    std::vector<cipherfmt::CcfField> fields;
    std::string strFolder;
    if (!vm::AnsiFromWide(a_strSelf.substr(0, a_strSelf.find_last_of(L'\\') + 1), strFolder) ||
        cipherfmt::ReadCcfFile((vm::PolicyFolder(strFolder) + cipherfmt::c_szCcfFileName).c_str(), &fields) != 0)
        fields.clear();
    return fields;
}

BOOL CALLBACK JudgeHost(PINIT_ONCE, PVOID, PVOID*)
{
    const std::wstring strHost = ModulePath(nullptr), strSelf = ModulePath(g_hSelf);
    const std::vector<cipherfmt::CcfField> fields = ReadOwnPolicy(strSelf);
    vm::PolicyFieldReader reader;
    if (!fields.empty())
        reader = [&fields](const char* a_szName) {
            const cipherfmt::CcfField* pField = cipherfmt::FindCcfField(fields, a_szName);
            return pField ? pField->strValue.c_str() : nullptr;
        };
    vm::ProgramTrust trust = strHost.empty() || strSelf.empty()
                                 ? vm::ProgramTrust::NoImage
                                 : vm::CheckProgramForPlugin(strHost, strSelf, reader);
    g_bServes = trust == vm::ProgramTrust::Trusted;
    char szText[MAX_PATH + 160];
    if (g_bServes)
        std::snprintf(szText, sizeof(szText), "[vmplugin] loaded into %s pid %lu", FileNameOf(strHost).c_str(),
                      GetCurrentProcessId());
    else
        std::snprintf(szText, sizeof(szText), "[vmplugin] refused in %s pid %lu: %s", FileNameOf(strHost).c_str(),
                      GetCurrentProcessId(), vm::DescribeProgramTrust(trust));
    OutputDebugStringA(szText);
    return TRUE;
}

DWORD WINAPI JudgeOnItsOwnThread(LPVOID)
{
    InitOnceExecuteOnce(&g_judged, JudgeHost, nullptr, nullptr);
    // The reference taken for this thread goes with it.
    FreeLibraryAndExitThread(g_hSelf, 0);
}

} // namespace

// 1 when the plug-in serves this process, 0 when it refuses it.
extern "C" __declspec(dllexport) int VmPluginServes()
{
    InitOnceExecuteOnce(&g_judged, JudgeHost, nullptr, nullptr);
    return g_bServes ? 1 : 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE a_hInstance, DWORD a_dwReason, LPVOID)
{
    if (a_dwReason != DLL_PROCESS_ATTACH)
        return TRUE;
    g_hSelf = a_hInstance;
    DisableThreadLibraryCalls(a_hInstance);
    // The thread keeps the module loaded until it has judged.
    HMODULE hHeld = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&JudgeOnItsOwnThread),
                            &hHeld))
        return TRUE;
    HANDLE hThread = CreateThread(nullptr, 0, JudgeOnItsOwnThread, nullptr, 0, nullptr);
    if (hThread)
        CloseHandle(hThread);
    else
        FreeLibrary(hHeld);
    return TRUE;
}
