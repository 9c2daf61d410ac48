#pragma once
// The Toolhelp snapshot functions, bound by name at run time: the hook must
// load on systems whose KERNEL32 lacks them, and then simply sees no process.

#include <windows.h>
#include <tlhelp32.h>

#include "common/Handle.h"
#include "common/ProcessModules.h"

// The walks fill the ANSI records the platform defines; their sizes are part
// of the contract with KERNEL32.
// Their pointer-sized fields (th32DefaultHeapID, modBaseAddr, hModule) widen on x64.
static_assert(sizeof(PROCESSENTRY32) == (sizeof(void*) == 8 ? 304 : 296),
              "PROCESSENTRY32 must be the ANSI record");
static_assert(sizeof(MODULEENTRY32) == (sizeof(void*) == 8 ? 568 : 548),
              "MODULEENTRY32 must be the ANSI record");

constexpr DWORD c_dwSnapProcesses = TH32CS_SNAPPROCESS; // 2, with process id 0
constexpr DWORD c_dwSnapModules = vm::c_dwSnapAllModules; // 8 (24 on x64), with the process's id

struct ToolhelpFunctions {
    using CreateSnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
    using ProcessWalkFn = BOOL(WINAPI*)(HANDLE, PROCESSENTRY32*);
    using ModuleWalkFn = BOOL(WINAPI*)(HANDLE, MODULEENTRY32*);

    ToolhelpFunctions();
    // All five addresses are needed; the module handle is not part of the test.
    bool IsUsable() const;

    // KERNEL32 stays loaded for the life of the process: no reference is
    // taken and none is given back.
    HMODULE m_hModule = nullptr;
    CreateSnapshotFn CreateToolhelp32Snapshot = nullptr;
    ProcessWalkFn Process32First = nullptr;
    ProcessWalkFn Process32Next = nullptr;
    ModuleWalkFn Module32First = nullptr;
    ModuleWalkFn Module32Next = nullptr;
};

// One snapshot, owned: its handle is closed when the object goes away, so
// every path out of a walk gives it back.
class CToolhelpSnapshot {
public:
    CToolhelpSnapshot() = default;
    CToolhelpSnapshot(const CToolhelpSnapshot&) = delete;
    CToolhelpSnapshot& operator=(const CToolhelpSnapshot&) = delete;

    // Takes a new snapshot in place of an open one; flags 0 only closes.
    bool Create(DWORD a_dwFlags, DWORD a_dwProcessId);
    BOOL ProcessFirst(PROCESSENTRY32* a_pEntry);
    BOOL ModuleFirst(MODULEENTRY32* a_pEntry);
    void Close();

    HANDLE Handle() const { return m_hSnapshot.get(); }
    const ToolhelpFunctions& Functions() const { return m_functions; }

private:
    vm::UniqueFileHandle m_hSnapshot;
    ToolhelpFunctions m_functions;
};
