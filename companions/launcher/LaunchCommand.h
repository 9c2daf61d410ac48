#pragma once
// Reading the launcher's command line, as the hook writes it:
//   <launcher path> <application command>/D:<plug-in path>[/D:<working directory>]
// with no blank before either "/D:".

#include <string>

namespace vmlaunch {

constexpr char c_szArgumentMark[] = "/D:";

struct LaunchRequest {
    std::string strApplicationCommand;
    std::string strPluginPath;     // empty: start without a plug-in
    std::string strDirectory;      // empty: the launcher's own current directory
};

// The text after the launcher's own path. The hook does not quote that path,
// so it may hold blanks: a quoted first word, then a_strOwnPath as a prefix,
// then the longest blank-separated prefix naming an existing file, then the
// first blank-separated word are tried in this order.
std::string SkipLauncherPath(const std::string& a_strCommandLine, const std::string& a_strOwnPath);

// Splits at the FIRST "/D:" (case-sensitive): the application command ends
// there; a second "/D:" separates the plug-in path from the directory, which
// runs to the end. Application commands never hold "/D:" in practice; one
// that did would be cut at it. False when there is no "/D:" at all.
bool SplitLaunchArguments(const std::string& a_strArguments, LaunchRequest& a_request);

// The executable an application command starts: the quoted first word, or
// the longest blank-separated prefix that names an existing file (an
// unquoted path may hold blanks). Empty when no existing file is named.
std::string FindApplicationPath(const std::string& a_strCommand);

bool IsExistingFile(const std::string& a_strPath);

} // namespace vmlaunch
