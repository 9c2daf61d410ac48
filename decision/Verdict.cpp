#include "decision/Verdict.h"

#include "request/Decision.h"

namespace {

std::string CauseOf(const RequestVerdict& a_verdict, const char* a_szNone)
{
    if (!a_verdict.m_strDetail.empty())
        return a_verdict.m_strDetail;
    return *a_verdict.m_szCause ? a_verdict.m_szCause : a_szNone;
}

} // namespace

std::string DescribeVerdict(const RequestVerdict& a_verdict, bool a_bPolicyValid)
{
    if (!a_bPolicyValid)
        return "protection is off: no valid policy file";
    if (!a_verdict.m_bHandled)
        return std::string(a_verdict.m_bUnprotected ? "handed back to Windows unprotected ("
                                                    : "handed back to Windows (") +
               CauseOf(a_verdict, "not a controlled application") + ")";
    if (a_verdict.m_nInstApp == c_nResultLaunched)
        return "controlled: " + a_verdict.m_strApplication + " starts through the launcher with " +
               a_verdict.m_strPlugin +
               (a_verdict.m_strDropped.empty()
                    ? std::string()
                    : " (the registered command's " + a_verdict.m_strDropped + " is not passed)");
    if (a_verdict.m_nInstApp == c_nResultHandled)
        return a_verdict.m_bDirectStart ? "finished by the hook: " + a_verdict.m_strApplication + " starts directly"
                                        : std::string("finished by the hook (an exception rule)");
    return "refused (" + std::to_string(a_verdict.m_nInstApp) + "): " + CauseOf(a_verdict, "not started");
}

VerdictColumns DescribeVerdictColumns(const RequestVerdict& a_verdict, bool a_bPolicyValid)
{
    VerdictColumns columns{"", a_verdict.m_strApplication, a_verdict.m_strPlugin, ""};
    if (!a_bPolicyValid)
        return {"protection is off", "", "", "no valid policy file"};
    if (!a_verdict.m_bHandled) {
        columns.m_strVerdict = a_verdict.m_bUnprotected ? "handed back unprotected" : "handed back";
        columns.m_strReason = CauseOf(a_verdict, "not a controlled application");
    } else if (a_verdict.m_nInstApp == c_nResultLaunched) {
        columns.m_strVerdict = "controlled";
        columns.m_strReason = "starts through the launcher" +
                              (a_verdict.m_strDropped.empty()
                                   ? std::string()
                                   : "; the registered command's " + a_verdict.m_strDropped + " is not passed");
    } else if (a_verdict.m_nInstApp == c_nResultHandled) {
        columns.m_strVerdict = "finished by the hook";
        columns.m_strReason = a_verdict.m_bDirectStart ? "starts directly" : "an exception rule";
    } else {
        columns.m_strVerdict = "refused (" + std::to_string(a_verdict.m_nInstApp) + ")";
        columns.m_strReason = CauseOf(a_verdict, "not started");
    }
    return columns;
}
