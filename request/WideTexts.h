#pragma once
// The real texts of a wide request that the ANSI code page cannot hold. The
// ANSI request then carries a rendering, with '?' for what was lost, which
// serves the traces and the look-ups by extension and application name; the
// document is read, and every program started, by these.

#include <string>

struct WideTexts {
    std::wstring m_strFile;
    std::wstring m_strParameters;
    std::wstring m_strDirectory;
};
