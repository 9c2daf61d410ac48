#include "tests/support/KeySecurity.h"

#include <gtest/gtest.h>

namespace vmtest {

void SetDeniedToEveryone(HKEY a_hKey, DWORD a_dwDenied)
{
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    alignas(DWORD) BYTE aclBuffer[256];
    auto* pAcl = reinterpret_cast<ACL*>(aclBuffer);
    InitializeAcl(pAcl, sizeof(aclBuffer), ACL_REVISION);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID pEveryone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &pEveryone);
    AddAccessDeniedAce(pAcl, ACL_REVISION, a_dwDenied, pEveryone);
    SetSecurityDescriptorDacl(&sd, TRUE, a_dwDenied ? pAcl : nullptr, FALSE);
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(a_hKey, DACL_SECURITY_INFORMATION, &sd));
    FreeSid(pEveryone);
}

} // namespace vmtest
