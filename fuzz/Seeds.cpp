#include "fuzz/Seeds.h"

#include "tests/support/CompanionsSupport.h"
#include "tests/support/TestPaths.h"

#include <cctype>
#include <cstdlib>

namespace vmfuzz {

namespace {

int HexDigit(char a_ch)
{
    if (a_ch >= '0' && a_ch <= '9')
        return a_ch - '0';
    a_ch = static_cast<char>(std::tolower(static_cast<unsigned char>(a_ch)));
    return a_ch >= 'a' && a_ch <= 'f' ? a_ch - 'a' + 10 : -1;
}

// Reads one literal starting after its opening quote; a_i ends after the
// closing quote.
std::string ReadLiteral(const std::string& a_strText, size_t& a_i)
{
    std::string strOut;
    while (a_i < a_strText.size() && a_strText[a_i] != '"') {
        char ch = a_strText[a_i++];
        if (ch != '\\' || a_i >= a_strText.size()) {
            strOut += ch;
            continue;
        }
        char chEscape = a_strText[a_i++];
        switch (chEscape) {
        case 'n': strOut += '\n'; break;
        case 'r': strOut += '\r'; break;
        case 't': strOut += '\t'; break;
        case '0': strOut += '\0'; break;
        case 'x': {
            int nValue = 0;
            while (a_i < a_strText.size() && HexDigit(a_strText[a_i]) >= 0)
                nValue = nValue * 16 + HexDigit(a_strText[a_i++]);
            strOut += static_cast<char>(nValue);
            break;
        }
        default: strOut += chEscape; break;
        }
    }
    ++a_i;
    return strOut;
}

} // namespace

std::string SourceDir()
{
    return vmtest::WindowsPathFromEnv("VM_SOURCE_DIR");
}

std::string FileText(const std::string& a_strRelativePath)
{
    std::string strDir = SourceDir();
    std::string strPath = strDir + "\\" + a_strRelativePath;
    if (strDir.empty() || !vmtest::FileExists(strPath))
        return std::string();
    return vmtest::ReadFile(strPath);
}

std::vector<std::string> LiteralsOf(const std::string& a_strRelativePath)
{
    std::string strText = FileText(a_strRelativePath);
    std::vector<std::string> literals;
    bool bJoin = false;
    for (size_t i = 0; i < strText.size();) {
        char ch = strText[i];
        if (ch == '\'' && i + 2 < strText.size()) { // a character literal, '"' among them
            i += strText[i + 1] == '\\' ? 4 : 3;
            bJoin = false;
            continue;
        }
        if (ch == '/' && i + 1 < strText.size() && strText[i + 1] == '/') {
            i = strText.find('\n', i);
            if (i == std::string::npos)
                break;
            continue;
        }
        if (ch == '"') {
            ++i;
            std::string strLiteral = ReadLiteral(strText, i);
            if (bJoin && !literals.empty())
                literals.back() += strLiteral;
            else
                literals.push_back(strLiteral);
            bJoin = true;
            continue;
        }
        if (!std::isspace(static_cast<unsigned char>(ch)))
            bJoin = false;
        ++i;
    }
    return literals;
}

} // namespace vmfuzz
