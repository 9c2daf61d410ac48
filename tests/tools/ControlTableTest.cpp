// vmcheck --control-table against the prefix's real registry: what it
// writes is what the hook reads, in the registry view of its own build, and
// what it lists is what the hook would make of an entry.

#include "common/ControlTable.h"
#include "common/Handle.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"
#include "tests/tools/ToolsRegistration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

const char* const c_szExts[] = {".vmtab", ".vmraw", ".vmnoapp"};

std::string EntryKey(const std::string& a_strExt)
{
    return std::string(vm::c_szControlTableKey) + "\\" + a_strExt;
}

// 64-bit Windows, whichever build this test is: two registry views.
bool HasTwoViews()
{
    BOOL bWow64 = FALSE;
    return sizeof(void*) == 8 || (IsWow64Process(GetCurrentProcess(), &bWow64) && bWow64);
}

void SetInView(REGSAM a_samView, const std::string& a_strExt, DWORD a_dwType, const std::string& a_strApp)
{
    vm::UniqueKey entry;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, EntryKey(a_strExt).c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE | a_samView, nullptr, entry.put(), nullptr));
    RegSetValueExA(entry.get(), vm::c_szControlTypeValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&a_dwType),
                   sizeof(a_dwType));
    RegSetValueExA(entry.get(), vm::c_szControlAppValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(a_strApp.c_str()), static_cast<DWORD>(a_strApp.size() + 1));
}

class ControlTableTest : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override
    {
        for (REGSAM samView : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            vm::UniqueKey table;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, vm::c_szControlTableKey, 0, KEY_ALL_ACCESS | samView,
                              table.put()) != ERROR_SUCCESS)
                continue;
            for (const char* szExt : c_szExts)
                RegDeleteTreeA(table.get(), szExt);
        }
    }

    vmtest::CToolRun Run(const Args& a_args)
    {
        Args args = {"--control-table"};
        args.insert(args.end(), a_args.begin(), a_args.end());
        vmtest::CToolRun run = vmtest::RunTool(vmtest::BinDir() + "\\vmcheck.exe", args, 30000);
        EXPECT_TRUE(run.m_bEnded) << run.m_strCommand;
        return run;
    }

    static DWORD ReadControlType(const std::string& a_strExt, REGSAM a_samView = 0)
    {
        DWORD dwValue = 0xdeadbeef, cb = sizeof(dwValue);
        vm::UniqueKey entry;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, EntryKey(a_strExt).c_str(), 0, KEY_READ | a_samView, entry.put()) ==
            ERROR_SUCCESS)
            RegGetValueA(entry.get(), nullptr, vm::c_szControlTypeValue, RRF_RT_REG_DWORD, nullptr, &dwValue, &cb);
        return dwValue;
    }
};

bool HasLine(const vmtest::CToolRun& a_run, const std::string& a_strLine)
{
    return std::find(a_run.m_lines.begin(), a_run.m_lines.end(), a_strLine) != a_run.m_lines.end();
}

TEST_F(ControlTableTest, AddReplacesListsAndRemovesInBothViewsOn64BitWindows)
{
    vmtest::CToolRun add = Run({"add", ".vmtab", "4", "notepad.exe"});
    EXPECT_EQ(0u, add.m_dwExit) << add.m_strErr;
    EXPECT_EQ(Lines{".vmtab: ControlType 4 (always controlled), Application notepad.exe"}, add.m_lines);
    EXPECT_EQ(4u, ReadControlType(".vmtab"));
    // On 64-bit Windows the other build's hook reads the other view: both
    // views get the entry.
    if (HasTwoViews()) {
        EXPECT_EQ(4u, ReadControlType(".vmtab", KEY_WOW64_32KEY));
        EXPECT_EQ(4u, ReadControlType(".vmtab", KEY_WOW64_64KEY));
    }

    // A replaced entry is named; an application with no registered command is warned of.
    vmtest::CToolRun replace = Run({"add", ".vmtab", "1", "WINWORD.EXE"});
    EXPECT_EQ(0u, replace.m_dwExit);
    EXPECT_EQ((Lines{".vmtab: replaces ControlType 4 (always controlled), Application notepad.exe",
                     ".vmtab: ControlType 1 (controlled when an encrypted document is opened), Application WINWORD.EXE"}),
              replace.m_lines);
    EXPECT_NE(std::string::npos, replace.m_strErr.find("vmcheck: warning: WINWORD.EXE is not registered"))
        << replace.m_strErr;
    EXPECT_EQ(1u, ReadControlType(".vmtab"));
    vmtest::CToolRun list = Run({"list"});
    EXPECT_EQ(0u, list.m_dwExit);
    EXPECT_TRUE(HasLine(list, ".vmtab: ControlType 1 (controlled when an encrypted document is opened), "
                              "Application WINWORD.EXE"))
        << vmtest::Joined(list.m_lines);

    EXPECT_EQ(0u, Run({"remove", ".vmtab"}).m_dwExit);
    EXPECT_FALSE(vmtest::KeyExists(HKEY_LOCAL_MACHINE, EntryKey(".vmtab")));
    EXPECT_EQ(0xdeadbeefu, ReadControlType(".vmtab", KEY_WOW64_32KEY));
    EXPECT_EQ(0xdeadbeefu, ReadControlType(".vmtab", KEY_WOW64_64KEY));
    vmtest::CToolRun again = Run({"remove", ".vmtab"});
    EXPECT_EQ(1u, again.m_dwExit);
    EXPECT_NE(std::string::npos, again.m_strErr.find(".vmtab has no entry")) << again.m_strErr;
}

// Entries written by hand are listed as the hook reads them.
TEST_F(ControlTableTest, ListSaysWhatTheHookMakesOfAnEntry)
{
    // "4" as text: the hook takes its two bytes "4\0" as the number 52.
    vmtest::SetString(HKEY_LOCAL_MACHINE, EntryKey(".vmraw"), vm::c_szControlTypeValue, "4");
    vmtest::SetString(HKEY_LOCAL_MACHINE, EntryKey(".vmraw"), vm::c_szControlAppValue, "notepad.exe");
    vmtest::SetDword(HKEY_LOCAL_MACHINE, EntryKey(".vmnoapp"), vm::c_szControlTypeValue, 2);
    vmtest::CToolRun list = Run({"list"});
    SCOPED_TRACE(vmtest::Joined(list.m_lines));
    EXPECT_TRUE(HasLine(list, ".vmraw: ControlType 52 (never controlled: not a known ControlType), stored as "
                              "registry type 1 and read as raw bytes, Application notepad.exe"));
    EXPECT_TRUE(HasLine(list, ".vmnoapp: ControlType 2 (controlled when the document is encrypted), "
                              "no Application (the entry is not used)"));
}

// On 64-bit Windows vmcheck compares the two views' tables: an entry that
// differs fails, with the commands that make both alike.
TEST_F(ControlTableTest, AnEntryThatDiffersBetweenTheViewsFails)
{
    if (!HasTwoViews())
        GTEST_SKIP() << "one registry view on 32-bit Windows";
    const std::string strFix = ". Fix: run: vmcheck --control-table add ";
    const std::string strRemove = "vmcheck --control-table remove .vmtab; either writes both views";
    const struct {
        DWORD m_dwType64, m_dwType32; // 9: no entry in that view
        std::string m_strLine;
    } rows[] = {
        // Only in the 32-bit view: Explorer's hook opens the type unprotected.
        {9, 4, "FAIL control table .vmtab: the 64-bit view (Explorer's hook) has no entry; the 32-bit view "
               "(32-bit programs' hook) has ControlType 4 (always controlled), Application notepad.exe" +
                   strFix + ".vmtab 4 notepad.exe (as the 32-bit view has it), or " + strRemove},
        // Controlled otherwise in each view.
        {4, 1, "FAIL control table .vmtab: the 64-bit view (Explorer's hook) has ControlType 4 (always controlled), "
               "Application notepad.exe; the 32-bit view (32-bit programs' hook) has ControlType 1 (controlled when "
               "an encrypted document is opened), Application notepad.exe" +
                   strFix + ".vmtab 4 notepad.exe (as the 64-bit view has it), or vmcheck --control-table add "
                            ".vmtab 1 notepad.exe (as the 32-bit view has it), or " + strRemove},
        // The same in both.
        {4, 4, "OK control table views: the 64-bit and the 32-bit registry view hold the same entries"},
    };
    for (const auto& row : rows) {
        TearDown();
        if (row.m_dwType64 != 9)
            SetInView(KEY_WOW64_64KEY, ".vmtab", row.m_dwType64, "notepad.exe");
        if (row.m_dwType32 != 9)
            SetInView(KEY_WOW64_32KEY, ".vmtab", row.m_dwType32, "notepad.exe");
        vmtest::CToolRun run = vmtest::RunTool(vmtest::BinDir() + "\\vmcheck.exe", {}, 30000);
        SCOPED_TRACE(run.m_strCommand);
        EXPECT_EQ(1u, run.m_dwExit); // the test prefix has no installation
        EXPECT_TRUE(HasLine(run, row.m_strLine)) << row.m_strLine << "\nnot in:\n" << vmtest::Joined(run.m_lines);
    }
}

// A controlled type that the hook cannot serve fails, and one whose program
// the policy does not register warns, each with its fix. vmcheck runs from a
// folder of its own, with a valid policy beside it.
TEST_F(ControlTableTest, ATypeTheHookCannotServeFails)
{
    const std::string strDir = vmtest::MakeScratchDir("vmcheck-serve");
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\vmcheck.exe").c_str(), (strDir + "\\vmcheck.exe").c_str(), FALSE));
    // A near miss of a setting is never read as an application with a plug-in.
    vmtest::WriteFile(strDir + "\\company.ccf", vmtest::SealPolicy({{"CompanyID", "SERVE"},
                                                                     {"DeleteOtherAdin", "1"},
                                                                     {"vmwordpad.exe", "vmplugin.dll"}}));
    // A registered program the trust rule refuses: a copy in a folder users write to.
    const std::string strUserCopy = vmtest::MakeScratchDir("vmcheck-serve-user") + "\\vmwordpad.exe";
    ASSERT_TRUE(CopyFileA("C:\\windows\\notepad.exe", strUserCopy.c_str(), FALSE));
    vmtest::CClassKey user("Applications\\vmwordpad.exe\\shell\\open\\command", "\"" + strUserCopy + "\" \"%1\"");
    vmtest::CClassKey gone("Applications\\vmgone.exe\\shell\\open\\command", "\"C:\\nowhere\\vmgone.exe\" \"%1\"");
    vmtest::CClassKey notepad("Applications\\vmnotepad.exe\\shell\\open\\command",
                              "\"C:\\windows\\notepad.exe\" \"%1\"");
    const std::string strCannot = ", so the hook cannot serve .vmtab documents: they open unprotected or not at all. Fix: ";
    const struct {
        const char* m_szApplication; // null: the entry names none
        std::string m_strLine;
    } rows[] = {
        {nullptr, "FAIL control table .vmtab: the entry names no application" + strCannot +
                      "name one: vmcheck --control-table add .vmtab 4 APPLICATION.EXE"},
        // Not installed: no command under HKCR\Applications.
        {"vmacad.exe", "FAIL control table .vmtab: its application vmacad.exe is not registered (no "
                       "HKCR\\Applications\\vmacad.exe\\shell\\open\\command)" + strCannot +
                           "install vmacad.exe, or register its command: reg add "
                           "\"HKCR\\Applications\\vmacad.exe\\shell\\open\\command\" /ve /d \"\\\"<full path of "
                           "vmacad.exe>\\\" \\\"%1\\\"\" /f, or name an installed application: vmcheck --control-table "
                           "add .vmtab 4 APPLICATION.EXE"},
        // Registered, with a command whose program is gone.
        {"vmgone.exe", "FAIL control table .vmtab: the command of vmgone.exe (\"C:\\nowhere\\vmgone.exe\" \"%1\") "
                       "names no existing program" + strCannot + "install vmgone.exe where its command says, or "
                       "correct HKCR\\Applications\\vmgone.exe\\shell\\open\\command"},
        // Served, by a program the policy does not register.
        {"vmnotepad.exe", "FAIL control table .vmtab: .vmtab documents open with notepad.exe, for which the policy "
                          "registers no plug-in, so they open without protection. Fix: add notepad.exe=<plug-in> to the "
                          "policy, or remove the entry"},
        // Served by a registered program that every request would be refused.
        {"vmwordpad.exe", "FAIL control table .vmtab: " + strUserCopy + " will be refused (5) at every request: the "
                          "program lies outside the trusted folders. Fix: install vmwordpad.exe below Program Files or "
                          "the Windows folder and register that copy, or list its folder in TrustedFolders if only "
                          "administrators can change it"},
    };
    for (const auto& row : rows) {
        TearDown();
        vmtest::SetDword(HKEY_LOCAL_MACHINE, EntryKey(".vmtab"), vm::c_szControlTypeValue, 4);
        if (row.m_szApplication)
            vmtest::SetString(HKEY_LOCAL_MACHINE, EntryKey(".vmtab"), vm::c_szControlAppValue, row.m_szApplication);
        vmtest::CToolRun run = vmtest::RunTool(strDir + "\\vmcheck.exe", {}, 30000);
        SCOPED_TRACE(run.m_strCommand);
        EXPECT_EQ(1u, run.m_dwExit); // the test prefix has no installation
        EXPECT_TRUE(HasLine(run, row.m_strLine)) << row.m_strLine << "\nnot in:\n" << vmtest::Joined(run.m_lines);
        EXPECT_EQ(std::string::npos, vmtest::Joined(run.m_lines).find("plug-in 1")) << vmtest::Joined(run.m_lines);
    }
    vmtest::RemoveTree(strDir);
    vmtest::RemoveTree(strUserCopy.substr(0, strUserCopy.rfind('\\')));
}

TEST_F(ControlTableTest, BadOperandsWriteNothing)
{
    const Args rows[] = {
        {"add", ".vmtab", "5", "notepad.exe"},      // no such ControlType
        {"add", ".vmtab", "-1", "notepad.exe"},     // signed
        {"add", "vmtab", "4", "notepad.exe"},       // no dot
        {"add", ".vm.tab", "4", "notepad.exe"},     // the hook never looks up two dots
        {"add", ".vmtab", "4", "C:\\notepad.exe"},  // a path, not a file name
        {"add", ".vmtab", "4"},                     // no application
        {"list", ".vmtab"},                         // list takes nothing
        {"erase", ".vmtab"},                        // no such verb
    };
    for (const Args& args : rows) {
        vmtest::CToolRun run = Run(args);
        SCOPED_TRACE(run.m_strCommand);
        EXPECT_EQ(2u, run.m_dwExit);
        EXPECT_EQ(0u, run.m_strErr.find("vmcheck: ")) << run.m_strErr;
        EXPECT_FALSE(vmtest::KeyExists(HKEY_LOCAL_MACHINE, EntryKey(".vmtab")));
    }
}

} // namespace
