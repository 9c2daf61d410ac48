#include "module/RequestOffer.h"

#include "common/HandleText.h"
#include "companions/cipher/ccfformat.h"
#include "decision/Verdict.h"
#include "module/DocHookDiagnostics.h"
#include "module/WideRequest.h"
#include "policy/PolicyCache.h"
#include "trace/Trace.h"

namespace {

// a_pReal: the real texts of a wide request the ANSI code page cannot hold.
HRESULT OfferAnsiRequest(CLxShellExt& a_decision, LPSHELLEXECUTEINFOA a_pei, const WideTexts* a_pReal)
{
    CTraceRequestScope traceScope;
    if (!a_pei->lpFile && a_pei->lpVerb && lstrcmpiA(a_pei->lpVerb, "OpenHomePage") == 0) {
        TraceAlways("~~~~~~CDocHook::Execute -> Start(%s), param(%s), cur dir = %s, verb = %s\n",
                    a_pei->lpFile, a_pei->lpParameters, a_pei->lpDirectory, a_pei->lpVerb);
        return S_FALSE;
    }

    int nResult = 0;
    TraceAlways("~~~~~~CDocHook::Execute Start(%s), lpClass(%s},hKeyClass(" VM_HANDLE_HEX "), param(%s), "
                "cur dir = %s, verb = %s\n",
                a_pei->lpFile, a_pei->lpClass, vm::HandleValue(a_pei->hkeyClass),
                a_pei->lpParameters, a_pei->lpDirectory, a_pei->lpVerb);

    bool bHandled = a_decision.Execute(&nResult, a_pei, a_pReal);
    if (bHandled)
        a_pei->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(nResult ? nResult : c_nResultHandled));

    TraceAlways("~~~~~~CDocHook::Execute End (return=%s)\n", bHandled ? "S_OK" : "S_FALSE");
    return bHandled ? S_OK : S_FALSE;
}

} // namespace

HRESULT OfferRequest(CLxShellExt& a_decision, LPSHELLEXECUTEINFOA a_pei)
{
    if (!a_pei)
        return S_FALSE; // nothing to take over; the shell carries on
    return OfferAnsiRequest(a_decision, a_pei, nullptr);
}

HRESULT OfferRequest(CLxShellExt& a_decision, LPSHELLEXECUTEINFOW a_pei)
{
    if (!a_pei)
        return S_FALSE;
    CAnsiRequest request(*a_pei);
    HRESULT hr = OfferAnsiRequest(a_decision, &request.Get(), request.IsExact() ? nullptr : &request.Real());
    request.CopyBack(*a_pei);
    return hr;
}

namespace {

// Whether the policy in force can be used: a policy held open by another
// program is no policy missing, and the verdict says what became of the
// request. Empty, or why a dry run's draft cannot be used, naming it.
bool IsPolicyUsable(const CLxShellExt& a_decision, std::string& a_strDraftProblem)
{
    const PolicySource& source = a_decision.PolicyInForce();
    int nValidity = CurrentPolicy(source)->CheckCCFValidity();
    bool bPolicy = nValidity == 0 || IsPolicyHeldByAnother(source);
    if (!bPolicy && source.IsDraft())
        a_strDraftProblem = "the draft policy " + source.m_strDraft + " cannot be used (" +
                            cipherfmt::DescribeCcfValidity(nValidity) + ")";
    return bPolicy;
}

} // namespace

HRESULT GetVerdictText(const CLxShellExt& a_decision, LPSTR a_szVerdict, UINT a_cchVerdict)
{
    if (!a_szVerdict || a_cchVerdict == 0)
        return E_POINTER;
    std::string strDraftProblem;
    bool bPolicy = IsPolicyUsable(a_decision, strDraftProblem);
    std::string strVerdict = strDraftProblem.empty() ? DescribeVerdict(ThreadVerdict(), bPolicy)
                                                     : "protection is off: " + strDraftProblem;
    lstrcpynA(a_szVerdict, strVerdict.c_str(), static_cast<int>(a_cchVerdict));
    return strVerdict.size() < a_cchVerdict ? S_OK : S_FALSE;
}

HRESULT GetVerdictColumnsOf(const CLxShellExt& a_decision, DocHookVerdictColumns* a_pColumns)
{
    if (!a_pColumns)
        return E_POINTER;
    std::string strDraftProblem;
    bool bPolicy = IsPolicyUsable(a_decision, strDraftProblem);
    VerdictColumns columns = DescribeVerdictColumns(ThreadVerdict(), bPolicy);
    if (!strDraftProblem.empty())
        columns.m_strReason = strDraftProblem;
    lstrcpynA(a_pColumns->szVerdict, columns.m_strVerdict.c_str(), sizeof(a_pColumns->szVerdict));
    lstrcpynA(a_pColumns->szProgram, columns.m_strProgram.c_str(), sizeof(a_pColumns->szProgram));
    lstrcpynA(a_pColumns->szPlugin, columns.m_strPlugin.c_str(), sizeof(a_pColumns->szPlugin));
    lstrcpynA(a_pColumns->szReason, columns.m_strReason.c_str(), sizeof(a_pColumns->szReason));
    return S_OK;
}
