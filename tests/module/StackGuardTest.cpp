// The stack guard every binary of ours carries: random per process, and a
// smashed stack ends the process at once with the status Windows uses for it.
// The test program starts itself as the child that smashes or shows its guard.

#include "tests/support/ChildProcess.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

extern "C" uintptr_t __stack_chk_guard;

namespace {

constexpr char c_szChildFlag[] = "--stack-guard-child=";

// Copies the whole text into eight bytes: the guard below them is overwritten.
__attribute__((noinline)) void Overrun(const char* a_szText)
{
    char szSmall[8];
    volatile size_t cb = strlen(a_szText) + 1;
    memcpy(szSmall, a_szText, cb);
    asm volatile("" : : "r"(szSmall) : "memory");
}

// In the child, before any test runs.
const bool c_bChildDone = [] {
    const char* pFlag = strstr(GetCommandLineA(), c_szChildFlag);
    if (!pFlag)
        return false;
    const char* szMode = pFlag + sizeof(c_szChildFlag) - 1;
    if (strncmp(szMode, "smash", 5) == 0)
        Overrun("a text far longer than the buffer it is copied into, past its guard");
    // Both halves of a 64-bit guard count.
    uint64_t guard = __stack_chk_guard;
    ExitProcess(static_cast<UINT>(guard ^ (guard >> 32)));
}();

DWORD RunChild(const char* a_szMode)
{
    char szSelf[MAX_PATH];
    GetModuleFileNameA(nullptr, szSelf, MAX_PATH);
    return vmtest::RunChild(szSelf, std::string("\"") + szSelf + "\" " + c_szChildFlag + a_szMode, 30000);
}

TEST(StackGuardTest, SmashedStackEndsTheProcessAsAnOverrun)
{
    EXPECT_FALSE(c_bChildDone);
    EXPECT_EQ(RunChild("smash"), static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN));
}

TEST(StackGuardTest, EachProcessDrawsItsOwnGuard)
{
    DWORD dwFirst = RunChild("guard");
    DWORD dwSecond = RunChild("guard");
    EXPECT_NE(dwFirst, vmtest::c_dwChildNotStarted);
    EXPECT_NE(dwFirst, dwSecond) << "the guard is not drawn afresh for each process";
}

} // namespace
