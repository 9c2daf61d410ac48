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
