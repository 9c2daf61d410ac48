#include "tests/support/PrivateMemory.h"

#include <windows.h>

namespace vmtest {

size_t PrivateBytes()
{
    size_t cbTotal = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* p = nullptr;
    while (VirtualQuery(p, &info, sizeof(info)) == sizeof(info)) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            cbTotal += info.RegionSize;
        const char* pNext = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (pNext <= p)
            break;
        p = pNext;
    }
    return cbTotal;
}

} // namespace vmtest
