#pragma once
// What the tests of both builds side by side share: where the 32-bit build
// lies, running a program by its full path, and each bitness's regsvr32.

#include <windows.h>

#include <string>
#include <vector>

namespace vmtest {

// The 32-bit build's bin folder (VM_X86_BIN_DIR), as a Windows path.
std::string X86BinDir();

// Runs a program by full path to its end; its exit code (-1 not started,
// -2 not ended in time) and, when asked, its standard output.
DWORD RunProgram(const std::string& a_strExe, const std::vector<std::string>& a_args,
                 std::string* a_pOutput = nullptr);

// regsvr32 /s (or /u /s) of the given bitness, from its own system folder
// (system32 holds the 64-bit one, syswow64 the 32-bit one); its exit code.
DWORD Regsvr32(bool a_b32Bit, bool a_bRegister, const std::string& a_strModule);

// Copies the named files from a_strFrom into a_strTo; false when one fails.
bool CopyFiles(const std::string& a_strFrom, const std::string& a_strTo, const std::vector<std::string>& a_names);

// A fresh empty folder "scratch-<a_strName>" below the machine's 32-bit
// Program Files, where the launcher and the plug-in serve as an installed product;
// removed by the next call with the same name, or by RemoveTree.
std::string MakeProgramFilesDir(const std::string& a_strName);

} // namespace vmtest
