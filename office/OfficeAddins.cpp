// Office add-in upkeep: keeps the product's Word, PowerPoint and Excel add-ins
// registered and loadable for the current user, on every shell request.

#include "decision/LxShellExt.h"

#include "common/Handle.h"
#include "module/ModuleState.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstring>

namespace {

struct OfficeAddin {
    const char* szApplication;
    const char* szProgId;
    const char* szModule;
};

constexpr OfficeAddin c_addins[] = {
    {"Word", "Quorix01.Word9AddIn", "quorix01.dll"},
    {"PowerPoint", "Quorix02.CPpt9AddIn", "quorix02.dll"},
    {"Excel", "Quorix03.ExcelAddIn", "quorix03.dll"},
};

constexpr const char* c_szResiliencyVersions[] = {"10.0", "11.0"};
constexpr const char* c_szResiliencyKeys[] = {
    "Word\\Resiliency", "Excel\\Resiliency", "PowerPoint\\Resiliency", "Outlook\\Resiliency"};

constexpr const char* c_szSecurityVersions[] = {"9.0", "10.0", "11.0", "12.0"};
constexpr const char* c_szSecurityApplications[] = {"Word", "PowerPoint", "Excel"};

// Deliberately not the add-in table's order.
constexpr const char* c_szAddinOwners[] = {"Word", "Excel", "PowerPoint"};
constexpr char c_szProductMarker[] = "Quorix0";

constexpr char c_szOfficeKey[] = "Software\\Microsoft\\Office\\";
constexpr char c_szLoadBehavior[] = "LoadBehavior";
constexpr DWORD c_dwLoadedAtStartup = 3;
constexpr char c_szDontTrust[] = "DontTrustInstalledFiles";

// Formats into a fixed buffer; a text that would not fit is refused rather
// than cut, so no registry call ever sees half a path.
template <size_t N, typename... Args>
bool FormatBounded(char (&a_szOut)[N], const char* a_szFormat, Args... a_args)
{
    int cch = std::snprintf(a_szOut, N, a_szFormat, a_args...);
    return cch >= 0 && static_cast<size_t>(cch) < N;
}

bool IsAddinLoaded(const OfficeAddin& a_addin)
{
    char szKey[MAX_PATH];
    if (!FormatBounded(szKey, "Software\\Microsoft\\Office\\%s\\Addins\\%s",
                       a_addin.szApplication, a_addin.szProgId))
        return false;
    vm::UniqueKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, szKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD dwBehavior = 0;
    DWORD cb = sizeof(dwBehavior);
    // A value that does not fit four bytes is unreadable here and so counts
    // as not loaded; the buffer's contents are not trusted after a failure.
    if (RegQueryValueExA(key.get(), c_szLoadBehavior, nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&dwBehavior), &cb) != ERROR_SUCCESS)
        return false;
    return dwBehavior == c_dwLoadedAtStartup;
}

// regsvr32 is named by its full path so that no program of that name in the
// current directory or beside the host can be picked up instead.
bool GetRegsvr32Path(char (&a_szPath)[MAX_PATH])
{
    char szSystem[MAX_PATH];
    UINT cch = GetSystemDirectoryA(szSystem, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return false;
    return FormatBounded(a_szPath, "%s\\regsvr32.exe", szSystem);
}

bool GetModuleDirectory(char (&a_szDir)[MAX_PATH])
{
    std::string strPath = GetOwnModulePath();
    if (strPath.empty() || strPath.size() >= MAX_PATH)
        return false;
    std::memcpy(a_szDir, strPath.c_str(), strPath.size() + 1);
    return PathRemoveFileSpecA(a_szDir) && a_szDir[0] != '\0';
}

void StartRegistration(const char* a_szRegsvr32, const char* a_szModuleDir, const OfficeAddin& a_addin)
{
    // The command line keeps the plain "regsvr32" word: whoever records
    // command lines sees the same text whatever the system directory is.
    char szCommand[MAX_PATH + 64];
    if (!FormatBounded(szCommand, "regsvr32 /s \"%s\\%s\"", a_szModuleDir, a_addin.szModule))
        return;
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    vm::UniqueProcessInfo process;
    CreateProcessA(a_szRegsvr32, szCommand, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                   process.put());
}

void RemoveDontTrustSetting(const char* a_szVersion, const char* a_szApplication)
{
    char szKey[MAX_PATH];
    if (!FormatBounded(szKey, "Software\\Microsoft\\Office\\%s\\%s\\Security", a_szVersion,
                       a_szApplication))
        return;
    vm::UniqueKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, szKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
        return;
    DWORD dwValue = 0;
    DWORD cb = sizeof(dwValue);
    if (RegQueryValueExA(key.get(), c_szDontTrust, nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&dwValue), &cb) == ERROR_SUCCESS)
        SHDeleteValueA(HKEY_CURRENT_USER, szKey, c_szDontTrust);
}

void DeleteForeignAddins(HKEY a_hAddins)
{
    char szName[MAX_PATH];
    DWORD dwIndex = 0;
    while (RegEnumKeyA(a_hAddins, dwIndex, szName, MAX_PATH) == ERROR_SUCCESS) {
        if (std::strstr(szName, c_szProductMarker)) {
            ++dwIndex;
            continue;
        }
        // A deleted entry lets the next one move down to this index; one that
        // resists deletion (no rights) is stepped over so the walk ends.
        if (SHDeleteKeyA(a_hAddins, szName) != ERROR_SUCCESS)
            ++dwIndex;
    }
}

} // namespace

void CLxShellExt::ResetOfficeResiliency()
{
    for (const char* szVersion : c_szResiliencyVersions) {
        char szKey[MAX_PATH];
        if (!FormatBounded(szKey, "%s%s", c_szOfficeKey, szVersion))
            continue;
        vm::UniqueKey key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, szKey, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
            continue;
        for (const char* szSubKey : c_szResiliencyKeys)
            SHDeleteKeyA(key.get(), szSubKey);
    }
}

void CLxShellExt::RegisterOfficeAddins()
{
    char szModuleDir[MAX_PATH];
    char szRegsvr32[MAX_PATH];
    // Without our own directory the modules cannot be named; a bare
    // "\quorixNN.dll" would point at the root of whatever drive is current.
    bool bCanRegister = GetModuleDirectory(szModuleDir) && GetRegsvr32Path(szRegsvr32);
    if (bCanRegister) {
        for (const OfficeAddin& addin : c_addins) {
            if (!IsAddinLoaded(addin))
                StartRegistration(szRegsvr32, szModuleDir, addin);
        }
    }
    for (const char* szVersion : c_szSecurityVersions) {
        for (const char* szApplication : c_szSecurityApplications)
            RemoveDontTrustSetting(szVersion, szApplication);
    }
}

void CLxShellExt::DeleteOtherAddins()
{
    // -1 means no usable policy file has been read: nothing asks for removal.
    if (m_bDeleteOtherAddin != 1)
        return;
    for (const char* szApplication : c_szAddinOwners) {
        char szKey[MAX_PATH];
        if (!FormatBounded(szKey, "%s%s\\Addins", c_szOfficeKey, szApplication))
            continue;
        vm::UniqueKey key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, szKey, 0, KEY_ENUMERATE_SUB_KEYS, key.put()) !=
            ERROR_SUCCESS)
            continue;
        DeleteForeignAddins(key.get());
    }
}
