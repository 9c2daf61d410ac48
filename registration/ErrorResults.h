#pragma once
// How the registration code turns failures into results.

#include <windows.h>

// A zero last error would read as success; a failure must stay a failure.
inline HRESULT LastErrorResult()
{
    DWORD dwError = GetLastError();
    return dwError ? HRESULT_FROM_WIN32(dwError) : E_FAIL;
}
