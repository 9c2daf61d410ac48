// Sample enforcement plug-in. A real plug-in decrypts protected content in
// whatever process holds it, so this one serves only as a file of the
// installed product, and only a program that the trust rule lets receive it:
// the installed product's policy registers the program's file name for this
// plug-in, and the program's image lies in a trusted folder. A copy of the
// plug-in elsewhere, or a process that loads it by itself, is refused. It
// announces where it serves, or where it refuses, on the debugger output, and
// does nothing else.
//
// The judgement reads files and asks the shell for folders, which must not
// run under the loader lock: it is made once, at first use, either through
// the export VmPluginServes or on a thread that the attach starts.

#include "common/BuildLayout.h"
#include "common/FileIdentity.h"
#include "common/InstalledProduct.h"
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

std::string FileNameOf(const std::wstring& a_strPath)
{
    std::string strName = vm::AnsiRendering(a_strPath.substr(a_strPath.find_last_of(L'\\') + 1));
    return strName.empty() ? std::string("?") : strName;
}

// The company policy of the installed product (a_strInstalled, the folder of
// this build; the x64 build in its "x64" subfolder reads the product
// folder's): its fields, empty when it is missing or invalid.
std::vector<cipherfmt::CcfField> ReadInstalledPolicy(const std::wstring& a_strInstalled)
{
    std::vector<cipherfmt::CcfField> fields;
    std::wstring strFolder = vm::PolicyFolder(a_strInstalled + L"\\");
    if (cipherfmt::ReadFolderPolicy(strFolder.substr(0, strFolder.size() - 1), &fields) != 0)
        fields.clear();
    return fields;
}

// The host and this plug-in as the system mapped them, whatever the
// process wrote into its own loader list; the plug-in serves only as a file
// of the installed product, by that product's policy. Null when it serves;
// else why not.
const char* WhyRefused(const std::wstring& a_strHost, const char*& a_szDetail)
{
    std::wstring strSelf, strInstalled;
    if (a_strHost.empty() || !vm::GetModuleImageFinalPath(reinterpret_cast<const void*>(&WhyRefused), strSelf))
        return vm::DescribeProgramTrust(vm::ProgramTrust::NoImage);
    if ((a_szDetail = vm::WhyNotInstalledFile(strSelf, strInstalled)))
        return "the plug-in is no file of the installed product";
    const std::vector<cipherfmt::CcfField> fields = ReadInstalledPolicy(strInstalled);
    vm::PolicyFieldReader reader;
    if (!fields.empty())
        reader = [&fields](const char* a_szName) {
            const cipherfmt::CcfField* pField = cipherfmt::FindCcfField(fields, a_szName);
            return pField ? pField->strValue.c_str() : nullptr;
        };
    vm::ProgramTrust trust = vm::CheckProgramForPlugin(a_strHost, strSelf, reader);
    return trust == vm::ProgramTrust::Trusted ? nullptr : vm::DescribeProgramTrust(trust);
}

BOOL CALLBACK JudgeHost(PINIT_ONCE, PVOID, PVOID*)
{
    std::wstring strHost;
    if (!vm::GetProcessImageFinalPath(strHost))
        strHost.clear();
    const char* szDetail = nullptr;
    const char* szWhy = WhyRefused(strHost, szDetail);
    g_bServes = szWhy == nullptr;
    char szText[MAX_PATH + 200];
    if (g_bServes)
        std::snprintf(szText, sizeof(szText), "[vmplugin] loaded into %s pid %lu", FileNameOf(strHost).c_str(),
                      GetCurrentProcessId());
    else
        std::snprintf(szText, sizeof(szText), "[vmplugin] refused in %s pid %lu: %s%s%s", FileNameOf(strHost).c_str(),
                      GetCurrentProcessId(), szWhy, szDetail ? ": " : "", szDetail ? szDetail : "");
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
