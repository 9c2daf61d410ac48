#pragma once
// The policy the hook decided by, handed to the launcher it starts, for the
// one case where the launcher cannot read the installed file itself: another
// program holds company.ccf open without sharing it. The hook then keeps its
// last good policy, and its launcher must decide by the same policy, not
// refuse for want of a file that the hook had no want of.
//
// What is handed over is something only code can make: an unnamed section
// (file mapping) holding the policy's bytes, read-only, given to the
// launcher as the only handle it inherits, in place of its standard input.
// The launcher's command line stays as it is. A file or pipe given as the
// standard input from a command prompt is not a section and cannot be
// mapped: it is never taken for a hand-over. The launcher takes the handle
// at once, closes it and clears its standard input, so that the application
// it starts inherits neither. A hand-over is used only while the installed
// file is held by another program; a missing or broken file is never
// replaced by one. docs/launcher-and-trust.md says what remains.

#include "common/Handle.h"

#include <windows.h>

#include <string>

namespace vm {

// The installed policy file a_szFileName where the cipher.dll loaded into
// this process reads it; empty when that cannot be named.
std::string PolicyPathOfLoadedCipher(const char* a_szFileName);

// True when a_szPath is there but another program holds it open without
// sharing it: a read fails with a sharing violation.
bool IsHeldOpenByAnother(const char* a_szPath);

// A read-only, inheritable, unnamed section holding a_pBytes; empty when
// one cannot be made.
UniqueNullHandle MakePolicySection(const char* a_pBytes, size_t a_cb);

// Starts a program as StartProgram does (common/ProcessStart.h), with
// a_hSection, when given, as its standard input and the only handle it
// inherits.
bool StartProgramWithPolicy(const std::wstring& a_strProgram, std::wstring a_strCommandLine, DWORD a_dwFlags,
                            const wchar_t* a_szDirectory, HANDLE a_hSection, UniqueProcessInfo& a_process);

// In the launcher, first of all: the bytes of a section handed over as the
// standard input, which is closed and cleared; false when the standard input
// is no such section (then it is left as it is).
bool TakeHandedOverPolicy(std::string& a_strBytes);

} // namespace vm
