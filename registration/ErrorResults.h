#pragma once
// How the registration code turns failures into results.

#include <windows.h>

// A zero last error would read as success; a failure must stay a failure.
inline HRESULT LastErrorResult()
{
    DWORD dwError = GetLastError();
    return dwError ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}

// Ends the calling function with the result of a_expr when that is a failure;
// a_expr is evaluated once.
#define VM_RETURN_IF_FAILED(a_expr)        \
    do {                                   \
        const HRESULT hrFailed = (a_expr); \
        if (FAILED(hrFailed))              \
            return hrFailed;               \
    } while (0)
