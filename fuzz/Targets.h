#pragma once
// The parsers of outside text, each behind one entry that takes one input.

#include "fuzz/Generator.h"

#include <string>

namespace vmfuzz {

struct Target {
    const char* m_szName;
    // Builds the seeds and dictionary; prepares what the target works on
    // (scratch registry, hook object). False when that failed.
    bool (*m_pfnPrepare)(Corpus& a_corpus);
    void (*m_pfnRun)(const std::string& a_strInput);
    void (*m_pfnFinish)();
};

const Target* FindTarget(const std::string& a_strName);
std::string TargetNames();

} // namespace vmfuzz
