#include "tests/support/PolicyTestSupport.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/TestPaths.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace vmtest {
namespace {

const char* FileNamePart(const char* a_szPath)
{
    const char* szName = strrchr(a_szPath, '\\');
    return szName ? szName + 1 : a_szPath;
}

} // namespace

ScopedPolicyFile::ScopedPolicyFile() : m_bHadFile(FileExists(Path()))
{
    if (m_bHadFile)
        m_strSaved = ReadFile(Path());
}

ScopedPolicyFile::~ScopedPolicyFile()
{
    if (m_bHadFile)
        WriteRaw(m_strSaved);
    else
        Remove();
}

std::string ScopedPolicyFile::Path()
{
    return TestDir() + "\\company.ccf";
}

void ScopedPolicyFile::Write(const PolicyFields& a_fields) const
{
    WriteRaw(SealPolicy(a_fields));
}

void ScopedPolicyFile::WriteRaw(const std::string& a_strText) const
{
    WriteFile(Path(), a_strText);
}

void ScopedPolicyFile::Remove() const
{
    DeleteFileA(Path().c_str());
}

PolicyCodePatch::PolicyCodePatch(void* a_pTarget, void* a_pReplacement)
    : m_pTarget(static_cast<unsigned char*>(a_pTarget))
{
    DWORD dwOld = 0;
    VirtualProtect(m_pTarget, sizeof(m_saved), PAGE_EXECUTE_READWRITE, &dwOld);
    memcpy(m_saved, m_pTarget, sizeof(m_saved));
#if defined(__x86_64__)
    const unsigned char jmpIndirect[6] = {0xFF, 0x25, 0, 0, 0, 0}; // jmp [rip+0]
    memcpy(m_pTarget, jmpIndirect, sizeof(jmpIndirect));
    memcpy(m_pTarget + sizeof(jmpIndirect), &a_pReplacement, sizeof(a_pReplacement));
#else
    int32_t rel = static_cast<int32_t>(reinterpret_cast<intptr_t>(a_pReplacement) -
                                       reinterpret_cast<intptr_t>(m_pTarget + 5));
    m_pTarget[0] = 0xE9; // jmp rel32
    memcpy(m_pTarget + 1, &rel, sizeof(rel));
#endif
    FlushInstructionCache(GetCurrentProcess(), m_pTarget, sizeof(m_saved));
}

PolicyCodePatch::~PolicyCodePatch()
{
    memcpy(m_pTarget, m_saved, sizeof(m_saved));
    FlushInstructionCache(GetCurrentProcess(), m_pTarget, sizeof(m_saved));
}

void* PolicyCodePatch::Kernel32Export(const char* a_szName)
{
    return reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("KERNEL32.DLL"), a_szName));
}

bool PolicyChildProcess::StartWaiting(const std::string& a_strExe, const std::string& a_strDll)
{
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    vm::UniqueNullHandle hReady(CreateEventA(&sa, TRUE, FALSE, nullptr));
    char szArgs[64];
    snprintf(szArgs, sizeof(szArgs), " wait %llu %lu ",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hReady.get())),
             static_cast<unsigned long>(GetCurrentProcessId()));
    std::string strCommand = "\"" + a_strExe + "\"" + szArgs + "\"" + a_strDll + "\"";
    ChildOptions options;
    options.m_bInherit = true;
    if (!StartChild(a_strExe, strCommand, m_info.put(), options))
        return false;
    HANDLE handles[] = {hReady.get(), m_info.get().hProcess};
    return WaitForMultipleObjects(2, handles, FALSE, 20000) == WAIT_OBJECT_0;
}

void PolicyChildProcess::Stop()
{
    if (m_info.get().hProcess) {
        TerminateProcess(m_info.get().hProcess, 0);
        WaitForSingleObject(m_info.get().hProcess, 10000);
    }
    m_info.reset();
}

bool PolicyCopyFile(const std::string& a_strFrom, const std::string& a_strTo)
{
    return CopyFileA(a_strFrom.c_str(), a_strTo.c_str(), FALSE) != FALSE;
}

std::vector<DWORD> PolicyListProcesses(const std::string& a_strExeName)
{
    std::vector<DWORD> ids;
    vm::UniqueFileHandle hSnapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = Process32First(hSnapshot.get(), &entry); bMore;
         bMore = Process32Next(hSnapshot.get(), &entry))
        if (lstrcmpiA(FileNamePart(entry.szExeFile), a_strExeName.c_str()) == 0)
            ids.push_back(entry.th32ProcessID);
    return ids;
}

} // namespace vmtest
