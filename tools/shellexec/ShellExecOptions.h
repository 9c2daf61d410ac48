#pragma once
// The command line of shellexec. Scripts rely on it: names and meanings stay.

#include <optional>
#include <string>

// Texts are wide, as the command line gave them: a file name need not fit
// the ANSI code page.
struct CShellExecOptions {
    std::optional<std::wstring> m_strVerb; // absent: NULL verb; "" is an empty verb
    std::optional<std::wstring> m_strParams;
    std::optional<std::wstring> m_strDir;
    std::optional<std::wstring> m_strClassKey; // below HKEY_CLASSES_ROOT
    std::optional<std::wstring> m_strClsid;    // offer to this class alone
    std::optional<std::wstring> m_strFile;     // absent only with --no-file
    bool m_bNoFile = false;
    bool m_bAnsi = false; // offer only IShellExecuteHookA
    bool m_bNoFallback = false;
    bool m_bTrace = false;
    bool m_bHelp = false;
    bool m_bDryRun = false;
    std::optional<std::wstring> m_strPolicy; // a draft policy file, with --dry-run
    std::optional<std::wstring> m_strFolder; // with --dry-run: every file below it, in place of FILE
    bool m_bCsv = false;                     // with --folder: the listing as comma-separated values
    bool m_bVersion = false;
};

// Fills a_options from argv[1..]; false with a message for the user when the
// arguments make no request.
bool ParseShellExecArguments(int a_argc, const wchar_t* const* a_argv, CShellExecOptions& a_options,
                             std::string& a_strError);

// A class id in registry form: braces, 8-4-4-4-12 hex digits.
bool IsClsidText(const std::wstring& a_strText);

extern const char c_szShellExecUsage[];
