// The product's companions: the launcher vormidmgr.exe (its reading of the
// hook's command line, and real starts of a probe application with the
// sample plug-in), the sample plug-in, and the three Office add-ins.

#include "companions/launcher/LaunchCommand.h"

#include "common/Handle.h"
#include "common/PolicyHandOver.h"
#include "common/LauncherExit.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/DebugCapture.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>
#include <olectl.h>
#include <shlwapi.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using vmlaunch::LaunchRequest;

std::wstring W(const std::string& a_strText)
{
    return vm::WideFromAnsi(a_strText);
}

std::string A(const std::wstring& a_strText)
{
    return vm::AnsiRendering(a_strText);
}
using vmtest::BinDir;
using vmtest::ReadProbeRecord;

// As long as the hook waits for the launcher: past the launcher's own
// longest wait, a plug-in load that never ends.
constexpr DWORD c_dwProcessTimeoutMs = vm::c_dwLauncherVerdictTimeoutMs;

std::string Expand(std::string a_strTemplate, const std::vector<std::pair<std::string, std::string>>& a_vars)
{
    for (const auto& var : a_vars) {
        for (size_t i = a_strTemplate.find(var.first); i != std::string::npos;
             i = a_strTemplate.find(var.first, i + var.second.size()))
            a_strTemplate.replace(i, var.first.size(), var.second);
    }
    return a_strTemplate;
}

// Runs a program to its end as its debugger, so that what it writes to the
// debugger output is seen; DEBUG_ONLY_THIS_PROCESS leaves its children alone.
struct DebuggedRun {
    int nExit = -1; // -1: not started, -2: did not end in time
    std::vector<std::string> texts;
};

std::string ReadDebugString(HANDLE a_hProcess, const OUTPUT_DEBUG_STRING_INFO& a_info)
{
    char szText[4096] = {};
    SIZE_T cb = a_info.nDebugStringLength < sizeof(szText) ? a_info.nDebugStringLength : sizeof(szText) - 1;
    SIZE_T cbRead = 0;
    if (a_info.fUnicode || !ReadProcessMemory(a_hProcess, a_info.lpDebugStringData, szText, cb, &cbRead))
        return std::string();
    return std::string(szText, strnlen(szText, cbRead));
}

// The launcher loads userenv.dll while it judges a program (it asks it for
// the profiles folder): a debugger that holds that event holds the launcher
// between the program's judgement and its start, whatever the machine's load.
bool IsUserenvLoad(const LOAD_DLL_DEBUG_INFO& a_info)
{
    wchar_t szPath[MAX_PATH] = {};
    DWORD cch = a_info.hFile ? GetFinalPathNameByHandleW(a_info.hFile, szPath, MAX_PATH, 0) : 0;
    return cch > 0 && cch < MAX_PATH && lstrcmpiW(PathFindFileNameW(szPath), L"userenv.dll") == 0;
}

// a_onJudging runs while the program is held at its userenv.dll load.
// a_hInput: its standard input, inherited.
DebuggedRun RunDebugged(const std::string& a_strApplication, const std::string& a_strCommandLine,
                        const std::string& a_strDirectory, const std::function<void()>& a_onJudging = nullptr,
                        HANDLE a_hInput = nullptr)
{
    DebuggedRun run;
    vmtest::ChildOptions options;
    options.m_dwFlags = DEBUG_ONLY_THIS_PROCESS;
    options.m_strDir = a_strDirectory;
    options.m_hInput = a_hInput;
    vm::UniqueProcessInfo process;
    if (!vmtest::StartChild(a_strApplication, a_strCommandLine, process.put(), options))
        return run;
    for (;;) {
        DEBUG_EVENT event{};
        if (!WaitForDebugEvent(&event, c_dwProcessTimeoutMs)) {
            TerminateProcess(process.get().hProcess, 1);
            DebugActiveProcessStop(process.get().dwProcessId);
            run.nExit = -2;
            return run;
        }
        DWORD dwContinue = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            vm::UniqueNullHandle{event.u.CreateProcessInfo.hFile}.reset();
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (a_onJudging && IsUserenvLoad(event.u.LoadDll))
                a_onJudging();
            vm::UniqueNullHandle{event.u.LoadDll.hFile}.reset();
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            run.texts.push_back(ReadDebugString(process.get().hProcess, event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                dwContinue = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            run.nExit = static_cast<int>(event.u.ExitProcess.dwExitCode);
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
            return run;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, dwContinue);
    }
}

// ---- reading the command line ---------------------------------------------

class LaunchPathsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_strRoot = vmtest::MakeScratchDir("launch-paths");
        for (const char* szDir : {"\\with blank", "\\plain", "\\own dir", "\\elsewhere", "\\work dir"})
            CreateDirectoryA((s_strRoot + szDir).c_str(), nullptr);
        vmtest::WriteFile(s_strRoot + "\\with blank\\probe app.exe", "x");
        vmtest::WriteFile(s_strRoot + "\\plain\\app.exe", "x");
        vmtest::WriteFile(s_strRoot + "\\plain\\long.exe", "x");
        vmtest::WriteFile(s_strRoot + "\\plain\\long.exe extra", "x");
        vmtest::WriteFile(s_strRoot + "\\with blank\\vm launcher.exe", "x");
        vmtest::WriteFile(s_strRoot + "\\own dir\\plug.dll", "x");
        vmtest::WriteFile(s_strRoot + "\\own dir\\planted.exe", "x");
        vmtest::WriteFile(s_strRoot + "\\elsewhere\\plug.dll", "x");
    }
    static void TearDownTestSuite() { vmtest::RemoveTree(s_strRoot); }
    static std::string Root() { return s_strRoot; }

    static std::string s_strRoot;
};
std::string LaunchPathsTest::s_strRoot;

struct ReadRow {
    const char* szArguments; // {a} {b}: applications, {p}: our plug-in, {f}: a foreign one, {w}: a folder
    int nExit;
    const char* szCommandLine;
    const char* szApplication;
    const char* szPlugin;
    const char* szDirectory;
};
const ReadRow c_readRows[] = {
    // the document form; then with the working directory
    {"{a} \"C:\\docs\\a.doc\"/D:{p}", 0, "{a} \"C:\\docs\\a.doc\"", "{a}", "{p}", ""},
    {"{a} \"C:\\docs\\a.doc\"/D:{p}/D:{w}", 0, "{a} \"C:\\docs\\a.doc\"", "{a}", "{p}", "{w}"},
    // parameters present but empty: the blank stays in the command
    {"\"{a}\" /D:{p}", 0, "\"{a}\" ", "{a}", "{p}", ""},
    // an application path with a blank is quoted; the rest passes unchanged
    {"{b} \"C:\\a doc.txt\"/D:{p}", 0, "\"{b}\" \"C:\\a doc.txt\"", "{b}", "{p}", ""},
    {"{b}/D:{p}/D:{w}", 0, "\"{b}\"", "{b}", "{p}", "{w}"},
    {"\"{b}\" /n/D:{p}", 0, "\"{b}\" /n", "{b}", "{p}", ""},
    // a line of another shape: no argument takes another's place
    {"\"{a}\" x/D:{f}/D:{p}", 3, "", "", "", ""},
    {"\"{a}\" x/D:/D:{p}/D:{w}", 1, "", "", "", ""},
    {"\"{a}\" /D:{p}/D:{p}", 6, "", "", "", ""},
    // a file of our own folder in the directory's slot is no plug-in
    {"\"{a}\" /x/D:{p}/D:{r}\\own dir\\planted.exe", 6, "", "", "", ""},
    // "/d:" is no mark wherever it stands: below, the last argument is "{p}/d:{w}"
    {"\"{a}\" /d:{w}/D:{p}", 0, "\"{a}\" /d:{w}", "{a}", "{p}", ""},
    {"\"{a}\" /x/D:{p}/d:{w}", 3, "", "", "", ""},
    // dots that stay inside our folder are resolved
    {"\"{a}\" /x/D:{r}\\own dir\\..\\own dir\\plug.dll", 0, "\"{a}\" /x", "{a}", "{p}", ""},
    // no plug-in: empty, foreign, led out by dots, missing, a folder, relative
    {"\"{a}\" /x/D:", 3, "", "", "", ""},
    {"\"{a}\" /x/D:/D:{w}", 3, "", "", "", ""},
    {"\"{a}\" /x/D:{f}", 3, "", "", "", ""},
    {"\"{a}\" /x/D:{r}\\own dir\\..\\elsewhere\\plug.dll", 3, "", "", "", ""},
    {"\"{a}\" /x/D:{r}\\own dir\\missing.dll", 3, "", "", "", ""},
    {"\"{a}\" /x/D:{r}\\own dir", 3, "", "", "", ""},
    {"\"{a}\" /x/D:plug.dll", 3, "", "", "", ""},
    // a directory that is not an existing folder's full path
    {"\"{a}\" /x/D:{p}/D:\\..\\..", 6, "", "", "", ""},
    {"\"{a}\" /x/D:{p}/D:{r}\\no such dir", 6, "", "", "", ""},
    {"\"{a}\" /x/D:{p}/D:", 6, "", "", "", ""},
    {"\"{a}\" /x/D:{p}/D:{a}", 6, "", "", "", ""},
    // the application: missing, or relative (present in the current directory)
    {"{r}\\nowhere\\missing.exe \"C:\\a.doc\"/D:{p}", 2, "", "", "", ""},
    {"planted.exe /x/D:{p}", 2, "", "", "", ""},
    {"\"planted.exe\" /x/D:{p}", 2, "", "", "", ""},
    // no mark at all
    {"\"{a}\" /x", 1, "", "", "", ""},
    {"", 1, "", "", "", ""},
};

TEST_F(LaunchPathsTest, ReadsTheRequestFromTheRightEnd)
{
    // Our folder is the current directory, so a relative name would be found.
    std::string strOwn = Root() + "\\own dir";
    char szOld[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, szOld);
    ASSERT_TRUE(SetCurrentDirectoryA(strOwn.c_str()));
    std::wstring strOwnFolder = vmlaunch::GetFolderOf(W(strOwn + "\\plug.dll"));
    ASSERT_EQ(0, lstrcmpiW(W(strOwn + "\\").c_str(), strOwnFolder.c_str())) << A(strOwnFolder);
    auto expand = [&](const char* a_sz) {
        return Expand(a_sz, {{"{a}", Root() + "\\plain\\app.exe"}, {"{b}", Root() + "\\with blank\\probe app.exe"},
                             {"{p}", strOwn + "\\plug.dll"}, {"{f}", Root() + "\\elsewhere\\plug.dll"},
                             {"{w}", Root() + "\\work dir"}, {"{r}", Root()}});
    };
    for (const ReadRow& row : c_readRows) {
        std::string strArguments = expand(row.szArguments);
        SCOPED_TRACE("ReadLaunchRequest(\"" + strArguments + "\")");
        LaunchRequest request;
        std::wstring strWhy;
        int nExit = vmlaunch::ReadLaunchRequest(W(strArguments), strOwnFolder, request, strWhy);
        EXPECT_EQ(row.nExit, nExit) << A(strWhy);
        if (nExit != 0)
            continue;
        EXPECT_EQ(expand(row.szCommandLine), A(request.strCommandLine));
        EXPECT_EQ(expand(row.szApplication), A(request.strApplicationPath));
        EXPECT_EQ(0, lstrcmpiA(expand(row.szPlugin).c_str(), A(request.strPluginPath).c_str())) << A(request.strPluginPath);
        EXPECT_EQ(0, lstrcmpiA(expand(row.szDirectory).c_str(), A(request.strDirectory).c_str())) << A(request.strDirectory);
    }
    // Our folder named in its short form is still ours.
    char szShort[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameA((strOwn + "\\plug.dll").c_str(), szShort, MAX_PATH), 0u);
    LaunchRequest request;
    std::wstring strWhy;
    EXPECT_EQ(0, vmlaunch::ReadLaunchRequest(W(expand("{a}/D:") + szShort), strOwnFolder, request, strWhy))
        << szShort << ": " << A(strWhy);
    // Texts far past MAX_PATH, as anyone running the launcher by hand may
    // give them, are refused, not read past a buffer.
    std::string strLong(5000, 'x');
    EXPECT_EQ(3, vmlaunch::ReadLaunchRequest(W(expand("{a}/D:{r}\\") + strLong), strOwnFolder, request, strWhy));
    EXPECT_EQ(6, vmlaunch::ReadLaunchRequest(W(expand("{a}/D:{p}/D:{r}\\") + strLong), strOwnFolder, request, strWhy));
    EXPECT_EQ(2, vmlaunch::ReadLaunchRequest(W(expand("{r}\\") + strLong + expand(" x/D:{p}")), strOwnFolder, request,
                                             strWhy));
    SetCurrentDirectoryA(szOld);
}

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
        EXPECT_EQ(Expand(row.szExpected, {{"{r}", Root()}}), A(vmlaunch::FindApplicationPath(W(strCommand))));
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
        EXPECT_EQ(Expand(row.szRest, {{"{r}", Root()}}), A(vmlaunch::SkipLauncherPath(W(strLine), W(row.szOwnPath))));
    }
}

// ---- the launcher starting a real application -------------------------------

// Installed as the product is, below Program Files and registered in HKLM,
// under a folder with a blank: the launcher, the plug-in and cipher.dll side
// by side (the x64 build in the "x64" subfolder), the policy in the product
// folder, the applications in trusted folders of the policy. Apart from it, a
// launcher set with a policy of its own, copied to the users' shared folder.
class LauncherTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_strRoot = vmtest::MakeScratchDir("launcher");
        s_pProduct = new vmtest::CInstalledProduct("Korvane Test");
        ASSERT_TRUE(s_pProduct->Ready()) << s_pProduct->Build();
        for (const char* szDir : {"\\plain", "\\Program Files", "\\Program Files\\Probe Suite", "\\evil", "\\docs",
                                  "\\work dir", "\\users"})
            CreateDirectoryA((s_strRoot + szDir).c_str(), nullptr);
        CopyFileA((BinDir() + "\\vmplugin.dll").c_str(), Expand("{evil}").c_str(), FALSE);
        CreateDirectoryA(Expand("{product}\\x64").c_str(), nullptr);
        CopyFileA((BinDir() + "\\vmplugin.dll").c_str(), Expand("{product}\\x64\\vmplugin.dll").c_str(), FALSE);
        for (const char* szApp : {"{plain}", "{blank}", "{victim}", "{r}\\users\\victim.exe", "{r}\\plain\\stranger.exe",
                                  "{r}\\plain\\depapp.exe", "{r}\\plain\\hangapp.exe"})
            CopyFileA(vmtest::ProbeExe().c_str(), Expand(szApp).c_str(), FALSE);
        for (const char* szDll : {"vmdep.dll", "depplug.dll", "hangplug.dll"})
            CopyFileA((vmtest::TestDir() + "\\" + szDll).c_str(), Expand("{install}\\").append(szDll).c_str(), FALSE);
        vmtest::WriteFile(Expand("{product}\\company.ccf"),
                          vmtest::SealPolicy({{"CompanyID", "ACME"},
                                              {"probe.exe", "vmplugin.dll"},
                                              {"probe app.exe", "vmplugin.dll"},
                                              {"victim.exe", "vmplugin.dll"},
                                              {"notepad.exe", "vmplugin.dll"},
                                              {"depapp.exe", "depplug.dll"},
                                              {"hangapp.exe", "hangplug.dll"},
                                              {"TrustedFolders", Expand("{r}\\plain;{r}\\Program Files\\Probe Suite")}}));
        vmtest::WriteFile(Expand("{broken}"), "not a module");
        vmtest::WriteFile(Expand("{doc}"), "document");
        // The user's own set: the shipped files copied, and a policy sealed
        // as anyone can seal one, registering the programs the user chose.
        vmtest::RemoveTree(Expand("{copy}"));
        CreateDirectoryA(Expand("{copy}").c_str(), nullptr);
        for (const char* szFile : {"vormidmgr.exe", "vmplugin.dll", "cipher.dll"})
            CopyFileA((BinDir() + "\\" + szFile).c_str(), Expand("{copy}\\").append(szFile).c_str(), FALSE);
        vmtest::WriteFile(Expand("{copy}\\company.ccf"), vmtest::SealPolicy({{"CompanyID", "ACME"},
                                                                          {"cmd.exe", "vmplugin.dll"},
                                                                          {"rundll32.exe", "vmplugin.dll"}}));
    }
    static void TearDownTestSuite()
    {
        vmtest::RemoveTree(Expand("{copy}"));
        delete s_pProduct;
        s_pProduct = nullptr;
        vmtest::RemoveTree(s_strRoot);
    }

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
        std::string strInstall = s_pProduct->Build();
        char szSystem[MAX_PATH] = {};
        GetSystemDirectoryA(szSystem, MAX_PATH);
        return ::Expand(a_strTemplate, {{"{launcher}", strInstall + "\\vormidmgr.exe"},
                                        {"{plugin}", strInstall + "\\vmplugin.dll"},
                                        {"{broken}", strInstall + "\\broken.dll"},
                                        {"{cipher}", strInstall + "\\cipher.dll"},
                                        {"{install}", strInstall},
                                        {"{product}", s_pProduct->Product()},
                                        {"{copy}", "C:\\users\\Public\\x"},
                                        {"{sys}", szSystem},
                                        {"{evil}", s_strRoot + "\\evil\\vmplugin.dll"},
                                        {"{plain}", s_strRoot + "\\plain\\probe.exe"},
                                        {"{blank}", s_strRoot + "\\Program Files\\Probe Suite\\probe app.exe"},
                                        {"{victim}", s_strRoot + "\\plain\\victim.exe"},
                                        {"{doc}", s_strRoot + "\\docs\\a doc.txt"},
                                        {"{work}", s_strRoot + "\\work dir"},
                                        {"{link}", vmtest::TestDir() + "\\launcher-link"},
                                        {"{race}", vmtest::TestDir() + "\\launcher-race\\race"},
                                        {"{r}", s_strRoot}});
    }

    // As the hook writes it: the launcher's path unquoted, a blank, the
    // application command, the marks without blanks.
    static DebuggedRun RunLauncher(const std::string& a_strArguments, const std::string& a_strDirectory = "",
                                   const std::function<void()>& a_onJudging = nullptr, HANDLE a_hInput = nullptr,
                                   const char* a_szLauncher = "{launcher}")
    {
        std::string strLauncher = Expand(a_szLauncher);
        return RunDebugged(strLauncher, strLauncher + " " + a_strArguments, a_strDirectory, a_onJudging, a_hInput);
    }

    // Right after the probe's rename Wine can still hold the record open with
    // delete access, and the C runtime's fopen, which does not share delete,
    // then fails: the record is there once it reads, not once it exists.
    bool WaitRecord() const
    {
        return vmtest::WaitUntil([&] { return !ReadProbeRecord(m_strRecord).empty(); }, c_dwProcessTimeoutMs);
    }

    static std::string s_strRoot;
    static vmtest::CInstalledProduct* s_pProduct;
    std::string m_strRecord;
};
std::string LauncherTest::s_strRoot;
vmtest::CInstalledProduct* LauncherTest::s_pProduct = nullptr;

struct LaunchRow {
    const char* szCase;
    const char* szCommand;     // the application command, as the hook builds it
    const char* szCommandLine; // what the application must receive
    const char* szArgv;        // and the C runtime's reading of it, joined by "|"
    const char* szExe;         // the program that must run
    bool bDirectory;
};
const LaunchRow c_launchRows[] = {
    {"application with parameters", "\"{plain}\" /x -y", "\"{plain}\" /x -y", "{plain}|/x|-y", "{plain}", false},
    {"application with parameters and directory", "\"{plain}\" /x -y", "\"{plain}\" /x -y", "{plain}|/x|-y",
     "{plain}", true},
    {"parameters present but empty", "\"{plain}\" ", "\"{plain}\" ", "{plain}", "{plain}", false},
    {"path with blanks, no parameters", "{blank}", "\"{blank}\"", "{blank}", "{blank}", false},
    {"path with blanks, no parameters, directory", "{blank}", "\"{blank}\"", "{blank}", "{blank}", true},
    {"document", "{plain} \"{doc}\"", "{plain} \"{doc}\"", "{plain}|{doc}", "{plain}", false},
    {"document, path with blanks, directory", "{blank} \"{doc}\"", "\"{blank}\" \"{doc}\"", "{blank}|{doc}",
     "{blank}", true},
};

class LaunchFormTest : public LauncherTest, public ::testing::WithParamInterface<LaunchRow> {};

TEST_P(LaunchFormTest, StartsTheApplicationWithThePluginInside)
{
    const LaunchRow& row = GetParam();
    std::string strArguments = Expand(row.szCommand) + "/D:" + Expand("{plugin}");
    if (row.bDirectory)
        strArguments += "/D:" + Expand("{work}");
    SCOPED_TRACE(std::string(row.szCase) + ": " + strArguments);

    DebuggedRun run = RunLauncher(strArguments);
    ASSERT_EQ(0, run.nExit) << ::testing::PrintToString(run.texts);
    ASSERT_TRUE(WaitRecord());
    auto record = ReadProbeRecord(m_strRecord);
    EXPECT_EQ(Expand(row.szCommandLine), record["cmdline"]);
    EXPECT_EQ(Expand(row.szArgv), record["argv"]);
    EXPECT_EQ(0, lstrcmpiA(Expand("{plugin}").c_str(), record["pluginpath"].c_str())) << record["pluginpath"];
    EXPECT_EQ(0, lstrcmpiA(Expand(row.szExe).c_str(), record["exe"].c_str())) << record["exe"];
    char szOwnDir[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, szOwnDir);
    EXPECT_EQ(0, lstrcmpiA(row.bDirectory ? Expand("{work}").c_str() : szOwnDir, record["cwd"].c_str()))
        << record["cwd"];
}

INSTANTIATE_TEST_SUITE_P(Rows, LaunchFormTest, ::testing::ValuesIn(c_launchRows));

struct FailureRow {
    const char* szCase;
    const char* szArguments;
    int nExit;
    const char* szDirectory; // the launcher's current directory; "": the test's
    // {race} leads to a trusted folder until the launcher judges, then to the users' folder
    bool bRepointRace = false;
    const char* szLauncher = "{launcher}";
};
const FailureRow c_failureRows[] = {
    {"missing application", "{r}\\nowhere\\missing.exe \"{doc}\"/D:{plugin}", 2, ""},
    {"relative application found in the current directory", "victim.exe /x/D:{plugin}", 2, "{r}\\plain"},
    {"empty plug-in", "\"{victim}\" /x/D:", 3, ""},
    {"empty plug-in with directory", "\"{victim}\" /x/D:/D:{work}", 3, ""},
    {"plug-in outside the launcher's folder", "\"{victim}\" /x/D:{evil}", 3, ""},
    {"missing plug-in file", "\"{victim}\" /x/D:{install}\\absent.dll", 3, ""},
    {"plug-in the policy names for no such program", "\"{victim}\" /x/D:{broken}", 8, ""},
    {"parameters holding a mark and a plug-in", "\"{victim}\" x/D:{evil}/D:{plugin}", 3, ""},
    {"relative directory after a planted plug-in", "\"{victim}\" x/D:{evil}/D:{plugin}/D:\\..\\..", 1, ""},
    {"working directory naming a product file", "\"{victim}\" /x/D:{plugin}/D:{cipher}", 6, ""},
    {"registered name copied to a user's folder", "\"{r}\\users\\victim.exe\" /x/D:{plugin}", 8, ""},
    {"a trusted folder left through ..", "\"{r}\\plain\\..\\users\\victim.exe\" /x/D:{plugin}", 8, ""},
    {"a registered program reached through a link users may re-point", "\"{link}\\victim.exe\" /x/D:{plugin}", 8,
     ""},
    {"a link re-pointed to the users' folder between the judgement and the start", "\"{race}\\victim.exe\" /x/D:{plugin}",
     8, "", true},
    {"a program the policy never names", "\"{r}\\plain\\stranger.exe\" /x/D:{plugin}", 8, ""},
    {"plug-in that never returns from its attach code",
     "\"{r}\\plain\\hangapp.exe\" /x/D:{install}\\hangplug.dll", 5, ""},
    {"missing working directory", "\"{victim}\" /x/D:{plugin}/D:{r}\\no such dir", 6, ""},
    {"no /D: argument", "\"{victim}\" /x", 1, ""},
    // The shipped launcher, cipher.dll and plug-in copied to a user's folder
    // beside a policy the user sealed, naming a system program: no file of
    // the installed product, so nothing is started.
    {"a launcher set copied beside a policy of the user's", "{sys}\\cmd.exe /c rem/D:{copy}\\vmplugin.dll", 8, "",
     false, "{copy}\\vormidmgr.exe"},
};

// The programs the failure rows start.
const char* const c_szFailurePrograms[] = {"victim.exe", "hangapp.exe"};

class LaunchFailureTest : public LauncherTest, public ::testing::WithParamInterface<FailureRow> {
protected:
    void TearDown() override
    {
        for (const char* szProgram : c_szFailurePrograms)
            vmtest::TerminateProcesses(szProgram);
        LauncherTest::TearDown();
    }
};

// The user's folder "launcher-race" holds a link "race"; swapping that
// folder for another of the user's, whose "race" leads elsewhere, re-points
// the name. (Wine's rename of a link renames the folder it leads to, so the
// links stay in folders of their own, made at configure time.)
class CRaceFolder {
public:
    CRaceFolder() { Move("-trusted", ""); }
    ~CRaceFolder()
    {
        if (!Move("", "-user"))
            Move("", "-trusted");
    }
    CRaceFolder(const CRaceFolder&) = delete;
    CRaceFolder& operator=(const CRaceFolder&) = delete;
    // Once: the launcher may load userenv.dll more than once while it judges.
    void RepointToUsers()
    {
        if (m_bRepointed)
            return;
        m_bRepointed = Move("", "-trusted") && Move("-user", "");
        EXPECT_TRUE(m_bRepointed) << GetLastError();
    }

private:
    static bool Move(const char* a_szFrom, const char* a_szTo)
    {
        std::string strBase = vmtest::TestDir() + "\\launcher-race";
        return MoveFileA((strBase + a_szFrom).c_str(), (strBase + a_szTo).c_str()) != FALSE;
    }
    bool m_bRepointed = false;
};

TEST_P(LaunchFailureTest, RefusesAndSaysSoWithoutLeavingAProcess)
{
    const FailureRow& row = GetParam();
    std::string strArguments = Expand(row.szArguments);
    SCOPED_TRACE(std::string(row.szCase) + ": " + strArguments);
    CRaceFolder race;
    std::function<void()> onJudging;
    if (row.bRepointRace)
        onJudging = [&race] { race.RepointToUsers(); };
    DebuggedRun run = RunLauncher(strArguments, Expand(row.szDirectory), onJudging, nullptr, row.szLauncher);
    EXPECT_EQ(row.nExit, run.nExit);
    ASSERT_EQ(1u, run.texts.size()) << ::testing::PrintToString(run.texts);
    EXPECT_EQ(0u, run.texts[0].rfind("[vormidmgr.exe] ", 0)) << run.texts[0];
    for (const char* szProgram : c_szFailurePrograms)
        EXPECT_EQ(0, vmtest::CountProcesses(szProgram)) << szProgram;
    Sleep(200);
    EXPECT_FALSE(vmtest::FileExists(m_strRecord)) << "the application ran: " << vmtest::ReadFile(m_strRecord);
}

INSTANTIATE_TEST_SUITE_P(Rows, LaunchFailureTest, ::testing::ValuesIn(c_failureRows));

// The policy the hook decided by, handed over while another program holds
// the installed file: the launcher decides by it then, and only then. What a
// user can give the installed launcher from a command prompt (a file as its
// standard input) is never taken for a hand-over.
enum class InstalledPolicy { Held, Missing };
enum class PolicyInput { None, HooksSection, ForgedFile, SectionOfNoPolicy };
struct HandOverRow {
    const char* szCase;
    InstalledPolicy ePolicy;
    PolicyInput eInput;
    const char* szArguments;
    int nExit;
    const char* szSays; // the launcher's one text ends so; null for a start
};
const HandOverRow c_handOverRows[] = {
    {"held, the hook's policy handed over", InstalledPolicy::Held, PolicyInput::HooksSection,
     "\"{victim}\" /x/D:{plugin}", 0, nullptr},
    {"held, nothing handed over", InstalledPolicy::Held, PolicyInput::None, "\"{victim}\" /x/D:{plugin}", 8,
     ": the policy file is held open by another program and no policy was handed over; nothing started"},
    {"held, a forged policy file as the standard input", InstalledPolicy::Held, PolicyInput::ForgedFile,
     "\"{r}\\plain\\stranger.exe\" /x/D:{plugin}", 8,
     ": the policy file is held open by another program and no policy was handed over; nothing started"},
    {"held, a section that holds no policy", InstalledPolicy::Held, PolicyInput::SectionOfNoPolicy,
     "\"{victim}\" /x/D:{plugin}", 8,
     ": the policy file is held open by another program and no policy was handed over; nothing started"},
    {"missing, the hook's policy handed over", InstalledPolicy::Missing, PolicyInput::HooksSection,
     "\"{victim}\" /x/D:{plugin}", 8, ": no valid policy file; nothing started"},
};

// The standard input of a row's launcher.
vm::UniqueNullHandle MakePolicyInput(PolicyInput a_eInput, const std::string& a_strPolicy, const std::string& a_strForged)
{
    switch (a_eInput) {
    case PolicyInput::HooksSection:
        return vm::MakePolicySection(a_strPolicy.data(), a_strPolicy.size());
    case PolicyInput::SectionOfNoPolicy:
        return vm::MakePolicySection("not a policy", 12);
    case PolicyInput::ForgedFile: {
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        return vm::UniqueNullHandle(
            CreateFileA(a_strForged.c_str(), GENERIC_READ, FILE_SHARE_READ, &sa, OPEN_EXISTING, 0, nullptr));
    }
    default:
        return vm::UniqueNullHandle();
    }
}

TEST_F(LauncherTest, DecidesByTheHandedOverPolicyOnlyWhileTheFileIsHeld)
{
    const std::string strPolicy = Expand("{product}\\company.ccf");
    const std::string strAway = strPolicy + ".away";
    const std::string strGood = vmtest::ReadFile(strPolicy);
    const std::string strForged = s_strRoot + "\\forged.ccf";
    vmtest::WriteFile(strForged, vmtest::SealPolicy({{"CompanyID", "ACME"}, {"stranger.exe", "vmplugin.dll"},
                                                     {"TrustedFolders", Expand("{r}\\plain")}}));
    for (const HandOverRow& row : c_handOverRows) {
        std::string strArguments = Expand(row.szArguments);
        SCOPED_TRACE(std::string(row.szCase) + ": " + strArguments);
        DeleteFileA(m_strRecord.c_str());
        vm::UniqueNullHandle input = MakePolicyInput(row.eInput, strGood, strForged);
        ASSERT_EQ(row.eInput != PolicyInput::None, static_cast<bool>(input)) << GetLastError();
        DebuggedRun run;
        if (row.ePolicy == InstalledPolicy::Held) {
            vm::UniqueFileHandle held(CreateFileA(strPolicy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(held) << GetLastError();
            run = RunLauncher(strArguments, "", nullptr, input.get());
        } else {
            ASSERT_TRUE(MoveFileExA(strPolicy.c_str(), strAway.c_str(), MOVEFILE_REPLACE_EXISTING));
            run = RunLauncher(strArguments, "", nullptr, input.get());
            ASSERT_TRUE(MoveFileExA(strAway.c_str(), strPolicy.c_str(), MOVEFILE_REPLACE_EXISTING));
        }
        EXPECT_EQ(row.nExit, run.nExit) << ::testing::PrintToString(run.texts);
        if (row.szSays) {
            ASSERT_EQ(1u, run.texts.size()) << ::testing::PrintToString(run.texts);
            const std::string strSays = row.szSays;
            EXPECT_EQ(strSays, run.texts[0].substr(run.texts[0].size() - std::min(run.texts[0].size(), strSays.size())));
            for (const char* szProgram : c_szFailurePrograms)
                vmtest::TerminateProcesses(szProgram);
            vmtest::TerminateProcesses("stranger.exe");
            EXPECT_FALSE(vmtest::FileExists(m_strRecord)) << "the application ran: " << vmtest::ReadFile(m_strRecord);
            continue;
        }
        ASSERT_TRUE(WaitRecord());
        auto record = ReadProbeRecord(m_strRecord);
        EXPECT_EQ(0, lstrcmpiA(Expand("{plugin}").c_str(), record["pluginpath"].c_str())) << record["pluginpath"];
        // The application inherits neither the section nor any variable.
        EXPECT_EQ("0", record["stdinsection"]);
    }
    DeleteFileA(strForged.c_str());
}

// A plug-in's imports come from its own folder: a same-named module in the
// application's working directory is never loaded in their place.
TEST_F(LauncherTest, ThePluginsImportsComeFromItsOwnFolder)
{
    CopyFileA((vmtest::TestDir() + "\\vmdep.dll").c_str(), Expand("{work}\\vmdep.dll").c_str(), FALSE);
    DebuggedRun run = RunLauncher(Expand("\"{r}\\plain\\depapp.exe\" /x/D:{install}\\depplug.dll/D:{work}"));
    DeleteFileA(Expand("{work}\\vmdep.dll").c_str());
    ASSERT_EQ(0, run.nExit) << ::testing::PrintToString(run.texts);
    ASSERT_TRUE(WaitRecord());
    auto record = ReadProbeRecord(m_strRecord);
    EXPECT_EQ(0, lstrcmpiA(Expand("{install}\\vmdep.dll").c_str(), record["deppath"].c_str()))
        << record["deppath"];
}

// ---- the sample plug-in ------------------------------------------------------

// The plug-in serves only a program the trust rule lets receive it: a process
// that loads it by itself is refused, and the plug-in says so.
// rundll32's exit code says nothing of what the export answered.
constexpr int c_nAnyExit = -100;

struct PluginHostRow {
    const char* szCase;
    const char* szHost;   // the program that loads the plug-in and uses it
    const char* szPlugin;
    int nExit;            // what VmPluginServes answered: 1 serves, 0 refuses; c_nAnyExit: not told
    const char* szText;   // the plug-in's one text, up to the process id
    const char* szReason; // what follows the process id
    const char* szCommandLine = "\"{host}\" use \"{dll}\"";
};
const PluginHostRow c_pluginHostRows[] = {
    {"registered program in a trusted folder", "{victim}", "{plugin}", 1, "[vmplugin] loaded into victim.exe pid ", ""},
    {"registered name copied to a user's folder", "{r}\\users\\victim.exe", "{plugin}", 0,
     "[vmplugin] refused in victim.exe pid ", ": the program lies outside the trusted folders"},
    {"a program the policy never names", "{r}\\plain\\stranger.exe", "{plugin}", 0,
     "[vmplugin] refused in stranger.exe pid ", ": the policy registers no plug-in for the program"},
    {"the plug-in copied away from its policy", "{victim}", "{evil}", 0, "[vmplugin] refused in victim.exe pid ",
     ": the plug-in is no file of the installed product: it lies outside the installed product's folder"},
    // The x64 build in its "x64" subfolder reads the product folder's policy;
    // a 32-bit plug-in there is no file of the 32-bit installation.
    {"a plug-in in the x64 subfolder", "{victim}", "{product}\\x64\\vmplugin.dll",
     sizeof(void*) == 8 ? 1 : 0,
     sizeof(void*) == 8 ? "[vmplugin] loaded into victim.exe pid " : "[vmplugin] refused in victim.exe pid ",
     sizeof(void*) == 8 ? "" : ": the plug-in is no file of the installed product: it lies outside the installed "
                               "product's folder"},
    // The shipped plug-in copied beside a policy the user sealed for
    // rundll32.exe, which runs its export: no file of the installed product.
    {"a plug-in copied beside a policy of the user's, run by rundll32", "{sys}\\rundll32.exe",
     "{copy}\\vmplugin.dll", c_nAnyExit, "[vmplugin] refused in rundll32.exe pid ",
     ": the plug-in is no file of the installed product: it lies outside the installed product's folder",
     "\"{host}\" {dll},VmPluginServes"},
    // A program in a user's folder that writes C:\windows\notepad.exe (which
    // the policy registers) into its own loader list and process parameters:
    // judged by the image the system mapped.
    {"a host that names itself notepad.exe in its own memory", "{r}\\users\\victim.exe", "{plugin}", 0,
     "[vmplugin] refused in victim.exe pid ", ": the program lies outside the trusted folders",
     "\"{host}\" use-masked \"{dll}\""},
};

TEST_F(LauncherTest, ThePluginServesOnlyAProgramTheTrustRuleLetsReceiveIt)
{
    for (const PluginHostRow& row : c_pluginHostRows) {
        SCOPED_TRACE(row.szCase);
        std::string strHost = Expand(row.szHost);
        DebuggedRun run =
            RunDebugged(strHost, ::Expand(row.szCommandLine, {{"{host}", strHost}, {"{dll}", Expand(row.szPlugin)}}), "");
        if (row.nExit != c_nAnyExit) {
            EXPECT_EQ(row.nExit, run.nExit);
        }
        std::vector<std::string> texts;
        for (const std::string& strText : run.texts)
            if (strText.rfind("[vmplugin]", 0) == 0)
                texts.push_back(strText);
        ASSERT_EQ(1u, texts.size()) << ::testing::PrintToString(run.texts);
        std::string strText = texts[0];
        ASSERT_EQ(0u, strText.rfind(row.szText, 0)) << strText;
        size_t iReason = strText.find_first_not_of("0123456789", std::strlen(row.szText));
        EXPECT_GT(iReason, std::strlen(row.szText)) << strText;
        EXPECT_EQ(row.szReason, iReason == std::string::npos ? std::string() : strText.substr(iReason));
    }
}

} // namespace
