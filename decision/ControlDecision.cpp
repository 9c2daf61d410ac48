#include "decision/LxShellExt.h"

#include "common/FileIdentity.h"
#include "companions/cipher/cipher.h"
#include "policy/ApplicationRules.h"
#include "policy/PolicyCache.h"
#include "resolution/ApplicationPath.h"
#include "request/Verdict.h"
#include "start/ControlledStart.h"
#include "trace/Trace.h"

#include <shlwapi.h>
namespace {

// The verbs the hook has always decided; others are decided only for a
// controlled type.
bool IsHookVerb(const std::string& a_strVerb)
{
    for (const char* szVerb : {"print", "edit", "new", "read"})
        if (lstrcmpiA(a_strVerb.c_str(), szVerb) == 0)
            return true;
    return false;
}

// The fields a look-up of the request's application fills, kept while
// another look-up asks about the type's default command.
struct ResolvedApplication {
    explicit ResolvedApplication(const CRequestState& a_request)
        : m_strAppName(a_request.m_strAppName), m_strAppPath(a_request.m_strAppPath),
          m_strCommandArguments(a_request.m_strCommandArguments), m_strCommandRest(a_request.m_strCommandRest),
          m_strInjectionDll(a_request.m_strInjectionDll), m_bMachineCommand(a_request.m_bMachineCommand),
          m_uControlType(a_request.m_uControlType), m_bAppPathFromRequest(a_request.m_bAppPathFromRequest),
          m_bDDEOpen(a_request.m_bDDEOpen), m_bAcapFile(a_request.m_bAcapFile),
          m_bInjectionDllChosen(a_request.m_bInjectionDllChosen), m_bVerbCommand(a_request.m_bVerbCommand)
    {
    }
    void Restore(CRequestState& a_request) const
    {
        a_request.m_strAppName = m_strAppName;
        a_request.m_strAppPath = m_strAppPath;
        a_request.m_strCommandArguments = m_strCommandArguments;
        a_request.m_strCommandRest = m_strCommandRest;
        a_request.m_bMachineCommand = m_bMachineCommand;
        a_request.m_strInjectionDll = m_strInjectionDll;
        a_request.m_uControlType = m_uControlType;
        a_request.m_bAppPathFromRequest = m_bAppPathFromRequest;
        a_request.m_bDDEOpen = m_bDDEOpen;
        a_request.m_bAcapFile = m_bAcapFile;
        a_request.m_bInjectionDllChosen = m_bInjectionDllChosen;
        a_request.m_bVerbCommand = m_bVerbCommand;
    }

    std::string m_strAppName, m_strAppPath, m_strCommandArguments, m_strCommandRest, m_strInjectionDll;
    bool m_bMachineCommand;
    UINT m_uControlType;
    bool m_bAppPathFromRequest, m_bDDEOpen, m_bAcapFile, m_bInjectionDllChosen, m_bVerbCommand;
};

} // namespace

void CLxShellExt::ForgetResolution()
{
    m_bAcapFile = false;
    m_bDDEOpen = false;
    m_uControlType = 0;
    m_bAppPathFromRequest = false;
    m_strCommandArguments.clear();
    m_strCommandRest.clear();
    m_bMachineCommand = false;
    m_bInjectionDllChosen = false;
    m_bVerbCommand = false;
}

bool CLxShellExt::IsControlledDocumentType()
{
    UINT uOperation = m_uOperation;
    std::string strVerb = std::move(m_strVerb);
    m_strVerb.clear();
    m_uOperation = OPERATION_OPEN_DOCUMENT;
    ForgetResolution();
    SetDocumentPath(m_lpsei->lpFile);
    GetDoucmentInfo();
    bool bControl = GetExtensionControlType();
    bool bControlled = bControl && resolution::IsControlledRequest(*this);
    if (!bControlled && GetApplicationPathFromReg(bControl)) {
        // A program the policy leaves to its own add-in, or never controls,
        // makes no controlled type.
        ImageViewerPlan plan;
        bControlled = policy::IsExceptionApplication(*this, plan) == EXECUTE_INJECTION &&
                      lstrcmpiA(m_strAppName.c_str(), "rundll32.exe") != 0 && IsRegisteredApplication() == 1;
    }
    m_uOperation = uOperation;
    m_strVerb = std::move(strVerb);
    return bControlled;
}

bool CLxShellExt::RefusesUncontrolledVerb()
{
    if (!m_bVerbCommand || ThreadVerdict().m_bUnprotected)
        return false;
    ImageViewerPlan plan;
    if (policy::IsExceptionApplication(*this, plan) != EXECUTE_INJECTION)
        return false;
    ResolvedApplication verbApplication(*this);
    bool bControlled = IsControlledDocumentType();
    verbApplication.Restore(*this);
    if (!bControlled)
        return false;
    RefuseControlledRequest(start::c_szRunApplication,
                            "the " + m_strVerb + " command of " + m_strExt + " starts " + m_strAppName +
                                ", which receives no plug-in, and documents of the type are controlled");
    return true;
}

void CLxShellExt::RefuseControlledRequest(const char* a_szTag, const std::string& a_strCause)
{
    start::RefuseStart(*this, *m_pSink, a_szTag, a_strCause.c_str(), SE_ERR_ACCESSDENIED, m_strFilePath);
    // The verdict keeps a constant cause; the words naming the verb are kept
    // in full beside it.
    RequestVerdict& verdict = ThreadVerdict();
    verdict.m_szCause = "the request cannot be served under control";
    verdict.m_strDetail = a_strCause;
}

int CLxShellExt::CheckControlInformation()
{
    int nException = IsExceptionApplication();
    // The text has no opening bracket; tools that read the trace expect it so.
    TraceAlways("CLxShellExt::CheckControlInformation] IsExceptionApplication is [%d]", nException);
    if (nException == EXECUTE_EXCEPTION) {
        TraceAlways("[CLxShellExt::CheckControlInformation] IsExceptionApplication is EXECUTE_EXCEPTION");
        return EXECUTE_EXCEPTION;
    }
    if (lstrcmpiA(m_strAppName.c_str(), "rundll32.exe") == 0) {
        ThreadVerdict().m_szCause = "rundll32 runs whatever module it is given, so it is never controlled";
        return SKIPPED_INJECTION;
    }

    int nRegistered = IsRegisteredApplication();
    TraceAlways("[CLxShellExt::CheckControlInformation] IsRegisteredApplication is [%d]", nRegistered);
    if (nException == EXECUTE_INJECTION && nRegistered == 1)
        return EXECUTE_INJECTION;
    // The handed-back request's verdict says which cause applied.
    if (nException != EXECUTE_INJECTION)
        ThreadVerdict().m_szCause = "an exception rule of the policy leaves the application alone";
    else
        ExplainSkippedApplication(nRegistered);
    return SKIPPED_INJECTION;
}

// A type of the control table whose application the policy does not
// register, or a policy application whose plug-in is missing, falls open.
void CLxShellExt::ExplainSkippedApplication(int a_nRegistered)
{
    if (a_nRegistered == 0) {
        ThreadVerdict().m_szCause = "the policy registers no plug-in for the application";
        if (resolution::IsControlledRequest(*this))
            HandBackUnprotected("the control table controls " + m_strExt + " with " + m_strAppName +
                                ", but the policy registers no plug-in for " + m_strAppName);
        return;
    }
    ThreadVerdict().m_szCause = "the policy is not valid, or the plug-in it names is missing";
    if (CurrentPolicy(m_policySource)->CheckCCFValidity() != 0)
        return;
    HandBackUnprotected(m_bInjectionDllChosen && !m_strInjectionDll.empty()
                            ? "the plug-in " + m_strInjectionDll + " that the policy names for " + m_strAppName +
                                  " is missing"
                            : "a plug-in or add-in that the policy needs for " + m_strAppName + " is missing");
}

void CLxShellExt::HandBackUnprotected(const std::string& a_strMissing)
{
    RequestVerdict& verdict = ThreadVerdict();
    verdict.m_bUnprotected = true;
    verdict.m_strDetail = a_strMissing;
    verdict.m_strApplication = m_strAppName;
    if (m_bInjectionDllChosen)
        verdict.m_strPlugin = PathFindFileNameA(m_strInjectionDll.c_str());
    std::wstring strProgram = vm::WideFromAnsi(m_strAppPath);
    std::wstring strDocument = m_uOperation == OPERATION_APPLICATION ? strProgram : m_strDocument;
    m_pSink->RecordUnprotected(strDocument, strProgram,
                               m_bInjectionDllChosen ? vm::WideFromAnsi(m_strInjectionDll) : std::wstring(),
                               a_strMissing);
}

void CLxShellExt::GetDoucmentInfo()
{
    m_bAcapFile = false;
    CFlexibleHeader header;
    if (header.GetHeaderFromFile(m_strDocument.c_str(), 0, 0, 0) == 0) {
        TraceAlways("[CLxShellExt::GetDoucmentInfo] -> acap file [%s]", m_strFilePath.c_str());
        m_bAcapFile = true;
    }
}

int CLxShellExt::RunApplication()
{
    GetDoucmentInfo();
    bool bControl = GetExtensionControlType();
    // A controlled type or an encrypted document is never handed back
    // unprotected because another program holds the policy file.
    if ((m_bAcapFile || m_uControlType != 0) && IsPolicyHeldByAnother(m_policySource)) {
        start::RefuseStart(*this, *m_pSink, start::c_szRunApplication,
                           "the policy file is held open by another program", SE_ERR_ACCESSDENIED, m_strFilePath);
        return EXECUTE_EXCEPTION;
    }
    if (!GetApplicationPathFromReg(bControl)) {
        ThreadVerdict().m_szCause = "no application is associated with the file type";
        if (resolution::IsControlledRequest(*this))
            HandBackUnprotected("the control table controls " + m_strExt +
                                ", but it names no application that can be found, and no application is "
                                "associated with the file type");
        return SKIPPED_INJECTION;
    }

    // A verb outside the hook's own is served only by its own command.
    if (!m_strVerb.empty() && !m_bVerbCommand && !IsHookVerb(m_strVerb)) {
        RefuseControlledRequest(start::c_szRunApplication, "the type " + m_strExt + " has no " + m_strVerb +
                                                               " command, and its documents are controlled");
        return EXECUTE_EXCEPTION;
    }

    switch (CheckControlInformation()) {
    case SKIPPED_INJECTION:
        TraceAlways("[CLxShellExt::RunApplication] CheckControlInformation is SKIPPED_INJECTION");
        if (RefusesUncontrolledVerb())
            return EXECUTE_EXCEPTION;
        return SKIPPED_INJECTION;
    case EXECUTE_EXCEPTION:
        TraceAlways("[CLxShellExt::RunApplication] CheckControlInformation is EXECUTE_EXCEPTION");
        return EXECUTE_EXCEPTION;
    default:
        break;
    }

    if (!IsInjectableApplication()) {
        ThreadVerdict().m_szCause = "a running instance with the plug-in takes the document";
        TraceAlways("[CLxShellExt::Execute] IsInjectableApplication is false");
        return SKIPPED_INJECTION;
    }
    int nRegistered = IsRegisteredApplication();
    if (nRegistered == 1 || nRegistered == 2)
        return EXECUTE_INJECTION;

    bool bStartDirectly = m_uControlType == 4 ||
                          (m_uControlType == 3 && m_uOperation != OPERATION_OPENAS_DOCUMENT);
    if (!bStartDirectly) {
        ThreadVerdict().m_szCause = "the policy registers no plug-in for the application";
        return SKIPPED_INJECTION;
    }

    std::string strCommand = m_strAppPath + " \"" + m_strFilePath + "\"";
    ThreadVerdict().m_bDirectStart = true;
    ThreadVerdict().m_strApplication = m_strAppName;
    TraceAlways("CreateProcess!!![%s]", strCommand.c_str());
    start::StartApplicationDirectly(*this, *m_pSink, strCommand);
    return EXECUTE_EXCEPTION;
}

bool CLxShellExt::RunLauncher()
{
    return start::RunLauncher(*this, *m_pSink, m_policySource);
}
