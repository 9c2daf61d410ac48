// The product's companions: the launcher vormidmgr.exe (its reading of the
// hook's command line, and real starts of a probe application with the
// sample plug-in), the sample plug-in, and the three Office add-ins.

#include "companions/launcher/LaunchCommand.h"

#include "common/Handle.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/DebugCapture.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>
#include <olectl.h>
#include <shlwapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using vmlaunch::LaunchRequest;
using vmtest::BinDir;
using vmtest::ReadProbeRecord;

constexpr DWORD c_dwProcessTimeoutMs = 30000;

std::string Expand(std::string a_strTemplate, const std::vector<std::pair<std::string, std::string>>& a_vars)
{
    for (const auto& var : a_vars) {
        for (size_t i = a_strTemplate.find(var.first); i != std::string::npos;
             i = a_strTemplate.find(var.first, i + var.second.size()))
            a_strTemplate.replace(i, var.first.size(), var.second);
    }
    return a_strTemplate;
}

// Runs a program to its end; its exit code, or -1 when it did not start.
int RunToEnd(const std::string& a_strApplication, const std::string& a_strCommandLine)
{
    std::vector<char> command(a_strCommandLine.begin(), a_strCommandLine.end());
    command.push_back('\0');
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    vm::UniqueProcessInfo process;
    if (!CreateProcessA(a_strApplication.c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &si, process.put()))
        return -1;
    if (WaitForSingleObject(process.get().hProcess, c_dwProcessTimeoutMs) != WAIT_OBJECT_0)
        return -2;
    DWORD dwExit = 0;
    GetExitCodeProcess(process.get().hProcess, &dwExit);
    return static_cast<int>(dwExit);
}

// ---- reading the command line ---------------------------------------------

struct SplitRow {
    const char* szArguments;
    bool bSplit;
    const char* szCommand;
    const char* szPlugin;
    const char* szDirectory;
};
const SplitRow c_splitRows[] = {
    // document form, plug-in only
    {"C:\\Office\\WINWORD.EXE \"C:\\docs\\a.doc\"/D:C:\\K\\plug.dll", true,
     "C:\\Office\\WINWORD.EXE \"C:\\docs\\a.doc\"", "C:\\K\\plug.dll", ""},
    // with the working directory after the second mark
    {"C:\\Office\\WINWORD.EXE \"C:\\docs\\a.doc\"/D:C:\\K\\plug.dll/D:C:\\docs", true,
     "C:\\Office\\WINWORD.EXE \"C:\\docs\\a.doc\"", "C:\\K\\plug.dll", "C:\\docs"},
    // application with parameters present but empty: the blank stays in the command
    {"\"C:\\Office\\WINWORD.EXE\" /D:C:\\K\\plug.dll", true, "\"C:\\Office\\WINWORD.EXE\" ",
     "C:\\K\\plug.dll", ""},
    // empty plug-in
    {"C:\\A\\app.exe/D:", true, "C:\\A\\app.exe", "", ""},
    // empty plug-in with a directory
    {"C:\\A\\app.exe/D:/D:C:\\work", true, "C:\\A\\app.exe", "", "C:\\work"},
    // the directory runs to the end, further marks included
    {"C:\\A\\app.exe/D:p.dll/D:C:\\x/D:y", true, "C:\\A\\app.exe", "p.dll", "C:\\x/D:y"},
    // the mark is case-sensitive: a lower-case /d: parameter stays in the command
    {"\"C:\\A\\app.exe\" /d:x/D:p.dll", true, "\"C:\\A\\app.exe\" /d:x", "p.dll", ""},
    // the FIRST mark ends the command (documented rule)
    {"\"C:\\A\\app.exe\" /D:x/D:p.dll", true, "\"C:\\A\\app.exe\" ", "x", "p.dll"},
    // no mark at all: refused
    {"C:\\A\\app.exe \"C:\\doc.txt\"", false, "", "", ""},
    {"", false, "", "", ""},
};

TEST(LaunchCommandTest, SplitsAtTheFirstMarks)
{
    for (const SplitRow& row : c_splitRows) {
        SCOPED_TRACE(row.szArguments);
        LaunchRequest request;
        ASSERT_EQ(row.bSplit, vmlaunch::SplitLaunchArguments(row.szArguments, request));
        if (!row.bSplit)
            continue;
        EXPECT_EQ(row.szCommand, request.strApplicationCommand);
        EXPECT_EQ(row.szPlugin, request.strPluginPath);
        EXPECT_EQ(row.szDirectory, request.strDirectory);
    }
}

class LaunchPathsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_strRoot = vmtest::MakeScratchDir("launch-paths");
        CreateDirectoryA((s_strRoot + "\\with blank").c_str(), nullptr);
        CreateDirectoryA((s_strRoot + "\\plain").c_str(), nullptr);
        vmtest::WriteFile(s_strRoot + "\\with blank\\probe app.exe", "x");
        vmtest::WriteFile(s_strRoot + "\\plain\\app.exe", "x");
        vmtest::WriteFile(s_strRoot + "\\plain\\long.exe", "x");
        vmtest::WriteFile(s_strRoot + "\\plain\\long.exe extra", "x");
        vmtest::WriteFile(s_strRoot + "\\with blank\\vm launcher.exe", "x");
    }
    static void TearDownTestSuite() { vmtest::RemoveTree(s_strRoot); }
    static std::string Root() { return s_strRoot; }

    static std::string s_strRoot;
};
std::string LaunchPathsTest::s_strRoot;

struct FindRow {
    const char* szCommand; // {r}: the scratch folder
    const char* szExpected;
};
const FindRow c_findRows[] = {
    {"\"{r}\\plain\\app.exe\" /x", "{r}\\plain\\app.exe"},              // quoted, with parameters
    {"\"{r}\\plain\\app.exe\"", "{r}\\plain\\app.exe"},                 // quoted alone
    {"\"{r}\\plain\\missing.exe\" /x", ""},                             // quoted but missing
    {"\"{r}\\plain\\app.exe", ""},                                      // quote never closed
    {"{r}\\with blank\\probe app.exe", "{r}\\with blank\\probe app.exe"}, // unquoted with blanks
    {"{r}\\with blank\\probe app.exe \"C:\\a doc.txt\"", "{r}\\with blank\\probe app.exe"}, // document form
    {"{r}\\plain\\app.exe more args", "{r}\\plain\\app.exe"},           // the rest are arguments
    {"{r}\\plain\\long.exe extra more", "{r}\\plain\\long.exe extra"},  // the longest existing prefix
    {"{r}\\with blank\\probe", ""},                                     // no ".exe" is guessed
    {"{r}\\with blank x.exe", ""},                                      // a folder is no application
    {"", ""},
};

TEST_F(LaunchPathsTest, FindsTheApplicationOfEachCommandForm)
{
    for (const FindRow& row : c_findRows) {
        std::string strCommand = Expand(row.szCommand, {{"{r}", Root()}});
        SCOPED_TRACE(strCommand);
        EXPECT_EQ(Expand(row.szExpected, {{"{r}", Root()}}), vmlaunch::FindApplicationPath(strCommand));
    }
}

struct SkipRow {
    const char* szLine;    // {r}: the scratch folder
    const char* szOwnPath;
    const char* szRest;
};
const SkipRow c_skipRows[] = {
    // the hook's unquoted launcher path with blanks, as the launcher knows itself
    {"C:\\Program Files\\Korvane\\vormidmgr.exe C:\\x.exe/D:p", "C:\\Program Files\\Korvane\\vormidmgr.exe",
     "C:\\x.exe/D:p"},
    // letter case does not matter
    {"c:\\program files\\korvane\\VORMIDMGR.EXE C:\\x.exe/D:p", "C:\\Program Files\\Korvane\\vormidmgr.exe",
     "C:\\x.exe/D:p"},
    // a quoted first word
    {"\"C:\\Program Files\\K\\vormidmgr.exe\" \"C:\\x.exe\" /n/D:p", "C:\\elsewhere.exe",
     "\"C:\\x.exe\" /n/D:p"},
    // not our own path: the longest prefix naming an existing file
    {"{r}\\with blank\\vm launcher.exe {r}\\plain\\app.exe/D:p", "C:\\elsewhere.exe",
     "{r}\\plain\\app.exe/D:p"},
    // nothing known: the first word
    {"vormidmgr.exe C:\\x.exe/D:p", "C:\\elsewhere.exe", "C:\\x.exe/D:p"},
    // our path only as the start of a longer word is not our path
    {"C:\\L\\vormidmgr.exe2 C:\\x.exe/D:p", "C:\\L\\vormidmgr.exe", "C:\\x.exe/D:p"},
    // leading blanks and several separating blanks
    {"  C:\\L\\vormidmgr.exe   C:\\x.exe/D:p", "C:\\L\\vormidmgr.exe", "C:\\x.exe/D:p"},
    // nothing after the launcher
    {"C:\\L\\vormidmgr.exe", "C:\\L\\vormidmgr.exe", ""},
};

TEST_F(LaunchPathsTest, SkipsTheLaunchersOwnPath)
{
    for (const SkipRow& row : c_skipRows) {
        std::string strLine = Expand(row.szLine, {{"{r}", Root()}});
        SCOPED_TRACE(strLine);
        EXPECT_EQ(Expand(row.szRest, {{"{r}", Root()}}), vmlaunch::SkipLauncherPath(strLine, row.szOwnPath));
    }
}

// ---- the launcher starting a real application -------------------------------

class LauncherTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_strRoot = vmtest::MakeScratchDir("launcher");
        for (const char* szDir : {"\\plain", "\\with blank", "\\docs", "\\work dir", "\\plugin dir"})
            CreateDirectoryA((s_strRoot + szDir).c_str(), nullptr);
        CopyFileA(vmtest::ProbeExe().c_str(), (s_strRoot + "\\plain\\probe.exe").c_str(), FALSE);
        CopyFileA(vmtest::ProbeExe().c_str(), (s_strRoot + "\\with blank\\probe app.exe").c_str(), FALSE);
        CopyFileA(vmtest::ProbeExe().c_str(), (s_strRoot + "\\plain\\victim.exe").c_str(), FALSE);
        CopyFileA((BinDir() + "\\vmplugin.dll").c_str(), (s_strRoot + "\\plugin dir\\vmplugin.dll").c_str(), FALSE);
        vmtest::WriteFile(s_strRoot + "\\plugin dir\\broken.dll", "not a module");
        vmtest::WriteFile(s_strRoot + "\\docs\\a doc.txt", "document");
    }
    static void TearDownTestSuite() { vmtest::RemoveTree(s_strRoot); }

    void SetUp() override
    {
        m_strRecord = s_strRoot + "\\record.txt";
        DeleteFileA(m_strRecord.c_str());
        SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, m_strRecord.c_str());
    }
    void TearDown() override
    {
        SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, nullptr);
        DeleteFileA(m_strRecord.c_str());
    }

    static std::string Expand(const std::string& a_strTemplate)
    {
        return ::Expand(a_strTemplate, {{"{plain}", s_strRoot + "\\plain\\probe.exe"},
                                        {"{blank}", s_strRoot + "\\with blank\\probe app.exe"},
                                        {"{victim}", s_strRoot + "\\plain\\victim.exe"},
                                        {"{doc}", s_strRoot + "\\docs\\a doc.txt"},
                                        {"{plugin}", s_strRoot + "\\plugin dir\\vmplugin.dll"},
                                        {"{broken}", s_strRoot + "\\plugin dir\\broken.dll"},
                                        {"{work}", s_strRoot + "\\work dir"},
                                        {"{r}", s_strRoot}});
    }

    // As the hook writes it: launcher path, blank, command, marks without blanks.
    static int RunLauncher(const std::string& a_strArguments)
    {
        std::string strLauncher = BinDir() + "\\vormidmgr.exe";
        return RunToEnd(strLauncher, strLauncher + " " + a_strArguments);
    }

    bool WaitRecord() const
    {
        return vmtest::WaitUntil([&] { return vmtest::FileExists(m_strRecord); }, c_dwProcessTimeoutMs);
    }

    static std::string s_strRoot;
    std::string m_strRecord;
};
std::string LauncherTest::s_strRoot;

struct LaunchRow {
    const char* szCase;
    const char* szCommand;   // the application command, as the hook builds it
    const char* szExe;       // the program that must run
    bool bPlugin;
    bool bDirectory;
};
const LaunchRow c_launchRows[] = {
    {"application with parameters", "\"{plain}\" /x -y", "{plain}", true, false},
    {"application with parameters and directory", "\"{plain}\" /x -y", "{plain}", true, true},
    {"parameters present but empty", "\"{plain}\" ", "{plain}", true, false},
    {"unquoted path with blanks", "{blank}", "{blank}", true, false},
    {"unquoted path with blanks and directory", "{blank}", "{blank}", true, true},
    {"document", "{plain} \"{doc}\"", "{plain}", true, false},
    {"document, application path with blanks, directory", "{blank} \"{doc}\"", "{blank}", true, true},
    {"empty plug-in", "\"{plain}\" /x", "{plain}", false, false},
    {"empty plug-in with directory", "{blank} \"{doc}\"", "{blank}", false, true},
};

class LaunchFormTest : public LauncherTest, public ::testing::WithParamInterface<LaunchRow> {};

TEST_P(LaunchFormTest, StartsTheApplicationWithThePluginInside)
{
    const LaunchRow& row = GetParam();
    std::string strCommand = Expand(row.szCommand);
    std::string strArguments = strCommand + "/D:" + (row.bPlugin ? Expand("{plugin}") : "");
    if (row.bDirectory)
        strArguments += "/D:" + Expand("{work}");
    SCOPED_TRACE(std::string(row.szCase) + ": " + strArguments);

    ASSERT_EQ(0, RunLauncher(strArguments));
    ASSERT_TRUE(WaitRecord());
    auto record = ReadProbeRecord(m_strRecord);
    EXPECT_EQ(strCommand, record["cmdline"]);
    EXPECT_EQ(row.bPlugin ? "1" : "0", record["plugin"]);
    EXPECT_EQ(0, lstrcmpiA(Expand(row.szExe).c_str(), record["exe"].c_str())) << record["exe"];
    char szOwnDir[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, szOwnDir);
    EXPECT_EQ(0, lstrcmpiA(row.bDirectory ? Expand("{work}").c_str() : szOwnDir, record["cwd"].c_str()))
        << record["cwd"];
}

INSTANTIATE_TEST_SUITE_P(Rows, LaunchFormTest, ::testing::ValuesIn(c_launchRows));

// The hook does not quote the launcher's path, which usually holds blanks.
TEST_F(LauncherTest, LauncherPathWithBlanksUnquoted)
{
    std::string strDir = s_strRoot + "\\Program Files";
    CreateDirectoryA(strDir.c_str(), nullptr);
    std::string strLauncher = strDir + "\\vormidmgr.exe";
    ASSERT_TRUE(CopyFileA((BinDir() + "\\vormidmgr.exe").c_str(), strLauncher.c_str(), FALSE));
    std::string strCommand = Expand("{plain} \"{doc}\"");
    ASSERT_EQ(0, RunToEnd(strLauncher, strLauncher + " " + strCommand + "/D:" + Expand("{plugin}")));
    ASSERT_TRUE(WaitRecord());
    auto record = ReadProbeRecord(m_strRecord);
    EXPECT_EQ(strCommand, record["cmdline"]);
    EXPECT_EQ("1", record["plugin"]);
}

struct FailureRow {
    const char* szCase;
    const char* szArguments;
};
const FailureRow c_failureRows[] = {
    {"missing application", "{r}\\nowhere\\missing.exe \"{doc}\"/D:{plugin}"},
    {"missing quoted application", "\"{r}\\nowhere\\missing.exe\" /x/D:{plugin}"},
    {"missing plug-in file", "\"{victim}\" /x/D:{r}\\plugin dir\\absent.dll"},
    {"plug-in that is not a module", "\"{victim}\" /x/D:{broken}"},
    {"missing working directory", "\"{victim}\" /x/D:{plugin}/D:{r}\\no such dir"},
    {"no /D: argument", "\"{victim}\" /x"},
};

class LaunchFailureTest : public LauncherTest, public ::testing::WithParamInterface<FailureRow> {
protected:
    void TearDown() override
    {
        vmtest::TerminateProcesses("victim.exe");
        LauncherTest::TearDown();
    }
};

TEST_P(LaunchFailureTest, FailsWithoutLeavingAProcess)
{
    const FailureRow& row = GetParam();
    std::string strArguments = Expand(row.szArguments);
    SCOPED_TRACE(std::string(row.szCase) + ": " + strArguments);
    int nExit = RunLauncher(strArguments);
    EXPECT_GT(nExit, 0);
    EXPECT_EQ(0, vmtest::CountProcesses("victim.exe"));
    Sleep(200);
    EXPECT_FALSE(vmtest::FileExists(m_strRecord)) << "the application ran: " << vmtest::ReadFile(m_strRecord);
}

INSTANTIATE_TEST_SUITE_P(Rows, LaunchFailureTest, ::testing::ValuesIn(c_failureRows));

// ---- the sample plug-in ------------------------------------------------------

TEST(PluginTest, AnnouncesTheProcessItWasLoadedInto)
{
    vmtest::DebugCapture capture;
    vm::UniqueLibrary plugin(LoadLibraryA((BinDir() + "\\vmplugin.dll").c_str()));
    ASSERT_TRUE(plugin);
    char szText[128];
    std::snprintf(szText, sizeof(szText), "[vmplugin] loaded into companions_test.exe pid %lu",
                  GetCurrentProcessId());
    EXPECT_EQ(1u, capture.Count(szText)) << capture.Dump();
}

} // namespace
