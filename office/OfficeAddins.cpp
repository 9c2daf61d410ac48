#include "office/OfficeAddins.h"

#include "common/AuditTrail.h"
#include "common/FileIdentity.h"
#include "common/Handle.h"
#include "common/OfficeAddins.h"
#include "common/ProcessStart.h"
#include "common/ModuleIdentity.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char* c_szResiliencyVersions[] = {"10.0", "11.0"};
constexpr const char* c_szResiliencyKeys[] = {
    "Word\\Resiliency", "Excel\\Resiliency", "PowerPoint\\Resiliency", "Outlook\\Resiliency"};

constexpr const char* c_szSecurityVersions[] = {"9.0", "10.0", "11.0", "12.0"};

// Deliberately not the add-in table's order.
constexpr const char* c_szAddinOwners[] = {"Word", "Excel", "PowerPoint"};
constexpr char c_szProductMarker[] = "Quorix0";

constexpr char c_szOfficeKey[] = "Software\\Microsoft\\Office\\";
constexpr char c_szLoadBehavior[] = "LoadBehavior";
constexpr char c_szDontTrust[] = "DontTrustInstalledFiles";

// Formats into a fixed buffer; a text that would not fit is refused rather
// than cut, so no registry call ever sees half a path.
template <size_t N, typename... Args>
bool FormatBounded(char (&a_szOut)[N], const char* a_szFormat, Args... a_args)
{
    int cch = std::snprintf(a_szOut, N, a_szFormat, a_args...);
    return cch >= 0 && static_cast<size_t>(cch) < N;
}

bool IsAddinLoaded(const vm::COfficeAddin& a_addin)
{
    vm::UniqueKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, vm::OfficeAddinKey(a_addin).c_str(), 0, KEY_QUERY_VALUE,
                      key.put()) != ERROR_SUCCESS)
        return false;
    DWORD dwBehavior = 0;
    DWORD cb = sizeof(dwBehavior);
    // A value that does not fit four bytes is unreadable here and so counts
    // as not loaded; the buffer's contents are not trusted after a failure.
    if (RegQueryValueExA(key.get(), c_szLoadBehavior, nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&dwBehavior), &cb) != ERROR_SUCCESS)
        return false;
    return dwBehavior == vm::c_dwAddinLoadAtStartup;
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

void StartRegistration(const char* a_szRegsvr32, const char* a_szModuleDir, const vm::COfficeAddin& a_addin)
{
    // The command line keeps the plain "regsvr32" word: whoever records
    // command lines sees the same text whatever the system directory is.
    char szCommand[MAX_PATH + 64];
    if (!FormatBounded(szCommand, "regsvr32 /s \"%s\\%s\"", a_szModuleDir, a_addin.m_szModule))
        return;
    vm::UniqueProcessInfo process;
    if (vm::StartProgram(vm::WideFromAnsi(a_szRegsvr32), vm::WideFromAnsi(szCommand), 0, nullptr, process))
        vm::ReportAddinRepaired(a_addin.m_szProgId, a_addin.m_szModule);
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

// The full work of the three operations.
void ResetResiliencyKeys()
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

// True when it started no process.
bool RegisterAddinsAndTrust()
{
    bool bStartedNothing = true;
    char szModuleDir[MAX_PATH];
    char szRegsvr32[MAX_PATH];
    // Without our own directory the modules cannot be named; a bare
    // "\quorixNN.dll" would point at the root of whatever drive is current.
    bool bCanRegister = GetModuleDirectory(szModuleDir) && GetRegsvr32Path(szRegsvr32);
    if (bCanRegister) {
        for (const vm::COfficeAddin& addin : vm::c_officeAddins) {
            if (!IsAddinLoaded(addin)) {
                StartRegistration(szRegsvr32, szModuleDir, addin);
                bStartedNothing = false;
            }
        }
    } else {
        bStartedNothing = false;
    }
    for (const char* szVersion : c_szSecurityVersions) {
        for (const vm::COfficeAddin& addin : vm::c_officeAddins)
            RemoveDontTrustSetting(szVersion, addin.m_szApplication);
    }
    return bStartedNothing;
}

void DeleteForeignAddinEntries()
{
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

// The upkeep finds nothing to do on almost every request, and everything it
// looks at lies below the user's Office key. Once a full run of an operation
// has found nothing to do, the operation is skipped until something below
// that key can have changed: the key's change notification has fired (our own
// changes fire it too), HKEY_CURRENT_USER names another key now, or the
// watched key is gone. Whenever that cannot be known, the full run happens.
class COfficeKeyWatch {
public:
    static constexpr unsigned c_uResiliency = 1;
    static constexpr unsigned c_uRegistration = 2;
    static constexpr unsigned c_uForeignAddins = 4;

    bool CanSkip(unsigned a_uOperation)
    {
        if (!(m_uQuiet & a_uOperation))
            return false;
        if (IsQuiet())
            return true;
        m_uQuiet = 0;
        return false;
    }

    // Before a full run: watch afresh unless the watch still holds.
    void BeginFullRun()
    {
        if (!IsQuiet())
            Arm();
    }

    // After a full run that left the registry as it found it and started
    // nothing, the operation may be skipped from now on.
    void EndFullRun(unsigned a_uOperation, bool a_bStartedNothing)
    {
        if (a_bStartedNothing && IsQuiet())
            m_uQuiet |= a_uOperation;
        else
            m_uQuiet &= ~a_uOperation;
    }

private:
    void Arm()
    {
        m_uQuiet = 0;
        m_bArmed = false;
        m_key.reset();
        if (!m_event)
            m_event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!m_event || RegOpenKeyExA(HKEY_CURRENT_USER, c_szOfficeRoot, 0, KEY_NOTIFY | KEY_QUERY_VALUE,
                                      m_key.put()) != ERROR_SUCCESS)
            return;
        ResetEvent(m_event.get());
        m_bArmed = RegNotifyChangeKeyValue(m_key.get(), TRUE,
                                           REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET |
                                               REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_SECURITY,
                                           m_event.get(), TRUE) == ERROR_SUCCESS &&
                   vm::GetKeyName(m_key.get(), m_strName);
    }

    bool IsQuiet() const
    {
        if (!m_bArmed || WaitForSingleObject(m_event.get(), 0) != WAIT_TIMEOUT)
            return false;
        // RegOverridePredefKey can point HKEY_CURRENT_USER elsewhere, and a
        // deleted key keeps its name but answers no more.
        vm::UniqueKey current;
        std::wstring strCurrent, strWatched;
        return RegOpenKeyExA(HKEY_CURRENT_USER, c_szOfficeRoot, 0, KEY_QUERY_VALUE, current.put()) ==
                   ERROR_SUCCESS &&
               vm::GetKeyName(current.get(), strCurrent) && vm::GetKeyName(m_key.get(), strWatched) &&
               strCurrent == m_strName && strWatched == m_strName;
    }

    static constexpr char c_szOfficeRoot[] = "Software\\Microsoft\\Office";
    vm::UniqueKey m_key;
    vm::UniqueNullHandle m_event;
    std::wstring m_strName;
    bool m_bArmed = false;
    unsigned m_uQuiet = 0;
};

COfficeKeyWatch s_watch;

} // namespace

namespace office {

void ResetOfficeResiliency()
{
    if (s_watch.CanSkip(COfficeKeyWatch::c_uResiliency))
        return;
    s_watch.BeginFullRun();
    ResetResiliencyKeys();
    s_watch.EndFullRun(COfficeKeyWatch::c_uResiliency, true);
}

void RegisterOfficeAddins()
{
    if (s_watch.CanSkip(COfficeKeyWatch::c_uRegistration))
        return;
    s_watch.BeginFullRun();
    // A start that failed would be tried again by the next full run: it
    // counts as something done.
    bool bStartedNothing = RegisterAddinsAndTrust();
    s_watch.EndFullRun(COfficeKeyWatch::c_uRegistration, bStartedNothing);
}

void DeleteOtherAddins(const CPolicyValues& a_policy)
{
    // -1 means no usable policy file has been read: nothing asks for removal.
    if (a_policy.m_bDeleteOtherAddin != 1)
        return;
    if (s_watch.CanSkip(COfficeKeyWatch::c_uForeignAddins))
        return;
    s_watch.BeginFullRun();
    DeleteForeignAddinEntries();
    s_watch.EndFullRun(COfficeKeyWatch::c_uForeignAddins, true);
}

} // namespace office
