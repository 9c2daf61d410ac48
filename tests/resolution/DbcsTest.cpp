// Text operations and the parser under a double-byte ANSI code page (932),
// on names whose double-byte character has a backslash as its trail byte.
// ctest runs this program with LC_ALL=ja_JP.UTF-8, which gives it code page 932.

#include "resolution/PathHelpers.h"

#include "tests/resolution/ResolutionFixture.h"
#include "tests/support/GuardedBuffer.h"
#include "tests/support/TestPaths.h"

#include <mbctype.h>
#include <shlwapi.h>

#include <cstring>

using vmtest::ShortPath;

namespace {

// 0x95 0x5C: a kanji whose trail byte is a backslash.
const std::string c_strHyo = "\x95\\";
// 0x83 0x61: a katakana whose trail byte is a small a.
const std::string c_strDi = "\x83" "a";

class DbcsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(GetACP(), 932u) << "run with LC_ALL=ja_JP.UTF-8";
        ASSERT_EQ(_getmbcp(), 932) << "the runtime library's multibyte code page";
    }
};

TEST_F(DbcsTest, TextOperationsKeepDoubleByteCharactersWhole)
{
    char sz[MAX_PATH];
    lstrcpynA(sz, ("\"ab" + c_strHyo).c_str(), MAX_PATH);
    StripQuotes(sz);
    EXPECT_STREQ(sz, "ab") << "the last character is the kanji, removed whole";
    lstrcpynA(sz, ("\"" + c_strHyo + "\"").c_str(), MAX_PATH);
    StripQuotes(sz);
    EXPECT_EQ(std::string(sz), c_strHyo);
    lstrcpynA(sz, ("\"" + c_strHyo).c_str(), MAX_PATH);
    StripQuotes(sz);
    EXPECT_STREQ(sz, "") << "two characters";

    EXPECT_FALSE(ContainsNoCase((c_strHyo + "x").c_str(), "\\X")) << "a trail byte is no backslash";
    EXPECT_TRUE(ContainsNoCase(("c:\\" + c_strHyo + "\\a").c_str(), "\\A"));
    EXPECT_FALSE(ContainsNoCase(c_strDi.c_str(), "A")) << "a trail byte is no letter";

    lstrcpynA(sz, (c_strDi + "a%x%").c_str(), MAX_PATH);
    ReplaceNoCase(sz, sizeof(sz), "%X%", "12345");
    EXPECT_EQ(std::string(sz), c_strDi + "A12345") << "upper-casing leaves the trail byte alone";
    lstrcpynA(sz, (c_strHyo + "a").c_str(), MAX_PATH);
    ReplaceNoCase(sz, sizeof(sz), "\\A", "x");
    EXPECT_EQ(std::string(sz), c_strHyo + "a") << "no match on a trail byte";

    lstrcpynA(sz, ("C:\\dir\\" + c_strHyo).c_str(), MAX_PATH);
    EXPECT_STREQ(ReplaceFileName(sz, "y.exe"), "C:\\dir\\y.exe");
    lstrcpynA(sz, ("C:\\" + c_strHyo + "\\x.dll").c_str(), MAX_PATH);
    EXPECT_EQ(std::string(ReplaceFileName(sz, "y.exe")), "C:\\" + c_strHyo + "\\y.exe");
}

// A text that ends in a lone lead byte, its zero the last readable byte before
// an inaccessible page: the lead byte counts as one byte, and neither the
// upper-casing nor the parser's character searches (for a percent sign, for
// the closing quote, for the first space) read on.
// The output buffer ends at such a page too, its bytes after the text not zero.
// Naming no file, the text is the program the process creation tries first,
// ".exe" added after the lone byte.
TEST_F(DbcsTest, LoneLeadByteAtTheEndIsOneByte)
{
    struct Row {
        const char* m_szWhat;
        std::string m_strText;
        std::string m_strUpper;
        std::string m_strParsed;
    } rows[] = {
        {"a lone 0x81: the percent and space searches meet it", "q\x81", "Q\x81", "q\x81.exe"},
        {"quoted without a closing quote: the closing-quote search meets it", "\"C:\\x\x9F", "\"C:\\X\x9F", "C:\\x"},
        {"a percent sign: the expansion replaces nothing, the space search meets it", "%a\xE0", "%A\xE0", "%a\xE0.exe"},
        {"the last lead byte of the code page", "x\xFC", "X\xFC", "x\xFC.exe"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.m_szWhat);
        vmtest::GuardedBuffer text(row.m_strText);
        UpperCase(text.get());
        EXPECT_EQ(std::string(text.get()), row.m_strUpper);

        vmtest::GuardedBuffer command(row.m_strText);
        vmtest::GuardedBuffer out(MAX_PATH);
        memset(out.get(), 'x', MAX_PATH);
        ParseCommandPath(command.get(), out.get(), MAX_PATH);
        EXPECT_EQ(std::string(out.get()), row.m_strParsed);
    }
}

// The parser's cuts and expansions that meet double-byte characters, without files.
TEST_F(DbcsTest, ParserTextStepsKeepDoubleByteCharactersWhole)
{
    std::string strWin = vmtest::WindowsDir();
    struct Row {
        const char* m_szWhat;
        std::string m_strCommand;
        std::string m_strExpected;
    } rows[] = {
        {"unquoting removes a final kanji whole; no closing quote is found", "\"C:\\x\\app" + c_strHyo,
         "C:\\x\\app"},
        {"the text between the quotes is taken, kanji and all",
         "\"C:\\x\\" + c_strHyo + "\\app.exe\" /open \"%1\"", "C:\\x\\" + c_strHyo + "\\app.exe"},
        {"the expansion upper-cases around itself but not a trail byte",
         "%SystemRoot%\\" + c_strDi + "\\a.exe", strWin + "\\" + c_strDi + "\\A.EXE"},
        {"the text ends at the first blank after a kanji", "C:\\x\\" + c_strHyo + " y\\app.exe",
         "C:\\x\\" + c_strHyo + ".exe"},
    };
    for (const Row& row : rows) {
        char szOut[MAX_PATH] = {};
        ParseCommandPath(row.m_strCommand.c_str(), szOut, sizeof(szOut));
        EXPECT_EQ(std::string(szOut), row.m_strExpected) << row.m_szWhat;
    }
}

TEST_F(DbcsTest, ParserFindsProgramsInDoubleByteFolders)
{
    std::string strScratch = vmtest::MakeScratchDir("dbcs");
    std::string strDir = strScratch + "\\" + c_strHyo;
    // The text before the blank names nothing, so the parser's own cuts do
    // not stop early at an existing folder.
    std::string strBlankDir = strScratch + "\\x " + c_strHyo;
    // Wine converts file names through the Unix locale: where ja_JP.UTF-8 is
    // not installed, no non-ASCII name can be created (error 2) and these
    // cases cannot run; the text-only cases above still do.
    if (!CreateDirectoryA(strDir.c_str(), nullptr) && GetLastError() == ERROR_FILE_NOT_FOUND)
        GTEST_SKIP() << "double-byte file names cannot be created here (Unix locale ja_JP.UTF-8 missing)";
    ASSERT_TRUE(CreateDirectoryA(strBlankDir.c_str(), nullptr)) << GetLastError();
    std::string strApp = strDir + "\\app" + c_strHyo + ".exe";
    std::string strBlankApp = strBlankDir + "\\app.exe";
    vmtest::WriteFile(strApp, "MZ");
    vmtest::WriteFile(strBlankApp, "MZ");
    ASSERT_TRUE(vmtest::FileExists(strApp));

    struct Row {
        std::string m_strCommand;
        std::string m_strExpected;
    } rows[] = {
        {"\"" + strApp + "\" \"%1\"", ShortPath(strApp)},           // unquoted, then found
        {strApp + " %1", ShortPath(strApp)},                        // the argument cut off
        {"\"" + strBlankApp + "\" /open \"%1\"", ShortPath(strBlankApp)}, // the text between the quotes
        {strBlankApp, strBlankApp},                                 // the longest existing prefix
        {strBlankApp + " /open %1", strBlankApp},                   // cut before %1, then the longest prefix
    };
    for (const Row& row : rows) {
        char szOut[MAX_PATH] = {};
        ParseCommandPath(row.m_strCommand.c_str(), szOut, sizeof(szOut));
        EXPECT_EQ(std::string(szOut), row.m_strExpected) << row.m_strCommand;
    }

    CLxShellExt ext;
    EXPECT_EQ(ext.GetLongFilePathName(ShortPath(strApp).c_str()), strApp);
    vmtest::RemoveTree(strScratch);
}

} // namespace
