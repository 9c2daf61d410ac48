// The parser's upper-casing against the runtime's, in whatever ANSI code page
// the program runs (both the single-byte and the double-byte run build it).

#include "resolution/PathHelpers.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <mbstring.h>

#include <string>

namespace {

// Every whole double-byte character of the code page, then every single byte,
// upper-cased as _mbsupr does it: ordinary texts compare as they always did.
TEST(UpperCaseTest, IsTheRuntimesOnWholeCharacters)
{
    std::string strAll;
    for (int nLead = 0x81; nLead <= 0xFE; ++nLead)
        for (int nTrail = 0x40; nTrail <= 0xFE && IsDBCSLeadByte(static_cast<BYTE>(nLead)); ++nTrail)
            strAll += {static_cast<char>(nLead), static_cast<char>(nTrail)};
    for (int nByte = 1; nByte <= 0xFF; ++nByte)
        if (!IsDBCSLeadByte(static_cast<BYTE>(nByte)))
            strAll += static_cast<char>(nByte);
    std::string strOurs = strAll;
    UpperCase(&strOurs[0]);
    std::string strRuntime = strAll;
    _mbsupr(reinterpret_cast<unsigned char*>(&strRuntime[0]));
    ASSERT_EQ(strOurs.size(), strRuntime.size());
    for (size_t i = 0; i < strOurs.size(); ++i)
        ASSERT_EQ(strOurs[i], strRuntime[i]) << "byte " << i << " in code page " << GetACP();
}

} // namespace
