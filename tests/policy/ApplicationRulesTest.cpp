// Application lists and exception rules: Office version rules on real
// version records, the image-viewer start, the exclude-list walk and the
// registration in the company policy file, with their exact traces.

#include "decision/LxShellExt.h"
#include "companions/cipher/cipher.h"
#include "resolution/ViewerProgram.h"
#include "trace/Trace.h"

#include "tests/support/DebugCapture.h"
#include "tests/support/PolicyFile.h"
#include "tests/support/HandleCount.h"
#include "tests/support/PolicyTestSupport.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

#include <string>
#include <vector>

using vmtest::PolicyFields;
using vmtest::TestDir;
using Texts = std::vector<std::string>;

namespace {

// The long-path lookup traces its own lines; they are checked where it is
// tested, and left out here.
Texts WithoutLongPathTraces(const Texts& a_texts)
{
    Texts kept;
    for (const std::string& strText : a_texts)
        if (strText.rfind("[TRACE] GetLongFilePathName", 0) != 0 &&
            strText.rfind("[ERROR] GetLongFilePathName", 0) != 0)
            kept.push_back(strText);
    return kept;
}

const char c_szPlugin[] = "lxpolicyplug.dll";
const char* const c_addins[] = {"quorix01.dll", "quorix02.dll", "quorix03.dll"};

// Files the tests put beside the test program, which stands in for the
// module: the add-ins and plug-ins are looked for there.
void RemoveFilesBesideModule()
{
    for (const char* szAddin : c_addins)
        DeleteFileA((TestDir() + "\\" + szAddin).c_str());
    DeleteFileA((TestDir() + "\\" + c_szPlugin).c_str());
    vmtest::RemoveTree(TestDir() + "\\lxpolicysub");
}

std::string LongPath(const std::string& a_strPath)
{
    char szLong[MAX_PATH] = {};
    DWORD cch = GetLongPathNameA(a_strPath.c_str(), szLong, MAX_PATH);
    return cch && cch < MAX_PATH ? std::string(szLong) : a_strPath;
}

const char c_szScratchKey[] = "Software\\LxPolicyTests";

class PolicyRulesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The add-in registration that Office applications trigger works on
        // the current user's registry: it gets a scratch key instead.
        SHDeleteKeyA(HKEY_CURRENT_USER, c_szScratchKey);
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, c_szScratchKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, m_hUser.put(), nullptr),
                  ERROR_SUCCESS);
        vmtest::RedirectRoot(HKEY_CURRENT_USER, m_hUser.get());
        RemoveFilesBesideModule();
        m_strScratch = vmtest::MakeScratchDir("policy-rules");
        m_sei.cbSize = sizeof(m_sei);
        m_ext.m_lpsei = &m_sei;
        m_capture.Clear();
    }
    void TearDown() override
    {
        g_bTraceEnabled = true;
        g_bTraceLineEnabled = false;
        RemoveFilesBesideModule();
        vmtest::RemoveTree(m_strScratch);
        vmtest::RedirectRoot(HKEY_CURRENT_USER, nullptr);
        m_hUser.reset();
        SHDeleteKeyA(HKEY_CURRENT_USER, c_szScratchKey);
    }

    // An executable with the given major version, under an Office file name.
    std::string VersionedApp(const char* a_szName, int a_nMajor)
    {
        std::string strDir = m_strScratch + "\\v" + std::to_string(a_nMajor);
        CreateDirectoryA(strDir.c_str(), nullptr);
        std::string strPath = strDir + "\\" + a_szName;
        std::string strFrom = TestDir() + "\\policy_version" + std::to_string(a_nMajor) + ".exe";
        EXPECT_TRUE(vmtest::PolicyCopyFile(strFrom, strPath)) << strFrom;
        return strPath;
    }
    static void PutBesideModule(const std::string& a_strName)
    {
        vmtest::WriteFile(TestDir() + "\\" + a_strName, "MZ");
    }
    // The tests of the registration need the real policy-file reader.
    bool UsePolicy(const PolicyFields& a_fields)
    {
        m_policy.Write(a_fields);
        return CCCF().CheckCCFValidity() == 0;
    }

    vm::UniqueKey m_hUser;
    vmtest::ScopedPolicyFile m_policy;
    vmtest::DebugCapture m_capture;
    CLxShellExt m_ext;
    SHELLEXECUTEINFOA m_sei{};
    std::string m_strScratch;
};

// A policy reader that cannot read a sealed file fails the test: it would
// otherwise hide every answer below.
#define REQUIRE_POLICY(fields) \
    ASSERT_TRUE(UsePolicy(fields)) << "cipher.dll beside the tests does not read company.ccf"

// ---- Office version rules ------------------------------------------------

struct VersionRow {
    const char* m_szComment;
    const char* m_szAppName; // m_strAppName, and the file's name
    int m_nMajor;            // 0: an executable without a version record; -1: no file
    int m_nException;        // IsExceptionApplication
};

const VersionRow c_versionRows[] = {
    {"Word 11 hands back to the shell", "WINWORD.EXE", 11, SKIPPED_INJECTION},
    {"Excel 11 hands back", "EXCEL.EXE", 11, SKIPPED_INJECTION},
    {"PowerPoint 9, the first add-in version", "POWERPNT.EXE", 9, SKIPPED_INJECTION},
    {"Word 8 goes on to the ordinary decision", "WINWORD.EXE", 8, EXECUTE_INJECTION},
    {"names match in any letter case", "WinWord.exe", 11, SKIPPED_INJECTION},
    {"a major version above 0x7FFF is still 9 or later", "excel.exe", 40000, SKIPPED_INJECTION},
    {"no version record counts as below 9", "WINWORD.EXE", 0, EXECUTE_INJECTION},
    {"a missing file counts as below 9", "WINWORD.EXE", -1, EXECUTE_INJECTION},
    {"other applications have no version rule", "lxviewer.exe", 11, EXECUTE_INJECTION},
    {"a name that only contains an Office name", "XWINWORD.EXE", 11, EXECUTE_INJECTION},
};

class OfficeVersionTest : public PolicyRulesTest, public ::testing::WithParamInterface<VersionRow> {};

TEST_P(OfficeVersionTest, ExceptionRuleReadsTheVersionRecord)
{
    const VersionRow& row = GetParam();
    SCOPED_TRACE(std::string(row.m_szComment) + ": " + row.m_szAppName + " version " +
                 std::to_string(row.m_nMajor));
    m_ext.m_strAppName = row.m_szAppName;
    if (row.m_nMajor > 0)
        m_ext.m_strAppPath = VersionedApp(row.m_szAppName, row.m_nMajor);
    else if (row.m_nMajor == 0)
        m_ext.m_strAppPath = TestDir() + "\\vmprobe.exe";
    else
        m_ext.m_strAppPath = m_strScratch + "\\missing\\WINWORD.EXE";

    VS_FIXEDFILEINFO info;
    memset(&info, 0xCD, sizeof(info));
    bool bRead = m_ext.GetFixedFileInfo(m_ext.m_strAppPath.c_str(), &info);
    EXPECT_EQ(bRead, row.m_nMajor > 0);
    if (bRead) {
        EXPECT_EQ(HIWORD(info.dwFileVersionMS), row.m_nMajor);
    }

    EXPECT_EQ(m_ext.IsExceptionApplication(), row.m_nException);
    EXPECT_TRUE(m_capture.Texts().empty()) << m_capture.Dump();
}

INSTANTIATE_TEST_SUITE_P(Rows, OfficeVersionTest, ::testing::ValuesIn(c_versionRows));

// ---- Office add-in precondition of the registration -----------------------

TEST_F(PolicyRulesTest, OfficeWithoutItsAddinIsAnsweredTwoWithoutAskingThePolicy)
{
    // Each application wants its own add-in: the other two do not count.
    const char* apps[] = {"WINWORD.EXE", "POWERPNT.EXE", "EXCEL.EXE"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(apps[i]);
        RemoveFilesBesideModule();
        PutBesideModule(c_addins[(i + 1) % 3]);
        PutBesideModule(c_addins[(i + 2) % 3]);
        m_ext.m_strAppName = apps[i];
        m_ext.m_strAppPath = VersionedApp(apps[i], 11);
        m_capture.Clear();
        EXPECT_EQ(m_ext.IsRegisteredApplication(), 2);
        // Not even the invalid-policy line: no policy object was made.
        EXPECT_TRUE(m_capture.Texts().empty()) << m_capture.Dump();
    }
}

TEST_F(PolicyRulesTest, OfficeWithItsAddinWritesTheRawLineWhateverTheSwitches)
{
    PutBesideModule("quorix03.dll");
    m_policy.Remove();
    m_ext.m_strAppName = "excel.exe";
    m_ext.m_strAppPath = VersionedApp("EXCEL.EXE", 11);
    g_bTraceEnabled = false;
    EXPECT_EQ(m_ext.IsRegisteredApplication(), 2);
    EXPECT_EQ(m_capture.Texts(), (Texts{"IsRegisteredApplication()\n",
                                        "[CLxShellExt::IsRegisteredApplication] ccf is invalid!!"}))
        << m_capture.Dump();
}

TEST_F(PolicyRulesTest, OfficeBelowNineGoesByThePolicyAlone)
{
    m_policy.Remove();
    m_ext.m_strAppName = "WINWORD.EXE";
    m_ext.m_strAppPath = VersionedApp("WINWORD.EXE", 8);
    EXPECT_EQ(m_ext.IsRegisteredApplication(), 2);
    EXPECT_EQ(m_capture.Texts(), Texts{"[CLxShellExt::IsRegisteredApplication] ccf is invalid!!"})
        << m_capture.Dump();
}

// ---- Image viewer ---------------------------------------------------------

class ImageViewerTest : public PolicyRulesTest {
protected:
    std::string WaitForRecord(const std::string& a_strFile, DWORD a_dwMs)
    {
        for (DWORD dwWaited = 0; dwWaited < a_dwMs; dwWaited += 50) {
            std::string strText = vmtest::ReadFile(a_strFile);
            if (!strText.empty())
                return strText;
            Sleep(50);
        }
        return std::string();
    }
};

TEST_F(ImageViewerTest, StartsTheCommandAsBuiltAndKeepsNoHandle)
{
    std::string strRecord = m_strScratch + "\\viewer-cmdline.txt";
    m_ext.m_strAppName = "SHIMGVW.DLL";
    m_ext.m_strAppPath = TestDir() + "\\vmprobe.exe record";
    m_sei.lpFile = strRecord.c_str();
    std::string strCommand = m_ext.m_strAppPath + " " + strRecord;

    DWORD dwBefore = vmtest::OpenHandleCount();
    EXPECT_EQ(m_ext.IsExceptionApplication(), EXECUTE_EXCEPTION);
    EXPECT_EQ(vmtest::OpenHandleCount(), dwBefore);
    EXPECT_EQ(m_capture.Texts(), (Texts{"test", "test command[" + strCommand + "]"}))
        << m_capture.Dump();
    EXPECT_EQ(WaitForRecord(strRecord, 15000), strCommand);
}

TEST_F(ImageViewerTest, NothingIsStartedFromTheCurrentDirectory)
{
    // A program planted in the current directory under the bare name the
    // command starts with must not run.
    ASSERT_TRUE(vmtest::PolicyCopyFile(TestDir() + "\\vmprobe.exe",
                                       m_strScratch + "\\lxplanted.exe"));
    char szOldDir[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, szOldDir);
    SetCurrentDirectoryA(m_strScratch.c_str());
    std::string strRecord = m_strScratch + "\\planted-cmdline.txt";
    m_ext.m_strAppName = "shimgvw.dll";
    m_ext.m_strAppPath = "lxplanted.exe record";
    m_sei.lpFile = strRecord.c_str();
    EXPECT_EQ(m_ext.IsExceptionApplication(), EXECUTE_EXCEPTION);
    SetCurrentDirectoryA(szOldDir);

    std::string strCommand = "lxplanted.exe record " + strRecord;
    EXPECT_EQ(m_capture.Texts(),
              (Texts{"test", "test command[" + strCommand + "]",
                     "[CLxShellExt::IsExceptionApplication] image viewer not found, not started[" +
                         strCommand + "]"}))
        << m_capture.Dump();
    EXPECT_EQ(WaitForRecord(strRecord, 1500), "");
}

// A quote in the document's text would end its argument early: nothing starts.
TEST_F(ImageViewerTest, DocumentTextWithAQuoteIsRefused)
{
    std::string strRecord = m_strScratch + "\\quoted-cmdline.txt";
    std::string strFile = strRecord + "\" /x \"";
    m_ext.m_strAppName = "shimgvw.dll";
    m_ext.m_strAppPath = TestDir() + "\\vmprobe.exe record";
    m_sei.lpFile = strFile.c_str();
    EXPECT_EQ(m_ext.IsExceptionApplication(), EXECUTE_EXCEPTION);
    EXPECT_EQ(m_ext.m_nStartError, SE_ERR_ACCESSDENIED);
    EXPECT_TRUE(m_capture.Contains("[CLxShellExt::IsExceptionApplication] file text holds a double quote, not started (5)[" +
                                   m_ext.m_strAppPath + " " + strFile + "]"))
        << m_capture.Dump();
    EXPECT_EQ(WaitForRecord(strRecord, 1500), "");
}

TEST_F(ImageViewerTest, MissingViewerIsAnsweredAsNotFound)
{
    std::string strMissing = m_strScratch + "\\missing\\shimgvw.dll";
    const std::string c_strAppPaths[] = {
        strMissing,                                   // unquoted full path
        "\"" + strMissing + "\" /x",                  // quoted full path
        m_strScratch + "\\no such dir\\viewer.exe",   // full path with a blank
    };
    m_ext.m_strAppName = "shimgvw.dll";
    m_sei.lpFile = "C:\\pictures\\a.jpg";
    for (const std::string& strAppPath : c_strAppPaths) {
        SCOPED_TRACE("m_strAppPath [" + strAppPath + "]");
        m_ext.m_strAppPath = strAppPath;
        m_ext.m_nStartError = 0;
        m_capture.Clear();
        EXPECT_EQ(m_ext.IsExceptionApplication(), EXECUTE_EXCEPTION);
        EXPECT_EQ(m_ext.m_nStartError, SE_ERR_FNF);
        std::string strCommand = strAppPath + " C:\\pictures\\a.jpg";
        EXPECT_EQ(m_capture.Texts(),
                  (Texts{"test", "test command[" + strCommand + "]",
                         "[CLxShellExt::IsExceptionApplication] image viewer not found, not started[" +
                             strCommand + "]"}))
            << m_capture.Dump();
    }
}

// The program is the longest prefix of the viewer command that names a file:
// a planted program at a shorter prefix never runs, variables are expanded,
// the document arrives as one argument, and a document is never the program.
// Without a viewer command the request's own text stands in for it, and no
// program is ever read out of that text.
TEST_F(ImageViewerTest, ViewerStartsTheProgramItsCommandNames)
{
    std::string strRecord = m_strScratch + "\\viewer-record.txt";
    SetEnvironmentVariableA("VM_PROBE_RECORD", strRecord.c_str());
    std::string strProbe = TestDir() + "\\vmprobe.exe";
    CreateDirectoryA((m_strScratch + "\\Program Files").c_str(), nullptr);
    CreateDirectoryA((m_strScratch + "\\dl").c_str(), nullptr);
    std::string strViewer = m_strScratch + "\\Program Files\\viewer.exe";
    std::string strPlainViewer = m_strScratch + "\\viewer.exe";
    std::string strDocument = m_strScratch + "\\dl\\holiday photo.png";
    // Planted: <scratch>\Program and <scratch>\Program.exe beside <scratch>\Program Files,
    // holiday.exe and holiday beside "holiday photo.png".
    for (const std::string& strPath : {strViewer, strPlainViewer, m_strScratch + "\\Program",
                                       m_strScratch + "\\Program.exe", m_strScratch + "\\dl\\holiday.exe",
                                       m_strScratch + "\\dl\\holiday", strDocument})
        ASSERT_TRUE(vmtest::PolicyCopyFile(strProbe, strPath));
    char szWindows[MAX_PATH];
    GetEnvironmentVariableA("SystemRoot", szWindows, MAX_PATH);
    std::string strPlainDocument = m_strScratch + "\\a.png";
    // Requests for files that do not exist, whose first words name the planted programs.
    std::string strPlantedExe = m_strScratch + "\\dl\\holiday.exe photo.jpg";
    std::string strPlantedBare = m_strScratch + "\\dl\\holiday photo.jpg";

    struct {
        const char* m_szComment;
        std::string m_strAppPath;
        const std::string& m_strDocument;
        std::string m_strStarted; // the viewer's command line; "" when nothing starts
        bool m_bFromRequest;      // no viewer command: the request's text stands in for it
        int m_nError;
    } rows[] = {
        {"planted <scratch>\\Program.exe", strViewer + " /show", strDocument,
         "\"" + strViewer + "\" /show \"" + strDocument + "\"", false, 0},
        {"variables after the program", strPlainViewer + " %SystemRoot%\\system32\\shimgvw.dll,ImageView_Fullscreen",
         strPlainDocument,
         strPlainViewer + " " + szWindows + "\\system32\\shimgvw.dll,ImageView_Fullscreen " + strPlainDocument,
         false, 0},
        {"the document as its own viewer, holiday.exe beside it", strDocument, strDocument, "", false, SE_ERR_NOASSOC},
        // No viewer command: the existing document is refused as its own program...
        {"no command, the document", strDocument, strDocument, "", true, SE_ERR_NOASSOC},
        // ...and a missing one finds no viewer, though its text starts with a planted program.
        {"no command, holiday.exe planted", strPlantedExe, strPlantedExe, "", true, SE_ERR_FNF},
        {"no command, holiday planted", strPlantedBare, strPlantedBare, "", true, SE_ERR_FNF},
    };
    m_ext.m_strAppName = "shimgvw.dll";
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.m_szComment) + ": m_strAppPath [" + row.m_strAppPath + "]");
        m_ext.m_strAppPath = row.m_strAppPath;
        m_ext.m_bAppPathFromRequest = row.m_bFromRequest;
        m_ext.m_nStartError = 0;
        m_sei.lpFile = row.m_strDocument.c_str();
        EXPECT_EQ(m_ext.IsExceptionApplication(), EXECUTE_EXCEPTION);
        EXPECT_EQ(m_ext.m_nStartError, row.m_nError);
        std::string strRecorded = WaitForRecord(strRecord, row.m_strStarted.empty() ? 1500 : 15000);
        DeleteFileA(strRecord.c_str());
        if (row.m_strStarted.empty())
            EXPECT_EQ(strRecorded, "");
        else
            EXPECT_EQ(strRecorded.substr(0, strRecorded.find("\ncwd=")), "cmdline=" + row.m_strStarted);
    }
    SetEnvironmentVariableA("VM_PROBE_RECORD", nullptr);
}

TEST_F(ImageViewerTest, ProgramIsAFullPathOrASystemProgram)
{
    std::string strSpaced = m_strScratch + "\\with space";
    CreateDirectoryA(strSpaced.c_str(), nullptr);
    std::string strApp = strSpaced + "\\viewer.exe";
    ASSERT_TRUE(vmtest::PolicyCopyFile(TestDir() + "\\vmprobe.exe", strApp));
    char szSystem[MAX_PATH];
    GetSystemDirectoryA(szSystem, MAX_PATH);
    std::string strRundll = LongPath(std::string(szSystem) + "\\rundll32.exe");

    struct {
        std::string m_strCommand;
        std::string m_strProgram;
    } rows[] = {
        // unquoted full path with a blank: the longest prefix that names a file
        {strApp + " x.jpg", strApp},
        // the same without ".exe": none is added to a prefix
        {strSpaced + "\\viewer x.jpg", ""},
        // quoted full path
        {"\"" + strApp + "\" x.jpg", strApp},
        // a bare name comes from the system directory
        {"rundll32.exe shimgvw.dll,ImageView_Fullscreen x.jpg", strRundll},
        {"RUNDLL32 x.jpg", strRundll},
        // relative paths and drive-relative paths are refused
        {"sub\\viewer.exe x.jpg", ""},
        {"C:viewer.exe x.jpg", ""},
        {"\\viewer.exe x.jpg", ""},
        // a bare name that is no system program
        {"lxnosuchviewer.exe x.jpg", ""},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("command [" + row.m_strCommand + "]");
        std::string strFound = FindViewerProgram(row.m_strCommand).m_strProgram;
        if (row.m_strProgram.empty()) {
            EXPECT_EQ(strFound, "");
        } else {
            EXPECT_EQ(lstrcmpiA(LongPath(strFound).c_str(), row.m_strProgram.c_str()), 0)
                << "found [" << strFound << "], expected [" << row.m_strProgram << "]";
        }
    }
}

// ---- Exclude-list walk ----------------------------------------------------

struct ExcludeRow {
    const char* m_szComment;
    const char* m_szExclude; // null: field absent
    const char* m_szPmi;     // null: field absent
    const char* m_szAppName;
    bool m_bExcluded;
    Texts m_items; // items compared, in order, as the walk traces them
    bool m_bNotPmiTrace;
};

const ExcludeRow c_excludeRows[] = {
    {"named in both lists", "notepad.exe|winword.exe", "WINWORD.EXE", "WINWORD.EXE", true,
     {"notepad.exe", "winword.exe"}, false},
    {"in the exclude list only", "notepad.exe|winword.exe", "excel.exe", "WINWORD.EXE", false,
     {"notepad.exe", "winword.exe"}, true},
    {"list lowered, app compared without case", "NOTEPAD.EXE|WinWord.Exe", "winword.exe",
     "WINWORD.EXE", true, {"notepad.exe", "winword.exe"}, false},
    {"pmi list is searched as text", "word.exe", "WINWORD.EXE", "word.exe", true, {"word.exe"},
     false},
    {"items are not trimmed", " winword.exe|winword.exe ", "winword.exe", "winword.exe", false,
     {" winword.exe", "winword.exe "}, false},
    {"a list ending in | ends after its last name", "notepad.exe|", "x", "winword.exe", false,
     {"notepad.exe"}, false},
    {"a list beginning with | compares an empty item", "|winword.exe", "winword.exe",
     "winword.exe", true, {"", "winword.exe"}, false},
    {"an empty item matches nothing, not even an empty name", "a.exe||", "", "", false,
     {"a.exe", ""}, false},
    {"the first equal item ends the walk", "winword.exe|notepad.exe|winword.exe", "x",
     "winword.exe", false, {"winword.exe"}, true},
    {"an empty list", "", "winword.exe", "winword.exe", false, {}, false},
};

class ExcludeListTest : public PolicyRulesTest, public ::testing::WithParamInterface<ExcludeRow> {};

TEST_P(ExcludeListTest, WalksTheListWithExactTraces)
{
    const ExcludeRow& row = GetParam();
    SCOPED_TRACE(std::string(row.m_szComment) + ": IsExcludeApplication(\"" + row.m_szExclude +
                 "\", \"" + row.m_szPmi + "\") for " + row.m_szAppName);
    m_ext.m_strAppName = row.m_szAppName;
    EXPECT_EQ(m_ext.IsExcludeApplication(row.m_szExclude, row.m_szPmi), row.m_bExcluded);

    std::string strLowered = row.m_szExclude;
    for (char& ch : strLowered)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    Texts expected = {
        "[CLxShellExt::IsExcludeApplication] strAppName[" + strLowered + "], " + row.m_szAppName,
        "[CLxShellExt::IsExcludeApplication]applist.size=" + std::to_string(strLowered.size()) +
            "\n"};
    for (const std::string& strItem : row.m_items)
        expected.push_back("[CLxShellExt::IsExcludeApplication] strExcludeAppName=" + strItem +
                           ", m_strAppName=" + row.m_szAppName + "\n");
    if (row.m_bNotPmiTrace)
        expected.push_back(std::string(row.m_szAppName) +
                           " is exclude app and not pmi app. so return false\n");
    EXPECT_EQ(m_capture.Texts(), expected) << m_capture.Dump();
}

INSTANTIATE_TEST_SUITE_P(Rows, ExcludeListTest, ::testing::ValuesIn(c_excludeRows));

TEST_F(PolicyRulesTest, ExcludeListAbsentOrTooLong)
{
    m_ext.m_strAppName = "winword.exe";
    // Either list absent: no walk, no trace.
    EXPECT_FALSE(m_ext.IsExcludeApplication(nullptr, "winword.exe"));
    EXPECT_FALSE(m_ext.IsExcludeApplication("winword.exe", nullptr));
    EXPECT_TRUE(m_capture.Texts().empty()) << m_capture.Dump();

    // 259 characters fit the working buffer and are walked to the end.
    std::string strList = std::string(259 - 12, 'a') + "|winword.exe";
    ASSERT_EQ(strList.size(), 259u);
    EXPECT_TRUE(m_ext.IsExcludeApplication(strList.c_str(), "winword.exe"));
    // 260 are refused whole: nothing is excluded by a list that is not read.
    strList = "a" + strList;
    m_capture.Clear();
    EXPECT_FALSE(m_ext.IsExcludeApplication(strList.c_str(), "winword.exe"));
    EXPECT_EQ(m_capture.Texts(),
              Texts{"[CLxShellExt::IsExcludeApplication] applist too long (260), ignored\n"})
        << m_capture.Dump();
}

TEST_F(PolicyRulesTest, DoubleByteNamesAreWalkedByCharacter)
{
    // Runs as its own ctest entry in code page 932 (LC_ALL=ja_JP.UTF-8).
    if (GetACP() != 932)
        GTEST_SKIP() << "needs the double-byte code page 932, this is " << GetACP();
    struct {
        const char* m_szName;
        const char* m_szComment;
    } rows[] = {
        {"\x83\x7C.exe", "trail byte 0x7C is the separator's byte"},
        {"\x83\x41.exe", "trail byte 0x41 is an upper-case letter's byte"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.m_szComment);
        m_ext.m_strAppName = row.m_szName;
        std::string strList = std::string(row.m_szName) + "|notepad.exe";
        m_capture.Clear();
        EXPECT_TRUE(m_ext.IsExcludeApplication(strList.c_str(), row.m_szName)) << m_capture.Dump();
        EXPECT_TRUE(m_capture.Contains("[CLxShellExt::IsExcludeApplication] strExcludeAppName=" +
                                       std::string(row.m_szName) + ", m_strAppName=" +
                                       row.m_szName + "\n"))
            << m_capture.Dump();
    }
}

// ---- Registration in the policy file ------------------------------------

TEST_F(PolicyRulesTest, UnusablePolicyAnswersTwo)
{
    const std::string c_strBroken[] = {
        "",                                               // missing file (written as removed)
        "LUMIDEX-CCF 2\ntestapp.exe=x.dll\nChecksum=00000000\n", // wrong signature
        vmtest::SealPolicy({{"testapp.exe", c_szPlugin}}) + "x=y\r\n", // line after the seal
    };
    for (const std::string& strText : c_strBroken) {
        SCOPED_TRACE("policy file [" + strText + "]");
        if (strText.empty())
            m_policy.Remove();
        else
            m_policy.WriteRaw(strText);
        m_ext.m_strAppName = "testapp.exe";
        m_ext.m_strInjectionDll = "kept";
        m_capture.Clear();
        EXPECT_EQ(m_ext.IsRegisteredApplication(), 2);
        EXPECT_EQ(m_capture.Texts(),
                  Texts{"[CLxShellExt::IsRegisteredApplication] ccf is invalid!!"})
            << m_capture.Dump();
        EXPECT_EQ(m_ext.m_strInjectionDll, "kept");
    }
}

struct RegistrationRow {
    const char* m_szComment;
    PolicyFields m_fields;
    const char* m_szPluginFile; // created beside the module; null: none
    int m_nAnswer;
    enum Traces { None, NotRegistered, Plugin, PluginMissing } m_traces;
    Texts m_extra; // further texts expected (the exclude walk), before the plug-in line
};

const RegistrationRow c_registrationRows[] = {
    {"registered, plug-in present", {{"testapp.exe", c_szPlugin}}, c_szPlugin, 1,
     RegistrationRow::Plugin, {}},
    {"registered, plug-in missing", {{"testapp.exe", c_szPlugin}}, nullptr, 2,
     RegistrationRow::PluginMissing, {}},
    {"plug-in in a sub-directory of the module's", {{"testapp.exe", "lxpolicysub\\plug.dll"}},
     "lxpolicysub\\plug.dll", 1, RegistrationRow::Plugin, {}},
    {"field absent", {{"other.exe", c_szPlugin}}, c_szPlugin, 0, RegistrationRow::NotRegistered, {}},
    {"value begins with a blank", {{"testapp.exe", " lxpolicyplug.dll"}}, c_szPlugin, 0,
     RegistrationRow::None, {}},
    {"empty value", {{"testapp.exe", ""}}, c_szPlugin, 0, RegistrationRow::None, {}},
    {"excluded: both lists name it", {{"testapp.exe", c_szPlugin},
      {"ExcludeAppList", "notepad.exe|testapp.exe"}, {"VormidpmiAppList", "TESTAPP.EXE"}},
     c_szPlugin, 0, RegistrationRow::None,
     {"[CLxShellExt::IsExcludeApplication] strAppName[notepad.exe|testapp.exe], testapp.exe",
      "[CLxShellExt::IsExcludeApplication]applist.size=23\n",
      "[CLxShellExt::IsExcludeApplication] strExcludeAppName=notepad.exe, m_strAppName=testapp.exe\n",
      "[CLxShellExt::IsExcludeApplication] strExcludeAppName=testapp.exe, m_strAppName=testapp.exe\n"}},
    {"exclude list without pmi list: not excluded", {{"testapp.exe", c_szPlugin},
      {"ExcludeAppList", "testapp.exe"}}, c_szPlugin, 1, RegistrationRow::Plugin, {}},
    {"pmi list without exclude list: not excluded", {{"testapp.exe", c_szPlugin},
      {"VormidpmiAppList", "testapp.exe"}}, c_szPlugin, 1, RegistrationRow::Plugin, {}},
    {"in the exclude list only", {{"testapp.exe", c_szPlugin}, {"ExcludeAppList", "testapp.exe"},
      {"VormidpmiAppList", "excel.exe"}}, c_szPlugin, 1, RegistrationRow::Plugin,
     {"[CLxShellExt::IsExcludeApplication] strAppName[testapp.exe], testapp.exe",
      "[CLxShellExt::IsExcludeApplication]applist.size=11\n",
      "[CLxShellExt::IsExcludeApplication] strExcludeAppName=testapp.exe, m_strAppName=testapp.exe\n",
      "testapp.exe is exclude app and not pmi app. so return false\n"}},
};

class RegistrationTest : public PolicyRulesTest,
                         public ::testing::WithParamInterface<RegistrationRow> {};

TEST_P(RegistrationTest, AnswersFromThePolicyFile)
{
    const RegistrationRow& row = GetParam();
    SCOPED_TRACE(std::string(row.m_szComment) + ": IsRegisteredApplication for testapp.exe");
    REQUIRE_POLICY(row.m_fields);
    if (row.m_szPluginFile) {
        CreateDirectoryA((TestDir() + "\\lxpolicysub").c_str(), nullptr);
        PutBesideModule(row.m_szPluginFile);
    }
    m_ext.m_strAppName = "testapp.exe";
    m_ext.m_strInjectionDll = "from an earlier request";
    g_bTraceLineEnabled = false;
    EXPECT_EQ(m_ext.IsRegisteredApplication(), row.m_nAnswer);

    Texts expected = row.m_extra;
    const std::string strTag = "[CLxShellExt::IsRegisteredApplication] ";
    switch (row.m_traces) {
    case RegistrationRow::None:
        EXPECT_EQ(m_ext.m_strInjectionDll, "from an earlier request");
        break;
    case RegistrationRow::NotRegistered:
        expected.push_back(strTag + "ccf -> not registered application[testapp.exe]");
        EXPECT_EQ(m_ext.m_strInjectionDll, "from an earlier request");
        break;
    case RegistrationRow::Plugin:
    case RegistrationRow::PluginMissing: {
        // The long form, or the path as built when none comes back.
        std::string strBuilt = TestDir() + "\\" + row.m_fields[0].second;
        EXPECT_EQ(LongPath(m_ext.m_strInjectionDll), LongPath(strBuilt));
        expected.push_back(strTag + "m_strInjectionDll[" + m_ext.m_strInjectionDll + "]");
        if (row.m_traces == RegistrationRow::PluginMissing)
            expected.push_back(strTag + "m_strInjectionDll is not existed[" +
                               m_ext.m_strInjectionDll + "]");
        break;
    }
    }
    // "Exclude App:" goes through the newline-ending trace, off from load.
    EXPECT_EQ(WithoutLongPathTraces(m_capture.Texts()), expected) << m_capture.Dump();
}

INSTANTIATE_TEST_SUITE_P(Rows, RegistrationTest, ::testing::ValuesIn(c_registrationRows));

TEST_F(PolicyRulesTest, ExcludedApplicationIsNamedOnTheLineTraceOnly)
{
    REQUIRE_POLICY((PolicyFields{{"testapp.exe", c_szPlugin},
                                 {"ExcludeAppList", "testapp.exe"},
                                 {"VormidpmiAppList", "testapp.exe"}}));
    m_ext.m_strAppName = "testapp.exe";
    EXPECT_EQ(m_ext.IsRegisteredApplication(), 0);
    // Switched on here only to see that the line is asked for; nothing in
    // the module switches it on.
    g_bTraceLineEnabled = true;
    EXPECT_EQ(m_ext.IsRegisteredApplication(), 0);
    EXPECT_EQ(m_capture.Count("Exclude App:testapp.exe\n"), 1u) << m_capture.Dump();
}

TEST_F(PolicyRulesTest, PluginNameAtTheWorkingBufferLimits)
{
    const std::string strTag = "[CLxShellExt::IsRegisteredApplication] ";
    std::string strDir = TestDir() + "\\";
    // Longest name whose path still fits 259 characters: the path is kept.
    std::string strFits(MAX_PATH - 1 - strDir.size(), 'p');
    // One more: the path does not fit, and no path is named.
    std::string strPathTooLong = strFits + "p";
    // 260 characters: the name itself is refused; the stale plug-in goes.
    std::string strNameTooLong(MAX_PATH, 'q');
    struct {
        const std::string& m_strName;
        std::string m_strInjectionDll;
        Texts m_traces;
    } rows[] = {
        {strFits, strDir + strFits,
         {strTag + "m_strInjectionDll[" + strDir + strFits + "]",
          strTag + "m_strInjectionDll is not existed[" + strDir + strFits + "]"}},
        {strPathTooLong, "",
         {strTag + "m_strInjectionDll[]", strTag + "m_strInjectionDll is not existed[]"}},
        {strNameTooLong, "", {strTag + "m_strInjectionDll is not existed[" + strNameTooLong + "]"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("plug-in name of " + std::to_string(row.m_strName.size()) + " characters");
        REQUIRE_POLICY((PolicyFields{{"testapp.exe", row.m_strName}}));
        m_ext.m_strAppName = "testapp.exe";
        m_ext.m_strInjectionDll = "stale.dll";
        m_capture.Clear();
        EXPECT_EQ(m_ext.IsRegisteredApplication(), 2);
        EXPECT_EQ(m_ext.m_strInjectionDll, row.m_strInjectionDll);
        EXPECT_EQ(WithoutLongPathTraces(m_capture.Texts()), row.m_traces) << m_capture.Dump();
    }
}

TEST_F(PolicyRulesTest, OfficeWithAddinRegistersThenAsksThePolicy)
{
    PutBesideModule("quorix01.dll");
    PutBesideModule(c_szPlugin);
    m_ext.m_strAppName = "WinWord.exe";
    m_ext.m_strAppPath = VersionedApp("WINWORD.EXE", 11);
    // The field is asked by the name as resolved, in its own letter case.
    REQUIRE_POLICY((PolicyFields{{"WinWord.exe", c_szPlugin}}));
    EXPECT_EQ(m_ext.IsRegisteredApplication(), 1);
    Texts texts = WithoutLongPathTraces(m_capture.Texts());
    ASSERT_EQ(texts.size(), 2u) << m_capture.Dump();
    EXPECT_EQ(texts[0], "IsRegisteredApplication()\n");
}

} // namespace
