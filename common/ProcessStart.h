#pragma once
// Starting a program as the shell would: by its full path (left to itself the
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

} // namespace vm
