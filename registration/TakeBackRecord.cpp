#include "registration/TakeBackRecord.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>

void CKeyPath::Reset(HKEY a_hKeyRoot)
{
    int cch = snprintf(m_sz, sizeof(m_sz), "%p", static_cast<void*>(a_hKeyRoot));
    m_cch = cch > 0 ? static_cast<size_t>(cch) : 0;
}

void CKeyPath::Truncate(size_t a_cch)
{
    m_cch = a_cch;
    if (IsKnown())
        m_sz[m_cch] = '\0';
}

void CKeyPath::AppendKey(const char* a_szName)
{
    size_t cchName = std::strlen(a_szName);
    size_t cchNew = m_cch + 1 + cchName;
    if (IsKnown() && cchNew < sizeof(m_sz)) {
        m_sz[m_cch] = '\\';
        std::memcpy(m_sz + m_cch + 1, a_szName, cchName + 1);
    }
    m_cch = cchNew;
}

bool CCreatedItems::Add(const CKeyPath& a_path, size_t a_cchKey, const char* a_szValue)
{
    if (!a_path.IsKnown(a_cchKey))
        return true; // never taken for created: what it names stays
    if (m_cItems == m_cRoom) {
        UINT cRoom = m_cRoom ? m_cRoom * 2 : 16;
        auto* pGrown = static_cast<Item*>(CoTaskMemRealloc(m_pItems, cRoom * sizeof(Item)));
        if (!pGrown)
            return false;
        m_pItems = pGrown;
        m_cRoom = cRoom;
    }
    const char* szValue = a_szValue ? a_szValue : "";
    size_t cchValue = std::strlen(szValue);
    auto* psz = static_cast<char*>(CoTaskMemAlloc(a_cchKey + cchValue + 2));
    if (!psz)
        return false;
    std::memcpy(psz, a_path.get(), a_cchKey);
    psz[a_cchKey] = '\0';
    std::memcpy(psz + a_cchKey + 1, szValue, cchValue + 1);
    m_pItems[m_cItems++] = Item{psz, a_szValue != nullptr};
    return true;
}

bool CCreatedItems::Contains(const CKeyPath& a_path, size_t a_cchKey, const char* a_szValue) const
{
    if (!a_path.IsKnown(a_cchKey))
        return false;
    for (UINT i = 0; i < m_cItems; ++i) {
        const Item& item = m_pItems[i];
        if (item.m_bValue != (a_szValue != nullptr) || std::strlen(item.m_psz) != a_cchKey ||
            CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, item.m_psz, static_cast<int>(a_cchKey),
                           a_path.get(), static_cast<int>(a_cchKey)) != CSTR_EQUAL)
            continue;
        if (!a_szValue || lstrcmpiA(item.m_psz + a_cchKey + 1, a_szValue) == 0)
            return true;
    }
    return false;
}

void CCreatedItems::Clear()
{
    for (UINT i = 0; i < m_cItems; ++i)
        CoTaskMemFree(m_pItems[i].m_psz);
    CoTaskMemFree(m_pItems);
    m_pItems = nullptr;
    m_cItems = 0;
    m_cRoom = 0;
}
