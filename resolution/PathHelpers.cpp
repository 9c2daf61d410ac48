#include "resolution/PathHelpers.h"

#include "common/FileIdentity.h"
#include "common/PathNameCache.h"
#include "trace/Trace.h"

#include <windows.h>
#include <shlwapi.h>

#include <mbstring.h>

#include <cstring>

namespace {

constexpr size_t c_cbLongPath = 1040;

using CompareCopy = char[c_cbCompareCopy];

// Upper-cased copy for a case-blind comparison; false when the text does not
// fit.
bool UpperCopy(CompareCopy& a_szCopy, const char* a_szText)
{
    size_t cch = strlen(a_szText);
    if (cch >= sizeof(a_szCopy))
        return false;
    memcpy(a_szCopy, a_szText, cch + 1);
    UpperCase(a_szCopy);
    return true;
}

// First occurrence that starts on a character boundary: a pattern starting
// with a letter or a backslash must not match the trail byte of a
// double-byte character.
const char* FindCharacterWise(const char* a_szText, const char* a_szPattern)
{
    size_t cchPattern = strlen(a_szPattern);
    for (const char* p = a_szText; *p; p = NextCharacter(p)) {
        if (strncmp(p, a_szPattern, cchPattern) == 0)
            return p;
    }
    return cchPattern == 0 ? a_szText : nullptr;
}

} // namespace

// Single bytes: A to Z only, as the runtime does it in the "C" locale (a
// single-byte code page's accented letters stay). A double-byte character
// goes whole through the runtime's character mapping, which knows the
// full-width letters; a result of another width is not taken, so that the
// text keeps its length.
void UpperCase(char* a_szText)
{
    for (char* p = a_szText; *p;) {
        char* pNext = p + (NextCharacter(p) - p);
        if (pNext - p == 1) {
            if (*p >= 'a' && *p <= 'z')
                *p = static_cast<char>(*p - 'a' + 'A');
        } else {
            unsigned uChar = static_cast<unsigned>(static_cast<BYTE>(p[0])) << 8 | static_cast<BYTE>(p[1]);
            unsigned uUpper = _mbctoupper(uChar);
            if (uUpper > 0xFF && uUpper <= 0xFFFF && (uUpper & 0xFF) != 0) {
                p[0] = static_cast<char>(uUpper >> 8);
                p[1] = static_cast<char>(uUpper & 0xFF);
            }
        }
        p = pNext;
    }
}

bool ContainsNoCase(const char* a_szText, const char* a_szPattern)
{
    CompareCopy szText, szPattern;
    if (!UpperCopy(szText, a_szText) || !UpperCopy(szPattern, a_szPattern))
        return false;
    return FindCharacterWise(szText, szPattern) != nullptr;
}

void ReplaceNoCase(char* a_szText, size_t a_cbText, const char* a_szPattern,
                   const char* a_szReplacement)
{
    CompareCopy szText, szPattern;
    if (!UpperCopy(szText, a_szText) || !UpperCopy(szPattern, a_szPattern))
        return;
    TraceAlways("szExe[%s], szCompare[%s]", szText, szPattern);

    const char* pFound = FindCharacterWise(szText, szPattern);
    if (!pFound) {
        TraceAlways("strstr is null!");
        return;
    }
    char szResult[c_cbReplaceResult] = {};
    int cch = snprintf(szResult, sizeof(szResult), "%.*s%s%s", static_cast<int>(pFound - szText),
                       szText, a_szReplacement, pFound + strlen(szPattern));
    if (cch < 0 || static_cast<size_t>(cch) >= sizeof(szResult) || static_cast<size_t>(cch) >= a_cbText)
        return; // a cut result would name another file
    memcpy(a_szText, szResult, static_cast<size_t>(cch) + 1);
}

// A space is never a trail byte of a double-byte character, so the byte
// scans below cannot split one.
void CutAtLastSpace(char* a_szText)
{
    for (size_t i = strlen(a_szText); i > 1; --i) {
        if (a_szText[i - 1] == ' ') {
            a_szText[i - 1] = '\0';
            return;
        }
    }
}

void TrimTrailingSpaces(char* a_szText)
{
    size_t cch = strlen(a_szText);
    while (cch > 0 && a_szText[cch - 1] == ' ')
        --cch;
    a_szText[cch] = '\0';
}

// The last character may be a double-byte one: it goes as a whole.
void StripQuotes(char* a_szText)
{
    if (a_szText[0] != '"')
        return;
    char* pLast = a_szText;
    size_t cChars = 0;
    for (char* p = a_szText; *p; p += NextCharacter(p) - p) {
        pLast = p;
        ++cChars;
    }
    if (cChars < 3) {
        a_szText[0] = '\0';
        return;
    }
    size_t cbInner = static_cast<size_t>(pLast - a_szText) - 1;
    memmove(a_szText, a_szText + 1, cbInner);
    a_szText[cbInner] = '\0';
}

char* ReplaceFileName(char* a_szPath, size_t a_cbPath, const char* a_szName)
{
    char* pFileName = PathFindFileNameA(a_szPath);
    size_t cchDir = static_cast<size_t>(pFileName - a_szPath);
    size_t cchName = strlen(a_szName);
    if (cchDir + cchName + 1 > a_cbPath) {
        a_szPath[0] = '\0';
        return a_szPath;
    }
    memcpy(pFileName, a_szName, cchName + 1);
    return a_szPath;
}

std::optional<std::string> resolution::GetLongFilePathName(const char* a_szPath)
{
    const char* szPath = a_szPath ? a_szPath : "";
    char szLong[c_cbLongPath] = {};
    DWORD cch = CachedLongPathName(szPath, szLong, sizeof(szLong));
    if (cch == 0) {
        DWORD dwError = GetLastError();
        TraceSwitchable("[ERROR] GetLongFilePathName(%s) -> GetLastError(%d)", szPath,
                        static_cast<int>(dwError));
        return std::nullopt;
    }
    if (cch >= sizeof(szLong)) {
        TraceSwitchable("[ERROR] GetLongFilePathName(%s) -> buffer is too small to contain the path",
                        szPath);
        return std::nullopt;
    }
    TraceSwitchable("[TRACE] GetLongFilePathName -> [%s]", szLong);
    return std::string(szLong);
}

namespace {

constexpr wchar_t c_szDataStream[] = L"::$DATA";
constexpr size_t c_cchDataStream = sizeof(c_szDataStream) / sizeof(wchar_t) - 1;
// GetFullPathNameW answers up to the platform's longest path.
constexpr DWORD c_cchFullPathMax = 32768;

bool EndsWithDataStream(const std::wstring& a_strText)
{
    return a_strText.size() > c_cchDataStream &&
           lstrcmpiW(a_strText.c_str() + a_strText.size() - c_cchDataStream, c_szDataStream) == 0;
}

// The last name ends in a dot or a blank, and is not "." or "..", which
// name folders.
bool EndsWithDotOrBlank(const std::wstring& a_strText)
{
    if (a_strText.empty() || (a_strText.back() != L'.' && a_strText.back() != L' '))
        return false;
    size_t iName = a_strText.find_last_of(L"\\/:");
    std::wstring strName = a_strText.substr(iName == std::wstring::npos ? 0 : iName + 1);
    return strName != L"." && strName != L"..";
}

std::wstring FullPathName(const std::wstring& a_strText)
{
    DWORD cch = GetFullPathNameW(a_strText.c_str(), 0, nullptr, nullptr);
    if (cch == 0 || cch > c_cchFullPathMax)
        return std::wstring();
    std::wstring strFull(cch, L'\0');
    DWORD cchGot = GetFullPathNameW(a_strText.c_str(), cch, &strFull[0], nullptr);
    if (cchGot == 0 || cchGot >= cch)
        return std::wstring();
    strFull.resize(cchGot);
    return strFull;
}

} // namespace

std::optional<std::wstring> resolution::NormalizedFileText(const std::wstring& a_strText)
{
    if (!EndsWithDataStream(a_strText) && !EndsWithDotOrBlank(a_strText))
        return std::nullopt;
    std::wstring strText = a_strText;
    while (EndsWithDataStream(strText) || EndsWithDotOrBlank(strText)) {
        if (EndsWithDataStream(strText))
            strText.resize(strText.size() - c_cchDataStream);
        else
            strText.pop_back();
    }
    // A relative text stays relative (the shell reads it against the
    // request's folder), and a URL stays a URL: only a full path is made
    // whole by the platform.
    if (!vm::IsFullPath(strText))
        return strText.empty() ? std::nullopt : std::optional<std::wstring>(strText);
    strText = FullPathName(strText);
    if (strText.empty())
        return std::nullopt;
    return strText;
}
