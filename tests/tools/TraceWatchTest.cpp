// tracewatch.exe as a debug viewer: the texts of this process, of a second
// process and of shellexec's hooks arrive as "PID: TEXT" lines; --seconds
// ends it. No in-process capture may run here: a text it takes never reaches
// the channel.

#include "tests/support/ChildProcess.h"
#include "tests/support/TestPaths.h"
#include "tests/tools/TestHookIds.h"
#include "tests/tools/ToolsRegistration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using vmtest::CToolChild;
using vmtest::CToolRun;
using Lines = std::vector<std::string>;
using vmtest::Joined;

const char c_szListening[] = "tracewatch: listening";

std::string TraceWatchPath()
{
    return vmtest::BinDir() + "\\tracewatch.exe";
}

std::string PidLine(DWORD a_dwPid, const std::string& a_strText)
{
    return std::to_string(a_dwPid) + ": " + a_strText;
}

bool HasLine(const Lines& a_lines, const std::string& a_strLine)
{
    return std::find(a_lines.begin(), a_lines.end(), a_strLine) != a_lines.end();
}

// Lines of one process; Wine's own processes write to the channel too.
Lines LinesOf(const Lines& a_lines, DWORD a_dwPid)
{
    Lines own;
    std::string strPrefix = std::to_string(a_dwPid) + ": ";
    for (const std::string& strLine : a_lines)
        if (strLine.compare(0, strPrefix.size(), strPrefix) == 0)
            own.push_back(strLine);
    return own;
}

class TraceWatchTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vmtest::FileExists(TraceWatchPath())) << TraceWatchPath(); }

    // Starts a watcher for a_nSeconds and waits until it listens.
    void StartWatch(CToolChild& a_watch, int a_nSeconds)
    {
        ASSERT_TRUE(a_watch.Start(TraceWatchPath(), {"--seconds", std::to_string(a_nSeconds)}));
        ASSERT_TRUE(a_watch.WaitForErrorText(c_szListening, 10000)) << a_watch.Err();
    }
};

TEST_F(TraceWatchTest, TextsOfTwoProcessesArriveAsPidLinesUntilTheTimeIsUp)
{
    CToolChild watch;
    DWORD dwStart = GetTickCount();
    StartWatch(watch, 3);
    OutputDebugStringA("tools test: one\n");
    OutputDebugStringA("tools test: two");
    OutputDebugStringA("tools test: a\nb\r\n");
    CToolRun probe = vmtest::RunTool(vmtest::TestDir() + "\\vmprobe.exe", {"debug"});
    ASSERT_TRUE(probe.m_bEnded);
    EXPECT_EQ(0u, probe.m_dwExit);

    ASSERT_TRUE(watch.Wait(15000)) << "--seconds 3 did not end it";
    DWORD dwElapsed = GetTickCount() - dwStart;
    EXPECT_GE(dwElapsed, 2900u);
    EXPECT_EQ(0u, watch.ExitCode());

    Lines lines = watch.OutLines();
    DWORD dwOwnPid = GetCurrentProcessId();
    Lines expectedOwn = {PidLine(dwOwnPid, "tools test: one\\n"), PidLine(dwOwnPid, "tools test: two"),
                         PidLine(dwOwnPid, "tools test: a\\nb\\r\\n")};
    EXPECT_EQ(expectedOwn, LinesOf(lines, dwOwnPid)) << Joined(lines);
    Lines expectedProbe = {PidLine(probe.m_dwPid, "probe: one\\n"), PidLine(probe.m_dwPid, "probe: two")};
    EXPECT_EQ(expectedProbe, LinesOf(lines, probe.m_dwPid)) << Joined(lines);
}

TEST_F(TraceWatchTest, ALongTextStaysWithinTheBufferOnOneLine)
{
    CToolChild watch;
    StartWatch(watch, 2);
    std::string strLong(5000, 'x');
    OutputDebugStringA(strLong.c_str());
    OutputDebugStringA("tools test: after");
    ASSERT_TRUE(watch.Wait(15000));

    Lines own = LinesOf(watch.OutLines(), GetCurrentProcessId());
    ASSERT_EQ(2u, own.size()) << Joined(own);
    std::string strPrefix = PidLine(GetCurrentProcessId(), "");
    std::string strText = own[0].substr(strPrefix.size());
    // The writer cuts a text to the 4096-byte buffer less the process id and
    // the terminating zero.
    EXPECT_LE(strText.size(), 4091u);
    EXPECT_GE(strText.size(), 4000u);
    EXPECT_EQ(std::string::npos, strText.find_first_not_of('x'));
    EXPECT_EQ(PidLine(GetCurrentProcessId(), "tools test: after"), own[1]);
}

TEST_F(TraceWatchTest, ShellexecLeavesHookTextsToTheChannelUnlessTracing)
{
    vmtest::CClassRegistration hookA(TOOLS_TESTHOOK_A, vmtest::TestDir() + "\\tools_testhook.dll");
    ASSERT_TRUE(hookA.Ok());
    CToolChild watch;
    StartWatch(watch, 3);
    std::string strShellExec = vmtest::BinDir() + "\\shellexec.exe";
    CToolRun plain = vmtest::RunTool(strShellExec, {"--clsid", TOOLS_TESTHOOK_A, "--no-fallback", "x.txt"});
    CToolRun traced =
        vmtest::RunTool(strShellExec, {"--clsid", TOOLS_TESTHOOK_A, "--trace", "--no-fallback", "x.txt"});
    ASSERT_TRUE(watch.Wait(15000));
    Lines lines = watch.OutLines();

    // Without --trace the hook's texts reach the viewer, under shellexec's id.
    EXPECT_TRUE(HasLine(lines, PidLine(plain.m_dwPid, "testhook A: start\\n"))) << Joined(lines);
    EXPECT_EQ(1u, plain.m_dwExit);
    EXPECT_EQ(Lines({"hook " TOOLS_TESTHOOK_A " -> S_FALSE", "hInstApp=0", "lpFile=x.txt",
                     "verdict: handed back to Windows"}),
              plain.m_lines);
    // With --trace shellexec took them all during the request.
    for (const std::string& strLine : LinesOf(lines, traced.m_dwPid))
        EXPECT_EQ(std::string::npos, strLine.find("testhook")) << strLine;
    EXPECT_TRUE(HasLine(traced.m_lines, "debug: testhook A: start\\n")) << Joined(traced.m_lines);
}

TEST_F(TraceWatchTest, BadArgumentsExit2AndHelpExits0)
{
    const std::vector<std::string> rows[] = {
        {"--seconds"},              // no value
        {"--seconds", "x"},         // not a number
        {"--seconds", "-1"},        // signed
        {"--seconds", "1000001"},   // beyond the limit
        {"--seconds", "1", "--seconds", "2"}, // twice
        {"--bogus"},                // unknown option
        {"extra"},                  // no positional argument
    };
    for (const std::vector<std::string>& args : rows) {
        CToolRun run = vmtest::RunTool(TraceWatchPath(), args, 15000);
        SCOPED_TRACE(run.m_strCommand);
        ASSERT_TRUE(run.m_bEnded);
        EXPECT_EQ(2u, run.m_dwExit);
        EXPECT_EQ(Lines{}, run.m_lines);
        EXPECT_EQ(0u, run.m_strErr.find("tracewatch: ")) << run.m_strErr;
    }
    CToolRun help = vmtest::RunTool(TraceWatchPath(), {"--help"}, 15000);
    EXPECT_EQ(0u, help.m_dwExit);
    ASSERT_FALSE(help.m_lines.empty());
    EXPECT_EQ("usage: tracewatch [--seconds N]", help.m_lines[0]);
    // --seconds 0 ends at once
    CToolRun zero = vmtest::RunTool(TraceWatchPath(), {"--seconds", "0"}, 15000);
    EXPECT_TRUE(zero.m_bEnded);
    EXPECT_EQ(0u, zero.m_dwExit);
}

} // namespace
