#pragma once
// Reading the launcher's command line, as the hook writes it:
//   <launcher path> <application command>/D:<plug-in path>[/D:<working directory>]
// with no blank before either "/D:". The launcher believes only what the hook
// can have put there: the plug-in is a file of the launcher's own folder, the
// application and the directory are existing full paths. Nothing is looked up
// in the current directory.
//
// How the arguments are split. The plug-in and the directory come last, and
// neither can hold the mark (no file or folder name holds "/" or ":"), while
// the application command is request text that may hold anything. So the
// line is read from its right end:
//  1. The mark is exactly "/D:", as the hook writes it. "/d:" in lower case
//     is never a mark: it is text of the application command wherever it
//     stands (a plug-in or directory cannot hold it either).
//  2. The text after the last mark is the plug-in when it is one (below);
//     there is no directory, and the application command is everything
//     before that mark.
//  3. Otherwise, when the text between the last two marks is a plug-in, that
//     is the plug-in, the text after the last mark is the working directory
//     (which must then be an existing folder, named by a full path), and the
//     application command is everything before the second-last mark.
//  4. Otherwise there is no plug-in and nothing is started: an empty plug-in
//     argument is refused, as is any file outside the launcher's folder.
// Marks further left belong to the application command and reach the
// application unchanged. A plug-in is named by a full path (a drive letter,
// ":\", or a "\\server\share" path), is an existing file, not a folder, and
// lies in the launcher's own folder once both are in their long form.

#include <string>

namespace vmlaunch {

constexpr char c_szArgumentMark[] = "/D:";

// vormidmgr.exe's exit codes. Every code but c_nExitStarted comes with a
// "[vormidmgr.exe] ..." text on the debugger output, and with nothing left
// running.
enum ExitCode : int {
    c_nExitStarted = 0,         // the application runs with the plug-in inside
    c_nExitBadCommandLine = 1,  // no "/D:" after the launcher's own path
    c_nExitNoApplication = 2,   // the application is not an existing file named by a full path
    c_nExitNoPlugin = 3,        // no plug-in of the launcher's own folder (rules above), or of the matching build's
    c_nExitStartFailed = 4,     // the application could not be started
    c_nExitInjectionFailed = 5, // the plug-in did not load; the application was ended
    c_nExitBadDirectory = 6,    // the working directory is not an existing folder's full path
    c_nExitNoMatchingBuild = 7, // the application is of the other bitness, whose launcher is missing
};

struct LaunchRequest {
    std::string strApplicationPath; // full path of the program to start
    std::string strCommandLine;     // the command line the program receives
    std::string strPluginPath;      // full path of the plug-in, in the launcher's folder
    std::string strDirectory;       // full path; empty: the launcher's own current directory
    // The arguments as written, around the plug-in: what a hand-over to the
    // other build's launcher passes on unchanged.
    std::string strApplicationCommand; // the text before the plug-in's mark
    std::string strAfterPlugin;        // "/D:<directory>" as written, or empty
};

// The text after the launcher's own path. The hook does not quote that path,
// so it may hold blanks: a quoted first word, then a_strOwnPath as a prefix,
// then the longest blank-separated prefix naming an existing file (full paths
// only), then the first blank-separated word are tried in this order.
std::string SkipLauncherPath(const std::string& a_strCommandLine, const std::string& a_strOwnPath);

// The folder of an existing file in long form, up to and with its last
// backslash: the form in which ReadLaunchRequest compares a plug-in's folder
// with a_strOwnFolder. Empty when the file does not exist.
std::string GetFolderOf(const std::string& a_strPath);

// Splits and checks the arguments (the rules above). c_nExitStarted when the
// request may be started, otherwise the refusal's exit code, with the reason
// in a_strWhy.
int ReadLaunchRequest(const std::string& a_strArguments, const std::string& a_strOwnFolder,
                      LaunchRequest& a_request, std::string& a_strWhy);

// The executable an application command starts: the quoted first word, or
// the longest blank-separated prefix that names an existing file (an
// unquoted path may hold blanks). Empty when no existing file is named by a
// full path.
std::string FindApplicationPath(const std::string& a_strCommand);

// The command line the application receives: it begins with the program's
// path, quoted when that holds a blank or a tab (the hook passes a path
// without parameters unquoted); the rest passes unchanged. A command that
// already begins with a quote is kept as it is.
std::string QuoteApplicationPath(const std::string& a_strCommand, const std::string& a_strApplication);

bool IsFullPath(const std::string& a_strPath);
bool IsExistingFile(const std::string& a_strPath);

} // namespace vmlaunch
