// The built module registered for real in the build's Wine prefix: regsvr32
// runs on a copy in a folder whose path holds an apostrophe, COM creates the
// hook from there, and unregistration takes out exactly what was added.

#include "common/Handle.h"
#include "common/InstalledProduct.h"
#include "module/Guids.h"

#include "tests/registration/RegistrationTestRegistry.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>

#include <cstring>
#include <string>

namespace {

const char c_szClassKey[] = "CLSID\\{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
const char c_szTypeLibKey[] = "TypeLib\\{2B3CEFFD-1E69-4354-8CC5-CCEDCD4BE3F7}";
const char c_szInterfaceKey[] = "Interface\\{475E0A63-921E-4F4D-84D5-DFE514B4F13C}";
const char c_szExplorer[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer";
const char c_szHooks[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellExecuteHooks";
const char c_szHookValue[] = "{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}";
const char c_szOtherHook[] = "{0F0F0F0F-1111-2222-3333-444455556666}";

std::string Dump(HKEY a_hKeyRoot, const std::string& a_strPath)
{
    vm::UniqueKey key;
    if (RegOpenKeyExA(a_hKeyRoot, a_strPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return "<missing>";
    return vmtest::DumpKeyTree(key.get(), a_strPath);
}

DWORD CountSubkeys(HKEY a_hKeyRoot, const char* a_szPath)
{
    vm::UniqueKey key;
    DWORD cSubkeys = 0;
    if (RegOpenKeyExA(a_hKeyRoot, a_szPath, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
        RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr);
    return cSubkeys;
}

std::string Narrow(const wchar_t* a_wsz)
{
    char sz[1024] = {};
    if (a_wsz)
        WideCharToMultiByte(CP_ACP, 0, a_wsz, -1, sz, sizeof(sz) - 1, nullptr, nullptr);
    return sz;
}

// The flags word of the type whose GUID is a_guid, as the compiled library
// stores it (the "MSFT" format: header, type-info offsets, segment directory
// whose first segment holds the type infos and whose sixth the GUIDs).
bool ReadStoredTypeFlags(const BYTE* a_pLib, size_t a_cbLib, REFGUID a_guid, DWORD* a_pdwFlags)
{
    auto readInt = [&](size_t a_nOffset, DWORD* a_pdw) {
        if (a_nOffset + 4 > a_cbLib)
            return false;
        std::memcpy(a_pdw, a_pLib + a_nOffset, 4);
        return true;
    };
    DWORD dwMagic = 0, cTypes = 0, dwVarFlags = 0;
    if (!readInt(0, &dwMagic) || dwMagic != 0x5446534D || !readInt(0x20, &cTypes) || !readInt(0x14, &dwVarFlags))
        return false;
    size_t nOffsets = 0x54 + ((dwVarFlags & 0x100) ? 4 : 0);
    size_t nSegments = nOffsets + 4 * static_cast<size_t>(cTypes);
    DWORD dwTypeTable = 0, dwGuidTable = 0;
    if (!readInt(nSegments, &dwTypeTable) || !readInt(nSegments + 5 * 16, &dwGuidTable))
        return false;
    for (DWORD i = 0; i < cTypes; ++i) {
        DWORD dwTypeOffset = 0, dwGuidOffset = 0;
        if (!readInt(nOffsets + 4 * i, &dwTypeOffset))
            return false;
        size_t nType = dwTypeTable + dwTypeOffset;
        if (!readInt(nType + 0x2C, &dwGuidOffset) || dwGuidTable + dwGuidOffset + sizeof(GUID) > a_cbLib)
            return false;
        if (std::memcmp(a_pLib + dwGuidTable + dwGuidOffset, &a_guid, sizeof(GUID)) == 0)
            return readInt(nType + 0x30, a_pdwFlags);
    }
    return false;
}

class SelfRegistrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strDir = vmtest::MakeScratchDir("it's here");
        m_strModule = m_strDir + "\\vormidmgr.dll";
        ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\vormidmgr.dll").c_str(), m_strModule.c_str(), FALSE));
        ASSERT_TRUE(CopyFileA((vmtest::BinDir() + "\\cipher.dll").c_str(), (m_strDir + "\\cipher.dll").c_str(), FALSE));
        ASSERT_EQ(0u, Regsvr32("/u /s")) << "clean start";

        // Another program's hook beside ours, as on any installation.
        m_bHooksExisted = vmtest::KeyExists(HKEY_LOCAL_MACHINE, c_szHooks);
        vmtest::LayOutKeys(HKEY_LOCAL_MACHINE, std::string(c_szHooks) + "|" + c_szOtherHook + "=Other Hook");
        m_strExplorerBefore = Dump(HKEY_LOCAL_MACHINE, c_szExplorer);
        m_cClassesBefore = CountSubkeys(HKEY_CLASSES_ROOT, "CLSID");
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    }

    void TearDown() override
    {
        // COM lets the module go only when the apartment ends.
        CoUninitialize();
        Regsvr32("/u /s");
        vm::UniqueKey hooks;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, c_szHooks, 0, KEY_ALL_ACCESS, hooks.put()) == ERROR_SUCCESS)
            RegDeleteValueA(hooks.get(), c_szOtherHook);
        hooks.reset();
        if (!m_bHooksExisted)
            RegDeleteKeyA(HKEY_LOCAL_MACHINE, c_szHooks);
        vmtest::RemoveTree(m_strDir);
    }

    // Exit code of regsvr32 run on the scratch copy of the module.
    DWORD Regsvr32(const std::string& a_strSwitches)
    {
        char szSystem[MAX_PATH] = {};
        GetSystemDirectoryA(szSystem, MAX_PATH);
        std::string strExe = std::string(szSystem) + "\\regsvr32.exe";
        return vmtest::RunChild(strExe, "\"" + strExe + "\" " + a_strSwitches + " \"" + m_strModule + "\"", 60000);
    }

    std::string m_strDir;
    std::string m_strModule;
    std::string m_strExplorerBefore;
    DWORD m_cClassesBefore = 0;
    bool m_bHooksExisted = false;
};

TEST_F(SelfRegistrationTest, RegistersClassHookAndTypeLibrary)
{
    ASSERT_EQ(0u, Regsvr32("/s"));
    const std::string strClass = c_szClassKey;
    EXPECT_EQ("DocHook Class", vmtest::ReadStringValue(HKEY_CLASSES_ROOT, "Vormidmgr.DocHook.1", ""));
    EXPECT_EQ(c_szHookValue, vmtest::ReadStringValue(HKEY_CLASSES_ROOT, "Vormidmgr.DocHook.1\\CLSID", ""));
    EXPECT_EQ("DocHook Class", vmtest::ReadStringValue(HKEY_CLASSES_ROOT, "Vormidmgr.DocHook", ""));
    EXPECT_EQ("Vormidmgr.DocHook.1", vmtest::ReadStringValue(HKEY_CLASSES_ROOT, "Vormidmgr.DocHook\\CurVer", ""));
    EXPECT_EQ("DocHook Class", vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strClass, ""));
    EXPECT_EQ("Vormidmgr.DocHook.1", vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strClass + "\\ProgID", ""));
    EXPECT_EQ("Vormidmgr.DocHook",
              vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strClass + "\\VersionIndependentProgID", ""));
    EXPECT_TRUE(vmtest::KeyExists(HKEY_CLASSES_ROOT, strClass + "\\Programmable"));
    // The full path, its apostrophe written once.
    EXPECT_EQ(m_strModule, vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strClass + "\\InprocServer32", ""));
    EXPECT_EQ("Apartment", vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strClass + "\\InprocServer32", "ThreadingModel"));
    EXPECT_EQ("{2B3CEFFD-1E69-4354-8CC5-CCEDCD4BE3F7}",
              vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strClass + "\\TypeLib", ""));
    EXPECT_EQ("Korvane Lumidex Manager", vmtest::ReadStringValue(HKEY_LOCAL_MACHINE, c_szHooks, c_szHookValue));
    EXPECT_EQ("Other Hook", vmtest::ReadStringValue(HKEY_LOCAL_MACHINE, c_szHooks, c_szOtherHook));

    // The library is registered from the module, its help directory the module's folder.
    const std::string strVersion = std::string(c_szTypeLibKey) + "\\1.0";
    EXPECT_EQ("vormidmgr 1.0 Type Library", vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strVersion, ""));
    EXPECT_EQ(m_strModule, vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strVersion + vmtest::c_szTypeLibPlatformKey, ""));
    EXPECT_EQ(m_strDir + "\\", vmtest::ReadStringValue(HKEY_CLASSES_ROOT, strVersion + "\\HELPDIR", ""));
}

TEST_F(SelfRegistrationTest, ShellCreatesTheHookFromTheRegisteredModule)
{
    ASSERT_EQ(0u, Regsvr32("/s"));
    IShellExecuteHookA* pHook = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_DocHook, nullptr, CLSCTX_INPROC_SERVER, IID_IShellExecuteHookA,
                                     reinterpret_cast<void**>(&pHook)));
    char szLoaded[MAX_PATH] = {};
    GetModuleFileNameA(GetModuleHandleA(m_strModule.c_str()), szLoaded, MAX_PATH);
    EXPECT_EQ(m_strModule, szLoaded);
    // The administrators' dry run is served by the module, but registration
    // names it nowhere: no host can create it through COM.
    const CLSID clsidDryRun = {0x52253A6A, 0xC5DD, 0x4298, {0xAA, 0x1D, 0x3F, 0xB7, 0x64, 0x46, 0xD7, 0x63}};
    IUnknown* pDryRun = reinterpret_cast<IUnknown*>(0xdeadbeef);
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(clsidDryRun, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                    reinterpret_cast<void**>(&pDryRun)));
    EXPECT_EQ(nullptr, pDryRun);

    // IDispatch is served from the registered library.
    IDispatch* pDispatch = nullptr;
    ASSERT_EQ(S_OK, pHook->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&pDispatch)));
    UINT cTypeInfos = 0;
    EXPECT_EQ(S_OK, pDispatch->GetTypeInfoCount(&cTypeInfos));
    EXPECT_EQ(1u, cTypeInfos);
    ITypeInfo* pTypeInfo = nullptr;
    ASSERT_EQ(S_OK, pDispatch->GetTypeInfo(0, LOCALE_NEUTRAL, &pTypeInfo));
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pTypeInfo->GetTypeAttr(&pAttr));
    EXPECT_TRUE(IsEqualGUID(IID_IDocHook, pAttr->guid));
    EXPECT_EQ(TKIND_DISPATCH, pAttr->typekind);
    pTypeInfo->ReleaseTypeAttr(pAttr);
    pTypeInfo->Release();
    pTypeInfo = reinterpret_cast<ITypeInfo*>(0xdeadbeef);
    EXPECT_EQ(DISP_E_BADINDEX, pDispatch->GetTypeInfo(1, LOCALE_NEUTRAL, &pTypeInfo));
    EXPECT_EQ(nullptr, pTypeInfo);

    wchar_t wszName[] = L"NoSuchMember";
    LPOLESTR names[] = {wszName};
    DISPID dispid = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, pDispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_NEUTRAL, &dispid));
    DISPPARAMS params{};
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              pDispatch->Invoke(1234, IID_NULL, LOCALE_NEUTRAL, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    pDispatch->Release();
    pHook->Release();
}

TEST_F(SelfRegistrationTest, TypeLibraryReadsBackAsDescribed)
{
    ASSERT_EQ(0u, Regsvr32("/s"));
    ITypeLib* pLib = nullptr;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_VORMIDMGRLib, 1, 0, LOCALE_NEUTRAL, &pLib));
    TLIBATTR* pLibAttr = nullptr;
    ASSERT_EQ(S_OK, pLib->GetLibAttr(&pLibAttr));
    EXPECT_EQ(1, pLibAttr->wMajorVerNum);
    EXPECT_EQ(0, pLibAttr->wMinorVerNum);
    EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, pLibAttr->syskind); // widl --win64 on x64
    pLib->ReleaseTLibAttr(pLibAttr);
    BSTR bstrName = nullptr, bstrDoc = nullptr;
    ASSERT_EQ(S_OK, pLib->GetDocumentation(-1, &bstrName, &bstrDoc, nullptr, nullptr));
    EXPECT_EQ("VORMIDMGRLib", Narrow(bstrName));
    EXPECT_EQ("vormidmgr 1.0 Type Library", Narrow(bstrDoc));
    SysFreeString(bstrName);
    SysFreeString(bstrDoc);

    // IDocHook: dual, derived from IDispatch, no members of its own.
    ITypeInfo* pDispatchHalf = nullptr;
    ASSERT_EQ(S_OK, pLib->GetTypeInfoOfGuid(IID_IDocHook, &pDispatchHalf));
    TYPEATTR* pAttr = nullptr;
    ASSERT_EQ(S_OK, pDispatchHalf->GetTypeAttr(&pAttr));
    EXPECT_EQ(TKIND_DISPATCH, pAttr->typekind);
    // oleaut32 reports no FOLEAUTOMATION on the dispatch half of a dual
    // interface, whatever the library stores (see the stored flags below).
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, pAttr->wTypeFlags);
    EXPECT_EQ(7 * sizeof(void*), pAttr->cbSizeVft);
    pDispatchHalf->ReleaseTypeAttr(pAttr);
    ASSERT_EQ(S_OK, pDispatchHalf->GetDocumentation(MEMBERID_NIL, nullptr, &bstrDoc, nullptr, nullptr));
    EXPECT_EQ("IDocHook Interface", Narrow(bstrDoc));
    SysFreeString(bstrDoc);

    HREFTYPE hrefVtable = 0;
    ITypeInfo* pVtableHalf = nullptr;
    ASSERT_EQ(S_OK, pDispatchHalf->GetRefTypeOfImplType(static_cast<UINT>(-1), &hrefVtable));
    ASSERT_EQ(S_OK, pDispatchHalf->GetRefTypeInfo(hrefVtable, &pVtableHalf));
    ASSERT_EQ(S_OK, pVtableHalf->GetTypeAttr(&pAttr));
    EXPECT_EQ(TKIND_INTERFACE, pAttr->typekind);
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE, pAttr->wTypeFlags);
    EXPECT_EQ(0, pAttr->cFuncs);
    EXPECT_EQ(7 * sizeof(void*), pAttr->cbSizeVft);
    pVtableHalf->ReleaseTypeAttr(pAttr);
    pVtableHalf->Release();
    pDispatchHalf->Release();

    // DocHook: creatable, IDocHook its one and default interface.
    ITypeInfo* pClass = nullptr;
    ASSERT_EQ(S_OK, pLib->GetTypeInfoOfGuid(CLSID_DocHook, &pClass));
    ASSERT_EQ(S_OK, pClass->GetTypeAttr(&pAttr));
    EXPECT_EQ(TKIND_COCLASS, pAttr->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE, pAttr->wTypeFlags);
    EXPECT_EQ(1, pAttr->cImplTypes);
    pClass->ReleaseTypeAttr(pAttr);
    INT nImplFlags = 0;
    EXPECT_EQ(S_OK, pClass->GetImplTypeFlags(0, &nImplFlags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, nImplFlags);
    HREFTYPE hrefDefault = 0;
    ITypeInfo* pDefault = nullptr;
    ASSERT_EQ(S_OK, pClass->GetRefTypeOfImplType(0, &hrefDefault));
    ASSERT_EQ(S_OK, pClass->GetRefTypeInfo(hrefDefault, &pDefault));
    ASSERT_EQ(S_OK, pDefault->GetTypeAttr(&pAttr));
    EXPECT_TRUE(IsEqualGUID(IID_IDocHook, pAttr->guid));
    pDefault->ReleaseTypeAttr(pAttr);
    pDefault->Release();
    ASSERT_EQ(S_OK, pClass->GetDocumentation(MEMBERID_NIL, nullptr, &bstrDoc, nullptr, nullptr));
    EXPECT_EQ("DocHook Class", Narrow(bstrDoc));
    SysFreeString(bstrDoc);
    pClass->Release();
    pLib->Release();
}

TEST_F(SelfRegistrationTest, EmbeddedLibraryStoresIDocHookAsDualAutomationDispatchable)
{
    vm::UniqueLibrary module(LoadLibraryExA(m_strModule.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    HRSRC hResource = FindResourceA(module.get(), MAKEINTRESOURCEA(1), "TYPELIB");
    ASSERT_NE(nullptr, hResource);
    const BYTE* pLib = static_cast<const BYTE*>(LockResource(LoadResource(module.get(), hResource)));
    ASSERT_NE(nullptr, pLib);
    DWORD dwFlags = 0;
    ASSERT_TRUE(ReadStoredTypeFlags(pLib, SizeofResource(module.get(), hResource), IID_IDocHook, &dwFlags));
    EXPECT_EQ(static_cast<DWORD>(TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE), dwFlags);
    ASSERT_TRUE(ReadStoredTypeFlags(pLib, SizeofResource(module.get(), hResource), CLSID_DocHook, &dwFlags));
    EXPECT_EQ(static_cast<DWORD>(TYPEFLAG_FCANCREATE), dwFlags);

    // The script resource is the file's bytes: CR LF line ends, no zero.
    HRSRC hScript = FindResourceA(module.get(), MAKEINTRESOURCEA(101), "REGISTRY");
    ASSERT_NE(nullptr, hScript);
    const char* pScript = static_cast<const char*>(LockResource(LoadResource(module.get(), hScript)));
    std::string strScript(pScript, SizeofResource(module.get(), hScript));
    EXPECT_EQ(0u, strScript.rfind("HKCR\r\n{\r\n", 0));
    EXPECT_EQ("}\r\n", strScript.substr(strScript.size() - 3));
    EXPECT_EQ(std::string::npos, strScript.find('\0'));
}

TEST_F(SelfRegistrationTest, RegisteringTwiceGivesTheSameState)
{
    auto snapshot = [&] {
        return Dump(HKEY_CLASSES_ROOT, "Vormidmgr.DocHook.1") + "\n" + Dump(HKEY_CLASSES_ROOT, "Vormidmgr.DocHook") +
               "\n" + Dump(HKEY_CLASSES_ROOT, c_szClassKey) + "\n" + Dump(HKEY_CLASSES_ROOT, c_szTypeLibKey) + "\n" +
               Dump(HKEY_CLASSES_ROOT, c_szInterfaceKey) + "\n" + Dump(HKEY_LOCAL_MACHINE, c_szExplorer);
    };
    ASSERT_EQ(0u, Regsvr32("/s"));
    std::string strFirst = snapshot();
    // ForceRemove clears what others left below the class key.
    vmtest::LayOutKeys(HKEY_CLASSES_ROOT, std::string(c_szClassKey) + "\\Programmable\\Stale|x=y");
    ASSERT_EQ(0u, Regsvr32("/s"));
    EXPECT_EQ(strFirst, snapshot());
}

TEST_F(SelfRegistrationTest, UnregisteringRemovesWhatRegistrationAddedAndNoMore)
{
    ASSERT_EQ(0u, Regsvr32("/s"));
    ASSERT_TRUE(vmtest::KeyExists(HKEY_CLASSES_ROOT, c_szTypeLibKey));
    ASSERT_EQ(0u, Regsvr32("/u /s"));

    EXPECT_FALSE(vmtest::KeyExists(HKEY_CLASSES_ROOT, "Vormidmgr.DocHook.1"));
    EXPECT_FALSE(vmtest::KeyExists(HKEY_CLASSES_ROOT, "Vormidmgr.DocHook"));
    EXPECT_FALSE(vmtest::KeyExists(HKEY_CLASSES_ROOT, c_szClassKey));
    EXPECT_FALSE(vmtest::KeyExists(HKEY_CLASSES_ROOT, c_szTypeLibKey));
    EXPECT_FALSE(vmtest::KeyExists(HKEY_CLASSES_ROOT, c_szInterfaceKey));
    EXPECT_EQ("<missing>", vmtest::ReadStringValue(HKEY_LOCAL_MACHINE, c_szHooks, c_szHookValue));
    // CLSID keeps every other class; the hooks key, the other program's hook
    // and the keys above it stay exactly as they were.
    EXPECT_EQ(m_cClassesBefore, CountSubkeys(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_EQ(m_strExplorerBefore, Dump(HKEY_LOCAL_MACHINE, c_szExplorer));
    EXPECT_EQ("Other Hook", vmtest::ReadStringValue(HKEY_LOCAL_MACHINE, c_szHooks, c_szOtherHook));
}

// Never registered, every key of the script is missing, and the blocks written
// for those keys must not act on the keys that enclose them: empty keys
// planted there, named like the statements of those blocks, stay.
TEST_F(SelfRegistrationTest, UnregisteringANeverRegisteredModuleTouchesNothingElse)
{
    const char* const planted[] = {"CurVer", "CLSID\\InprocServer32", "CLSID\\Programmable"};
    for (const char* szPath : planted) {
        ASSERT_FALSE(vmtest::KeyExists(HKEY_CLASSES_ROOT, szPath)) << szPath;
        vmtest::LayOutKeys(HKEY_CLASSES_ROOT, szPath);
    }
    vm::UniqueLibrary module(LoadLibraryA(m_strModule.c_str()));
    ASSERT_TRUE(module);
    auto pfnUnregister =
        reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(reinterpret_cast<void*>(GetProcAddress(module.get(), "DllUnregisterServer")));
    ASSERT_NE(nullptr, pfnUnregister);
    pfnUnregister();
    for (const char* szPath : planted) {
        EXPECT_TRUE(vmtest::KeyExists(HKEY_CLASSES_ROOT, szPath)) << szPath;
        RegDeleteKeyA(HKEY_CLASSES_ROOT, szPath);
    }
    EXPECT_EQ(m_cClassesBefore, CountSubkeys(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_EQ(m_strExplorerBefore, Dump(HKEY_LOCAL_MACHINE, c_szExplorer));
}

// The launcher and the plug-in find the installed product by the key the
// registration writes: the class id they name is the interface description's.
TEST(InstalledProductKeyTest, NamesTheHooksClass)
{
    wchar_t szClsid[40] = {};
    ASSERT_EQ(39, StringFromGUID2(CLSID_DocHook, szClsid, 40));
    EXPECT_STREQ(szClsid, vm::c_szHookClassId);
    EXPECT_EQ(std::wstring(L"Software\\Classes\\CLSID\\") + szClsid + L"\\InprocServer32",
              std::wstring(vm::c_szHookServerKey));
}

} // namespace
