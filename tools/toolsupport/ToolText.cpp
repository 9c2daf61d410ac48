#include "tools/toolsupport/ToolText.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace vmtool {

std::string EscapeLineBreaks(const char* a_pText, size_t a_cch)
{
    std::string strLine;
    strLine.reserve(a_cch);
    for (size_t i = 0; i < a_cch; ++i) {
        char ch = a_pText[i];
        if (ch == '\n')
            strLine += "\\n";
        else if (ch == '\r')
            strLine += "\\r";
        else
            strLine += ch;
    }
    return strLine;
}

bool ParseDecimal(const char* a_szText, unsigned long a_uMax, unsigned long& a_uValue)
{
    if (!a_szText || !*a_szText)
        return false;
    unsigned long uValue = 0;
    for (const char* p = a_szText; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        unsigned long uDigit = static_cast<unsigned long>(*p - '0');
        if (uDigit > a_uMax || uValue > (a_uMax - uDigit) / 10)
            return false;
        uValue = uValue * 10 + uDigit;
    }
    a_uValue = uValue;
    return true;
}

void UseBinaryStdout()
{
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

} // namespace vmtool
