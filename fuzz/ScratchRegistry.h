#pragma once
// Points every predefined root of this process at a scratch key of its own,
// so that whatever a script or the hook writes lands there and nowhere else.

#include "common/Handle.h"

#include <windows.h>

#include <string>

namespace vmfuzz {

class CScratchRegistry {
public:
    CScratchRegistry();
    ~CScratchRegistry();
    CScratchRegistry(const CScratchRegistry&) = delete;
    CScratchRegistry& operator=(const CScratchRegistry&) = delete;

    // True when every root that a script can name was redirected.
    bool Ready() const { return m_bReady; }
    // Empties every scratch root.
    void Clear();

private:
    static constexpr int c_cRoots = 7;
    std::string m_strBase;
    vm::UniqueKey m_roots[c_cRoots];
    bool m_bReady = false;
};

} // namespace vmfuzz
