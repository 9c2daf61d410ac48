#pragma once
// The state of the request being decided and the policy values it is decided
// by. The decision object holds both; every component below it is handed the
// parts it reads or writes.

#include "common/Handle.h"
#include "request/Decision.h"
#include "request/WideTexts.h"

#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>

// A controlled start through the launcher, for the audit trail.
struct ControlledStart {
    std::wstring m_strDocument;
    std::wstring m_strApplication;
    std::wstring m_strPlugin;
};

// Read from the company policy file until they have been obtained once.
struct CPolicyValues {
    std::string m_strCompanyID;
    int m_bDeleteOtherAddin = -1;
    int m_bNotLoadSSDriver = -1;
};

// m_strAppName, m_strAppPath and m_strInjectionDll are carried over from one
// request to the next; the request resets the other fields.
struct CRequestState {
    int* m_pnResult = nullptr;
    LPSHELLEXECUTEINFOA m_lpsei = nullptr;
    UINT m_uOperation = OPERATION_NONE;
    UINT m_uControlType = 0;
    std::string m_strFilePath;
    // The document as it is opened: m_strFilePath, or the real long path of
    // a name the ANSI code page cannot hold.
    std::wstring m_strDocument;
    std::string m_strExt;
    std::string m_strAppName;
    std::string m_strAppPath;
    std::string m_strInjectionDll;
    // m_strInjectionDll was chosen by this request's policy look-up, not
    // carried over from an earlier request.
    bool m_bInjectionDllChosen = false;
    bool m_bAcapFile = false;
    bool m_bDDEOpen = false;
    // The shell's SE_ERR_* code of a start of this request that failed or
    // was refused; 0 while none did. Answered in place of 44 or 33.
    int m_nStartError = 0;
    // The application path is the request's own file text, not a command of
    // the registry: its variables are never expanded.
    bool m_bAppPathFromRequest = false;
    // The arguments of the application's registry command other than the
    // document ("/p"), which a start with the document alone leaves out.
    std::string m_strCommandArguments;
    // The application's registry command after its program, as written, and
    // whether an administrator registered it (the machine's classes, not the
    // user's own): only such a command's arguments reach the program.
    std::string m_strCommandRest;
    bool m_bMachineCommand = false;
    // The verb whose own command names the application ("print", "edit",
    // "printto"); empty for open, open-as and no verb, which take the
    // type's open, else edit, else Read command.
    std::string m_strVerb;
    // The application came from m_strVerb's own command, not from the
    // default order the resolver falls back to.
    bool m_bVerbCommand = false;
    // The launcher started for this request; its answer is awaited once the
    // request lock is released.
    vm::UniqueNullHandle m_hLauncher;
    ControlledStart m_launched;
    // The real texts of the request, when the ANSI code page cannot hold them.
    std::optional<WideTexts> m_real;

    // The request's file, parameters and directory as the caller wrote them.
    std::wstring RequestFile() const;
    std::wstring RequestParameters() const;
    std::wstring RequestDirectory() const;
};
