#pragma once
// Number of handles this process holds, registry keys included.

#include <windows.h>

namespace vmtest {

DWORD OpenHandleCount();

} // namespace vmtest
