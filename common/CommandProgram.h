#pragma once
// The program that a command of the machine's associations starts, read as
// the platform reads it when it starts the command: variables expanded with
// the machine's own values; a quoted program between its quotes; an unquoted
// one as the longest blank-separated prefix that names an existing file; a
// bare program name searched where the process creation searches it, never
// in the current directory. One definition for the hook and the tools.

#include <string>
#include <string_view>

namespace vm {

// A batch file (.bat, .cmd) is no program of its own: the process creation
// runs it in the command interpreter, so a plug-in loaded there protects
// nothing the batch file starts. Judged by the file name's extension, which
// is all the process creation goes by.
bool IsBatchProgram(std::string_view a_name);
bool IsBatchProgram(std::wstring_view a_name);
// "<a_strProgram> is a batch file: it runs in the command interpreter
// cmd.exe, where the plug-in protects nothing the batch file starts".
std::string DescribeBatchProgram(const std::string& a_strProgram);

struct CommandProgram {
    // The long full path of the existing program; empty when the command
    // names none.
    std::string m_strProgram;
    // The command's arguments other than the document's placeholders, as
    // written ("/p", "-jar", "/s /k pushd"): what a start of the program with
    // the document alone leaves out.
    std::string m_strArguments;
    // The command after the program as written, machine variables expanded,
    // placeholders and all (" -jar \"%1\""): what the program is started
    // with once the placeholders are filled.
    std::string m_strRest;
};

// a_bLongForm false leaves the program's path as the command and the search
// found it, for a caller that takes its long form itself (each long form is a
// walk of the path's folders).
CommandProgram FindCommandProgram(const std::string& a_strCommand, bool a_bLongForm = true);

// a_strText with the machine's variables expanded: the Windows folder and
// drive, the program and data folders, and the machine-wide environment of
// the registry. Never the user's own variables (HKCU\Environment can
// redefine windir); a variable the machine does not define stays as written.
std::string ExpandMachineVariables(const std::string& a_strText);

// The first variable of a_strText that the machine does not define, as
// written ("%LOCALAPPDATA%"); empty when there is none. Such a variable is the
// user's own (the profile's folders, or anything the user's environment
// says): a program named through it lies wherever the user points it.
std::string UndefinedVariableOf(const std::string& a_strText);

// An existing file named by its full path, with ".exe" added to a name
// without an extension as the process creation adds it; empty otherwise.
std::string ProgramAtPath(const std::string& a_strPath);

// A program named without a folder, where the process creation finds it: its
// App Paths entry, the system folder, the Windows folder, then the folders of
// PATH that are full paths. ".exe" is added to a name without an extension.
// Empty when none holds it.
std::string FindBareProgram(const std::string& a_strName);

// True when the default value of a_szSubKey, read through HKEY_CLASSES_ROOT,
// is the machine's: the user's own classes (HKCU\Software\Classes), which
// the platform's merged view prefers, hold none there. Only a command an
// administrator registered may hand its arguments to a program.
bool IsMachineClassesValue(const char* a_szSubKey);

// The text after a registered command's program with the shell's
// placeholders filled for a document, quoted or not, alone or inside a larger
// argument: %0, %1, %L, %V and %D (either letter case) become the document's
// full path, %W its folder; %*, %~ and %2 to %9, which the shell fills with
// the request's own parameters, become nothing, so no text of the request
// reaches the program as an argument of its own; %% is a percent sign; any
// other % stays as written. False when no placeholder takes the document, or
// the command wants what only the shell can give (%I, an item id list): such
// a command keeps the program and the document alone.
bool FillCommandPlaceholders(const std::string& a_strRest, const std::string& a_strDocument,
                             const std::string& a_strFolder, std::string& a_strFilled);
bool FillCommandPlaceholders(const std::wstring& a_strRest, const std::wstring& a_strDocument,
                             const std::wstring& a_strFolder, std::wstring& a_strFilled);

} // namespace vm
