// Office add-in upkeep against the real registry of the prefix: HKCU of this
// process is redirected to a scratch key, while the regsvr32 processes that
// the upkeep starts write the real HKCU of the prefix.

#include "decision/LxShellExt.h"

#include "common/Handle.h"
#include "module/ModuleState.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/KeySecurity.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>
#include <shlwapi.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using vmtest::CreateKey;
using vmtest::KeyExists;
using vmtest::SetDword;
using vmtest::SetRaw;
using vmtest::TestDir;

constexpr char c_szScratchKey[] = "Software\\VormidmgrTests\\office";
constexpr char c_szOffice[] = "Software\\Microsoft\\Office";
constexpr DWORD c_dwRegistrationTimeoutMs = 15000;
// Time a start that should not have happened is given to show itself.
constexpr DWORD c_dwSettleMs = 1000;

struct AddinRow {
    const char* szKey; // below HKCU, as the add-in's registration writes it
    const char* szModule;
};
const AddinRow c_addins[] = {
    {"Software\\Microsoft\\Office\\Word\\Addins\\Quorix01.Word9AddIn", "quorix01.dll"},
    {"Software\\Microsoft\\Office\\PowerPoint\\Addins\\Quorix02.CPpt9AddIn", "quorix02.dll"},
    {"Software\\Microsoft\\Office\\Excel\\Addins\\Quorix03.ExcelAddIn", "quorix03.dll"},
};

// A module that a just ended regsvr32 had loaded stays locked for a moment.
bool DeleteSoon(const std::string& a_strPath)
{
    return vmtest::WaitUntil([&] { return DeleteFileA(a_strPath.c_str()) || !vmtest::FileExists(a_strPath); },
                             5000);
}

bool ValueExists(HKEY a_hRoot, const std::string& a_strPath, const char* a_szName)
{
    return SHGetValueA(a_hRoot, a_strPath.c_str(), a_szName, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

std::vector<std::string> SubKeys(HKEY a_hRoot, const std::string& a_strPath)
{
    std::vector<std::string> names;
    vm::UniqueKey key;
    if (RegOpenKeyExA(a_hRoot, a_strPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return names;
    char szName[MAX_PATH];
    for (DWORD i = 0; RegEnumKeyA(key.get(), i, szName, MAX_PATH) == ERROR_SUCCESS; ++i)
        names.push_back(szName);
    return names;
}

DWORD ValueCount(HKEY a_hRoot, const std::string& a_strPath)
{
    vm::UniqueKey key;
    DWORD cValues = 0xdeadbeef;
    if (RegOpenKeyExA(a_hRoot, a_strPath.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS)
        RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &cValues, nullptr, nullptr, nullptr, nullptr);
    return cValues;
}

class OfficeUpkeepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Opened before the redirection: the keys that regsvr32 writes.
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_ALL_ACCESS,
                                               m_realSoftware.put()));
        m_bRealOfficeExisted = KeyExists(HKEY_CURRENT_USER, c_szOffice);
        WaitRegistrationsEnded();
        RemoveRealAddinKeys();
        SHDeleteKeyA(HKEY_CURRENT_USER, c_szScratchKey);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, c_szScratchKey, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, m_scratch.put(), nullptr));
        vmtest::RedirectRoot(HKEY_CURRENT_USER, m_scratch.get());
    }

    void TearDown() override
    {
        WaitRegistrationsEnded();
        vmtest::RedirectRoot(HKEY_CURRENT_USER, nullptr);
        m_scratch.reset();
        SHDeleteKeyA(HKEY_CURRENT_USER, c_szScratchKey);
        SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\VormidmgrTests");
        RemoveRealAddinKeys();
        if (!m_bRealOfficeExisted)
            SHDeleteKeyA(m_realSoftware.get(), "Microsoft\\Office");
        RemoveAddinModules();
        SetCurrentDirectoryA(TestDir().c_str());
    }

    // A registration still running would write its key into the next test,
    // and keeps its module file open.
    static void WaitRegistrationsEnded()
    {
        EXPECT_TRUE(vmtest::WaitUntil([] { return vmtest::CountProcesses("regsvr32.exe") == 0; },
                                      c_dwRegistrationTimeoutMs));
    }

    // The real HKCU as the prefix's other processes see it, e.g. "Microsoft\Office\...".
    bool RealKeyExists(const std::string& a_strBelowSoftware)
    {
        return KeyExists(m_realSoftware.get(), a_strBelowSoftware);
    }
    bool AddinRegistered(const AddinRow& a_addin)
    {
        return RealKeyExists(std::string(a_addin.szKey).substr(sizeof("Software\\") - 1));
    }
    bool WaitRegistered(const AddinRow& a_addin)
    {
        return vmtest::WaitUntil([&] { return AddinRegistered(a_addin); },
                                 c_dwRegistrationTimeoutMs);
    }

    // The add-ins' registration also writes their classes (HKCR is not
    // redirected here).
    void RemoveRealAddinKeys()
    {
        for (const AddinRow& addin : c_addins) {
            std::string strEntry = addin.szKey;
            SHDeleteKeyA(m_realSoftware.get(), strEntry.substr(sizeof("Software\\") - 1).c_str());
            std::string strProgId = strEntry.substr(strEntry.find_last_of('\\') + 1);
            char szClsid[64] = {};
            DWORD cb = sizeof(szClsid);
            if (RegGetValueA(HKEY_CLASSES_ROOT, (strProgId + "\\CLSID").c_str(), nullptr, RRF_RT_REG_SZ,
                             nullptr, szClsid, &cb) == ERROR_SUCCESS)
                SHDeleteKeyA(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + szClsid).c_str());
            SHDeleteKeyA(HKEY_CLASSES_ROOT, strProgId.c_str());
        }
    }

    void PlaceAddinModules()
    {
        for (const AddinRow& addin : c_addins) {
            std::string strFrom = vmtest::BinDir() + "\\" + addin.szModule;
            std::string strTo = TestDir() + "\\" + addin.szModule;
            ASSERT_TRUE(CopyFileA(strFrom.c_str(), strTo.c_str(), FALSE)) << strFrom;
        }
    }
    void RemoveAddinModules()
    {
        for (const AddinRow& addin : c_addins)
            EXPECT_TRUE(DeleteSoon(TestDir() + "\\" + addin.szModule)) << addin.szModule;
    }

    vm::UniqueKey m_realSoftware;
    vm::UniqueKey m_scratch;
    bool m_bRealOfficeExisted = false;
    CLxShellExt m_shellExt;
};

// ---- ResetOfficeResiliency -------------------------------------------------

struct ResiliencyRow {
    const char* szKey; // made below Software\Microsoft\Office before the call
    bool bRemoved;
};
const ResiliencyRow c_resiliencyRows[] = {
    {"10.0\\Word\\Resiliency\\StartupItems", true},  // removed with its sub-keys
    {"10.0\\Excel\\Resiliency", true},               // every application of 10.0
    {"10.0\\PowerPoint\\Resiliency", true},
    {"10.0\\Outlook\\Resiliency", true},
    {"11.0\\Word\\Resiliency", true},                // and of 11.0
    {"11.0\\Outlook\\Resiliency\\DocumentRecovery", true},
    {"12.0\\Word\\Resiliency", false},               // 12.0 is not touched
    {"9.0\\Excel\\Resiliency", false},               // nor 9.0
    {"10.0\\Access\\Resiliency", false},             // nor other applications
    {"10.0\\Word\\Options", false},                  // nor the siblings of Resiliency
};

TEST_F(OfficeUpkeepTest, ResetOfficeResiliencyRemovesOnly10And11Keys)
{
    for (const ResiliencyRow& row : c_resiliencyRows)
        CreateKey(HKEY_CURRENT_USER, std::string(c_szOffice) + "\\" + row.szKey);
    m_shellExt.ResetOfficeResiliency();
    for (const ResiliencyRow& row : c_resiliencyRows) {
        SCOPED_TRACE(row.szKey);
        EXPECT_EQ(!row.bRemoved, KeyExists(HKEY_CURRENT_USER, std::string(c_szOffice) + "\\" + row.szKey));
    }
    // The application keys themselves stay.
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::string(c_szOffice) + "\\10.0\\Word"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::string(c_szOffice) + "\\11.0\\Outlook"));
}

TEST_F(OfficeUpkeepTest, ResetOfficeResiliencyCreatesNothingForAUserWithoutOffice)
{
    m_shellExt.ResetOfficeResiliency();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, c_szOffice));
}

// ---- RegisterOfficeAddins: security settings -------------------------------

TEST_F(OfficeUpkeepTest, UserWithoutOfficeKeysGetsTwelveEmptySecurityKeysAndAllAddins)
{
    PlaceAddinModules();
    m_shellExt.RegisterOfficeAddins();

    const char* c_szVersions[] = {"9.0", "10.0", "11.0", "12.0"};
    const char* c_szApplications[] = {"Word", "PowerPoint", "Excel"};
    EXPECT_EQ(std::vector<std::string>({"10.0", "11.0", "12.0", "9.0"}),
              SubKeys(HKEY_CURRENT_USER, c_szOffice))
        << "no Addins key and nothing else beside the version keys";
    for (const char* szVersion : c_szVersions) {
        std::string strVersion = std::string(c_szOffice) + "\\" + szVersion;
        EXPECT_EQ(3u, SubKeys(HKEY_CURRENT_USER, strVersion).size()) << strVersion;
        for (const char* szApplication : c_szApplications) {
            std::string strApp = strVersion + "\\" + szApplication;
            SCOPED_TRACE(strApp);
            EXPECT_EQ(std::vector<std::string>({"Security"}), SubKeys(HKEY_CURRENT_USER, strApp));
            EXPECT_TRUE(SubKeys(HKEY_CURRENT_USER, strApp + "\\Security").empty());
            EXPECT_EQ(0u, ValueCount(HKEY_CURRENT_USER, strApp + "\\Security"));
        }
    }
    for (const AddinRow& addin : c_addins)
        EXPECT_TRUE(WaitRegistered(addin)) << addin.szModule << " was not registered";
}

struct DontTrustRow {
    const char* szVersion;
    const char* szApplication;
    DWORD dwType;
    DWORD cbData;
    bool bDeleted;
};
const DontTrustRow c_dontTrustRows[] = {
    {"11.0", "Excel", REG_DWORD, 4, true},      // the usual setting
    {"9.0", "Word", REG_DWORD, 4, true},        // first version of the list
    {"12.0", "PowerPoint", REG_BINARY, 2, true}, // shorter data fits the buffer too
    {"10.0", "Word", REG_BINARY, 5, false},     // one byte too long to be read: left
    {"10.0", "Excel", REG_SZ, 12, false},       // a long text: left
    {"8.0", "Word", REG_DWORD, 4, false},       // a version outside the list
    {"11.0", "Outlook", REG_DWORD, 4, false},   // an application outside the list
};

TEST_F(OfficeUpkeepTest, DontTrustInstalledFilesIsDeletedWhenItFitsFourBytes)
{
    const BYTE c_data[16] = {1, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 0};
    for (const DontTrustRow& row : c_dontTrustRows) {
        std::string strKey = std::string(c_szOffice) + "\\" + row.szVersion + "\\" +
                             row.szApplication + "\\Security";
        SetRaw(HKEY_CURRENT_USER, strKey, "DontTrustInstalledFiles", row.dwType, c_data, row.cbData);
        SetDword(HKEY_CURRENT_USER, strKey, "Level", 2);
    }
    m_shellExt.RegisterOfficeAddins();
    for (const DontTrustRow& row : c_dontTrustRows) {
        std::string strKey = std::string(c_szOffice) + "\\" + row.szVersion + "\\" +
                             row.szApplication + "\\Security";
        SCOPED_TRACE(strKey);
        EXPECT_EQ(!row.bDeleted, ValueExists(HKEY_CURRENT_USER, strKey, "DontTrustInstalledFiles"));
        EXPECT_TRUE(ValueExists(HKEY_CURRENT_USER, strKey, "Level")) << "other values stay";
    }
}

// ---- RegisterOfficeAddins: which add-ins are registered ---------------------

struct LoadBehaviorRow {
    const char* szCase;
    bool bKey;       // Quorix01.Word9AddIn key present in the user's HKCU
    DWORD dwType;    // REG_NONE: no LoadBehavior value
    DWORD cbData;
    BYTE data[8];
    bool bRegistered;
};
const LoadBehaviorRow c_loadBehaviorRows[] = {
    {"LoadBehavior 3: loaded, nothing started", true, REG_DWORD, 4, {3}, false},
    {"LoadBehavior 3 as four binary bytes: the type is not looked at", true, REG_BINARY, 4, {3}, false},
    {"LoadBehavior 2: registered again", true, REG_DWORD, 4, {2}, true},
    {"LoadBehavior 0", true, REG_DWORD, 4, {0}, true},
    {"LoadBehavior 8", true, REG_DWORD, 4, {8}, true},
    {"LoadBehavior 0x103: only exactly 3 counts", true, REG_DWORD, 4, {3, 1}, true},
    {"LoadBehavior 3 in eight bytes cannot be read", true, REG_QWORD, 8, {3}, true},
    {"key without LoadBehavior", true, REG_NONE, 0, {}, true},
    {"no add-in key at all", false, REG_NONE, 0, {}, true},
};

class LoadBehaviorTest : public OfficeUpkeepTest,
                         public ::testing::WithParamInterface<LoadBehaviorRow> {};

TEST_P(LoadBehaviorTest, StartsRegsvr32UnlessLoadBehaviorIs3)
{
    const LoadBehaviorRow& row = GetParam();
    SCOPED_TRACE(row.szCase);
    PlaceAddinModules();
    if (row.bKey)
        CreateKey(HKEY_CURRENT_USER, c_addins[0].szKey);
    if (row.dwType != REG_NONE)
        SetRaw(HKEY_CURRENT_USER, c_addins[0].szKey, "LoadBehavior", row.dwType, row.data, row.cbData);

    m_shellExt.RegisterOfficeAddins();

    // PowerPoint's and Excel's entries are missing in every row: their
    // registration shows that the starts have run.
    EXPECT_TRUE(WaitRegistered(c_addins[1]));
    EXPECT_TRUE(WaitRegistered(c_addins[2]));
    if (row.bRegistered) {
        EXPECT_TRUE(WaitRegistered(c_addins[0]));
    } else {
        Sleep(c_dwSettleMs);
        EXPECT_FALSE(AddinRegistered(c_addins[0]));
    }
    // The upkeep reads the user's entry; it never writes it itself.
    EXPECT_EQ(row.bKey, KeyExists(HKEY_CURRENT_USER, c_addins[0].szKey));
}

INSTANTIATE_TEST_SUITE_P(Rows, LoadBehaviorTest, ::testing::ValuesIn(c_loadBehaviorRows));

TEST_F(OfficeUpkeepTest, AllThreeLoadedStartsNothing)
{
    PlaceAddinModules();
    for (const AddinRow& addin : c_addins)
        SetDword(HKEY_CURRENT_USER, addin.szKey, "LoadBehavior", 3);
    m_shellExt.RegisterOfficeAddins();
    Sleep(c_dwSettleMs);
    for (const AddinRow& addin : c_addins)
        EXPECT_FALSE(AddinRegistered(addin)) << addin.szModule;
}

// A program named regsvr32 in the current directory or beside the host must
// never run in place of the system's one.
TEST_F(OfficeUpkeepTest, Regsvr32IsTheSystemOneNotOneFromTheCurrentDirectory)
{
    PlaceAddinModules();
    std::string strDir = vmtest::MakeScratchDir("office-cwd");
    std::string strRecord = strDir + "\\fake-regsvr32.txt";
    ASSERT_TRUE(CopyFileA(vmtest::ProbeExe().c_str(), (strDir + "\\regsvr32.exe").c_str(), FALSE));
    ASSERT_TRUE(SetCurrentDirectoryA(strDir.c_str()));
    ASSERT_TRUE(SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, strRecord.c_str()));

    m_shellExt.RegisterOfficeAddins();

    for (const AddinRow& addin : c_addins)
        EXPECT_TRUE(WaitRegistered(addin)) << addin.szModule;
    EXPECT_FALSE(vmtest::FileExists(strRecord)) << vmtest::ReadFile(strRecord);
    SetEnvironmentVariableA(vmtest::c_szProbeRecordVariable, nullptr);
    SetCurrentDirectoryA(TestDir().c_str());
    vmtest::RemoveTree(strDir);
}

// ---- the module's own path at its length limit ----------------------------

// The child half of ModulePathAtItsLimit: this program copied to a folder
// that gives its own path a chosen length, which it finds in its
// environment. Not run on its own.
TEST_F(OfficeUpkeepTest, DISABLED_ChildRegistersFromItsOwnDirectory)
{
    const char* szLength = std::getenv("VM_OFFICE_CHILD_PATH_LENGTH");
    ASSERT_TRUE(szLength);
    vmtest::WriteFile(TestDir() + "\\child-ran.txt", szLength);
    size_t cchExpected = std::strtoul(szLength, nullptr, 10);
    ASSERT_EQ(cchExpected, GetOwnModulePath().size());

    m_shellExt.RegisterOfficeAddins();

    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::string(c_szOffice) + "\\12.0\\Excel\\Security"));
    for (const AddinRow& addin : c_addins)
        EXPECT_TRUE(WaitRegistered(addin)) << addin.szModule;
}

// Makes a_strBase\aaa...\bbb... of exactly a_cch characters.
std::string MakeDirOfLength(const std::string& a_strBase, size_t a_cch)
{
    std::string strDir = a_strBase;
    char chName = 'a';
    while (strDir.size() < a_cch) {
        size_t cchLeft = a_cch - strDir.size() - 1; // the backslash
        // Never leave a remainder too short for a name of its own.
        size_t cchName = cchLeft > 200 ? (cchLeft - 200 >= 2 ? 200 : 150) : cchLeft;
        strDir += "\\" + std::string(cchName, chName++);
        CreateDirectoryA(strDir.c_str(), nullptr);
    }
    return strDir;
}

// The longest path that fits the 260-byte buffer gives the module directory
// and a regsvr32 command line that hold it whole. (A program path of MAX_PATH
// characters or more cannot be started under Wine: ERROR_INVALID_NAME.)
TEST(OfficeModulePathTest, ModulePathAtItsLimit)
{
    const std::string strExeName = "office_test.exe";
    const size_t cchModulePath = MAX_PATH - 1;
    std::string strBase = vmtest::MakeScratchDir("office-long");
    std::string strDir = MakeDirOfLength(strBase, cchModulePath - strExeName.size() - 1);
    std::string strExe = strDir + "\\" + strExeName;
    ASSERT_EQ(cchModulePath, strExe.size());
    ASSERT_TRUE(CopyFileA((TestDir() + "\\" + strExeName).c_str(), strExe.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA((TestDir() + "\\cipher.dll").c_str(), (strDir + "\\cipher.dll").c_str(), FALSE));
    for (const AddinRow& addin : c_addins)
        ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\" + addin.szModule).c_str(),
                              (strDir + "\\" + addin.szModule).c_str(), FALSE));

    std::string strLength = std::to_string(cchModulePath);
    SetEnvironmentVariableA("VM_OFFICE_CHILD_PATH_LENGTH", strLength.c_str());
    std::string strCommand = "\"" + strExe + "\" --gtest_also_run_disabled_tests "
                             "--gtest_filter=OfficeUpkeepTest.DISABLED_ChildRegistersFromItsOwnDirectory";
    DWORD dwExit = vmtest::RunChild(strExe, strCommand, 60000);
    ASSERT_NE(vmtest::c_dwChildNotStarted, dwExit);
    ASSERT_NE(vmtest::c_dwChildStillRunning, dwExit);
    SetEnvironmentVariableA("VM_OFFICE_CHILD_PATH_LENGTH", nullptr);
    EXPECT_EQ(strLength, vmtest::ReadFile(strDir + "\\child-ran.txt")) << "the child did not run";
    EXPECT_EQ(0u, dwExit) << "the child's checks failed";
    vmtest::WaitUntil([] { return vmtest::CountProcesses("regsvr32.exe") == 0; }, c_dwRegistrationTimeoutMs);
    // The shell's tree removal gives up on paths this long: one by one.
    for (const char* szFile : {"office_test.exe", "cipher.dll", "quorix01.dll", "quorix02.dll",
                               "quorix03.dll", "child-ran.txt"})
        EXPECT_TRUE(DeleteSoon(strDir + "\\" + szFile)) << szFile;
    for (std::string strPath = strDir; strPath.size() >= strBase.size();
         strPath.resize(strPath.find_last_of('\\')))
        EXPECT_TRUE(RemoveDirectoryA(strPath.c_str())) << strPath;
}

// ---- DeleteOtherAddins -----------------------------------------------------

struct AddinEntryRow {
    const char* szKey;  // below Software\Microsoft\Office
    bool bKeptWhenOn;   // after DeleteOtherAddins with the flag at 1
};
const AddinEntryRow c_addinEntryRows[] = {
    {"Word\\Addins\\Quorix01.Word9AddIn", true},        // ours, by the marker
    {"Word\\Addins\\Other.Vendor.Connect", false},      // foreign
    {"Word\\Addins\\quorix01.lowercase", false},        // the marker is case-sensitive
    {"Word\\Addins\\Foreign.WithChildren\\Deeper\\Deepest", false}, // deleted with sub-keys
    {"Word\\Addins\\ZZ.MarkerLater.Quorix0", true},     // the marker anywhere in the name
    {"Excel\\Addins\\Alpha.Addin", false},              // only foreign entries: all go
    {"Excel\\Addins\\Beta.Addin\\Child", false},
    {"Excel\\Addins\\Gamma.Addin", false},
    {"PowerPoint\\Addins\\Quorix02.CPpt9AddIn", true},
    {"PowerPoint\\Addins\\Delta.Addin", false},
    {"Outlook\\Addins\\Epsilon.Addin", true},           // not an application of the list
    {"11.0\\Word\\Addins\\Zeta.Addin", true},           // versioned keys are not the list's
};

class DeleteOtherAddinsTest : public OfficeUpkeepTest {
protected:
    void MakeEntries()
    {
        for (const AddinEntryRow& row : c_addinEntryRows) {
            std::string strKey = std::string(c_szOffice) + "\\" + row.szKey;
            SetDword(HKEY_CURRENT_USER, strKey, "LoadBehavior", 3);
        }
    }
    void ExpectEntries(bool a_bFlagOn)
    {
        for (const AddinEntryRow& row : c_addinEntryRows) {
            SCOPED_TRACE(row.szKey);
            bool bKept = !a_bFlagOn || row.bKeptWhenOn;
            EXPECT_EQ(bKept, KeyExists(HKEY_CURRENT_USER, std::string(c_szOffice) + "\\" + row.szKey));
        }
    }
};

TEST_F(DeleteOtherAddinsTest, FlagOnDeletesEveryForeignEntry)
{
    MakeEntries();
    m_shellExt.m_bDeleteOtherAddin = 1;
    m_shellExt.DeleteOtherAddins();
    ExpectEntries(true);
    // The Addins keys themselves stay, even when emptied.
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::string(c_szOffice) + "\\Excel\\Addins"));
    EXPECT_TRUE(SubKeys(HKEY_CURRENT_USER, std::string(c_szOffice) + "\\Excel\\Addins").empty());
}

TEST_F(DeleteOtherAddinsTest, FlagOffOrNotReadLeavesEverything)
{
    // 0: the policy says leave them; -1: no usable policy file read yet.
    for (int nFlag : {0, -1}) {
        SCOPED_TRACE(nFlag);
        MakeEntries();
        m_shellExt.m_bDeleteOtherAddin = nFlag;
        m_shellExt.DeleteOtherAddins();
        ExpectEntries(false);
    }
}

TEST_F(DeleteOtherAddinsTest, NoAddinsKeysCreatesNothing)
{
    m_shellExt.m_bDeleteOtherAddin = 1;
    m_shellExt.DeleteOtherAddins();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, c_szOffice));
}

// An entry that cannot be deleted is stepped over; the walk ends and still
// deletes the foreign entries after it.
TEST_F(DeleteOtherAddinsTest, UndeletableEntryDoesNotStopTheWalk)
{
    std::string strAddins = std::string(c_szOffice) + "\\Word\\Addins";
    SetDword(HKEY_CURRENT_USER, strAddins + "\\A.Locked\\Child", "LoadBehavior", 3);
    SetDword(HKEY_CURRENT_USER, strAddins + "\\B.Foreign", "LoadBehavior", 3);
    // Deny everyone every right on the locked entry's child; the handle
    // opened before keeps the right to lift the lock again.
    vm::UniqueKey child;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, (strAddins + "\\A.Locked\\Child").c_str(),
                                           0, KEY_ALL_ACCESS, child.put()));
    vmtest::SetDeniedToEveryone(child.get(), KEY_ALL_ACCESS | DELETE);
    struct Unlock {
        HKEY hKey;
        ~Unlock() { vmtest::SetDeniedToEveryone(hKey, 0); }
    } unlock{child.get()};
    if (SHDeleteKeyA(HKEY_CURRENT_USER, (strAddins + "\\A.Locked\\Child").c_str()) == ERROR_SUCCESS)
        GTEST_SKIP() << "the deletion of a key whose DACL denies it was not refused";

    m_shellExt.m_bDeleteOtherAddin = 1;
    m_shellExt.DeleteOtherAddins(); // returns: the walk steps over A.Locked
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, strAddins + "\\A.Locked"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, strAddins + "\\B.Foreign"));
}

// ---- the upkeep skipped while nothing it looks at has changed ---------------

// After two quiet requests the upkeep may skip its work; a change made between
// two requests must still be acted on by the second, as the full work would.
class UpkeepShortcutTest : public OfficeUpkeepTest {
protected:
    void SetUp() override
    {
        OfficeUpkeepTest::SetUp();
        PlaceAddinModules();
        for (const AddinRow& addin : c_addins)
            SetDword(HKEY_CURRENT_USER, addin.szKey, "LoadBehavior", 3);
        m_shellExt.m_bDeleteOtherAddin = 1;
        Request();
        Request();
    }
    void Request()
    {
        m_shellExt.ResetOfficeResiliency();
        m_shellExt.RegisterOfficeAddins();
        m_shellExt.DeleteOtherAddins();
    }
    std::string Office(const char* a_szBelow) const { return std::string(c_szOffice) + "\\" + a_szBelow; }
};

TEST_F(UpkeepShortcutTest, ResiliencyKeyMadeBetweenRequestsIsDeleted)
{
    CreateKey(HKEY_CURRENT_USER, Office("11.0\\Word\\Resiliency\\StartupItems"));
    Request();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Office("11.0\\Word\\Resiliency")));
}

TEST_F(UpkeepShortcutTest, LoadBehaviorLoweredBetweenRequestsRegistersTheAddin)
{
    SetDword(HKEY_CURRENT_USER, c_addins[0].szKey, "LoadBehavior", 2);
    Request();
    EXPECT_TRUE(WaitRegistered(c_addins[0])) << "quorix01.dll was not registered again";
}

TEST_F(UpkeepShortcutTest, ForeignAddinAddedBetweenRequestsIsDeleted)
{
    SetDword(HKEY_CURRENT_USER, Office("Excel\\Addins\\Other.Addin\\Sub"), "LoadBehavior", 3);
    Request();
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, Office("Excel\\Addins\\Other.Addin")));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, c_addins[2].szKey));
}

TEST_F(UpkeepShortcutTest, SecuritySettingAndKeyChangedBetweenRequestsAreMended)
{
    SetDword(HKEY_CURRENT_USER, Office("12.0\\Excel\\Security"), "DontTrustInstalledFiles", 1);
    SHDeleteKeyA(HKEY_CURRENT_USER, Office("9.0\\Word\\Security").c_str());
    Request();
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, Office("12.0\\Excel\\Security"), "DontTrustInstalledFiles"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, Office("9.0\\Word\\Security")));
}

// The proof that work is skipped: Office\11.0 is made a registry link to a key
// outside the Office key, so a key made behind the link raises no change
// notification of the Office key, yet a full run reaches it through the link.
TEST_F(UpkeepShortcutTest, UnchangedOfficeKeyIsNotWorkedOnAgain)
{
    using NtKeyFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    HMODULE hNtdll = GetModuleHandleA("ntdll.dll");
    auto pfnQueryKey = reinterpret_cast<NtKeyFn>(reinterpret_cast<void*>(GetProcAddress(hNtdll, "NtQueryKey")));
    auto pfnDeleteKey = reinterpret_cast<LONG(WINAPI*)(HANDLE)>(
        reinterpret_cast<void*>(GetProcAddress(hNtdll, "NtDeleteKey")));
    ASSERT_TRUE(pfnQueryKey && pfnDeleteKey);
    vm::UniqueKey target, office, link;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_realSoftware.get(), "VormidmgrTests\\office-linked", 0, nullptr,
                                             0, KEY_ALL_ACCESS, nullptr, target.put(), nullptr));
    alignas(ULONG) BYTE name[1024]; // KEY_NAME_INFORMATION: a byte length, then the name
    ULONG cb = 0;
    ASSERT_EQ(0, pfnQueryKey(target.get(), 3 /* KeyNameInformation */, name, sizeof(name), &cb));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CURRENT_USER, c_szOffice, 0, KEY_ALL_ACCESS, office.put()));
    ASSERT_EQ(ERROR_SUCCESS, SHDeleteKeyA(office.get(), "11.0")); // the security keys the upkeep made
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(office.get(), L"11.0", 0, nullptr, REG_OPTION_CREATE_LINK,
                                             KEY_ALL_ACCESS, nullptr, link.put(), nullptr));
    struct Unlink {
        LONG(WINAPI* pfnDelete)(HANDLE);
        HKEY hLink;
        ~Unlink() { pfnDelete(hLink); } // a link is deleted only through its own handle
    } unlink{pfnDeleteKey, link.get()};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(link.get(), L"SymbolicLinkValue", 0, REG_LINK, name + sizeof(ULONG),
                                            *reinterpret_cast<ULONG*>(name)));
    Request();
    Request();
    SetDword(target.get(), "Word\\Resiliency", "Seen", 1);
    Request();
    EXPECT_TRUE(KeyExists(target.get(), "Word\\Resiliency")) << "the unchanged Office key was worked on";
    // A change below the Office key brings the full work back, through the link.
    CreateKey(HKEY_CURRENT_USER, Office("Changed"));
    Request();
    EXPECT_FALSE(KeyExists(target.get(), "Word\\Resiliency"));
}

// Another key behind HKEY_CURRENT_USER is another user's Office keys.
TEST_F(UpkeepShortcutTest, CurrentUserPointedElsewhereGetsTheFullWork)
{
    vm::UniqueKey other;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(m_realSoftware.get(), "VormidmgrTests\\office-other", 0,
                                             nullptr, 0, KEY_ALL_ACCESS, nullptr, other.put(), nullptr));
    vmtest::RedirectRoot(HKEY_CURRENT_USER, other.get());
    CreateKey(HKEY_CURRENT_USER, Office("10.0\\Outlook\\Resiliency"));
    Request();
    bool bResiliencyLeft = KeyExists(HKEY_CURRENT_USER, Office("10.0\\Outlook\\Resiliency"));
    bool bSecurityMade = KeyExists(HKEY_CURRENT_USER, Office("12.0\\PowerPoint\\Security"));
    vmtest::RedirectRoot(HKEY_CURRENT_USER, m_scratch.get());
    other.reset();
    SHDeleteKeyA(m_realSoftware.get(), "VormidmgrTests\\office-other");
    EXPECT_FALSE(bResiliencyLeft);
    EXPECT_TRUE(bSecurityMade);
    for (const AddinRow& addin : c_addins)
        EXPECT_TRUE(WaitRegistered(addin)) << addin.szModule << " was not registered";
}

} // namespace
