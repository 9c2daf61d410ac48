#pragma once
// A known world for many requests through the hook: a scratch registry with
// documents associated, a control-table entry, a per-user choice and a
// registered application, a policy file and the document files, and one
// request per class. Nothing in it starts a process: the add-ins answer as
// loaded and the launcher is absent beside the test program, so a controlled
// launch fails to start and is answered "file not found" (2).

#include "tests/support/RegistryRedirect.h"

#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <string>
#include <vector>

namespace vmtest {

enum RequestClass {
    c_requestUncontrolled,
    c_requestControlTable,
    c_requestClassKey,
    c_requestUserChoice,
    c_requestUnknownExtension,
    c_requestApplication,
    c_requestEncrypted,
    c_requestNoFile,
    c_requestControlledLaunch,
    c_cRequestClasses
};

const char* RequestClassName(int a_nClass);

// Marks the add-in entries that the Office upkeep keeps loaded (LoadBehavior
// 3), so the upkeep starts no regsvr32.
void MarkAddinsLoaded();

struct HookAnswer {
    HRESULT m_hr;
    INT_PTR m_nInstApp;
    bool operator==(const HookAnswer& a_other) const
    {
        return m_hr == a_other.m_hr && m_nInstApp == a_other.m_nInstApp;
    }
};

// What the hook answers to a request of the class, written out rather than
// taken from a run of the hook.
HookAnswer ExpectedAnswer(int a_nClass);

class CRequestMix {
public:
    explicit CRequestMix(const std::string& a_strName);
    ~CRequestMix();
    CRequestMix(const CRequestMix&) = delete;
    CRequestMix& operator=(const CRequestMix&) = delete;

    bool Ready() const { return m_pHook != nullptr; }
    HookAnswer Offer(int a_nClass) const;
    // The same request offered to another hook object (another build of the hook).
    HookAnswer OfferTo(IShellExecuteHookA* a_pHook, int a_nClass) const;
    // The same request through the wide interface, as the shell offers it;
    // a_strFile, when given, in place of the class's file.
    HookAnswer OfferWide(int a_nClass, const std::wstring& a_strFile = std::wstring()) const;

    // What a request of the class carries; null members for absent texts.
    const char* Verb(int a_nClass) const;
    std::string File(int a_nClass) const;
    HKEY ClassKey(int a_nClass) const;
    const std::string& Dir() const { return m_strDir; }

private:
    std::unique_ptr<RegistryRedirect> m_redirect;
    std::string m_strDir;
    std::string m_strPlugin;
    HKEY m_hClassKey = nullptr;
    IShellExecuteHookA* m_pHook = nullptr;
};

} // namespace vmtest
