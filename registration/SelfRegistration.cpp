#include "registration/SelfRegistration.h"

#include "common/AnsiText.h"
#include "common/ModuleIdentity.h"
#include "registration/ErrorResults.h"
#include "registration/RegistryScript.h"

#include <oleauto.h>

#include <cstring>

namespace {

using PFN_UNREGISTER_TYPELIB = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

HRESULT LoadTypeLibFromAnsiPath(const char* a_szPath, ITypeLib** a_ppTypeLib, BSTR* a_pbstrPath)
{
    wchar_t wszPath[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, a_szPath, -1, wszPath, MAX_PATH))
        return E_FAIL;
    HRESULT hr = LoadTypeLib(wszPath, a_ppTypeLib);
    if (FAILED(hr))
        return hr;
    *a_pbstrPath = SysAllocString(wszPath);
    if (!*a_pbstrPath) {
        (*a_ppTypeLib)->Release();
        *a_ppTypeLib = nullptr;
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

// The module path with everything from its last "." replaced by ".tlb" (the
// dot may sit in a directory name), or ".tlb" appended when it has none.
// False when the result would not fit.
bool MakeTypeLibFilePath(const char* a_szModulePath, char* a_szTlbPath, size_t a_cbTlbPath)
{
    const char* pDot = nullptr;
    for (const char* p = a_szModulePath; *p; p = vm::NextCharacter(p))
        if (*p == '.')
            pDot = p;
    size_t cbStem = pDot ? static_cast<size_t>(pDot - a_szModulePath) : std::strlen(a_szModulePath);
    const char c_szExtension[] = ".tlb";
    if (cbStem + sizeof(c_szExtension) > a_cbTlbPath)
        return false;
    std::memcpy(a_szTlbPath, a_szModulePath, cbStem);
    std::memcpy(a_szTlbPath + cbStem, c_szExtension, sizeof(c_szExtension));
    return true;
}

// The module's type library and the path it was loaded from, released on
// every path.
class COwnTypeLibrary {
public:
    COwnTypeLibrary() = default;
    ~COwnTypeLibrary()
    {
        SysFreeString(m_bstrPath);
        if (m_pTypeLib)
            m_pTypeLib->Release();
    }
    COwnTypeLibrary(const COwnTypeLibrary&) = delete;
    COwnTypeLibrary& operator=(const COwnTypeLibrary&) = delete;

    HRESULT Open() { return OpenOwnTypeLibrary(&m_pTypeLib, &m_bstrPath); }
    ITypeLib* TypeLib() const { return m_pTypeLib; }
    BSTR Path() const { return m_bstrPath; }

private:
    ITypeLib* m_pTypeLib = nullptr;
    BSTR m_bstrPath = nullptr;
};

} // namespace

HRESULT RegisterDocHookClass(BOOL a_bRegister)
{
    return RunRegistrationScript(c_uRegistryResourceId, a_bRegister);
}

HRESULT OpenOwnTypeLibrary(ITypeLib** a_ppTypeLib, BSTR* a_pbstrPath)
{
    *a_ppTypeLib = nullptr;
    *a_pbstrPath = nullptr;
    char szModulePath[MAX_PATH];
    DWORD cch = GetModuleFileNameA(g_hInstance, szModulePath, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return LastErrorResult();
    // The library is one of the module's own resources.
    HRESULT hr = LoadTypeLibFromAnsiPath(szModulePath, a_ppTypeLib, a_pbstrPath);
    if (SUCCEEDED(hr))
        return hr;
    char szTlbPath[MAX_PATH];
    if (!MakeTypeLibFilePath(szModulePath, szTlbPath, sizeof(szTlbPath)))
        return hr;
    return LoadTypeLibFromAnsiPath(szTlbPath, a_ppTypeLib, a_pbstrPath);
}

HRESULT RegisterOwnTypeLibrary()
{
    COwnTypeLibrary library;
    HRESULT hr = library.Open();
    if (FAILED(hr))
        return hr;

    // The help directory is the library's folder, its separator kept.
    BSTR bstrPath = library.Path();
    UINT cchPath = SysStringLen(bstrPath);
    UINT cchHelpDir = 0;
    for (UINT i = 0; i < cchPath; ++i)
        if (bstrPath[i] == L'\\' || bstrPath[i] == L'/' || bstrPath[i] == L':')
            cchHelpDir = i + 1;
    BSTR bstrHelpDir = SysAllocStringLen(bstrPath, cchHelpDir);
    if (!bstrHelpDir)
        return E_OUTOFMEMORY;
    hr = RegisterTypeLib(library.TypeLib(), bstrPath, bstrHelpDir);
    SysFreeString(bstrHelpDir);
    return hr;
}

HRESULT UnregisterOwnTypeLibrary()
{
    COwnTypeLibrary library;
    HRESULT hr = library.Open();
    if (FAILED(hr))
        return hr;

    TLIBATTR* pAttr = nullptr;
    if (FAILED(library.TypeLib()->GetLibAttr(&pAttr)))
        return hr;
    // Looked up at run time: a system without it keeps the library
    // registered, and that is no error. oleaut32 is loaded already (the
    // library was opened through it), so nothing is searched for by name.
    if (HMODULE hOleaut = GetModuleHandleW(L"oleaut32.dll")) {
        auto pfnUnregister = reinterpret_cast<PFN_UNREGISTER_TYPELIB>(
            reinterpret_cast<void*>(GetProcAddress(hOleaut, "UnRegisterTypeLib")));
        if (pfnUnregister)
            pfnUnregister(pAttr->guid, pAttr->wMajorVerNum, pAttr->wMinorVerNum, pAttr->lcid,
                          pAttr->syskind);
    }
    library.TypeLib()->ReleaseTLibAttr(pAttr);
    return hr;
}
