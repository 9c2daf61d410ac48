#pragma once
// Whether a debugger text written now can reach anyone. Under Wine each
// OutputDebugStringA costs tens of microseconds even when nothing listens,
// which is most of what an ordinary request costs; writers ask this first.
// Someone listens when a debugger is attached, when a debug viewer waits on
// the session's debug-output channel, or when a capture inside this process
// has declared itself.

#include "common/Handle.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace vm {

// An in-process capture (a vectored handler taking DBG_PRINTEXCEPTION_C)
// declares itself by setting this variable of its own process to its process
// id in decimal while it captures. The id and not a mere flag: a child
// process inherits the environment but not the capture.
constexpr char c_szTraceCaptureVariable[] = "LUMIDEX_TRACE_CAPTURE";

inline void DeclareTraceCapture(bool a_bCapturing)
{
    char szPid[16];
    std::snprintf(szPid, sizeof(szPid), "%lu", GetCurrentProcessId());
    SetEnvironmentVariableA(c_szTraceCaptureVariable, a_bCapturing ? szPid : nullptr);
}

inline bool IsTraceCaptureDeclared()
{
    char szPid[16];
    DWORD cch = GetEnvironmentVariableA(c_szTraceCaptureVariable, szPid, sizeof(szPid));
    if (cch == 0 || cch >= sizeof(szPid))
        return false;
    char* pEnd = nullptr;
    unsigned long ulPid = std::strtoul(szPid, &pEnd, 10);
    return *pEnd == '\0' && ulPid == GetCurrentProcessId();
}

// A debug viewer creates this event and waits on it before it reads a text.
inline bool IsDebugOutputListenerRunning()
{
    return static_cast<bool>(UniqueNullHandle(OpenEventW(SYNCHRONIZE, FALSE, L"DBWIN_BUFFER_READY")));
}

// Cheapest first: the look for a viewer is a trip to the system (under Wine
// to its server), the others stay in the process.
inline bool IsTraceListened()
{
    return IsDebuggerPresent() || IsTraceCaptureDeclared() || IsDebugOutputListenerRunning();
}

} // namespace vm
