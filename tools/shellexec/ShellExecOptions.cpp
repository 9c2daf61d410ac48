#include "tools/shellexec/ShellExecOptions.h"

#include "common/FileIdentity.h"

#include <cwctype>

const char c_szShellExecUsage[] =
    "usage: shellexec [--verb V] [--params P] [--dir D] [--class KEY] [--clsid {GUID}]\n"
    "                 [--no-fallback] [--trace] [--ansi] [--dry-run [--policy FILE]] FILE\n"
    "       shellexec --no-file [--verb V] [...]\n"
    "       shellexec --dry-run [--policy FILE] [--verb V] --folder DIR [--csv]\n"
    "       shellexec --help | --version\n"
    "\n"
    "Offers one shell-execute request to the shell-execute hooks, as Explorer does:\n"
    "the class ids named by the values of\n"
    "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks,\n"
    "in the registry's value order. Each hook is offered the request through\n"
    "IShellExecuteHookW, as the shell does, or through IShellExecuteHookA when it\n"
    "has no wide interface, with the texts in the ANSI code page ('?' for what it\n"
    "cannot hold). The first hook that answers S_OK ends it; when every hook hands\n"
    "it back, ShellExecuteExW carries the request out.\n"
    "\n"
    "  --verb V       the verb; without it the verb is NULL, --verb \"\" is empty\n"
    "  --params P     the parameters (NULL without)\n"
    "  --dir D        the directory (NULL without)\n"
    "  --class KEY    opens HKEY_CLASSES_ROOT\\KEY and passes it as hkeyClass with\n"
    "                 SEE_MASK_CLASSKEY\n"
    "  --clsid {GUID} offers the request to that class alone\n"
    "  --no-fallback  never calls ShellExecuteExW\n"
    "  --ansi         offers the request through IShellExecuteHookA only\n"
    "  --trace        shows the debugger texts written in this process during the\n"
    "                 request instead of letting them reach a debug viewer\n"
    "  --no-file      lpFile is NULL\n"
    "  --dry-run      the hooks that can run dry decide the request as they would\n"
    "                 and start nothing and write nothing to the registry; each\n"
    "                 program they would start is shown, and nothing falls back\n"
    "  --policy FILE  with --dry-run: the product's hook decides by this draft\n"
    "                 policy file instead of the installed one\n"
    "  --folder DIR   with --dry-run, in place of FILE: each file below DIR (its\n"
    "                 subfolders too, not through links) is decided in turn, with\n"
    "                 the verb \"open\" unless --verb says otherwise\n"
    "  --csv          with --folder: the listing as comma-separated values\n"
    "  --             ends the options (for a FILE that begins with --)\n"
    "\n"
    "The hooks see fMask 0 (SEE_MASK_CLASSKEY with --class), nShow SW_SHOWNORMAL,\n"
    "hInstApp 0 and lpFile in a writable buffer of at least MAX_PATH characters. The\n"
    "fallback adds SEE_MASK_FLAG_NO_UI and SEE_MASK_NOASYNC: no dialog, and the\n"
    "program is started before shellexec ends.\n"
    "\n"
    "Output, one line each, in this order:\n"
    "  hook {GUID} -> S_OK | S_FALSE | 0xN (WHY)   for each hook offered\n"
    "  hInstApp=N                                  after the hooks, before any fallback\n"
    "  lpFile=TEXT                                 after the hooks, in the ANSI code page;\n"
    "                                              (null) for --no-file\n"
    "  debug: TEXT                                 with --trace; a line feed shows as \\n\n"
    "  shell: ok | shell: failed: WHY (N)          when it fell back (N: GetLastError)\n"
    "  would start: COMMAND LINE                   with --dry-run, for each program\n"
    "  verdict: TEXT                               last, what became of the request\n"
    "With --folder, one line a file, sorted by path, then the counts:\n"
    "  DOCUMENT | VERDICT | PROGRAM | PLUG-IN | REASON   (\"-\" for what is not named)\n"
    "  total: N files: N VERDICT, N VERDICT, ...\n"
    "VERDICT is controlled, finished by the hook, handed back, handed back\n"
    "unprotected (a controlled file whose application or plug-in is missing),\n"
    "refused (CODE) or protection is off. With --csv the lines are a table with\n"
    "the header document,verdict,program,plug-in,reason, and the total goes to\n"
    "the standard error. A folder that cannot be listed exits 2.\n"
    "\n"
    "Exit codes:\n"
    "  0  a hook took the request, or the fallback carried it out\n"
    "  1  every hook handed it back and it was not carried out (--no-fallback, or\n"
    "     the fallback failed)\n"
    "  2  bad arguments, a --class key that cannot be opened, or hooks were listed\n"
    "     but none of them could be created (then nothing falls back)\n"
    "An empty or missing hook list is not an error: the request falls back (exit 1\n"
    "with --no-fallback).\n";

namespace {

enum class OptionKind { Flag, Value };

struct COptionRow {
    const char* m_szName;
    OptionKind m_kind;
    bool CShellExecOptions::*m_pbFlag;
    std::optional<std::wstring> CShellExecOptions::*m_pstrValue;
};

const COptionRow c_options[] = {
    {"--verb", OptionKind::Value, nullptr, &CShellExecOptions::m_strVerb},
    {"--params", OptionKind::Value, nullptr, &CShellExecOptions::m_strParams},
    {"--dir", OptionKind::Value, nullptr, &CShellExecOptions::m_strDir},
    {"--class", OptionKind::Value, nullptr, &CShellExecOptions::m_strClassKey},
    {"--clsid", OptionKind::Value, nullptr, &CShellExecOptions::m_strClsid},
    {"--no-fallback", OptionKind::Flag, &CShellExecOptions::m_bNoFallback, nullptr},
    {"--no-file", OptionKind::Flag, &CShellExecOptions::m_bNoFile, nullptr},
    {"--ansi", OptionKind::Flag, &CShellExecOptions::m_bAnsi, nullptr},
    {"--trace", OptionKind::Flag, &CShellExecOptions::m_bTrace, nullptr},
    {"--dry-run", OptionKind::Flag, &CShellExecOptions::m_bDryRun, nullptr},
    {"--policy", OptionKind::Value, nullptr, &CShellExecOptions::m_strPolicy},
    {"--folder", OptionKind::Value, nullptr, &CShellExecOptions::m_strFolder},
    {"--csv", OptionKind::Flag, &CShellExecOptions::m_bCsv, nullptr},
    {"--help", OptionKind::Flag, &CShellExecOptions::m_bHelp, nullptr},
    {"--version", OptionKind::Flag, &CShellExecOptions::m_bVersion, nullptr},
    {},
};

const COptionRow* FindOption(const std::wstring& a_strName)
{
    for (const COptionRow* pRow = c_options; pRow->m_szName; ++pRow)
        if (a_strName == vm::WideFromAnsi(pRow->m_szName))
            return pRow;
    return nullptr;
}

// For messages only.
std::string Shown(const std::wstring& a_strText)
{
    return vm::AnsiRendering(a_strText);
}

// --folder stands for FILE, in a dry run only.
bool IsFolderRequestConsistent(const CShellExecOptions& a_options, std::string& a_strError)
{
    a_strError.clear();
    if (a_options.m_strFile || a_options.m_bNoFile)
        a_strError = "--folder and a FILE (or --no-file) exclude each other";
    else if (!a_options.m_bDryRun)
        a_strError = "--folder needs --dry-run: it would start every file below the folder";
    else if (a_options.m_strFolder->empty())
        a_strError = "--folder needs a folder name";
    else if (a_options.m_strClassKey)
        a_strError = "--folder and --class exclude each other: each file has its own class";
    return a_strError.empty();
}

// Options that exclude or need each other; help and version need nothing.
bool AreOptionsConsistent(const CShellExecOptions& a_options, std::string& a_strError)
{
    if (a_options.m_bHelp || a_options.m_bVersion)
        return true;
    if (a_options.m_bNoFile && a_options.m_strFile) {
        a_strError = "--no-file and a FILE exclude each other";
        return false;
    }
    if (!a_options.m_bNoFile && !a_options.m_strFile && !a_options.m_strFolder) {
        a_strError = "FILE missing (or --no-file)";
        return false;
    }
    if (a_options.m_strClsid && !IsClsidText(*a_options.m_strClsid)) {
        a_strError = "--clsid wants {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, not '" + Shown(*a_options.m_strClsid) + "'";
        return false;
    }
    if (a_options.m_strPolicy && !a_options.m_bDryRun) {
        a_strError = "--policy needs --dry-run";
        return false;
    }
    if (a_options.m_strClassKey && a_options.m_strClassKey->empty()) {
        a_strError = "--class needs a key name";
        return false;
    }
    if (a_options.m_strFolder)
        return IsFolderRequestConsistent(a_options, a_strError);
    if (a_options.m_bCsv) {
        a_strError = "--csv needs --folder";
        return false;
    }
    return true;
}

} // namespace

bool IsClsidText(const std::wstring& a_strText)
{
    if (a_strText.size() != 38 || a_strText.front() != L'{' || a_strText.back() != L'}')
        return false;
    for (size_t i = 1; i < 37; ++i) {
        bool bDash = (i == 9 || i == 14 || i == 19 || i == 24);
        if (bDash ? a_strText[i] != L'-' : !std::iswxdigit(a_strText[i]))
            return false;
    }
    return true;
}

bool ParseShellExecArguments(int a_argc, const wchar_t* const* a_argv, CShellExecOptions& a_options,
                             std::string& a_strError)
{
    a_options = CShellExecOptions{};
    bool bOptionsEnded = false;
    for (int i = 1; i < a_argc; ++i) {
        std::wstring strArg = a_argv[i];
        if (!bOptionsEnded && strArg == L"--") {
            bOptionsEnded = true;
            continue;
        }
        if (bOptionsEnded || strArg.compare(0, 2, L"--") != 0) {
            if (a_options.m_strFile) {
                a_strError = "more than one FILE: '" + Shown(strArg) + "'";
                return false;
            }
            a_options.m_strFile = strArg;
            continue;
        }
        const COptionRow* pRow = FindOption(strArg);
        if (!pRow) {
            a_strError = "unknown option " + Shown(strArg);
            return false;
        }
        if (pRow->m_kind == OptionKind::Flag) {
            a_options.*(pRow->m_pbFlag) = true;
            continue;
        }
        if (i + 1 >= a_argc) {
            a_strError = Shown(strArg) + " needs a value";
            return false;
        }
        std::optional<std::wstring>& value = a_options.*(pRow->m_pstrValue);
        if (value) {
            a_strError = Shown(strArg) + " given twice";
            return false;
        }
        value = a_argv[++i];
    }
    return AreOptionsConsistent(a_options, a_strError);
}
