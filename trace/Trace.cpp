#include "trace/Trace.h"

#include "common/TraceListener.h"
#include "trace/FaultGuard.h"

#include <windows.h>

#include <cstdarg>
#include <cstdlib>

bool g_bTraceEnabled = true;
bool g_bTraceLineEnabled = false;

namespace {

enum : int { c_nUndecided, c_nHeard, c_nUnheard };

// The decision of the request running on this thread. A slot of the
// system's own rather than thread_local, whose emulation in this compiler
// leaves a block behind in every thread that outlives the module.
class CRequestSlot {
public:
    CRequestSlot() : m_dwIndex(TlsAlloc()) {}
    ~CRequestSlot() { TlsFree(m_dwIndex); }
    int Get() const { return static_cast<int>(reinterpret_cast<INT_PTR>(TlsGetValue(m_dwIndex))); }
    void Set(int a_n) const { TlsSetValue(m_dwIndex, reinterpret_cast<void*>(static_cast<INT_PTR>(a_n))); }

private:
    DWORD m_dwIndex;
};

const CRequestSlot g_requestSlot;

// Without a slot, TlsGetValue answers 0: every text looks for itself.
bool IsHeard()
{
    int nDecision = g_requestSlot.Get();
    if (nDecision == c_nUndecided)
        return vm::IsTraceListened();
    return nDecision == c_nHeard;
}

struct FormatRequest {
    char* m_pBuffer;
    std::size_t m_cbBuffer;
    const char* m_szFormat;
    va_list* m_pArgs;
    bool m_bAddLineFeed;
};

// A text longer than the buffer is cut at the buffer's end (one byte kept for
// the terminating zero, and one more for the line feed when one is added).
void FormatInto(const FormatRequest& a_req)
{
    std::size_t cbText = a_req.m_cbBuffer - (a_req.m_bAddLineFeed ? 1 : 0);
    int cch = vsnprintf(a_req.m_pBuffer, cbText, a_req.m_szFormat, *a_req.m_pArgs);
    a_req.m_pBuffer[cbText - 1] = '\0';
    std::size_t cchText = cch < 0 ? strlen(a_req.m_pBuffer)
                                  : (static_cast<std::size_t>(cch) < cbText ? cch : cbText - 1);
    if (a_req.m_bAddLineFeed) {
        a_req.m_pBuffer[cchText] = '\n';
        a_req.m_pBuffer[cchText + 1] = '\0';
    }
}

void FormatAndWrite(void* a_pContext)
{
    const auto& req = *static_cast<const FormatRequest*>(a_pContext);
    FormatInto(req);
    OutputDebugStringA(req.m_pBuffer);
}

} // namespace

CTraceRequestScope::CTraceRequestScope() : m_nOuter(g_requestSlot.Get())
{
    g_requestSlot.Set(vm::IsTraceListened() ? c_nHeard : c_nUnheard);
}

CTraceRequestScope::~CTraceRequestScope()
{
    g_requestSlot.Set(m_nOuter);
}

void TraceAlways(const char* a_szFormat, ...)
{
    if (!IsHeard())
        return;
    char szBuffer[c_cbTraceBuffer];
    va_list args;
    va_start(args, a_szFormat);
    FormatRequest req{szBuffer, sizeof(szBuffer), a_szFormat, &args, false};
    vm::RunGuarded(FormatAndWrite, &req);
    va_end(args);
}

void TraceSwitchable(const char* a_szFormat, ...)
{
    if (!g_bTraceEnabled || !IsHeard())
        return;
    char szBuffer[c_cbTraceBuffer];
    va_list args;
    va_start(args, a_szFormat);
    FormatRequest req{szBuffer, sizeof(szBuffer), a_szFormat, &args, false};
    FormatAndWrite(&req);
    va_end(args);
}

void TraceLine(const char* a_szFormat, ...)
{
    if (!g_bTraceLineEnabled || !IsHeard())
        return;
    char* pBuffer = static_cast<char*>(std::malloc(c_cbTraceLineBuffer));
    if (!pBuffer)
        return;
    va_list args;
    va_start(args, a_szFormat);
    FormatRequest req{pBuffer, c_cbTraceLineBuffer, a_szFormat, &args, true};
    vm::RunGuarded(FormatAndWrite, &req);
    va_end(args);
    std::free(pBuffer);
}

void TraceFixed(const char* a_szText)
{
    if (IsHeard())
        OutputDebugStringA(a_szText);
}
