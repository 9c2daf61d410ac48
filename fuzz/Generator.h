#pragma once
// Deterministic input generator: input number i of a run depends only on the
// run's seed, i and the corpus, so any input can be made again by its number.

#include <cstdint>
#include <string>
#include <vector>

namespace vmfuzz {

class CRandom {
public:
    explicit CRandom(uint64_t a_uSeed) : m_uState(a_uSeed ? a_uSeed : 0x9E3779B97F4A7C15ull) {}
    uint32_t Next();
    // Uniform in [0, a_uBound); 0 for a bound of 0.
    uint32_t Below(uint32_t a_uBound) { return a_uBound ? Next() % a_uBound : 0; }
    bool OneIn(uint32_t a_uChance) { return Below(a_uChance) == 0; }

private:
    uint64_t m_uState;
};

// Separates the texts of an input that has several (file, verb, ...).
constexpr char c_chFieldSeparator = '\0';

struct Corpus {
    std::vector<std::string> m_seeds;      // whole inputs
    std::vector<std::string> m_dictionary; // words worth inserting
    size_t m_cFields = 1;                  // texts per input
};

std::string MakeInput(const Corpus& a_corpus, uint64_t a_uRunSeed, uint64_t a_uIndex);

std::vector<std::string> SplitFields(const std::string& a_strInput);

} // namespace vmfuzz
