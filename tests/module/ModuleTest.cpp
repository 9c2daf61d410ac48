// The built vormidmgr.dll as COM sees it: exports, class object, hook object,
// lock count, interfaces and activation through the registry.

#include "common/HandleText.h"
#include "tests/support/DebugCapture.h"
#include "tests/support/TestPaths.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The product's fixed identifiers, restated: the module must answer to these.
const CLSID c_clsidDocHook = {0x3B0F4085, 0x0A5D, 0x4E5C, {0x92, 0xC9, 0xCA, 0x34, 0x54, 0xD3, 0x28, 0x5D}};
const IID c_iidDocHook = {0x475E0A63, 0x921E, 0x4F4D, {0x84, 0xD5, 0xDF, 0xE5, 0x14, 0xB4, 0xF1, 0x3C}};
const char c_szClsid[] = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
// The administrators' dry run, and what it alone answers to.
const CLSID c_clsidDryRun = {0x52253A6A, 0xC5DD, 0x4298, {0xAA, 0x1D, 0x3F, 0xB7, 0x64, 0x46, 0xD7, 0x63}};
const IID c_iidDryRun = {0x530232CD, 0x541D, 0x402B, {0x89, 0xD2, 0x68, 0xC7, 0x3C, 0xD4, 0x18, 0x6C}};
const IID c_iidDiagnostics = {0x15895B0D, 0x1F9B, 0x42AA, {0x8C, 0x57, 0xBF, 0x36, 0x0D, 0x52, 0xD0, 0x5F}};

using PfnCanUnloadNow = HRESULT(STDAPICALLTYPE*)();
using PfnGetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

std::string ModulePath()
{
    return vmtest::BinDir() + "\\vormidmgr.dll";
}

class ModuleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitialize(nullptr);
        s_hModule = LoadLibraryExA(ModulePath().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        ASSERT_NE(s_hModule, nullptr) << ModulePath() << " error " << GetLastError();
        s_pfnCanUnloadNow = reinterpret_cast<PfnCanUnloadNow>(
            reinterpret_cast<void*>(GetProcAddress(s_hModule, "DllCanUnloadNow")));
        s_pfnGetClassObject = reinterpret_cast<PfnGetClassObject>(
            reinterpret_cast<void*>(GetProcAddress(s_hModule, "DllGetClassObject")));
    }
    static void TearDownTestSuite()
    {
        FreeLibrary(s_hModule);
        CoUninitialize();
    }

    IClassFactory* ClassObject(const CLSID& a_clsid = c_clsidDocHook)
    {
        IClassFactory* pFactory = nullptr;
        EXPECT_EQ(s_pfnGetClassObject(a_clsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)), S_OK);
        return pFactory;
    }

    static HMODULE s_hModule;
    static PfnCanUnloadNow s_pfnCanUnloadNow;
    static PfnGetClassObject s_pfnGetClassObject;
};

HMODULE ModuleTest::s_hModule = nullptr;
PfnCanUnloadNow ModuleTest::s_pfnCanUnloadNow = nullptr;
PfnGetClassObject ModuleTest::s_pfnGetClassObject = nullptr;

TEST_F(ModuleTest, ExportsExactlyTheFourServerFunctions)
{
    for (const char* szName : {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer"})
        EXPECT_NE(GetProcAddress(s_hModule, szName), nullptr) << szName;

    auto* pBase = reinterpret_cast<const BYTE*>(s_hModule);
    auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    auto* pExports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(pBase + dir.VirtualAddress);
    EXPECT_EQ(pExports->NumberOfFunctions, 4u);
    EXPECT_EQ(pNt->OptionalHeader.DllCharacteristics & (IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT),
              IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT);
}

TEST_F(ModuleTest, ClassObjectIsServedOnlyForTheHookAndTheDryRun)
{
    IClassFactory* pFactory = ClassObject(c_clsidDryRun);
    ASSERT_NE(pFactory, nullptr);
    void* pvOuter = reinterpret_cast<void*>(0xdeadbeef);
    IUnknown* pOuter = reinterpret_cast<IUnknown*>(pFactory);
    EXPECT_EQ(pFactory->CreateInstance(pOuter, IID_IUnknown, &pvOuter), CLASS_E_NOAGGREGATION) << "dry run aggregated";
    EXPECT_EQ(pvOuter, nullptr);
    pFactory->Release();

    void* pv = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(s_pfnGetClassObject(IID_IUnknown, IID_IClassFactory, &pv), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(pv, nullptr) << "out pointer cleared";
    EXPECT_EQ(s_pfnGetClassObject(c_clsidDocHook, IID_IClassFactory, nullptr), E_POINTER);
    pv = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(s_pfnGetClassObject(c_clsidDocHook, IID_IDispatch, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
}

TEST_F(ModuleTest, LockCountFollowsObjectsClassObjectAndLockServer)
{
    EXPECT_EQ(s_pfnCanUnloadNow(), S_OK);
    IClassFactory* pFactory = ClassObject();
    ASSERT_NE(pFactory, nullptr);
    EXPECT_EQ(s_pfnCanUnloadNow(), S_FALSE) << "class object held from outside";

    IUnknown* pHook = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&pHook)), S_OK);
    pFactory->Release();
    EXPECT_EQ(s_pfnCanUnloadNow(), S_FALSE) << "hook object alive";
    pHook->Release();
    EXPECT_EQ(s_pfnCanUnloadNow(), S_OK);

    pFactory = ClassObject();
    pFactory->LockServer(TRUE);
    pFactory->Release();
    EXPECT_EQ(s_pfnCanUnloadNow(), S_FALSE) << "locked";
    pFactory = ClassObject();
    pFactory->LockServer(FALSE);
    pFactory->Release();
    EXPECT_EQ(s_pfnCanUnloadNow(), S_OK);
}

// Rows: interface asked for, and whether the hook answers it.
struct InterfaceRow {
    const CLSID* m_pclsid;
    const IID* m_piid;
    const char* m_szName;
    bool m_bServed;
};

class HookInterfaceTest : public ModuleTest, public ::testing::WithParamInterface<InterfaceRow> {};

TEST_P(HookInterfaceTest, QueryInterfaceAnswersItsTable)
{
    const InterfaceRow& row = GetParam();
    IClassFactory* pFactory = ClassObject(*row.m_pclsid);
    ASSERT_NE(pFactory, nullptr);
    IUnknown* pHook = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&pHook)), S_OK);
    pFactory->Release();

    void* pv = reinterpret_cast<void*>(0xdeadbeef);
    HRESULT hr = pHook->QueryInterface(*row.m_piid, &pv);
    if (row.m_bServed) {
        EXPECT_EQ(hr, S_OK) << row.m_szName;
        ASSERT_NE(pv, nullptr);
        // Every interface leads back to the same identity.
        IUnknown* pIdentity = nullptr;
        static_cast<IUnknown*>(pv)->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity));
        EXPECT_EQ(pIdentity, pHook);
        pIdentity->Release();
        static_cast<IUnknown*>(pv)->Release();
    } else {
        EXPECT_EQ(hr, E_NOINTERFACE) << row.m_szName;
        EXPECT_EQ(pv, nullptr);
    }
    pHook->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Table, HookInterfaceTest,
    ::testing::Values(InterfaceRow{&c_clsidDocHook, &IID_IUnknown, "IUnknown", true},
                      InterfaceRow{&c_clsidDocHook, &c_iidDocHook, "IDocHook", true},
                      InterfaceRow{&c_clsidDocHook, &IID_IDispatch, "IDispatch", true},
                      InterfaceRow{&c_clsidDocHook, &IID_IShellExecuteHookA, "IShellExecuteHookA", true},
                      InterfaceRow{&c_clsidDocHook, &IID_IShellExecuteHookW, "IShellExecuteHookW", true},
                      InterfaceRow{&c_clsidDocHook, &c_iidDiagnostics, "verdict", true},
                      InterfaceRow{&c_clsidDocHook, &IID_IClassFactory, "IClassFactory", false},
                      // Nothing in the shell's process can turn the production hook dry.
                      InterfaceRow{&c_clsidDocHook, &c_iidDryRun, "dry run of the hook", false},
                      // The dry run takes requests and tells verdicts, and is no scriptable hook.
                      InterfaceRow{&c_clsidDryRun, &IID_IShellExecuteHookA, "dry IShellExecuteHookA", true},
                      InterfaceRow{&c_clsidDryRun, &IID_IShellExecuteHookW, "dry IShellExecuteHookW", true},
                      InterfaceRow{&c_clsidDryRun, &c_iidDiagnostics, "dry verdict", true},
                      InterfaceRow{&c_clsidDryRun, &c_iidDryRun, "dry run", true},
                      InterfaceRow{&c_clsidDryRun, &c_iidDocHook, "dry IDocHook", false},
                      InterfaceRow{&c_clsidDryRun, &IID_IDispatch, "dry IDispatch", false}));

// IUnknown, IDocHook and IDispatch are one entry of the object; the execute
// hook is the other. Callers compare identities by these pointers.
TEST_F(ModuleTest, IUnknownIsTheFirstEntry)
{
    IClassFactory* pFactory = ClassObject();
    IUnknown* pCreated = nullptr;
    ASSERT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&pCreated)), S_OK);
    pFactory->Release();

    void* pvDocHook = nullptr;
    void* pvDispatch = nullptr;
    void* pvHook = nullptr;
    void* pvUnknown = nullptr;
    ASSERT_EQ(pCreated->QueryInterface(c_iidDocHook, &pvDocHook), S_OK);
    ASSERT_EQ(pCreated->QueryInterface(IID_IDispatch, &pvDispatch), S_OK);
    ASSERT_EQ(pCreated->QueryInterface(IID_IShellExecuteHookA, &pvHook), S_OK);
    ASSERT_EQ(static_cast<IUnknown*>(pvHook)->QueryInterface(IID_IUnknown, &pvUnknown), S_OK);
    EXPECT_EQ(static_cast<void*>(pCreated), pvDocHook) << "created as IUnknown";
    EXPECT_EQ(pvUnknown, pvDocHook) << "asked for IUnknown";
    EXPECT_EQ(pvDispatch, pvDocHook);
    EXPECT_NE(pvHook, pvDocHook);
    for (void* pv : {pvDocHook, pvDispatch, pvHook, pvUnknown})
        static_cast<IUnknown*>(pv)->Release();
    pCreated->Release();
    EXPECT_EQ(s_pfnCanUnloadNow(), S_OK) << "every reference counted once";
}

// A small outer object that aggregates the hook.
class COuter final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override
    {
        if (IsEqualIID(a_riid, IID_IUnknown)) {
            *a_ppv = this;
            AddRef();
            return S_OK;
        }
        return m_pInner->QueryInterface(a_riid, a_ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
    STDMETHODIMP_(ULONG) Release() override { return --m_cRef; }
    IUnknown* m_pInner = nullptr;
    ULONG m_cRef = 1;
};

TEST_F(ModuleTest, AggregationOnlyThroughIUnknown)
{
    IClassFactory* pFactory = ClassObject();
    COuter outer;
    void* pv = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(pFactory->CreateInstance(&outer, IID_IShellExecuteHookA, &pv), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(pv, nullptr);
    EXPECT_EQ(pFactory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

    ASSERT_EQ(pFactory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.m_pInner)), S_OK);
    pFactory->Release();
    IShellExecuteHookA* pHook = nullptr;
    ASSERT_EQ(outer.QueryInterface(IID_IShellExecuteHookA, reinterpret_cast<void**>(&pHook)), S_OK);
    ULONG cOuterBefore = outer.m_cRef;
    pHook->AddRef();
    EXPECT_EQ(outer.m_cRef, cOuterBefore + 1) << "the aggregated object counts on its outer object";
    pHook->Release();
    IUnknown* pIdentity = nullptr;
    pHook->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&pIdentity));
    EXPECT_EQ(pIdentity, static_cast<IUnknown*>(&outer));
    pIdentity->Release();
    pHook->Release();
    outer.m_pInner->Release();
    EXPECT_EQ(s_pfnCanUnloadNow(), S_OK);
}

// The module entry names the host and the module on the switchable trace,
// which is on from load, at attach and at detach. A copy under another name
// is loaded and unloaded here, since the suite keeps the module itself.
TEST(ModuleEntryTest, AttachAndDetachAreTraced)
{
    std::string strCopy = vmtest::TestDir() + "\\vmentrycopy.dll";
    ASSERT_TRUE(CopyFileA(ModulePath().c_str(), strCopy.c_str(), FALSE));
    vmtest::DebugCapture capture;
    HMODULE hModule = LoadLibraryA(strCopy.c_str());
    ASSERT_NE(hModule, nullptr) << GetLastError();
    EXPECT_TRUE(FreeLibrary(hModule));
    DeleteFileA(strCopy.c_str());

    char szExe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    char szHandle[24];
    snprintf(szHandle, sizeof(szHandle), VM_HANDLE_HEX, vm::HandleValue(hModule));
    std::string strEntry = std::string("vormidmgr dllmain : exe = ") + PathFindFileNameA(szExe) +
                           ". module handle = " + szHandle;
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{strEntry, "vormidmgr dllmain -> DLL_PROCESS_ATTACH",
                                                          strEntry, "vormidmgr dllmain -> DLL_PROCESS_DETACH"}))
        << capture.Dump();
}

// Activation through the registry, as the shell creates the hook: the class is
// registered by hand, as registration will write it.
class ActivationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        m_strKey = std::string("CLSID\\") + c_szClsid;
        HKEY hKey = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, (m_strKey + "\\InprocServer32").c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &hKey, nullptr), ERROR_SUCCESS);
        std::string strPath = ModulePath();
        RegSetValueExA(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(strPath.c_str()),
                       static_cast<DWORD>(strPath.size() + 1));
        RegSetValueExA(hKey, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>("Apartment"), 10);
        RegCloseKey(hKey);
    }
    void TearDown() override
    {
        SHDeleteKeyA(HKEY_CLASSES_ROOT, m_strKey.c_str());
        CoUninitialize();
    }
    std::string m_strKey;
};

TEST_F(ActivationTest, CoCreateInstanceGivesBothHooks)
{
    IShellExecuteHookA* pHook = nullptr;
    ASSERT_EQ(CoCreateInstance(c_clsidDocHook, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExecuteHookA,
                               reinterpret_cast<void**>(&pHook)), S_OK);
    IUnknown* pWide = nullptr;
    ASSERT_EQ(pHook->QueryInterface(IID_IShellExecuteHookW, reinterpret_cast<void**>(&pWide)), S_OK);
    pWide->Release();

    vmtest::DebugCapture capture;
    char szFile[] = "C:\\nowhere\\desk.scf";
    SHELLEXECUTEINFOA sei{};
    sei.cbSize = sizeof(sei);
    sei.lpVerb = "open";
    sei.lpFile = szFile;
    EXPECT_EQ(pHook->Execute(&sei), S_FALSE);
    EXPECT_TRUE(capture.Contains("[CLxShellExt::Execute] show desktop [.scf]")) << capture.Dump();
    pHook->Release();
}

// The module as the shell creates it reads a request's file from an item
// id list and judges a text the platform normalizes by the file it names,
// through both interfaces: a shell command file is the shell's own however
// it is named.
TEST_F(ActivationTest, ItemIdListsAndNormalizedTextsNameTheirFile)
{
    std::string strFile = vmtest::TestDir() + "\\vmdesk.scf";
    HANDLE hFile = CreateFileA(strFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(hFile, INVALID_HANDLE_VALUE);
    CloseHandle(hFile);
    std::wstring strWide(strFile.begin(), strFile.end());
    PIDLIST_ABSOLUTE pidl = ILCreateFromPathW(strWide.c_str());
    ASSERT_NE(pidl, nullptr);
    IShellExecuteHookW* pHook = nullptr;
    ASSERT_EQ(CoCreateInstance(c_clsidDocHook, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExecuteHookW,
                               reinterpret_cast<void**>(&pHook)), S_OK);
    const struct {
        const char* m_szCase;
        ULONG m_fMask;
        bool m_bIdList;
        std::wstring m_strFile; // empty: no file text
    } rows[] = {
        {"id list alone", SEE_MASK_IDLIST, true, L""},
        {"invoked id list alone", SEE_MASK_INVOKEIDLIST, true, L""},
        {"a trailing dot", 0, false, strWide + L"."},
        {"the data stream", 0, false, strWide + L"::$DATA"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.m_szCase);
        for (bool bWide : {false, true}) {
            SCOPED_TRACE(bWide ? "wide" : "ANSI");
            std::string strAnsi(row.m_strFile.begin(), row.m_strFile.end());
            std::vector<char> ansiFile(strAnsi.begin(), strAnsi.end());
            ansiFile.push_back('\0');
            std::vector<wchar_t> wideFile(row.m_strFile.begin(), row.m_strFile.end());
            wideFile.push_back(L'\0');
            vmtest::DebugCapture capture;
            HRESULT hr = E_FAIL;
            if (bWide) {
                SHELLEXECUTEINFOW sei{};
                sei.cbSize = sizeof(sei);
                sei.fMask = row.m_fMask;
                sei.lpVerb = L"open";
                sei.lpFile = row.m_strFile.empty() ? nullptr : wideFile.data();
                sei.lpIDList = row.m_bIdList ? pidl : nullptr;
                hr = pHook->Execute(&sei);
                EXPECT_EQ(sei.lpFile, row.m_strFile.empty() ? nullptr : wideFile.data());
            } else {
                IShellExecuteHookA* pAnsi = nullptr;
                ASSERT_EQ(pHook->QueryInterface(IID_IShellExecuteHookA, reinterpret_cast<void**>(&pAnsi)), S_OK);
                SHELLEXECUTEINFOA sei{};
                sei.cbSize = sizeof(sei);
                sei.fMask = row.m_fMask;
                sei.lpVerb = "open";
                sei.lpFile = row.m_strFile.empty() ? nullptr : ansiFile.data();
                sei.lpIDList = row.m_bIdList ? pidl : nullptr;
                hr = pAnsi->Execute(&sei);
                EXPECT_EQ(sei.lpFile, row.m_strFile.empty() ? nullptr : ansiFile.data());
                pAnsi->Release();
            }
            EXPECT_EQ(hr, S_FALSE);
            EXPECT_TRUE(capture.Contains("[CLxShellExt::Execute] show desktop [.scf]")) << capture.Dump();
        }
    }
    pHook->Release();
    ILFree(pidl);
    DeleteFileA(strFile.c_str());
}

} // namespace
