#include "request/RequestState.h"

#include "common/FileIdentity.h"

std::wstring CRequestState::RequestFile() const
{
    if (m_real)
        return m_real->m_strFile;
    return m_lpsei && m_lpsei->lpFile ? vm::WideFromAnsi(m_lpsei->lpFile) : std::wstring();
}

std::wstring CRequestState::RequestParameters() const
{
    if (m_real)
        return m_real->m_strParameters;
    return m_lpsei && m_lpsei->lpParameters ? vm::WideFromAnsi(m_lpsei->lpParameters) : std::wstring();
}

std::wstring CRequestState::RequestDirectory() const
{
    if (m_real)
        return m_real->m_strDirectory;
    return m_lpsei && m_lpsei->lpDirectory ? vm::WideFromAnsi(m_lpsei->lpDirectory) : std::wstring();
}
