#pragma once
// Listing the modules of another process, which may be of the other bitness.
// A 64-bit process sees only the 64-bit modules of a 32-bit (WOW64) process
// unless it asks for the 32-bit ones too; where even that snapshot is refused
// (Wine gives ERROR_NOACCESS), psapi still lists them. A 32-bit process
// cannot list a 64-bit one's modules by either route, so the 32-bit build
// keeps to the plain snapshot.

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "common/Handle.h"

#include <algorithm>
#include <vector>

namespace vm {

constexpr bool c_bSeesOtherBitness = sizeof(void*) == 8;

// The module snapshot kind that takes in every module a process of this
// build can see.
constexpr DWORD c_dwSnapAllModules =
    c_bSeesOtherBitness ? (TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32) : TH32CS_SNAPMODULE;

// An export of a module that is loaded already, or null. FARPROC has the wrong
// signature for every entry point; the detour through the generic function
// pointer type keeps -Wcast-function-type quiet.
template <typename Fn>
Fn BindByName(HMODULE a_hModule, const char* a_szName)
{
    if (!a_hModule)
        return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(a_hModule, a_szName)));
}

// Past this many modules a process is not looked into further: the list must
// stay bounded, and no application loads nearly so many.
constexpr DWORD c_dwMaxListedModules = 4096;

// The modules of one process as psapi lists them (EnumProcessModulesEx with
// LIST_MODULES_ALL). The object owns the process handle and the list, so a
// walk that a fault guard cuts short still gives both back with it. The
// functions are bound by name from KERNEL32, which exports them from Windows
// 7 on: where they are missing the snapshot is all there is.
class CPsapiModuleList {
public:
    // False when the process or the functions are out of reach.
    bool List(DWORD a_dwProcessId)
    {
        using EnumFn = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, DWORD*, DWORD);
        HMODULE hKernel = GetModuleHandleA("KERNEL32.DLL");
        auto pfnEnum = BindByName<EnumFn>(hKernel, "K32EnumProcessModulesEx");
        m_pfnName = BindByName<NameFn>(hKernel, "K32GetModuleFileNameExA");
        m_process.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, a_dwProcessId));
        m_modules.assign(256, nullptr);
        DWORD cbBuffer = 0;
        DWORD cbNeeded = 0;
        for (;;) {
            cbBuffer = static_cast<DWORD>(m_modules.size() * sizeof(HMODULE));
            if (!pfnEnum || !m_pfnName || !m_process ||
                !pfnEnum(m_process.get(), m_modules.data(), cbBuffer, &cbNeeded, LIST_MODULES_ALL))
                cbNeeded = 0;
            if (cbNeeded <= cbBuffer || m_modules.size() == c_dwMaxListedModules)
                break;
            m_modules.resize(std::min<DWORD>(cbNeeded / sizeof(HMODULE), c_dwMaxListedModules));
        }
        m_modules.resize(std::min(cbBuffer, cbNeeded) / sizeof(HMODULE));
        return cbNeeded != 0;
    }

    // True when a_isMatch answers true for the full path of a listed module.
    // A path that may have been cut at MAX_PATH is not compared: a cut one
    // could match what it is not.
    template <typename Match>
    bool Any(Match&& a_isMatch) const
    {
        for (HMODULE hModule : m_modules) {
            char szPath[MAX_PATH] = {};
            DWORD cch = m_pfnName(m_process.get(), hModule, szPath, MAX_PATH);
            if (cch > 0 && cch < MAX_PATH - 1 && a_isMatch(static_cast<const char*>(szPath)))
                return true;
        }
        return false;
    }

private:
    using NameFn = DWORD(WINAPI*)(HANDLE, HMODULE, char*, DWORD);
    UniqueNullHandle m_process;
    std::vector<HMODULE> m_modules;
    NameFn m_pfnName = nullptr;
};

} // namespace vm
