#include "decision/DryRun.h"

#include "companions/cipher/cipher.h"
#include "common/LockGuard.h"
#include "decision/LxShellExt.h"

#include <atomic>

namespace {

std::atomic<bool> s_bDryRun{false};
SRWLOCK s_draftLock = SRWLOCK_INIT;
std::string s_strDraftPolicy;

void SetDraftPolicy(const char* a_szDraftPolicy)
{
    std::string strDraft = a_szDraftPolicy ? a_szDraftPolicy : "";
    vm::CLockGuard lock(s_draftLock);
    s_strDraftPolicy.swap(strDraft);
}

} // namespace

bool IsDryRun()
{
    return s_bDryRun.load();
}

PolicySource DryRunPolicy()
{
    vm::CLockGuard lock(s_draftLock, vm::c_eLockShared);
    return PolicySource{s_strDraftPolicy};
}

void BeginDryRun(const char* a_szDraftPolicy)
{
    bool bDraft = a_szDraftPolicy && *a_szDraftPolicy;
    CipherUseDraftPolicy(bDraft ? a_szDraftPolicy : nullptr);
    SetDraftPolicy(bDraft ? a_szDraftPolicy : nullptr);
    s_bDryRun = true;
    // The values read once are read again, from the policy now in force.
    g_LxShellExt.ForgetPolicyValues();
}

void EndDryRun()
{
    CipherUseDraftPolicy(nullptr);
    SetDraftPolicy(nullptr);
    s_bDryRun = false;
    g_LxShellExt.ForgetPolicyValues();
}
