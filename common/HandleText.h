#pragma once
// A handle or pointer in a trace text: "%x" on the 32-bit build, as its texts
// have always read, and the full pointer width on x64, where the value would
// otherwise be cut to its low half.

#include <cinttypes>
#include <cstdint>

#define VM_HANDLE_HEX "%" PRIxPTR

namespace vm {

inline std::uintptr_t HandleValue(const void* a_p)
{
    return reinterpret_cast<std::uintptr_t>(a_p);
}

} // namespace vm
