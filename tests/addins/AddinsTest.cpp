// The product's Office add-ins against the prefix's real registry and COM:
// the hook's upkeep registers them (regsvr32), addinhost loads them as Office
// does, and regsvr32 /u takes back all that registration wrote.

#include "decision/LxShellExt.h"

#include "common/Handle.h"
#include "common/OfficeAddins.h"
#include "companions/addins/AddinIdentity.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CompanionsSupport.h"
#include "tests/support/DebugCapture.h"
#include "tests/support/KeySecurity.h"
#include "tests/support/RegistryRedirect.h"
#include "tests/support/TestPaths.h"

#include "Extensibility_h.h"

#include <gtest/gtest.h>
#include <oleauto.h>
#include <shlwapi.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using vmtest::TestDir;

constexpr DWORD c_dwRegistrationTimeoutMs = 15000;

// What Office and COM must find, written out here rather than taken from the
// product's add-in table: a changed ProgID or class id orphans every
// registration already made on users' machines.
struct AddinRow {
    const char* szApplication;
    const char* szProgram;
    WORD wFirstOfficeVersion;
    const char* szProgId;
    const char* szModule;
    const char* szClsid;
};
const AddinRow c_addins[] = {
    {"Word", "WINWORD.EXE", 9, "Quorix01.Word9AddIn", "quorix01.dll", "{17955A3D-FB09-4F95-826F-25D7DC6A230F}"},
    {"PowerPoint", "POWERPNT.EXE", 9, "Quorix02.CPpt9AddIn", "quorix02.dll",
     "{1553A4A2-730C-4B6A-ABA9-4054E859C08B}"},
    {"Excel", "EXCEL.EXE", 9, "Quorix03.ExcelAddIn", "quorix03.dll", "{A2FC1BE6-6900-491C-B929-209597E3061A}"},
};

std::string EntryKey(const AddinRow& a_addin)
{
    return std::string("Software\\Microsoft\\Office\\") + a_addin.szApplication + "\\Addins\\" + a_addin.szProgId;
}

std::string ReadText(HKEY a_hRoot, const std::string& a_strKey, const char* a_szName)
{
    char szText[MAX_PATH] = {};
    DWORD cb = sizeof(szText);
    if (RegGetValueA(a_hRoot, a_strKey.c_str(), a_szName, RRF_RT_REG_SZ, nullptr, szText, &cb) != ERROR_SUCCESS)
        return std::string();
    return szText;
}

// LoadBehavior of the add-in's entry, 0xdeadbeef when there is none.
DWORD LoadBehavior(const AddinRow& a_addin)
{
    DWORD dwValue = 0xdeadbeef, cb = sizeof(dwValue);
    RegGetValueA(HKEY_CURRENT_USER, EntryKey(a_addin).c_str(), "LoadBehavior", RRF_RT_REG_DWORD, nullptr,
                 &dwValue, &cb);
    return dwValue;
}

std::string ClassServerKey(const AddinRow& a_addin)
{
    return "CLSID\\" + ReadText(HKEY_CLASSES_ROOT, std::string(a_addin.szProgId) + "\\CLSID", nullptr) +
           "\\InprocServer32";
}

std::string ModuleHere(const AddinRow& a_addin)
{
    return TestDir() + "\\" + a_addin.szModule;
}

// Registered for Office to load: the ProgID names the add-in's class, the
// class is served by the module beside the test program, and the entry is at
// LoadBehavior 3.
bool Loadable(const AddinRow& a_addin)
{
    return ReadText(HKEY_CLASSES_ROOT, std::string(a_addin.szProgId) + "\\CLSID", nullptr) == a_addin.szClsid &&
           lstrcmpiA(ReadText(HKEY_CLASSES_ROOT, ClassServerKey(a_addin), nullptr).c_str(),
                     ModuleHere(a_addin).c_str()) == 0 &&
           LoadBehavior(a_addin) == 3;
}

void RemoveRegistration(const AddinRow& a_addin)
{
    std::string strClsid = ReadText(HKEY_CLASSES_ROOT, std::string(a_addin.szProgId) + "\\CLSID", nullptr);
    if (!strClsid.empty())
        SHDeleteKeyA(HKEY_CLASSES_ROOT, ("CLSID\\" + strClsid).c_str());
    SHDeleteKeyA(HKEY_CLASSES_ROOT, a_addin.szProgId);
    SHDeleteKeyA(HKEY_CURRENT_USER, EntryKey(a_addin).c_str());
}

// Every key and value below a key, one text each, for comparing two states.
void DumpTree(HKEY a_hKey, const std::string& a_strPath, std::set<std::string>& a_items)
{
    a_items.insert(a_strPath);
    char szName[MAX_PATH];
    BYTE data[1024];
    for (DWORD i = 0;; ++i) {
        DWORD cchName = MAX_PATH, cbData = sizeof(data), dwType = 0;
        LONG lResult = RegEnumValueA(a_hKey, i, szName, &cchName, nullptr, &dwType, data, &cbData);
        if (lResult == ERROR_NO_MORE_ITEMS)
            break;
        std::string strValue = a_strPath + " :" + std::string(szName, cchName) + "=" + std::to_string(dwType);
        if (lResult == ERROR_SUCCESS)
            strValue += ":" + std::string(reinterpret_cast<char*>(data), cbData);
        a_items.insert(strValue);
    }
    for (DWORD i = 0; RegEnumKeyA(a_hKey, i, szName, MAX_PATH) == ERROR_SUCCESS; ++i) {
        vm::UniqueKey child;
        if (RegOpenKeyExA(a_hKey, szName, 0, KEY_READ, child.put()) == ERROR_SUCCESS)
            DumpTree(child.get(), a_strPath + "\\" + szName, a_items);
    }
}

std::set<std::string> RegistrySnapshot()
{
    std::set<std::string> items;
    for (auto root : {std::make_pair(HKEY_LOCAL_MACHINE, "HKLM\\Software\\Classes"),
                      std::make_pair(HKEY_CURRENT_USER, "HKCU\\Software")}) {
        vm::UniqueKey key;
        const char* szBelow = strchr(root.second, '\\') + 1;
        if (RegOpenKeyExA(root.first, szBelow, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
            DumpTree(key.get(), root.second, items);
    }
    return items;
}

std::vector<std::string> Difference(const std::set<std::string>& a_a, const std::set<std::string>& a_b)
{
    std::vector<std::string> only;
    std::set_difference(a_a.begin(), a_a.end(), a_b.begin(), a_b.end(), std::back_inserter(only));
    return only;
}

class AddinsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WaitRegistrationsEnded();
        m_bOfficeExisted = vmtest::KeyExists(HKEY_CURRENT_USER, "Software\\Microsoft\\Office");
        for (const AddinRow& addin : c_addins) {
            RemoveRegistration(addin);
            std::string strBuilt = vmtest::BinDir() + "\\" + addin.szModule;
            ASSERT_TRUE(CopyFileA(strBuilt.c_str(), ModuleHere(addin).c_str(), FALSE)) << strBuilt;
        }
    }
    void TearDown() override
    {
        WaitRegistrationsEnded();
        for (const AddinRow& addin : c_addins)
            RemoveRegistration(addin);
        if (!m_bOfficeExisted)
            SHDeleteKeyA(HKEY_CURRENT_USER, "Software\\Microsoft\\Office");
    }

    static void WaitRegistrationsEnded()
    {
        EXPECT_TRUE(vmtest::WaitUntil([] { return vmtest::CountProcesses("regsvr32.exe") == 0; },
                                      c_dwRegistrationTimeoutMs));
    }
    static bool WaitLoadable(const AddinRow& a_addin)
    {
        return vmtest::WaitUntil([&] { return Loadable(a_addin); }, c_dwRegistrationTimeoutMs);
    }
    static vmtest::CToolRun RunHost(const char* a_szApplication)
    {
        return vmtest::RunTool(vmtest::BinDir() + "\\addinhost.exe", {"--trace", a_szApplication});
    }
    static void Regsvr32(const std::string& a_strArgs)
    {
        char szSystem[MAX_PATH];
        ASSERT_NE(0u, GetSystemDirectoryA(szSystem, MAX_PATH));
        std::string strCommand = "\"" + std::string(szSystem) + "\\regsvr32.exe\" " + a_strArgs;
        DWORD dwExit = vmtest::RunChild("", strCommand, 60000);
        ASSERT_NE(vmtest::c_dwChildNotStarted, dwExit) << strCommand;
        ASSERT_NE(vmtest::c_dwChildStillRunning, dwExit) << strCommand;
        EXPECT_EQ(0u, dwExit) << strCommand;
    }

    bool m_bOfficeExisted = false;
    CLxShellExt m_shellExt;
};

bool HasLine(const vmtest::CToolRun& a_run, const std::string& a_strLine)
{
    return std::find(a_run.m_lines.begin(), a_run.m_lines.end(), a_strLine) != a_run.m_lines.end();
}

// What Office sees after the upkeep: all three load, each says so when it
// connects and disconnects, naming its host. One made to fail is marked 2 by
// the host and brought back by the next request's upkeep.
TEST_F(AddinsTest, UpkeepRegistersWhatTheHostLoadsAndRepairsWhatFailed)
{
    m_shellExt.RegisterOfficeAddins();
    for (const AddinRow& addin : c_addins)
        ASSERT_TRUE(WaitLoadable(addin)) << addin.szModule << " was not registered by the upkeep";

    for (const AddinRow& addin : c_addins) {
        vmtest::CToolRun run = RunHost(addin.szApplication);
        SCOPED_TRACE(run.m_strCommand + vmtest::Joined(run.m_lines));
        ASSERT_TRUE(run.m_bEnded);
        EXPECT_EQ(0u, run.m_dwExit);
        const std::string strProgId = addin.szProgId, strApp = addin.szApplication;
        EXPECT_TRUE(HasLine(run, strProgId + ": connected to " + strApp));
        EXPECT_TRUE(HasLine(run, "debug: [" + strProgId + "] connected to " + strApp + " (connect mode 1)"));
        EXPECT_TRUE(HasLine(run, "debug: [" + strProgId + "] disconnected from " + strApp +
                                     " (disconnect mode 0)"));
    }

    // The PowerPoint add-in's module goes missing from where its class points.
    const AddinRow& broken = c_addins[1];
    const std::string strServerKey = ClassServerKey(broken);
    const std::string strGone = TestDir() + "\\gone\\quorix02.dll";
    vmtest::SetString(HKEY_CLASSES_ROOT, strServerKey, nullptr, strGone);
    vmtest::CToolRun failed = RunHost(broken.szApplication);
    {
        SCOPED_TRACE(failed.m_strCommand + vmtest::Joined(failed.m_lines));
        EXPECT_EQ(1u, failed.m_dwExit);
        ASSERT_FALSE(failed.m_lines.empty());
        // Wine answers E_ACCESSDENIED for a server in a missing folder: the
        // host names the missing module instead of that code.
        EXPECT_EQ("Quorix02.CPpt9AddIn: could not be created: its module " + strGone +
                      " does not exist; LoadBehavior set to 2",
                  failed.m_lines[0]);
        EXPECT_EQ(2u, LoadBehavior(broken));
    }
    // Office would no longer try it; neither does the host.
    vmtest::CToolRun skipped = RunHost(broken.szApplication);
    EXPECT_EQ(0u, skipped.m_dwExit);
    EXPECT_TRUE(HasLine(skipped, "Quorix02.CPpt9AddIn: not loaded at start-up (LoadBehavior 2)"))
        << vmtest::Joined(skipped.m_lines);

    // The next request's upkeep registers it again, class and entry.
    m_shellExt.RegisterOfficeAddins();
    ASSERT_TRUE(WaitLoadable(broken));
    vmtest::CToolRun repaired = RunHost(broken.szApplication);
    EXPECT_EQ(0u, repaired.m_dwExit) << vmtest::Joined(repaired.m_lines);
    EXPECT_TRUE(HasLine(repaired, "Quorix02.CPpt9AddIn: connected to PowerPoint"));
}

// regsvr32 /u leaves the registry as it was before regsvr32: the classes,
// the ProgIDs, the entries and the Office keys made for them, but not a key
// that holds another vendor's add-in.
TEST_F(AddinsTest, UnregisterRemovesEverythingRegistrationWrote)
{
    for (const AddinRow& addin : c_addins) {
        // Left empty by an earlier registration: registration makes them here.
        std::string strApplication = std::string("Software\\Microsoft\\Office\\") + addin.szApplication;
        RegDeleteKeyA(HKEY_CURRENT_USER, (strApplication + "\\Addins").c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, strApplication.c_str());
    }
    const std::string strForeign = "Software\\Microsoft\\Office\\Word\\Addins\\Other.Vendor.Addin";
    vmtest::SetDword(HKEY_CURRENT_USER, strForeign, "LoadBehavior", 3);
    std::set<std::string> before = RegistrySnapshot();
    for (const AddinRow& addin : c_addins)
        Regsvr32("/s \"" + ModuleHere(addin) + "\"");
    for (const AddinRow& addin : c_addins)
        EXPECT_TRUE(Loadable(addin)) << addin.szModule;
    std::vector<std::string> written = Difference(RegistrySnapshot(), before);
    EXPECT_LE(3u * 9u, written.size()) << vmtest::Joined(written);

    for (const AddinRow& addin : c_addins)
        Regsvr32("/u /s \"" + ModuleHere(addin) + "\"");
    std::set<std::string> after = RegistrySnapshot();
    EXPECT_EQ(std::vector<std::string>(), Difference(after, before)) << "left behind";
    EXPECT_EQ(std::vector<std::string>(), Difference(before, after)) << "removed too much";
    SHDeleteKeyA(HKEY_CURRENT_USER, strForeign.c_str());
}

// A user who may not write the machine's classes (the upkeep's regsvr32 runs
// as the user) still gets the Office entry when the installation registered
// the class for this module.
TEST_F(AddinsTest, RegistrationWithoutRightsToTheClassesStillWritesTheEntry)
{
    const AddinRow& addin = c_addins[0];
    Regsvr32("/s \"" + ModuleHere(addin) + "\"");
    ASSERT_TRUE(Loadable(addin));
    SHDeleteKeyA(HKEY_CURRENT_USER, EntryKey(addin).c_str());
    vm::UniqueKey progId;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_CLASSES_ROOT, addin.szProgId, 0, KEY_ALL_ACCESS, progId.put()));
    vmtest::SetDeniedToEveryone(progId.get(), KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
    vm::UniqueKey probe;
    bool bLocked = RegOpenKeyExA(HKEY_CLASSES_ROOT, addin.szProgId, 0, KEY_SET_VALUE, probe.put()) != ERROR_SUCCESS;

    Regsvr32("/s \"" + ModuleHere(addin) + "\"");

    vmtest::SetDeniedToEveryone(progId.get(), 0);
    ASSERT_TRUE(bLocked) << "the key's DACL did not lock it";
    EXPECT_TRUE(Loadable(addin));
}

// An add-in that Office creates but whose connection fails is marked 2 as
// well; the line says which step failed.
TEST_F(AddinsTest, HostMarksAnAddinThatRefusesTheConnection)
{
    const std::string strProgId = "VmTest.RefusingAddin";
    const std::string strClsid = "{0C8B6F7E-55A1-4D0B-9B0E-7A1D2C3B4F50}";
    const std::string strEntry = "Software\\Microsoft\\Office\\Word\\Addins\\" + strProgId;
    vmtest::SetString(HKEY_CLASSES_ROOT, strProgId + "\\CLSID", nullptr, strClsid);
    vmtest::SetString(HKEY_CLASSES_ROOT, "CLSID\\" + strClsid + "\\InprocServer32", nullptr,
                      TestDir() + "\\addins_refusing.dll");
    vmtest::SetString(HKEY_CLASSES_ROOT, "CLSID\\" + strClsid + "\\InprocServer32", "ThreadingModel", "Apartment");
    vmtest::SetDword(HKEY_CURRENT_USER, strEntry, "LoadBehavior", 3);

    vmtest::CToolRun run = RunHost("Word");
    DWORD dwBehavior = 0xdeadbeef, cb = sizeof(dwBehavior);
    RegGetValueA(HKEY_CURRENT_USER, strEntry.c_str(), "LoadBehavior", RRF_RT_REG_DWORD, nullptr, &dwBehavior, &cb);
    SHDeleteKeyA(HKEY_CLASSES_ROOT, strProgId.c_str());
    SHDeleteKeyA(HKEY_CLASSES_ROOT, ("CLSID\\" + strClsid).c_str());
    SHDeleteKeyA(HKEY_CURRENT_USER, strEntry.c_str());

    EXPECT_EQ(1u, run.m_dwExit) << vmtest::Joined(run.m_lines);
    ASSERT_EQ(1u, run.m_lines.size()) << vmtest::Joined(run.m_lines);
    EXPECT_EQ(0u, run.m_lines[0].find(strProgId + ": refused the connection, 0x80004005"));
    EXPECT_NE(std::string::npos, run.m_lines[0].find("; LoadBehavior set to 2"));
    EXPECT_EQ(2u, dwBehavior);
}

// The product's add-in table as COM reads it: the registry form of each class
// id, which registration writes, is the class id the module serves.
TEST(AddinTableTest, ClassIdTextsAreTheClassIdsComReads)
{
    for (const vm::COfficeAddin& addin : vm::c_officeAddins) {
        SCOPED_TRACE(addin.m_szProgId);
        wchar_t wszClsid[40] = {};
        ASSERT_NE(0, StringFromGUID2(addin.m_clsid, wszClsid, 40));
        EXPECT_EQ(std::string(addin.m_szClsid), std::string(wszClsid, wszClsid + wcslen(wszClsid)));
    }
}

// The dual interface's dispatch half reaches the same methods, by the
// published dispatch ids; the class object serves only the add-in's class.
TEST(AddinDispatchTest, OnConnectionThroughIDispatch)
{
    vm::UniqueLibrary addin(LoadLibraryA((vmtest::BinDir() + "\\quorix01.dll").c_str()));
    ASSERT_TRUE(addin);
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto pfnGet = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(addin.get(), "DllGetClassObject")));
    ASSERT_TRUE(pfnGet);
    void* pv = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, pfnGet(CLSID_NULL, IID_IClassFactory, &pv));
    EXPECT_EQ(nullptr, pv);

    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    IClassFactory* pFactory = nullptr;
    ASSERT_EQ(S_OK, pfnGet(c_addin.m_clsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)));
    IDispatch* pDispatch = nullptr;
    ASSERT_EQ(S_OK, pFactory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&pDispatch)));
    pFactory->Release();

    OLECHAR wszConnect[] = L"OnConnection", wszShutdown[] = L"OnBeginShutdown";
    LPOLESTR names[] = {wszConnect};
    DISPID dispid = DISPID_UNKNOWN;
    EXPECT_EQ(S_OK, pDispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid));
    EXPECT_EQ(1, dispid);
    names[0] = wszShutdown;
    DISPID dispidShutdown = DISPID_UNKNOWN;
    EXPECT_EQ(S_OK, pDispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispidShutdown));
    EXPECT_EQ(5, dispidShutdown);

    SAFEARRAY* pCustom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    VARIANTARG args[4]; // in reverse: custom, AddInInst, ConnectMode, Application
    for (VARIANTARG& arg : args)
        VariantInit(&arg);
    args[0].vt = VT_ARRAY | VT_VARIANT | VT_BYREF;
    args[0].pparray = &pCustom;
    args[1].vt = VT_DISPATCH;
    args[2].vt = VT_I4;
    args[2].lVal = ext_cm_CommandLine;
    args[3].vt = VT_DISPATCH;
    DISPPARAMS params = {args, nullptr, 4, 0};
    vmtest::DebugCapture capture;
    EXPECT_EQ(S_OK, pDispatch->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                                      nullptr, nullptr));
    EXPECT_TRUE(capture.Contains("[Quorix01.Word9AddIn] connected to (unknown host) (connect mode 3)"))
        << capture.Dump();
    pDispatch->Release();
    SafeArrayDestroy(pCustom);
    CoUninitialize();
}

} // namespace
