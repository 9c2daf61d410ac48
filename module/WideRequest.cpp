#include "module/WideRequest.h"

#include "common/FileIdentity.h"
#include "trace/FaultGuard.h"

#include <shlwapi.h>

#include <algorithm>

namespace {

std::wstring TextOrEmpty(LPCWSTR a_szText)
{
    return a_szText ? std::wstring(a_szText) : std::wstring();
}

} // namespace

CAnsiRequest::CAnsiRequest(const SHELLEXECUTEINFOW& a_sei)
{
    m_sei.cbSize = sizeof(m_sei);
    m_sei.fMask = a_sei.fMask;
    m_sei.hwnd = a_sei.hwnd;
    m_sei.nShow = a_sei.nShow;
    m_sei.hInstApp = a_sei.hInstApp;
    m_sei.lpIDList = a_sei.lpIDList;
    m_sei.hkeyClass = a_sei.hkeyClass;
    m_sei.dwHotKey = a_sei.dwHotKey;
    m_sei.hIcon = a_sei.hIcon;
    m_sei.hProcess = a_sei.hProcess;
    m_sei.lpVerb = Convert(a_sei.lpVerb, m_strVerb);
    m_sei.lpParameters = Convert(a_sei.lpParameters, m_strParameters);
    m_sei.lpDirectory = Convert(a_sei.lpDirectory, m_strDirectory);
    m_sei.lpClass = Convert(a_sei.lpClass, m_strClass);
    if (Convert(a_sei.lpFile, m_strFileAsGiven)) {
        m_file.assign(std::max<size_t>(m_strFileAsGiven.size() + 1, MAX_PATH), '\0');
        std::copy(m_strFileAsGiven.begin(), m_strFileAsGiven.end(), m_file.begin());
        m_sei.lpFile = m_file.data();
    }
    m_real.m_strFile = TextOrEmpty(a_sei.lpFile);
    m_real.m_strParameters = TextOrEmpty(a_sei.lpParameters);
    m_real.m_strDirectory = TextOrEmpty(a_sei.lpDirectory);
}

const char* CAnsiRequest::Convert(LPCWSTR a_szText, std::string& a_strText)
{
    if (!a_szText)
        return nullptr;
    if (!vm::AnsiFromWide(a_szText, a_strText)) {
        m_bExact = false;
        a_strText = vm::AnsiRendering(a_szText);
    }
    return a_strText.c_str();
}

void CAnsiRequest::CopyBack(SHELLEXECUTEINFOW& a_sei) const
{
    a_sei.hInstApp = m_sei.hInstApp;
    if (!a_sei.lpFile || m_sei.lpFile != m_file.data() || m_strFileAsGiven == m_file.data())
        return;
    // The handling stored the file text back without its quotes: so does
    // the wide request, where its text can be written.
    std::vector<wchar_t> unquoted(a_sei.lpFile, a_sei.lpFile + lstrlenW(a_sei.lpFile) + 1);
    PathUnquoteSpacesW(unquoted.data());
    vm::CopyTextGuarded(const_cast<wchar_t*>(a_sei.lpFile), unquoted.data());
}
