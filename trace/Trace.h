#pragma once
// The debug trace: every diagnostic text of the hook goes to the debugger
// output channel, one formatted text per call.

#include <cstddef>

#include <stdio.h>

#define VM_TRACE_FORMAT(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))

extern bool g_bTraceEnabled;     // switchable trace, on from load
extern bool g_bTraceLineEnabled; // newline-ending trace, off from load

constexpr std::size_t c_cbTraceBuffer = 4096;
constexpr std::size_t c_cbTraceLineBuffer = 1000000;

// Always written; a fault while formatting loses the line and nothing more.
void TraceAlways(const char* a_szFormat, ...) VM_TRACE_FORMAT(1, 2);
// Written while g_bTraceEnabled; no fault guard.
void TraceSwitchable(const char* a_szFormat, ...) VM_TRACE_FORMAT(1, 2);
// Written while g_bTraceLineEnabled, with a line feed added; guarded.
void TraceLine(const char* a_szFormat, ...) VM_TRACE_FORMAT(1, 2);
// A fixed text written straight, whatever the switches say.
void TraceFixed(const char* a_szText);

// Every routine above writes only when someone can receive the text
// (common/TraceListener.h). While a request runs on this thread that is
// decided once, when the request begins, so a request costs one look and its
// texts are all written or none; outside a request each text looks for itself.
class CTraceRequestScope final {
public:
    CTraceRequestScope();
    ~CTraceRequestScope();
    CTraceRequestScope(const CTraceRequestScope&) = delete;
    CTraceRequestScope& operator=(const CTraceRequestScope&) = delete;

private:
    int m_nOuter;
};
