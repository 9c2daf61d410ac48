// The stack-protector's guard and its failure routine, in every binary we
// link. The compiler's own support library fills the guard through the
// CryptoAPI, which loads three system DLLs into the host process for each of
// our modules (about 5 ms apiece under Wine, in every process that offers a
// shell request); the system's random generator gives the same guard for
// none of that.

#include <windows.h>
#include <ntsecapi.h>

#include <cstdint>

extern "C" {

// Not zero before the constructor runs, so a frame set up earlier still has
// a guard, and one that differs from the value the constructor stores.
uintptr_t __stack_chk_guard = static_cast<uintptr_t>(0x2F8D5A4CE1B37096ull);

// A smashed stack is not reported or unwound: the process ends at once, with
// the status Windows itself uses for it.
[[noreturn]] void __stack_chk_fail()
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
    __builtin_trap();
}

} // extern "C"

namespace {

// Unguarded itself: it changes the guard under its own frame.
__attribute__((constructor, no_stack_protector)) void SeedStackGuard()
{
    uintptr_t guard = 0;
    if (RtlGenRandom(&guard, sizeof(guard)) && guard != 0)
        __stack_chk_guard = guard;
}

} // namespace
