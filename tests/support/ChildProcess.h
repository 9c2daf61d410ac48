#pragma once
// The one way the tests start child processes.
//
// CToolChild runs a tool by full path, with its standard output and error
// read through pipes while it runs. The pipes are read until the child has
// ended and they are empty, not until they close: Wine starts its desktop
// process (explorer.exe /desktop) from the first process that needs a window
// station - shellexec, through COM - and that process keeps the child's
// standard handles open as long as the desktop lives.

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vmtest {

// How a child is started; the defaults are CreateProcess's plain start.
struct ChildOptions {
    DWORD m_dwFlags = 0;        // creation flags
    bool m_bInherit = false;    // the child gets this process's inheritable handles
    std::string m_strDir;       // its working directory; empty: ours
    HANDLE m_hOutput = nullptr; // its standard output and error, when given (they are inherited)
    HANDLE m_hError = nullptr;
    HANDLE m_hInput = nullptr;  // its standard input, when given (inherited)
};

// Starts a_strCommandLine, exactly as given; a_strExe is the program's full
// path, or empty when the command line's first word names the program. False
// when it could not be started, with the error left for GetLastError.
bool StartChild(const std::string& a_strExe, const std::string& a_strCommandLine, PROCESS_INFORMATION* a_pInfo,
                const ChildOptions& a_options = ChildOptions());
// The same with a wide command line, for names the ANSI code page cannot hold.
bool StartChild(const std::wstring& a_strExe, std::wstring a_strCommandLine, PROCESS_INFORMATION* a_pInfo,
                const ChildOptions& a_options = ChildOptions());

// What RunChild answers for a child that could not be started, or that had
// not ended in time (the exit code the platform gives a running process).
constexpr DWORD c_dwChildNotStarted = 0xDEADBEEF;
constexpr DWORD c_dwChildStillRunning = STILL_ACTIVE;

// Starts the child, waits up to a_dwMs for its end and gives its exit code.
DWORD RunChild(const std::string& a_strExe, const std::string& a_strCommandLine, DWORD a_dwMs);

// One argument quoted so that the C runtime's parser gives it back as it is.
std::string QuoteArgument(const std::string& a_strArg);

class CToolChild {
public:
    CToolChild() = default;
    // A child still running is ended: each test leaves no process behind.
    ~CToolChild();
    CToolChild(const CToolChild&) = delete;
    CToolChild& operator=(const CToolChild&) = delete;

    // a_strWideTail, when given, ends the command line as it stands: for a
    // name the ANSI code page cannot hold.
    bool Start(const std::string& a_strExe, const std::vector<std::string>& a_args,
               const std::wstring& a_strWideTail = std::wstring());
    // False when it has not ended within a_dwMs; else its output is complete.
    bool Wait(DWORD a_dwMs);
    // True as soon as the error output holds a_strText; false after a_dwMs.
    bool WaitForErrorText(const std::string& a_strText, DWORD a_dwMs);

    DWORD Pid() const { return m_pi.dwProcessId; }
    DWORD ExitCode() const;
    const std::string& CommandLine() const { return m_strCommand; }
    std::string Out() const;
    std::string Err() const;
    // Standard output split into lines, without their line ends.
    std::vector<std::string> OutLines() const;

private:
    void Pump();
    bool Drain(HANDLE a_hPipe, std::string* a_pstrText);
    void StopPump();

    PROCESS_INFORMATION m_pi{};
    std::string m_strCommand;
    HANDLE m_hOutRead = nullptr;
    HANDLE m_hErrRead = nullptr;
    std::thread m_pump;
    std::atomic<bool> m_bEnded{false};
    mutable std::mutex m_lock;
    std::string m_strOut;
    std::string m_strErr;
};

// What one finished run gave.
struct CToolRun {
    bool m_bEnded = false;
    DWORD m_dwExit = 0;
    DWORD m_dwPid = 0;
    std::string m_strCommand;
    std::string m_strErr;
    std::vector<std::string> m_lines;
};

// Starts the tool, waits up to a_dwMs for its end and collects its output.
CToolRun RunTool(const std::string& a_strExe, const std::vector<std::string>& a_args, DWORD a_dwMs = 60000,
                 const std::wstring& a_strWideTail = std::wstring());

std::vector<std::string> SplitLines(const std::string& a_strText);
// Lines for a failure message, one per line behind a bar.
std::string Joined(const std::vector<std::string>& a_lines);

} // namespace vmtest
