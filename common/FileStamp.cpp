#include "common/FileStamp.h"

#include "common/AnsiText.h"

#include <winternl.h>

#include <cstring>
#include <string>

extern "C" NTSTATUS NTAPI NtQueryFullAttributesFile(POBJECT_ATTRIBUTES a_pAttributes,
                                                   PFILE_NETWORK_OPEN_INFORMATION a_pInfo);

namespace {

constexpr ULONGLONG c_ullSettled100ns = 2ull * 10 * 1000 * 1000;

ULONGLONG Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The name as the ANSI file functions would take it: they convert by the
// code page the process has chosen for file names.
bool ToWide(const char* a_szPath, wchar_t (&a_wszPath)[MAX_PATH])
{
    UINT uCodePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    return MultiByteToWideChar(uCodePage, MB_ERR_INVALID_CHARS, a_szPath, -1, a_wszPath, MAX_PATH) > 0;
}

bool QueryEntry(const char* a_szPath, FILE_NETWORK_OPEN_INFORMATION& a_info)
{
    wchar_t wszPath[MAX_PATH];
    UNICODE_STRING ntPath{};
    if (!ToWide(a_szPath, wszPath) || !RtlDosPathNameToNtPathName_U(wszPath, &ntPath, nullptr, nullptr))
        return false;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &ntPath, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    NTSTATUS status = NtQueryFullAttributesFile(&attributes, &a_info);
    RtlFreeUnicodeString(&ntPath);
    return NT_SUCCESS(status);
}

bool IsPartCharacter(char a_ch)
{
    return !strchr("/*?\"<>|", a_ch) && static_cast<unsigned char>(a_ch) >= 0x20;
}

// A folder part the system takes as it stands: not empty, and not ending in
// a dot ("." and ".." do) or a blank, which it would trim.
bool IsPlainPart(const char* a_pStart, const char* a_pEnd, char a_chLast)
{
    size_t cb = static_cast<size_t>(a_pEnd - a_pStart);
    return cb > 0 && a_chLast != '.' && a_chLast != ' ';
}

} // namespace

bool ReadSettledStamp(const char* a_szPath, FileStamp& a_stamp)
{
    FILE_NETWORK_OPEN_INFORMATION info;
    if (!QueryEntry(a_szPath, info))
        return false;
    a_stamp = {info.FileAttributes, static_cast<ULONGLONG>(info.EndOfFile.QuadPart),
               static_cast<ULONGLONG>(info.LastWriteTime.QuadPart),
               static_cast<ULONGLONG>(info.ChangeTime.QuadPart)};
    ULONGLONG ullLatest = a_stamp.m_ullWritten > a_stamp.m_ullChanged ? a_stamp.m_ullWritten
                                                                      : a_stamp.m_ullChanged;
    return ullLatest + c_ullSettled100ns < Now();
}

bool ReadFolderStamps(const char* a_szPath, std::vector<FileStamp>& a_stamps)
{
    a_stamps.clear();
    const char* p = a_szPath;
    bool bDrive = ((p[0] | 0x20) >= 'a' && (p[0] | 0x20) <= 'z') && p[1] == ':' && p[2] == '\\';
    if (!bDrive || strlen(p) >= MAX_PATH)
        return false;
    std::string strFolder(p, 3);
    const char* pPart = p + 3;
    char chLast = '\\';
    bool bPlain = true;
    for (const char* q = pPart; *q; q = vm::NextCharacter(q)) {
        bool bLead = IsDBCSLeadByte(static_cast<BYTE>(*q));
        if (!bLead && *q == '\\') {
            if (!bPlain || !IsPlainPart(pPart, q, chLast))
                return false;
            FileStamp stamp;
            if (!ReadSettledStamp(strFolder.c_str(), stamp))
                return false;
            a_stamps.push_back(stamp);
            strFolder.assign(p, static_cast<size_t>(q - p));
            pPart = q + 1;
            bPlain = true;
        } else if (!bLead && *q == ':') {
            return false; // a stream of a file, not an entry of a folder
        } else if (!bLead && !IsPartCharacter(*q)) {
            bPlain = false;
        }
        chLast = bLead ? '\0' : *q;
    }
    if (!*pPart)
        return false;
    FileStamp stamp;
    if (!ReadSettledStamp(strFolder.c_str(), stamp))
        return false;
    a_stamps.push_back(stamp);
    return true;
}
