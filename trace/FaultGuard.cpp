#include "trace/FaultGuard.h"

#include <windows.h>

#include <setjmp.h>

namespace vm {
namespace {

// The registration record must come first: the dispatcher hands its address
// back to the handler as the establisher frame.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD m_reg;
    jmp_buf m_resume;
};

// OutputDebugString raises these and handles them itself (or a debugger
// does); every other exception, whatever its severity, ends the guarded call.
// A guard-page hit (0x80000001) is only a warning, yet it means the formatter
// was reading memory that is not ours to read.
constexpr DWORD c_dwDebugPrint = 0x40010006;     // DBG_PRINTEXCEPTION_C
constexpr DWORD c_dwDebugPrintWide = 0x4001000A; // DBG_PRINTEXCEPTION_WIDE_C

bool IsFault(DWORD a_dwCode)
{
    return a_dwCode != c_dwDebugPrint && a_dwCode != c_dwDebugPrintWide;
}

// Resumes at the setjmp of the frame as a longjmp would, but by handing the
// dispatcher a rewritten context: nothing is unwound through frames we do not
// own, and the dispatcher finishes its own bookkeeping.
EXCEPTION_DISPOSITION NTAPI GuardHandler(EXCEPTION_RECORD* a_pRecord, void* a_pFrame,
                                         CONTEXT* a_pContext, void*)
{
    if (a_pRecord->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
        return ExceptionContinueSearch;
    if (!IsFault(a_pRecord->ExceptionCode))
        return ExceptionContinueSearch;

    auto* pFrame = static_cast<GuardFrame*>(a_pFrame);
    const auto* pJump = reinterpret_cast<const _JUMP_BUFFER*>(pFrame->m_resume);
    a_pContext->Ebp = pJump->Ebp;
    a_pContext->Ebx = pJump->Ebx;
    a_pContext->Edi = pJump->Edi;
    a_pContext->Esi = pJump->Esi;
    a_pContext->Esp = pJump->Esp;
    a_pContext->Eip = pJump->Eip;
    a_pContext->Eax = 1; // setjmp's second return value
    return ExceptionContinueExecution;
}

} // namespace

bool RunGuarded(GuardedCall a_pfnCall, void* a_pContext)
{
    GuardFrame frame;
    frame.m_reg.Next = static_cast<EXCEPTION_REGISTRATION_RECORD*>(CurrentExceptionList());
    frame.m_reg.Handler = GuardHandler;
    SetExceptionList(&frame.m_reg);

    // frame lives in memory (its address is registered), so it is intact on
    // the second return of setjmp; nothing else is read after it.
    if (setjmp(frame.m_resume) == 0) {
        a_pfnCall(a_pContext);
        SetExceptionList(frame.m_reg.Next);
        return true;
    }
    // A fault may have left deeper frames registered; drop them with ours.
    SetExceptionList(frame.m_reg.Next);
    return false;
}

} // namespace vm
