#include "policy/PolicyCache.h"

#include "common/Handle.h"
#include "resolution/PathHelpers.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

// File times move in steps of up to a few milliseconds on some file systems:
// two writes in one step leave the same time. A file written less than this
// long ago is read afresh until the step has surely passed.
constexpr ULONGLONG c_ullSettled100ns = 2ull * 10 * 1000 * 1000;

struct PolicyStamp {
    DWORD m_dwVolume;
    DWORD m_dwIndexHigh;
    DWORD m_dwIndexLow;
    DWORD m_dwSizeHigh;
    DWORD m_dwSizeLow;
    ULONGLONG m_ullWritten;
    ULONGLONG m_ullChanged;

    bool operator==(const PolicyStamp& a_other) const
    {
        return std::memcmp(this, &a_other, sizeof(*this)) == 0;
    }
};

ULONGLONG FromFileTime(const FILETIME& a_time)
{
    return (static_cast<ULONGLONG>(a_time.dwHighDateTime) << 32) | a_time.dwLowDateTime;
}

// company.ccf in the folder of cipher.dll, where CCCF reads it; empty when
// that folder cannot be named.
const char* PolicyPath()
{
    static const std::string s_strPath = [] {
        char szPath[MAX_PATH];
        HMODULE hCipher = GetModuleHandleA("cipher.dll");
        DWORD cch = hCipher ? GetModuleFileNameA(hCipher, szPath, MAX_PATH) : 0;
        if (cch == 0 || cch >= MAX_PATH)
            return std::string();
        return std::string(ReplaceFileName(szPath, "company.ccf"));
    }();
    return s_strPath.c_str();
}

// False when the file cannot be told apart from a changed one: missing,
// unreadable, or written too recently.
bool ReadSettledStamp(PolicyStamp& a_stamp)
{
    const char* szPath = PolicyPath();
    if (!*szPath)
        return false;
    vm::UniqueFileHandle file(CreateFileA(szPath, FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    if (!file || !GetFileInformationByHandle(file.get(), &info) ||
        !GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic)))
        return false;
    a_stamp = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow, info.nFileSizeHigh,
               info.nFileSizeLow, FromFileTime(info.ftLastWriteTime),
               static_cast<ULONGLONG>(basic.ChangeTime.QuadPart)};
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG ullLatest = a_stamp.m_ullWritten > a_stamp.m_ullChanged ? a_stamp.m_ullWritten
                                                                      : a_stamp.m_ullChanged;
    return ullLatest + c_ullSettled100ns < FromFileTime(now);
}

SRWLOCK s_lock = SRWLOCK_INIT;
std::shared_ptr<CCCF> s_pKept;
PolicyStamp s_keptStamp;

} // namespace

std::shared_ptr<CCCF> CurrentPolicy()
{
    // The stamp is taken before the file is read: a write after it shows in
    // the next stamp, never hides behind this one.
    PolicyStamp stamp{};
    bool bSettled = ReadSettledStamp(stamp);
    if (bSettled) {
        AcquireSRWLockShared(&s_lock);
        std::shared_ptr<CCCF> pKept = s_pKept && s_keptStamp == stamp ? s_pKept : nullptr;
        ReleaseSRWLockShared(&s_lock);
        if (pKept)
            return pKept;
    }
    // Made in place: the object is destroyed here, never deleted by cipher.dll.
    auto pFresh = std::make_shared<CCCF>();
    AcquireSRWLockExclusive(&s_lock);
    s_pKept = bSettled ? pFresh : nullptr;
    s_keptStamp = stamp;
    ReleaseSRWLockExclusive(&s_lock);
    return pFresh;
}
