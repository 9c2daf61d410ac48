#pragma once
// "The floor" of a request class: the platform calls that the hook must make
// for such a request, made directly, with nothing of the hook's own between
// them.

#include "tests/soak/RequestMix.h"

#include <string>
#include <vector>

namespace vmbench {

class CFloor {
public:
    CFloor(const vmtest::CRequestMix& a_mix, int a_nClass, std::vector<std::string> a_traces);
    void Replay() const;

private:
    void ReplayUpkeep() const;
    void ReplayDocument() const;
    void ReplayResolution() const;
    void ReplayRegistration(const char* a_szAppName) const;

    const vmtest::CRequestMix& m_mix;
    int m_nClass;
    std::vector<std::string> m_traces;
    std::string m_strFile;
    std::string m_strExt;
};


} // namespace vmbench
