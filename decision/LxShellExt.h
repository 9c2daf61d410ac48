#pragma once
// CLxShellExt: the one decision object. It holds the policy values read from
// the company policy file and the fields of the request being handled; every
// decision about a shell-execute request is one of its methods, each handing
// the request's state to the component that does the work.

#include "request/PolicySource.h"
#include "request/RequestState.h"
#include "request/ViewerPlan.h"

#include <windows.h>

#include <optional>
#include <string>

class AppProcessQueue;

class CLxShellExt : public CRequestState, public CPolicyValues {
public:
    CLxShellExt();
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

    // Records a start that failed or was refused, with its always-on line.
    void RefuseStart(const char* a_szTag, const char* a_szCause, int a_nCode,
                     const std::string& a_strCommand);

private:
    bool ExecuteRequest(LPSHELLEXECUTEINFOA a_lpsei);
    void SetDocumentPath(const char* a_szFile);
    void ResetRequestFields(const char* a_szFile);
    bool RunApplicationOperation();
    bool RunOpenWithRequest();
    bool RunDocumentRequest();
    std::wstring BuildApplicationCommand(const std::wstring& a_strProgram) const;
    bool IsLaunchableRequest();
    bool IsDocumentItsOwnProgram(const char* a_szTag, const std::wstring& a_strProgram);
    void StartApplicationDirectly(const std::string& a_strCommand);
    // 0 when the viewer started, else the shell's SE_ERR_* code.
    int StartImageViewer(const ImageViewerPlan& a_plan);
    // The policy the decision follows, and whether it may change the
    // registry.
    PolicySource PolicyInForce() const;
    bool MayWrite() const;
    // The program a start of this request runs, by its full path.
    std::wstring GetProgramForStart() const;
    bool IsUsableDirectory();
    bool MayReceivePlugin(const std::wstring& a_strProgram);
    bool StartLauncher(const std::wstring& a_strProgram);
    bool ExecuteLocked(int* a_pnResult, LPSHELLEXECUTEINFOA a_lpsei, const WideTexts* a_pReal);
    bool FinishDecision(int a_nDecision, const char* a_szSkippedTrace,
                        const char* a_szExceptionTrace);
};

// The module's one decision object.
extern CLxShellExt g_LxShellExt;
