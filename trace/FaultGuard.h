#pragma once
// Runs a callback and ends it quietly when it raises an exception (an access
// violation, a guard-page hit, anything but the debugger-output notices). gcc has no __try, so the
// guard registers a structured-exception frame of its own at fs:[0].

#include <windows.h>

namespace vm {

using GuardedCall = void (*)(void* a_pContext);

// True when the call ran to its end, false when a fault ended it. Either way
// the thread's exception-handler chain is as it was before the call.
bool RunGuarded(GuardedCall a_pfnCall, void* a_pContext);

// Stores a_szSource over a_szTarget, a caller's text that may lie in memory
// we cannot write (a constant string); false when a fault ended the copy.
// For ANSI and wide texts alike.
template <typename Char>
bool CopyTextGuarded(Char* a_szTarget, const Char* a_szSource)
{
    struct Copy {
        Char* m_szTarget;
        const Char* m_szSource;
    } copy{a_szTarget, a_szSource};
    auto copyText = [](void* a_pContext) {
        auto* pCopy = static_cast<Copy*>(a_pContext);
        if constexpr (sizeof(Char) == 1)
            lstrcpyA(pCopy->m_szTarget, pCopy->m_szSource);
        else
            lstrcpyW(pCopy->m_szTarget, pCopy->m_szSource);
    };
    return RunGuarded(copyText, &copy);
}

#if defined(__i386__)
// Head of this thread's structured-exception handler chain (fs:[0]).
inline void* CurrentExceptionList()
{
    void* pHead;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(pHead));
    return pHead;
}

inline void SetExceptionList(void* a_pHead)
{
    __asm__ volatile("movl %0, %%fs:0" : : "r"(a_pHead) : "memory");
}
#else
// x64 has no fs:[0] chain (handlers live in the image's unwind tables); what
// a guard leaves on its thread is its resume point. This answers the
// innermost one, which is the caller's again after every guarded call.
void* CurrentExceptionList();
#endif

} // namespace vm
