#include "trace/Trace.h"

#include "trace/FaultGuard.h"

#include <windows.h>

#include <cstdarg>
#include <cstdlib>

bool g_bTraceEnabled = true;
bool g_bTraceLineEnabled = false;

namespace {

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

void TraceAlways(const char* a_szFormat, ...)
{
    char szBuffer[c_cbTraceBuffer];
    va_list args;
    va_start(args, a_szFormat);
    FormatRequest req{szBuffer, sizeof(szBuffer), a_szFormat, &args, false};
    vm::RunGuarded(FormatAndWrite, &req);
    va_end(args);
}

void TraceSwitchable(const char* a_szFormat, ...)
{
    if (!g_bTraceEnabled)
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
    if (!g_bTraceLineEnabled)
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
