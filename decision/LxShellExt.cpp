#include "decision/LxShellExt.h"

#include "companions/cipher/cipher.h"
#include "trace/Trace.h"

// Static storage: both are constructed before the module's attach step and
// destroyed after its detach step.
CLxShellExt g_LxShellExt;
static CDRMLogic s_drmLogic;

CLxShellExt::CLxShellExt() = default;
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

    CCCF ccf;
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
