#include "tools/toolsupport/ToolUsage.h"

#include <cstdio>
#include <cstring>

namespace vmtool {

namespace {

// The system's message for a code, without its final period and line end;
// empty when the system has none.
std::string SystemWords(DWORD a_dwCode)
{
    char szMessage[512] = {};
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, a_dwCode, 0,
                               szMessage, sizeof(szMessage), nullptr);
    if (cch >= sizeof(szMessage))
        cch = 0;
    while (cch > 0 && strchr("\r\n .", szMessage[cch - 1]))
        --cch;
    return std::string(szMessage, cch);
}

// The COM codes a tool meets most when a class cannot be created. Wine 8's
// message table has no words for them; these are Windows' own.
const struct {
    HRESULT m_hr;
    const char* m_szWords;
} c_comWords[] = {
    {REGDB_E_CLASSNOTREG, "Class not registered"},
    {CO_E_CLASSSTRING, "Invalid class string"},
    {E_NOINTERFACE, "No such interface supported"},
    {CLASS_E_CLASSNOTAVAILABLE, "ClassFactory cannot supply requested class"},
};

} // namespace

const char* ProductVersion()
{
    return VM_PRODUCT_VERSION;
}

int ShowHelp(const char* a_szUsage)
{
    fputs(a_szUsage, stdout);
    fflush(stdout);
    return 0;
}

int ShowVersion(const char* a_szTool)
{
    printf("%s %s\n", a_szTool, ProductVersion());
    fflush(stdout);
    return 0;
}

int ShowBadUse(const char* a_szTool, const std::string& a_strProblem, const char* a_szUsage)
{
    const char* szParagraphEnd = strstr(a_szUsage, "\n\n");
    size_t cchSynopsis = szParagraphEnd ? static_cast<size_t>(szParagraphEnd - a_szUsage) + 1 : strlen(a_szUsage);
    fprintf(stderr, "%s: %s\n", a_szTool, a_strProblem.c_str());
    fwrite(a_szUsage, 1, cchSynopsis, stderr);
    fprintf(stderr, "Run '%s --help' for more.\n", a_szTool);
    fflush(stderr);
    return c_nExitBadUse;
}

int AnswerCommonOptions(const CToolIdentity& a_tool, bool a_bParsed, const std::string& a_strError,
                        const CCommonOptions& a_options)
{
    if (!a_bParsed)
        return ShowBadUse(a_tool.m_szName, a_strError, a_tool.m_szUsage);
    if (a_options.m_bHelp)
        return ShowHelp(a_tool.m_szUsage);
    if (a_options.m_bVersion)
        return ShowVersion(a_tool.m_szName);
    return -1;
}

std::string DescribeError(DWORD a_dwError)
{
    std::string strWords = SystemWords(a_dwError);
    if (strWords.empty())
        return "error " + std::to_string(a_dwError);
    return strWords + " (" + std::to_string(a_dwError) + ")";
}

std::string DescribeResult(HRESULT a_hr)
{
    char szCode[16];
    snprintf(szCode, sizeof(szCode), "0x%08lX", static_cast<unsigned long>(a_hr));
    std::string strWords = SystemWords(static_cast<DWORD>(a_hr));
    for (const auto& row : c_comWords)
        if (strWords.empty() && row.m_hr == a_hr)
            strWords = row.m_szWords;
    return strWords.empty() ? std::string(szCode) : std::string(szCode) + " (" + strWords + ")";
}

} // namespace vmtool
