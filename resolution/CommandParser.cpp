// ParseCommandPath: from a registry command string to the path of the
// executable it starts. The probes and their order are those the association
// data of the field expects; each probe stops at the first existing file.

#include "common/FileIdentity.h"
#include "common/PathNameCache.h"
#include "resolution/PathHelpers.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr char c_szSystemRoot[] = "%SystemRoot%";
constexpr char c_szProgramFiles[] = "%ProgramFiles%";
constexpr char c_szQuotedPlaceholder[] = "\"%1\"";
constexpr char c_szPlaceholder[] = "%1";

using PathBuffer = char[MAX_PATH];

// A directory the platform cannot give whole is treated as unknown (empty).
void KeepIfWhole(PathBuffer& a_szDir, UINT a_cch)
{
    if (a_cch == 0 || a_cch >= MAX_PATH)
        a_szDir[0] = '\0';
}

using vm::IsFullPath;

// An existing file named by a full path: nothing is taken from the current
// directory.
bool NamesExistingFile(const char* a_szPath)
{
    return IsFullPath(a_szPath) && vm::IsExistingFile(a_szPath);
}

class CCommandParser {
public:
    CCommandParser(const char* a_szCommand, char* a_szOut, size_t a_cbOut)
        : m_szCommand(a_szCommand), m_szOut(a_szOut), m_cbOut(a_cbOut)
    {
        KeepIfWhole(m_szWindowsDir, GetWindowsDirectoryA(m_szWindowsDir, MAX_PATH));
        KeepIfWhole(m_szSystemDir, GetSystemDirectoryA(m_szSystemDir, MAX_PATH));
    }

    void Run();

private:
    bool CopyCommand();
    void ExpandFirstVariable();
    void CutAtPlaceholder();
    void Shorten();
    bool ProbeDirectory(const char* a_szDir);
    bool RestoreImageViewerEntry();
    bool TakeQuotedPath();
    bool CutBeforeLastPercent();
    void CutAtFirstSpace();
    bool TakeExistingPrefix(size_t a_cchOut, bool a_bOutExists);
    bool TakeFirstTry(bool a_bOutExists);
    bool CopyToOut(const char* a_szText);

    const char* m_szCommand;
    char* m_szOut;
    size_t m_cbOut;
    PathBuffer m_szWindowsDir = {};
    PathBuffer m_szSystemDir = {};
};

void CCommandParser::Run()
{
    // The command cut to its program: first variable expanded, arguments
    // after the last blank and the placeholder dropped, quotes removed,
    // then in short form.
    if (!CopyCommand())
        return;
    ExpandFirstVariable();
    CutAtLastSpace(m_szOut);
    CutAtPlaceholder();
    TrimTrailingSpaces(m_szOut);
    StripQuotes(m_szOut);
    size_t cchCut = strlen(m_szOut);
    Shorten();
    // A full path that names an existing file is the answer.
    if (IsFullPath(m_szOut) && PathFileExistsA(m_szOut)) {
        TakeExistingPrefix(cchCut, true);
        return;
    }
    // A bare name found in the Windows folder, then the system folder.
    if (ProbeDirectory(m_szWindowsDir) || ProbeDirectory(m_szSystemDir))
        return;
    if (RestoreImageViewerEntry())
        return;
    // A quoted program: the text between the quotes, cut at its first blank
    // where it names a file.
    if (m_szCommand[0] == '"') {
        if (TakeQuotedPath() && !TakeFirstTry(NamesExistingFile(m_szOut)))
            CutAtFirstSpace();
        return;
    }
    if (strstr(m_szCommand, "ideas.cmd"))
        return;
    // An unquoted command with blanks: the text before its last variable;
    // without blanks, %SystemRoot% stands for the Windows folder.
    if (strchr(m_szCommand, ' ')) {
        CopyCommand();
        if (CutBeforeLastPercent()) {
            size_t cchOut = strlen(m_szOut);
            Shorten();
            bool bExists = NamesExistingFile(m_szOut);
            if (!TakeExistingPrefix(cchOut, bExists))
                TakeFirstTry(bExists);
            return;
        }
    } else if (FindCharacter(m_szCommand, '%')) {
        ReplaceNoCase(m_szOut, m_cbOut, c_szSystemRoot, m_szWindowsDir);
    }
    CutAtFirstSpace();
    bool bExists = NamesExistingFile(m_szOut);
    if (!TakeExistingPrefix(strlen(m_szOut), bExists))
        TakeFirstTry(bExists);
}

// A command that does not fit is refused rather than cut: a cut command can
// name a different program.
bool CCommandParser::CopyCommand()
{
    if (!CopyToOut(m_szCommand)) {
        m_szOut[0] = '\0';
        return false;
    }
    return true;
}

bool CCommandParser::CopyToOut(const char* a_szText)
{
    size_t cch = strlen(a_szText);
    if (cch >= m_cbOut)
        return false;
    memcpy(m_szOut, a_szText, cch + 1);
    return true;
}

void CCommandParser::ExpandFirstVariable()
{
    if (ContainsNoCase(m_szOut, c_szSystemRoot)) {
        ReplaceNoCase(m_szOut, m_cbOut, c_szSystemRoot, m_szWindowsDir);
        return;
    }
    if (!ContainsNoCase(m_szOut, c_szProgramFiles))
        return;
    PathBuffer szRoot = {};
    memcpy(szRoot, m_szWindowsDir, sizeof(szRoot));
    PathStripToRootA(szRoot);
    PathBuffer szProgramFiles = {};
    int cch = snprintf(szProgramFiles, sizeof(szProgramFiles), "%sProgram Files", szRoot);
    if (cch > 0 && static_cast<size_t>(cch) < sizeof(szProgramFiles))
        ReplaceNoCase(m_szOut, m_cbOut, c_szProgramFiles, szProgramFiles);
}

void CCommandParser::CutAtPlaceholder()
{
    if (char* p = strstr(m_szOut, c_szQuotedPlaceholder))
        *p = '\0';
    if (char* p = strstr(m_szOut, c_szPlaceholder))
        *p = '\0';
}

// A short form that does not fit leaves the text in its long form. A name
// that is no full path stays as it is: shortened, it would be looked up in
// the current directory.
void CCommandParser::Shorten()
{
    if (!IsFullPath(m_szOut))
        return;
    PathBuffer szShort = {};
    DWORD cch = CachedShortPathName(m_szOut, szShort, MAX_PATH);
    if (cch > 0 && cch < MAX_PATH)
        CopyToOut(szShort);
}

// A probe path that does not fit is not probed: cut, it would be another file.
bool CCommandParser::ProbeDirectory(const char* a_szDir)
{
    if (!*a_szDir)
        return false;
    PathBuffer szProbe = {};
    int cch = snprintf(szProbe, sizeof(szProbe), "%s\\%s", a_szDir, m_szOut);
    if (cch < 0 || static_cast<size_t>(cch) >= sizeof(szProbe))
        return false;
    return PathFileExistsA(szProbe) && CopyToOut(szProbe);
}

bool CCommandParser::RestoreImageViewerEntry()
{
    if (!strstr(m_szOut, "SHIMGVW.DLL"))
        return false;
    ReplaceNoCase(m_szOut, m_cbOut, "IMAGEVIEW_FULLSCREEN", "ImageView_Fullscreen");
    return true;
}

// False when there is no closing quote: the cut command in short form stands.
bool CCommandParser::TakeQuotedPath()
{
    const char* pClose = FindCharacter(m_szCommand + 1, '"');
    if (!pClose)
        return false;
    memset(m_szOut, 0, m_cbOut);
    size_t cch = static_cast<size_t>(pClose - m_szCommand) - 1;
    memcpy(m_szOut, m_szCommand + 1, cch < m_cbOut ? cch : m_cbOut - 1);
    Shorten();
    return true;
}

// Neither '%' nor a space is ever the trail byte of a double-byte character,
// so the byte scans here cannot land inside one.
bool CCommandParser::CutBeforeLastPercent()
{
    char* pPercent = strrchr(m_szOut, '%');
    if (!pPercent)
        return false;
    for (char* p = pPercent; p > m_szOut;) {
        --p;
        if (*p == ' ') {
            *p = '\0';
            return true;
        }
    }
    return false;
}

void CCommandParser::CutAtFirstSpace()
{
    if (char* p = FindCharacter(m_szOut, ' '))
        *p = '\0';
}

// An unquoted path with blanks ends above at its first blank, with its
// arguments still attached, or at a shorter prefix that happens to exist;
// started as it stands, the platform would try "C:\Program.exe" for
// "C:\Program Files\...". The command's longest existing prefix is taken
// instead. Out (a_cchOut characters before shortening) stays when it names an
// existing file and no longer prefix does.
bool CCommandParser::TakeExistingPrefix(size_t a_cchOut, bool a_bOutExists)
{
    size_t cch = vm::LongestExistingPrefix(m_szCommand);
    if (cch == 0 || (cch <= a_cchOut && a_bOutExists) || cch >= m_cbOut)
        return false;
    memcpy(m_szOut, m_szCommand, cch);
    m_szOut[cch] = '\0';
    return true;
}

// Where no prefix of the command names a file, the program is the one the
// process creation tries first: the quoted text, or the text up to the first
// blank, with ".exe" added to a name without an extension. Never a switch of
// the command ("/p"), which the text left before its last variable ends in.
// False, and out unchanged, when out names a file. A name that ".exe" would
// take past the buffer names nothing.
bool CCommandParser::TakeFirstTry(bool a_bOutExists)
{
    if (a_bOutExists)
        return false;
    if (m_szCommand[0] != '"') {
        // Neither a blank nor a tab is ever the trail byte of a double-byte
        // character.
        m_szOut[strcspn(m_szOut, " \t")] = '\0';
    }
    size_t cch = strlen(m_szOut);
    if (cch == 0 || *PathFindExtensionA(m_szOut) != '\0')
        return true;
    if (cch + 4 >= m_cbOut) {
        m_szOut[0] = '\0';
        return true;
    }
    memcpy(m_szOut + cch, ".exe", 5);
    return true;
}

} // namespace

void ParseCommandPath(const char* a_szCommand, char* a_szOut, size_t a_cbOut)
{
    if (a_cbOut == 0)
        return;
    CCommandParser(a_szCommand ? a_szCommand : "", a_szOut, a_cbOut).Run();
}
