#include "decision/DryRun.h"

#include "companions/cipher/cipher.h"
#include "decision/LxShellExt.h"

#include <atomic>

namespace {

std::atomic<bool> s_bDryRun{false};
std::atomic<bool> s_bDraftPolicy{false};

} // namespace

bool IsDryRun()
{
    return s_bDryRun.load();
}

bool IsDraftPolicy()
{
    return s_bDraftPolicy.load();
}

void BeginDryRun(const char* a_szDraftPolicy)
{
    bool bDraft = a_szDraftPolicy && *a_szDraftPolicy;
    CipherUseDraftPolicy(bDraft ? a_szDraftPolicy : nullptr);
    s_bDraftPolicy = bDraft;
    s_bDryRun = true;
    // The values read once are read again, from the policy now in force.
    g_LxShellExt.ForgetPolicyValues();
}

void EndDryRun()
{
    CipherUseDraftPolicy(nullptr);
    s_bDraftPolicy = false;
    s_bDryRun = false;
    g_LxShellExt.ForgetPolicyValues();
}
