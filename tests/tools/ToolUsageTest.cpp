// What every tool answers alike, started as administrators start them from
// build/bin: --help and --version on standard output with exit 0; bad use
// as the problem and the usage on standard error with exit 2, and nothing
// on standard output.

#include "tests/support/ChildProcess.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

const char* const c_szTools[] = {"shellexec", "tracewatch", "ciphertool", "vmcheck", "addinhost"};

vmtest::CToolRun RunTool(const std::string& a_strTool, const Args& a_args)
{
    vmtest::CToolRun run = vmtest::RunTool(vmtest::BinDir() + "\\" + a_strTool + ".exe", a_args, 30000);
    EXPECT_TRUE(run.m_bEnded) << run.m_strCommand;
    return run;
}

void ExpectBadUse(const std::string& a_strTool, const Args& a_args, const std::string& a_strProblem)
{
    vmtest::CToolRun run = RunTool(a_strTool, a_args);
    SCOPED_TRACE(run.m_strCommand + "\n" + run.m_strErr);
    EXPECT_EQ(2u, run.m_dwExit);
    EXPECT_EQ(Lines{}, run.m_lines);
    EXPECT_EQ(0u, run.m_strErr.find(a_strTool + ": ")) << "the tool names itself first";
    EXPECT_NE(std::string::npos, run.m_strErr.find(a_strProblem));
    EXPECT_NE(std::string::npos, run.m_strErr.find("usage: " + a_strTool)) << "the usage follows";
}

TEST(ToolUsageTest, EveryToolAnswersHelpVersionAndAnUnknownOptionAlike)
{
    for (const std::string strTool : c_szTools) {
        vmtest::CToolRun help = RunTool(strTool, {"--help"});
        EXPECT_EQ(0u, help.m_dwExit) << help.m_strCommand;
        ASSERT_FALSE(help.m_lines.empty()) << help.m_strCommand;
        EXPECT_EQ(0u, help.m_lines[0].find("usage: " + strTool)) << help.m_lines[0];

        vmtest::CToolRun version = RunTool(strTool, {"--version"});
        EXPECT_EQ(0u, version.m_dwExit) << version.m_strCommand;
        EXPECT_EQ(Lines{strTool + " " VM_EXPECTED_VERSION}, version.m_lines) << version.m_strCommand;

        ExpectBadUse(strTool, {"--bogus"}, "--bogus");
    }
}

// The launcher is started by the hook, but answers an administrator who asks.
TEST(ToolUsageTest, TheLauncherAnswersHelpAndVersion)
{
    vmtest::CToolRun help = RunTool("vormidmgr", {"--help"});
    EXPECT_EQ(0u, help.m_dwExit) << help.m_strCommand;
    ASSERT_FALSE(help.m_lines.empty()) << help.m_strCommand;
    EXPECT_EQ(0u, help.m_lines[0].find("usage: vormidmgr <application command>/D:<plug-in path>")) << help.m_lines[0];
    EXPECT_NE(std::find(help.m_lines.begin(), help.m_lines.end(),
                        "  8  program may not receive the plug-in (hInstApp 5)"),
              help.m_lines.end())
        << "the exit codes are listed";
    vmtest::CToolRun version = RunTool("vormidmgr", {"--version"});
    EXPECT_EQ(0u, version.m_dwExit) << version.m_strCommand;
    EXPECT_EQ(Lines{"vormidmgr " VM_EXPECTED_VERSION}, version.m_lines) << version.m_strCommand;
}

TEST(ToolUsageTest, AMissingArgumentOrAnUnknownApplicationIsBadUse)
{
    const struct {
        const char* m_szTool;
        Args m_args;
        const char* m_szProblem;
    } rows[] = {
        {"shellexec", {}, "FILE missing"},
        {"shellexec", {"--verb"}, "--verb needs a value"},
        {"tracewatch", {"--seconds"}, "--seconds wants"},
        {"ciphertool", {"seal", "in.txt"}, "takes INPUT and OUTPUT"},
        {"ciphertool", {"check-policy", "--product-folder"}, "--product-folder takes one folder"},
        {"vmcheck", {"--control-table", "remove"}, "remove takes .EXT"},
        {"addinhost", {}, "APPLICATION missing"},
        {"addinhost", {"--trace"}, "APPLICATION missing"},
        // a misspelt application used to load nothing and say nothing
        {"addinhost", {"Wrod"}, "unknown application 'Wrod'"},
    };
    for (const auto& row : rows)
        ExpectBadUse(row.m_szTool, row.m_args, row.m_szProblem);
}

} // namespace
