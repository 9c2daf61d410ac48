#include "policy/PolicyCache.h"

#include "common/AuditTrail.h"
#include "common/FileStamp.h"
#include "common/Handle.h"
#include "common/LockGuard.h"
#include "common/PolicyHandOver.h"
#include "companions/cipher/ccfformat.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

// The file's own stamp and those of every folder on its path: a file put in
// its place (moved over it, or deleted and written anew) changes its folder.
struct PolicyStamp {
    FileStamp m_file;
    std::vector<FileStamp> m_folders;

    bool operator==(const PolicyStamp& a_other) const
    {
        return m_file == a_other.m_file && m_folders == a_other.m_folders;
    }
};

// company.ccf where CCCF reads it (beside cipher.dll, or in the product
// folder for the x64 build in its "x64" subfolder); empty when that folder
// cannot be named.
const char* PolicyPath()
{
    static const std::string s_strPath = vm::PolicyPathOfLoadedCipher(cipherfmt::c_szCcfFileName);
    return s_strPath.c_str();
}

// False when the file cannot be told apart from a changed one: missing,
// on a path whose folders cannot be vouched for, or written too recently.
bool ReadSettledStamp(PolicyStamp& a_stamp)
{
    const char* szPath = PolicyPath();
    return *szPath && ReadFolderStamps(szPath, a_stamp.m_folders) &&
           ReadSettledStamp(szPath, a_stamp.m_file);
}

SRWLOCK s_lock = SRWLOCK_INIT;
std::shared_ptr<CCCF> s_pKept;
PolicyStamp s_keptStamp;
std::shared_ptr<CCCF> s_pLastGood;
bool s_bHeld = false;

// A fresh read that failed because the file is held: the last good policy,
// or the failed read when there is none; the state is told either way.
std::shared_ptr<CCCF> PolicyWhileHeld(const std::shared_ptr<CCCF>& a_pFailed)
{
    std::shared_ptr<CCCF> pLastGood;
    {
        vm::CLockGuard lock(s_lock);
        pLastGood = s_pLastGood;
        s_bHeld = !pLastGood;
    }
    vm::ReportPolicyState(PolicyPath(), false,
                          pLastGood ? "held open by another program; the last good policy stays in force"
                                    : "held open by another program; controlled requests are refused");
    return pLastGood ? pLastGood : a_pFailed;
}

} // namespace

std::shared_ptr<CCCF> CurrentPolicy(const PolicySource& a_source)
{
    if (a_source.IsDraft())
        return OpenPolicy(a_source);
    // The stamp is taken before the file is read: a write after it shows in
    // the next stamp, never hides behind this one.
    PolicyStamp stamp;
    bool bSettled = ReadSettledStamp(stamp);
    if (bSettled) {
        std::shared_ptr<CCCF> pKept;
        {
            vm::CLockGuard lock(s_lock, vm::c_eLockShared);
            pKept = s_pKept && s_keptStamp == stamp ? s_pKept : nullptr;
        }
        if (pKept)
            return pKept;
    }
    std::shared_ptr<CCCF> pFresh = OpenPolicy(a_source);
    // Told on every fresh read; the log gets the changes only.
    int nValidity = pFresh->CheckCCFValidity();
    if (nValidity == CCF_E_MISSING && vm::IsHeldOpenByAnother(PolicyPath()))
        return PolicyWhileHeld(pFresh);
    vm::ReportPolicyState(PolicyPath(), nValidity == 0, cipherfmt::DescribeCcfValidity(nValidity));
    {
        vm::CLockGuard lock(s_lock);
        s_pKept = bSettled ? pFresh : nullptr;
        s_keptStamp = stamp;
        s_bHeld = false;
        if (nValidity == 0)
            s_pLastGood = pFresh;
    }
    return pFresh;
}

// Made in place: the object is destroyed here, never deleted by cipher.dll.
// cipher.dll's process-wide draft switch, which any code in the process can
// set, is never followed.
std::shared_ptr<CCCF> OpenPolicy(const PolicySource& a_source)
{
    if (a_source.IsDraft())
        return std::make_shared<CCCF>(a_source.m_strDraft.c_str());
    return std::make_shared<CCCF>(CcfInstalledPolicy());
}

bool IsPolicyHeldByAnother(const PolicySource& a_source)
{
    CurrentPolicy(a_source);
    vm::CLockGuard lock(s_lock, vm::c_eLockShared);
    return s_bHeld;
}
