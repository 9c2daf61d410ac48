#include "tests/resolution/ResolutionFixture.h"

#include "tests/support/HandleCount.h"

#include "trace/Trace.h"

#include <shlwapi.h>

namespace vmtest {
ScratchRegistry::ScratchRegistry(const std::string& a_strName)
    : m_redirect("resolution-" + a_strName)
{
}

ScratchRegistry::~ScratchRegistry() = default;

std::string ScratchRegistry::ReadString(HKEY a_hRoot, const std::string& a_strKey, const char* a_szValue)
{
    char szData[1024] = {};
    DWORD cbData = sizeof(szData) - 1;
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(a_hRoot, a_strKey.c_str(), 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return "<missing>";
    LONG lStatus = RegQueryValueExA(hKey, a_szValue, nullptr, nullptr, reinterpret_cast<BYTE*>(szData), &cbData);
    RegCloseKey(hKey);
    return lStatus == ERROR_SUCCESS ? std::string(szData) : "<missing>";
}

TraceSwitches::TraceSwitches(bool a_bLine) : m_bTrace(g_bTraceEnabled), m_bLine(g_bTraceLineEnabled)
{
    g_bTraceEnabled = true;
    g_bTraceLineEnabled = a_bLine;
}

TraceSwitches::~TraceSwitches()
{
    g_bTraceEnabled = m_bTrace;
    g_bTraceLineEnabled = m_bLine;
}

ResolutionRequest::ResolutionRequest(CLxShellExt& a_ext, const std::string& a_strFile, UINT a_uOperation,
                                     HKEY a_hClassKey)
    : m_ext(a_ext), m_strFile(a_strFile)
{
    m_sei.cbSize = sizeof(m_sei);
    m_sei.lpVerb = "open";
    m_sei.lpFile = m_strFile.c_str();
    m_sei.nShow = SW_SHOWNORMAL;
    if (a_hClassKey) {
        m_sei.fMask = SEE_MASK_CLASSKEY;
        m_sei.hkeyClass = a_hClassKey;
    }
    m_ext.m_lpsei = &m_sei;
    m_ext.m_uOperation = a_uOperation;
    m_ext.m_uControlType = 0;
    m_ext.m_bAcapFile = false;
    m_ext.m_bDDEOpen = false;
    m_ext.m_strFilePath = m_strFile;
    m_ext.m_strExt = PathFindExtensionA(m_strFile.c_str());
}

ResolutionRequest::~ResolutionRequest()
{
    m_ext.m_lpsei = nullptr;
}

std::string ShortPath(const std::string& a_strPath)
{
    char sz[MAX_PATH] = {};
    DWORD cch = GetShortPathNameA(a_strPath.c_str(), sz, MAX_PATH);
    EXPECT_TRUE(cch > 0 && cch < MAX_PATH) << a_strPath;
    return sz;
}

std::string LongPath(const std::string& a_strPath)
{
    char sz[MAX_PATH] = {};
    DWORD cch = GetLongPathNameA(a_strPath.c_str(), sz, MAX_PATH);
    EXPECT_TRUE(cch > 0 && cch < MAX_PATH) << a_strPath;
    return sz;
}

std::string WindowsDir()
{
    char sz[MAX_PATH] = {};
    GetWindowsDirectoryA(sz, MAX_PATH);
    return sz;
}

std::string SystemDir()
{
    char sz[MAX_PATH] = {};
    GetSystemDirectoryA(sz, MAX_PATH);
    return sz;
}

DWORD HandleCount()
{
    return OpenHandleCount();
}

std::vector<std::string> TextsStartingWith(const DebugCapture& a_capture, const std::string& a_strPrefix)
{
    std::vector<std::string> texts;
    for (const std::string& strText : a_capture.Texts())
        if (strText.compare(0, a_strPrefix.size(), a_strPrefix) == 0)
            texts.push_back(strText);
    return texts;
}

} // namespace vmtest
