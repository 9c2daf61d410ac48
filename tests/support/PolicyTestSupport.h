#pragma once
// Test support of the application-policy area: the company policy file, fault
// injection into KERNEL32 entry points, and helper processes.

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/Handle.h"

namespace vmtest {

using PolicyFields = std::vector<std::pair<std::string, std::string>>;

// company.ccf beside cipher.dll in the test directory; the file found there at
// construction is put back at destruction.
class ScopedPolicyFile {
public:
    ScopedPolicyFile();
    ~ScopedPolicyFile();
    ScopedPolicyFile(const ScopedPolicyFile&) = delete;
    ScopedPolicyFile& operator=(const ScopedPolicyFile&) = delete;

    static std::string Path();
    void Write(const PolicyFields& a_fields) const;
    void WriteRaw(const std::string& a_strText) const;
    void Remove() const;

private:
    bool m_bHadFile;
    std::string m_strSaved;
};

// Sends calls of a code address to a_pReplacement (a jump written over the
// first five bytes) until destruction. Used to make a platform entry point
// fault or throw inside a walk; the original is never called while patched.
class PolicyCodePatch {
public:
    PolicyCodePatch(void* a_pTarget, void* a_pReplacement);
    ~PolicyCodePatch();
    PolicyCodePatch(const PolicyCodePatch&) = delete;
    PolicyCodePatch& operator=(const PolicyCodePatch&) = delete;

    static void* Kernel32Export(const char* a_szName);

private:
    unsigned char* m_pTarget;
    // jmp rel32 on x86; on x64 the replacement may lie beyond its reach, so
    // there it is jmp [rip+0] followed by the absolute address.
    static constexpr size_t c_cbPatch = sizeof(void*) == 8 ? 14 : 5;
    unsigned char m_saved[c_cbPatch];
};

// The probe program started for one test and ended by the test's TearDown.
// Mode "wait": loads the DLL given (if any), signals that it is ready, and
// waits for its parent to end (at most two minutes).
class PolicyChildProcess {
public:
    PolicyChildProcess() = default;
    ~PolicyChildProcess() { Stop(); }
    PolicyChildProcess(const PolicyChildProcess&) = delete;
    PolicyChildProcess& operator=(const PolicyChildProcess&) = delete;

    // Starts a_strExe by its full path; false when it did not come up ready.
    bool StartWaiting(const std::string& a_strExe, const std::string& a_strDll);
    void Stop();
    DWORD Id() const { return m_info.get().dwProcessId; }

private:
    vm::UniqueProcessInfo m_info;
};

// Copies a file; the test fails loudly when the copy does not succeed.
bool PolicyCopyFile(const std::string& a_strFrom, const std::string& a_strTo);

// Process ids of the processes with the file name a_strExeName, in the order
// the process snapshot lists them.
std::vector<DWORD> PolicyListProcesses(const std::string& a_strExeName);

} // namespace vmtest
