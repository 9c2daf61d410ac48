#pragma once
// Starting a program as the shell would, and what every start needs around
// it: the variables of a command expanded, an argument quoted, a failure
// turned into the shell's code. Starting as the shell would: by its full path (left to itself the
// platform would try "C:\Program.exe" or the current directory first for an
// unquoted path with blanks), with a wide command line so that any file name
// reaches it as it is, no inherited handles, the caller's environment and an
// empty start-up record. One definition for the hook, the launcher and the
// Office upkeep.

#include "common/Handle.h"

#include <windows.h>

#include <string>

namespace vm {

// a_szDirectory: the program's working directory, or null for the caller's.
// False with the platform's error in GetLastError.
bool StartProgram(const std::wstring& a_strProgram, std::wstring a_strCommandLine, DWORD a_dwFlags,
                  const wchar_t* a_szDirectory, UniqueProcessInfo& a_process);

// The shell's SE_ERR_* code (32 or less, never 0) closest to a platform error.
int StartErrorCode(DWORD a_dwError);

// a_strText with every environment variable expanded. Registry commands name
// programs and modules through %SystemRoot% and the like; a variable left in
// place would be read relative to the current directory. False when the
// expanded text would pass the longest command line a process can be given.
bool ExpandEnvironment(const std::wstring& a_strText, std::wstring& a_strExpanded);
// The same for an ANSI text; a value the ANSI code page cannot hold shows as
// '?' and so names no file.
bool ExpandEnvironment(const std::string& a_strText, std::string& a_strExpanded);

// A text with a blank as one argument of a command line: quoted.
template <class String>
String AsOneArgument(const String& a_strText)
{
    using Char = typename String::value_type;
    if (a_strText.find(Char(' ')) == String::npos)
        return a_strText;
    return Char('"') + a_strText + Char('"');
}

} // namespace vm
