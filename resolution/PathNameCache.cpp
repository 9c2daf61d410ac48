#include "resolution/PathNameCache.h"

#include "resolution/FileStamp.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using PathNameFunction = DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD);

struct RememberedName {
    PathNameFunction m_pfnForm = nullptr;
    std::string m_strPath;
    std::string m_strAnswer;
    std::vector<FileStamp> m_folders;
};

// A request looks up two or three paths; this holds the recent ones of many
// requests, and the oldest entry makes room for a new one.
constexpr size_t c_cRemembered = 32;

SRWLOCK s_lock = SRWLOCK_INIT;
std::array<RememberedName, c_cRemembered> s_remembered;
size_t s_uNext = 0;

bool Recall(PathNameFunction a_pfnForm, const char* a_szPath, const std::vector<FileStamp>& a_folders,
            std::string& a_strAnswer)
{
    AcquireSRWLockShared(&s_lock);
    bool bFound = false;
    for (const RememberedName& name : s_remembered)
        if (name.m_pfnForm == a_pfnForm && name.m_strPath == a_szPath && name.m_folders == a_folders) {
            a_strAnswer = name.m_strAnswer;
            bFound = true;
            break;
        }
    ReleaseSRWLockShared(&s_lock);
    return bFound;
}

void Remember(PathNameFunction a_pfnForm, const char* a_szPath, const char* a_szAnswer,
              std::vector<FileStamp>&& a_folders)
{
    AcquireSRWLockExclusive(&s_lock);
    RememberedName* pSlot = nullptr;
    for (RememberedName& name : s_remembered)
        if (name.m_pfnForm == a_pfnForm && name.m_strPath == a_szPath)
            pSlot = &name;
    if (!pSlot) {
        pSlot = &s_remembered[s_uNext];
        s_uNext = (s_uNext + 1) % c_cRemembered;
    }
    pSlot->m_pfnForm = a_pfnForm;
    pSlot->m_strPath = a_szPath;
    pSlot->m_strAnswer = a_szAnswer;
    pSlot->m_folders = std::move(a_folders);
    ReleaseSRWLockExclusive(&s_lock);
}

DWORD CachedPathName(PathNameFunction a_pfnForm, const char* a_szPath, char* a_szOut, DWORD a_cchOut)
{
    std::vector<FileStamp> before;
    bool bCheckable = a_szPath && ReadFolderStamps(a_szPath, before);
    std::string strAnswer;
    if (bCheckable && Recall(a_pfnForm, a_szPath, before, strAnswer) && strAnswer.size() < a_cchOut) {
        memcpy(a_szOut, strAnswer.c_str(), strAnswer.size() + 1);
        return static_cast<DWORD>(strAnswer.size());
    }
    DWORD cch = a_pfnForm(a_szPath, a_szOut, a_cchOut);
    if (!bCheckable || cch == 0 || cch >= a_cchOut)
        return cch;
    // Kept only when no folder changed while the system looked: a change
    // after the second reading shows against these stamps next time.
    std::vector<FileStamp> after;
    if (ReadFolderStamps(a_szPath, after) && after == before)
        Remember(a_pfnForm, a_szPath, a_szOut, std::move(before));
    return cch;
}

} // namespace

DWORD CachedLongPathName(const char* a_szPath, char* a_szOut, DWORD a_cchOut)
{
    return CachedPathName(GetLongPathNameA, a_szPath, a_szOut, a_cchOut);
}

DWORD CachedShortPathName(const char* a_szPath, char* a_szOut, DWORD a_cchOut)
{
    return CachedPathName(GetShortPathNameA, a_szPath, a_szOut, a_cchOut);
}
