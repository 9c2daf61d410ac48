// cipher.dll as the hook uses it, through its import library: company.ccf
// beside the DLL (here build/tests), and the header of encrypted documents.

#include "companions/cipher/ccfformat.h"
#include "companions/cipher/cipher.h"

#include "tests/cipher/CipherTestFiles.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using ciphertest::CcfPath;
using ciphertest::HeaderFields;
using ciphertest::MakeHeader;
using ciphertest::Sealed;

constexpr size_t c_cbMiB = 1024 * 1024;

const std::string c_strStandardPolicy = Sealed("CompanyID=ACME\r\nDeleteOtherAddin=1\r\n");

void RemovePolicyFile()
{
    std::string strPath = CcfPath();
    SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(strPath.c_str());
    RemoveDirectoryA(strPath.c_str());
}

// A sealed file of exactly a_cb bytes: a comment line pads it out.
std::string SealedOfSize(size_t a_cb)
{
    const std::string strHead = "CompanyID=BIG\r\n;";
    const size_t cbFixed = Sealed(strHead + "\r\n").size();
    return Sealed(strHead + std::string(a_cb - cbFixed, 'x') + "\r\n");
}

// Every policy file test starts with the standard policy beside the DLL and
// leaves nothing there.
class CcfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemovePolicyFile();
        WritePolicy(c_strStandardPolicy);
    }
    void TearDown() override { RemovePolicyFile(); }
    static void WritePolicy(const std::string& a_strBytes) { vmtest::WriteFile(CcfPath(), a_strBytes); }
};

TEST(Crc32Test, IsTheCrcOfZip)
{
    // The check value of the CRC-32 catalogue, whole and in two runs.
    EXPECT_EQ(ciphertest::RefCrc32("123456789"), 0xCBF43926u);
    EXPECT_EQ(cipherfmt::Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(cipherfmt::Crc32("6789", 4, cipherfmt::Crc32("12345", 5)), 0xCBF43926u);
    EXPECT_EQ(cipherfmt::Crc32("", 0), 0u);
}

struct ValidityRow {
    const char* szWhat;
    std::string strBytes;
    int nExpected;
};

std::string Junk()
{
    std::string strJunk;
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 256; ++i)
            strJunk.push_back(static_cast<char>(i));
    return strJunk;
}

std::vector<ValidityRow> ValidityRows()
{
    const std::string strBody = "CompanyID=ACME\r\n";
    const std::string strGood = Sealed(strBody);
    std::string strFlipped = strGood;
    strFlipped[strFlipped.find("ACME")] = 'B';
    std::string strLowerHex = strGood; // its checksum D4774696 has a letter
    strLowerHex.replace(strLowerHex.find("D4774696"), 8, "d4774696");
    std::string strLfInBody = strGood;
    strLfInBody.erase(strLfInBody.find("ACME\r\n") + 4, 1);
    const std::string strSealedCrOnly = Sealed("CompanyID=ACME\r", "\r");

    return {
        {"sealed with CR LF", strGood, CCF_VALID},
        {"sealed with LF", Sealed("CompanyID=ACME\n", "\n"), CCF_VALID},
        {"comments and blank lines of spaces and tabs", Sealed("; note\r\n\r\n   \r\n\t\r\n;\r\nA=1\r\n"), CCF_VALID},
        {"no line end after the checksum", strGood.substr(0, strGood.size() - 2), CCF_VALID},
        {"blank lines after the checksum", strGood + "\r\n  \r\n\n", CCF_VALID},
        {"signature and checksum only", Sealed(""), CCF_VALID},
        {"'=' in a value and an empty value", Sealed("A=b=c\r\nB=\r\n"), CCF_VALID},
        {"mixed CR LF and LF", Sealed("A=1\nB=2\r\n"), CCF_VALID},

        {"empty file", "", CCF_E_FIRST_LINE},
        {"another format version", Sealed(strBody, "\r\n", "LUMIDEX-CCF 2"), CCF_E_FIRST_LINE},
        {"signature in lower case", Sealed(strBody, "\r\n", "lumidex-ccf 1"), CCF_E_FIRST_LINE},
        {"signature with a trailing blank", Sealed(strBody, "\r\n", "LUMIDEX-CCF 1 "), CCF_E_FIRST_LINE},
        {"byte-order mark before the signature", Sealed(strBody, "\r\n", "\xEF\xBB\xBFLUMIDEX-CCF 1"), CCF_E_FIRST_LINE},
        {"CR-only line ends make one long first line", strSealedCrOnly, CCF_E_FIRST_LINE},
        {"a field in place of the signature", Sealed("", "\r\n", "CompanyID=ACME"), CCF_E_FIRST_LINE},
        {"binary junk from the first byte", Junk(), CCF_E_FIRST_LINE},

        {"a line without '='", Sealed("JustText\r\n"), CCF_E_MALFORMED},
        {"an empty name", Sealed("=x\r\n"), CCF_E_MALFORMED},
        {"a name of blanks", Sealed(" \t=x\r\n"), CCF_E_MALFORMED},
        {"a NUL in a value", Sealed(std::string("A=x\0y\r\n", 7)), CCF_E_MALFORMED},
        {"a NUL in a comment", Sealed(std::string(";\0\r\n", 4)), CCF_E_MALFORMED},
        {"a lone CR inside a value", Sealed("A=x\ry\r\n"), CCF_E_MALFORMED},
        {"an indented comment", Sealed("  ; note\r\n"), CCF_E_MALFORMED},
        {"binary junk after the signature", Sealed(Junk()), CCF_E_MALFORMED},
        // Lines are judged before the checksum.
        {"malformed line and a wrong checksum", "LUMIDEX-CCF 1\r\nJunk\r\nChecksum=00000000\r\n", CCF_E_MALFORMED},

        {"no checksum line", "LUMIDEX-CCF 1\r\nCompanyID=ACME\r\n", CCF_E_CHECKSUM},
        {"signature alone without a line end", "LUMIDEX-CCF 1", CCF_E_CHECKSUM},
        {"one flipped byte in a value", strFlipped, CCF_E_CHECKSUM},
        {"a CR LF turned into LF after sealing", strLfInBody, CCF_E_CHECKSUM},
        {"checksum in lower-case hex", strLowerHex, CCF_E_CHECKSUM},
        {"checksum name in lower case", "LUMIDEX-CCF 1\r\nchecksum=" + strGood.substr(strGood.size() - 10), CCF_E_CHECKSUM},
        {"seven digits", strGood.substr(0, strGood.size() - 3) + "\r\n", CCF_E_CHECKSUM},
        {"nine digits", strGood.substr(0, strGood.size() - 2) + "0\r\n", CCF_E_CHECKSUM},
        {"a blank after the digits", strGood.substr(0, strGood.size() - 2) + " \r\n", CCF_E_CHECKSUM},
        {"a field after the checksum line", strGood + "B=2\r\n", CCF_E_CHECKSUM},
        {"a comment after the checksum line", strGood + "; late\r\n", CCF_E_CHECKSUM},
        {"a second Checksum line before the last", Sealed("Checksum=00000000\r\n"), CCF_E_CHECKSUM},

        {"exactly 1 MiB", SealedOfSize(c_cbMiB), CCF_VALID},
        {"1 MiB and one byte", SealedOfSize(c_cbMiB + 1), CCF_E_TOO_LARGE},
        {"1 MiB and one byte of junk", std::string(c_cbMiB + 1, '\0'), CCF_E_TOO_LARGE},
    };
}

void PrintTo(const ValidityRow& a_row, std::ostream* a_pOut)
{
    *a_pOut << a_row.szWhat;
}

class CcfValidityTest : public CcfTest, public ::testing::WithParamInterface<ValidityRow> {};

TEST_P(CcfValidityTest, JudgesTheFile)
{
    const ValidityRow& row = GetParam();
    SCOPED_TRACE(row.szWhat);
    WritePolicy(row.strBytes);
    CCCF ccf;
    EXPECT_EQ(ccf.CheckCCFValidity(), row.nExpected);
    // The installed policy gives its bytes to hand over while it is valid, and
    // the bytes handed over are judged as the file is.
    size_t cb = 1;
    const char* pBytes = ccf.GetPolicyBytes(&cb);
    EXPECT_EQ(row.nExpected == CCF_VALID ? row.strBytes : std::string(), pBytes ? std::string(pBytes, cb) : "");
    EXPECT_EQ(row.nExpected == CCF_VALID ? row.strBytes.size() : 0u, cb);
    CCCF handed(CcfPolicyBytes{row.strBytes.data(), row.strBytes.size()});
    EXPECT_EQ(handed.CheckCCFValidity(), row.nExpected) << "handed over";
    EXPECT_EQ(handed.GetPolicyBytes(nullptr), nullptr) << "a handed-over policy is not handed on by its object";
    // Only a valid file answers with values.
    if (row.nExpected != CCF_VALID) {
        EXPECT_EQ(ccf.GetCompanyID(), nullptr);
        EXPECT_EQ(ccf.GetField("CompanyID"), nullptr);
    } else if (row.strBytes.find("CompanyID=ACME") != std::string::npos) {
        ASSERT_NE(ccf.GetCompanyID(), nullptr);
        EXPECT_STREQ(ccf.GetCompanyID(), "ACME");
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CcfValidityTest, ::testing::ValuesIn(ValidityRows()));

TEST_F(CcfTest, MissingOrUnreadableFileIsReportedAsSuch)
{
    RemovePolicyFile();
    {
        SCOPED_TRACE("no company.ccf");
        CCCF ccf;
        EXPECT_EQ(ccf.CheckCCFValidity(), CCF_E_MISSING);
        EXPECT_EQ(ccf.GetCompanyID(), nullptr);
    }
    {
        SCOPED_TRACE("company.ccf is a directory");
        ASSERT_TRUE(CreateDirectoryA(CcfPath().c_str(), nullptr));
        CCCF ccf;
        EXPECT_EQ(ccf.CheckCCFValidity(), CCF_E_MISSING);
        RemoveDirectoryA(CcfPath().c_str());
    }
    {
        SCOPED_TRACE("company.ccf held open without any sharing");
        WritePolicy(c_strStandardPolicy);
        vm::UniqueFileHandle hLock(CreateFileA(CcfPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(hLock);
        CCCF ccf;
        EXPECT_EQ(ccf.CheckCCFValidity(), CCF_E_MISSING);
    }
}

// A draft is read from the path it is given, and the installed policy by its
// own constructor, whatever the process-wide draft switch says; the switch
// still moves the default object for callers that use it.
TEST_F(CcfTest, DraftAndInstalledPolicyAreReadFromTheirOwnSources)
{
    WritePolicy(c_strStandardPolicy);
    std::string strDir = vmtest::MakeScratchDir("cipher-draft");
    std::string strDraft = strDir + "\\draft.ccf", strOther = strDir + "\\other.ccf";
    vmtest::WriteFile(strDraft, Sealed("CompanyID=DRAFT\r\n"));
    vmtest::WriteFile(strOther, Sealed("CompanyID=OTHER\r\n"));
    CipherUseDraftPolicy(strOther.c_str());
    CCCF draft(strDraft.c_str()), moved, installed{CcfInstalledPolicy()};
    CipherUseDraftPolicy(nullptr);
    CCCF back;
    EXPECT_STREQ(back.GetCompanyID(), "ACME");
    ASSERT_EQ(draft.CheckCCFValidity(), CCF_VALID);
    EXPECT_STREQ(draft.GetCompanyID(), "DRAFT");
    ASSERT_EQ(moved.CheckCCFValidity(), CCF_VALID);
    EXPECT_STREQ(moved.GetCompanyID(), "OTHER");
    ASSERT_EQ(installed.CheckCCFValidity(), CCF_VALID);
    EXPECT_STREQ(installed.GetCompanyID(), "ACME");
    // Only the installed policy is handed over, never a draft.
    EXPECT_NE(installed.GetPolicyBytes(nullptr), nullptr);
    EXPECT_EQ(draft.GetPolicyBytes(nullptr), nullptr);
    EXPECT_EQ(moved.GetPolicyBytes(nullptr), nullptr);
    CCCF none(CcfPolicyBytes{nullptr, 0});
    EXPECT_EQ(none.CheckCCFValidity(), CCF_E_MISSING);
    for (const char* szPath : {static_cast<const char*>(nullptr), "", "C:\\no such folder\\draft.ccf"}) {
        SCOPED_TRACE(szPath ? szPath : "(null)");
        CCCF missing(szPath);
        EXPECT_EQ(missing.CheckCCFValidity(), CCF_E_MISSING);
        EXPECT_EQ(missing.GetCompanyID(), nullptr);
    }
    vmtest::RemoveTree(strDir);
}

TEST_F(CcfTest, ReadableWhileAnEditorHoldsItOpenForWriting)
{
    vm::UniqueFileHandle hEditor(CreateFileA(CcfPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(hEditor);
    CCCF ccf;
    EXPECT_EQ(ccf.CheckCCFValidity(), CCF_VALID);
    EXPECT_STREQ(ccf.GetCompanyID(), "ACME");
}

struct FieldRow {
    const char* szName;
    const char* szExpected; // null: no such field
};

// One policy file, asked for by many names.
const std::string c_strFieldBody =
    "CompanyID=ACME\n"
    "; DeleteOtherAddin=0 in a comment is no field\n"
    "\n"
    "Spaced=  two  words\t \n"
    "Empty=\n"
    "WINWORD.EXE=wdplug.dll\n"
    "Dup=first\n"
    "dup=second\n"
    "Eq=a=b\n"
    "Name With Blanks=x\n";

const FieldRow c_fieldRows[] = {
    {"CompanyID", "ACME"},
    {"Spaced", "  two  words\t "},          // blanks at both ends are part of the value
    {"Empty", ""},                          // an empty value is "", not null
    {"WINWORD.EXE", "wdplug.dll"},
    {"winword.exe", "wdplug.dll"},          // application names arrive in any case
    {"WinWord.Exe", "wdplug.dll"},
    {"Dup", "first"},                       // the first match wins, in any case
    {"DUP", "first"},
    {"Eq", "a=b"},                          // the name ends at the first '='
    {"Name With Blanks", "x"},
    {"DeleteOtherAddin", nullptr},          // only in a comment
    {"Checksum", nullptr},                  // the checksum line is not a field
    {"Missing", nullptr},
    {"", nullptr},
    {"WINWORD", nullptr},                   // whole names only
    {"WINWORD.EXE ", nullptr},
    {nullptr, nullptr},
};

TEST_F(CcfTest, GetFieldAnswersByNameForEitherLineEnd)
{
    for (const char* szEol : {"\r\n", "\n"}) {
        std::string strBody = c_strFieldBody;
        if (std::string(szEol) == "\r\n")
            for (size_t off = strBody.find('\n'); off != std::string::npos; off = strBody.find('\n', off + 2))
                strBody.insert(off, "\r");
        WritePolicy(Sealed(strBody, szEol));
        CCCF ccf;
        ASSERT_EQ(ccf.CheckCCFValidity(), CCF_VALID) << (szEol[0] == '\r' ? "CR LF" : "LF");
        EXPECT_STREQ(ccf.GetCompanyID(), "ACME");
        for (const FieldRow& row : c_fieldRows) {
            SCOPED_TRACE(std::string("GetField(") + (row.szName ? row.szName : "null") + ") with "
                         + (szEol[0] == '\r' ? "CR LF" : "LF"));
            const char* szValue = ccf.GetField(row.szName);
            if (!row.szExpected)
                EXPECT_EQ(szValue, nullptr) << szValue;
            else {
                ASSERT_NE(szValue, nullptr);
                EXPECT_STREQ(szValue, row.szExpected);
            }
        }
    }
}

TEST_F(CcfTest, ValidFileWithoutCompanyIdAnswersNullForIt)
{
    WritePolicy(Sealed("DeleteOtherAddin=1\r\n"));
    CCCF ccf;
    EXPECT_EQ(ccf.CheckCCFValidity(), CCF_VALID);
    EXPECT_EQ(ccf.GetCompanyID(), nullptr);
    EXPECT_STREQ(ccf.GetField("DeleteOtherAddin"), "1");
}

TEST_F(CcfTest, FileIsReadOnceAndTextsStayValidForTheObjectsLife)
{
    CCCF before;
    const char* szCompany = before.GetCompanyID();
    ASSERT_NE(szCompany, nullptr);

    WritePolicy(Sealed("CompanyID=OTHER\r\n"));
    CCCF after;
    EXPECT_STREQ(after.GetCompanyID(), "OTHER");

    RemovePolicyFile();
    // The first object keeps what it read, at the same address.
    EXPECT_EQ(before.CheckCCFValidity(), CCF_VALID);
    EXPECT_EQ(before.GetField("DeleteOtherAddin"), before.GetField("deleteotheraddin"));
    EXPECT_EQ(before.GetCompanyID(), szCompany);
    EXPECT_STREQ(szCompany, "ACME");
    CCCF gone;
    EXPECT_EQ(gone.CheckCCFValidity(), CCF_E_MISSING);
}

// Documents live in a scratch folder of their own.
class HeaderTest : public ::testing::Test {
protected:
    void SetUp() override { m_strDir = vmtest::MakeScratchDir("cipher-header"); }
    void TearDown() override { vmtest::RemoveTree(m_strDir); }
    std::string Document(const std::string& a_strBytes)
    {
        std::string strPath = m_strDir + "\\doc.bin";
        vmtest::WriteFile(strPath, a_strBytes);
        return strPath;
    }
    static int Judge(const char* a_szPath)
    {
        CFlexibleHeader header;
        return header.GetHeaderFromFile(a_szPath, 0, 0, 0);
    }

    std::string m_strDir;
};

struct HeaderRow {
    const char* szWhat;
    std::string strBytes;
    int nExpected;
};

HeaderFields With(void (*a_pfnChange)(HeaderFields&))
{
    HeaderFields fields;
    fields.uPayloadSize = 5;
    a_pfnChange(fields);
    return fields;
}

std::vector<HeaderRow> HeaderRows()
{
    const std::string strGood = MakeHeader(5) + "hello";
    std::string strCrcFlipped = strGood;
    strCrcFlipped[28] ^= 0x01;
    std::string strPayloadFlipped = strGood;
    strPayloadFlipped[32] ^= 0x01;
    HeaderFields badMagicBadCrc = With([](HeaderFields& f) { f.strMagic = "LMDXACAQ"; });
    badMagicBadCrc.bFixCrc = false;
    HeaderFields version2StaleCrc = With([](HeaderFields& f) { f.uVersion = 2; });
    version2StaleCrc.bFixCrc = false;

    return {
        {"header and payload", strGood, ACAP_HEADER_OK},
        {"header alone, empty payload", MakeHeader(0), ACAP_HEADER_OK},
        // Only the header is read: the payload size is not compared with the file.
        {"payload size larger than the file", MakeHeader(1ull << 40), ACAP_HEADER_OK},
        {"a changed payload byte", strPayloadFlipped, ACAP_HEADER_OK},

        {"empty file", "", ACAP_E_SHORT},
        {"31 bytes of a good header", strGood.substr(0, 31), ACAP_E_SHORT},
        {"only the magic", "LMDXACAP", ACAP_E_SHORT},

        {"one letter of the magic changed", MakeHeader(With([](HeaderFields& f) { f.strMagic = "LMDXACAQ"; })) + "hello", ACAP_E_MAGIC},
        {"a plain text document", "Dear reader, this is a plain document.", ACAP_E_MAGIC},
        {"magic checked before the CRC", MakeHeader(badMagicBadCrc), ACAP_E_MAGIC},

        {"one flipped bit in the CRC", strCrcFlipped, ACAP_E_CRC},
        {"CRC checked before the version", MakeHeader(version2StaleCrc), ACAP_E_CRC},

        {"version 2", MakeHeader(With([](HeaderFields& f) { f.uVersion = 2; })), ACAP_E_VERSION},
        {"version 0", MakeHeader(With([](HeaderFields& f) { f.uVersion = 0; })), ACAP_E_VERSION},
        {"version checked before the fields",
         MakeHeader(With([](HeaderFields& f) { f.uVersion = 2; f.uReserved = 1; })), ACAP_E_VERSION},

        {"header size 64", MakeHeader(With([](HeaderFields& f) { f.uHeaderSize = 64; })), ACAP_E_FIELDS},
        {"header size 31", MakeHeader(With([](HeaderFields& f) { f.uHeaderSize = 31; })), ACAP_E_FIELDS},
        {"reserved 1", MakeHeader(With([](HeaderFields& f) { f.uReserved = 1; })), ACAP_E_FIELDS},
    };
}

void PrintTo(const HeaderRow& a_row, std::ostream* a_pOut)
{
    *a_pOut << a_row.szWhat;
}

class HeaderRowTest : public HeaderTest, public ::testing::WithParamInterface<HeaderRow> {};

TEST_P(HeaderRowTest, JudgesTheHeader)
{
    const HeaderRow& row = GetParam();
    SCOPED_TRACE(row.szWhat);
    std::string strPath = Document(row.strBytes);
    EXPECT_EQ(Judge(strPath.c_str()), row.nExpected);
}

INSTANTIATE_TEST_SUITE_P(Rows, HeaderRowTest, ::testing::ValuesIn(HeaderRows()));

TEST_F(HeaderTest, PathsThatAreNoReadableFileCannotBeOpened)
{
    const std::string strMissing = m_strDir + "\\missing.bin";
    const std::string strLong = m_strDir + "\\" + std::string(300, 'a') + ".bin";
    const struct {
        const char* szWhat;
        const char* szPath;
    } rows[] = {
        {"null", nullptr},
        {"empty", ""},
        {"missing file", strMissing.c_str()},
        {"directory", m_strDir.c_str()},
        {"path longer than MAX_PATH", strLong.c_str()},
        {"console device", "CON"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.szWhat);
        EXPECT_EQ(Judge(row.szPath), ACAP_E_OPEN);
    }
}

TEST_F(HeaderTest, DocumentHeldOpenByItsOwnerStaysReadable)
{
    std::string strPath = Document(MakeHeader(5) + "hello");
    {
        SCOPED_TRACE("owner writes and lets others only read");
        vm::UniqueFileHandle hOwner(CreateFileA(strPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(hOwner);
        EXPECT_EQ(Judge(strPath.c_str()), ACAP_HEADER_OK);
    }
    {
        SCOPED_TRACE("owner reads and writes with full sharing");
        vm::UniqueFileHandle hOwner(CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(hOwner);
        EXPECT_EQ(Judge(strPath.c_str()), ACAP_HEADER_OK);
    }
    {
        // Nothing can read a file whose owner shares nothing.
        SCOPED_TRACE("owner shares nothing");
        vm::UniqueFileHandle hOwner(CreateFileA(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(hOwner);
        EXPECT_EQ(Judge(strPath.c_str()), ACAP_E_OPEN);
    }
}

} // namespace
