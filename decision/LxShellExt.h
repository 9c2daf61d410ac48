#pragma once
// CLxShellExt: the one decision object. It holds the policy values read from
// the company policy file and the fields of the request being handled; every
// decision about a shell-execute request is one of its methods, each handing
// the request's state to the component that does the work.

#include "request/PolicySource.h"
#include "request/RequestState.h"

#include <windows.h>

#include <optional>
#include <string>

class AppProcessQueue;
class CStartSink;

class CLxShellExt : public CRequestState, public CPolicyValues {
public:
    // The production decision: it starts what it decides, writes the
    // registry, and follows the installed policy.
    CLxShellExt();
    // A decision whose starts go to a_sink and which follows a_policy: with
    // the dry sink and a draft, the administrators' dry run.
    CLxShellExt(CStartSink& a_sink, PolicySource a_policy);
    virtual ~CLxShellExt();
    CLxShellExt(const CLxShellExt&) = delete;
    CLxShellExt& operator=(const CLxShellExt&) = delete;

    // Policy values.
    void GetConfigurationInfoFromCCF();
    // Makes the next request read the policy values again.
    void ForgetPolicyValues();

    // Dispatcher. a_pReal: the real texts of a request the ANSI code page
    // cannot hold, else null.
    bool Execute(int* a_pnResult, LPSHELLEXECUTEINFOA a_lpsei, const WideTexts* a_pReal = nullptr);
    bool IsExecutableFile(const char* a_szFile);

    // Control decision.
    int CheckControlInformation();
    void GetDoucmentInfo();

    // Launcher.
    int RunApplication();
    bool RunLauncher();

    // Extension control table.
    bool GetExtensionControlType();
    bool GetExtControlApplicationPath();

    // Association resolver.
    bool GetApplicationPathFromReg(bool a_bControl);
    // The application of a registry command: the long path and file name of
    // the program the platform starts for it, and the command's arguments
    // beside the document. False when the command names no existing
    // program; the fields then hold what the text itself reads as.
    bool SetApplicationFromCommand(const char* a_szCommand);

    // Long form of a path, or no value.
    std::optional<std::string> GetLongFilePathName(const char* a_szPath);

    // Application lists and exception rules.
    int IsExceptionApplication();
    int IsRegisteredApplication();
    bool IsExcludeApplication(const char* a_szExcludeList, const char* a_szPmiList);
    bool GetFixedFileInfo(const char* a_szPath, VS_FIXEDFILEINFO* a_pInfo);

    // Running-process scanner.
    bool IsInjectableApplication();
    int GetAppList(AppProcessQueue& a_queue);
    bool CheckModule(DWORD a_dwProcessId);

    // Office add-in upkeep.
    void ResetOfficeResiliency();
    void RegisterOfficeAddins();
    void DeleteOtherAddins();

    // The policy the decision follows.
    const PolicySource& PolicyInForce() const { return m_policySource; }

private:
    // How a request's item id list stands to its file text.
    enum class ItemList {
        Agrees,      // none, or it names the file the file text names (or stands for it)
        WithoutPath, // it alone names the document, which has no file-system path
        OtherFile,   // it names another file than the file text
    };

    // Whether an open of the request's document would be controlled: the
    // control table controls it, or the program of its type's default
    // command receives a plug-in. Nothing is started; the application
    // fields hold what the look-up found.
    bool IsControlledDocumentType();
    // The application fields a request's look-up fills, emptied.
    void ForgetResolution();
    // A verb that the type's command cannot serve under control, refused
    // instead of handed back.
    bool RefusesUncontrolledVerb();
    // Refuses the request as a start is refused (answer, verdict, event
    // 200), with a_strCause in full.
    void RefuseControlledRequest(const char* a_szTag, const std::string& a_strCause);
    bool RefuseRequest(const std::string& a_strCause);
    bool RunOtherVerbRequest(const char* a_szVerb);
    bool RunItemWithoutPath();
    // A controlled request handed back because what it needs cannot be
    // served: the verdict and a warning event say what is missing.
    void HandBackUnprotected(const std::string& a_strMissing);
    void ExplainSkippedApplication(int a_nRegistered);
    bool ExecuteRequest(LPSHELLEXECUTEINFOA a_lpsei, ItemList a_eItem, const std::wstring& a_strItem);
    void SetDocumentPath(const char* a_szFile);
    void ResetRequestFields(const char* a_szFile);
    bool RunApplicationOperation();
    bool RunOpenWithRequest();
    bool RunDocumentRequest();
    bool ExecuteLocked(int* a_pnResult, LPSHELLEXECUTEINFOA a_lpsei, const WideTexts* a_pReal);
    bool FinishDecision(int a_nDecision, const char* a_szSkippedTrace,
                        const char* a_szExceptionTrace);
    // Whether the decision may change the registry.
    bool MayWrite() const;

    CStartSink* m_pSink;
    PolicySource m_policySource;
};

// The module's one decision object.
extern CLxShellExt g_LxShellExt;
