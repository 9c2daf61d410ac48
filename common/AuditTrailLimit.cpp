#include "common/AuditTrailLimit.h"

#include "common/LockGuard.h"

namespace vm {

CAuditLimiter::CAuditLimiter(AuditClock a_pfnClock) : m_pfnClock(a_pfnClock) {}

// True when the event was not written within the last minute; it counts as
// written from now. A bounded table: an old entry gives way.
bool CAuditLimiter::IsFirstWithinAMinute(unsigned long long a_ullTexts, DWORD a_dwNow)
{
    for (const Recent& recent : m_recent) {
        if (recent.m_ullHash == a_ullTexts && recent.m_dwTick != 0 && a_dwNow - recent.m_dwTick < c_dwAuditMinuteMs)
            return false;
    }
    m_recent[m_iNextRecent] = {a_ullTexts, a_dwNow ? a_dwNow : 1};
    m_iNextRecent = (m_iNextRecent + 1) % c_cRecent;
    return true;
}

bool CAuditLimiter::IsNewKind(unsigned long long a_ullKind)
{
    for (size_t i = 0; i < m_cKinds; ++i)
        if (m_kinds[i] == a_ullKind)
            return false;
    if (m_cKinds == c_cKinds)
        return false;
    m_kinds[m_cKinds++] = a_ullKind;
    return true;
}

// The budget of a_dwId for the current minute; the counts of minutes that
// are over go to a_admission. Null when every slot is taken.
CAuditLimiter::IdBudget* CAuditLimiter::BudgetOf(DWORD a_dwId, DWORD a_dwNow, AuditAdmission& a_admission)
{
    IdBudget* pBudget = nullptr;
    for (IdBudget& budget : m_budgets) {
        if (budget.m_dwId != 0 && a_dwNow - budget.m_dwWindowStart >= c_dwAuditMinuteMs) {
            if (budget.m_cHeld != 0)
                a_admission.m_over[a_admission.m_cOver++] = {budget.m_dwId, budget.m_cHeld};
            budget = {budget.m_dwId, a_dwNow, 0, 0, false};
        }
        if (budget.m_dwId == a_dwId || (!pBudget && budget.m_dwId == 0))
            pBudget = &budget;
    }
    if (pBudget && pBudget->m_dwId == 0)
        *pBudget = {a_dwId, a_dwNow, 0, 0, false};
    return pBudget;
}

AuditAdmission CAuditLimiter::Admit(DWORD a_dwId, unsigned long long a_ullTexts, unsigned long long a_ullKind)
{
    AuditAdmission admission;
    DWORD dwNow = m_pfnClock();
    CLockGuard lock(m_lock);
    if (!IsFirstWithinAMinute(a_ullTexts, dwNow))
        return admission;
    IdBudget* pBudget = BudgetOf(a_dwId, dwNow, admission);
    bool bNewKind = IsNewKind(a_ullKind);
    if (!pBudget || bNewKind || pBudget->m_cWritten < c_cAuditPerIdMax) {
        if (pBudget)
            ++pBudget->m_cWritten;
        admission.m_bWrite = true;
        return admission;
    }
    ++pBudget->m_cHeld;
    admission.m_bLimitReached = !pBudget->m_bLimitTold;
    pBudget->m_bLimitTold = true;
    return admission;
}

size_t CAuditLimiter::TakeHeldBack(AuditHeldBack (&a_held)[c_cAuditIds])
{
    size_t cHeld = 0;
    CLockGuard lock(m_lock);
    for (IdBudget& budget : m_budgets) {
        if (budget.m_cHeld == 0)
            continue;
        a_held[cHeld++] = {budget.m_dwId, budget.m_cHeld};
        budget.m_cHeld = 0;
    }
    return cHeld;
}

} // namespace vm
