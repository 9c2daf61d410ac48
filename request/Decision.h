#pragma once
// The values a decision about one request is spoken in.

#include <windows.h>

// Decision values shared by the control decision, the exception rules and the
// document runner.
constexpr int EXECUTE_INJECTION = 0; // run under control through the launcher
constexpr int SKIPPED_INJECTION = 1; // hand the request back to the shell
constexpr int EXECUTE_EXCEPTION = 2; // finished without the launcher

// Request cases (m_uOperation).
constexpr UINT OPERATION_NONE = 0;
constexpr UINT OPERATION_APPLICATION = 1;
constexpr UINT OPERATION_OPEN_DOCUMENT = 2;
constexpr UINT OPERATION_OPENAS_DOCUMENT = 3;

// hInstApp values of a request the hook took over.
constexpr int c_nResultLaunched = 44;
constexpr int c_nResultHandled = 33;
