#pragma once
// What the launcher vormidmgr.exe answers with its exit code, and what the
// hook tells the shell for each answer. Both sides include this one table.

#include <windows.h>
#include <shellapi.h>

namespace vm {

// Every code but c_nExitStarted comes with a "[vormidmgr.exe] ..." text on
// the debugger output, and with nothing left running.
enum LauncherExit : int {
    c_nExitStarted = 0,          // the application runs with the plug-in inside
    c_nExitBadCommandLine = 1,   // the line is not in the launcher's one shape
    c_nExitNoApplication = 2,    // the application is not an existing file named by a full path
    c_nExitNoPlugin = 3,         // no plug-in of the launcher's own folder, or of the matching build's
    c_nExitStartFailed = 4,      // the application could not be started
    c_nExitInjectionFailed = 5,  // the plug-in did not load; the application was ended
    c_nExitBadDirectory = 6,     // the working directory is not an existing folder's full path
    c_nExitNoMatchingBuild = 7,  // the application is of the other bitness, whose launcher is missing
    c_nExitUntrustedProgram = 8, // the program may not receive the plug-in (it was ended unrun), or this
                                 // launcher is no file of the installed product
};

// The plug-in's load runs its attach code; one that hangs there must not
// hold the launcher forever.
constexpr DWORD c_dwPluginLoadTimeoutMs = 30000;
// How long the hook waits for the launcher's answer: its own load timeout
// and a margin for starting and checking the application.
constexpr DWORD c_dwLauncherVerdictTimeoutMs = c_dwPluginLoadTimeoutMs + 5000;

struct LauncherExitRow {
    DWORD m_dwExit;
    int m_nShellCode; // hInstApp
    const char* m_szReason;
};

constexpr LauncherExitRow c_launcherExits[] = {
    {c_nExitStarted, 44, "started with the plug-in"},
    {c_nExitBadCommandLine, SE_ERR_ACCESSDENIED, "command line refused"},
    {c_nExitNoApplication, SE_ERR_FNF, "application not found"},
    {c_nExitNoPlugin, SE_ERR_DLLNOTFOUND, "plug-in not found"},
    {c_nExitStartFailed, SE_ERR_ACCESSDENIED, "application could not be started"},
    {c_nExitInjectionFailed, SE_ERR_DLLNOTFOUND, "plug-in did not load"},
    {c_nExitBadDirectory, SE_ERR_PNF, "working directory is not a folder"},
    {c_nExitNoMatchingBuild, ERROR_BAD_FORMAT, "no build of the application's bitness"},
    {c_nExitUntrustedProgram, SE_ERR_ACCESSDENIED, "program may not receive the plug-in"},
};

// True for a code the launcher itself answers with; any other is a launcher
// that died (a crash, a DLL it needs missing) or was ended.
inline bool IsLauncherExit(DWORD a_dwExit)
{
    for (const LauncherExitRow& row : c_launcherExits)
        if (row.m_dwExit == a_dwExit)
            return true;
    return false;
}

// The row of a launcher's exit code; any code not in the table (a crash, an
// ended launcher) is answered as refused.
inline LauncherExitRow FindLauncherExit(DWORD a_dwExit)
{
    for (const LauncherExitRow& row : c_launcherExits)
        if (row.m_dwExit == a_dwExit)
            return row;
    return LauncherExitRow{a_dwExit, SE_ERR_ACCESSDENIED, "launcher ended abnormally"};
}

} // namespace vm
