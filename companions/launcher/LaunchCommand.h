#pragma once
// Reading the launcher's command line, as the hook writes it:
//   <launcher path> <application command>/D:<plug-in path>[/D:<working directory>]
// with no blank before either "/D:". The launcher believes only what the hook
// can have put there: the plug-in is a file of the launcher's own folder, the
// application and the directory are existing full paths. Nothing is looked up
// in the current directory.
//
// The line has one shape, so that no argument can take another's place. The
// hook refuses any request text holding the mark "/D:", so its lines hold
// exactly one mark (no working directory) or two (then the text after the
// second is the working directory):
//  - a line with no mark, or with more than two, is refused;
//  - the text after the first mark is the plug-in: a file of the launcher's
//    own folder, named by a full path (a drive letter, ":\", or a
//    "\\server\share" path), once both are in their long form;
//  - the text after a second mark is the working directory: an existing
//    folder named by a full path. A file there is refused, never read as a
//    plug-in;
//  - the application command is everything before the first mark.
// The mark is exactly "/D:"; "/d:" in lower case is text like any other.
// The line is read as wide text, so that any file name reaches the
// application as it is.

#include "common/FileIdentity.h"
#include "common/LauncherExit.h"

#include <string>

namespace vmlaunch {

constexpr wchar_t c_szArgumentMark[] = L"/D:";

// vormidmgr.exe's exit codes, shared with the hook.
using namespace vm;

struct LaunchRequest {
    std::wstring strApplicationPath; // full path of the program to start
    std::wstring strCommandLine;     // the command line the program receives
    std::wstring strPluginPath;      // full path of the plug-in, in the launcher's folder
    std::wstring strDirectory;       // full path; empty: the launcher's own current directory
    // The arguments as written, around the plug-in: what a hand-over to the
    // other build's launcher passes on unchanged.
    std::wstring strApplicationCommand; // the text before the plug-in's mark
    std::wstring strAfterPlugin;        // "/D:<directory>" as written, or empty
};

// The text after the launcher's own path. The hook does not quote that path,
// so it may hold blanks: a quoted first word, then a_strOwnPath as a prefix,
// then the longest blank-separated prefix naming an existing file (full paths
// only), then the first blank-separated word are tried in this order.
std::wstring SkipLauncherPath(const std::wstring& a_strCommandLine, const std::wstring& a_strOwnPath);

// The folder of an existing file in long form, up to and with its last
// backslash: the form in which ReadLaunchRequest compares a plug-in's folder
// with a_strOwnFolder. Empty when the file does not exist.
std::wstring GetFolderOf(const std::wstring& a_strPath);

// Splits and checks the arguments (the rules above). c_nExitStarted when the
// request may be started, otherwise the refusal's exit code, with the reason
// in a_strWhy.
int ReadLaunchRequest(const std::wstring& a_strArguments, const std::wstring& a_strOwnFolder,
                      LaunchRequest& a_request, std::wstring& a_strWhy);

// The executable an application command starts: the quoted first word, or
// the longest blank-separated prefix that names an existing file (an
// unquoted path may hold blanks). Empty when no existing file is named by a
// full path.
std::wstring FindApplicationPath(const std::wstring& a_strCommand);

// The document of an application command, for the event of a refusal: the
// hook writes a document's command as the unquoted program, a blank and the
// document in double quotes, and a program's own request with the program
// quoted. a_strApplication (which may be empty) for any other command.
std::wstring DocumentOfCommand(const std::wstring& a_strCommand, const std::wstring& a_strApplication);

// The command line the application receives: it begins with the program's
// path, quoted when that holds a blank or a tab (the hook passes a path
// without parameters unquoted); the rest passes unchanged. A command that
// already begins with a quote is kept as it is.
std::wstring QuoteApplicationPath(const std::wstring& a_strCommand, const std::wstring& a_strApplication);

} // namespace vmlaunch
