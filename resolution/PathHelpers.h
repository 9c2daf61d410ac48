#pragma once
// Command-string parser and the small text operations on path buffers. Texts
// are in the process's ANSI code page, which may be a double-byte one.

#include "common/AnsiText.h"

#include <cstddef>
#include <optional>
#include <string>

// Working copies of the case-blind search and replace.
constexpr size_t c_cbCompareCopy = 1040;
constexpr size_t c_cbReplaceResult = 520;

// Reduces a registry command string to the path of its executable. A command
// that does not fit the output buffer is refused: the output is left empty.
void ParseCommandPath(const char* a_szCommand, char* a_szOut, size_t a_cbOut);

using vm::FindCharacter;
using vm::NextCharacter;
// Upper-cases in place by the runtime's rules for the code page, one whole
// character at a time; the length in bytes stays.
void UpperCase(char* a_szText);

// Both searches compare upper-cased copies and match whole characters only.
bool ContainsNoCase(const char* a_szText, const char* a_szPattern);
// Replaces the first occurrence; the rest of the text comes back upper-cased.
// A result that would not fit the buffer (or the working copies) leaves the
// text as it was.
void ReplaceNoCase(char* a_szText, size_t a_cbText, const char* a_szPattern,
                   const char* a_szReplacement);
void CutAtLastSpace(char* a_szText);
void TrimTrailingSpaces(char* a_szText);
void StripQuotes(char* a_szText);

// Puts a_szName in place of the file-name part of the path. A result that
// would not fit the buffer leaves the buffer empty rather than naming a
// file that was never meant.
char* ReplaceFileName(char* a_szPath, size_t a_cbPath, const char* a_szName);

template <size_t N>
char* ReplaceFileName(char (&a_szPath)[N], const char* a_szName)
{
    return ReplaceFileName(a_szPath, N, a_szName);
}

namespace resolution {

// Long form of a path, or no value; every caller falls back to its input.
std::optional<std::string> GetLongFilePathName(const char* a_szPath);

// The path the platform opens for a file text it normalizes: trailing dots
// and blanks of the last name are dropped, and so is a "::$DATA" suffix,
// which names the file's own data; a full path is then made whole by
// GetFullPathNameW. No value for a text the platform takes as it stands.
std::optional<std::wstring> NormalizedFileText(const std::wstring& a_strText);

} // namespace resolution
