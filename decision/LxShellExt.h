#pragma once
// CLxShellExt: the one decision object. It holds the policy values read from
// the company policy file and the fields of the request being handled; every
// decision about a shell-execute request is one of its methods.

#include "common/Handle.h"
#include "decision/ControlledStart.h"

#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>

// Decision values shared by the control decision, the exception rules and the
// document runner.
constexpr int EXECUTE_INJECTION = 0; // run under control through the launcher
constexpr int SKIPPED_INJECTION = 1; // hand the request back to the shell
constexpr int EXECUTE_EXCEPTION = 2; // finished without the launcher

// Request cases (m_uOperation).
constexpr UINT OPERATION_NONE = 0;
constexpr UINT OPERATION_APPLICATION = 1;
constexpr UINT OPERATION_OPEN_DOCUMENT = 2;
constexpr UINT OPERATION_OPENAS_DOCUMENT = 3;

// hInstApp values of a request the hook took over.
constexpr int c_nResultLaunched = 44;
constexpr int c_nResultHandled = 33;

class AppProcessQueue;

// The real texts of a wide request that the ANSI code page cannot hold. The
// ANSI request then carries a rendering, with '?' for what was lost, which
// serves the traces and the look-ups by extension and application name; the
// document is read, and every program started, by these.
struct WideTexts {
    std::wstring m_strFile;
    std::wstring m_strParameters;
    std::wstring m_strDirectory;
};

class CLxShellExt {
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

    int* m_pnResult = nullptr;
    LPSHELLEXECUTEINFOA m_lpsei = nullptr;
    std::string m_strCompanyID;
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
    bool m_bAcapFile = false;
    bool m_bDDEOpen = false;
    int m_bDeleteOtherAddin = -1;
    int m_bNotLoadSSDriver = -1;
    // The shell's SE_ERR_* code of a start of this request that failed or
    // was refused; 0 while none did. Answered in place of 44 or 33.
    int m_nStartError = 0;
    // The application path is the request's own file text, not a command of
    // the registry: its variables are never expanded.
    bool m_bAppPathFromRequest = false;
    // The arguments of the application's registry command other than the
    // document ("/p"), which a start with the document alone leaves out.
    std::string m_strCommandArguments;
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

    // Records a start that failed or was refused, with its always-on line
    // and its event; a_strRequestText: the request's text at fault, if any.
    void RefuseStart(const char* a_szTag, const char* a_szCause, int a_nCode,
                     const std::string& a_strCommand, const std::wstring& a_strRequestText = std::wstring());

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
    int StartImageViewer();
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
