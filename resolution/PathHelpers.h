#pragma once
// Command-string parser and the small text operations on path buffers.

#include <cstddef>

// Reduces a registry command string to the path of its executable.
void ParseCommandPath(const char* a_szCommand, char* a_szOut, size_t a_cbOut);

bool ContainsNoCase(const char* a_szText, const char* a_szPattern);
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
