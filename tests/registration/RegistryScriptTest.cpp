// The registration-script language and its walks, run against scratch keys:
// HKCR, HKLM and HKCU of this process are redirected to keys below
// HKCU\Software\VormidmgrRegistrationScriptTest, so a script's roots land there.

#include "registration/RegistryScript.h"
#include "registration/ScriptTokenizer.h"
#include "registration/SelfRegistration.h"

#include "tests/registration/RegistrationTestRegistry.h"
#include "tests/support/GuardedBuffer.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char c_szScratch[] = "Software\\VormidmgrRegistrationScriptTest";
const wchar_t c_wszModule[] = L"C:\\it''s\\m.dll"; // as the module doubles it

struct Redirect {
    const char* m_szPrefix;
    HKEY m_hKeyRoot;
};
const Redirect c_redirects[] = {
    {"CR", HKEY_CLASSES_ROOT},
    {"LM", HKEY_LOCAL_MACHINE},
    {"CU", HKEY_CURRENT_USER},
};

class ScratchRootsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, c_szScratch);
        for (size_t i = 0; i < 3; ++i) {
            std::string strPath = std::string(c_szScratch) + "\\" + c_redirects[i].m_szPrefix;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, strPath.c_str(), 0, nullptr, 0,
                                                     KEY_ALL_ACCESS, nullptr, m_keys[i].put(), nullptr));
        }
        for (size_t i = 0; i < 3; ++i)
            vmtest::RedirectRoot(c_redirects[i].m_hKeyRoot, m_keys[i].get());
    }

    void TearDown() override
    {
        for (const Redirect& redirect : c_redirects)
            vmtest::RedirectRoot(redirect.m_hKeyRoot, nullptr);
        for (vm::UniqueKey& key : m_keys)
            key.reset();
        RegDeleteTreeA(HKEY_CURRENT_USER, c_szScratch);
    }

    // Entries in the notation of DumpKeyTree, each with its root's prefix.
    void LayOut(const std::string& a_strEntries)
    {
        for (const std::string& strEntry : vmtest::SplitEntries(a_strEntries))
            for (size_t i = 0; i < 3; ++i)
                if (strEntry.compare(0, 2, c_redirects[i].m_szPrefix) == 0)
                    vmtest::LayOutKeys(m_keys[i].get(), strEntry.substr(2));
    }

    std::string State()
    {
        std::string strState;
        for (size_t i = 0; i < 3; ++i) {
            std::string strDump = vmtest::DumpKeyTree(m_keys[i].get(), c_redirects[i].m_szPrefix);
            if (!strDump.empty())
                strState += (strState.empty() ? "" : ";") + strDump;
        }
        return strState;
    }

    static HRESULT Run(const std::string& a_strScript, bool a_bRegister)
    {
        CScriptVariables variables;
        variables.Add(L"Module", c_wszModule);
        CRegistryScript script(variables);
        return script.RunScript(a_strScript.c_str(), a_bRegister);
    }

    vm::UniqueKey m_keys[3];
};

struct WalkRow {
    const char* m_szWhat;
    const char* m_szBefore;
    const char* m_szScript;
    bool m_bRegister;
    HRESULT m_hr;
    const char* m_szAfter;
};

std::ostream& operator<<(std::ostream& a_out, const WalkRow& a_row)
{
    return a_out << a_row.m_szWhat;
}

class WalkTest : public ScratchRootsTest, public ::testing::WithParamInterface<WalkRow> {};

TEST_P(WalkTest, LeavesTheExpectedKeys)
{
    const WalkRow& row = GetParam();
    SCOPED_TRACE(std::string(row.m_bRegister ? "register " : "unregister ") + row.m_szScript);
    LayOut(row.m_szBefore);
    EXPECT_EQ(row.m_hr, Run(row.m_szScript, row.m_bRegister));
    EXPECT_EQ(row.m_szAfter, State());
}

const WalkRow c_registerRows[] = {
    // Keys nest by blocks; a key's assignment is its default value, "val" names a value of the block's key.
    {"nested", "", "HKCU { A = s 'x' { val N = s 'v' B } }", true, S_OK, "CU\\A;CU\\A|=x;CU\\A|N=v;CU\\A\\B"},
    // Two apostrophes inside a quoted text stand for one.
    {"doubled apostrophes", "", "HKCU { A = s 'it''s' }", true, S_OK, "CU\\A;CU\\A|=it's"},
    // Blanks, braces and "=" inside quotes are ordinary characters.
    {"quoted specials", "", "HKCU { A = s 'a { = } b' }", true, S_OK, "CU\\A;CU\\A|=a { = } b"},
    // Root names, keywords and type letters ignore case.
    {"lower case", "", "hkcu { forceremove A { val n = d 5 } noremove B }", true, S_OK,
     "CU\\A;CU\\A|n=#5;CU\\B"},
    // Long root names, in any case.
    {"long roots", "", "HKEY_CLASSES_ROOT { A } HKEY_LOCAL_MACHINE { B } hkey_current_user { C }", true, S_OK,
     "CR\\A;LM\\B;CU\\C"},
    // DWORDs through VarUI4FromStr; a text it cannot convert writes 0.
    {"dwords", "", "HKCU { A { val a = d 4294967295 val b = D 0 val c = d nonsense } }", true, S_OK,
     "CU\\A;CU\\A|a=#4294967295;CU\\A|b=#0;CU\\A|c=#0"},
    // Binary: digit pairs of either case, an empty text, non-digits as 0.
    {"binary", "", "HKCU { A { val b = b 0a1B val e = B '' val x = b zz } }", true, S_OK,
     "CU\\A;CU\\A|b=0x0a1b;CU\\A|e=0x;CU\\A|x=0x00"},
    // An odd number of digits fails with E_FAIL, and the block is taken out again.
    {"odd binary", "", "HKCU { A { val b = b 0a1 } }", true, E_FAIL, ""},
    // "%%" is one percent sign; a lone "%" has no closing sign.
    {"percent", "", "HKCU { A = s '100%%' }", true, S_OK, "CU\\A;CU\\A|=100%"},
    {"lone percent", "", "HKCU { A = s '100%' }", true, DISP_E_EXCEPTION, ""},
    // The module variable arrives doubled and is written once.
    {"module", "", "HKCU { A = s '%MODULE%' }", true, S_OK, "CU\\A;CU\\A|=C:\\it's\\m.dll"},
    // A brace against a word belongs to the word.
    {"word brace", "", "HKCU { word{ }", true, S_OK, "CU\\word{"},
    // A backslash in a key name fails; the root block's keys written before it go again.
    {"backslash", "CU\\Keep", "HKCU { A B\\C }", true, DISP_E_EXCEPTION, "CU\\Keep"},
    // A failure that also breaks the take-back walk still lets the enclosing keys go...
    {"enclosing keys", "", "HKCU { Outer { Inner B\\C } }", true, DISP_E_EXCEPTION, ""},
    // ...but not an enclosing key that holds keys of others.
    {"enclosing kept", "CU\\Outer\\Keep", "HKCU { Outer { Inner B\\C } }", true, DISP_E_EXCEPTION,
     "CU\\Outer;CU\\Outer\\Keep"},
    {"take back values", "", "HKCU { Outer { Inner { val v = b 123 } } }", true, E_FAIL, ""},
    // The take-back removes only what the failed run created: keys and values that were there stay.
    {"existing keys stay", "CU\\Software\\RvA\\Outer",
     "HKCU { Software { RvA { Outer { Inner B\\C } } } }", true, DISP_E_EXCEPTION,
     "CU\\Software;CU\\Software\\RvA;CU\\Software\\RvA\\Outer"},
    {"existing values stay", "CU\\A|Old=o", "HKCU { A { val Old = s 'n' val New = s 'n' } B\\C }", true,
     DISP_E_EXCEPTION, "CU\\A;CU\\A|Old=n"},
    // A subkey bearing its key's own name stays: no statement of the failed run created it.
    {"own name subkey stays", "CU\\A\\A", "HKCU { A { X } B\\C }", true, DISP_E_EXCEPTION, "CU\\A;CU\\A\\A"},
    // A created key goes also when a later statement opened it again.
    {"created key named twice", "", "HKCU { C C { Y } A\\B }", true, DISP_E_EXCEPTION, ""},
    // ForceRemove deletes the whole existing tree before writing anew.
    {"force remove", "CU\\A\\Old|v=1;CU\\A|x=y", "HKCU { ForceRemove A { New } }", true, S_OK, "CU\\A;CU\\A\\New"},
    // An empty key name is the parent itself, never deleted by force.
    {"force remove empty name", "CU\\A\\Keep", "HKCU { A { ForceRemove '' } }", true, S_OK, "CU\\A;CU\\A\\Keep"},
    // CLSID and TypeLib are never deleted by force.
    {"protected", "CR\\CLSID\\Other;CR\\TypeLib\\Other",
     "HKCR { ForceRemove CLSID { Mine } ForceRemove typelib { Mine } }", true, S_OK,
     "CR\\CLSID;CR\\CLSID\\Mine;CR\\CLSID\\Other;CR\\TypeLib;CR\\TypeLib\\Mine;CR\\TypeLib\\Other"},
    // Delete removes a tree, passes its assignment over and goes on.
    {"delete", "CU\\A\\X", "HKCU { Delete A = s 'ignored' B }", true, S_OK, "CU\\B"},
    // A "Val" name must be followed by "=".
    {"val without =", "", "HKCU { A { val N s 'x' } }", true, DISP_E_EXCEPTION, ""},
    {"unknown type", "", "HKCU { A = x 'y' }", true, DISP_E_EXCEPTION, ""},
    {"unknown root", "", "HKXX { A }", true, DISP_E_EXCEPTION, ""},
    {"root without brace", "", "HKCU A { }", true, DISP_E_EXCEPTION, ""},
    // A failing second root block keeps the first and takes itself out.
    {"second block fails", "", "HKCU { A } HKLM { B C\\D }", true, DISP_E_EXCEPTION, "CU\\A"},
    {"text after blocks", "", "HKCU { A } junk", true, DISP_E_EXCEPTION, "CU\\A"},
    {"unterminated block", "", "HKCU { A = s 'x'", true, DISP_E_EXCEPTION, ""},
    {"unterminated quote", "", "HKCU { A = s 'x }", true, DISP_E_EXCEPTION, ""},
    // A block with no key statement before it nests in no key: a key there fails, a value goes nowhere.
    {"block without key", "", "HKCU { val a = s 'x' { B } }", true, DISP_E_EXCEPTION, ""},
    {"empty block without key", "", "HKCU { val a = s 'x' { } }", true, S_OK, "CU|a=x"},
    {"values without key", "CU\\X\\Y", "HKCU { Delete X { val v = s 'y' } Z }", true, S_OK, "CU\\Z"},
    // After Delete the block nests in the key of the statement before.
    {"block after delete", "CU\\X", "HKCU { A Delete X { val v = s 'y' } }", true, S_OK, "CU\\A;CU\\A|v=y"},
    {"empty script", "", "", true, S_OK, ""},
    // White space alone is text where a root name is expected; around blocks it is nothing.
    {"blank script", "", " \r\n\t", true, DISP_E_EXCEPTION, ""},
    {"blanks around blocks", "", "\r\n HKCU { A }\r\n\t ", true, S_OK, "CU\\A"},
};
INSTANTIATE_TEST_SUITE_P(Register, WalkTest, ::testing::ValuesIn(c_registerRows));

const char c_szClassScript[] =
    "HKCR { NoRemove CLSID { ForceRemove {X} = s 'c' { P = s 'p' ForceRemove Programmable "
    "InprocServer32 = s 'm' { val ThreadingModel = s 'Apartment' } } } }";

const WalkRow c_unregisterRows[] = {
    // What a registration wrote goes again.
    {"round trip", "CU\\A|=x;CU\\A|N=v;CU\\A\\B", "HKCU { A = s 'x' { val N = s 'v' B } }", false, S_OK, ""},
    // A NoRemove CLSID keeps CLSID and others' classes; the class key goes once its subkeys are gone.
    {"class key", "CR\\CLSID\\Other;CR\\CLSID\\{X}|=c;CR\\CLSID\\{X}\\P|=p;CR\\CLSID\\{X}\\Programmable;"
                  "CR\\CLSID\\{X}\\InprocServer32|=m;CR\\CLSID\\{X}\\InprocServer32|ThreadingModel=Apartment",
     c_szClassScript, false, S_OK, "CR\\CLSID;CR\\CLSID\\Other"},
    {"class key alone", "CR\\CLSID\\{X}", "HKCR { NoRemove CLSID { ForceRemove {X} } }", false, S_OK, "CR\\CLSID"},
    // NoRemove holds for the rest of its block, not for what came before.
    {"no remove rest", "CU\\A;CU\\B", "HKCU { NoRemove A B }", false, S_OK, "CU\\A;CU\\B"},
    {"no remove before", "CU\\A;CU\\B", "HKCU { B NoRemove A }", false, S_OK, "CU\\A"},
    // A missing key without a block makes the rest of its block recovering: nothing there is deleted.
    {"recovering", "CU|V=x;CU\\Y", "HKCU { Missing Y val V = s 'x' }", false, S_OK, "CU|V=x;CU\\Y"},
    // Nothing below a missing key is deleted, and recovering ends after its block.
    {"recovering ends", "CU\\Y;CU\\Z", "HKCU { Missing { Z } Y }", false, S_OK, "CU\\Z"},
    // Delete before an existing empty key removes it like any key statement.
    {"delete", "CU\\A", "HKCU { Delete A }", false, S_OK, ""},
    // An empty key's block is passed over: its statements touch neither the key's parent nor siblings.
    {"empty key block", "CU|Keep=x;CU\\A;CU\\B", "HKCU { A { val Keep = s 'x' B } }", false, S_OK,
     "CU|Keep=x;CU\\B"},
    // A key with values and no block: the statement after it is still walked.
    {"values no block", "CU\\A|N=v;CU\\B", "HKCU { A B }", false, S_OK, ""},
    // A key that keeps other subkeys stays; only a subkey bearing its own name goes.
    {"own name subkey", "CU\\A\\Other;CU\\A\\Mine;CU\\A\\A", "HKCU { A { Mine } }", false, S_OK,
     "CU\\A;CU\\A\\Other"},
    {"own name protected", "CR\\CLSID\\CLSID;CR\\CLSID\\Other", "HKCR { CLSID { } }", false, S_OK,
     "CR\\CLSID;CR\\CLSID\\CLSID;CR\\CLSID\\Other"},
    // An empty key name is the parent itself: neither its tree nor the parent goes.
    {"empty name keeps tree", "CU\\A\\Keep", "HKCU { A { '' } }", false, S_OK, "CU\\A;CU\\A\\Keep"},
    {"empty name keeps parent", "CU\\A|V=x", "HKCU { NoRemove A { val V = s 'x' '' } }", false, S_OK, "CU\\A"},
    // ForceRemove does not force anything at unregistration.
    {"force remove", "CU\\A\\Other;CU\\A\\Mine", "HKCU { ForceRemove A { Mine } }", false, S_OK,
     "CU\\A;CU\\A\\Other"},
    // A value goes from its key; the key stays while it holds subkeys.
    {"value", "CU\\A|V=x;CU\\A|W=y;CU\\A\\S", "HKCU { A { val V = s 'x' } }", false, S_OK, "CU\\A;CU\\A|W=y;CU\\A\\S"},
    // A script error ends an unregistration; nothing is undone.
    {"error", "CU\\A;CU\\B", "HKCU { A B\\C }", false, DISP_E_EXCEPTION, "CU\\B"},
    {"blank script", "CU\\A", " \r\n", false, DISP_E_EXCEPTION, "CU\\A"},
};
INSTANTIATE_TEST_SUITE_P(Unregister, WalkTest, ::testing::ValuesIn(c_unregisterRows));

// ---------------------------------------------------------------------------
// Buffer ends

using vmtest::GuardedBuffer;

struct TokenRow {
    const char* m_szWhat;
    std::string m_strText;
    HRESULT m_hr;
    size_t m_cbToken;
};

// Each token is read into a buffer that ends at an inaccessible page.
template <size_t N>
void CheckTokenRows(const TokenRow (&a_rows)[N])
{
    for (const TokenRow& row : a_rows) {
        SCOPED_TRACE(row.m_szWhat);
        GuardedBuffer buffer(c_cbToken);
        CScriptTokenizer tokenizer;
        tokenizer.SetReadingPosition(row.m_strText.c_str());
        EXPECT_EQ(row.m_hr, tokenizer.ReadToken(buffer.get()));
        EXPECT_TRUE(buffer.PrefixUntouched());
        if (SUCCEEDED(row.m_hr)) {
            EXPECT_EQ(row.m_cbToken, std::strlen(buffer.get()));
        }
    }
}

TEST(TokenTest, LongTokensStayInsideTheBuffer)
{
    const TokenRow rows[] = {
        // A quoted token holds at most 4094 bytes.
        {"quoted 4094", "'" + std::string(4094, 'q') + "'", S_OK, 4094},
        {"quoted 4095", "'" + std::string(4095, 'q') + "'", DISP_E_EXCEPTION, 0},
        // Doubled apostrophes count once.
        {"quoted doubled", "'" + std::string(4092, 'q') + "'''''", S_OK, 4094},
        // An unquoted token holds at most 4095 bytes; a longer one is refused, not cut.
        {"unquoted 4095", std::string(4095, 'u'), S_OK, 4095},
        {"unquoted 4096", std::string(4096, 'u'), DISP_E_EXCEPTION, 0},
        {"unquoted 10000", std::string(10000, 'u') + " next", DISP_E_EXCEPTION, 0},
    };
    CheckTokenRows(rows);
}

TEST(TokenTest, SplitsAtTheFourBlanksOnly)
{
    CScriptTokenizer tokenizer;
    const char szText[] = " a\tb\r\nc\fd 'e f''g' '' h";
    tokenizer.SetReadingPosition(szText);
    std::vector<std::string> tokens;
    char szToken[c_cbToken];
    while (SUCCEEDED(tokenizer.ReadToken(szToken)))
        tokens.emplace_back(szToken);
    // A form feed is no blank; an empty quoted text is a token of its own.
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c\fd", "e f'g", "", "h"}), tokens);
    // At the end of the text a token read fails.
    EXPECT_EQ(DISP_E_EXCEPTION, tokenizer.ReadToken(szToken));
}

TEST(ExpandTest, ReplacesVariablesAndPercentSigns)
{
    CScriptVariables variables;
    std::wstring wstrLong(1000, L'v');
    const std::wstring wstrName31(31, L'n');
    const std::wstring wstrName32(32, L'n');
    ASSERT_TRUE(variables.Add(L"Module", L"C:\\it''s"));
    ASSERT_TRUE(variables.Add(L"Long", wstrLong.c_str()));
    ASSERT_TRUE(variables.Add(wstrName31.c_str(), L"31"));
    ASSERT_TRUE(variables.Add(wstrName32.c_str(), L"32"));
    // Room grows past its first ten pairs; the first match wins.
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(variables.Add(L"Module", L"later"));

    const struct {
        std::string m_strText;
        HRESULT m_hr;
        std::string m_strExpanded;
    } rows[] = {
        {"%%", S_OK, "%"},
        {"a%%b%%%%", S_OK, "a%b%%"},
        // Names ignore case; the value arrives as stored.
        {"'%module%'", S_OK, "'C:\\it''s'"},
        // A value far longer than twice the text grows the output.
        {"%LONG%", S_OK, std::string(1000, 'v')},
        {"%" + std::string(31, 'n') + "%", S_OK, "31"},
        // A name of 32 bytes is too long, even when a variable has it.
        {"%" + std::string(32, 'n') + "%", E_FAIL, ""},
        {"%Nope%", DISP_E_EXCEPTION, ""},
        {"50%", DISP_E_EXCEPTION, ""},
        {"%", DISP_E_EXCEPTION, ""},
        {"", S_OK, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.m_strText);
        char* pszExpanded = reinterpret_cast<char*>(1);
        EXPECT_EQ(row.m_hr, ExpandVariables(variables, row.m_strText.c_str(), &pszExpanded));
        if (SUCCEEDED(row.m_hr)) {
            EXPECT_EQ(row.m_strExpanded, pszExpanded);
        } else {
            EXPECT_EQ(nullptr, pszExpanded);
        }
        CoTaskMemFree(SUCCEEDED(row.m_hr) ? pszExpanded : nullptr);
    }
}

TEST_F(ScratchRootsTest, ValueNamesUpTo259Bytes)
{
    std::string strName259(259, 'n');
    EXPECT_EQ(S_OK, Run("HKCU { A { val " + strName259 + " = s 'x' } }", true));
    EXPECT_EQ("CU\\A;CU\\A|" + strName259 + "=x", State());
    EXPECT_EQ(S_OK, Run("HKCU { A { val " + strName259 + " = s 'x' } }", false));
    EXPECT_EQ("", State());

    // One more byte is refused rather than cut to another value's name.
    std::string strName260(260, 'n');
    EXPECT_EQ(DISP_E_EXCEPTION, Run("HKCU { A { val " + strName260 + " = s 'x' } }", true));
    EXPECT_EQ("", State());
    LayOut("CU\\A|" + strName259 + "=x");
    EXPECT_EQ(DISP_E_EXCEPTION, Run("HKCU { A { val " + strName260 + " = s 'x' } }", false));
    EXPECT_EQ("CU\\A;CU\\A|" + strName259 + "=x", State());
}

TEST_F(ScratchRootsTest, QuotedValueOf4094Bytes)
{
    std::string strText(4094, 't');
    EXPECT_EQ(S_OK, Run("HKCU { A = s '" + strText + "' }", true));
    EXPECT_EQ("CU\\A;CU\\A|=" + strText, State());
    EXPECT_EQ(DISP_E_EXCEPTION, Run("HKCU { B = s '" + strText + "t' }", true));
    EXPECT_EQ("CU\\A;CU\\A|=" + strText, State());
}

TEST_F(ScratchRootsTest, DeepNestingIsRefusedNotOverflowed)
{
    // Missing keys are walked as recovering, without any registry limit.
    std::string strScript = "HKCU {";
    for (int i = 0; i < 5000; ++i)
        strScript += " M {";
    for (int i = 0; i < 5000; ++i)
        strScript += " }";
    strScript += " }";
    EXPECT_EQ(DISP_E_EXCEPTION, Run(strScript, false));
    EXPECT_EQ("", State());
}

TEST_F(ScratchRootsTest, KeysTooDeepToTakeBackAreNeverWritten)
{
    // Eleven levels of 200-character names: the walk names the first ten,
    // not the eleventh, so a failure could not take it back.
    std::vector<std::string> names;
    std::string strOpen, strClose;
    for (char ch = 'a'; ch < 'a' + 11; ++ch) {
        names.emplace_back(200, ch);
        strOpen += " " + names.back() + " {";
        strClose += " }";
    }
    EXPECT_EQ(DISP_E_EXCEPTION, Run("HKCU {" + strOpen + strClose + " }", true));
    EXPECT_EQ("", State()) << "the ten levels before it are taken back";

    // Existing, the deepest key is used; a value new to it is refused.
    std::vector<vm::UniqueKey> chain(names.size());
    HKEY hParent = m_keys[2].get();
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(hParent, names[i].c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                 nullptr, chain[i].put(), nullptr));
        hParent = chain[i].get();
    }
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(hParent, "old", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2));
    const std::string strBefore = State();
    EXPECT_EQ(DISP_E_EXCEPTION, Run("HKCU {" + strOpen + " val new = s 'y'" + strClose + " }", true));
    EXPECT_EQ(strBefore, State());
    EXPECT_EQ(S_OK, Run("HKCU {" + strOpen + " val old = s 'z'" + strClose + " }", true));
}

// ---------------------------------------------------------------------------
// Double-byte code page (the test runs again under code page 932)

// "\x95\x5C" is one character of code page 932 whose trail byte is a
// backslash.
const char c_szDbcsName[] = "\x95\x5C";

TEST_F(ScratchRootsTest, DbcsTrailBytesAreNoBackslashes)
{
    if (GetACP() != 932)
        GTEST_SKIP() << "needs the double-byte code page 932";
    EXPECT_EQ(S_OK, Run(std::string("HKCU { ") + c_szDbcsName + " = s '" + c_szDbcsName + "' }", true));
    EXPECT_TRUE(vmtest::KeyExists(m_keys[2].get(), c_szDbcsName));
    EXPECT_EQ(c_szDbcsName, vmtest::ReadStringValue(m_keys[2].get(), c_szDbcsName, ""));
    EXPECT_EQ(S_OK, Run(std::string("HKCU { ") + c_szDbcsName + " }", false));
    EXPECT_EQ("", State());
}

TEST(DbcsTokenTest, DoubleByteCharactersAreKeptWholeAtTheBufferEnd)
{
    if (GetACP() != 932)
        GTEST_SKIP() << "needs the double-byte code page 932";
    const TokenRow rows[] = {
        // A whole character still fits after 4093 bytes...
        {"quoted 4093+2", "'" + std::string(4093, 'q') + c_szDbcsName + "'", S_OK, 4095},
        // ...but not after 4094.
        {"quoted 4094+2", "'" + std::string(4094, 'q') + c_szDbcsName + "'", DISP_E_EXCEPTION, 0},
        {"unquoted 4093+2", std::string(4093, 'u') + c_szDbcsName, S_OK, 4095},
        {"unquoted 4094+2", std::string(4094, 'u') + c_szDbcsName, DISP_E_EXCEPTION, 0},
    };
    CheckTokenRows(rows);
    // The expansion copies the trail byte with its lead byte.
    CScriptVariables variables;
    char* pszExpanded = nullptr;
    ASSERT_EQ(S_OK, ExpandVariables(variables, (std::string(c_szDbcsName) + "%%").c_str(), &pszExpanded));
    EXPECT_EQ(std::string(c_szDbcsName) + "%", pszExpanded);
    CoTaskMemFree(pszExpanded);
}

// ---------------------------------------------------------------------------
// The module's own script, from the built module file, into the scratch roots

const char c_szHooks[] = "LM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";
const char c_szClsid[] = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";

class ModuleScriptTest : public ScratchRootsTest {
protected:
    HRESULT RunModuleScript(UINT a_uResourceId, bool a_bRegister, const std::string& a_strModule)
    {
        CScriptVariables variables;
        variables.Add(L"Module", c_wszModule);
        CRegistryScript script(variables);
        std::wstring wstrModule(a_strModule.begin(), a_strModule.end());
        return script.RunScriptResource(wstrModule.c_str(), a_uResourceId, a_bRegister);
    }
    std::string ModulePath() const { return vmtest::BinDir() + "\\vormidmgr.dll"; }

    // Another program's hook and class, and the keys any Windows has.
    const std::string m_strBefore = std::string(c_szHooks) + "|{0F0F0F0F-1111-2222-3333-444455556666}=Other;" +
                                    "LM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced;" +
                                    "CR\\CLSID\\{0F0F0F0F-1111-2222-3333-444455556666}";
};

TEST_F(ModuleScriptTest, RegistersClassAndHookAndTakesThemOutAgain)
{
    LayOut(m_strBefore);
    std::string strBefore = State();
    ASSERT_EQ(S_OK, RunModuleScript(c_uRegistryResourceId, true, ModulePath()));

    const std::string strClass = std::string("CR\\CLSID\\") + c_szClsid;
    const std::string strExpected =
        "CR\\CLSID;CR\\CLSID\\{0F0F0F0F-1111-2222-3333-444455556666};" + strClass + ";" + strClass +
        "|=DocHook Class;" + strClass + "\\InprocServer32;" + strClass + "\\InprocServer32|=C:\\it's\\m.dll;" +
        strClass + "\\InprocServer32|ThreadingModel=Apartment;" + strClass + "\\ProgID;" + strClass +
        "\\ProgID|=Vormidmgr.DocHook.1;" + strClass + "\\Programmable;" + strClass + "\\TypeLib;" + strClass +
        "\\TypeLib|={2B3CEFFD-1E69-4354-8CC5-CCEDCD4BE3F7};" + strClass + "\\VersionIndependentProgID;" +
        strClass + "\\VersionIndependentProgID|=Vormidmgr.DocHook;" +
        "CR\\Vormidmgr.DocHook;CR\\Vormidmgr.DocHook|=DocHook Class;CR\\Vormidmgr.DocHook\\CLSID;" +
        "CR\\Vormidmgr.DocHook\\CLSID|=" + c_szClsid + ";CR\\Vormidmgr.DocHook\\CurVer;" +
        "CR\\Vormidmgr.DocHook\\CurVer|=Vormidmgr.DocHook.1;" +
        "CR\\Vormidmgr.DocHook.1;CR\\Vormidmgr.DocHook.1|=DocHook Class;CR\\Vormidmgr.DocHook.1\\CLSID;" +
        "CR\\Vormidmgr.DocHook.1\\CLSID|=" + c_szClsid + ";" +
        "LM\\SOFTWARE;LM\\SOFTWARE\\Microsoft;LM\\SOFTWARE\\Microsoft\\Windows;" +
        "LM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion;LM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer;" +
        "LM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced;" + c_szHooks + ";" + c_szHooks +
        "|{0F0F0F0F-1111-2222-3333-444455556666}=Other;" + c_szHooks + "|" + c_szClsid + "=Korvane Lumidex Manager";
    EXPECT_EQ(strExpected, State());

    // Twice gives the same state; a stale key below the class goes with ForceRemove.
    LayOut(strClass + "\\Programmable\\Stale");
    ASSERT_EQ(S_OK, RunModuleScript(c_uRegistryResourceId, true, ModulePath()));
    EXPECT_EQ(strExpected, State());

    ASSERT_EQ(S_OK, RunModuleScript(c_uRegistryResourceId, false, ModulePath()));
    EXPECT_EQ(strBefore, State());
}

TEST_F(ModuleScriptTest, UnregisteringWhatWasNeverThereChangesNothing)
{
    // Also a hooks key holding no value at all: it stays.
    const char* rows[] = {m_strBefore.c_str(), "LM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\"
                                               "ShellExecuteHooks;LM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                                               "Explorer\\Advanced", ""};
    for (const char* szBefore : rows) {
        SCOPED_TRACE(szBefore);
        TearDown();
        SetUp();
        LayOut(szBefore);
        std::string strBefore = State();
        EXPECT_EQ(S_OK, RunModuleScript(c_uRegistryResourceId, false, ModulePath()));
        EXPECT_EQ(strBefore, State());
    }
}

TEST_F(ModuleScriptTest, MissingResourceOrFileIsAPlatformError)
{
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND), RunModuleScript(999, true, ModulePath()));
    HRESULT hr = RunModuleScript(c_uRegistryResourceId, true, vmtest::TestDir() + "\\no-such-module.dll");
    EXPECT_TRUE(FAILED(hr));
    EXPECT_EQ(FACILITY_WIN32, HRESULT_FACILITY(hr));
    EXPECT_EQ("", State());
}

// ---------------------------------------------------------------------------
// The type library beside a module that does not embed one: this test
// program has no TYPELIB resource, so the library is looked for in
// "registration_test.tlb" beside it.

class TypeLibFileTest : public ModuleScriptTest {
protected:
    void SetUp() override
    {
        ModuleScriptTest::SetUp();
        m_strTlb = vmtest::TestDir() + "\\registration_test.tlb";
        vm::UniqueLibrary module(LoadLibraryExA(ModulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module);
        HRSRC hResource = FindResourceA(module.get(), MAKEINTRESOURCEA(1), "TYPELIB");
        ASSERT_NE(nullptr, hResource);
        const char* pLib = static_cast<const char*>(LockResource(LoadResource(module.get(), hResource)));
        vmtest::WriteFile(m_strTlb, std::string(pLib, SizeofResource(module.get(), hResource)));
    }
    void TearDown() override
    {
        DeleteFileA(m_strTlb.c_str());
        ModuleScriptTest::TearDown();
    }

    std::string m_strTlb;
};

TEST_F(TypeLibFileTest, FallsBackToTheTlbFileBesideTheModule)
{
    ITypeLib* pLib = reinterpret_cast<ITypeLib*>(1);
    BSTR bstrPath = nullptr;
    ASSERT_EQ(S_OK, OpenOwnTypeLibrary(&pLib, &bstrPath));
    std::wstring wstrPath(bstrPath);
    EXPECT_EQ(m_strTlb, std::string(wstrPath.begin(), wstrPath.end()));
    SysFreeString(bstrPath);
    pLib->Release();

    DeleteFileA(m_strTlb.c_str());
    pLib = reinterpret_cast<ITypeLib*>(1);
    bstrPath = reinterpret_cast<BSTR>(1);
    EXPECT_TRUE(FAILED(OpenOwnTypeLibrary(&pLib, &bstrPath)));
    EXPECT_EQ(nullptr, pLib);
    EXPECT_EQ(nullptr, bstrPath);
    EXPECT_TRUE(FAILED(RegisterOwnTypeLibrary()));
    EXPECT_TRUE(FAILED(UnregisterOwnTypeLibrary()));
}

TEST_F(TypeLibFileTest, RegistersWithTheFolderAsHelpDirectoryAndUnregisters)
{
    // The redirected HKCR takes what the type-library services write.
    ASSERT_EQ(S_OK, RegisterOwnTypeLibrary());
    const std::string strVersion = "TypeLib\\{2B3CEFFD-1E69-4354-8CC5-CCEDCD4BE3F7}\\1.0";
    EXPECT_EQ(m_strTlb, vmtest::ReadStringValue(m_keys[0].get(), strVersion + vmtest::c_szTypeLibPlatformKey, ""));
    std::string strHelpDir = vmtest::ReadStringValue(m_keys[0].get(), strVersion + "\\HELPDIR", "");
    EXPECT_EQ(vmtest::TestDir() + "\\", strHelpDir);

    EXPECT_EQ(S_OK, UnregisterOwnTypeLibrary());
    EXPECT_FALSE(vmtest::KeyExists(m_keys[0].get(), "TypeLib\\{2B3CEFFD-1E69-4354-8CC5-CCEDCD4BE3F7}"));
}

} // namespace
