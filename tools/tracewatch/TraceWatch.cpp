// tracewatch: prints the debugger output of every process of the session, as
// a debug viewer does, so that scripts can read the hook's trace live.
//
// The channel: a writer takes "DBWinMutex", waits for "DBWIN_BUFFER_READY",
// puts its process id and text into the 4096-byte mapping "DBWIN_BUFFER" and
// sets "DBWIN_DATA_READY". A writer waits for us, so the text is copied out
// and the buffer handed back before anything is printed.

#include "common/Handle.h"
#include "tools/toolsupport/ToolText.h"
#include "tools/toolsupport/ToolUsage.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr DWORD c_cbBuffer = 4096;
constexpr DWORD c_cchMaxText = c_cbBuffer - sizeof(DWORD);
// Long enough for any script, short enough that seconds become milliseconds
// in a DWORD.
constexpr unsigned long c_uMaxSeconds = 1000000;

enum ExitCode { c_nExitDone = 0, c_nExitFailed = 1 };

const char c_szUsage[] =
    "usage: tracewatch [--seconds N]\n"
    "       tracewatch --help | --version\n"
    "\n"
    "Prints the debugger output (OutputDebugString) of every process of the\n"
    "session, one text per line as PID: TEXT, the process id in decimal and a\n"
    "line feed inside a text shown as \\n (a carriage return as \\r). Each line is\n"
    "flushed at once. Texts that a debugger or an in-process capture takes never\n"
    "reach the channel. When another listener runs, the two share the texts.\n"
    "\n"
    "  --seconds N  ends after N seconds; without it, runs until stopped\n"
    "\n"
    "It says \"tracewatch: listening\" on stderr once it listens.\n"
    "Exit codes: 0 done, 1 the channel could not be opened, 2 bad arguments.\n";

class CMappedView final {
public:
    explicit CMappedView(const void* a_pView) : m_pView(a_pView) {}
    ~CMappedView()
    {
        if (m_pView)
            UnmapViewOfFile(m_pView);
    }
    CMappedView(const CMappedView&) = delete;
    CMappedView& operator=(const CMappedView&) = delete;
    const char* get() const { return static_cast<const char*>(m_pView); }

private:
    const void* m_pView;
};

struct CWatchOptions : vmtool::CCommonOptions {
    bool m_bTimed = false;
    unsigned long m_uSeconds = 0;
};

bool ParseArguments(int a_argc, char** a_argv, CWatchOptions& a_options, std::string& a_strError)
{
    for (int i = 1; i < a_argc; ++i) {
        std::string strArg = a_argv[i];
        if (strArg == "--help") {
            a_options.m_bHelp = true;
        } else if (strArg == "--version") {
            a_options.m_bVersion = true;
        } else if (strArg == "--seconds") {
            if (a_options.m_bTimed) {
                a_strError = "--seconds given twice";
                return false;
            }
            if (i + 1 >= a_argc || !vmtool::ParseDecimal(a_argv[i + 1], c_uMaxSeconds, a_options.m_uSeconds)) {
                a_strError = "--seconds wants a whole number from 0 to " + std::to_string(c_uMaxSeconds);
                return false;
            }
            a_options.m_bTimed = true;
            ++i;
        } else {
            a_strError = "unknown argument '" + strArg + "'";
            return false;
        }
    }
    return true;
}

int Failed(const char* a_szWhat)
{
    fprintf(stderr, "tracewatch: %s failed: %s\n", a_szWhat, vmtool::DescribeError(GetLastError()).c_str());
    return c_nExitFailed;
}

void PrintText(DWORD a_dwPid, const char* a_pText, size_t a_cch)
{
    std::string strLine = std::to_string(a_dwPid) + ": " + vmtool::EscapeLineBreaks(a_pText, a_cch) + "\n";
    fwrite(strLine.data(), 1, strLine.size(), stdout);
    fflush(stdout);
}

int Watch(const CWatchOptions& a_options)
{
    // Created or, when another listener runs, opened as they are. The
    // mapping comes last: a writer that finds it finds the events too.
    vm::UniqueNullHandle hBufferReady(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    if (!hBufferReady)
        return Failed("CreateEvent DBWIN_BUFFER_READY");
    vm::UniqueNullHandle hDataReady(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    if (!hDataReady)
        return Failed("CreateEvent DBWIN_DATA_READY");
    vm::UniqueNullHandle hMapping(
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, c_cbBuffer, "DBWIN_BUFFER"));
    if (!hMapping)
        return Failed("CreateFileMapping DBWIN_BUFFER");
    CMappedView view(MapViewOfFile(hMapping.get(), FILE_MAP_READ, 0, 0, c_cbBuffer));
    if (!view.get())
        return Failed("MapViewOfFile DBWIN_BUFFER");

    fputs("tracewatch: listening\n", stderr);
    fflush(stderr);

    ULONGLONG ullEnd = GetTickCount64() + static_cast<ULONGLONG>(a_options.m_uSeconds) * 1000;
    char szText[c_cchMaxText];
    SetEvent(hBufferReady.get());
    for (;;) {
        DWORD dwWait = INFINITE;
        if (a_options.m_bTimed) {
            ULONGLONG ullNow = GetTickCount64();
            if (ullNow >= ullEnd)
                break;
            dwWait = static_cast<DWORD>(ullEnd - ullNow);
        }
        DWORD dwResult = WaitForSingleObject(hDataReady.get(), dwWait);
        if (dwResult == WAIT_TIMEOUT)
            break;
        if (dwResult != WAIT_OBJECT_0)
            return Failed("WaitForSingleObject DBWIN_DATA_READY");
        DWORD dwPid;
        memcpy(&dwPid, view.get(), sizeof(dwPid));
        // A writer that left out the terminating zero is cut at the buffer's end.
        size_t cch = strnlen(view.get() + sizeof(DWORD), c_cchMaxText);
        memcpy(szText, view.get() + sizeof(DWORD), cch);
        SetEvent(hBufferReady.get());
        PrintText(dwPid, szText, cch);
    }
    return c_nExitDone;
}

} // namespace

int main(int a_argc, char** a_argv)
{
    vmtool::UseBinaryStdout();
    CWatchOptions options;
    std::string strError;
    bool bParsed = ParseArguments(a_argc, a_argv, options, strError);
    int nExit = vmtool::AnswerCommonOptions({"tracewatch", c_szUsage}, bParsed, strError, options);
    return nExit >= 0 ? nExit : Watch(options);
}
