#include "tests/support/DebugCapture.h"

#include <algorithm>

namespace vmtest {

bool DebugCapture::Contains(const std::string& a_strText) const
{
    return IndexOf(a_strText) >= 0;
}

size_t DebugCapture::Count(const std::string& a_strText) const
{
    std::vector<std::string> texts = Texts();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), a_strText));
}

int DebugCapture::IndexOf(const std::string& a_strText, size_t a_iFrom) const
{
    std::vector<std::string> texts = Texts();
    for (size_t i = a_iFrom; i < texts.size(); ++i)
        if (texts[i] == a_strText)
            return static_cast<int>(i);
    return -1;
}

std::string DebugCapture::Dump() const
{
    std::string strDump;
    for (const std::string& strText : Texts())
        strDump += "  | " + strText + "\n";
    return strDump;
}

} // namespace vmtest
