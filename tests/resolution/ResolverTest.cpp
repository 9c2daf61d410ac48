// The control table and the association resolver through the decision object,
// with a request in place, against scratch registry roots.

#include "tests/resolution/ResolutionFixture.h"
#include "tests/support/TestPaths.h"
#include "trace/Trace.h"

#include <shlwapi.h>

#include <memory>

using vmtest::ResolutionRequest;
using vmtest::ScratchRegistry;
using vmtest::ShortPath;
using vmtest::WindowsDir;

namespace {

const std::string c_strTable = "SOFTWARE\\Korvane\\Lumidex\\FileExts\\";
const std::string c_strUserExts = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";
const std::string c_strAcadDde = "AutoCAD.Drawing.15\\shell\\open\\ddeexec\\Application";

class ResolverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strScratch = vmtest::MakeScratchDir("resolver");
        m_strOfficeDir = m_strScratch + "\\Microsoft Office\\OFFICE11";
        CreateDirectoryA((m_strScratch + "\\Microsoft Office").c_str(), nullptr);
        CreateDirectoryA(m_strOfficeDir.c_str(), nullptr);
        m_strWord = m_strOfficeDir + "\\WINWORD.EXE";
        vmtest::WriteFile(m_strWord, "MZ");
        m_strNotepad = WindowsDir() + "\\system32\\notepad.exe";
    }
    void TearDown() override { vmtest::RemoveTree(m_strScratch); }

    static void SetCommand(HKEY a_hRoot, const std::string& a_strKey, const std::string& a_strCommand)
    {
        vmtest::SetString(a_hRoot, a_strKey, nullptr, a_strCommand);
    }

    bool Traced(const std::string& a_strText) const { return m_capture.Contains(a_strText); }

    ScratchRegistry m_registry{"Resolver"};
    vmtest::TraceSwitches m_switches{true};
    vmtest::DebugCapture m_capture;
    CLxShellExt m_ext;
    std::string m_strScratch;
    std::string m_strOfficeDir;
    std::string m_strWord;
    std::string m_strNotepad;
};

// ---- Control table -------------------------------------------------------

TEST_F(ResolverTest, ControlEntryWithApplicationSetsTypeNameAndPath)
{
    vmtest::SetDword(HKEY_LOCAL_MACHINE, c_strTable + ".dwg", "ControlType", 4);
    vmtest::SetString(HKEY_LOCAL_MACHINE, c_strTable + ".dwg", "Application", "acad.exe");
    SetCommand(HKEY_CLASSES_ROOT, "Applications\\acad.exe\\shell\\open\\command", "\"" + m_strWord + "\" \"%1\"");
    ResolutionRequest request(m_ext, "C:\\d\\plan.dwg");
    EXPECT_TRUE(m_ext.GetExtensionControlType());
    EXPECT_EQ(m_ext.m_uControlType, 4u);
    EXPECT_EQ(m_ext.m_strAppName, "WINWORD.EXE") << "the program the command starts";
    EXPECT_EQ(m_ext.m_strAppPath, m_strWord);
    EXPECT_TRUE(Traced("[CLxShellExt::GetExtensionControlType] ControlType[4], Application[acad.exe]")) << m_capture.Dump();
    EXPECT_TRUE(Traced("[CLxShellExt::GetExtControlApplicationPath] m_strAppPath[" + m_strWord + "]")) << m_capture.Dump();
}

// Control entries that give no application; the row says what is stored.
TEST_F(ResolverTest, ControlEntriesWithoutAUsableApplication)
{
    struct Row {
        const char* m_szWhat;
        const char* m_szExt;
        int m_nControlType;         // -1: no value; -2: the string "4"; -3: the string "1234"
        const char* m_szApplication; // nullptr: no value
        UINT m_uExpectedType;
        const char* m_szTrace;       // nullptr: no trace
        bool m_bResult;
    } rows[] = {
        {"ControlType 2 without Application: stored, false", ".ct2", 2, nullptr, 2,
         "[CLxShellExt::GetExtensionControlType] not existed control application,  ext[.ct2]", false},
        {"ControlType 0 with Application: false, silent", ".ct0", 0, "x.exe", 0, nullptr, false},
        {"no control key: false, type untouched", ".none", -1, nullptr, 7,
         "[CLxShellExt::GetExtensionControlType] Is not control type [.none]", false},
        {"a string of up to 4 bytes is taken as its raw bytes", ".str", -2, "x.exe", 0x34, nullptr, true},
        {"a string of 5 bytes does not fit the number", ".long", -3, "x.exe", 7,
         "[CLxShellExt::GetExtensionControlType] Is not control type [.long]", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.m_szWhat);
        std::string strKey = c_strTable + row.m_szExt;
        if (row.m_nControlType >= 0)
            vmtest::SetDword(HKEY_LOCAL_MACHINE, strKey, "ControlType", static_cast<DWORD>(row.m_nControlType));
        else if (row.m_nControlType == -2)
            vmtest::SetString(HKEY_LOCAL_MACHINE, strKey, "ControlType", "4");
        else if (row.m_nControlType == -3)
            vmtest::SetString(HKEY_LOCAL_MACHINE, strKey, "ControlType", "1234");
        if (row.m_szApplication)
            vmtest::SetString(HKEY_LOCAL_MACHINE, strKey, "Application", row.m_szApplication);

        ResolutionRequest request(m_ext, std::string("C:\\d\\f") + row.m_szExt);
        m_ext.m_uControlType = 7;
        m_ext.m_strAppName = "previous.exe";
        m_capture.Clear();
        EXPECT_EQ(m_ext.GetExtensionControlType(), row.m_bResult);
        EXPECT_EQ(m_ext.m_uControlType, row.m_uExpectedType);
        if (!row.m_bResult) {
            EXPECT_EQ(m_ext.m_strAppName, "previous.exe");
        }
        if (row.m_szTrace) {
            EXPECT_TRUE(Traced(row.m_szTrace)) << m_capture.Dump();
        } else if (!row.m_bResult) {
            EXPECT_TRUE(vmtest::TextsStartingWith(m_capture, "[CLxShellExt::GetExtensionControlType]").empty())
                << m_capture.Dump();
        }
    }
}

// Where GetExtControlApplicationPath finds the application, in order.
TEST_F(ResolverTest, ApplicationPathSources)
{
    SetCommand(HKEY_CLASSES_ROOT, "Applications\\both.exe\\shell\\open\\command", "\"" + m_strWord + "\" %1");
    SetCommand(HKEY_CLASSES_ROOT, "Applications\\both.exe\\shell\\edit\\command", m_strNotepad + " %1");
    SetCommand(HKEY_CLASSES_ROOT, "Applications\\edit.exe\\shell\\edit\\command", m_strNotepad + " %1");
    vmtest::SetString(HKEY_CLASSES_ROOT, "Applications\\expand.exe\\shell\\open\\command", nullptr,
                      "%SystemRoot%\\system32\\notepad.exe %1", REG_EXPAND_SZ);
    SetCommand(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\paths.exe", m_strWord);
    std::string strDoc = m_strScratch + "\\Microsoft Office\\doc.txt";
    vmtest::WriteFile(strDoc, "x");
    struct Row {
        const char* m_szWhat;
        const char* m_szApp;
        std::string m_strExpected;
        const char* m_szNotFoundKey; // the key of the "not existed" trace, if any
    } rows[] = {
        {"open beats edit", "both.exe", m_strWord, nullptr},
        {"known only through edit", "edit.exe", m_strNotepad, nullptr},
        {"REG_EXPAND_SZ arrives unexpanded and the parser expands it", "expand.exe", m_strNotepad, nullptr},
        {"App Paths is not read on the NT family: the request's file, long", "paths.exe", strDoc,
         "Applications\\paths.exe\\shell\\edit\\command"},
        {"registered nowhere: the request's file, long", "none.exe", strDoc,
         "Applications\\none.exe\\shell\\edit\\command"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.m_szWhat);
        ResolutionRequest request(m_ext, ShortPath(strDoc));
        m_ext.m_strAppName = row.m_szApp;
        m_capture.Clear();
        EXPECT_TRUE(m_ext.GetExtControlApplicationPath());
        EXPECT_EQ(m_ext.m_strAppPath, row.m_strExpected);
        if (row.m_szNotFoundKey) {
            EXPECT_TRUE(Traced(std::string("[CLxShellExt::GetExtControlApplicationPath] not existed reg key [") +
                               row.m_szNotFoundKey + "]"))
                << m_capture.Dump();
        }
    }
}

// The fallback file name and the command value at their buffer's end.
TEST_F(ResolverTest, FallbackAndCommandAtTheBufferEnd)
{
    std::string strFile259 = "C:\\" + std::string(252, 'f') + ".txt";
    ASSERT_EQ(strFile259.size(), 259u);
    {
        ResolutionRequest request(m_ext, strFile259);
        m_ext.m_strAppName = "none.exe";
        m_ext.GetExtControlApplicationPath();
        EXPECT_EQ(m_ext.m_strAppPath, strFile259) << "259 characters are kept";
    }
    {
        ResolutionRequest request(m_ext, strFile259 + "t");
        m_ext.GetExtControlApplicationPath();
        EXPECT_EQ(m_ext.m_strAppPath, "") << "260 characters are refused, not cut into another name";
    }
    // A command of 259 characters (260 bytes) is read and parsed; of 260 it
    // is more data, and edit then App Paths are looked at instead.
    std::string strCommand259 = m_strNotepad + " " + std::string(258 - m_strNotepad.size(), 'x');
    SetCommand(HKEY_CLASSES_ROOT, "Applications\\fits.exe\\shell\\open\\command", strCommand259);
    SetCommand(HKEY_CLASSES_ROOT, "Applications\\long.exe\\shell\\open\\command", strCommand259 + "x");
    ResolutionRequest request(m_ext, "C:\\d\\a.txt");
    m_ext.m_strAppName = "fits.exe";
    m_ext.GetExtControlApplicationPath();
    EXPECT_EQ(m_ext.m_strAppPath, m_strNotepad);
    m_ext.m_strAppName = "long.exe";
    m_ext.GetExtControlApplicationPath();
    EXPECT_EQ(m_ext.m_strAppPath, "C:\\d\\a.txt");
}

// ---- Control shortcut ----------------------------------------------------

TEST_F(ResolverTest, ControlShortcutFollowsTheControlTypeTable)
{
    struct Row {
        bool m_bControl;
        UINT m_uType;
        UINT m_uOperation;
        bool m_bAcap;
        bool m_bControlled;
    } rows[] = {
        {true, 4, OPERATION_OPENAS_DOCUMENT, false, true},  // 4: always
        {false, 4, OPERATION_OPEN_DOCUMENT, true, false},   // no control entry: never
        {true, 3, OPERATION_OPEN_DOCUMENT, false, true},    // 3: open a document
        {true, 3, OPERATION_OPENAS_DOCUMENT, true, true},   // 3: or encrypted
        {true, 3, OPERATION_OPENAS_DOCUMENT, false, false}, // 3: open-as of a plain file
        {true, 2, OPERATION_OPENAS_DOCUMENT, true, true},   // 2: encrypted
        {true, 2, OPERATION_OPEN_DOCUMENT, false, false},
        {true, 1, OPERATION_OPEN_DOCUMENT, true, true},     // 1: open and encrypted
        {true, 1, OPERATION_OPEN_DOCUMENT, false, false},   // 1: plain file
        {true, 1, OPERATION_OPENAS_DOCUMENT, true, false},
        {true, 5, OPERATION_OPEN_DOCUMENT, true, false},    // unknown type: never
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "a_bControl " << row.m_bControl << " type " << row.m_uType << " operation "
                                        << row.m_uOperation << " acap " << row.m_bAcap);
        ResolutionRequest request(m_ext, "C:\\d\\plan.dwg", row.m_uOperation);
        m_ext.m_uControlType = row.m_uType;
        m_ext.m_bAcapFile = row.m_bAcap;
        m_ext.m_strAppName = "acad.exe";
        m_ext.m_strAppPath = "C:\\acad\\acad.exe";
        m_capture.Clear();
        bool bResult = m_ext.GetApplicationPathFromReg(row.m_bControl);
        std::vector<std::string> expectedFirst = {
            "[CLxShellExt::GetApplicationPathFromReg] a_bControl[" + std::to_string(row.m_bControl) + "], m_bAcapFile[" +
            std::to_string(row.m_bAcap) + "], m_uControlType[" + std::to_string(row.m_uType) + "]"};
        ASSERT_FALSE(m_capture.Texts().empty());
        EXPECT_EQ(m_capture.Texts()[0], expectedFirst[0]);
        if (row.m_bControlled) {
            EXPECT_TRUE(bResult);
            EXPECT_EQ(m_capture.Texts().size(), 2u) << "no registry read: " << m_capture.Dump();
            EXPECT_TRUE(Traced("[CLxShellExt::GetApplicationPathFromReg] [.dwg] is Lumidex control type"));
            EXPECT_EQ(m_ext.m_strAppPath, "C:\\acad\\acad.exe");
        } else {
            EXPECT_FALSE(bResult) << "nothing registered for .dwg";
            EXPECT_TRUE(Traced("[CLxShellExt::GetExtOpenApplicationPath] -> not registered extension, ext[.dwg]"))
                << m_capture.Dump();
        }
    }
}

// ---- Class-key route -----------------------------------------------------

class ClassKey {
public:
    explicit ClassKey(const std::string& a_strKey)
    {
        vmtest::CreateKey(HKEY_CLASSES_ROOT, a_strKey);
        EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, a_strKey.c_str(), 0, KEY_READ, &m_hKey), ERROR_SUCCESS);
    }
    ~ClassKey() { EXPECT_EQ(RegCloseKey(m_hKey), ERROR_SUCCESS) << "the resolver closed the shell's class key"; }
    HKEY get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

TEST_F(ResolverTest, ClassKeyBeatsUserChoiceAndMachineAssociation)
{
    SetCommand(HKEY_CLASSES_ROOT, "cls\\shell\\open\\command", "\"" + m_strWord + "\" /n");
    SetCommand(HKEY_CLASSES_ROOT, "cls\\shell\\open\\ddeexec", "[open(\"%1\")]");
    vmtest::SetString(HKEY_CURRENT_USER, c_strUserExts + ".txt", "Application", "notepad.exe");
    SetCommand(HKEY_CLASSES_ROOT, ".txt", "txtfile");
    SetCommand(HKEY_CLASSES_ROOT, "txtfile\\shell\\open\\command", m_strNotepad + " %1");
    ClassKey classKey("cls");
    ResolutionRequest request(m_ext, "C:\\d\\a.txt", OPERATION_OPEN_DOCUMENT, classKey.get());
    EXPECT_TRUE(m_ext.GetApplicationPathFromReg(false));
    EXPECT_EQ(m_ext.m_strAppPath, m_strWord);
    EXPECT_EQ(m_ext.m_strAppName, "WINWORD.EXE");
    EXPECT_TRUE(m_ext.m_bDDEOpen);
    EXPECT_TRUE(Traced("[CLxShellExt::GetApplicationPathFromReg] ddeexec[[open(\"%1\")]]")) << m_capture.Dump();
    EXPECT_TRUE(Traced("[CLxShellExt::GetApplicationPathFromReg] file extension[.txt], applicaton[" + m_strWord + "]"));
    EXPECT_TRUE(vmtest::TextsStartingWith(m_capture, "[CLxShellExt::GetExtOpenApplicationPath]").empty());
}

TEST_F(ResolverTest, ClassKeyWalkEdgeCases)
{
    // "edit" where "open" is missing; an empty ddeexec message is no DDE.
    SetCommand(HKEY_CLASSES_ROOT, "edit\\shell\\edit\\command", m_strNotepad + " %1");
    SetCommand(HKEY_CLASSES_ROOT, "edit\\shell\\edit\\ddeexec", "");
    // No subkeys at all: the class key's own type name is the command, and
    // the DDE walk ends there too.
    SetCommand(HKEY_CLASSES_ROOT, "bare", "Text Document");
    // The walk reaches a key without a default value: an empty command.
    vmtest::CreateKey(HKEY_CLASSES_ROOT, "empty\\shell\\open\\command");
    struct Row {
        const char* m_szKey;
        std::string m_strPath;
        std::string m_strName;
        bool m_bDde;
        size_t m_cSubOpenFailures;
    } rows[] = {
        {"edit", m_strNotepad, "notepad.exe", false, 2},
        // The type name as a command: the program its start would try first.
        {"bare", "Text.exe", "Text.exe", true, 8},
        // The platform's file-name part of "C:\windows\" is "windows\".
        {"empty", WindowsDir() + "\\", PathFindFileNameA((WindowsDir() + "\\").c_str()), false, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.m_szKey);
        ClassKey classKey(row.m_szKey);
        ResolutionRequest request(m_ext, "C:\\d\\a.txt", OPERATION_OPEN_DOCUMENT, classKey.get());
        m_capture.Clear();
        EXPECT_TRUE(m_ext.GetApplicationPathFromReg(false));
        EXPECT_EQ(m_ext.m_strAppPath, row.m_strPath);
        EXPECT_EQ(m_ext.m_strAppName, row.m_strName);
        EXPECT_EQ(m_ext.m_bDDEOpen, row.m_bDde);
        EXPECT_EQ(m_capture.Count("[CLxShellRegistry::Open] registry SubOpen failed, ret = 2"), row.m_cSubOpenFailures)
            << m_capture.Dump();
    }
}

// ---- Per-user and machine-wide routes ------------------------------------

TEST_F(ResolverTest, UserChoiceUsesTheApplicationsKey)
{
    vmtest::SetString(HKEY_CURRENT_USER, c_strUserExts + ".txt", "Application", "notepad.exe");
    SetCommand(HKEY_CLASSES_ROOT, "Applications\\notepad.exe\\shell\\open\\command", m_strNotepad + " %1");
    SetCommand(HKEY_CLASSES_ROOT, ".txt", "txtfile");
    ResolutionRequest request(m_ext, "C:\\d\\a.txt");
    EXPECT_TRUE(m_ext.GetApplicationPathFromReg(false));
    EXPECT_EQ(m_ext.m_strAppName, "notepad.exe");
    EXPECT_EQ(m_ext.m_strAppPath, m_strNotepad);
    EXPECT_TRUE(Traced("[CLxShellRegistry::Open] registry Open failed, ret = 6")) << "null class key";
    EXPECT_TRUE(Traced("[CLxShellExt::GetExtOpenApplicationPath] case : HKCU, extension[.txt] -> application[notepad.exe]"))
        << m_capture.Dump();
}

TEST_F(ResolverTest, MachineWideWordExample)
{
    SetCommand(HKEY_CLASSES_ROOT, ".doc", "Word.Document.8");
    SetCommand(HKEY_CLASSES_ROOT, "Word.Document.8\\shell\\open\\command", "\"" + m_strWord + "\" /n /dde");
    SetCommand(HKEY_CLASSES_ROOT, "Word.Document.8\\shell\\open\\ddeexec\\Application", "WinWord");
    ResolutionRequest request(m_ext, "C:\\d\\report.doc");
    EXPECT_TRUE(m_ext.GetApplicationPathFromReg(false));
    EXPECT_EQ(m_ext.m_strAppName, "WINWORD.EXE");
    EXPECT_EQ(m_ext.m_strAppPath, m_strWord);
    EXPECT_TRUE(m_ext.m_bDDEOpen);
    EXPECT_TRUE(Traced("[CLxShellExt::GetExtOpenApplicationPath] case : HKCR -> open, extension[.doc] -> application[" +
                       m_strWord + "]"))
        << m_capture.Dump();
    EXPECT_TRUE(Traced("[CLxShellExt::GetApplicationPathFromReg] ddeexec[WinWord]"));
}

TEST_F(ResolverTest, MachineWideVerbsAndFailures)
{
    SetCommand(HKEY_CLASSES_ROOT, ".ed", "Ed.1");
    SetCommand(HKEY_CLASSES_ROOT, "Ed.1\\shell\\edit\\command", m_strNotepad + " %1");
    SetCommand(HKEY_CLASSES_ROOT, "Ed.1\\shell\\open\\ddeexec\\Application", "NotAsked");
    SetCommand(HKEY_CLASSES_ROOT, ".rd", "Rd.1");
    SetCommand(HKEY_CLASSES_ROOT, "Rd.1\\shell\\Read\\command", m_strNotepad + " %1");
    SetCommand(HKEY_CLASSES_ROOT, ".nv", "Nv.1");
    vmtest::CreateKey(HKEY_CLASSES_ROOT, "Nv.1\\shell");
    SetCommand(HKEY_CLASSES_ROOT, ".ne", "Ne.1");
    SetCommand(HKEY_CLASSES_ROOT, "Ne.1\\shell\\open\\command", m_strNotepad + " %1");
    SetCommand(HKEY_CLASSES_ROOT, "Ne.1\\shell\\open\\ddeexec\\Application", "");
    vmtest::CreateKey(HKEY_CLASSES_ROOT, ".nd");
    struct Row {
        const char* m_szFile;
        bool m_bResult;
        std::string m_strTrace;
    } rows[] = {
        // edit: no DDE lookup
        {"a.ed", true, "[CLxShellExt::GetExtOpenApplicationPath] case : HKCR -> edit, extension[.ed] -> application[" + m_strNotepad + "]"},
        {"a.rd", true, "[CLxShellExt::GetExtOpenApplicationPath] case : HKCR -> Read, extension[.rd] -> application[" + m_strNotepad + "]"},
        {"a.nv", false, "[CLxShellExt::GetExtOpenApplicationPath] -> not registered application, key[Nv.1\\shell\\Read\\command]"},
        {"a.zz", false, "[CLxShellExt::GetExtOpenApplicationPath] -> not registered extension, ext[.zz]"},
        // an extension key without a ProgID: the failed read of its default value names no value
        {"a.nd", false, "[CLxShellRegistry::QueryRegistryValue] registry QueryValue failed, valuename = (null), ret = 2"},
        // an empty DDE server name is no DDE
        {"a.ne", true, "[CLxShellExt::GetExtOpenApplicationPath] case : HKCR -> open, extension[.ne] -> application[" + m_strNotepad + "]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.m_szFile);
        ResolutionRequest request(m_ext, std::string("C:\\d\\") + row.m_szFile);
        m_capture.Clear();
        EXPECT_EQ(m_ext.GetApplicationPathFromReg(false), row.m_bResult);
        EXPECT_TRUE(Traced(row.m_strTrace)) << m_capture.Dump();
        EXPECT_FALSE(m_ext.m_bDDEOpen);
    }
}

TEST_F(ResolverTest, AcadDdeRepairWritesOnceInAnyLetterCase)
{
    SetCommand(HKEY_CLASSES_ROOT, ".dwg", "autocad.drawing.15");
    SetCommand(HKEY_CLASSES_ROOT, "autocad.drawing.15\\shell\\open\\command", "\"" + m_strWord + "\" \"%1\"");
    {
        ResolutionRequest request(m_ext, "C:\\d\\plan.dwg");
        EXPECT_TRUE(m_ext.GetApplicationPathFromReg(false));
        EXPECT_TRUE(m_ext.m_bDDEOpen);
    }
    EXPECT_EQ(ScratchRegistry::ReadString(HKEY_CLASSES_ROOT, c_strAcadDde, nullptr), "acad");
    EXPECT_TRUE(Traced("[CLxShellExt::GetApplicationPathFromReg] => 0=SetReg(" + c_strAcadDde + ", acad)")) << m_capture.Dump();
    EXPECT_TRUE(Traced("[CLxShellExt::GetApplicationPathFromReg] ddeexec[NULL], dde true setting"));

    m_capture.Clear();
    ResolutionRequest request(m_ext, "C:\\d\\plan.dwg");
    EXPECT_TRUE(m_ext.GetApplicationPathFromReg(false));
    EXPECT_TRUE(m_ext.m_bDDEOpen);
    EXPECT_TRUE(Traced("[CLxShellExt::GetApplicationPathFromReg] ddeexec[acad]")) << m_capture.Dump();
    EXPECT_TRUE(vmtest::TextsStartingWith(m_capture, "[CLxShellExt::GetApplicationPathFromReg] =>").empty());
}

// ---- The program the command starts ------------------------------------------

// Whatever the route, the application is the program the platform starts for
// the command, named by its long file name: never an 8.3 alias, a switch, or
// the copy of a bare name in the Windows folder where the system folder has
// one. The arguments beside the document are kept for the verdict.
TEST_F(ResolverTest, ApplicationIsTheProgramTheCommandStarts)
{
    std::string strDir = m_strScratch + "\\qBittorrent";
    CreateDirectoryA(strDir.c_str(), nullptr);
    std::string strLong = strDir + "\\qbittorrent.exe";
    vmtest::WriteFile(strLong, "MZ");
    ASSERT_NE(PathFindFileNameA(ShortPath(strLong).c_str()), std::string("qbittorrent.exe")) << "no 8.3 alias here";
    enum Route { MachineOpen, MachineEdit, ClassKeyVerb, UserChoice, ControlTable };
    struct Row {
        const char* m_szWhat;
        Route m_route;
        std::string m_strCommand;
        std::string m_strPath;
        const char* m_szName;
        const char* m_szArguments;
    } rows[] = {
        {"machine-wide open: the long name", MachineOpen, "\"" + strLong + "\" \"%1\"", strLong, "qbittorrent.exe", ""},
        {"machine-wide edit: the long name, its switch kept", MachineEdit, "\"" + strLong + "\" /edit \"%1\"", strLong,
         "qbittorrent.exe", "/edit"},
        {"class key: %SystemRoot% with a switch is the program, not the switch", ClassKeyVerb,
         "%SystemRoot%\\system32\\notepad.exe /p \"%1\"", m_strNotepad, "notepad.exe", "/p"},
        {"user's choice: a bare name in both folders is the system folder's", UserChoice, "notepad.exe %1", m_strNotepad,
         "notepad.exe", ""},
        {"control table: the program its command starts, by its long name", ControlTable,
         "\"" + ShortPath(strLong) + "\" -print-to-default \"%1\"", strLong, "qbittorrent.exe", "-print-to-default"},
    };
    int nRow = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.m_szWhat) + ": " + row.m_strCommand);
        std::string strExt = ".lg" + std::to_string(nRow++);
        std::string strProgId = "Long" + strExt;
        SetCommand(HKEY_CLASSES_ROOT, strExt, strProgId);
        HKEY hClassKey = nullptr;
        std::unique_ptr<ClassKey> classKey;
        if (row.m_route == MachineOpen || row.m_route == ClassKeyVerb)
            SetCommand(HKEY_CLASSES_ROOT, strProgId + "\\shell\\open\\command", row.m_strCommand);
        if (row.m_route == MachineEdit)
            SetCommand(HKEY_CLASSES_ROOT, strProgId + "\\shell\\edit\\command", row.m_strCommand);
        if (row.m_route == ClassKeyVerb) {
            classKey = std::make_unique<ClassKey>(strProgId);
            hClassKey = classKey->get();
        }
        if (row.m_route == UserChoice || row.m_route == ControlTable) {
            std::string strApp = "app" + strExt + ".exe";
            SetCommand(HKEY_CLASSES_ROOT, "Applications\\" + strApp + "\\shell\\open\\command", row.m_strCommand);
            if (row.m_route == UserChoice)
                vmtest::SetString(HKEY_CURRENT_USER, c_strUserExts + strExt, "Application", strApp);
            vmtest::SetDword(HKEY_LOCAL_MACHINE, c_strTable + strExt, "ControlType", row.m_route == ControlTable ? 4 : 0);
            vmtest::SetString(HKEY_LOCAL_MACHINE, c_strTable + strExt, "Application", strApp);
        }
        ResolutionRequest request(m_ext, "C:\\d\\a" + strExt, OPERATION_OPEN_DOCUMENT, hClassKey);
        EXPECT_TRUE(m_ext.GetApplicationPathFromReg(m_ext.GetExtensionControlType()));
        EXPECT_EQ(m_ext.m_strAppPath, row.m_strPath);
        EXPECT_EQ(m_ext.m_strAppName, row.m_szName);
        EXPECT_EQ(m_ext.m_strCommandArguments, row.m_szArguments);
    }
}

// ---- The requested verb ------------------------------------------------------

// A type with a viewer for open, an editor for edit and a printer for print,
// on every route: a request for a verb is resolved from that verb's own
// command, and only a verb the type has no command for takes open, else
// edit, else Read. A new trace names the verb read; an open request traces
// as before.
TEST_F(ResolverTest, RequestedVerbIsResolvedFromItsOwnCommand)
{
    std::string strViewer = m_strScratch + "\\viewer.exe", strEditor = m_strScratch + "\\editor.exe",
                strPrinter = m_strScratch + "\\printer.exe";
    for (const std::string& strProgram : {strViewer, strEditor, strPrinter})
        vmtest::WriteFile(strProgram, "MZ");
    enum Route { MachineWide, ClassKeyVerb, UserChoice, ControlTable };
    const char* const c_szAppsTrace = "[CLxShellExt::GetExtControlApplicationPath] case : Applications -> ";
    struct Row {
        const char* m_szWhat;
        Route m_route;
        const char* m_szVerb; // "" for open
        std::string m_strPath;
        std::string m_strTrace; // the trace that names the verb read; "" when none is written
    } rows[] = {
        {"machine-wide print", MachineWide, "print", strPrinter,
         "[CLxShellExt::GetExtOpenApplicationPath] case : HKCR -> print, extension[.vb0] -> application[" + strPrinter + "]"},
        {"machine-wide edit", MachineWide, "edit", strEditor,
         "[CLxShellExt::GetExtOpenApplicationPath] case : HKCR -> edit, extension[.vb1] -> application[" + strEditor + "]"},
        {"machine-wide printto without a command: open", MachineWide, "printto", strViewer, ""},
        {"machine-wide open, as before", MachineWide, "", strViewer, ""},
        {"class key print", ClassKeyVerb, "print", strPrinter,
         "[CLxShellExt::GetApplicationPathFromReg] case : hkeyClass -> print, extension[.vb4] -> application[" +
             strPrinter + "]"},
        {"class key read without a command: open", ClassKeyVerb, "read", strViewer, ""},
        {"user's choice edit", UserChoice, "edit", strEditor, std::string(c_szAppsTrace) + "edit, application[app.vb6.exe]"},
        {"control table print", ControlTable, "PRINT", strPrinter,
         std::string(c_szAppsTrace) + "PRINT, application[app.vb7.exe]"},
        {"control table open, as before", ControlTable, "", strViewer, ""},
    };
    int nRow = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.m_szWhat) + ", verb [" + row.m_szVerb + "]");
        std::string strExt = ".vb" + std::to_string(nRow++);
        std::string strShell = (row.m_route == UserChoice || row.m_route == ControlTable)
                                   ? "Applications\\app" + strExt + ".exe\\shell\\"
                                   : "Verb" + strExt + "\\shell\\";
        SetCommand(HKEY_CLASSES_ROOT, strExt, "Verb" + strExt);
        SetCommand(HKEY_CLASSES_ROOT, strShell + "open\\command", "\"" + strViewer + "\" \"%1\"");
        SetCommand(HKEY_CLASSES_ROOT, strShell + "edit\\command", "\"" + strEditor + "\" \"%1\"");
        SetCommand(HKEY_CLASSES_ROOT, strShell + "print\\command", "\"" + strPrinter + "\" /p \"%1\"");
        if (row.m_route == UserChoice)
            vmtest::SetString(HKEY_CURRENT_USER, c_strUserExts + strExt, "Application", "app" + strExt + ".exe");
        if (row.m_route == ControlTable) {
            vmtest::SetDword(HKEY_LOCAL_MACHINE, c_strTable + strExt, "ControlType", 4);
            vmtest::SetString(HKEY_LOCAL_MACHINE, c_strTable + strExt, "Application", "app" + strExt + ".exe");
        }
        std::unique_ptr<ClassKey> classKey;
        if (row.m_route == ClassKeyVerb)
            classKey = std::make_unique<ClassKey>("Verb" + strExt);
        ResolutionRequest request(m_ext, "C:\\d\\a" + strExt, OPERATION_OPEN_DOCUMENT,
                                  classKey ? classKey->get() : nullptr);
        m_ext.m_strVerb = row.m_szVerb;
        m_capture.Clear();
        EXPECT_TRUE(m_ext.GetApplicationPathFromReg(m_ext.GetExtensionControlType()));
        EXPECT_EQ(m_ext.m_strAppPath, row.m_strPath);
        EXPECT_EQ(m_ext.m_bVerbCommand, !row.m_strTrace.empty());
        if (!row.m_strTrace.empty()) {
            EXPECT_TRUE(Traced(row.m_strTrace)) << m_capture.Dump();
        }
        // Without a command of the verb's own, the traces are those of an open.
        for (const std::string& strText : m_capture.Texts()) {
            if (!row.m_strTrace.empty())
                break;
            EXPECT_EQ(strText.find(" case : hkeyClass -> "), std::string::npos) << strText;
            EXPECT_EQ(strText.find(c_szAppsTrace), std::string::npos) << strText;
        }
        // The verb is looked up quietly: a class key walk fails only at its
        // missing "ddeexec", as for an open.
        if (row.m_strTrace.empty()) {
            EXPECT_EQ(m_capture.Count("[CLxShellRegistry::Open] registry SubOpen failed, ret = 2"),
                      row.m_route == ClassKeyVerb ? 1u : 0u)
                << m_capture.Dump();
        }
        if (row.m_route == MachineWide && row.m_strTrace.empty()) {
            EXPECT_TRUE(Traced("[CLxShellExt::GetExtOpenApplicationPath] case : HKCR -> open, extension[" + strExt +
                               "] -> application[" + strViewer + "]"))
                << m_capture.Dump();
        }
        m_ext.m_strVerb.clear();
    }
}

// ---- Handles ---------------------------------------------------------------

// Thousands of resolutions along every route leave the handle count where it
// was, and the shell's class keys open.
TEST_F(ResolverTest, ResolutionsLeaveTheHandleCountAlone)
{
    SetCommand(HKEY_CLASSES_ROOT, "cls\\shell\\open\\command", m_strNotepad + " %1");
    SetCommand(HKEY_CLASSES_ROOT, "cls\\shell\\open\\ddeexec", "x");
    SetCommand(HKEY_CLASSES_ROOT, "bare", "Text Document");
    vmtest::SetString(HKEY_CURRENT_USER, c_strUserExts + ".txt", "Application", "notepad.exe");
    SetCommand(HKEY_CLASSES_ROOT, ".doc", "Word.Document.8");
    SetCommand(HKEY_CLASSES_ROOT, "Word.Document.8\\shell\\open\\command", "\"" + m_strWord + "\" /n /dde");
    vmtest::SetDword(HKEY_LOCAL_MACHINE, c_strTable + ".doc", "ControlType", 1);
    vmtest::SetString(HKEY_LOCAL_MACHINE, c_strTable + ".doc", "Application", "WINWORD.EXE");
    ClassKey cls("cls");
    ClassKey bare("bare");
    g_bTraceEnabled = false; // keeps the run short; the always-on texts still go out

    DWORD dwBefore = vmtest::HandleCount();
    for (int i = 0; i < 2000; ++i) {
        HKEY hClass = i % 3 == 0 ? cls.get() : i % 3 == 1 ? bare.get() : nullptr;
        ResolutionRequest request(m_ext, i % 2 ? "C:\\d\\a.doc" : "C:\\d\\a.txt", OPERATION_OPEN_DOCUMENT, hClass);
        bool bControl = m_ext.GetExtensionControlType();
        m_ext.GetApplicationPathFromReg(bControl);
    }
    EXPECT_EQ(vmtest::HandleCount(), dwBefore);
    std::printf("handle count before %lu, after 2000 resolutions %lu\n", static_cast<unsigned long>(dwBefore),
                static_cast<unsigned long>(vmtest::HandleCount()));
}

} // namespace
