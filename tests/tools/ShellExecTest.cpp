// shellexec.exe as scripts see it: its arguments, the record a hook gets,
// the output lines and their order, the exit codes and the fallback. The
// test hook (TestHook.cpp) answers by verb and traces what it was given.

#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"
#include "tests/tools/TestHookIds.h"
#include "tests/tools/ToolsRegistration.h"
#include "tools/shellexec/FolderWhatIf.h"
#include "tools/shellexec/HookModule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

using vmtest::CToolRun;
using Lines = std::vector<std::string>;
using vmtest::Joined;
using Args = std::vector<std::string>;

const char c_szHookA[] = TOOLS_TESTHOOK_A;
const char c_szHookB[] = TOOLS_TESTHOOK_B;
const char c_szHookNone[] = TOOLS_TESTHOOK_NONE;
const char c_szRealHook[] = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
const char c_szClassKey[] = "vmtools.shellexec.class";

std::string ShellExecPath()
{
    return vmtest::BinDir() + "\\shellexec.exe";
}

// The trace line the test hook writes for the record it got.
std::string RecordLine(const char* a_szHook, const std::string& a_strFields)
{
    return std::string("debug: testhook ") + a_szHook + ": " + a_strFields;
}

// The line that ends every request.
const std::string c_strHandedBack = "verdict: handed back to Windows";
std::string TakenBy(const char* a_szClsid, int a_nInstApp)
{
    return std::string("verdict: taken over by hook ") + a_szClsid + " (hInstApp " + std::to_string(a_nInstApp) + ")";
}

class ShellExecTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(vmtest::FileExists(ShellExecPath())) << ShellExecPath();
        std::string strModule = vmtest::TestDir() + "\\tools_testhook.dll";
        m_pHookA = std::make_unique<vmtest::CClassRegistration>(c_szHookA, strModule);
        m_pHookB = std::make_unique<vmtest::CClassRegistration>(c_szHookB, strModule);
        m_pList = std::make_unique<vmtest::CHookListOverride>();
        m_pClassKey = std::make_unique<vmtest::CClassKey>(c_szClassKey, "ShellexecTestClass");
        ASSERT_TRUE(m_pHookA->Ok() && m_pHookB->Ok() && m_pList->Ok());
    }

    void TearDown() override
    {
        m_pClassKey.reset();
        m_pList.reset();
        m_pHookB.reset();
        m_pHookA.reset();
    }

    void ListHooks(const Lines& a_names)
    {
        for (const std::string& strName : a_names)
            ASSERT_TRUE(m_pList->Add(strName)) << strName;
    }

    CToolRun Run(const Args& a_args)
    {
        CToolRun run = vmtest::RunTool(ShellExecPath(), a_args);
        EXPECT_TRUE(run.m_bEnded) << run.m_strCommand;
        return run;
    }

    void ExpectRun(const Args& a_args, const Lines& a_expected, DWORD a_dwExit)
    {
        CToolRun run = Run(a_args);
        SCOPED_TRACE(run.m_strCommand);
        EXPECT_EQ(a_expected, run.m_lines) << "expected:\n" << Joined(a_expected) << "got:\n"
                                           << Joined(run.m_lines) << run.m_strErr;
        EXPECT_EQ(a_dwExit, run.m_dwExit);
    }

    std::unique_ptr<vmtest::CClassRegistration> m_pHookA;
    std::unique_ptr<vmtest::CClassRegistration> m_pHookB;
    std::unique_ptr<vmtest::CHookListOverride> m_pList;
    std::unique_ptr<vmtest::CClassKey> m_pClassKey;
};

TEST_F(ShellExecTest, ArgumentsThatMakeNoRequestExit2WithAMessage)
{
    const Args rows[] = {
        {},                                                        // no FILE
        {"a.txt", "b.txt"},                                        // two FILEs
        {"--verb"},                                                // option without its value
        {"--verb", "open", "--verb", "print", "a.txt"},            // an option twice
        {"--bogus", "a.txt"},                                      // unknown option
        {"--no-file", "a.txt"},                                    // --no-file and a FILE
        {"--clsid", "8D0C1A10-5E2B-4C61-9B7A-1F3E2D4C5B01", "a"}, // class id without braces
        {"--clsid", "{8D0C1A10-5E2B-4C61-9B7A-1F3E2D4C5B0G}", "a"}, // not hex
        {"--clsid", "{8D0C1A10-5E2B-4C61-9B7A-1F3E2D4C5B011}", "a"}, // one digit too many
        {"--clsid", "Vormidmgr.DocHook.1", "a"},                   // a ProgID is no class id
        {"--class", "vmtools.no.such.class", "a.txt"},             // class key that does not open
        {"--class", "", "a.txt"},                                  // empty class key
        {"--folder", "C:\\windows"},                               // a folder's what-if that is not dry
        {"--dry-run", "--folder", "C:\\windows", "a.txt"},         // a folder and a FILE
        {"--csv", "a.txt"},                                        // a table of one request
    };
    ListHooks({c_szHookA});
    for (const Args& args : rows) {
        CToolRun run = Run(args);
        SCOPED_TRACE(run.m_strCommand);
        EXPECT_EQ(2u, run.m_dwExit);
        EXPECT_EQ(Lines{}, run.m_lines) << Joined(run.m_lines);
        EXPECT_EQ(0u, run.m_strErr.find("shellexec: ")) << run.m_strErr;
    }
}

TEST_F(ShellExecTest, HelpPrintsUsageAndExitCodes)
{
    CToolRun run = Run({"--help"});
    EXPECT_EQ(0u, run.m_dwExit);
    ASSERT_FALSE(run.m_lines.empty());
    EXPECT_EQ(0u, run.m_lines[0].find("usage: shellexec")) << run.m_lines[0];
    std::string strAll = Joined(run.m_lines);
    for (const char* szPart : {"--no-fallback", "--no-file", "Exit codes:", "An empty or missing hook list"})
        EXPECT_NE(std::string::npos, strAll.find(szPart)) << szPart;
}

// Each row: the arguments after "--clsid A --trace --no-fallback", the file
// text shown after the call, and the record fields the hook traced.
struct CRecordRow {
    Args m_args;
    const char* m_szFile;
    const char* m_szFields;
};

TEST_F(ShellExecTest, TheHookGetsTheRecordTheArgumentsDescribe)
{
    const CRecordRow rows[] = {
        // no --verb: a NULL verb; the other texts NULL too
        {{"x.txt"}, "x.txt",
         "verb=(null) file=[x.txt] params=(null) dir=(null) mask=0x0 nShow=1 hInstApp=0 class=(none)"},
        // --verb "": an empty verb, not a NULL one
        {{"--verb", "", "x.txt"}, "x.txt",
         "verb=[] file=[x.txt] params=(null) dir=(null) mask=0x0 nShow=1 hInstApp=0 class=(none)"},
        // every text option in its own field, spaces kept
        {{"--verb", "print", "--params", "-p 1 \"q\"", "--dir", "C:\\some dir", "C:\\d\\y.doc"}, "C:\\d\\y.doc",
         "verb=[print] file=[C:\\d\\y.doc] params=[-p 1 \"q\"] dir=[C:\\some dir] mask=0x0 nShow=1 hInstApp=0 "
         "class=(none)"},
        // --no-file: lpFile NULL, shown as (null)
        {{"--no-file", "--verb", "OpenHomePage"}, "(null)",
         "verb=[OpenHomePage] file=(null) params=(null) dir=(null) mask=0x0 nShow=1 hInstApp=0 class=(none)"},
        // --class: the opened key as hkeyClass, flagged with SEE_MASK_CLASSKEY
        {{"--class", c_szClassKey, "x.txt"}, "x.txt",
         "verb=(null) file=[x.txt] params=(null) dir=(null) mask=0x3 nShow=1 hInstApp=0 class=[ShellexecTestClass]"},
        // "--" lets a FILE begin with "--"
        {{"--verb", "open", "--", "--odd"}, "--odd",
         "verb=[open] file=[--odd] params=(null) dir=(null) mask=0x0 nShow=1 hInstApp=0 class=(none)"},
        // options may follow FILE
        {{"x.txt", "--verb", "edit"}, "x.txt",
         "verb=[edit] file=[x.txt] params=(null) dir=(null) mask=0x0 nShow=1 hInstApp=0 class=(none)"},
    };
    for (const CRecordRow& row : rows) {
        Args args = {"--clsid", c_szHookA, "--trace", "--no-fallback"};
        args.insert(args.end(), row.m_args.begin(), row.m_args.end());
        ExpectRun(args,
                  {"hook " + std::string(c_szHookA) + " -> S_FALSE", "hInstApp=0",
                   std::string("lpFile=") + row.m_szFile, RecordLine("A", "start\\n"),
                   RecordLine("A", row.m_szFields), c_strHandedBack},
                  1);
    }
}

// Each row: verb and options for the list A, B, unregistered; the lines and
// the exit code.
struct CListRow {
    Args m_args;
    Lines m_expected;
    DWORD m_dwExit;
};

TEST_F(ShellExecTest, HooksAreOfferedInRegistryOrderUntilTheFirstSOk)
{
    const std::string strA = std::string("hook ") + c_szHookA + " -> ";
    const std::string strB = std::string("hook ") + c_szHookB + " -> ";
    // The platform's words follow each code (Wine has none for 0x80040154: ours).
    const std::string strNone = std::string("hook ") + c_szHookNone + " -> 0x80040154 (Class not registered)";
    const std::string strFailed = "0x80004005 (Call failed)";
    const CListRow rows[] = {
        // the first hook takes it: the others are not offered, nothing falls back
        {{"--verb", "take", "x.txt"}, {strA + "S_OK", "hInstApp=42", "lpFile=x.txt", TakenBy(c_szHookA, 42)}, 0},
        // the second takes it: hInstApp is its own
        {{"--verb", "take-b", "x.txt"},
         {strA + "S_FALSE", strB + "S_OK", "hInstApp=43", "lpFile=x.txt", TakenBy(c_szHookB, 43)},
         0},
        // all hand it back; the class that cannot be created shows its error
        {{"--verb", "bogus", "--no-fallback", "x.txt"},
         {strA + "S_FALSE", strB + "S_FALSE", strNone, "hInstApp=0", "lpFile=x.txt", c_strHandedBack}, 1},
        // a failing call is shown in hex and words, and the next hook is still offered
        {{"--verb", "fail", "--no-fallback", "x.txt"},
         {strA + strFailed, strB + strFailed, strNone, "hInstApp=0", "lpFile=x.txt", c_strHandedBack}, 1},
        // the trace of the taking hook only, in the order written
        {{"--verb", "take", "--trace", "x.txt"},
         {strA + "S_OK", "hInstApp=42", "lpFile=x.txt", RecordLine("A", "start\\n"),
          RecordLine("A", "verb=[take] file=[x.txt] params=(null) dir=(null) mask=0x0 nShow=1 hInstApp=0 "
                          "class=(none)"),
          RecordLine("A", "taken\\n"), TakenBy(c_szHookA, 42)},
         0},
        // --clsid overrides the list
        {{"--clsid", c_szHookB, "--verb", "take", "x.txt"},
         {strB + "S_OK", "hInstApp=43", "lpFile=x.txt", TakenBy(c_szHookB, 43)},
         0},
    };
    ListHooks({c_szHookA, c_szHookB, c_szHookNone});
    for (const CListRow& row : rows)
        ExpectRun(row.m_args, row.m_expected, row.m_dwExit);
}

TEST_F(ShellExecTest, TheHookRewritesTheFileInPlaceInABufferOfAtLeastMaxPath)
{
    const std::string str259(259, 'n');
    const std::string str260(260, 'n');
    const std::string str300 = "C:\\" + std::string(297, 'l');
    const struct {
        Args m_args;
        std::string m_strFile;
    } rows[] = {
        // enclosing quotes removed in place by the hook
        {{"\"C:\\some dir\\x.txt\""}, "C:\\some dir\\x.txt"},
        // the hook fills MAX_PATH bytes of a short file's buffer
        {{"--verb", "fill", "x"}, std::string(MAX_PATH - 1, 'f')},
        // exactly MAX_PATH - 1 characters: fits the minimum buffer
        {{str259}, str259},
        // MAX_PATH characters and more: the buffer grows with the text
        {{str260}, str260},
        {{str300}, str300},
    };
    for (const auto& row : rows) {
        Args args = {"--clsid", c_szHookA, "--no-fallback"};
        args.insert(args.end(), row.m_args.begin(), row.m_args.end());
        ExpectRun(args,
                  {"hook " + std::string(c_szHookA) + " -> S_FALSE", "hInstApp=0", "lpFile=" + row.m_strFile,
                   c_strHandedBack},
                  1);
    }
}

TEST_F(ShellExecTest, NoHookThatCanBeCreatedExits2WithoutFallingBack)
{
    // an unregistered class given alone
    ExpectRun({"--clsid", c_szHookNone, "x.txt"},
              {"hook " + std::string(c_szHookNone) + " -> 0x80040154 (Class not registered)", "hInstApp=0",
               "lpFile=x.txt", "verdict: not decided: no hook could be created"},
              2);
    // a listed value that is no class id is not looked up as a ProgID
    ListHooks({"Vormidmgr.DocHook.1"});
    ExpectRun({"x.txt"}, {"hook Vormidmgr.DocHook.1 -> 0x800401F3 (Invalid class string)", "hInstApp=0",
                          "lpFile=x.txt", "verdict: not decided: no hook could be created"},
              2);
}

TEST_F(ShellExecTest, AnEmptyHookListFallsBack)
{
    std::string strDir = vmtest::MakeScratchDir("shellexec-empty");
    std::string strMissing = strDir + "\\missing.txt";
    ExpectRun({"--no-fallback", strMissing}, {"hInstApp=0", "lpFile=" + strMissing, c_strHandedBack}, 1);
    ExpectRun({strMissing},
              {"hInstApp=0", "lpFile=" + strMissing, "shell: failed: File not found (2)",
               c_strHandedBack + ", which could not carry it out"},
              1);
    vmtest::RemoveTree(strDir);
}

TEST_F(ShellExecTest, HandedBackRequestsAreCarriedOutByTheShell)
{
    std::string strDir = vmtest::MakeScratchDir("shellexec-fallback");
    std::string strProbe = vmtest::TestDir() + "\\vmprobe.exe";
    std::string strMarker = strDir + "\\marker.txt";
    std::string strParams = "record " + vmtest::QuoteArgument(strMarker);
    std::string strHookA = "hook " + std::string(c_szHookA) + " -> S_FALSE";
    ListHooks({c_szHookA});

    // the program runs with the parameters: the shell carried it out
    ExpectRun({"--params", strParams, strProbe},
              {strHookA, "hInstApp=0", "lpFile=" + strProbe, "shell: ok", c_strHandedBack + ", which carried it out"},
              0);
    for (int i = 0; i < 100 && !vmtest::FileExists(strMarker); ++i)
        Sleep(100);
    EXPECT_NE(std::string::npos, vmtest::ReadFile(strMarker).find("marker")) << strMarker;

    // a missing file: the shell's error, exit 1
    std::string strMissing = strDir + "\\missing.txt";
    ExpectRun({"--verb", "open", strMissing},
              {strHookA, "hInstApp=0", "lpFile=" + strMissing, "shell: failed: File not found (2)",
               c_strHandedBack + ", which could not carry it out"},
              1);
    // no file at all
    CToolRun run = Run({"--no-file"});
    ASSERT_EQ(5u, run.m_lines.size()) << Joined(run.m_lines);
    EXPECT_EQ("lpFile=(null)", run.m_lines[2]);
    EXPECT_EQ(0u, run.m_lines[3].find("shell: failed: ")) << run.m_lines[3];
    EXPECT_EQ(1u, run.m_dwExit);
    vmtest::RemoveTree(strDir);
}

TEST_F(ShellExecTest, TheProductHookHandsBackAnUnknownVerbAndTraces)
{
    vmtest::CClassRegistration realHook(c_szRealHook, vmtest::BinDir() + "\\vormidmgr.dll");
    ASSERT_TRUE(realHook.Ok());
    CToolRun run = Run({"--clsid", c_szRealHook, "--verb", "bogus", "--trace", "--no-fallback", "C:\\x.txt"});
    SCOPED_TRACE(run.m_strCommand);
    std::string strAll = Joined(run.m_lines);
    ASSERT_GE(run.m_lines.size(), 4u) << strAll;
    EXPECT_EQ("hook " + std::string(c_szRealHook) + " -> S_FALSE", run.m_lines[0]);
    EXPECT_EQ("hInstApp=0", run.m_lines[1]);
    EXPECT_EQ("lpFile=C:\\x.txt", run.m_lines[2]);
    EXPECT_EQ(1u, run.m_dwExit);
    size_t cStart = 0;
    for (size_t i = 3; i + 1 < run.m_lines.size(); ++i) {
        EXPECT_EQ(0u, run.m_lines[i].find("debug: ")) << run.m_lines[i];
        if (run.m_lines[i].find("debug: ~~~~~~CDocHook::Execute Start(") == 0)
            ++cStart;
    }
    EXPECT_EQ(1u, cStart) << strAll;
    EXPECT_EQ(0u, run.m_lines.back().find("verdict: ")) << strAll;
}

// A dry run decides as a real request would, by the draft policy given, and
// starts nothing: no launcher, no application, no regsvr32, no registry
// write. Its verdict says what would have happened.
TEST_F(ShellExecTest, ADryRunDecidesByTheDraftPolicyAndStartsNothing)
{
    vmtest::CClassRegistration realHook(c_szRealHook, vmtest::BinDir() + "\\vormidmgr.dll");
    ASSERT_TRUE(realHook.Ok());
    std::string strDir = vmtest::MakeScratchDir("shellexec-dry");
    std::string strApp = strDir + "\\probe.exe", strDocument = strDir + "\\plan.vmdry";
    ASSERT_TRUE(CopyFileA(vmtest::ProbeExe().c_str(), strApp.c_str(), FALSE));
    vmtest::WriteFile(strDocument, "plan");
    const vmtest::PolicyFields draft = {{"CompanyID", "DRY"}, {"probe.exe", "vmplugin.dll"},
                                        {"outside.exe", "vmplugin.dll"}, {"run.bat", "vmplugin.dll"},
                                        {"TrustedFolders", strDir}};
    vmtest::WriteFile(strDir + "\\draft.ccf", vmtest::SealPolicy(draft));
    vmtest::WriteFile(strDir + "\\broken.ccf", "not a policy");
    vmtest::CClassKey ext(".vmdry", "VmDry.Document");
    vmtest::CClassKey command("VmDry.Document\\shell\\open\\command", "\"" + strApp + "\" \"%1\"");
    // A batch file as a type's program, as tool kits register theirs; it
    // leaves a mark when it runs.
    const std::string strBatch = strDir + "\\run.bat", strBatchDocument = strDir + "\\hello.vmbat";
    const std::string strBatchMark = strDir + "\\batch-ran.txt";
    vmtest::WriteFile(strBatch, "@echo off\r\necho ran> \"" + strBatchMark + "\"\r\n");
    vmtest::WriteFile(strBatchDocument, "int main;");
    vmtest::CClassKey batchExt(".vmbat", "VmDry.Batch");
    vmtest::CClassKey batchCommand("VmDry.Batch\\shell\\open\\command", "\"" + strBatch + "\" \"%1\" %*");
    const std::string strBatchVerdict = "verdict: refused (5): " + strBatch +
                                        " is a batch file: it runs in the command interpreter cmd.exe, where the "
                                        "plug-in protects nothing the batch file starts";
    // A folder for the what-if: a controlled document, one of a program
    // outside the trusted folders, and one of no type, in a subfolder.
    std::string strOutside = vmtest::MakeScratchDir("shellexec-dry-outside") + "\\outside.exe";
    ASSERT_TRUE(CopyFileA(vmtest::ProbeExe().c_str(), strOutside.c_str(), FALSE));
    vmtest::CClassKey outsideExt(".vmout", "VmDry.Outside");
    vmtest::CClassKey outsideCommand("VmDry.Outside\\shell\\open\\command", "\"" + strOutside + "\" \"%1\"");
    const std::string strFolder = strDir + "\\folder";
    CreateDirectoryA(strFolder.c_str(), nullptr);
    CreateDirectoryA((strFolder + "\\sub").c_str(), nullptr);
    // A name a spreadsheet reading ';'-separated lists would cut into formulas.
    for (const char* szName : {"\\plan, final.vmdry", "\\outside.vmout", "\\q;=1+2;@SUM(3).vmdry",
                               "\\sub\\notes.vmnone"})
        vmtest::WriteFile(strFolder + szName, "text");
    const std::string c_strAddin = "Software\\Microsoft\\Office\\Word\\Addins\\Quorix01.Word9AddIn";
    // An earlier real request's upkeep may still be registering the add-in.
    vmtest::WaitUntil([] { return vmtest::CountProcesses("regsvr32.exe") == 0; }, 30000);
    RegDeleteTreeA(HKEY_CURRENT_USER, c_strAddin.c_str());
    std::string strRecord = strDir + "\\record.txt";
    SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, strRecord.c_str());
    const std::string strLauncher = vmtest::BinDir() + "\\vormidmgr.exe ";
    const std::string strToolsPage = vmtest::SourcePath("docs\\tools.md");
    const struct {
        Args m_args;
        std::string m_strLast;   // the last line
        Lines m_lines;           // lines the output holds; none: nothing would start
        DWORD m_dwExit;
        const char* m_szQuoted = nullptr; // what docs/tools.md quotes of the last line, word for word
    } rows[] = {
        {{"--policy", strDir + "\\draft.ccf", strDocument},
         "verdict: controlled: probe.exe starts through the launcher with vmplugin.dll",
         {"would start: " + strLauncher + strApp + " \"" + strDocument + "\"/D:" + vmtest::BinDir() + "\\vmplugin.dll"}, 0},
        // The folder's what-if: a line a file, sorted, then the counts.
        {{"--policy", strDir + "\\draft.ccf", "--folder", strFolder},
         "total: 4 files: 2 controlled, 1 handed back, 1 refused (5)",
         // A refused row names the program and plug-in the decision knew.
         {strFolder + "\\outside.vmout | refused (5) | outside.exe | vmplugin.dll | " + strOutside +
              " is outside the trusted folders (Windows, Program Files, TrustedFolders)",
          strFolder + "\\plan, final.vmdry | controlled | probe.exe | vmplugin.dll | starts through the launcher",
          strFolder + "\\q;=1+2;@SUM(3).vmdry | controlled | probe.exe | vmplugin.dll | starts through the launcher",
          strFolder + "\\sub\\notes.vmnone | handed back | - | - | no application is associated with the file type"},
         0},
        // The same as a table: every field quoted; the name that a ';' reading
        // cuts into formulas begins, and each of its cells begins, with "'".
        {{"--policy", strDir + "\\draft.ccf", "--folder", strFolder, "--csv"},
         "\"" + strFolder + "\\sub\\notes.vmnone\",\"handed back\",\"\",\"\","
             "\"no application is associated with the file type\"",
         {"\"document\",\"verdict\",\"program\",\"plug-in\",\"reason\"",
          "\"" + strFolder + "\\plan, final.vmdry\",\"controlled\",\"probe.exe\",\"vmplugin.dll\","
              "\"starts through the launcher\"",
          "\"'" + strFolder + "\\q;'=1+2;'@SUM(3).vmdry\",\"controlled\",\"probe.exe\",\"vmplugin.dll\","
              "\"starts through the launcher\""},
         0},
        {{"--policy", strDir + "\\draft.ccf", "--params", "/D:x", strDocument},
         "verdict: refused (5): request text holds the launcher's argument mark", {}, 0,
         "verdict: refused (5): request text holds the launcher's argument mark"},
        {{"--policy", strDir + "\\draft.ccf", strDir + "\\notes.vmnone"},
         "verdict: handed back to Windows (no application is associated with the file type)", {}, 1,
         "verdict: handed back to Windows (no application is associated with the file type)"},
        {{"--policy", strDir + "\\missing.ccf", strDocument},
         "verdict: protection is off: the draft policy " + strDir + "\\missing.ccf cannot be used (missing or unreadable)",
         {}, 1, " cannot be used (missing or unreadable)"},
        // The interpreter would hold the plug-in, not the batch file: refused
        // as the real start refuses it (below).
        {{"--policy", strDir + "\\draft.ccf", strBatchDocument}, strBatchVerdict, {}, 0},
        // The draft is named, with what is wrong with it.
        {{"--policy", strDir + "\\broken.ccf", strDocument},
         "verdict: protection is off: the draft policy " + strDir +
             "\\broken.ccf cannot be used (wrong first line (expected \"LUMIDEX-CCF 1\"))",
         {}, 1},
    };
    for (const auto& row : rows) {
        Args args = {"--clsid", c_szRealHook, "--verb", "open", "--dry-run"};
        args.insert(args.end(), row.m_args.begin(), row.m_args.end());
        CToolRun run = Run(args);
        SCOPED_TRACE(run.m_strCommand);
        ASSERT_FALSE(run.m_lines.empty()) << run.m_strErr;
        EXPECT_EQ(row.m_strLast, run.m_lines.back()) << Joined(run.m_lines);
        for (const std::string& strLine : row.m_lines)
            EXPECT_NE(std::find(run.m_lines.begin(), run.m_lines.end(), strLine), run.m_lines.end())
                << strLine << "\nnot in:\n" << Joined(run.m_lines);
        if (row.m_lines.empty()) {
            EXPECT_EQ(std::string::npos, Joined(run.m_lines).find("would start: ")) << Joined(run.m_lines);
        }
        EXPECT_EQ(row.m_dwExit, run.m_dwExit);
        // The page quotes the tool: it must say what the tool says.
        if (row.m_szQuoted) {
            EXPECT_NE(std::string::npos, run.m_lines.back().find(row.m_szQuoted));
            EXPECT_NE(std::string::npos, vmtest::ReadFile(strToolsPage).find(row.m_szQuoted))
                << "docs/tools.md does not quote: " << row.m_szQuoted;
        }
    }
    // Whatever a run started was created before the run ended; once none of
    // it runs, its records and registry writes are all in place.
    vmtest::WaitUntil([] {
        return vmtest::CountProcesses("regsvr32.exe") + vmtest::CountProcesses("vormidmgr.exe") +
                   vmtest::CountProcesses("probe.exe") == 0;
    }, 30000);
    EXPECT_FALSE(vmtest::FileExists(strRecord)) << "the application ran";
    vm::UniqueKey addin;
    EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, c_strAddin.c_str(), 0, KEY_READ, addin.put()))
        << "the Office upkeep wrote the registry";

    // The real start of the batch file's document, by the same policy
    // installed: refused in the same words, and nothing runs.
    const std::string strPolicy = vmtest::BinDir() + "\\company.ccf";
    vmtest::WriteFile(strPolicy, vmtest::SealPolicy(draft));
    CToolRun real = Run({"--clsid", c_szRealHook, "--verb", "open", strBatchDocument});
    DeleteFileA(strPolicy.c_str());
    ASSERT_FALSE(real.m_lines.empty()) << real.m_strErr;
    EXPECT_EQ(std::string("hook ") + c_szRealHook + " -> S_OK", real.m_lines[0]) << Joined(real.m_lines);
    EXPECT_EQ(strBatchVerdict, real.m_lines.back()) << Joined(real.m_lines);
    vmtest::WaitUntil([] { return vmtest::CountProcesses("vormidmgr.exe") + vmtest::CountProcesses("cmd.exe") == 0; },
                      30000);
    EXPECT_FALSE(vmtest::FileExists(strBatchMark)) << "the batch file ran";
    SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, nullptr);
    vmtest::RemoveTree(strDir);
    vmtest::RemoveTree(strOutside.substr(0, strOutside.rfind('\\')));
}

// A new host that finds the policy file held open by another program
// refuses a controlled type instead of handing it back unprotected.
TEST_F(ShellExecTest, AHeldPolicyFileRefusesControlledTypesInANewHost)
{
    vmtest::CClassRegistration realHook(c_szRealHook, vmtest::BinDir() + "\\vormidmgr.dll");
    ASSERT_TRUE(realHook.Ok());
    std::string strDir = vmtest::MakeScratchDir("shellexec-held");
    std::string strDocument = strDir + "\\plan.vmheld";
    vmtest::WriteFile(strDocument, "plan");
    ASSERT_TRUE(CopyFileA(vmtest::ProbeExe().c_str(), (strDir + "\\probe.exe").c_str(), FALSE));
    vmtest::CClassKey ext(".vmheld", "VmHeld.Document");
    vmtest::CClassKey command("VmHeld.Document\\shell\\open\\command", "\"" + strDir + "\\probe.exe\" \"%1\"");
    const std::string strControl = "SOFTWARE\\Korvane\\Lumidex\\FileExts\\.vmheld";
    vmtest::SetDword(HKEY_LOCAL_MACHINE, strControl, "ControlType", 4);
    vmtest::SetString(HKEY_LOCAL_MACHINE, strControl, "Application", "probe.exe");
    std::string strPolicy = vmtest::BinDir() + "\\company.ccf";
    vmtest::WriteFile(strPolicy, vmtest::SealPolicy({{"CompanyID", "HELD"}, {"probe.exe", "vmplugin.dll"},
                                                      {"TrustedFolders", strDir}}));
    vm::UniqueFileHandle held(CreateFileA(strPolicy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    CToolRun run = Run({"--clsid", c_szRealHook, "--verb", "open", strDocument});
    held.reset();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, strControl.c_str());
    DeleteFileA(strPolicy.c_str());
    vmtest::RemoveTree(strDir);
    ASSERT_FALSE(run.m_lines.empty()) << run.m_strErr;
    EXPECT_EQ(std::string("hook ") + c_szRealHook + " -> S_OK", run.m_lines[0]) << Joined(run.m_lines);
    EXPECT_EQ("verdict: refused (5): the policy file is held open by another program", run.m_lines.back())
        << Joined(run.m_lines);
}

// A document named beyond the ANSI code page: the wide request reaches the
// application under its real name, with the plug-in when it is controlled,
// and the shell opens it when it is not. Through the ANSI interface alone
// the name is lost.
TEST_F(ShellExecTest, ANameBeyondTheAnsiCodePageOpensUnderItsRealName)
{
    // The launcher and the plug-in serve only as an installed product.
    vmtest::CInstalledProduct installed("VmShellExecTest");
    ASSERT_TRUE(installed.Ready()) << installed.Build();
    vmtest::CClassRegistration realHook(c_szRealHook, installed.Build() + "\\vormidmgr.dll");
    ASSERT_TRUE(realHook.Ok());
    std::string strDir = vmtest::MakeScratchDir("shellexec-wide");
    std::string strApp = strDir + "\\probe.exe", strFree = strDir + "\\free.exe";
    ASSERT_TRUE(CopyFileA(vmtest::ProbeExe().c_str(), strApp.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(vmtest::ProbeExe().c_str(), strFree.c_str(), FALSE));
    const std::wstring strName = L"\u03a3\u03cd\u03bc\u03b2\u03b1\u03c3\u03b7"; // Greek, not in code page 1252
    const std::string strNameUtf8 = "\xce\xa3\xcf\x8d\xce\xbc\xce\xb2\xce\xb1\xcf\x83\xce\xb7";
    // Full-width quotes, slash and colon: an ANSI program reads them as '"', '/' and ':'.
    const std::wstring strQuotes = L"q\uff02 -evil \uff02x", strMark = L"x\uff0fD\uff1ay";
    for (const std::wstring& strFileName : {strName + L".vmw", strName + L".vmf", strQuotes + L".vmw", strMark + L".vmw"}) {
        std::wstring strPath = vm::WideFromAnsi(strDir + "\\") + strFileName;
        vm::UniqueFileHandle file(CreateFileW(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file) << vm::AnsiRendering(strFileName);
    }
    std::string strPolicy = installed.Product() + "\\company.ccf";
    vmtest::WriteFile(strPolicy, vmtest::SealPolicy({{"CompanyID", "WIDE"}, {"probe.exe", "vmplugin.dll"},
                                                      {"TrustedFolders", strDir}}));
    vmtest::CClassKey controlled(".vmw", "VmWide.Document");
    vmtest::CClassKey controlledCommand("VmWide.Document\\shell\\open\\command", "\"" + strApp + "\" \"%1\"");
    vmtest::CClassKey free(".vmf", "VmFree.Document");
    vmtest::CClassKey freeCommand("VmFree.Document\\shell\\open\\command", "\"" + strFree + "\" \"%1\"");
    std::string strRecord = strDir + "\\record.txt";
    SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, strRecord.c_str());
    const struct {
        Args m_args;
        std::wstring m_strName;
        const char* m_szHook;    // the product hook's answer
        const char* m_szRecorded; // in the application's wide command line; "" when nothing may run
        const char* m_szPlugin;
    } rows[] = {
        {{}, strName + L".vmw", "S_OK", ".vmw\"", "\nplugin=1\n"},
        {{}, strName + L".vmf", "S_FALSE", ".vmf\"", "\nplugin=0\n"},
        {{"--params", "/D:x"}, strName + L".vmw", "S_OK", "", ""},
        // refused: the application would read more arguments, or the mark
        {{}, strQuotes + L".vmw", "S_OK", "", ""},
        {{}, strMark + L".vmw", "S_OK", "", ""},
    };
    for (const auto& row : rows) {
        Args args = {"--clsid", c_szRealHook, "--verb", "open"};
        args.insert(args.end(), row.m_args.begin(), row.m_args.end());
        std::wstring strFile = L"\"" + vm::WideFromAnsi(strDir + "\\") + row.m_strName + L"\"";
        CToolRun run = vmtest::RunTool(ShellExecPath(), args, 60000, strFile);
        SCOPED_TRACE(run.m_strCommand);
        ASSERT_FALSE(run.m_lines.empty()) << run.m_strErr;
        EXPECT_EQ(std::string("hook ") + c_szRealHook + " -> " + row.m_szHook, run.m_lines[0]) << Joined(run.m_lines);
        std::string strRecorded = vmtest::TakeProbeRecord(strRecord, *row.m_szRecorded ? 10000 : 1000);
        if (!*row.m_szRecorded) {
            EXPECT_EQ("", strRecorded) << "the application ran";
            continue;
        }
        EXPECT_NE(std::string::npos, strRecorded.find(strNameUtf8 + row.m_szRecorded)) << strRecorded;
        EXPECT_NE(std::string::npos, strRecorded.find(row.m_szPlugin)) << strRecorded;
    }
    SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, nullptr);
    DeleteFileA(strPolicy.c_str());
    vmtest::RemoveTree(strDir);
}

// The what-if's table as spreadsheets read it: every field quoted, and no
// cell that a comma, semicolon or tab reading cuts from a field begins a
// formula.
TEST(ShellExecCsvTest, EveryFieldIsQuotedAndNoReadingOfItBeginsAFormula)
{
    const struct {
        const char* m_szText;
        const char* m_szField;
    } rows[] = {
        {"", "\"\""},                                      // empty: quoted too
        {"controlled", "\"controlled\""},                  // a plain word: quoted only
        {"plan, final.vmd", "\"plan, final.vmd\""},        // a comma inside the quotes
        {"say \"x\"", "\"say \"\"x\"\"\""},                // an inner quote doubled
        {"a-b;c@d", "\"a-b;c@d\""},                        // formula characters inside a cell
        {"=1+2", "\"'=1+2\""},                             // each formula start at the beginning
        {"+1", "\"'+1\""},
        {"-1", "\"'-1\""},
        {"@SUM(1)", "\"'@SUM(1)\""},
        // a tab or CR begins a formula and, in a tab reading or as a line
        // break, also the next cell
        {"\t=1", "\"'\t'=1\""},
        {"\r=1", "\"'\r'=1\""},
        {" =1", "\"' =1\""},                               // a blank an import may trim
        // the name: a ';' reading cuts it into "=1+2" and "@SUM(3).vmp"
        {"C:\\csv\\q;=1+2;@SUM(3).vmp", "\"'C:\\csv\\q;'=1+2;'@SUM(3).vmp\""},
        {"C:\\a,=1", "\"'C:\\a,'=1\""},                    // a comma reading
        {"C:\\a\t-1", "\"'C:\\a\t'-1\""},                  // a tab reading
        {"C:\\a; =1", "\"'C:\\a;' =1\""},                  // a blank after the separator
        {"C:\\a;\"=1", "\"'C:\\a;'\"\"=1\""},              // a quote after the separator
        {"a\n@b", "\"'a\n'@b\""},                          // a line break begins a row
        {"a;b", "\"a;b\""},                                // a separator alone changes nothing
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("CsvField(\"") + row.m_szText + "\")");
        EXPECT_EQ(row.m_szField, CsvField(row.m_szText));
    }
}

// The dry run loads the module the machine registers for the hook's class,
// not one that the merged class view shows: HKEY_CLASSES_ROOT stands for the
// view that holds the running user's own classes.
TEST(ShellExecModuleTest, TheDryRunLoadsTheModuleTheMachineRegisters)
{
    const std::wstring strClsid = L"{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
    const std::string strServer = "CLSID\\{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}\\InprocServer32";
    const char* const c_szUser = "C:\\users\\Public\\x\\vormidmgr.dll";
    const struct {
        const char* m_szMachine; // HKLM\SOFTWARE\Classes; null: none
        const char* m_szMerged;  // HKCR; null: none
        HRESULT m_hr;
        const wchar_t* m_szModule;
    } rows[] = {
        // a per-user registration naming another module is not loaded
        {"C:\\Program Files\\Lumidex\\vormidmgr.dll", c_szUser, S_OK, L"C:\\Program Files\\Lumidex\\vormidmgr.dll"},
        // nor is it when the machine registers nothing
        {nullptr, c_szUser, REGDB_E_CLASSNOTREG, L""},
        // a module the machine names by no full path is not loaded
        {"vormidmgr.dll", c_szUser, S_FALSE, L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("machine ") + (row.m_szMachine ? row.m_szMachine : "(none)") + ", merged " +
                     (row.m_szMerged ? row.m_szMerged : "(none)"));
        vmtest::RegistryRedirect redirect("shellexec-module");
        if (row.m_szMachine)
            vmtest::SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\" + strServer, nullptr, row.m_szMachine);
        if (row.m_szMerged)
            vmtest::SetString(HKEY_CLASSES_ROOT, strServer, nullptr, row.m_szMerged);
        std::wstring strModule = L"sentinel";
        EXPECT_EQ(row.m_hr, FindMachineHookModule(strClsid, strModule));
        EXPECT_EQ(row.m_szModule, strModule);
    }
}

} // namespace
