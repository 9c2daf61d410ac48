#pragma once
// A wide shell-execute request in the form the ANSI interface takes it. A
// request whose texts the ANSI code page holds exactly is handled as the
// ANSI request it converts to, with the same traces and answers; one that
// it cannot hold keeps its real texts beside an ANSI rendering, so that the
// file is read and opened under its real name.

#include "request/WideTexts.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

class CAnsiRequest {
public:
    explicit CAnsiRequest(const SHELLEXECUTEINFOW& a_sei);
    CAnsiRequest(const CAnsiRequest&) = delete;
    CAnsiRequest& operator=(const CAnsiRequest&) = delete;

    // True when every text converted without loss.
    bool IsExact() const { return m_bExact; }
    SHELLEXECUTEINFOA& Get() { return m_sei; }
    // The real file, parameters and directory, for a request that is not exact.
    const WideTexts& Real() const { return m_real; }

    // Gives the caller the answer: hInstApp, and the file text without its
    // enclosing quotes when the handling took them off.
    void CopyBack(SHELLEXECUTEINFOW& a_sei) const;

private:
    const char* Convert(LPCWSTR a_szText, std::string& a_strText);

    std::string m_strVerb, m_strParameters, m_strDirectory, m_strClass;
    std::string m_strFileAsGiven;
    // The file text in a buffer the handling may write, never shorter than
    // the shell's MAX_PATH buffer.
    std::vector<char> m_file;
    WideTexts m_real;
    SHELLEXECUTEINFOA m_sei{};
    bool m_bExact = true;
};
