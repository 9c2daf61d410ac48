#include "fuzz/Generator.h"

#include <algorithm>

namespace vmfuzz {

namespace {

// Bytes that steer the parsers: quotes, separators, percent signs, braces,
// line ends, and lead and trail bytes of code page 932.
constexpr unsigned char c_interesting[] = {
    '"', '\'', '%', '\\', '/', ' ', '\t', '\r', '\n', '{', '}', '=', '|', '.', ':', ';',
    ',', '*', '?', 0x81, 0x82, 0x9F, 0xE0, 0xEF, 0xFC, 0x5C, 0x40, 0x7F, 0x80, 0xA0, 0xFF, 0x01};

uint64_t Mix(uint64_t a_u)
{
    a_u += 0x9E3779B97F4A7C15ull;
    a_u = (a_u ^ (a_u >> 30)) * 0xBF58476D1CE4E5B9ull;
    a_u = (a_u ^ (a_u >> 27)) * 0x94D049BB133111EBull;
    return a_u ^ (a_u >> 31);
}

char InterestingByte(CRandom& a_rng)
{
    if (a_rng.OneIn(4))
        return static_cast<char>(a_rng.Below(256));
    return static_cast<char>(c_interesting[a_rng.Below(sizeof(c_interesting))]);
}

const std::string& Pick(const std::vector<std::string>& a_items, CRandom& a_rng)
{
    static const std::string c_strEmpty;
    return a_items.empty() ? c_strEmpty : a_items[a_rng.Below(static_cast<uint32_t>(a_items.size()))];
}

// A fresh input built from dictionary words and interesting bytes.
std::string Compose(const Corpus& a_corpus, CRandom& a_rng)
{
    std::string strOut;
    uint32_t cParts = 1 + a_rng.Below(12);
    for (uint32_t i = 0; i < cParts; ++i) {
        if (a_rng.OneIn(3))
            strOut += InterestingByte(a_rng);
        else
            strOut += Pick(a_corpus.m_dictionary, a_rng);
        if (a_corpus.m_cFields > 1 && a_rng.OneIn(4))
            strOut += c_chFieldSeparator;
    }
    return strOut;
}

void MutateOnce(std::string& a_str, const Corpus& a_corpus, CRandom& a_rng)
{
    size_t cb = a_str.size();
    size_t iAt = cb ? a_rng.Below(static_cast<uint32_t>(cb)) : 0;
    switch (a_rng.Below(11)) {
    case 0: // flip a bit
        if (cb)
            a_str[iAt] = static_cast<char>(a_str[iAt] ^ (1 << a_rng.Below(8)));
        break;
    case 1: // replace a byte
        if (cb)
            a_str[iAt] = InterestingByte(a_rng);
        break;
    case 2: // insert a byte
        a_str.insert(a_str.begin() + static_cast<long>(iAt), InterestingByte(a_rng));
        break;
    case 3: // remove a run
        if (cb)
            a_str.erase(iAt, 1 + a_rng.Below(16));
        break;
    case 4: // insert a word
        a_str.insert(iAt, Pick(a_corpus.m_dictionary, a_rng));
        break;
    case 5: // repeat a run, up to far beyond the fixed buffers
        if (cb) {
            std::string strRun = a_str.substr(iAt, 1 + a_rng.Below(8));
            uint32_t cTimes = 1 + a_rng.Below(a_rng.OneIn(8) ? 1200 : 16);
            std::string strMany;
            for (uint32_t i = 0; i < cTimes; ++i)
                strMany += strRun;
            a_str.insert(iAt, strMany);
        }
        break;
    case 6: // cut the end
        a_str.resize(iAt);
        break;
    case 7: // end in a lone lead byte
        a_str += static_cast<char>(a_rng.OneIn(2) ? 0x81 : 0xE0);
        break;
    case 8: { // splice with another seed
        const std::string& strOther = Pick(a_corpus.m_seeds, a_rng);
        size_t iFrom = strOther.empty() ? 0 : a_rng.Below(static_cast<uint32_t>(strOther.size()));
        a_str = a_str.substr(0, iAt) + strOther.substr(iFrom);
        break;
    }
    case 9: // a field more or a field less
        if (a_rng.OneIn(2))
            a_str += c_chFieldSeparator;
        else if (size_t iSep = a_str.rfind(c_chFieldSeparator); iSep != std::string::npos)
            a_str.erase(iSep);
        break;
    default: // a double-byte pair
        a_str.insert(iAt, a_rng.OneIn(2) ? "\x82\xa0" : "\x81\x5c");
        break;
    }
}

} // namespace

uint32_t CRandom::Next()
{
    // xorshift64*
    m_uState ^= m_uState >> 12;
    m_uState ^= m_uState << 25;
    m_uState ^= m_uState >> 27;
    return static_cast<uint32_t>((m_uState * 0x2545F4914F6CDD1Dull) >> 32);
}

std::string MakeInput(const Corpus& a_corpus, uint64_t a_uRunSeed, uint64_t a_uIndex)
{
    CRandom rng(Mix(a_uRunSeed ^ Mix(a_uIndex)));
    // The seeds themselves come first, unchanged.
    if (a_uIndex < a_corpus.m_seeds.size())
        return a_corpus.m_seeds[a_uIndex];
    std::string strInput = (a_corpus.m_seeds.empty() || rng.OneIn(8))
                               ? Compose(a_corpus, rng)
                               : Pick(a_corpus.m_seeds, rng);
    uint32_t cMutations = 1 + rng.Below(rng.OneIn(4) ? 16 : 4);
    for (uint32_t i = 0; i < cMutations; ++i)
        MutateOnce(strInput, a_corpus, rng);
    // Bounds the time one input can take, not the lengths that matter: the
    // parsers' buffers are 260 to 4096 bytes.
    if (strInput.size() > 20000)
        strInput.resize(20000);
    return strInput;
}

std::vector<std::string> SplitFields(const std::string& a_strInput)
{
    std::vector<std::string> fields;
    size_t iStart = 0;
    for (;;) {
        size_t iSep = a_strInput.find(c_chFieldSeparator, iStart);
        fields.push_back(a_strInput.substr(iStart, iSep == std::string::npos ? std::string::npos
                                                                              : iSep - iStart));
        if (iSep == std::string::npos)
            return fields;
        iStart = iSep + 1;
    }
}

} // namespace vmfuzz
