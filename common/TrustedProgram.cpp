#include "common/TrustedProgram.h"
#include "common/TrustedPublisher.h"

#include "common/CommandProgram.h"
#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "common/LockGuard.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <map>

namespace vm {
namespace {

void AddFinalFolder(const std::wstring& a_strFolder, std::vector<std::wstring>& a_folders)
{
    std::wstring strFinal;
    if (IsExistingFolder(a_strFolder) && GetFinalPath(a_strFolder, strFinal))
        a_folders.push_back(strFinal);
}

// The final path of a folder of the machine's own layout (the Windows folder
// and its writable folders, Program Files, ProgramData, the profiles and
// temporary folders), found once per process by its name: only an
// administrator can move those. A folder that did not exist when asked is
// asked again every time, so one made later counts as soon as it exists.
void AddMachineFolder(const std::wstring& a_strFolder, std::vector<std::wstring>& a_folders)
{
    static SRWLOCK s_lock = SRWLOCK_INIT;
    static std::map<std::wstring, std::wstring> s_finals;
    {
        CLockGuard lock(s_lock, c_eLockShared);
        auto found = s_finals.find(a_strFolder);
        if (found != s_finals.end()) {
            a_folders.push_back(found->second);
            return;
        }
    }
    std::wstring strFinal;
    if (!IsExistingFolder(a_strFolder) || !GetFinalPath(a_strFolder, strFinal))
        return;
    a_folders.push_back(strFinal);
    CLockGuard lock(s_lock);
    s_finals.emplace(a_strFolder, strFinal);
}

void AddKnownFolder(REFKNOWNFOLDERID a_id, std::vector<std::wstring>& a_folders)
{
    PWSTR pszPath = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(a_id, KF_FLAG_DONT_VERIFY, nullptr, &pszPath)) && pszPath)
        AddMachineFolder(pszPath, a_folders);
    CoTaskMemFree(pszPath);
}

// A 32-bit process is not told the 64-bit Program Files folder by the shell;
// the machine's own record of it lies in the 64-bit view of HKLM, which only
// administrators write.
void AddProgramFiles64(std::vector<std::wstring>& a_folders)
{
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return;
    wchar_t szPath[MAX_PATH] = {};
    DWORD cb = sizeof(szPath) - sizeof(wchar_t);
    if (RegGetValueW(key.get(), nullptr, L"ProgramW6432Dir", RRF_RT_REG_SZ, nullptr, szPath, &cb) ==
        ERROR_SUCCESS)
        AddMachineFolder(szPath, a_folders);
}

// The file name of a final path.
std::wstring FileNameOf(const std::wstring& a_strPath)
{
    size_t iSlash = a_strPath.find_last_of(L'\\');
    return iSlash == std::wstring::npos ? a_strPath : a_strPath.substr(iSlash + 1);
}

// Folders inside the Windows folder that standard users may write to, as
// published for a standard installation (the ones an application control
// policy must exclude), and the users' own profiles: a program copied there
// is no program an administrator installed, whatever folder holds them.
constexpr const wchar_t* c_szWritableBelowWindows[] = {
    L"Temp",
    L"Tasks",
    L"tracing",
    L"debug\\WIA",
    L"Registration\\CRMLog",
    L"PLA\\Reports",
    L"PLA\\Rules",
    L"PLA\\Templates",
    L"System32\\Tasks",
    L"System32\\Tasks_Migrated",
    L"System32\\com\\dmp",
    L"System32\\FxsTmp",
    L"System32\\Microsoft\\Crypto\\RSA\\MachineKeys",
    L"System32\\spool\\drivers\\color",
    L"System32\\spool\\PRINTERS",
    L"System32\\spool\\SERVERS",
    L"SysWOW64\\Tasks",
    L"SysWOW64\\com\\dmp",
    L"SysWOW64\\FxsTmp",
};

bool IsAtOrBelow(const std::wstring& a_strPath, const std::wstring& a_strFolder)
{
    return IsBelowFolder(a_strPath, a_strFolder) || lstrcmpiW(a_strPath.c_str(), a_strFolder.c_str()) == 0;
}

std::wstring WindowsFolder()
{
    wchar_t szWindows[MAX_PATH] = {};
    UINT cch = GetSystemWindowsDirectoryW(szWindows, MAX_PATH);
    return cch > 0 && cch < MAX_PATH ? std::wstring(szWindows) : std::wstring();
}

// The final paths of the user-writable folders of the Windows folder.
std::vector<std::wstring> WritableWindowsFolders()
{
    std::vector<std::wstring> folders;
    std::wstring strWindows = WindowsFolder();
    if (!strWindows.empty())
        for (const wchar_t* szSub : c_szWritableBelowWindows)
            AddMachineFolder(strWindows + L"\\" + szSub, folders);
    return folders;
}

bool IsBelowUserWritableFolder(const std::wstring& a_strFinal)
{
    std::vector<std::wstring> folders = WritableWindowsFolders();
    std::wstring strProfiles = GetProfilesFolder();
    if (!strProfiles.empty())
        AddMachineFolder(strProfiles, folders);
    for (const std::wstring& strFolder : folders)
        if (IsBelowFolder(a_strFinal, strFolder))
            return true;
    return false;
}

// The machine's folders where users create files and folders of their own:
// ProgramData and the machine's temporary folder, asked of the shell by id
// (no variable of the user's says where they are).
std::vector<std::wstring> SharedWritableFolders()
{
    std::vector<std::wstring> folders;
    wchar_t szPath[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, szPath)))
        AddMachineFolder(szPath, folders);
    std::wstring strWindows = WindowsFolder();
    if (!strWindows.empty())
        AddMachineFolder(strWindows + L"\\Temp", folders);
    wchar_t szTemp[MAX_PATH + 1] = {};
    DWORD cch = GetTempPathW(MAX_PATH + 1, szTemp);
    if (cch > 0 && cch <= MAX_PATH)
        AddMachineFolder(szTemp, folders);
    return folders;
}

// The caller as a standard user, for an access check: its token with the
// administrators' membership made deny-only, so that an elevated
// administrator is judged as the same user unelevated.
UniqueNullHandle StandardUserToken()
{
    HANDLE hToken = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_DUPLICATE | TOKEN_QUERY, TRUE, &hToken) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &hToken))
        return UniqueNullHandle();
    UniqueNullHandle token(hToken);
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD cbSid = sizeof(sid);
    HANDLE hRestricted = nullptr;
    SID_AND_ATTRIBUTES denied = {sid, 0};
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &cbSid) ||
        !CreateRestrictedToken(token.get(), DISABLE_MAX_PRIVILEGE, 1, &denied, 0, nullptr, 0, nullptr, &hRestricted))
        return UniqueNullHandle();
    UniqueNullHandle restricted(hRestricted);
    HANDLE hCheck = nullptr;
    if (!DuplicateTokenEx(restricted.get(), TOKEN_QUERY, nullptr, SecurityIdentification, TokenImpersonation, &hCheck))
        return UniqueNullHandle();
    return UniqueNullHandle(hCheck);
}

// The rights that let a user change what a path names: write or append to
// it (in a folder: create files or folders), delete it or what it holds,
// change its ACL or its owner.
constexpr DWORD c_dwChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

// True when a_hToken may change the file or folder a_strPath, or when its
// security cannot be read (then nothing says it is safe).
bool TokenMayChange(HANDLE a_hToken, const std::wstring& a_strPath)
{
    UniqueFileHandle item(CreateFileW(a_strPath.c_str(), READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (!item || GetSecurityInfo(item.get(), SE_FILE_OBJECT,
                                 OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, nullptr, nullptr, &pDescriptor) != ERROR_SUCCESS)
        return true;
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges = {};
    DWORD cbPrivileges = sizeof(privileges), dwGranted = 0;
    BOOL bStatus = FALSE;
    BOOL bChecked = AccessCheck(pDescriptor, a_hToken, MAXIMUM_ALLOWED, &mapping, &privileges, &cbPrivileges,
                                &dwGranted, &bStatus);
    LocalFree(pDescriptor);
    return !bChecked || (bStatus && (dwGranted & c_dwChangeRights) != 0);
}

} // namespace

CUserWriteCheck::CUserWriteCheck() : m_token(StandardUserToken())
{
    // A user who may change the Windows folder itself (a platform without
    // ACLs, such as Wine, where every file is the user's) is told nothing by
    // ACLs: then only the published list of writable folders speaks.
    std::wstring strWindows = WindowsFolder();
    m_bSpeaks = m_token && !strWindows.empty() && !TokenMayChange(m_token.get(), strWindows);
}

bool CUserWriteCheck::MayChangeBelow(const std::wstring& a_strFinal, const std::wstring& a_strRoot) const
{
    if (!m_bSpeaks)
        return false;
    for (std::wstring strPath = a_strFinal; IsBelowFolder(strPath, a_strRoot);
         strPath.resize(strPath.find_last_of(L'\\'))) {
        if (TokenMayChange(m_token.get(), strPath))
            return true;
    }
    return false;
}

bool CUserWriteCheck::MayChange(const std::wstring& a_strFinal) const
{
    return m_bSpeaks && TokenMayChange(m_token.get(), a_strFinal);
}

namespace {

const char* WhyUnfit(const std::wstring& a_strFinal, const CUserWriteCheck& a_writeCheck)
{
    // "X:\" and "X:": a drive's root, where users may create folders.
    bool bLetter = a_strFinal.size() >= 2 && a_strFinal[1] == L':';
    if (bLetter && a_strFinal.find_first_not_of(L'\\', 2) == std::wstring::npos)
        return "it is a drive's root, where users may create folders";
    if (bLetter && GetDriveTypeW((a_strFinal.substr(0, 2) + L"\\").c_str()) != DRIVE_FIXED)
        return "its drive is no fixed local volume, so the user may re-point its letter";
    std::vector<std::wstring> profiles;
    std::wstring strProfiles = GetProfilesFolder();
    if (!strProfiles.empty())
        AddMachineFolder(strProfiles, profiles);
    if (!profiles.empty() && IsAtOrBelow(a_strFinal, profiles[0]))
        return "it lies in the users' profiles, where users write";
    for (const std::wstring& strFolder : SharedWritableFolders())
        if (IsAtOrBelow(a_strFinal, strFolder))
            return "it lies in ProgramData or a temporary folder, where users write";
    for (const std::wstring& strFolder : WritableWindowsFolders())
        if (IsAtOrBelow(a_strFinal, strFolder))
            return "it lies in a folder of the Windows folder that users may write to";
    if (a_writeCheck.MayChange(a_strFinal))
        return "its ACL lets users write to it";
    return nullptr;
}

} // namespace

const char* WhyTrustedFolderIsUnfit(const std::wstring& a_strFinal)
{
    return WhyUnfit(a_strFinal, CUserWriteCheck());
}

namespace {

// Administrators, the system and the installer service own what only
// administrators may change.
bool IsOwnedByAdministrators(const std::wstring& a_strPath)
{
    UniqueFileHandle item(CreateFileW(a_strPath.c_str(), READ_CONTROL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    PSID pOwner = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (!item || GetSecurityInfo(item.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, nullptr, nullptr,
                                 nullptr, &pDescriptor) != ERROR_SUCCESS)
        return false;
    static const wchar_t c_szInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    PSID pInstaller = nullptr;
    bool bOwned = pOwner && (IsWellKnownSid(pOwner, WinBuiltinAdministratorsSid) ||
                             IsWellKnownSid(pOwner, WinLocalSystemSid) ||
                             (ConvertStringSidToSidW(c_szInstaller, &pInstaller) && EqualSid(pOwner, pInstaller)));
    LocalFree(pInstaller);
    LocalFree(pDescriptor);
    return bOwned;
}

// A folder or file on the full path a_strPath is a reparse point (a link, a
// junction) that no administrator owns.
bool PassesThroughUserLink(const std::wstring& a_strPath)
{
    // After "X:\" or "\\server\share\": the root itself is no link.
    size_t iFrom = 3;
    if (a_strPath.compare(0, 2, L"\\\\") == 0) {
        size_t iShare = a_strPath.find(L'\\', 2);
        iFrom = iShare == std::wstring::npos ? a_strPath.size() : a_strPath.find(L'\\', iShare + 1);
    }
    for (size_t iEnd = a_strPath.find(L'\\', iFrom);; iEnd = a_strPath.find(L'\\', iEnd + 1)) {
        std::wstring strPart = a_strPath.substr(0, iEnd);
        DWORD dwAttributes = GetFileAttributesW(strPart.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            !IsOwnedByAdministrators(strPart))
            return true;
        if (iEnd == std::wstring::npos)
            return false;
    }
}

} // namespace

// At most 100 ms in all: the hook answers the shell while it waits.
constexpr int c_cHoldTries = 5;
constexpr DWORD c_dwHoldRetryMs = 20;

const char* CHeldProgram::Hold(const std::wstring& a_strName)
{
    if (!IsFullPath(a_strName))
        return "the program is not named by a full path";
    if (PassesThroughUserLink(a_strName))
        return "the program's path passes through a link that users may re-point";
    // A program whose writer is just closing it (a copy, an update) is
    // shared for writing a moment longer: asked again a few times, briefly.
    for (int iTry = 0;; ++iTry) {
        m_file.reset(CreateFileW(a_strName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (m_file || GetLastError() != ERROR_SHARING_VIOLATION || iTry == c_cHoldTries - 1)
            break;
        Sleep(c_dwHoldRetryMs);
    }
    if (!m_file || !GetFinalPath(a_strName, m_strFinal) || !IsSameFile(m_file.get(), m_strFinal)) {
        m_file.reset();
        return "the program cannot be opened";
    }
    return nullptr;
}

bool CHeldProgram::IsImageOf(void* a_hProcess) const
{
    std::vector<wchar_t> buffer(32768);
    DWORD cch = static_cast<DWORD>(buffer.size());
    return m_file && QueryFullProcessImageNameW(a_hProcess, 0, buffer.data(), &cch) &&
           IsSameFile(m_file.get(), std::wstring(buffer.data(), cch));
}

namespace {

// Asked of userenv, loaded from the system folder for this one call: the
// shell's known-folder query would write the folder into the machine's
// registry the first time (under Wine).
std::wstring AskProfilesFolder()
{
    wchar_t szSystem[MAX_PATH] = {};
    UINT cch = GetSystemDirectoryW(szSystem, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return std::wstring();
    UniqueLibrary userenv(LoadLibraryW((std::wstring(szSystem) + L"\\userenv.dll").c_str()));
    using GetProfilesDirectoryFn = BOOL(WINAPI*)(LPWSTR, LPDWORD);
    auto pfn = userenv ? reinterpret_cast<GetProfilesDirectoryFn>(
                             reinterpret_cast<void*>(GetProcAddress(userenv.get(), "GetProfilesDirectoryW")))
                       : nullptr;
    wchar_t szProfiles[MAX_PATH] = {};
    DWORD cchProfiles = MAX_PATH;
    if (!pfn || !pfn(szProfiles, &cchProfiles))
        return std::wstring();
    return szProfiles;
}

} // namespace

// Asked once per process: only an administrator moves the profiles.
std::wstring GetProfilesFolder()
{
    static SRWLOCK s_lock = SRWLOCK_INIT;
    static std::wstring s_strProfiles;
    {
        CLockGuard lock(s_lock, c_eLockShared);
        if (!s_strProfiles.empty())
            return s_strProfiles;
    }
    std::wstring strProfiles = AskProfilesFolder();
    CLockGuard lock(s_lock);
    if (s_strProfiles.empty())
        s_strProfiles = strProfiles;
    return strProfiles;
}

const char* DescribeProgramTrust(ProgramTrust a_trust)
{
    switch (a_trust) {
    case ProgramTrust::Trusted:
        return "trusted";
    case ProgramTrust::NoImage:
        return "the program cannot be opened";
    case ProgramTrust::NoPolicy:
        return "no valid policy file";
    case ProgramTrust::NotRegistered:
        return "the policy registers no plug-in for the program";
    case ProgramTrust::OtherPlugin:
        return "the policy registers another plug-in for the program";
    case ProgramTrust::OutsideFolders:
        return "the program lies outside the trusted folders";
    case ProgramTrust::UntrustedPublisher:
        return "the program is not signed by a publisher of TrustedPublishers";
    case ProgramTrust::BatchFile:
        return "the program is a batch file, which runs in the command interpreter cmd.exe";
    }
    return "unknown";
}

std::vector<std::string> SplitTrustedFolders(const char* a_szTrustedFolders)
{
    std::vector<std::string> entries;
    std::string strList = a_szTrustedFolders ? a_szTrustedFolders : "";
    size_t iStart = 0;
    while (iStart <= strList.size()) {
        size_t iEnd = strList.find(';', iStart);
        if (iEnd == std::string::npos)
            iEnd = strList.size();
        size_t iFirst = iStart, iLast = iEnd;
        while (iFirst < iLast && IsBlank(strList[iFirst]))
            ++iFirst;
        while (iLast > iFirst && IsBlank(strList[iLast - 1]))
            --iLast;
        if (iLast > iFirst)
            entries.push_back(strList.substr(iFirst, iLast - iFirst));
        iStart = iEnd + 1;
    }
    return entries;
}

namespace {

std::vector<std::wstring> TrustedProgramFolders(const char* a_szTrustedFolders, const CUserWriteCheck& a_writeCheck)
{
    std::vector<std::wstring> folders;
    std::wstring strWindows = WindowsFolder();
    if (!strWindows.empty())
        AddMachineFolder(strWindows, folders);
    AddKnownFolder(FOLDERID_ProgramFiles, folders);
    AddKnownFolder(FOLDERID_ProgramFilesX86, folders);
    AddProgramFiles64(folders);
    std::vector<std::wstring> entries;
    for (const std::string& strEntry : SplitTrustedFolders(a_szTrustedFolders))
        if (IsFullPath(strEntry))
            AddFinalFolder(WideFromAnsi(strEntry), entries);
    for (const std::wstring& strEntry : entries)
        if (!WhyUnfit(strEntry, a_writeCheck))
            folders.push_back(strEntry);
    return folders;
}

// Where the policy lists publishers, a program in a trusted folder must also
// carry the signature of one of them; a value that lists none leaves the
// rule off (the lint says so).
ProgramTrust PublisherVerdict(const std::wstring& a_strFinal, const PolicyFieldReader& a_readField)
{
    const char* szPublishers = a_readField(c_szTrustedPublishersField);
    if (!szPublishers || SplitTrustedPublishers(szPublishers).empty())
        return ProgramTrust::Trusted;
    return IsSignedByTrustedPublisher(a_strFinal, szPublishers) ? ProgramTrust::Trusted
                                                                : ProgramTrust::UntrustedPublisher;
}

} // namespace

std::vector<std::wstring> GetTrustedProgramFolders(const char* a_szTrustedFolders)
{
    return TrustedProgramFolders(a_szTrustedFolders, CUserWriteCheck());
}

const char* WhyNotAdministratorsFile(const std::wstring& a_strFinal)
{
    if (IsBelowUserWritableFolder(a_strFinal))
        return "it lies in a folder users write to";
    CUserWriteCheck writeCheck;
    for (const std::wstring& strFolder : TrustedProgramFolders(nullptr, writeCheck))
        if (IsBelowFolder(a_strFinal, strFolder))
            return writeCheck.MayChangeBelow(a_strFinal, strFolder) ? "users may change it or a folder on its way"
                                                                    : nullptr;
    return "it lies outside the Windows and Program Files folders";
}

ProgramTrust CheckProgramForPlugin(const std::wstring& a_strProgram, const std::wstring& a_strPlugin,
                                   const PolicyFieldReader& a_readField)
{
    std::wstring strFinal;
    if (!GetFinalPath(a_strProgram, strFinal))
        return ProgramTrust::NoImage;
    // Whatever the policy says: the process started would be the command
    // interpreter, and the batch file's own starts escape the plug-in.
    if (IsBatchProgram(strFinal))
        return ProgramTrust::BatchFile;
    if (!a_readField)
        return ProgramTrust::NoPolicy;
    std::string strName;
    const char* szPlugin = nullptr;
    if (AnsiFromWide(FileNameOf(strFinal), strName))
        szPlugin = a_readField(strName.c_str());
    if (!szPlugin || !*szPlugin)
        return ProgramTrust::NotRegistered;
    std::string strPluginName;
    if (!AnsiFromWide(FileNameOf(a_strPlugin), strPluginName) || lstrcmpiA(szPlugin, strPluginName.c_str()) != 0)
        return ProgramTrust::OtherPlugin;
    if (IsBelowUserWritableFolder(strFinal))
        return ProgramTrust::OutsideFolders;
    CUserWriteCheck writeCheck;
    for (const std::wstring& strFolder : TrustedProgramFolders(a_readField(c_szTrustedFoldersField), writeCheck))
        if (IsBelowFolder(strFinal, strFolder))
            return writeCheck.MayChangeBelow(strFinal, strFolder) ? ProgramTrust::OutsideFolders
                                                                  : PublisherVerdict(strFinal, a_readField);
    return ProgramTrust::OutsideFolders;
}

} // namespace vm
