#include "decision/LxShellExt.h"

#include "companions/cipher/cipher.h"
#include "office/OfficeAddins.h"
#include "policy/ApplicationRules.h"
#include "policy/PolicyCache.h"
#include "policy/ProcessScanner.h"
#include "resolution/ApplicationPath.h"
#include "resolution/PathHelpers.h"
#include "start/ControlledStart.h"
#include "start/StartSink.h"
#include "trace/Trace.h"

// Static storage: both are constructed before the module's attach step and
// destroyed after its detach step.
CLxShellExt g_LxShellExt;
static CDRMLogic s_drmLogic;

CLxShellExt::CLxShellExt() : m_pSink(&RealStartSink())
{
}

CLxShellExt::CLxShellExt(CStartSink& a_sink, PolicySource a_policy)
    : m_pSink(&a_sink), m_policySource(std::move(a_policy))
{
}

CLxShellExt::~CLxShellExt() = default;

namespace {

// A policy flag is on only for the text "1".
bool IsFlagOn(const char* a_szValue)
{
    return a_szValue && lstrlenA(a_szValue) > 0 && lstrcmpiA(a_szValue, "1") == 0;
}

} // namespace

void CLxShellExt::ForgetPolicyValues()
{
    m_strCompanyID.clear();
    m_bDeleteOtherAddin = -1;
    m_bNotLoadSSDriver = -1;
}

void CLxShellExt::GetConfigurationInfoFromCCF()
{
    if (!m_strCompanyID.empty())
        return;

    std::shared_ptr<CCCF> pCcf = OpenPolicy(m_policySource);
    CCCF& ccf = *pCcf;
    if (ccf.CheckCCFValidity() != 0) {
        TraceAlways("[CLxShellExt::GetConfigurationInfoFromCCF] ccf is invalid!!");
        return;
    }
    m_bDeleteOtherAddin = 0;
    m_bNotLoadSSDriver = 0;

    if (const char* szCompanyID = ccf.GetCompanyID())
        m_strCompanyID = szCompanyID;
    if (IsFlagOn(ccf.GetField("DeleteOtherAddin")))
        m_bDeleteOtherAddin = 1;
    if (IsFlagOn(ccf.GetField("NotLoadSSDriver")))
        m_bNotLoadSSDriver = 1;

    TraceAlways("[CLxShellExt::GetConfigurationInfoFromCCF] CompanyID[%s], DeleteOtherAddin[%d], "
                "NotLoadSSDriver[%d]",
                m_strCompanyID.c_str(), m_bDeleteOtherAddin, m_bNotLoadSSDriver);
}

bool CLxShellExt::MayWrite() const
{
    return m_pSink->MayWrite();
}

// Each operation below is done by its component, on this request's state.

bool CLxShellExt::GetExtensionControlType()
{
    return resolution::GetExtensionControlType(*this);
}

bool CLxShellExt::GetExtControlApplicationPath()
{
    return resolution::GetExtControlApplicationPath(*this);
}

bool CLxShellExt::GetApplicationPathFromReg(bool a_bControl)
{
    return resolution::GetApplicationPathFromReg(*this, a_bControl, MayWrite());
}

bool CLxShellExt::SetApplicationFromCommand(const char* a_szCommand)
{
    return resolution::SetApplicationFromCommand(*this, a_szCommand);
}

std::optional<std::string> CLxShellExt::GetLongFilePathName(const char* a_szPath)
{
    return resolution::GetLongFilePathName(a_szPath);
}

// The image viewer's rule answers with the viewer to start; it is started
// here, and a failed start is the request's answer.
int CLxShellExt::IsExceptionApplication()
{
    ImageViewerPlan plan;
    int nException = policy::IsExceptionApplication(*this, plan);
    if (plan.m_bStart)
        m_nStartError = start::StartImageViewer(plan, *m_pSink);
    return nException;
}

int CLxShellExt::IsRegisteredApplication()
{
    return policy::IsRegisteredApplication(*this, PolicyInForce(), MayWrite());
}

bool CLxShellExt::IsExcludeApplication(const char* a_szExcludeList, const char* a_szPmiList)
{
    return policy::IsExcludeApplication(m_strAppName, a_szExcludeList, a_szPmiList);
}

bool CLxShellExt::GetFixedFileInfo(const char* a_szPath, VS_FIXEDFILEINFO* a_pInfo)
{
    return policy::GetFixedFileInfo(a_szPath, a_pInfo);
}

bool CLxShellExt::IsInjectableApplication()
{
    return policy::IsInjectableApplication(*this);
}

int CLxShellExt::GetAppList(AppProcessQueue& a_queue)
{
    return policy::GetAppList(m_strAppName, a_queue);
}

bool CLxShellExt::CheckModule(DWORD a_dwProcessId)
{
    return policy::CheckModule(m_strInjectionDll, a_dwProcessId);
}

// The upkeep writes to the registry and starts regsvr32: a dry decision
// leaves it out.
void CLxShellExt::ResetOfficeResiliency()
{
    if (MayWrite())
        office::ResetOfficeResiliency();
}

void CLxShellExt::RegisterOfficeAddins()
{
    if (MayWrite())
        office::RegisterOfficeAddins();
}

void CLxShellExt::DeleteOtherAddins()
{
    if (MayWrite())
        office::DeleteOtherAddins(*this);
}
