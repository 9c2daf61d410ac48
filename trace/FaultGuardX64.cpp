#include "trace/FaultGuard.h"

#include <windows.h>

#include <setjmp.h>
#include <string.h>

// x64 keeps no handler chain in the thread block: the dispatcher finds a
// frame's handler in the image's unwind tables. The guard's inner function
// names its own handler there, so, as with the 32-bit frame at fs:[0], the
// handler is asked only about exceptions that no deeper frame handled
// (a deeper handler, such as a system function that catches its own page
// faults, still gets its turn), and it resumes at the guard's setjmp by
// rewriting the context: nothing is unwound through frames we do not own.

extern "C" EXCEPTION_DISPOSITION vm_FaultGuardFrameHandler(EXCEPTION_RECORD* a_pRecord, void*,
                                                           CONTEXT* a_pContext, void*);

namespace vm {
namespace {

constexpr DWORD c_dwDebugPrintNotice = 0x40010006;     // DBG_PRINTEXCEPTION_C
constexpr DWORD c_dwDebugPrintWideNotice = 0x4001000A; // its wide-text twin
// The C++ runtime raises its exceptions through the dispatcher on x64 and
// unwinds them by its own tables; on the 32-bit build they never enter the
// structured chain at all, so the guard leaves them alone on both.
constexpr DWORD c_dwCxxThrow = 0x20474343;
constexpr DWORD c_dwCxxUnwind = 0x21474343;

bool IsGuarded(DWORD a_dwCode)
{
    return a_dwCode != c_dwDebugPrintNotice && a_dwCode != c_dwDebugPrintWideNotice &&
           a_dwCode != c_dwCxxThrow && a_dwCode != c_dwCxxUnwind;
}

// The innermost active guard's resume point, per thread.
class CResumeSlot {
public:
    CResumeSlot() : m_dwIndex(TlsAlloc()) {}
    ~CResumeSlot() { TlsFree(m_dwIndex); }
    void* Get() const { return TlsGetValue(m_dwIndex); }
    void Set(void* a_p) const { TlsSetValue(m_dwIndex, a_p); }
    bool IsValid() const { return m_dwIndex != TLS_OUT_OF_INDEXES; }

private:
    DWORD m_dwIndex;
};

const CResumeSlot g_resumeSlot;

// Restores the outer guard's resume point on every way out, a C++ exception
// passing through included.
class CResumeScope {
public:
    explicit CResumeScope(jmp_buf* a_pResume) : m_pOuter(g_resumeSlot.Get())
    {
        g_resumeSlot.Set(a_pResume);
    }
    ~CResumeScope() { g_resumeSlot.Set(m_pOuter); }
    CResumeScope(const CResumeScope&) = delete;
    CResumeScope& operator=(const CResumeScope&) = delete;

private:
    void* m_pOuter;
};

// Out of line and without objects to destroy, so that its unwind record
// carries our handler and no C++ personality.
__attribute__((noinline)) bool CallWithFrameHandler(GuardedCall a_pfnCall, void* a_pContext,
                                                    jmp_buf* a_pResume)
{
    __asm__ volatile(".seh_handler vm_FaultGuardFrameHandler, @except");
    if (setjmp(*a_pResume) != 0)
        return false;
    a_pfnCall(a_pContext);
    return true;
}

void ResumeAt(const _JUMP_BUFFER& a_jump, CONTEXT* a_pContext)
{
    a_pContext->Rbx = a_jump.Rbx;
    a_pContext->Rsp = a_jump.Rsp;
    a_pContext->Rbp = a_jump.Rbp;
    a_pContext->Rsi = a_jump.Rsi;
    a_pContext->Rdi = a_jump.Rdi;
    a_pContext->R12 = a_jump.R12;
    a_pContext->R13 = a_jump.R13;
    a_pContext->R14 = a_jump.R14;
    a_pContext->R15 = a_jump.R15;
    a_pContext->Rip = a_jump.Rip;
    a_pContext->MxCsr = a_jump.MxCsr;
    memcpy(&a_pContext->Xmm6, &a_jump.Xmm6, 10 * sizeof(a_jump.Xmm6)); // Xmm6..Xmm15 in a row
    a_pContext->Rax = 1; // setjmp's second return value
}

} // namespace

bool RunGuarded(GuardedCall a_pfnCall, void* a_pContext)
{
    if (!g_resumeSlot.IsValid()) {
        a_pfnCall(a_pContext);
        return true;
    }
    jmp_buf resume;
    CResumeScope scope(&resume);
    return CallWithFrameHandler(a_pfnCall, a_pContext, &resume);
}

void* CurrentExceptionList()
{
    return g_resumeSlot.Get();
}

} // namespace vm

extern "C" __attribute__((used)) EXCEPTION_DISPOSITION vm_FaultGuardFrameHandler(
    EXCEPTION_RECORD* a_pRecord, void*, CONTEXT* a_pContext, void*)
{
    if (a_pRecord->ExceptionFlags & EXCEPTION_UNWIND)
        return ExceptionContinueSearch;
    if (!vm::IsGuarded(a_pRecord->ExceptionCode))
        return ExceptionContinueSearch;
    const void* pResume = vm::g_resumeSlot.Get();
    if (!pResume)
        return ExceptionContinueSearch;
    vm::ResumeAt(*static_cast<const _JUMP_BUFFER*>(pResume), a_pContext);
    return ExceptionContinueExecution;
}
