#include "policy/Toolhelp.h"

using vm::BindByName;

ToolhelpFunctions::ToolhelpFunctions() : m_hModule(GetModuleHandleA("KERNEL32.DLL"))
{
    CreateToolhelp32Snapshot = BindByName<CreateSnapshotFn>(m_hModule, "CreateToolhelp32Snapshot");
    Process32First = BindByName<ProcessWalkFn>(m_hModule, "Process32First");
    Process32Next = BindByName<ProcessWalkFn>(m_hModule, "Process32Next");
    Module32First = BindByName<ModuleWalkFn>(m_hModule, "Module32First");
    Module32Next = BindByName<ModuleWalkFn>(m_hModule, "Module32Next");
}

bool ToolhelpFunctions::IsUsable() const
{
    return CreateToolhelp32Snapshot && Process32First && Process32Next && Module32First &&
           Module32Next;
}

bool CToolhelpSnapshot::Create(DWORD a_dwFlags, DWORD a_dwProcessId)
{
    if (!m_functions.IsUsable())
        return false;
    m_hSnapshot.reset();
    if (a_dwFlags != 0) {
        HANDLE hSnapshot = m_functions.CreateToolhelp32Snapshot(a_dwFlags, a_dwProcessId);
        // Failure is INVALID_HANDLE_VALUE; a null handle would be no snapshot either.
        if (hSnapshot)
            m_hSnapshot.reset(hSnapshot);
    }
    return static_cast<bool>(m_hSnapshot);
}

BOOL CToolhelpSnapshot::ProcessFirst(PROCESSENTRY32* a_pEntry)
{
    if (!m_functions.IsUsable())
        return FALSE;
    return m_functions.Process32First(m_hSnapshot.get(), a_pEntry);
}

BOOL CToolhelpSnapshot::ModuleFirst(MODULEENTRY32* a_pEntry)
{
    if (!m_functions.IsUsable())
        return FALSE;
    return m_functions.Module32First(m_hSnapshot.get(), a_pEntry);
}

void CToolhelpSnapshot::Close()
{
    m_hSnapshot.reset();
}
