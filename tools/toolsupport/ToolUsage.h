#pragma once
// What every tool answers alike: --help on standard output with exit 0,
// --version with the product's version, and bad use (an unknown option, a
// missing argument) as the problem and the usage on standard error with
// exit 2. Errors are told in the system's words, never as a bare number.

#include <windows.h>

#include <string>

namespace vmtool {

constexpr int c_nExitBadUse = 2;

// The product's version, as the project states it.
const char* ProductVersion();

// The whole usage text on standard output; answers exit code 0.
int ShowHelp(const char* a_szUsage);

// "<tool> <version>" on standard output; answers exit code 0.
int ShowVersion(const char* a_szTool);

// "<tool>: <problem>", then the usage's first paragraph (its synopsis) and
// where the rest is, on standard error; answers exit code 2.
int ShowBadUse(const char* a_szTool, const std::string& a_strProblem, const char* a_szUsage);

// The options every tool takes, and what it answers before its own work:
// bad use, --help or --version. A tool's options derive from this.
struct CCommonOptions {
    bool m_bHelp = false;
    bool m_bVersion = false;
};
struct CToolIdentity {
    const char* m_szName;
    const char* m_szUsage;
};
// The exit code when the tool has answered already, else -1.
int AnswerCommonOptions(const CToolIdentity& a_tool, bool a_bParsed, const std::string& a_strError,
                        const CCommonOptions& a_options);

// "File not found (2)": the system's words for a Win32 error code, then the
// code; "error 2" only when the system has no words for it.
std::string DescribeError(DWORD a_dwError);

// "0x80040154 (Class not registered)": an HRESULT and the system's words.
std::string DescribeResult(HRESULT a_hr);

} // namespace vmtool
