#include "common/TrustedPublisher.h"

#include "common/FileIdentity.h"
#include "common/FileSignature.h"
#include "common/Handle.h"
#include "common/LockGuard.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <tuple>

namespace vm {

namespace {

// A file as the platform knows it: its volume and index, and what would
// change were its content replaced.
struct CFileKey {
    DWORD dwVolume;
    ULONGLONG ullIndex;
    bool operator<(const CFileKey& a_other) const
    {
        return std::tie(dwVolume, ullIndex) < std::tie(a_other.dwVolume, a_other.ullIndex);
    }
};

struct CSignerEntry {
    ULONGLONG ullSize;
    LONGLONG llWritten;
    LONGLONG llChanged;
    bool bValid;           // a signature that holds
    std::string strSha1;   // the signer's thumbprints, when it holds
    std::string strSha256;
};

// Bounded: a process judges few programs, and an old answer is only a lost saving.
constexpr size_t c_cMaxCachedSigners = 64;
SRWLOCK g_cacheLock = SRWLOCK_INIT;

std::map<CFileKey, CSignerEntry>& Cache()
{
    static std::map<CFileKey, CSignerEntry> s_cache;
    return s_cache;
}

bool ReadKey(HANDLE a_hFile, CFileKey& a_key, CSignerEntry& a_stamp)
{
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(a_hFile, &info) ||
        !GetFileInformationByHandleEx(a_hFile, FileBasicInfo, &basic, sizeof(basic)))
        return false;
    a_key = {info.dwVolumeSerialNumber, (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    a_stamp.ullSize = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    a_stamp.llWritten = basic.LastWriteTime.QuadPart;
    a_stamp.llChanged = basic.ChangeTime.QuadPart;
    return true;
}

bool SameStamp(const CSignerEntry& a_left, const CSignerEntry& a_right)
{
    return a_left.ullSize == a_right.ullSize && a_left.llWritten == a_right.llWritten &&
           a_left.llChanged == a_right.llChanged;
}

// The signer of the open file, from the cache while the file is unchanged.
CSignerEntry ReadSigner(HANDLE a_hFile, const std::wstring& a_strFinal)
{
    CFileKey key{};
    CSignerEntry entry{};
    const bool bKeyed = ReadKey(a_hFile, key, entry);
    if (bKeyed) {
        CLockGuard lock(g_cacheLock, c_eLockShared);
        auto it = Cache().find(key);
        if (it != Cache().end() && SameStamp(it->second, entry))
            return it->second;
    }
    FileSignature signature = ReadFileSignature(a_hFile, a_strFinal);
    entry.bValid = signature.m_state == SignatureState::Signed;
    entry.strSha1 = signature.m_strSha1;
    entry.strSha256 = signature.m_strSha256;
    if (bKeyed) {
        CLockGuard lock(g_cacheLock);
        if (Cache().size() >= c_cMaxCachedSigners)
            Cache().clear();
        Cache()[key] = entry;
    }
    return entry;
}

} // namespace

std::vector<std::string> SplitTrustedPublishers(const char* a_szTrustedPublishers)
{
    std::vector<std::string> entries;
    std::string strValue = a_szTrustedPublishers ? a_szTrustedPublishers : "";
    size_t iStart = 0;
    while (iStart <= strValue.size()) {
        size_t iEnd = std::min(strValue.find(';', iStart), strValue.size());
        std::string strEntry = strValue.substr(iStart, iEnd - iStart);
        size_t iFirst = strEntry.find_first_not_of(" \t");
        if (iFirst != std::string::npos)
            entries.push_back(strEntry.substr(iFirst, strEntry.find_last_not_of(" \t") - iFirst + 1));
        iStart = iEnd + 1;
    }
    return entries;
}

std::string NormalizedThumbprint(const std::string& a_strEntry)
{
    std::string strDigits;
    for (char ch : a_strEntry)
        if (std::isxdigit(static_cast<unsigned char>(ch)))
            strDigits += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return strDigits;
}

const char* WhyThumbprintIsMalformed(const std::string& a_strEntry)
{
    for (char ch : a_strEntry)
        if (!std::isxdigit(static_cast<unsigned char>(ch)) && ch != ' ')
            return "it holds a character that is neither a hexadecimal digit nor a blank";
    size_t cDigits = NormalizedThumbprint(a_strEntry).size();
    if (cDigits != 40 && cDigits != 64)
        return "it has neither 40 hexadecimal digits (SHA-1) nor 64 (SHA-256)";
    return nullptr;
}

bool IsSignedByTrustedPublisher(const std::wstring& a_strFinal, const char* a_szTrustedPublishers)
{
    UniqueFileHandle file(CreateFileW(a_strFinal.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    CSignerEntry signer = ReadSigner(file.get(), a_strFinal);
    if (!signer.bValid)
        return false;
    for (const std::string& strEntry : SplitTrustedPublishers(a_szTrustedPublishers)) {
        if (WhyThumbprintIsMalformed(strEntry))
            continue;
        const std::string strThumbprint = NormalizedThumbprint(strEntry);
        if (strThumbprint == signer.strSha1 || strThumbprint == signer.strSha256)
            return true;
    }
    return false;
}

} // namespace vm
