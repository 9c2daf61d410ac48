// The command-string parser and its text operations, on the prefix's own
// directories and on scratch files.

#include "common/CommandProgram.h"
#include "common/FileIdentity.h"
#include "resolution/PathHelpers.h"

#include "tests/resolution/ResolutionFixture.h"
#include "tests/support/TestPaths.h"

#include <shlwapi.h>

#include <cstring>

using vmtest::ShortPath;
using vmtest::SystemDir;
using vmtest::WindowsDir;

namespace {

constexpr unsigned char c_sentinel = 0xCD;

// Runs the parser into a MAX_PATH window of a larger buffer and checks that
// nothing beyond the window was written.
std::string Parse(const std::string& a_strCommand, size_t a_cbOut = MAX_PATH)
{
    std::vector<char> buffer(a_cbOut + 64, static_cast<char>(c_sentinel));
    ParseCommandPath(a_strCommand.c_str(), buffer.data(), a_cbOut);
    for (size_t i = a_cbOut; i < buffer.size(); ++i) {
        EXPECT_EQ(static_cast<unsigned char>(buffer[i]), c_sentinel) << "byte " << i << " past the output";
        if (static_cast<unsigned char>(buffer[i]) != c_sentinel)
            break;
    }
    return std::string(buffer.data(), strnlen(buffer.data(), a_cbOut));
}

std::string Upper(std::string a_str)
{
    CharUpperBuffA(&a_str[0], static_cast<DWORD>(a_str.size()));
    return a_str;
}

void MakeFile(const std::string& a_strPath)
{
    vmtest::WriteFile(a_strPath, "MZ");
    ASSERT_TRUE(vmtest::FileExists(a_strPath)) << a_strPath;
}

std::string ProgramFilesDir()
{
    char szRoot[MAX_PATH] = {};
    lstrcpynA(szRoot, WindowsDir().c_str(), MAX_PATH);
    PathStripToRootA(szRoot);
    return std::string(szRoot) + "Program Files";
}

// ---- The text operations ------------------------------------------------

struct TextRow {
    const char* m_szIn;
    const char* m_szOut;
};

TEST(TextOperationsTest, CutAtLastSpace)
{
    const TextRow rows[] = {
        {" a", " a"},   // the only space is the first character: never taken
        {"a b c", "a b"}, // the last of two spaces
        {"abc", "abc"}, // no space
        {"", ""},
        {"a ", "a"},
        {"  ", " "},    // the space at position 1 is taken
    };
    for (const TextRow& row : rows) {
        char sz[16] = {};
        lstrcpynA(sz, row.m_szIn, sizeof(sz));
        CutAtLastSpace(sz);
        EXPECT_STREQ(sz, row.m_szOut) << "CutAtLastSpace(\"" << row.m_szIn << "\")";
    }
}

TEST(TextOperationsTest, TrimTrailingSpaces)
{
    const TextRow rows[] = {
        {"a   ", "a"},
        {"   ", ""},    // spaces only
        {"", ""},
        {"a b", "a b"}, // inner spaces stay
        {" a", " a"},
    };
    for (const TextRow& row : rows) {
        char sz[16] = {};
        lstrcpynA(sz, row.m_szIn, sizeof(sz));
        TrimTrailingSpaces(sz);
        EXPECT_STREQ(sz, row.m_szOut) << "TrimTrailingSpaces(\"" << row.m_szIn << "\")";
    }
}

TEST(TextOperationsTest, StripQuotes)
{
    const TextRow rows[] = {
        {"\"abc\"", "abc"}, // both quotes go
        {"\"abc", "ab"},    // the last character goes, quote or not
        {"\"\"", ""},       // length 2
        {"\"", ""},         // length 1
        {"abc\"", "abc\""}, // no opening quote: unchanged
        {"\"a\"", "a"},     // length 3
        {"", ""},
    };
    for (const TextRow& row : rows) {
        char sz[16] = {};
        lstrcpynA(sz, row.m_szIn, sizeof(sz));
        StripQuotes(sz);
        EXPECT_STREQ(sz, row.m_szOut) << "StripQuotes(" << row.m_szIn << ")";
    }
}

TEST(TextOperationsTest, ContainsNoCase)
{
    EXPECT_TRUE(ContainsNoCase("c:\\x\\%systemroot%\\a.exe", "%SystemRoot%"));
    EXPECT_TRUE(ContainsNoCase("SHIMGVW.DLL", "shimgvw.dll"));
    EXPECT_FALSE(ContainsNoCase("%ProgramFiles%", "%SystemRoot%"));
    // A text longer than the working copies is not compared past them.
    EXPECT_FALSE(ContainsNoCase(std::string(c_cbCompareCopy, 'a').c_str(), "A"));
    EXPECT_TRUE(ContainsNoCase(std::string(c_cbCompareCopy - 1, 'a').c_str(), "A"));
}

TEST(TextOperationsTest, ReplaceNoCaseUpperCasesAllButTheReplacement)
{
    vmtest::DebugCapture capture;
    char sz[MAX_PATH] = "c:\\x\\%systemroot%\\a.exe b";
    ReplaceNoCase(sz, sizeof(sz), "%SystemRoot%", "C:\\Windows");
    EXPECT_STREQ(sz, "C:\\X\\C:\\Windows\\A.EXE B");
    ReplaceNoCase(sz, sizeof(sz), "%ProgramFiles%", "D:\\Program Files");
    EXPECT_STREQ(sz, "C:\\X\\C:\\Windows\\A.EXE B"); // not found: unchanged
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{
                                   "szExe[C:\\X\\%SYSTEMROOT%\\A.EXE B], szCompare[%SYSTEMROOT%]",
                                   "szExe[C:\\X\\C:\\WINDOWS\\A.EXE B], szCompare[%PROGRAMFILES%]",
                                   "strstr is null!"}))
        << capture.Dump();
}

// Results at the end of the text buffer and of the 520-byte result buffer:
// one that fits is written, one that does not leaves the text as it was.
TEST(TextOperationsTest, ReplaceNoCaseRefusesWhatDoesNotFit)
{
    struct Row {
        const char* m_szWhat;
        size_t m_cbText;   // text buffer
        size_t m_cchResult; // length the replacement would give
        bool m_bReplaced;
    } rows[] = {
        {"259 characters fit a 260-byte text", MAX_PATH, 259, true},
        {"260 characters do not", MAX_PATH, 260, false},
        {"519 characters fit the result buffer", 1040, 519, true},
        {"520 characters do not", 1040, 520, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.m_szWhat);
        // "%X%" (3 bytes) becomes "12345" (5 bytes).
        std::string strText = "%X%" + std::string(row.m_cchResult - 5, 'a');
        std::vector<char> buffer(row.m_cbText + 64, static_cast<char>(c_sentinel));
        memcpy(buffer.data(), strText.c_str(), strText.size() + 1);
        ReplaceNoCase(buffer.data(), row.m_cbText, "%x%", "12345");
        std::string strExpected = row.m_bReplaced ? "12345" + std::string(row.m_cchResult - 5, 'A') : strText;
        EXPECT_EQ(std::string(buffer.data()), strExpected);
        for (size_t i = row.m_cbText; i < buffer.size(); ++i)
            ASSERT_EQ(static_cast<unsigned char>(buffer[i]), c_sentinel) << "byte " << i;
    }
}

TEST(TextOperationsTest, ReplaceFileNameStaysInItsBuffer)
{
    char sz[MAX_PATH] = "C:\\tools\\x.dll";
    EXPECT_STREQ(ReplaceFileName(sz, "y.exe"), "C:\\tools\\y.exe");

    // Directory of 250 characters: a name of 9 fits exactly (259), 10 do not.
    std::string strDir = "C:\\" + std::string(246, 'd') + "\\";
    ASSERT_EQ(strDir.size(), 250u);
    char szPath[MAX_PATH + 8];
    memset(szPath, c_sentinel, sizeof(szPath));
    lstrcpynA(szPath, (strDir + "x.dll").c_str(), MAX_PATH);
    EXPECT_EQ(std::string(ReplaceFileName(szPath, MAX_PATH, "123456789")), strDir + "123456789");
    lstrcpynA(szPath, (strDir + "x.dll").c_str(), MAX_PATH);
    EXPECT_STREQ(ReplaceFileName(szPath, MAX_PATH, "1234567890"), "");
    for (size_t i = MAX_PATH; i < sizeof(szPath); ++i)
        ASSERT_EQ(static_cast<unsigned char>(szPath[i]), c_sentinel);
}

TEST(TextOperationsTest, GetLongFilePathName)
{
    vmtest::TraceSwitches switches;
    vmtest::DebugCapture capture;
    CLxShellExt ext;
    std::string strNotepad = WindowsDir() + "\\notepad.exe";
    std::string strShort = ShortPath(ProgramFilesDir() + "\\Windows NT\\Accessories\\wordpad.exe");
    EXPECT_EQ(ext.GetLongFilePathName(strShort.c_str()), ProgramFilesDir() + "\\Windows NT\\Accessories\\wordpad.exe");
    std::string strMissing = WindowsDir() + "\\no-such-file.exe";
    EXPECT_FALSE(ext.GetLongFilePathName(strMissing.c_str()).has_value());
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{
                  "[TRACE] GetLongFilePathName -> [" + ProgramFilesDir() + "\\Windows NT\\Accessories\\wordpad.exe]",
                  "[ERROR] GetLongFilePathName(" + strMissing + ") -> GetLastError(2)"}))
        << capture.Dump();
}

// ---- The parser ---------------------------------------------------------

class ParseCommandPathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strAcmeDir = ProgramFilesDir() + "\\Acme";
        vmtest::RemoveTree(m_strAcmeDir);
        m_strAcme = m_strAcmeDir + "\\acme.exe";
    }
    void TearDown() override { vmtest::RemoveTree(m_strAcmeDir); }

    void MakeAcme()
    {
        CreateDirectoryA(m_strAcmeDir.c_str(), nullptr);
        MakeFile(m_strAcme);
    }

    std::string m_strAcmeDir;
    std::string m_strAcme;
};

TEST_F(ParseCommandPathTest, WorkedExamplesOnThisMachine)
{
    MakeAcme();
    std::string strWin = WindowsDir();
    std::string strPf = ProgramFilesDir();
    std::string strWordpad = strPf + "\\Windows NT\\Accessories\\WORDPAD.EXE";
    ASSERT_TRUE(vmtest::FileExists(strWordpad));
    struct Row {
        std::string m_strCommand;
        std::string m_strExpected;
    } rows[] = {
        // The argument after the last blank goes; what is left is a file.
        {strWin + "\\system32\\NOTEPAD.EXE %1", ShortPath(strWin + "\\system32\\NOTEPAD.EXE")},
        // The quoted argument goes, the quotes go, the short form of the file is found.
        {"\"" + strWordpad + "\" \"%1\"", ShortPath(strWordpad)},
        // A bare name found in the Windows directory.
        {"notepad.exe %1", strWin + "\\notepad.exe"},
        // Unquoting the cut text spoils it; the text between the quotes is taken.
        {"\"" + m_strAcme + "\" /open \"%1\"", ShortPath(m_strAcme)},
        // The variable expands and the rest is upper-cased; the viewer's entry
        // point gets its mixed-case name back.
        {"%SystemRoot%\\System32\\rundll32.exe %SystemRoot%\\system32\\shimgvw.dll,ImageView_Fullscreen %1",
         Upper(strWin) + "\\SYSTEM32\\RUNDLL32.EXE %SYSTEMROOT%\\SYSTEM32\\SHIMGVW.DLL,ImageView_Fullscreen"},
        // Nothing to cut: the probe in the Windows directory names the folder itself.
        {"", strWin + "\\"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Parse(row.m_strCommand), row.m_strExpected) << "ParseCommandPath(" << row.m_strCommand << ")";
}

// An unquoted path with blanks: the first word's "C:\Program.exe" (what the
// process creation tries first) only when no prefix of the command names a
// file; otherwise the longest prefix that does.
TEST_F(ParseCommandPathTest, UnquotedPathWithBlanksNamesTheIntendedProgram)
{
    std::string strPf = ProgramFilesDir();
    std::string strProgram = strPf.substr(0, strPf.find(' '));
    EXPECT_EQ(Parse(m_strAcme), strProgram + ".exe") << "no acme.exe on disk: the text ends at its first space";

    MakeAcme();
    EXPECT_EQ(Parse(m_strAcme), m_strAcme);
    EXPECT_EQ(Parse(m_strAcme + " /open %1"), m_strAcme);
    EXPECT_EQ(Parse(m_strAcme + " /open"), ShortPath(m_strAcme)) << "the argument after the last blank goes and the rest is found";
    EXPECT_EQ(Parse(m_strAcme + "  /a  /b  "), m_strAcme);
}

// A program planted at a shorter prefix never wins over the intended one, and
// a directory named like a program is never taken. The planted "Program" is
// a candidate of every route: the existing full path after the cut at the
// last blank, the text before the last variable, and the cut at the first
// blank.
TEST_F(ParseCommandPathTest, PlantedProgramAtAShorterPrefixLoses)
{
    std::string strDir = vmtest::MakeScratchDir("planted");
    CreateDirectoryA((strDir + "\\Program Files").c_str(), nullptr);
    CreateDirectoryA((strDir + "\\Program Files\\Acme").c_str(), nullptr);
    std::string strIntended = strDir + "\\Program Files\\Acme\\acme.exe";
    MakeFile(strIntended);
    MakeFile(strDir + "\\Program");
    EXPECT_EQ(Parse(strIntended), strIntended);
    EXPECT_EQ(Parse(strIntended + " /open %1"), strIntended);
    EXPECT_EQ(Parse(strIntended + " /a /b"), strIntended);
    // A tab separates the arguments as a blank does.
    EXPECT_EQ(Parse(strIntended + "\t/a"), strIntended);

    // "d x\y.exe" is a directory; neither it nor the missing "d.exe" is taken.
    CreateDirectoryA((strDir + "\\d x").c_str(), nullptr);
    CreateDirectoryA((strDir + "\\d x\\y.exe").c_str(), nullptr);
    EXPECT_EQ(Parse(strDir + "\\d x\\y.exe"), strDir + "\\d.exe");

    // With both programs gone no prefix names a file: the text cut at its
    // first blank, as the process creation tries it first, stands (and names
    // no file either).
    DeleteFileA(strIntended.c_str());
    DeleteFileA((strDir + "\\Program").c_str());
    EXPECT_EQ(Parse(strIntended), strDir + "\\Program.exe");
    vmtest::RemoveTree(strDir);
}

// Programs planted in the current directory under the names the commands
// use: a relative name goes on to the Windows and system folders, is not
// shortened in the current directory, and no relative prefix is taken.
TEST_F(ParseCommandPathTest, CurrentDirectoryIsNeverSearched)
{
    std::string strDir = vmtest::MakeScratchDir("current");
    for (const char* szName : {"notepad.exe", "unknown.exe", "longprogram.exe"})
        MakeFile(strDir + "\\" + szName);
    char szBefore[MAX_PATH] = {};
    ASSERT_TRUE(GetCurrentDirectoryA(MAX_PATH, szBefore));
    ASSERT_TRUE(SetCurrentDirectoryA(strDir.c_str()));
    std::string strNotepad = Parse("notepad.exe %1");
    std::string strUnknown = Parse("unknown.exe /p %1");
    std::string strLong = Parse("longprogram.exe %1");
    SetCurrentDirectoryA(szBefore);
    vmtest::RemoveTree(strDir);
    EXPECT_EQ(strNotepad, WindowsDir() + "\\notepad.exe");
    EXPECT_EQ(strUnknown, "unknown.exe");
    EXPECT_EQ(strLong, "longprogram.exe");
}

TEST_F(ParseCommandPathTest, EdgeCases)
{
    std::string strWin = WindowsDir();
    std::string strPf = ProgramFilesDir();
    struct Row {
        const char* m_szWhat;
        std::string m_strCommand;
        std::string m_strExpected;
    } rows[] = {
        {"%ProgramFiles% alone becomes the root's Program Files",
         "%ProgramFiles%\\Windows NT\\Accessories\\wordpad.exe %1",
         ShortPath(strPf + "\\WINDOWS NT\\ACCESSORIES\\WORDPAD.EXE")},
        {"after an expansion the rest is in capitals (no such file, and neither the second expansion nor the cut at a space changes it)",
         "%SystemRoot%\\Acme\\acme.exe", strWin + "\\ACME\\ACME.EXE"},
        {"image viewer in small letters: the viewer's marker does not match; the text is cut before %1, and the "
         "program named by the command's prefix is taken",
         strWin + "\\system32\\rundll32.exe " + strWin + "\\system32\\shimgvw.dll,ImageView_Fullscreen %1",
         strWin + "\\system32\\rundll32.exe"},
        {"quoted without a closing quote: the cut command in short form", "\"" + strPf + "\\Acme\\acme.exe /x %1",
         strPf + "\\Acme\\acme.exe /"},
        {"ideas.cmd leading nowhere: the cut command in short form", "C:\\nowhere\\ideas.cmd %1", "C:\\nowhere\\ideas.cmd"},
        // No prefix names a file (Wine's 8.3 names are hashed; Access~1 is
        // Windows 95's): the program the process creation tries first, never
        // the switch before the document, or the text after its "/".
        {"8.3 print command naming no file", "C:\\Progra~1\\Access~1\\WORDPAD.EXE /p \"%1\"",
         "C:\\Progra~1\\Access~1\\WORDPAD.EXE"},
        {"8.3 printto command naming no file", "C:\\Progra~1\\Access~1\\WORDPAD.EXE /pt \"%1\" \"%2\" \"%3\" \"%4\"",
         "C:\\Progra~1\\Access~1\\WORDPAD.EXE"},
        {"bare name with a switch, found nowhere", "nowhere-app /p %1", "nowhere-app.exe"},
        // A program behind a variable of the user's own: its text as the
        // process creation would try it, quoted or not, ".exe" added.
        {"quoted per-user program without .exe", "\"%USERPROFILE%\\bin\\elevate\" -k \"%1\"",
         "%USERPROFILE%\\bin\\elevate.exe"},
        {"unquoted per-user program without .exe", "%USERPROFILE%\\bin\\elevate -k \"%1\"",
         "%USERPROFILE%\\bin\\elevate.exe"},
        {"quoted per-user program with blanks in its arguments",
         "\"%LOCALAPPDATA%\\Microsoft\\WindowsApps\\wt.exe\" -p \"Command Prompt\" -d \"%1\"",
         "%LOCALAPPDATA%\\Microsoft\\WindowsApps\\wt.exe"},
        {"quoted program with blanks naming no file: the whole quoted text",
         "\"" + strPf + "\\No Such Corp\\app\" /open \"%1\"", strPf + "\\No Such Corp\\app.exe"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Parse(row.m_strCommand), row.m_strExpected) << row.m_szWhat << "\n  " << row.m_strCommand;
}

// The second "%SystemRoot%" and the "%ProgramFiles%" stay in the text that
// the image viewer's entry hands out.
TEST_F(ParseCommandPathTest, OnlyTheFirstSystemRootIsExpanded)
{
    vmtest::DebugCapture capture;
    std::string strOut = Parse("%SystemRoot%\\System32\\rundll32.exe %SystemRoot%\\%ProgramFiles%\\shimgvw.dll,"
                               "ImageView_Fullscreen %1");
    std::string strUpperWin = Upper(WindowsDir());
    EXPECT_EQ(strOut, strUpperWin + "\\SYSTEM32\\RUNDLL32.EXE %SYSTEMROOT%\\%PROGRAMFILES%\\SHIMGVW.DLL,"
                      "ImageView_Fullscreen");
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{
                  "szExe[%SYSTEMROOT%\\SYSTEM32\\RUNDLL32.EXE %SYSTEMROOT%\\%PROGRAMFILES%\\SHIMGVW.DLL,"
                  "IMAGEVIEW_FULLSCREEN %1], szCompare[%SYSTEMROOT%]",
                  "szExe[" + strUpperWin + "\\SYSTEM32\\RUNDLL32.EXE %SYSTEMROOT%\\%PROGRAMFILES%\\SHIMGVW.DLL,"
                  "IMAGEVIEW_FULLSCREEN], szCompare[IMAGEVIEW_FULLSCREEN]"}))
        << capture.Dump();
}

// Commands and expansions at the buffer's end.
TEST_F(ParseCommandPathTest, TextsAtTheBufferEnd)
{
    std::string strNotepad = WindowsDir() + "\\notepad.exe";
    std::string strCommand259 = strNotepad + " " + std::string(258 - strNotepad.size(), 'x');
    ASSERT_EQ(strCommand259.size(), 259u);
    EXPECT_EQ(Parse(strCommand259), ShortPath(strNotepad)) << "259 characters are parsed";
    EXPECT_EQ(Parse(strCommand259 + "x"), "") << "260 characters are refused";
    EXPECT_EQ(Parse("notepad.exe %1", 11), "") << "a command longer than a small output is refused";
    EXPECT_EQ(Parse("", 1), "") << "no room for the Windows directory: nothing written";

    // "%ProgramFiles%" (14 characters) becomes "<root>Program Files" (16 on drive C:).
    std::string strPf = ProgramFilesDir();
    size_t cchGrowth = strPf.size() - 14;
    std::string strTail257 = "\\" + std::string(259 - strPf.size() - 5, 'a') + ".exe";
    std::string strFits = "%ProgramFiles%" + strTail257;           // expands to 259
    std::string strTooLong = "%ProgramFiles%\\a" + strTail257.substr(1); // would expand to 260
    ASSERT_EQ(strFits.size() + cchGrowth, 259u);
    // Expanded, the text is cut at its last blank, the one of "Program Files",
    // and names the program the process creation would try first.
    EXPECT_EQ(Parse(strFits), strPf.substr(0, strPf.find(' ')) + ".exe");
    EXPECT_EQ(Parse(strTooLong), strTooLong) << "the expansion is refused, the text stays";

    // ".exe" is added to a program without an extension where it fits; a
    // name it would take past the buffer names nothing.
    std::string strName255 = "C:\\nowhere\\" + std::string(244, 'n');
    ASSERT_EQ(strName255.size(), 255u);
    EXPECT_EQ(Parse(strName255 + " %1"), strName255 + ".exe") << "259 characters with .exe";
    EXPECT_EQ(Parse(strName255 + "n %1"), "") << "260 characters with .exe";
    EXPECT_EQ(Parse("\"" + strName255 + "\""), strName255 + ".exe") << "quoted, 259 characters with .exe";
    EXPECT_EQ(Parse("\"" + strName255 + "n\""), "") << "quoted, 260 characters with .exe";
}

} // namespace

// The arguments of a registered command as the shell fills them for a
// document: the document wherever a placeholder takes it, quoted or not, and
// never the request's own parameters.
TEST(FillCommandPlaceholdersTest, FillsTheDocumentAndNothingOfTheRequest)
{
    const std::string strDocument = "C:\\docs\\a b.jar", strFolder = "C:\\docs";
    const struct {
        const char* m_szRest;
        bool m_bFilled;
        const char* m_szFilled;
    } rows[] = {
        {" -jar \"%1\"", true, " -jar \"C:\\docs\\a b.jar\""},
        {" \"--cd=%1\"", true, " \"--cd=C:\\docs\\a b.jar\""},       // inside a larger argument
        {" /p %L", true, " /p C:\\docs\\a b.jar"},                   // unquoted, as written
        {" %v %d %0", true, " C:\\docs\\a b.jar C:\\docs\\a b.jar C:\\docs\\a b.jar"},
        {" /w \"%W\" \"%1\"", true, " /w \"C:\\docs\" \"C:\\docs\\a b.jar\""},
        {" -k \"%1\" %* %~ %2 %9", true, " -k \"C:\\docs\\a b.jar\"    "}, // the request's parameters: nothing
        {" 100%% \"%1\" %x %", true, " 100% \"C:\\docs\\a b.jar\" %x %"},  // other percent signs stay
        {" \"%1%\"", true, " \"C:\\docs\\a b.jar%\""},
        {" /dde", false, ""},                                          // no placeholder for the document
        {" %2", false, ""},
        {" /idlist,%I,%L", false, ""},                                 // only the shell has an id list
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.m_szRest);
        std::string strFilled = "sentinel";
        EXPECT_EQ(row.m_bFilled, vm::FillCommandPlaceholders(row.m_szRest, strDocument, strFolder, strFilled));
        if (row.m_bFilled) {
            EXPECT_EQ(row.m_szFilled, strFilled);
        }
        std::wstring strWide;
        EXPECT_EQ(row.m_bFilled, vm::FillCommandPlaceholders(vm::WideFromAnsi(row.m_szRest), vm::WideFromAnsi(strDocument),
                                                             vm::WideFromAnsi(strFolder), strWide));
        if (row.m_bFilled) {
            EXPECT_EQ(vm::WideFromAnsi(row.m_szFilled), strWide);
        }
    }
}
