#pragma once
// Committed private memory of this process, summed from VirtualQuery: Wine 8
// reports PrivateUsage 0 through GetProcessMemoryInfo.

#include <cstddef>

namespace vmtest {

size_t PrivateBytes();

} // namespace vmtest
