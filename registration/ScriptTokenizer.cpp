#include "registration/ScriptTokenizer.h"

#include "common/AnsiText.h"
#include "registration/ErrorResults.h"

#include <objbase.h>

#include <cstring>
#include <cwchar>

namespace {

// White space between a script's tokens, line ends included.
bool IsScriptSpace(char a_ch)
{
    return a_ch == ' ' || a_ch == '\t' || a_ch == '\r' || a_ch == '\n';
}

wchar_t* DuplicateText(const wchar_t* a_wsz)
{
    size_t cb = (std::wcslen(a_wsz) + 1) * sizeof(wchar_t);
    wchar_t* wszCopy = static_cast<wchar_t*>(CoTaskMemAlloc(cb));
    if (wszCopy)
        std::memcpy(wszCopy, a_wsz, cb);
    return wszCopy;
}

// The growing output of the variable expansion, in task memory.
class CExpansionBuffer {
public:
    ~CExpansionBuffer() { CoTaskMemFree(m_psz); }

    HRESULT Init(size_t a_cbInitial)
    {
        m_cb = a_cbInitial ? a_cbInitial : 2;
        m_psz = static_cast<char*>(CoTaskMemAlloc(m_cb));
        return m_psz ? S_OK : E_OUTOFMEMORY;
    }

    // Room for a_cb more bytes and the terminating zero.
    HRESULT Reserve(size_t a_cb)
    {
        while (m_cbUsed + a_cb + 1 > m_cb) {
            if (m_cb > static_cast<size_t>(-1) / 2)
                return E_OUTOFMEMORY;
            char* pszGrown = static_cast<char*>(CoTaskMemRealloc(m_psz, m_cb * 2));
            if (!pszGrown)
                return E_OUTOFMEMORY;
            m_psz = pszGrown;
            m_cb *= 2;
        }
        return S_OK;
    }

    HRESULT Append(const char* a_p, size_t a_cb)
    {
        HRESULT hr = Reserve(a_cb);
        if (FAILED(hr))
            return hr;
        std::memcpy(m_psz + m_cbUsed, a_p, a_cb);
        m_cbUsed += a_cb;
        return S_OK;
    }

    HRESULT AppendWide(const wchar_t* a_wsz)
    {
        int cb = WideCharToMultiByte(CP_ACP, 0, a_wsz, -1, nullptr, 0, nullptr, nullptr);
        if (cb <= 0)
            return LastErrorResult();
        HRESULT hr = Reserve(static_cast<size_t>(cb));
        if (FAILED(hr))
            return hr;
        WideCharToMultiByte(CP_ACP, 0, a_wsz, -1, m_psz + m_cbUsed, cb, nullptr, nullptr);
        m_cbUsed += static_cast<size_t>(cb) - 1; // without its zero
        return S_OK;
    }

    char* Detach()
    {
        m_psz[m_cbUsed] = '\0';
        char* psz = m_psz;
        m_psz = nullptr;
        return psz;
    }

private:
    char* m_psz = nullptr;
    size_t m_cb = 0;
    size_t m_cbUsed = 0;
};

} // namespace

// ---------------------------------------------------------------------------
// Variables

CScriptVariables::~CScriptVariables()
{
    for (UINT i = 0; i < m_cPairs; ++i) {
        CoTaskMemFree(m_pPairs[i].m_wszName);
        CoTaskMemFree(m_pPairs[i].m_wszValue);
    }
    CoTaskMemFree(m_pPairs);
}

bool CScriptVariables::Add(const wchar_t* a_wszName, const wchar_t* a_wszValue)
{
    if (m_cPairs == m_cRoom) {
        UINT cRoom = m_cRoom ? m_cRoom * 2 : c_cInitialRoom;
        Pair* pGrown = static_cast<Pair*>(CoTaskMemRealloc(m_pPairs, cRoom * sizeof(Pair)));
        if (!pGrown)
            return false;
        m_pPairs = pGrown;
        m_cRoom = cRoom;
    }
    wchar_t* wszName = DuplicateText(a_wszName);
    wchar_t* wszValue = DuplicateText(a_wszValue);
    if (!wszName || !wszValue) {
        CoTaskMemFree(wszName);
        CoTaskMemFree(wszValue);
        return false;
    }
    m_pPairs[m_cPairs++] = Pair{wszName, wszValue};
    return true;
}

const wchar_t* CScriptVariables::Lookup(const wchar_t* a_wszName) const
{
    for (UINT i = 0; i < m_cPairs; ++i)
        if (lstrcmpiW(m_pPairs[i].m_wszName, a_wszName) == 0)
            return m_pPairs[i].m_wszValue;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Expansion and tokens

HRESULT ExpandVariables(const CScriptVariables& a_variables, const char* a_szText, char** a_ppszExpanded)
{
    *a_ppszExpanded = nullptr;
    size_t cbText = std::strlen(a_szText);
    if (cbText > static_cast<size_t>(-1) / 2)
        return E_OUTOFMEMORY;
    CExpansionBuffer out;
    HRESULT hr = out.Init(cbText * 2);
    if (FAILED(hr))
        return hr;

    const char* p = a_szText;
    while (*p) {
        if (*p != '%') {
            size_t cbChar = static_cast<size_t>(vm::NextCharacter(p) - p);
            hr = out.Append(p, cbChar);
            if (FAILED(hr))
                return hr;
            p += cbChar;
            continue;
        }
        if (p[1] == '%') {
            hr = out.Append("%", 1);
            if (FAILED(hr))
                return hr;
            p += 2;
            continue;
        }
        const char* pName = p + 1;
        const char* pEnd = pName;
        while (*pEnd && *pEnd != '%')
            pEnd = vm::NextCharacter(pEnd);
        if (!*pEnd)
            return DISP_E_EXCEPTION;
        size_t cbName = static_cast<size_t>(pEnd - pName);
        if (cbName >= c_cbVariableName)
            return E_FAIL;
        char szName[c_cbVariableName];
        std::memcpy(szName, pName, cbName);
        szName[cbName] = '\0';
        wchar_t wszName[c_cbVariableName];
        if (!MultiByteToWideChar(CP_ACP, 0, szName, -1, wszName, static_cast<int>(c_cbVariableName)))
            return DISP_E_EXCEPTION;
        const wchar_t* wszValue = a_variables.Lookup(wszName);
        if (!wszValue)
            return DISP_E_EXCEPTION;
        hr = out.AppendWide(wszValue);
        if (FAILED(hr))
            return hr;
        p = pEnd + 1;
    }
    *a_ppszExpanded = out.Detach();
    return S_OK;
}

void CScriptTokenizer::SkipBlanks()
{
    while (*m_pszPos && IsScriptSpace(*m_pszPos))
        m_pszPos = vm::NextCharacter(m_pszPos);
}

HRESULT CScriptTokenizer::ReadToken(char* a_szToken)
{
    a_szToken[0] = '\0';
    SkipBlanks();
    if (!*m_pszPos)
        return DISP_E_EXCEPTION;

    size_t cb = 0;
    if (*m_pszPos == '\'') {
        ++m_pszPos;
        for (;;) {
            if (!*m_pszPos) {
                a_szToken[cb] = '\0';
                return DISP_E_EXCEPTION;
            }
            if (*m_pszPos == '\'') {
                if (m_pszPos[1] != '\'')
                    break;
                ++m_pszPos; // a doubled apostrophe stands for one
            }
            // Room for a whole double-byte character and the zero.
            if (cb + 2 >= c_cbToken) {
                a_szToken[cb] = '\0';
                return DISP_E_EXCEPTION;
            }
            const char* pNext = vm::NextCharacter(m_pszPos);
            size_t cbChar = static_cast<size_t>(pNext - m_pszPos);
            std::memcpy(a_szToken + cb, m_pszPos, cbChar);
            cb += cbChar;
            m_pszPos = pNext;
        }
        ++m_pszPos; // the closing apostrophe
    } else {
        while (*m_pszPos && !IsScriptSpace(*m_pszPos)) {
            const char* pNext = vm::NextCharacter(m_pszPos);
            size_t cbChar = static_cast<size_t>(pNext - m_pszPos);
            // Longer than the buffer holds: refused rather than cut, so that
            // the rest of the word is never read as the next token.
            if (cb + cbChar >= c_cbToken) {
                a_szToken[cb] = '\0';
                return DISP_E_EXCEPTION;
            }
            std::memcpy(a_szToken + cb, m_pszPos, cbChar);
            cb += cbChar;
            m_pszPos = pNext;
        }
    }
    a_szToken[cb] = '\0';
    return S_OK;
}
