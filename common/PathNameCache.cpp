#include "common/PathNameCache.h"

#include "common/FileStamp.h"
#include "common/LockGuard.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using PathNameFunction = DWORD(WINAPI*)(LPCSTR, LPSTR, DWORD);

// An answer is a path, or a failure with its error code.
struct Answer {
    bool m_bFound = false;
    std::string m_strPath;
    DWORD m_dwError = 0;
};

struct RememberedName {
    PathNameFunction m_pfnForm = nullptr;
    std::string m_strPath;
    Answer m_answer;
    std::vector<FileStamp> m_folders;
};

// A request looks up two or three paths; this holds the recent ones of many
// requests, and the oldest entry makes room for a new one.
constexpr size_t c_cRemembered = 32;

SRWLOCK s_lock = SRWLOCK_INIT;
std::array<RememberedName, c_cRemembered> s_remembered;
size_t s_uNext = 0;


bool Recall(PathNameFunction a_pfnForm, const char* a_szPath, const std::vector<FileStamp>& a_folders,
            Answer& a_answer)
{
    // Copying an answer out may throw: the guard lets the lock go with it.
    vm::CLockGuard reading(s_lock, vm::c_eLockShared);
    for (const RememberedName& name : s_remembered)
        if (name.m_pfnForm == a_pfnForm && name.m_strPath == a_szPath && name.m_folders == a_folders) {
            a_answer = name.m_answer;
            return true;
        }
    return false;
}

void Remember(PathNameFunction a_pfnForm, const char* a_szPath, Answer&& a_answer,
              std::vector<FileStamp>&& a_folders)
{
    // Made whole before the lock: under it, only moves, which do not throw.
    RememberedName fresh{a_pfnForm, a_szPath, std::move(a_answer), std::move(a_folders)};
    vm::CLockGuard writing(s_lock);
    RememberedName* pSlot = nullptr;
    for (RememberedName& name : s_remembered)
        if (name.m_pfnForm == a_pfnForm && name.m_strPath == a_szPath)
            pSlot = &name;
    if (!pSlot) {
        pSlot = &s_remembered[s_uNext];
        s_uNext = (s_uNext + 1) % c_cRemembered;
    }
    *pSlot = std::move(fresh);
}

DWORD CachedPathName(PathNameFunction a_pfnForm, const char* a_szPath, char* a_szOut, DWORD a_cchOut)
{
    std::vector<FileStamp> before;
    bool bCheckable = a_szPath && ReadFolderStamps(a_szPath, before);
    Answer recalled;
    if (bCheckable && Recall(a_pfnForm, a_szPath, before, recalled)) {
        if (!recalled.m_bFound) {
            SetLastError(recalled.m_dwError);
            return 0;
        }
        if (recalled.m_strPath.size() < a_cchOut) {
            memcpy(a_szOut, recalled.m_strPath.c_str(), recalled.m_strPath.size() + 1);
            return static_cast<DWORD>(recalled.m_strPath.size());
        }
    }
    DWORD cch = a_pfnForm(a_szPath, a_szOut, a_cchOut);
    if (!bCheckable || cch >= a_cchOut)
        return cch;
    DWORD dwError = GetLastError();
    Answer answer;
    answer.m_bFound = cch != 0;
    answer.m_strPath = answer.m_bFound ? a_szOut : "";
    answer.m_dwError = dwError;
    // Kept only when no folder changed while the system looked: a change
    // after the second reading shows against these stamps next time.
    std::vector<FileStamp> after;
    if (ReadFolderStamps(a_szPath, after) && after == before)
        Remember(a_pfnForm, a_szPath, std::move(answer), std::move(before));
    SetLastError(dwError);
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
