#pragma once
// Locks a registry key against everyone, as an administrator's rights would
// lock it against a user, through the key's own DACL.

#include <windows.h>

namespace vmtest {

// With a_dwDenied, a DACL that denies everyone those rights; with 0, no DACL
// at all (everything allowed again). a_hKey must carry WRITE_DAC.
void SetDeniedToEveryone(HKEY a_hKey, DWORD a_dwDenied);

} // namespace vmtest
