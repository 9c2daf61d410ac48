#pragma once
// What the platform says about a file itself, whatever text named it: its
// final path and its identity. Trust decisions are made on these, never on
// the text: "..", 8.3 names, letter case, trailing dots and blanks, "\\?\"
// and UNC forms, junctions and symbolic links are all resolved by the
// platform when the file is opened.

#include <string>
#include <string_view>

namespace vm {

// The final path of an existing file or folder, in its plain DOS form
// ("C:\dir\name", "\\server\share\name"), without the "\\?\" prefix the
// platform puts before it. False when it cannot be opened, or when the final
// path names a stream ("name:stream"): no program or folder we trust is one.
bool GetFinalPath(const std::wstring& a_strPath, std::wstring& a_strFinal);
// The same for a file or folder already open (any access).
bool GetFinalPathOf(void* a_hFile, std::wstring& a_strFinal);

// True when both texts name one file: the same volume and the same file
// index. False when either cannot be opened.
bool IsSameFile(const std::wstring& a_strFirst, const std::wstring& a_strSecond);
bool IsSameFile(const std::string& a_strFirst, const std::string& a_strSecond);
// The same for a file already open (any access) and a path.
bool IsSameFile(void* a_hFile, const std::wstring& a_strPath);

// True when a_strPath lies below a_strFolder, both final paths: the folder is
// a prefix, ignoring letter case, that ends at a backslash of the path.
bool IsBelowFolder(const std::wstring& a_strPath, const std::wstring& a_strFolder);

// A full path, as every start and load of the product requires: "X:\..." or
// "\\server\share...". Not the device forms "\\?\" and "\\.\", which skip
// the platform's own reading of a path, and not "X:name" or "\name", which
// depend on a current directory.
bool IsFullPath(const char* a_szPath);
bool IsFullPath(const std::string& a_strPath);
bool IsFullPath(const std::wstring& a_strPath);

// A blank that separates words of a command line: a space or a tab. Neither
// is ever the second byte of a double-byte character.
inline bool IsBlank(char a_ch)
{
    return a_ch == ' ' || a_ch == '\t';
}
inline bool IsBlank(wchar_t a_ch)
{
    return a_ch == L' ' || a_ch == L'\t';
}

// An existing file (not a folder), by its attributes.
bool IsExistingFile(const char* a_szPath);
bool IsExistingFile(const std::string& a_strPath);
bool IsExistingFile(const std::wstring& a_strPath);

// The length of the longest prefix of a_text that ends before a blank (or at
// the text's end), is a full path shorter than MAX_PATH and names an existing
// file; 0 when none does. This is how an unquoted command with blanks is
// read: prefixes are tried longest first, so the intended program wins over
// one planted at a shorter prefix ("C:\Program.exe" for "C:\Program Files\...").
// A double quote ends the text, since no path holds one.
size_t LongestExistingPrefix(std::string_view a_text);
size_t LongestExistingPrefix(std::wstring_view a_text);

// An existing folder (not a file), by its attributes.
bool IsExistingFolder(const std::wstring& a_strPath);
bool IsExistingFolder(const std::string& a_strPath);

// The long form of a path (8.3 names expanded); the path as it stands when
// it names nothing that exists.
std::wstring GetLongPath(const std::wstring& a_strPath);

// The text in the process's ANSI code page as wide text; empty for an empty
// or unconvertible text.
std::wstring WideFromAnsi(const std::string& a_strText);
// The wide text in the ANSI code page; false when a character has no exact
// ANSI form (it would be replaced, and could then name another file), or is
// half of a surrogate pair.
bool AnsiFromWide(const std::wstring& a_strText, std::string& a_strAnsi);
// The wide text as the ANSI code page can show it, with '?' for what it
// cannot hold: for traces and messages only, never to open a file by.
std::string AnsiRendering(const std::wstring& a_strText);
// True when an ANSI program would read the text with a double quote, a blank
// or the launcher's "/D:" mark that the text itself does not hold: the
// platform makes an ANSI program's command line with best fit, which turns
// full-width quotes, slashes and colons into their ASCII look-alikes.
bool GainsCommandLineMarks(const std::wstring& a_strText);

// The name the registry itself gives an open key ("\REGISTRY\USER\..."),
// whatever root, path, view or link opened it: two handles that answer the
// same name reach one key. False when the platform does not say.
bool GetKeyName(void* a_hKey, std::wstring& a_strName);

} // namespace vm
