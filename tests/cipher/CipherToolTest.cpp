// ciphertool as administrators run it: started by full path from build/bin,
// its exit code and output checked, its files read back through cipher.dll.

#include "companions/cipher/cipher.h"

#include "tests/cipher/CipherTestFiles.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using ciphertest::MakeHeader;
using ciphertest::Sealed;

constexpr int c_nExitOk = 0;
constexpr int c_nExitInvalid = 1;
constexpr int c_nExitError = 2;

struct ToolRun {
    DWORD dwExit = 0xDEADBEEF;
    std::string strOut; // line ends as LF
    std::string strErr;
};

std::string WithoutCr(std::string a_str)
{
    a_str.erase(std::remove(a_str.begin(), a_str.end(), '\r'), a_str.end());
    return a_str;
}

ToolRun RunTool(const std::vector<std::string>& a_args)
{
    ToolRun run;
    vmtest::CToolChild child;
    if (!child.Start(vmtest::BinDir() + "\\ciphertool.exe", a_args)) {
        ADD_FAILURE() << "CreateProcess(" << child.CommandLine() << ") failed: " << GetLastError();
        return run;
    }
    EXPECT_TRUE(child.Wait(30000)) << child.CommandLine();
    run.dwExit = child.ExitCode();
    run.strOut = WithoutCr(child.Out());
    run.strErr = WithoutCr(child.Err());
    return run;
}

std::string Describe(const std::vector<std::string>& a_args)
{
    std::string strText = "ciphertool";
    for (const std::string& strArg : a_args)
        strText += " " + strArg;
    return strText;
}

bool Contains(const std::string& a_strText, const std::string& a_strPart)
{
    return a_strText.find(a_strPart) != std::string::npos;
}

std::vector<std::string> ListDir(const std::string& a_strDir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA((a_strDir + "\\*").c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::string strName = data.cFileName;
        if (strName != "." && strName != "..")
            names.push_back(strName);
    } while (FindNextFileA(hFind, &data));
    FindClose(hFind);
    std::sort(names.begin(), names.end());
    return names;
}

class CipherToolTest : public ::testing::Test {
protected:
    void SetUp() override { m_strDir = vmtest::MakeScratchDir("cipher-tool"); }
    void TearDown() override
    {
        vmtest::RemoveTree(m_strDir);
        DeleteFileA(ciphertest::CcfPath().c_str());
    }
    std::string Path(const std::string& a_strName) const { return m_strDir + "\\" + a_strName; }
    std::string Write(const std::string& a_strName, const std::string& a_strBytes) const
    {
        vmtest::WriteFile(Path(a_strName), a_strBytes);
        return Path(a_strName);
    }

    // One run of a check command on a file made from the row (or none).
    struct CheckRow {
        const char* szWhat;
        std::string strBytes;
        bool bExists;
        DWORD dwExit;
        const char* szOutStart;
    };
    void ExpectCheck(const char* a_szCommand, const CheckRow& a_row)
    {
        SCOPED_TRACE(std::string(a_szCommand) + ": " + a_row.szWhat);
        const std::string strPath = Path("checked.file");
        DeleteFileA(strPath.c_str());
        if (a_row.bExists)
            Write("checked.file", a_row.strBytes);
        ToolRun run = RunTool({a_szCommand, strPath});
        EXPECT_EQ(run.dwExit, a_row.dwExit);
        EXPECT_EQ(run.strOut.rfind(a_row.szOutStart, 0), 0u) << run.strOut;
    }

    std::string m_strDir;
};

TEST_F(CipherToolTest, HelpNamesCommandsExitCodesAndThatNothingIsEncrypted)
{
    for (const char* szSwitch : {"--help", "-h", "/?"}) {
        ToolRun run = RunTool({szSwitch});
        SCOPED_TRACE(szSwitch);
        EXPECT_EQ(run.dwExit, static_cast<DWORD>(c_nExitOk));
        for (const char* szPart : {"seal INPUT OUTPUT", "check-policy FILE", "wrap INPUT OUTPUT",
                                   "check-document FILE", "does not encrypt", "Exit codes", "LUMIDEX-CCF 1"})
            EXPECT_TRUE(Contains(run.strOut, szPart)) << szPart << "\n" << run.strOut;
        EXPECT_EQ(run.strErr, "");
    }
}

TEST_F(CipherToolTest, BadUsageExitsWithTwoAndPointsToHelp)
{
    const std::vector<std::string> rows[] = {
        {},                               // no command
        {"encrypt", "a", "b"},            // unknown command
        {"SEAL", "a", "b"},               // commands are lower case
        {"seal", "a"},                    // too few
        {"seal", "a", "b", "c"},          // too many
        {"check-policy"},
        {"check-policy", "a", "b"},
        {"wrap", "a"},
        {"check-document"},
        {"--strict", "wrap", "a", "b"},              // only the policy commands lint
        {"check-policy", "a", "--product-folder"},   // the option without its folder
        {"check-policy", "a", "--product-folder", "C:\\no\\such\\folder"},
    };
    for (const std::vector<std::string>& args : rows) {
        SCOPED_TRACE(Describe(args));
        ToolRun run = RunTool(args);
        EXPECT_EQ(run.dwExit, static_cast<DWORD>(c_nExitError));
        EXPECT_EQ(run.strOut, "");
        EXPECT_TRUE(Contains(run.strErr, "ciphertool --help")) << run.strErr;
    }
}

TEST_F(CipherToolTest, SealedFileIsValidForToolAndLibrary)
{
    const std::string strInput = Write("policy.txt",
                                       "CompanyID=ACME\n"
                                       "; plug-ins\n"
                                       "\n"
                                       "WINWORD.EXE=  wdplug.dll \n"
                                       "Empty=\r\n"
                                       "DeleteOtherAddin=1");
    const std::string strOutput = Path("company.ccf");

    ToolRun seal = RunTool({"seal", strInput, strOutput});
    ASSERT_EQ(seal.dwExit, static_cast<DWORD>(c_nExitOk)) << seal.strErr;
    EXPECT_EQ(seal.strOut, "sealed " + strOutput + ": 4 fields\n");
    const std::string strExpected = Sealed("CompanyID=ACME\r\n; plug-ins\r\n\r\nWINWORD.EXE=  wdplug.dll \r\n"
                                           "Empty=\r\nDeleteOtherAddin=1\r\n");
    EXPECT_EQ(vmtest::ReadFile(strOutput), strExpected);
    EXPECT_EQ(ListDir(m_strDir), (std::vector<std::string>{"company.ccf", "policy.txt"}));

    ToolRun check = RunTool({"check-policy", strOutput});
    EXPECT_EQ(check.dwExit, static_cast<DWORD>(c_nExitOk));
    EXPECT_EQ(check.strOut, "valid\nCompanyID=ACME\nWINWORD.EXE=  wdplug.dll \nEmpty=\nDeleteOtherAddin=1\n");

    ASSERT_TRUE(CopyFileA(strOutput.c_str(), ciphertest::CcfPath().c_str(), FALSE));
    CCCF ccf;
    ASSERT_EQ(ccf.CheckCCFValidity(), CCF_VALID);
    EXPECT_STREQ(ccf.GetCompanyID(), "ACME");
    EXPECT_STREQ(ccf.GetField("winword.exe"), "  wdplug.dll ");
}

TEST_F(CipherToolTest, SealingAnEditedPolicyFileAgainKeepsOneSignatureAndOneChecksum)
{
    const std::string strFile = Write("company.ccf", Sealed("CompanyID=ACME\r\n"));
    // An administrator adds a field above the old checksum, which goes stale.
    std::string strEdited = vmtest::ReadFile(strFile);
    strEdited.insert(strEdited.find("Checksum="), "NotLoadSSDriver=1\r\n");
    vmtest::WriteFile(strFile, strEdited);
    ASSERT_EQ(RunTool({"check-policy", strFile}).dwExit, static_cast<DWORD>(c_nExitInvalid));

    // In place: the output replaces its own input.
    ToolRun seal = RunTool({"seal", strFile, strFile});
    ASSERT_EQ(seal.dwExit, static_cast<DWORD>(c_nExitOk)) << seal.strErr;
    EXPECT_EQ(vmtest::ReadFile(strFile), Sealed("CompanyID=ACME\r\nNotLoadSSDriver=1\r\n"));
    EXPECT_EQ(ListDir(m_strDir), std::vector<std::string>{"company.ccf"});
}

TEST_F(CipherToolTest, SealRefusesBadInputAndLeavesNothingBehind)
{
    const std::string strOld = "old output, must survive";
    const struct {
        const char* szWhat;
        std::string strInput;
        DWORD dwExit;
        const char* szMessage;
    } rows[] = {
        {"line without '=' on line 2", "A=1\nJustText\n", c_nExitInvalid, "line 2"},
        {"empty name on line 3", "A=1\n; ok\n=x\n", c_nExitInvalid, "line 3"},
        {"NUL in a value", std::string("A=x\0y\n", 6), c_nExitInvalid, "line 1"},
        {"Checksum line in the middle", "A=1\nChecksum=00000000\nB=2\n", c_nExitInvalid, "Checksum"},
        {"too large for a policy file", std::string(1024 * 1024, ';'), c_nExitInvalid, "1 MiB"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szWhat);
        const std::string strInput = Write("in.txt", row.strInput);
        const std::string strOutput = Write("out.ccf", strOld);
        ToolRun run = RunTool({"seal", strInput, strOutput});
        EXPECT_EQ(run.dwExit, row.dwExit);
        EXPECT_TRUE(Contains(run.strErr, row.szMessage)) << run.strErr;
        EXPECT_EQ(vmtest::ReadFile(strOutput), strOld);
        EXPECT_EQ(ListDir(m_strDir), (std::vector<std::string>{"in.txt", "out.ccf"}));
    }
}

TEST_F(CipherToolTest, OutputsThatCannotBeWrittenLeaveNothingBehind)
{
    const std::string strInput = Write("in.txt", "CompanyID=ACME\n");
    const std::string strMissingDir = Path("missing");
    CreateDirectoryA(Path("adir").c_str(), nullptr);
    const struct {
        const char* szCommand;
        std::string strOutput;
    } rows[] = {
        {"seal", strMissingDir + "\\out.ccf"}, // a folder that does not exist
        {"wrap", strMissingDir + "\\out.bin"},
        {"seal", Path("adir")},                // an existing folder in the output's place
        {"wrap", Path("adir")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.szCommand) + " to " + row.strOutput);
        ToolRun run = RunTool({row.szCommand, strInput, row.strOutput});
        EXPECT_EQ(run.dwExit, static_cast<DWORD>(c_nExitError));
        EXPECT_NE(run.strErr, "");
        EXPECT_FALSE(vmtest::FileExists(strMissingDir));
        EXPECT_EQ(ListDir(m_strDir), (std::vector<std::string>{"adir", "in.txt"}));
        EXPECT_TRUE(ListDir(Path("adir")).empty());
    }
}

TEST_F(CipherToolTest, MissingInputsAreErrors)
{
    const std::string strMissing = Path("nothing-here");
    const std::vector<std::string> rows[] = {
        {"seal", strMissing, Path("out.ccf")},
        {"wrap", strMissing, Path("out.bin")},
        {"wrap", m_strDir, Path("out.bin")},     // a folder is no document
    };
    for (const std::vector<std::string>& args : rows) {
        SCOPED_TRACE(Describe(args));
        ToolRun run = RunTool(args);
        EXPECT_EQ(run.dwExit, static_cast<DWORD>(c_nExitError));
        EXPECT_TRUE(Contains(run.strErr, "cannot read")) << run.strErr;
        EXPECT_TRUE(ListDir(m_strDir).empty());
    }
}

TEST_F(CipherToolTest, CheckPolicyNamesWhatIsWrong)
{
    const CheckRow rows[] = {
        {"missing file", "", false, c_nExitError, "invalid: missing or unreadable\n"},
        {"too large", std::string(1024 * 1024 + 1, ';'), true, c_nExitInvalid, "invalid: too large"},
        {"wrong first line", "LUMIDEX-CCF 2\r\n", true, c_nExitInvalid, "invalid: wrong first line"},
        {"malformed line 3", Sealed("A=1\r\nJunk\r\n"), true, c_nExitInvalid, "invalid: malformed line"},
        {"no checksum", "LUMIDEX-CCF 1\r\nA=1\r\n", true, c_nExitInvalid, "invalid: checksum line missing or wrong"},
    };
    for (const CheckRow& row : rows)
        ExpectCheck("check-policy", row);
    Write("policy.ccf", Sealed("A=1\r\nJunk\r\n"));
    EXPECT_EQ(RunTool({"check-policy", Path("policy.ccf")}).strOut, "invalid: malformed line (neither blank, "
                                                                    "comment nor Name=Value) (line 3)\n");
}

// The text with '!' as line a_nFirst and '@' as the line after it.
std::string LineNumbered(std::string a_strText, int a_nFirst)
{
    for (char& ch : a_strText)
        if (ch == '!' || ch == '@')
            ch = static_cast<char>('0' + a_nFirst + (ch == '@'));
    return a_strText;
}

// A valid policy that leaves an application uncontrolled seals and checks
// as valid, with every warning it earns and no other, each naming its line;
// --strict makes it fail. vmcheck, run beside the sealed policy as in a
// product folder, warns of the same.
constexpr char c_szQuotedNearMiss[] = "DeleteOtherAdin is no setting and no program: did you mean DeleteOtherAddin?";

TEST_F(CipherToolTest, SealAndCheckPolicyWarnOfWhatAValidPolicyLeavesUndone)
{
    Write("vmplugin.dll", "");
    const struct {
        const char* szLine;                  // after CompanyID=ACME
        std::vector<std::string> warnings;   // @ the row's line, ! CompanyID's line, {dir} the plug-in folder
    } rows[] = {
        {"notepad.exe = vmplugin.dll",
         {"line @: the name \"notepad.exe \" has blanks at its start or end; they are part of the name, so this is "
          "not the field notepad.exe",
          "line @: the value \" vmplugin.dll\" of notepad.exe has blanks at its start or end; they are part of the "
          "value"}},
        {"notepad.exe=vmplugin.dll\t",
         {"line @: the value \"vmplugin.dll\t\" of notepad.exe has blanks at its start or end; they are part of the "
          "value"}},
        {"companyid=OTHER", {"line @: companyid is given again (first on line !); only the first counts"}},
        {"WINWORD.EXE=wdplug.dll",
         {"line @: WINWORD.EXE names the plug-in wdplug.dll, which is not a file in {dir}, so WINWORD.EXE will "
          "not be controlled{hint}"}},
        {"WINWORD.EXE=", {"line @: WINWORD.EXE names no plug-in, so WINWORD.EXE will not be controlled"}},
        {"WINWORD.EXE=..\\vmplugin.dll",
         {"line @: WINWORD.EXE names the plug-in \"..\\vmplugin.dll\", which is not a file name: plug-ins lie in "
          "{dir}, so WINWORD.EXE will not be controlled"}},
        {"DeleteOtherAddin=yes", {"line @: DeleteOtherAddin is \"yes\", neither 0 nor 1; it is taken as 0"}},
        {"NotLoadSSDriver=2", {"line @: NotLoadSSDriver is \"2\", neither 0 nor 1; it is taken as 0"}},
        {"TrustedFolders=C:\\Apps;Apps",
         {"line @: the TrustedFolders entry \"Apps\" is not a full path (X:\\... or \\\\server\\share\\...), so "
          "it trusts no folder"}},
        {"TrustedFolders=C:\\",
         {"line @: the TrustedFolders entry \"C:\\\" trusts no folder: it is a drive's root, where users may create "
          "folders"}},
        {"TrustedFolders=C:\\ProgramData",
         {"line @: the TrustedFolders entry \"C:\\ProgramData\" trusts no folder: it lies in ProgramData or a "
          "temporary folder, where users write"}},
        {"TrustedFolder=C:\\Apps", {"line @: TrustedFolder is no setting and no program: did you mean TrustedFolders?"}},
        // As docs/policy-file.md quotes it (checked below).
        {"DeleteOtherAdin=1", {"line @: " + std::string(c_szQuotedNearMiss)}},
        {"notepad=vmplugin.dll", {"line @: the application name \"notepad\" does not end in .exe, so it names no program"}},
        // A batch file is a name the hook asks for, and refuses.
        {"run.bat=vmplugin.dll",
         {"line @: run.bat is a batch file: it runs in the command interpreter cmd.exe, where the plug-in protects "
          "nothing the batch file starts, so the hook refuses the documents it would open"}},
        {"BAKHND.CMD=vmplugin.dll",
         {"line @: BAKHND.CMD is a batch file: it runs in the command interpreter cmd.exe, where the plug-in "
          "protects nothing the batch file starts, so the hook refuses the documents it would open"}},
        {"C:\\Windows\\notepad.exe=vmplugin.dll",
         {"line @: the application name \"C:\\Windows\\notepad.exe\" holds a path; the policy names programs by "
          "their file name alone, so it names none"}},
        {"TrustedFolders=C:Apps",
         {"line @: the TrustedFolders entry \"C:Apps\" is not a full path (X:\\... or \\\\server\\share\\...), so "
          "it trusts no folder"}},
        // Folders that do not exist where the policy is sealed are judged by their text.
        {"TrustedFolders=C:\\users\\Public\\no-such-tools",
         {"line @: the TrustedFolders entry \"C:\\users\\Public\\no-such-tools\" trusts no folder: it lies in the "
          "users' profiles, where users write"}},
        // Thumbprints as Windows shows them pass: SHA-1 in pairs, SHA-256 in one run.
        {"TrustedPublishers=92 96 6e cc a8 62 a1 ef e3 07 16 4d 39 f9 01 92 41 54 05 35;"
         "4ED4D9E70A6B026792D0D4A11988F10F538D4F8D72139F1BDF749AAAD8688C6D", {}},
        {"TrustedPublishers=92966ECC;Korvane Ltd",
         {"line @: the TrustedPublishers entry \"92966ECC\" is no certificate thumbprint: it has neither 40 "
          "hexadecimal digits (SHA-1) nor 64 (SHA-256), so it lists no publisher",
          "line @: the TrustedPublishers entry \"Korvane Ltd\" is no certificate thumbprint: it holds a character "
          "that is neither a hexadecimal digit nor a blank, so it lists no publisher"}},
        {"TrustedPublishers=;", {"line @: TrustedPublishers lists no thumbprint, so the publisher rule is off"}},
        {"TrustedFolders=Q:\\Apps",
         {"line @: the TrustedFolders entry \"Q:\\Apps\" trusts no folder: its drive is no fixed local volume, so "
          "the user may re-point its letter"}},
    };
    // The page that explains the warnings quotes this one word for word.
    EXPECT_NE(vmtest::ReadFile(vmtest::SourcePath("docs\\policy-file.md")).find(c_szQuotedNearMiss), std::string::npos)
        << "docs/policy-file.md does not quote: " << c_szQuotedNearMiss;
    // Every warning of the row, in order, for a_strFile with the row on line a_nFirst + 1.
    auto expected = [this](const std::string& a_strFile, const std::vector<std::string>& a_warnings, int a_nFirst) {
        std::string strAll;
        for (std::string strWarning : a_warnings) {
            size_t iDir = strWarning.find("{dir}");
            if (iDir != std::string::npos)
                strWarning.replace(iDir, 5, m_strDir);
            // The plug-in folder was guessed: the tool names the option that sets it.
            size_t iHint = strWarning.find("{hint}");
            if (iHint != std::string::npos)
                strWarning.replace(iHint, 6, " (give --product-folder DIR when the plug-ins lie in the product folder)");
            strAll += "warning: " + a_strFile + ", " + LineNumbered(strWarning, a_nFirst) + "\n";
        }
        return strAll;
    };
    const std::string strOutput = Path("company.ccf");
    const std::string strVmcheck = Path("vmcheck.exe");
    ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\vmcheck.exe").c_str(), strVmcheck.c_str(), FALSE));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szLine);
        const std::string strInput = Write("policy.txt", "CompanyID=ACME\n" + std::string(row.szLine) + "\n");
        ToolRun seal = RunTool({"seal", strInput, strOutput});
        EXPECT_EQ(seal.dwExit, static_cast<DWORD>(c_nExitOk));
        EXPECT_EQ(seal.strErr, expected(strInput, row.warnings, 1));
        ToolRun check = RunTool({"check-policy", strOutput});
        EXPECT_EQ(check.dwExit, static_cast<DWORD>(c_nExitOk));
        EXPECT_EQ(check.strOut.rfind("valid\n", 0), 0u) << check.strOut;
        // the sealed file's first line is the signature: one line further down
        EXPECT_EQ(check.strErr, expected(strOutput, row.warnings, 2));
        vmtest::CToolRun vmcheck = vmtest::RunTool(strVmcheck, {}, 30000);
        for (const std::string& strWarning : row.warnings) {
            std::string strLine = "WARN policy " + LineNumbered(strWarning, 2);
            size_t iDir = strLine.find("{dir}");
            if (iDir != std::string::npos)
                strLine.replace(iDir, 5, m_strDir);
            size_t iHint = strLine.find("{hint}");
            if (iHint != std::string::npos)
                strLine.erase(iHint, 6);
            EXPECT_NE(std::find(vmcheck.m_lines.begin(), vmcheck.m_lines.end(), strLine), vmcheck.m_lines.end())
                << strLine << "\nnot in:\n" << vmtest::Joined(vmcheck.m_lines);
        }
    }
    // The last row's files: --strict fails on warnings, and seals nothing.
    EXPECT_EQ(RunTool({"--strict", "check-policy", strOutput}).dwExit, static_cast<DWORD>(c_nExitInvalid));
    DeleteFileA(strOutput.c_str());
    EXPECT_EQ(RunTool({"seal", "--strict", Path("policy.txt"), strOutput}).dwExit,
              static_cast<DWORD>(c_nExitInvalid));
    EXPECT_FALSE(vmtest::FileExists(strOutput)) << "--strict sealed it all the same";
}

// Plug-ins lie beside the policy file, or in the product folder named.
TEST_F(CipherToolTest, APolicyWithoutFaultsIsSilentAndTheProductFolderHoldsThePlugins)
{
    Write("vmplugin.dll", "");
    const std::string strInput = Write("policy.txt", "CompanyID=ACME\nnotepad.exe=VMPLUGIN.DLL\nDeleteOtherAddin=0\n"
                                                     "NotLoadSSDriver=1\n"
                                                     "TrustedFolders=C:\\Apps; \\\\srv\\share\\Apps\n");
    ToolRun seal = RunTool({"--strict", "seal", strInput, Path("company.ccf")});
    EXPECT_EQ(seal.dwExit, static_cast<DWORD>(c_nExitOk));
    EXPECT_EQ(seal.strErr, "");
    CreateDirectoryA(Path("elsewhere").c_str(), nullptr);
    const std::string strElsewhere = Path("elsewhere\\company.ccf");
    ASSERT_TRUE(CopyFileA(Path("company.ccf").c_str(), strElsewhere.c_str(), FALSE));
    EXPECT_EQ(RunTool({"--strict", "check-policy", strElsewhere}).dwExit, static_cast<DWORD>(c_nExitInvalid));
    ToolRun check = RunTool({"--strict", "--product-folder", m_strDir, "check-policy", strElsewhere});
    EXPECT_EQ(check.dwExit, static_cast<DWORD>(c_nExitOk));
    EXPECT_EQ(check.strErr, "");
}

TEST_F(CipherToolTest, WrappedDocumentIsValidForToolAndLibrary)
{
    // More than one copy chunk, with every byte value.
    std::string strContent;
    for (size_t i = 0; i < 200000; ++i)
        strContent.push_back(static_cast<char>(i * 7 + i / 256));
    const std::string strInput = Write("report.doc", strContent);
    const std::string strOutput = Path("report.acap");

    ToolRun wrap = RunTool({"wrap", strInput, strOutput});
    ASSERT_EQ(wrap.dwExit, static_cast<DWORD>(c_nExitOk)) << wrap.strErr;
    EXPECT_TRUE(vmtest::ReadFile(strOutput) == MakeHeader(strContent.size()) + strContent);
    EXPECT_EQ(ListDir(m_strDir), (std::vector<std::string>{"report.acap", "report.doc"}));

    ToolRun check = RunTool({"check-document", strOutput});
    EXPECT_EQ(check.dwExit, static_cast<DWORD>(c_nExitOk));
    EXPECT_EQ(check.strOut, "valid\npayload size: 200000\n");

    CFlexibleHeader header;
    EXPECT_EQ(header.GetHeaderFromFile(strOutput.c_str(), 0, 0, 0), ACAP_HEADER_OK);
    EXPECT_NE(header.GetHeaderFromFile(strInput.c_str(), 0, 0, 0), ACAP_HEADER_OK);
}

TEST_F(CipherToolTest, WrapInPlaceAndOfAnEmptyFile)
{
    const std::string strDoc = Write("doc.txt", "hello");
    ToolRun inPlace = RunTool({"wrap", strDoc, strDoc});
    ASSERT_EQ(inPlace.dwExit, static_cast<DWORD>(c_nExitOk)) << inPlace.strErr;
    EXPECT_EQ(vmtest::ReadFile(strDoc), MakeHeader(5) + "hello");

    const std::string strEmpty = Write("empty.txt", "");
    ToolRun empty = RunTool({"wrap", strEmpty, Path("empty.acap")});
    ASSERT_EQ(empty.dwExit, static_cast<DWORD>(c_nExitOk)) << empty.strErr;
    EXPECT_EQ(RunTool({"check-document", Path("empty.acap")}).strOut, "valid\npayload size: 0\n");
    EXPECT_EQ(ListDir(m_strDir), (std::vector<std::string>{"doc.txt", "empty.acap", "empty.txt"}));
}

TEST_F(CipherToolTest, CheckDocumentNamesWhatIsWrong)
{
    std::string strCrcFlipped = MakeHeader(0);
    strCrcFlipped[31] ^= 0x01;
    const CheckRow rows[] = {
        {"missing file", "", false, c_nExitError, "invalid: cannot open the file\n"},
        {"31 bytes", MakeHeader(0).substr(0, 31), true, c_nExitInvalid, "invalid: shorter than the 32-byte header\n"},
        {"plain document", "A plain document, longer than a header.", true, c_nExitInvalid, "invalid: wrong magic"},
        {"flipped CRC", strCrcFlipped, true, c_nExitInvalid, "invalid: header CRC does not match\n"},
    };
    for (const CheckRow& row : rows)
        ExpectCheck("check-document", row);
}

} // namespace
