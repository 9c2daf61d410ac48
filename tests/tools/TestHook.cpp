// A shell-execute hook for the host tests. Its answer is chosen by the
// request's verb, and it traces what it was given, so a test reads from the
// host's output exactly which record reached it:
//   "take", "take-<own letter>": S_OK with its own hInstApp
//   "fail": E_FAIL
//   "fill": fills the file buffer up to MAX_PATH bytes, then S_FALSE
//   anything else: S_FALSE
// Every request has its enclosing quotes removed from lpFile in place, as
// the product's hook does.

#include "common/RefCounted.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

LONG g_cLocks = 0;

struct CHookClass {
    CLSID m_clsid;
    const char* m_szName;
    const char* m_szOwnVerb;
    UINT_PTR m_uInstApp;
};

// Their text forms are in TestHookIds.h.
const CHookClass c_classes[] = {
    {{0x8d0c1a10, 0x5e2b, 0x4c61, {0x9b, 0x7a, 0x1f, 0x3e, 0x2d, 0x4c, 0x5b, 0x01}}, "A", "take-a", 42},
    {{0x8d0c1a10, 0x5e2b, 0x4c61, {0x9b, 0x7a, 0x1f, 0x3e, 0x2d, 0x4c, 0x5b, 0x02}}, "B", "take-b", 43},
};

void __attribute__((format(printf, 1, 2))) Trace(const char* a_szFormat, ...)
{
    char szText[1024];
    va_list args;
    va_start(args, a_szFormat);
    vsnprintf(szText, sizeof(szText), a_szFormat, args);
    va_end(args);
    OutputDebugStringA(szText);
}

// "(null)" for a NULL text, else the text in brackets: an empty text shows.
std::string Shown(const char* a_szText)
{
    return a_szText ? "[" + std::string(a_szText) + "]" : "(null)";
}

std::string ClassKeyShown(const SHELLEXECUTEINFOA& a_sei)
{
    if (!a_sei.hkeyClass)
        return "(none)";
    if ((a_sei.fMask & SEE_MASK_CLASSKEY) != SEE_MASK_CLASSKEY)
        return "unflagged";
    char szValue[MAX_PATH] = {};
    DWORD cbValue = sizeof(szValue) - 1;
    if (RegQueryValueExA(a_sei.hkeyClass, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(szValue),
                         &cbValue) != ERROR_SUCCESS)
        return "unreadable";
    return Shown(szValue);
}

bool VerbIs(const SHELLEXECUTEINFOA& a_sei, const char* a_szVerb)
{
    return a_sei.lpVerb && lstrcmpiA(a_sei.lpVerb, a_szVerb) == 0;
}

// IUnknown for an object of one interface; it holds the module while it lives.
template <typename TInterface, const IID* t_piid>
class CSingleInterface : public vm::CRefCounted<TInterface> {
public:
    STDMETHODIMP QueryInterface(REFIID a_riid, void** a_ppv) override
    {
        if (!a_ppv)
            return E_POINTER;
        *a_ppv = nullptr;
        if (!IsEqualIID(a_riid, IID_IUnknown) && !IsEqualIID(a_riid, *t_piid))
            return E_NOINTERFACE;
        *a_ppv = static_cast<TInterface*>(this);
        this->AddRef();
        return S_OK;
    }

protected:
    CSingleInterface() { InterlockedIncrement(&g_cLocks); }
    ~CSingleInterface() override { InterlockedDecrement(&g_cLocks); }
};

class CTestHook final : public CSingleInterface<IShellExecuteHookA, &IID_IShellExecuteHookA> {
public:
    explicit CTestHook(const CHookClass& a_class) : m_class(a_class) {}

    STDMETHODIMP Execute(LPSHELLEXECUTEINFOA a_pei) override
    {
        const char* szName = m_class.m_szName;
        Trace("testhook %s: start\n", szName);
        Trace("testhook %s: verb=%s file=%s params=%s dir=%s mask=0x%lx nShow=%d hInstApp=%llu class=%s", szName,
              Shown(a_pei->lpVerb).c_str(), Shown(a_pei->lpFile).c_str(), Shown(a_pei->lpParameters).c_str(),
              Shown(a_pei->lpDirectory).c_str(), a_pei->fMask, a_pei->nShow,
              static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(a_pei->hInstApp)),
              ClassKeyShown(*a_pei).c_str());
        char* szFile = const_cast<char*>(a_pei->lpFile);
        if (szFile)
            PathUnquoteSpacesA(szFile);
        if (VerbIs(*a_pei, "fail"))
            return E_FAIL;
        if (VerbIs(*a_pei, "fill") && szFile) {
            memset(szFile, 'f', MAX_PATH - 1);
            szFile[MAX_PATH - 1] = '\0';
            return S_FALSE;
        }
        if (VerbIs(*a_pei, "take") || VerbIs(*a_pei, m_class.m_szOwnVerb)) {
            a_pei->hInstApp = reinterpret_cast<HINSTANCE>(m_class.m_uInstApp);
            Trace("testhook %s: taken\n", szName);
            return S_OK;
        }
        return S_FALSE;
    }

private:
    ~CTestHook() override = default;

    const CHookClass& m_class;
};

class CTestHookFactory final : public CSingleInterface<IClassFactory, &IID_IClassFactory> {
public:
    explicit CTestHookFactory(const CHookClass& a_class) : m_class(a_class) {}

    STDMETHODIMP CreateInstance(IUnknown* a_pUnkOuter, REFIID a_riid, void** a_ppv) override
    {
        if (!a_ppv)
            return E_POINTER;
        *a_ppv = nullptr;
        if (a_pUnkOuter)
            return CLASS_E_NOAGGREGATION;
        CTestHook* pHook = new (std::nothrow) CTestHook(m_class);
        if (!pHook)
            return E_OUTOFMEMORY;
        HRESULT hr = pHook->QueryInterface(a_riid, a_ppv);
        pHook->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL a_bLock) override
    {
        if (a_bLock)
            InterlockedIncrement(&g_cLocks);
        else
            InterlockedDecrement(&g_cLocks);
        return S_OK;
    }

private:
    ~CTestHookFactory() override = default;

    const CHookClass& m_class;
};

} // namespace

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID a_rclsid, REFIID a_riid, void** a_ppv)
{
    if (!a_ppv)
        return E_POINTER;
    *a_ppv = nullptr;
    for (const CHookClass& hookClass : c_classes) {
        if (!IsEqualCLSID(a_rclsid, hookClass.m_clsid))
            continue;
        CTestHookFactory* pFactory = new (std::nothrow) CTestHookFactory(hookClass);
        if (!pFactory)
            return E_OUTOFMEMORY;
        HRESULT hr = pFactory->QueryInterface(a_riid, a_ppv);
        pFactory->Release();
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    return g_cLocks == 0 ? S_OK : S_FALSE;
}
